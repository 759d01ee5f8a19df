// Reading one request on a worker, through a socket pair: the bounds that
// keep a client from holding a worker (a trickle, a request that never
// pauses) and the NUL rule, with the answer read back.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/Limits.h"
#include "net/ServerSocket.h"
#include "net/Thread.h"
#include "web/WWWThread.h"
#include "web_support.h"

namespace korimo {
namespace {

using Clock = std::chrono::steady_clock;

using Worker = testing_support::TestWorker;

// A worker serving one end of a socket pair on this thread; the test is
// the client at the other end.
class Connection {
 public:
  explicit Connection(int readLimitMs = kMaxRequestReadMs) {
    MainThread::Register();
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Client = fds[1];
    auto* c = new TServerClientWinSocket(fds[0], &Listener);
    c->SetNotifyStyles(0);
    W = new Worker(c, Host, readLimitMs);
  }
  ~Connection() {
    if (W) Listener.UnregisterWorker(W);
    delete W;
    close(Client);
  }
  // Serves, then closes the server's end; returns what the client got.
  std::string ServeAndRead() {
    W->Serve();
    Listener.UnregisterWorker(W);
    delete W;
    W = nullptr;
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(Client, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }
  const TCommand& Command() const { return W->Command; }
  Worker* W;
  int Client;

 private:
  TServerWinSocket Listener;
  testing_support::MemoryChatHost Host;
};

// A client that sends one byte every 50 ms, well inside the pause, forever,
// would keep its worker for ever if only pauses ended a request: the whole
// reading is bounded. The answer comes while the client still has bytes to
// send, not after it ran out of them and closed its side.
TEST(RequestReading, ATrickleIsCutAtTheReadLimitAndAnswered) {
  Connection conn(1000);
  std::atomic<bool> ranOut{false};
  std::thread trickle([&] {
    const std::string text = "GET /index.html HTTP/1.0\r\nX-Slow: " + std::string(1000, 'a');
    size_t sent = 0;
    while (sent < text.size() && send(conn.Client, &text[sent], 1, MSG_NOSIGNAL) == 1) {
      ++sent;
      pollfd p{conn.Client, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) break;  // the answer has come: stop sending
    }
    ranOut = sent == text.size();
    shutdown(conn.Client, SHUT_WR);
  });
  const auto start = Clock::now();
  conn.W->Serve();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  trickle.join();
  EXPECT_GE(took, 900);
  EXPECT_FALSE(ranOut);
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = recv(conn.Client, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got.rfind("HTTP/1.0 404 Document follows\r\n", 0), 0u) << got.substr(0, 80);
}

// A request that never pauses stops at the cap and is answered from what
// was read; the rest is not kept.
TEST(RequestReading, ARequestThatNeverPausesStopsAtTheCap) {
  Connection conn;
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::string head = "POST /scripts/status.cgi HTTP/1.0\r\nContent-Length: 9999999\r\n\r\n";
    send(conn.Client, head.data(), head.size(), MSG_NOSIGNAL);
    std::string chunk(65536, 'q');
    while (!stop && send(conn.Client, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    }
  });
  conn.W->Serve();
  stop = true;
  shutdown(conn.Client, SHUT_WR);
  flood.join();
  EXPECT_EQ(conn.Command().Path, "\\scripts\\status.cgi");
  EXPECT_GE(conn.Command().Body.size(), kMaxRequestBytes - 64 - 64);
  EXPECT_LE(conn.Command().Body.size(), kMaxRequestBytes);
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = recv(conn.Client, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
}

// A NUL drops the rest of its chunk, and reading goes on with the next one.
TEST(RequestReading, ANulDropsTheRestOfItsChunkOnly) {
  Connection conn;
  // First chunk: 64 bytes with a NUL at 20; its tail is lost. The second
  // read starts at byte 64.
  std::string first = "GET /scripts/status.cgi";  // 23 bytes
  first.resize(64, 'x');
  first[23] = '\0';
  std::string second = "?after HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(conn.Client, first.data(), first.size(), 0), 64);
  ASSERT_EQ(send(conn.Client, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
  shutdown(conn.Client, SHUT_WR);
  std::string got = conn.ServeAndRead();
  EXPECT_EQ(got.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u) << got.substr(0, 60);
}

}  // namespace
}  // namespace korimo
