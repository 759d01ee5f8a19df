// Browsers that go away: a reset while the request is read, a send to a
// client that has reset, a client that stops reading a large file. None of
// it is the operator's business: nothing is posted, nothing escapes the
// worker, and the worker is given back.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/ServerSocket.h"
#include "net/Thread.h"
#include "web/WWWThread.h"
#include "web_support.h"

namespace korimo {
namespace {

using testing_support::LoopbackPair;
using testing_support::MemoryChatHost;
using testing_support::TestWorker;

// Closes with a reset (SO_LINGER {1, 0}), as a browser whose tab closes
// mid-transfer often does.
void ResetClose(int& fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
  fd = -1;
}

void SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    off += static_cast<size_t>(n);
  }
}

// A worker holding the server's end of a loopback connection; the test is
// the browser at the other end.
struct Browser {
  explicit Browser(int receiveBuffer = 0) {
    MainThread::Register();
    auto [server, client] = LoopbackPair(receiveBuffer);
    EXPECT_GE(server, 0);
    Client = client;
    Socket = new TServerClientWinSocket(server, &Listener);
    Socket->SetNotifyStyles(0);
    W = new TestWorker(Socket, Host);
  }
  ~Browser() {
    Listener.UnregisterWorker(W);
    delete W;  // and the connection with it
    if (Client >= 0) close(Client);
  }
  // Resets the client's end and waits until the server's end has seen it.
  void Reset() {
    ResetClose(Client);
    pollfd p{Socket->SockHandle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
  }

  TServerWinSocket Listener;
  MemoryChatHost Host;
  TServerClientWinSocket* Socket;
  TestWorker* W;
  int Client;
};

// The post is read whole, then the browser resets inside the pause that
// ends the reading: the request was never completed, so nothing is posted,
// with a handle or without (where the address would be looked up), and no
// error leaves the worker.
TEST(GoneBrowser, AResetWhileThePostIsReadPostsNothing) {
  for (const char* body : {"handle=bob&text=hi", "text=hi"}) {
    SCOPED_TRACE(body);
    Browser b;
    const std::string form = body;
    SendAll(b.Client, "POST /scripts/append.cgi HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
    b.Reset();
    EXPECT_NO_THROW(b.W->Serve());
    EXPECT_TRUE(b.Host.ChatSnapshot()->empty());
    EXPECT_FALSE(b.W->Command.Method == "POST") << "the request was answered";
  }
}

// A browser that sends its request and closes its sending side in order is
// answered: only a failure is no end of a request.
TEST(GoneBrowser, AnOrderlyHalfCloseIsStillAnswered) {
  Browser b;
  SendAll(b.Client, "POST /scripts/append.cgi HTTP/1.0\r\n\r\nhandle=bob&text=hi");
  shutdown(b.Client, SHUT_WR);
  b.W->Serve();
  ASSERT_EQ(b.Host.ChatSnapshot()->size(), 1u);
  char buf[64];
  EXPECT_GT(recv(b.Client, buf, sizeof buf, 0), 0);
}

// Every branch answering a browser that has already reset: the send fails,
// and that is the end of the connection, not an error for the operator.
TEST(GoneBrowser, AnswersToAResetBrowserFailQuietly) {
  const char* requests[] = {
      "GET /no-such-file.html HTTP/1.0\r\n\r\n",              // the short "404"
      "GET x HTTP/1.0\r\n\r\n",                               // the short "404", not under root/
      "GET /scripts/status.cgi HTTP/1.0\r\n\r\n",             // the chat view
      "POST /scripts/append.cgi HTTP/1.0\r\n\r\ntext=hi",     // the post form
      "HEAD /index.html HTTP/1.0\r\n\r\n",                    // the "501" page
  };
  for (const char* request : requests) {
    SCOPED_TRACE(request);
    Browser b;
    b.Reset();
    EXPECT_NO_THROW(b.W->AnswerRequest(request));
    EXPECT_FALSE(b.Socket->IsConnected());
  }
}

// --- the send limit ---

// Runs in a directory of its own with root/big.bin of `size` bytes (a
// sparse file: zeros, no disk).
class BigFile {
 public:
  explicit BigFile(off_t size) {
    char tmpl[] = "/tmp/korimo-gone-XXXXXX";
    Dir = mkdtemp(tmpl);
    std::filesystem::create_directory(Dir / "root");
    int fd = open((Dir / "root" / "big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
    Old = std::filesystem::current_path();
    std::filesystem::current_path(Dir);
  }
  ~BigFile() {
    std::filesystem::current_path(Old);
    std::filesystem::remove_all(Dir);
  }

 private:
  std::filesystem::path Dir, Old;
};

// Ends a hung answer: resets the client after `ms` unless disarmed first.
class Rescue {
 public:
  Rescue(int& fd, int ms)
      : T([this, &fd, ms] {
          std::unique_lock<std::mutex> l(M);
          if (!Cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return Done; })) {
            Fired = true;
            shutdown(fd, SHUT_RDWR);
          }
        }) {}
  // True when it had not fired.
  bool Disarm() {
    {
      std::lock_guard<std::mutex> l(M);
      Done = true;
    }
    Cv.notify_all();
    T.join();
    return !Fired;
  }

 private:
  std::mutex M;
  std::condition_variable Cv;
  bool Done = false;
  bool Fired = false;
  std::thread T;
};

// A browser with a small window asks for a file far larger than what the
// loopback buffers hold, then stops reading. The send makes no progress,
// fails at the send limit, and the worker returns with the connection
// closed, long before the file could have gone out.
TEST(SendLimit, AClientThatStopsReadingGivesItsWorkerBack) {
  constexpr off_t kSize = 256 << 20;
  BigFile file(kSize);
  Browser b(4096);
  b.Socket->SetSendTimeout(300);
  Rescue rescue(b.Client, 60000);
  b.W->AnswerRequest("GET /big.bin HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(rescue.Disarm()) << "the send did not end by itself";
  EXPECT_FALSE(b.Socket->IsConnected());
  EXPECT_FALSE(b.Socket->HasPendingStream());
}

// ... while a reader that is slow but keeps taking data gets all of it:
// every send makes progress within the limit.
TEST(SendLimit, ASlowSteadyReaderIsServedWhole) {
  constexpr off_t kSize = 4 << 20;
  BigFile file(kSize);
  Browser b(4096);
  b.Socket->SetSendTimeout(2000);
  size_t received = 0;
  std::thread reader([&] {
    char buf[16384];
    for (;;) {
      ssize_t n = recv(b.Client, buf, sizeof buf, 0);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a slow reader, by design
    }
  });
  b.W->AnswerRequest("GET /big.bin HTTP/1.0\r\n\r\n");
  b.Socket->CloseConnection();  // the end of the body, as after any answer
  reader.join();
  const std::string head = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";
  EXPECT_EQ(received, head.size() + static_cast<size_t>(kSize));
}

}  // namespace
}  // namespace korimo
