// Worker errors reach the operator one report at a time: while a report is
// up, later errors are counted, their workers are not held, and the count is
// reported when the first report closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/ErrorReport.h"
#include "net/ServerSocket.h"
#include "net/Thread.h"

namespace korimo {
namespace {

class FailingWorker : public TServerClientThread {
 public:
  explicit FailingWorker(TClientSocketPtr c) : TServerClientThread(false, std::move(c)) { StartUnlessSuspended(); }

 protected:
  void ServeConnection() override { throw Exception("boom"); }
};

int FreePortServer(TServerSocket& server) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    close(s);
    server.SetPort(port);
    try {
      server.SetActive(true);
      return port;
    } catch (const ESocketError&) {
    }
  }
  return 0;
}

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Connects and waits until the server closes the connection.
bool ConnectAndWaitClose(int port) {
  int s = Connect(port);
  if (s < 0) return false;
  bool ok = true;
  char c;
  ok = ok && recv(s, &c, 1, 0) == 0;  // closed without a byte
  close(s);
  return ok;
}

TEST(WorkerErrorFlood, OneReportAtATimeTheRestCountedAndNotHeld) {
  MainThread::Register();
  constexpr int kFlood = 30;
  TServerSocket server;
  server.SetServerType(stThreadBlocking);
  server.SetOnGetThread([](TServerWinSocket&, TClientSocketPtr& c, TServerClientThread*& t) {
    t = new FailingWorker(std::move(c));
  });
  server.SetOnWorkerError(ReportWorkerError);
  server.Loaded();
  const int port = FreePortServer(server);
  ASSERT_NE(port, 0);

  std::vector<std::string> reports;
  std::atomic<bool> firstReportUp{false};
  std::atomic<int> floodClosed{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
  SetErrorReporter([&](const std::string& message) {
    reports.push_back(message);
    if (reports.size() == 1) {
      // The report stays on screen until every flood connection has been
      // closed by its worker: none of them waits for this one.
      firstReportUp = true;
      MainThread::WaitServing([&] { return floodClosed.load() == kFlood || late(); });
    }
  });

  std::thread clients([&] {
    // The first failing connection: its worker waits for the report.
    int first = Connect(port);
    while (!firstReportUp && !late()) std::this_thread::yield();
    for (int i = 0; i < kFlood; ++i)
      if (ConnectAndWaitClose(port)) ++floodClosed;
    MainThread::Notify();
    if (first >= 0) close(first);
  });
  MainThread::WaitServing([&] { return reports.size() >= 2 || late(); });
  clients.join();
  SetErrorReporter(nullptr);

  EXPECT_EQ(floodClosed.load(), kFlood);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], "boom");
  EXPECT_EQ(reports[1].rfind(std::to_string(kFlood) + " ", 0), 0u) << reports[1];
  EXPECT_EQ(WorkerErrorsHeldBack(), 0);
  server.SetActive(false);
  EXPECT_EQ(server.ServerSocket().WorkerCount(), 0);
}

}  // namespace
}  // namespace korimo
