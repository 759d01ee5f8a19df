// Platform threads that outlive their thread objects: a parked thread runs
// the next object and ends when idle; the close sequence ends what is
// parked; thousands of connections in bursts beyond the worker cache leave
// no thread behind, and one at a time the cache alone serves them.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "base/Limits.h"
#include "net/ServerSocket.h"
#include "net/Thread.h"
#include "net/WinSocket.h"
#include "net_support.h"

namespace korimo {
namespace {

using namespace testing_support;

// Threads of this process that thread objects have named ("korimo...");
// a sanitizer's own threads do not count.
int ThreadsOfThisProcess() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      if (std::getline(comm, name) && name.rfind("korimo", 0) == 0) ++n;
    }
    closedir(d);
  }
  return n;
}

bool ThreadAlive(pid_t tid) {
  struct stat st;
  return stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) == 0;
}

// Records the platform thread it ran on.
class TRecorder : public TThread {
 public:
  std::atomic<pid_t> Tid{0};

 protected:
  void RunThread() override { Tid = static_cast<pid_t>(syscall(SYS_gettid)); }
};

class ThreadParkTest : public testing::Test {
 protected:
  void SetUp() override {
    MainThread::Register();
    ThreadPark::EndParked();  // nothing left over from an earlier test
    BaseThreads = ThreadsOfThisProcess();
  }
  void TearDown() override {
    ThreadPark::SetLimits(kMaxParkedThreads, kParkedIdleMs);
    ThreadPark::EndParked();
    // Threads that ended by themselves are gone a moment after they say so.
    EXPECT_TRUE(WaitUntil([this] { return ThreadsOfThisProcess() == BaseThreads; }, 30000))
        << ThreadsOfThisProcess() << " threads, " << BaseThreads << " at the start";
  }
  int BaseThreads = 0;
};

TEST_F(ThreadParkTest, ParkedThreadRunsALaterObjectAndEndsWhenIdle) {
  ThreadPark::SetLimits(kMaxParkedThreads, 60000);
  TRecorder first;
  ASSERT_TRUE(first.Start());
  first.WaitFor();
  ASSERT_TRUE(WaitUntil([] { return ThreadPark::ParkedCount() == 1; }));
  const uint64_t created = ThreadPark::CreatedCount();

  // The next object runs on the same platform thread; none is created.
  // With a short idle time set now, that thread parks once more, then ends.
  ThreadPark::SetLimits(kMaxParkedThreads, 20);
  TRecorder second;
  ASSERT_TRUE(second.Start());
  second.WaitFor();
  EXPECT_EQ(second.Tid.load(), first.Tid.load());
  EXPECT_EQ(ThreadPark::CreatedCount(), created);
  EXPECT_TRUE(WaitUntil([] { return ThreadPark::CarrierCount() == 0; }, 30000));
  EXPECT_TRUE(WaitUntil([&] { return !ThreadAlive(first.Tid); }, 30000));

  // With parking off, a thread ends with its object.
  ThreadPark::SetLimits(kMaxParkedThreads, 0);
  TRecorder third;
  ASSERT_TRUE(third.Start());
  third.WaitFor();
  EXPECT_TRUE(WaitUntil([&] { return ThreadPark::CarrierCount() == 0 && !ThreadAlive(third.Tid); }, 30000));
  EXPECT_EQ(ThreadPark::ParkedCount(), 0);
}

TEST_F(ThreadParkTest, AtMostTheBoundParks) {
  ThreadPark::SetLimits(2, 60000);
  std::vector<std::unique_ptr<TRecorder>> objects;
  for (int i = 0; i < 5; ++i) {
    objects.push_back(std::make_unique<TRecorder>());
    ASSERT_TRUE(objects.back()->Start());
  }
  for (auto& o : objects) o->WaitFor();
  EXPECT_TRUE(WaitUntil([] { return ThreadPark::CarrierCount() <= 2; }, 30000));
  EXPECT_LE(ThreadPark::ParkedCount(), 2);
}

// --- through the connection server: default workers, which close at once ---

// Connects `n` clients at once, each sending a byte as browsers send their
// request at once, and waits until the server has closed each. False when
// one could not connect or was not closed within a minute.
bool Burst(uint16_t port, int n) {
  std::vector<int> fds;
  bool ok = true;
  for (int i = 0; i < n; ++i) {
    int fd = ConnectLoopback(port);
    if (fd < 0 || send(fd, "x", 1, MSG_NOSIGNAL) != 1) ok = false;
    if (fd >= 0) fds.push_back(fd);
  }
  for (int fd : fds) {
    pollfd p{fd, POLLIN, 0};
    char c;
    // The worker closes without reading the byte: a reset or an end.
    if (poll(&p, 1, 60000) != 1 || recv(fd, &c, 1, 0) > 0) ok = false;
    close(fd);
  }
  return ok;
}

class ParkedServerTest : public ThreadParkTest {
 protected:
  void SetUp() override {
    ThreadParkTest::SetUp();
    Server.SetServerType(stThreadBlocking);
    Server.SetPort(0);
    Server.Loaded();
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    Port = LocalPort(Server.ServerSocket().SockHandle());
  }
  void TearDown() override {
    if (Server.Active()) Server.SetActive(false);
    ThreadParkTest::TearDown();
  }
  TServerWinSocket& Listener() { return Server.ServerSocket(); }

  TServerSocket Server;
  uint16_t Port = 0;
};

// A worker that holds its connection until the client closes it.
class THoldingWorker : public TServerClientThread {
 public:
  explicit THoldingWorker(TClientSocketPtr c) : TServerClientThread(false, std::move(c)) { StartUnlessSuspended(); }

 protected:
  void ServeConnection() override {
    try {
      TWinSocketStream stream(*ClientSocket(), kIoTimeoutMs);
      char buf[64];
      while (stream.ReadWithin(buf, sizeof buf, kIoTimeoutMs) > 0) {
      }
    } catch (const ESocketError&) {
    }
  }
};

TEST_F(ParkedServerTest, CloseSequenceEndsEveryWorkerAndWhatIsParked) {
  ThreadPark::SetLimits(kMaxParkedThreads, 60000);
  Server.SetActive(false);
  Server.SetOnGetThread([](TServerWinSocket&, TClientSocketPtr& c, TServerClientThread*& t) {
    t = new THoldingWorker(std::move(c));
  });
  Server.SetActive(true);
  Port = LocalPort(Listener().SockHandle());

  // Three times the cache at once, every one held: twenty workers beyond
  // the cache.
  std::vector<int> clients;
  for (int i = 0; i < 3 * kThreadCacheSize; ++i) {
    int fd = ConnectLoopback(Port);
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
  }
  ASSERT_TRUE(WaitUntil([this] { return Listener().WorkerCount() == 3 * kThreadCacheSize; }));
  for (int fd : clients) close(fd);
  // Those beyond the cache end; their threads wait for more.
  ASSERT_TRUE(WaitUntil([this] { return Listener().WorkerCount() == kThreadCacheSize; }));
  EXPECT_TRUE(WaitUntil([] { return ThreadPark::ParkedCount() > 0; }));

  Server.SetActive(false);
  EXPECT_EQ(Listener().WorkerCount(), 0);
  EXPECT_EQ(ThreadPark::ParkedCount(), 0);
  // The close joined every parked thread: nothing of the server runs.
  EXPECT_EQ(ThreadPark::CarrierCount(), 0);
}

TEST_F(ParkedServerTest, TenThousandConnectionsInBurstsLeaveNoThread) {
  const uint64_t createdBefore = ThreadPark::CreatedCount();
  constexpr int kBurst = 2 * kThreadCacheSize + 5;
  int connections = 0;
  while (connections < 10000) {
    ASSERT_TRUE(Burst(Port, kBurst)) << "after " << connections << " connections";
    connections += kBurst;
  }
  const uint64_t created = ThreadPark::CreatedCount() - createdBefore;
  // Platform threads are made for the busiest moment, not per connection.
  EXPECT_LT(created, static_cast<uint64_t>(connections / 10)) << created << " created";
  EXPECT_LE(ThreadPark::CarrierCount(), kBurst + 2);
  // Only the cached ones stay (how many were cached depends on how many
  // were busy at once).
  EXPECT_TRUE(WaitUntil([this] { return Listener().WorkerCount() <= kThreadCacheSize; }));

  Server.SetActive(false);
  EXPECT_EQ(ThreadPark::CarrierCount(), 0);
}

TEST_F(ParkedServerTest, OneAtATimeTheCacheAloneServes) {
  ASSERT_TRUE(Burst(Port, 1));
  const uint64_t created = ThreadPark::CreatedCount();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Burst(Port, 1)) << "connection " << i;
  EXPECT_EQ(ThreadPark::CreatedCount(), created);
  EXPECT_EQ(ThreadPark::ParkedCount(), 0);
  EXPECT_EQ(Listener().WorkerCount(), 1);
}

}  // namespace
}  // namespace korimo
