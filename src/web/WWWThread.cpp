#include "web/WWWThread.h"

#include <chrono>
#include <cstring>
#include <memory>

#include "net/Limits.h"
#include "web/Pages.h"

namespace korimo {
namespace {

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The file under root/ that a request path names, with the file system's
// separator. Empty when the path cannot name a file there: one that does
// not start at root/ ("GET x" would otherwise name "rootx", beside it).
std::string RootRelativeName(const std::string& path) {
  if (path.empty() || path[0] != '\\') return "";
  std::string name;
  name.reserve(path.size());
  for (size_t i = 1; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(c) && i + 1 < path.size()) {
      name += path[i];
      name += path[++i];  // a trail byte is never a separator
      continue;
    }
    name += c == '\\' ? '/' : path[i];
  }
  return name;
}

}  // namespace

TWWWThread::TWWWThread(bool createSuspended, TServerClientWinSocket* clientSocket, TChatHost& host)
    : TServerClientThread(createSuspended, clientSocket), RequestReadLimitMs(kMaxRequestReadMs), Host(host) {
  StartUnlessSuspended();
}

std::string TWWWThread::ReadRequest(TServerClientWinSocket& socket, bool& peerClosed) {
  std::string request;
  peerClosed = false;
  try {
    TWinSocketStream stream(socket, kIoTimeoutMs);
    int wait = kFirstChunkWaitMs;
    bool first = true;
    std::chrono::steady_clock::time_point deadline{};
    char chunk[kChunkSize];
    for (;;) {
      if (StopRequested.load(std::memory_order_acquire) || !socket.IsConnected()) break;
      int limit = wait;
      if (!first) {
        // A request may trickle in, but not for ever: its whole reading is
        // bounded, as the first wait is.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        if (left < limit) limit = static_cast<int>(left);
      }
      if (!stream.WaitReadable(limit)) break;
      int n = stream.Read(chunk, static_cast<int>(sizeof chunk));
      if (n <= 0) {
        peerClosed = true;
        break;
      }
      size_t len = strnlen(chunk, static_cast<size_t>(n));
      if (first) {
        first = false;
        bool post = len >= 4 && UpperCase(std::string_view(chunk, 4)) == "POST";
        wait = post ? kPostChunkWaitMs : kNextChunkWaitMs;
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RequestReadLimitMs);
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

void TWWWThread::ServeConnection() {
  TServerClientWinSocket* socket = ClientSocket();
  if (!socket || StopRequested.load(std::memory_order_acquire) || !socket->IsConnected()) return;
  bool peerClosed = false;
  std::string request = ReadRequest(*socket, peerClosed);
  if (request.empty()) return;
  if (StopRequested.load(std::memory_order_acquire) || !socket->IsConnected()) return;
  AnswerRequest(request);
  // A client that still has its sending side open may send more (a body
  // that came after the pause, a second request): take it in before the
  // close, so that the response is not lost to a reset.
  if (!peerClosed && !StopRequested.load(std::memory_order_acquire)) socket->DrainBeforeClose(kDrainMs, kDrainBytes);
}

void TWWWThread::AnswerRequest(const std::string& request) {
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

void TWWWThread::SendStaticFile() {
  if (!Command.Path.empty() && Command.Path.back() == '\\') Command.Path += "index.html";
  std::unique_ptr<TFileStream> file;
  try {
    std::string relative = RootRelativeName(Command.Path);
    if (relative.empty()) throw EFOpenError("not under root");
    file = std::make_unique<TFileStream>("root", relative);
    SendText(StaticFileHeader("root" + Command.Path));
    ClientSocket()->TransmitStream(file.release());
  } catch (const ESocketError&) {
    // The connection is gone: nothing more to send.
  } catch (...) {
    file.reset();
    SendNotFoundPage();
  }
}

void TWWWThread::SendChatView() {
  try {
    ChatLines lines = Host.ChatSnapshot();
    SendText(BuildChatViewPage(*lines, Host.RefreshText()));
  } catch (const Exception& e) {
    SendNotFoundPage(e.message());
  }
}

void TWWWThread::SendPostForm() {
  try {
    RunOnMainThread([this] { PostChatMessage(); });
    SendText(BuildPostFormPage(Command.Body));
  } catch (const Exception& e) {
    SendNotFoundPage(e.message());
  }
}

void TWWWThread::PostChatMessage() {
  static const struct {
    const char* Name;
    const char* Open;
  } kColours[] = {
      {"Red", "<font color=\"red\">"},       {"Blue", "<font color=\"blue\">"},
      {"Green", "<font color=\"green\">"},   {"Orange", "<font color=\"#ff8c00\">"},
      {"Purple", "<font color=\"#9400d3\">"},
  };
  std::string text = GetFormField(Command.Body, "text");
  const std::string colour = GetFormField(Command.Body, "color");
  for (const auto& c : kColours) {
    if (colour == c.Name) {
      text = c.Open + text + "</font>";
      break;
    }
  }
  std::string handle = GetFormField(Command.Body, "handle");
  if (handle.empty()) handle = ClientSocket() ? ClientSocket()->PeerAddress() : std::string();
  Host.AddChatLine(handle + "> " + text);
}

void TWWWThread::SendNotFoundPage() { SendText(NotFoundPage()); }

void TWWWThread::SendNotFoundPage(const std::string& message) { SendText(NotFoundPage(message)); }

void TWWWThread::SendNotImplementedPage() {
  try {
    SendText(NotImplementedPage(Command.Method));
  } catch (...) {
    // Nothing more to send.
  }
}

void TWWWThread::SendText(const std::string& text) {
  try {
    ClientSocket()->SendString(text);
  } catch (const ESocketError& e) {
    if (!e.PeerGone()) throw;
  }
}

}  // namespace korimo
