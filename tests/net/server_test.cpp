// The threaded connection server on loopback: a worker per connection, the
// cache of idle workers, the close sequence with workers in every state,
// reopening, a port in use, escaped worker errors, and the life of every
// worker object under churn.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Limits.h"
#include "net/ServerSocket.h"
#include "net_support.h"

namespace korimo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace testing_support;

// "' API でWindows ソケットエラー: " in code page 932.
const char kApiErrorMiddle[] =
    "' API \x82\xc5" "Windows \x83\x5c\x83\x50\x83\x62\x83\x67\x83\x47\x83\x89\x81\x5b: ";
// "使用中のソケットは値を変更できません"
const char kInUse[] =
    "\x8e\x67\x97\x70\x92\x86\x82\xcc\x83\x5c\x83\x50\x83\x62\x83\x67\x82\xcd\x92\x6c\x82\xf0"
    "\x95\xcf\x8d\x58\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";

std::string ApiErrorText(const char* api, int code) {
  return std::string("'") + api + kApiErrorMiddle + std::strerror(code) + " (" + std::to_string(code) +
         ")";
}

// --- the test workers and their counts ---

std::atomic<int> gConstructed{0}, gDestroyed{0}, gEntered{0}, gPosts{0};
std::mutex gLifeMutex;
std::condition_variable gLifeCond;
std::vector<std::string> gFloodErrors;  // under gLifeMutex

void ResetLives() {
  gConstructed = gDestroyed = gEntered = gPosts = 0;
  std::lock_guard<std::mutex> lock(gLifeMutex);
  gFloodErrors.clear();
}

// For threads other than the main one.
bool WaitDestroyedOffMain(int count, int ms) {
  std::unique_lock<std::mutex> lock(gLifeMutex);
  return gLifeCond.wait_for(lock, std::chrono::milliseconds(ms), [count] { return gDestroyed >= count; });
}

// Reads one line from the connection; empty when none came whole or the
// connection was closed under the worker.
std::string ReadRequestLine(TServerClientWinSocket& c) {
  std::string text;
  try {
    TWinSocketStream stream(c, kIoTimeoutMs);
    char buf[kChunkSize];
    while (text.find('\n') == std::string::npos) {
      if (!stream.WaitReadable(kIoTimeoutMs)) break;
      int n = stream.Read(buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
  } catch (const ESocketError&) {
    return "";
  }
  size_t eol = text.find('\n');
  return eol == std::string::npos ? "" : text.substr(0, eol);
}

// A worker that reads one line and acts on it:
//   echo  - answers "worker <its address>"
//   post  - runs a routine on the main thread, then answers "posted"
//   flood - sends 32 MB, which a client that does not read never takes
//   fail / std / abort - raises an ESocketError, a standard error, an EAbort
class TTestWorker : public TServerClientThread {
 public:
  TTestWorker(bool createSuspended, TClientSocketPtr clientSocket)
      : TServerClientThread(createSuspended, std::move(clientSocket)) {
    ++gConstructed;
    StartUnlessSuspended();
  }
  ~TTestWorker() override {
    {
      std::lock_guard<std::mutex> lock(gLifeMutex);
      ++gDestroyed;
    }
    gLifeCond.notify_all();
  }

 protected:
  void ServeConnection() override {
    ++gEntered;
    TServerClientWinSocket& c = *ClientSocket();
    const std::string line = ReadRequestLine(c);
    if (line == "echo") {
      char id[64];
      std::snprintf(id, sizeof id, "worker %p\n", static_cast<void*>(this));
      Answer(c, id);
    } else if (line == "post") {
      RunOnMainThread([] {
        if (MainThread::IsCurrent()) ++gPosts;
      });
      Answer(c, "posted\n");
    } else if (line == "flood") {
      try {
        c.SendString(std::string(32 * 1024 * 1024, 'x'));
      } catch (const ESocketError& e) {
        std::lock_guard<std::mutex> lock(gLifeMutex);
        gFloodErrors.push_back(e.message());
      }
    } else if (line == "fail") {
      throw ESocketError("worker \x83\x5c failure");
    } else if (line == "std") {
      throw std::runtime_error("plain failure");
    } else if (line == "abort") {
      throw EAbort("quiet");
    }
  }

 private:
  // A connection cut by the server's close is no error of the test's.
  static void Answer(TServerClientWinSocket& c, const std::string& text) {
    try {
      c.SendString(text);
    } catch (const ESocketError&) {
    }
  }
};

void MakeTestWorker(TServerWinSocket&, TClientSocketPtr& c, TServerClientThread*& thread) {
  thread = new TTestWorker(false, std::move(c));
}

// The browser's side of one connection. On the main thread its waits serve
// hand-offs.
class TClient {
 public:
  explicit TClient(uint16_t port) : Fd(ConnectLoopback(port)) {}
  ~TClient() {
    if (Fd >= 0) close(Fd);
  }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  bool Connected() const { return Fd >= 0; }
  void Send(const std::string& text) {
    if (Fd >= 0) send(Fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  // One line without its end; empty when none came within `ms`.
  std::string ReadLine(int ms = 10000) {
    while (Buffer.find('\n') == std::string::npos) {
      if (!ReadSome(ms)) return "";
    }
    size_t eol = Buffer.find('\n');
    std::string line = Buffer.substr(0, eol);
    Buffer.erase(0, eol + 1);
    return line;
  }
  // True when the server closed the connection within `ms`; whatever came
  // before is dropped.
  bool ReadToEof(int ms = 10000) {
    while (ReadSome(ms)) Buffer.clear();
    return Closed;
  }
  // True once at least `bytes` wait unread in the receive queue.
  bool AwaitQueued(int bytes, int ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    int queued = 0;
    while (Clock::now() < deadline) {
      ioctl(Fd, FIONREAD, &queued);
      if (queued >= bytes) return true;
      pollfd p{Fd, POLLIN, 0};
      poll(&p, 1, 5);
    }
    return false;
  }

 private:
  // Reads what comes next; false at the close or when `ms` pass.
  bool ReadSome(int ms) {
    if (Fd < 0 || Closed) return false;
    const bool main = MainThread::IsCurrent();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      if (main) MainThread::ServePending();
      pollfd p[2] = {{Fd, POLLIN, 0}, {MainThread::WakeFd(), POLLIN, 0}};
      if (poll(p, main ? 2 : 1, 50) <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = recv(Fd, buf, sizeof buf, 0);
      if (n <= 0) {
        Closed = true;  // an orderly close, or a reset
        return false;
      }
      Buffer.append(buf, static_cast<size_t>(n));
      return true;
    }
    return false;
  }

  int Fd;
  bool Closed = false;
  std::string Buffer;
};

using Clients = std::vector<std::unique_ptr<TClient>>;

// --- fixture: an open server on a port of the system's choosing ---

class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    MainThread::Register();
    ResetLives();
    // Escaped errors, as the program shows them: on the main thread.
    Server.SetOnWorkerError([this](std::exception_ptr error) {
      RunOnMainThread([&] {
        Reports.push_back(ErrorMessage(error));
        if (!MainThread::IsCurrent()) ++ReportsOffMain;
      });
    });
    Server.SetServerType(stThreadBlocking);
    Server.SetPort(0);
    Server.SetOnGetThread(MakeTestWorker);
    Server.Loaded();
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    Port = LocalPort(Listener().SockHandle());
  }

  void TearDown() override {
    Server.SetActive(false);
    EXPECT_EQ(Listener().WorkerCount(), 0);
    EXPECT_EQ(Listener().ClientCount(), 0);
    EXPECT_TRUE(WaitUntil([] { return gDestroyed == gConstructed; }))
        << gConstructed << " workers made, " << gDestroyed << " destroyed";
    EXPECT_EQ(ReportsOffMain, 0);
  }

  TServerWinSocket& Listener() { return Server.ServerSocket(); }

  // Closes, lets `configure` change the server while it is closed, and
  // opens it again on a port of the system's choosing (kept in Port).
  void Reopen(const std::function<void()>& configure) {
    Server.SetActive(false);
    configure();
    Server.SetActive(true);
    Port = LocalPort(Listener().SockHandle());
  }

  // Opens again with the worker cap and grace time given.
  void ReopenWithCap(int maxWorkers, int idleGraceMs) {
    Reopen([&] {
      TServerLimits limits;
      limits.MaxWorkers = maxWorkers;
      limits.IdleGraceMs = idleGraceMs;
      Server.SetLimits(limits);
    });
  }

  // n connections, each taken by a worker before the next is made: the
  // listen queue holds only five, and a connection beyond it would wait for
  // the client's retry.
  Clients Connect(int n) {
    Clients clients;
    for (int i = 0; i < n; ++i) {
      const int entered = gEntered;
      clients.push_back(std::make_unique<TClient>(Port));
      EXPECT_TRUE(WaitUntil([entered] { return gEntered > entered; }));
    }
    return clients;
  }

  TServerSocket Server;
  uint16_t Port = 0;
  std::vector<std::string> Reports;
  int ReportsOffMain = 0;
};

TEST_F(ServerTest, ElevenConnectionsLeaveTenCachedWorkers) {
  Clients clients = Connect(10);
  ASSERT_TRUE(WaitUntil([] { return gEntered == 10; }));
  EXPECT_EQ(Listener().CachedWorkerCount(), 10);

  // An eleventh while all ten are busy gets a worker of its own...
  TClient extra(Port);
  ASSERT_TRUE(WaitUntil([] { return gEntered == 11; }));
  EXPECT_EQ(Listener().WorkerCount(), 11);
  EXPECT_EQ(Listener().CachedWorkerCount(), 10);
  extra.Send("echo\n");
  std::set<std::string> ids{extra.ReadLine()};
  EXPECT_TRUE(extra.ReadToEof());
  // ...which ends after that one connection.
  ASSERT_TRUE(WaitUntil([this] { return gDestroyed == 1 && Listener().WorkerCount() == 10; }));

  for (auto& c : clients) {
    c->Send("echo\n");
    ids.insert(c->ReadLine());
    EXPECT_TRUE(c->ReadToEof());
  }
  EXPECT_EQ(ids.size(), 11u);
  EXPECT_EQ(ids.count(""), 0u);
  ASSERT_TRUE(WaitUntil([this] { return Listener().IdleWorkerCount() == 10 && Listener().ClientCount() == 0; }));
  EXPECT_EQ(Listener().WorkerCount(), 10);
  EXPECT_EQ(Listener().CachedWorkerCount(), 10);
  EXPECT_EQ(gConstructed, 11);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(ServerTest, FirstIdleWorkerIsReused) {
  // Three workers, registered in the order of their connections.
  Clients clients = Connect(3);
  std::vector<std::string> ids;
  for (auto& c : clients) {
    c->Send("echo\n");
    ids.push_back(c->ReadLine());
    EXPECT_TRUE(c->ReadToEof());
  }
  ASSERT_TRUE(WaitUntil([this] { return Listener().IdleWorkerCount() == 3; }));

  for (int round = 0; round < 3; ++round) {
    TClient c(Port);
    c.Send("echo\n");
    EXPECT_EQ(c.ReadLine(), ids[0]);
    EXPECT_TRUE(c.ReadToEof());
    ASSERT_TRUE(WaitUntil([this] { return Listener().IdleWorkerCount() == 3; }));
  }
  // While the first is busy, the next connection goes to the second.
  TClient busy(Port);
  ASSERT_TRUE(WaitUntil([] { return gEntered == 7; }));
  TClient next(Port);
  next.Send("echo\n");
  EXPECT_EQ(next.ReadLine(), ids[1]);
  busy.Send("echo\n");
  EXPECT_EQ(busy.ReadLine(), ids[0]);
  EXPECT_EQ(gConstructed, 3);
}

TEST_F(ServerTest, ReopensOnTheSamePort) {
  Server.SetActive(false);
  Server.SetPort(Port);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_THROW(Server.SetActive(true));
    ASSERT_TRUE(Server.Active());
    EXPECT_TRUE(Listener().HasAcceptor());
    EXPECT_EQ(LocalPort(Listener().SockHandle()), Port);
    // The server closes each connection first, leaving it in TIME_WAIT.
    for (int i = 0; i < 3; ++i) {
      TClient c(Port);
      c.Send("echo\n");
      EXPECT_NE(c.ReadLine(), "");
      EXPECT_TRUE(c.ReadToEof());
    }
    Server.SetActive(false);
    EXPECT_FALSE(Server.Active());
    EXPECT_FALSE(Listener().HasAcceptor());
    EXPECT_EQ(Listener().WorkerCount(), 0);
  }
}

TEST_F(ServerTest, PortHeldByAnotherListenerRaisesBindError) {
  int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(held, 1), 0);

  Server.SetActive(false);
  Server.SetPort(LocalPort(held));
  try {
    Server.SetActive(true);
    ADD_FAILURE() << "opened on a port held by another listener";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.message(), ApiErrorText("bind", EADDRINUSE));
  }
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(Listener().HasAcceptor());
  EXPECT_EQ(Listener().SockHandle(), -1);
  close(held);

  // A later open on a free port works.
  Server.SetPort(0);
  ASSERT_NO_THROW(Server.SetActive(true));
  TClient c(LocalPort(Listener().SockHandle()));
  c.Send("echo\n");
  EXPECT_NE(c.ReadLine(), "");
}

TEST_F(ServerTest, EscapedWorkerErrorsAreShownOnMainThreadExceptAbort) {
  struct Case {
    const char* Command;
    std::vector<std::string> Shown;
  };
  const Case cases[] = {
      {"fail", {"worker \x83\x5c failure"}},
      {"std", {"plain failure"}},
      {"abort", {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Command);
    Reports.clear();
    const int destroyed = gDestroyed;
    TClient c(Port);
    c.Send(std::string(k.Command) + "\n");
    EXPECT_TRUE(c.ReadToEof());  // closed without an answer
    // The worker ends instead of going back to the cache.
    ASSERT_TRUE(WaitUntil([&] { return gDestroyed == destroyed + 1; }));
    EXPECT_EQ(Reports, k.Shown);
    EXPECT_EQ(Listener().WorkerCount(), 0);
  }
}

// The accept thread may be held up right after starting a worker, long
// enough for the worker to serve its connection and destroy itself: the
// server must not look at that worker any more.
TEST_F(ServerTest, WorkerGoneBeforeItsHandlerReturnsIsLeftAlone) {
  Reopen([this] {
    Server.SetThreadCacheSize(0);  // every worker ends after one connection
    Server.SetOnGetThread([](TServerWinSocket&, TClientSocketPtr& c, TServerClientThread*& thread) {
      const int destroyed = gDestroyed;
      thread = new TTestWorker(false, std::move(c));
      EXPECT_TRUE(WaitDestroyedOffMain(destroyed + 1, 10000));
    });
  });
  for (int i = 0; i < 3; ++i) {
    TClient c(Port);
    c.Send("echo\n");
    EXPECT_NE(c.ReadLine(), "");
    EXPECT_TRUE(c.ReadToEof());
  }
  EXPECT_TRUE(WaitUntil([this] { return gDestroyed == 3 && Listener().WorkerCount() == 0; }));
}

TEST_F(ServerTest, EveryWorkerIsDestroyedOnceUnderChurn) {
  Server.SetActive(false);
  Server.SetPort(Port);
  Server.SetThreadCacheSize(2);  // most workers end on their own
  Server.SetActive(true);
  constexpr int kThreads = 4, kEach = 50;
  std::atomic<int> cycles{0}, hung{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        TClient c(Port);
        if (c.Connected()) {
          switch ((t + i) % 5) {
            case 0: c.Send("echo\n"); break;
            case 1: c.Send("post\n"); break;
            case 2: c.Send("ec"); break;  // half a line, then gone
            default: break;               // gone at once
          }
          if ((t + i) % 5 < 2 && !c.ReadToEof()) ++hung;
        }
        ++cycles;
      }
    });
  }
  for (int stop : {60, 130}) {
    EXPECT_TRUE(WaitUntil([&] { return cycles >= stop; }, 20000));
    Server.SetActive(false);
    EXPECT_EQ(Listener().WorkerCount(), 0);
    EXPECT_EQ(Listener().ClientCount(), 0);
    Server.SetActive(true);
  }
  EXPECT_TRUE(WaitUntil([&] { return cycles == kThreads * kEach; }, 30000));
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(hung, 0);
  Server.SetActive(false);
  EXPECT_EQ(Listener().WorkerCount(), 0);
  EXPECT_EQ(Listener().ClientCount(), 0);
  EXPECT_TRUE(WaitUntil([] { return gDestroyed == gConstructed; }));
  EXPECT_GT(gConstructed, 2);
}

// --- the close sequence with workers in every state ---

struct CloseCase {
  const char* Name;
  int Idle;     // cached, waiting for a connection
  int Reading;  // waiting for a request line
  int Sending;  // blocked in a send to a client that does not read
  int HandOff;  // waiting in a hand-off that nobody has served yet
};

class ServerCloseTest : public ServerTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(ServerCloseTest, EndsEveryWorker) {
  const CloseCase& k = GetParam();
  const int total = k.Idle + k.Reading + k.Sending + k.HandOff;
  Clients clients = Connect(total);
  ASSERT_TRUE(WaitUntil([&] { return gEntered == total; }));
  auto next = clients.begin();
  for (int i = 0; i < k.Idle; ++i, ++next) {
    (*next)->Send("echo\n");
    EXPECT_NE((*next)->ReadLine(), "");
  }
  ASSERT_TRUE(WaitUntil([&] { return Listener().IdleWorkerCount() == k.Idle; }));
  next += k.Reading;
  for (int i = 0; i < k.Sending; ++i, ++next) {
    (*next)->Send("flood\n");
    ASSERT_TRUE((*next)->AwaitQueued(65536));
  }
  for (int i = 0; i < k.HandOff; ++i, ++next) {
    (*next)->Send("post\n");
    ASSERT_TRUE(AwaitQueuedHandOff());
  }
  EXPECT_EQ(gPosts, 0);

  Server.SetActive(false);
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(Listener().HasAcceptor());
  EXPECT_EQ(Listener().SockHandle(), -1);
  EXPECT_EQ(Listener().WorkerCount(), 0);
  EXPECT_EQ(Listener().ClientCount(), 0);
  EXPECT_EQ(gPosts, k.HandOff);  // served during the close
  {
    std::lock_guard<std::mutex> lock(gLifeMutex);
    EXPECT_EQ(gFloodErrors, std::vector<std::string>(k.Sending, ApiErrorText("send", EPIPE)));
  }
  for (auto& c : clients) EXPECT_TRUE(c->ReadToEof());
  EXPECT_TRUE(WaitUntil([&] { return gDestroyed == total; }));
  EXPECT_EQ(gConstructed, total);
  EXPECT_TRUE(Reports.empty());
  EXPECT_EQ(Listener().ThreadCacheSize(), 10);
}

INSTANTIATE_TEST_SUITE_P(States, ServerCloseTest,
                         testing::Values(CloseCase{"Idle", 2, 0, 0, 0}, CloseCase{"Reading", 0, 2, 0, 0},
                                         CloseCase{"Sending", 0, 0, 1, 0}, CloseCase{"HandOff", 0, 0, 0, 2},
                                         CloseCase{"AllAtOnce", 2, 2, 1, 1}),
                         [](const testing::TestParamInfo<CloseCase>& param) { return param.param.Name; });

// --- the component's own rules ---

// A handler that raises after building its worker has handed the
// connection over all the same: the worker serves and closes it, and the
// server must not delete it a second time.
TEST_F(ServerTest, HandlerThatRaisesAfterBuildingItsWorkerLosesNothing) {
  Reopen([this] {
    Server.SetOnGetThread([](TServerWinSocket&, TClientSocketPtr& c, TServerClientThread*&) {
      new TTestWorker(false, std::move(c));
      throw std::runtime_error("the handler fails late");
    });
  });
  for (int i = 0; i < 3; ++i) {
    TClient c(Port);
    c.Send("echo\n");
    EXPECT_NE(c.ReadLine(), "");
  }
  EXPECT_TRUE(WaitUntil([] { return gEntered == 3; }));
  EXPECT_TRUE(Reports.empty());
}

// At the worker cap, the oldest connection that has sent nothing for the
// grace time gives way to the newest; one that has sent part of a request
// is not silent and keeps its worker. The workers never exceed the cap.
TEST_F(ServerTest, AtTheCapTheOldestSilentConnectionGivesWay) {
  ReopenWithCap(3, 300);

  Clients held = Connect(1);
  held[0]->Send("ec");  // half a line: heard from, not silent
  ASSERT_TRUE(WaitUntil([this] { return Listener().SilentCount() == 0; }));
  Clients silent = Connect(2);
  ASSERT_EQ(Listener().WorkerCount(), 3);

  TClient newest(Port);
  newest.Send("echo\n");
  EXPECT_TRUE(silent[0]->ReadToEof()) << "the oldest silent connection was not cut";
  EXPECT_NE(newest.ReadLine(), "");
  EXPECT_LE(Listener().WorkerCount(), 3);
  // The one that had spoken is still being served: no end has come to it.
  held[0]->Send("ho\n");
  EXPECT_NE(held[0]->ReadLine(), "");
}

// With every worker busy and nobody silent for long, a new connection waits
// in the listen queue, and the close sequence still ends at once: the
// accept thread's wait for room gives way to the close.
TEST_F(ServerTest, CloseEndsAWaitForRoom) {
  ReopenWithCap(2, 600000);
  Clients busy = Connect(2);
  TClient waiting(Port);
  ASSERT_TRUE(waiting.Connected());
  Server.SetActive(false);
  EXPECT_TRUE(waiting.ReadToEof());
  EXPECT_EQ(gEntered, 2);
  Server.SetActive(true);  // and it opens again as before
  EXPECT_TRUE(Server.Active());
}

TEST(ServerComponentTest, LoadingDefersOpeningAndOpenListenerLocksSettings) {
  MainThread::Register();
  ResetLives();
  {
    TServerSocket server;
    EXPECT_EQ(server.ThreadCacheSize(), 10);
    EXPECT_EQ(server.ServerType(), stNonBlocking);
    server.SetServerType(stThreadBlocking);
    server.SetPort(0);
    server.SetOnGetThread(MakeTestWorker);
    server.SetActive(true);
    EXPECT_TRUE(server.Active());  // recorded while loading...
    EXPECT_EQ(server.ServerSocket().SockHandle(), -1);  // ...not opened
    server.Loaded();
    ASSERT_TRUE(server.Active());
    EXPECT_TRUE(server.ServerSocket().HasAcceptor());

    struct Change {
      const char* Name;
      std::function<void(TServerSocket&)> Apply;
    };
    const Change changes[] = {
        {"port", [](TServerSocket& s) { s.SetPort(8); }},
        {"service", [](TServerSocket& s) { s.SetService("echo"); }},
        {"server type", [](TServerSocket& s) { s.SetServerType(stNonBlocking); }},
    };
    for (const Change& change : changes) {
      SCOPED_TRACE(change.Name);
      try {
        change.Apply(server);
        ADD_FAILURE() << "changed while open";
      } catch (const ESocketError& e) {
        EXPECT_EQ(e.message(), kInUse);
      }
    }
    EXPECT_EQ(server.Port(), 0);
    EXPECT_EQ(server.Service(), "");
    EXPECT_EQ(server.ServerType(), stThreadBlocking);

    // One worker waits in the cache when the component goes.
    TClient c(LocalPort(server.ServerSocket().SockHandle()));
    c.Send("echo\n");
    EXPECT_NE(c.ReadLine(), "");
    ASSERT_TRUE(WaitUntil([&] { return server.ServerSocket().IdleWorkerCount() == 1; }));
  }
  EXPECT_TRUE(WaitUntil([] { return gDestroyed == 1; }));
  EXPECT_EQ(gConstructed, 1);
}

}  // namespace
}  // namespace korimo
