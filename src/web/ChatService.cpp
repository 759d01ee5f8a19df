#include "web/ChatService.h"

#include <chrono>
#include <cstring>
#include <memory>

#include "base/ThreadCheck.h"
#include "web/Pages.h"

namespace korimo {
namespace {

// The file under root/ that a request path names, with the file system's
// separator. Empty when the path cannot name a file there: one that does
// not start at root/ ("GET x" would otherwise name "rootx", beside it).
std::string RootRelativeName(const std::string& path) {
  if (path.empty() || path[0] != '\\') return "";
  std::string name;
  name.reserve(path.size());
  for (size_t i = 1; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsSjisLeadByte(c) && i + 1 < path.size()) {
      name += path[i];
      name += path[++i];  // a trail byte is never a separator
      continue;
    }
    name += c == '\\' ? '/' : path[i];
  }
  return name;
}

}  // namespace

TChatService::TChatService(TChatHost& host, TConnection& connection, TCommand& command,
                           const std::atomic<bool>& stop, int requestReadLimitMs)
    : Host(host), Conn(connection), Command(command), Stop(stop), ReadLimitMs(requestReadLimitMs) {}

bool TChatService::Stopping() const { return Stop.load(std::memory_order_acquire); }

std::string TChatService::ReadRequest(bool& peerClosed) {
  std::string request;
  peerClosed = false;
  try {
    int wait = kFirstChunkWaitMs;
    bool first = true;
    TConnection::Clock::time_point deadline{};
    char chunk[kChunkSize];
    for (;;) {
      if (Stopping() || !Conn.Connected()) break;
      int limit = wait;
      if (!first) {
        // A request may trickle in, but not for ever: its whole reading is
        // bounded, as the first wait is.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Conn.Now()).count();
        if (left <= 0) break;
        if (left < limit) limit = static_cast<int>(left);
      }
      int n = Conn.ReadWithin(chunk, static_cast<int>(sizeof chunk), limit);
      if (n < 0) break;  // the pause or a limit ran out
      if (n == 0) {
        peerClosed = true;
        break;
      }
      size_t len = strnlen(chunk, static_cast<size_t>(n));
      if (first) {
        first = false;
        bool post = len >= 4 && UpperCase(std::string_view(chunk, 4)) == "POST";
        wait = post ? kPostChunkWaitMs : kNextChunkWaitMs;
        deadline = Conn.Now() + std::chrono::milliseconds(ReadLimitMs);
        request.reserve(256);
      }
      request.append(chunk, len);
      if (request.size() >= kMaxRequestBytes) break;  // answer from what was read
    }
  } catch (...) {
    return std::string();  // a failed read ends the request silently
  }
  return request;
}

void TChatService::Serve() {
  if (Stopping() || !Conn.Connected()) return;
  bool peerClosed = false;
  std::string request = ReadRequest(peerClosed);
  if (request.empty()) return;
  if (Stopping() || !Conn.Connected()) return;
  AnswerRequest(request);
  // A client that still has its sending side open may send more (a body
  // that came after the pause, a second request): take it in before the
  // close, so that the response is not lost to a reset.
  if (!peerClosed && !Stopping()) Conn.DrainBeforeClose(kDrainMs, kDrainBytes);
}

void TChatService::AnswerRequest(const std::string& request) {
  TCommand parsed;
  ParseCommand(request, parsed);
  Command = std::move(parsed);
  const std::string name = RequestFileName(Command.Path);
  if (Command.Method == "GET" && name != "status.cgi") {
    SendStaticFile();
  } else if (name == "status.cgi") {
    SendChatView();
  } else if (name == "append.cgi") {
    SendPostForm();
  } else {
    SendNotImplementedPage();
  }
}

void TChatService::SendStaticFile() {
  if (!Command.Path.empty() && Command.Path.back() == '\\') Command.Path += "index.html";
  std::unique_ptr<TStream> file;
  try {
    std::string relative = RootRelativeName(Command.Path);
    if (relative.empty()) throw EFOpenError("not under root");
    file = std::make_unique<TFileStream>("root", relative);
    SendText(StaticFileHeader("root" + Command.Path));
    Conn.TransmitStream(file);
  } catch (const ESocketError&) {
    // The connection is gone: nothing more to send.
  } catch (...) {
    file.reset();
    SendNotFoundPage();
  }
}

void TChatService::SendChatView() {
  try {
    ChatLines lines = Host.ChatSnapshot();
    SendText(BuildChatViewPage(*lines, Host.RefreshText()));
  } catch (const Exception& e) {
    SendNotFoundPage(e.message());
  }
}

void TChatService::SendPostForm() {
  try {
    TPostFields posted;
    RunOnMainThread([this, &posted] { posted = PostChatMessage(); });
    SendText(BuildPostFormPage(posted));
  } catch (const Exception& e) {
    SendNotFoundPage(e.message());
  }
}

TPostFields TChatService::PostChatMessage() {
  RequireMainThread("PostChatMessage");
  TPostFields posted = ReadPostFields(Command.Body);
  std::string writer = posted.Handle;
  if (writer.empty()) writer = Conn.PeerAddress();
  Host.AddChatLine(writer + "> " + ColouredText(posted.Text, posted.Colour));
  return posted;
}

void TChatService::SendNotFoundPage() { SendText(NotFoundPage()); }

void TChatService::SendNotFoundPage(const std::string& message) { SendText(NotFoundPage(message)); }

void TChatService::SendNotImplementedPage() {
  try {
    SendText(NotImplementedPage(Command.Method));
  } catch (...) {
    // Nothing more to send.
  }
}

void TChatService::SendText(const std::string& text) {
  try {
    Conn.SendString(text);
  } catch (const ESocketError& e) {
    if (!e.PeerGone()) throw;
  }
}

}  // namespace korimo
