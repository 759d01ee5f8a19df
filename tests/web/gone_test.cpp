// Browsers that go away: a reset while the request is read, a send to a
// client that has reset, a client that stops reading a large file (its
// sends fail at the send limit). None of it is the operator's business:
// nothing is posted, nothing escapes the request path, and it returns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "net/Thread.h"
#include "web_support.h"

namespace korimo {
namespace {

using testing_support::MemoryChatHost;
using testing_support::MemoryService;

std::string PostRequest(const std::string& form) {
  return "POST /scripts/append.cgi HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(form.size()) + "\r\n\r\n" + form;
}

// The post is read whole, then the browser resets inside the pause that
// ends the reading: the request was never completed, so nothing is posted,
// with a handle or without (where the address would be looked up), nothing
// is sent, and no error leaves the request path.
TEST(GoneBrowser, AResetWhileThePostIsReadPostsNothing) {
  MainThread::Register();
  for (const char* body : {"handle=bob&text=hi", "text=hi"}) {
    SCOPED_TRACE(body);
    MemoryChatHost host;
    MemoryService s(host);
    s.Conn.Send(0, PostRequest(body)).Reset(1500);
    EXPECT_NO_THROW(s.Service.Serve());
    EXPECT_TRUE(host.ChatSnapshot()->empty());
    EXPECT_EQ(s.Conn.Sent, "");
    EXPECT_EQ(s.Command.Method, "") << "the request was answered";
  }
}

// The same post with the sending side closed in order is answered: only a
// failure is no end of a request.
TEST(GoneBrowser, AnOrderlyHalfCloseIsStillAnswered) {
  MainThread::Register();
  MemoryChatHost host;
  MemoryService s(host);
  s.Conn.Send(0, PostRequest("handle=bob&text=hi")).CloseSending(1500);
  s.Service.Serve();
  EXPECT_EQ(host.ChatSnapshot()->size(), 1u);
  EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
}

// Every branch answering a browser that has gone (reset, or stopped reading
// for the whole send limit): the send fails, and that is the end of the
// connection, not an error for the operator.
TEST(GoneBrowser, AnswersToAGoneBrowserFailQuietly) {
  MainThread::Register();
  const char* requests[] = {
      "GET /no-such-file.html HTTP/1.0\r\n\r\n",           // the short "404"
      "GET x HTTP/1.0\r\n\r\n",                            // the short "404", not under root/
      "GET /scripts/status.cgi HTTP/1.0\r\n\r\n",          // the chat view
      "POST /scripts/append.cgi HTTP/1.0\r\n\r\ntext=hi",  // the post form
      "HEAD /index.html HTTP/1.0\r\n\r\n",                 // the "501" page
  };
  for (int code : {ECONNRESET, EPIPE, ETIMEDOUT}) {
    for (const char* request : requests) {
      SCOPED_TRACE(std::string(request) + " failing with " + std::to_string(code));
      MemoryChatHost host;
      MemoryService s(host);
      s.Conn.FailSendsAfter(0, code);
      EXPECT_NO_THROW(s.Service.AnswerRequest(request));
      EXPECT_FALSE(s.Conn.Connected());
    }
  }
}

// Another socket error is no browser going away: it still reaches the
// worker's error report.
TEST(GoneBrowser, OtherSendErrorsStillEscape) {
  MemoryChatHost host;
  MemoryService s(host);
  s.Conn.FailSendsAfter(0, EBADF);
  EXPECT_THROW(s.Service.AnswerRequest("GET /no-such-file.html HTTP/1.0\r\n\r\n"), ESocketError);
}

// A client that stops reading a large file: its send fails at the send
// limit, and the answer ends there, the file freed, long before its end.
TEST(GoneBrowser, AFileToAClientThatStopsReadingEndsAtTheSendLimit) {
  char tmpl[] = "/tmp/korimo-gone-XXXXXX";
  const std::filesystem::path dir = mkdtemp(tmpl);
  const std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::create_directory(dir / "root");
  int fd = open((dir / "root" / "big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 256 << 20), 0);  // sparse: zeros, no disk
  close(fd);
  std::filesystem::current_path(dir);
  {
    MemoryChatHost host;
    MemoryService s(host);
    s.Conn.FailSendsAfter(4 << 20, ETIMEDOUT);  // what the buffers took before the client stopped
    EXPECT_NO_THROW(s.Service.AnswerRequest("GET /big.bin HTTP/1.0\r\n\r\n"));
    EXPECT_FALSE(s.Conn.Connected());
    EXPECT_EQ(s.Conn.Sent.size(), static_cast<size_t>(4 << 20));
  }
  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korimo
