// Crowds against the real binary: bursts of browsers connecting at once,
// a post whose browser resets, and a crowd of silent connections at the
// worker cap. No connect is dropped or reset, nothing phantom is posted,
// threads stay within the cap, and Update and Exit still finish.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "e2e/e2e_support.h"
#include "base/Limits.h"

namespace korimo::e2e {
namespace {

const std::string kPage = "<html><body>page</body></html>\r\n";

// The listen queue of the listener on `port`, as `ss -ltn` shows it (its
// Send-Q); -1 when none is found.
int ListenQueueLimit(int port) {
  std::string cmd = "ss -Hltn 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char line[512];
  int limit = -1;
  while (fgets(line, sizeof line, p)) {
    char state[32];
    int recvQ = 0, sendQ = 0;
    if (sscanf(line, "%31s %d %d", state, &recvQ, &sendQ) == 3) limit = sendQ;
  }
  pclose(p);
  return limit;
}

int SystemListenQueueMax() {
  std::ifstream f("/proc/sys/net/core/somaxconn");
  int n = -1;
  f >> n;
  return n;
}

// The server's worker threads, by their name.
long WorkerThreads(pid_t pid) {
  long n = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "korimo-worker") ++n;
  }
  return n;
}

// After a test's clients are done: every connection closed, the
// descriptors as at the start, and no worker thread beyond the cached
// ones.
void ExpectBaseline(Server& s, size_t baseDescriptors) {
  const pid_t pid = s->pid();
  EXPECT_TRUE(PollUntil([&] { return ConnectionDescriptors(pid, s.Port) == 0; }, Ms(30000)));
  EXPECT_TRUE(PollUntil([&] { return OpenDescriptors(pid).size() == baseDescriptors; }, Ms(30000)))
      << OpenDescriptors(pid).size() << " descriptors, " << baseDescriptors << " at the start";
  // A worker that has just ended may take a moment to leave.
  EXPECT_TRUE(PollUntil([&] { return WorkerThreads(pid) <= kThreadCacheSize; }, Ms(30000)))
      << ThreadSummary(pid);
}

size_t StartingDescriptors(Server& s) {
  PollUntil([&] { return ConnectionDescriptors(s->pid(), s.Port) == 0; }, Ms(30000));
  return OpenDescriptors(s->pid()).size();
}

// Segments this socket had to send again (a lost SYN among them).
unsigned Retransmits(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return ~0u;
  return info.tcpi_total_retrans;
}

// 60 browsers connecting in the same instant, five times over: the queue
// holds them all, so none is reset, none has to retry its SYN, and every
// one gets the whole page.
TEST(Crowds, BurstsOfConnectsAreAllTakenAtOnce) {
  TempDir dir;
  dir.AddFile("page.html", kPage);
  Server s = StartServer(dir);
  const size_t baseDescriptors = StartingDescriptors(s);
  EXPECT_EQ(ListenQueueLimit(s.Port), std::min(SystemListenQueueMax(), SOMAXCONN));

  const std::string expected = HtmlReplyHead() + kPage;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Fd> conns;
    for (int i = 0; i < 60; ++i) conns.push_back(Connect(s.Port));  // the handshakes finish in the kernel
    for (Fd& c : conns) {
      SendAll(c.get(), "GET /page.html HTTP/1.0\r\n\r\n");
      shutdown(c.get(), SHUT_WR);
    }
    for (Fd& c : conns) {
      Received r = ReadToClose(c.get(), Ms(30000));
      EXPECT_EQ(r.Error, 0) << strerror(r.Error);
      EXPECT_EQ(r.Bytes, expected);
      EXPECT_EQ(Retransmits(c.get()), 0u);
    }
  }
  ExpectBaseline(s, baseDescriptors);
  EXPECT_EQ(ErrorReports(*s), "");
}

// A browser posts, then resets its connection inside the pause that ends
// the reading (a tab closed right after Send). The post was never
// completed: no line, with a handle or without, and no report.
TEST(Crowds, APostFollowedByAResetAddsNothing) {
  TempDir dir;
  Server s = StartServer(dir);
  const size_t baseDescriptors = StartingDescriptors(s);
  for (const char* body : {"handle=gone&text=phantom", "text=phantom"}) {
    SCOPED_TRACE(body);
    Fd c = Connect(s.Port);
    SendAll(c.get(), PostRequest(body));
    ResetClose(c);
  }
  // Both connections are done with once the server has closed them.
  ASSERT_TRUE(PollUntil([&] { return ConnectionDescriptors(s->pid(), s.Port) == 0; }, Ms(30000)));
  const std::string reply = Exchange(s.Port, PostRequest("handle=kept&text=real"));
  EXPECT_EQ(reply.rfind("HTTP/1.0 200", 0), 0u) << reply;
  const std::string shown = s->Show();
  EXPECT_EQ(shown.find("phantom"), std::string::npos) << shown;
  EXPECT_NE(shown.find("kept> real"), std::string::npos) << shown;
  ExpectBaseline(s, baseDescriptors);
  EXPECT_EQ(ErrorReports(*s), "");
}

// The peak of a value read from /proc while a test runs.
class PeakSampler {
 public:
  explicit PeakSampler(std::function<long()> read)
      : T([this, read = std::move(read)] {
          while (!Stop.load()) {
            long v = read();
            long p = Peak.load();
            while (v > p && !Peak.compare_exchange_weak(p, v)) {
            }
            poll(nullptr, 0, 1);
          }
        }) {}
  ~PeakSampler() { Finish(); }
  long Finish() {
    Stop = true;
    if (T.joinable()) T.join();
    return Peak.load();
  }

 private:
  std::atomic<bool> Stop{false};
  std::atomic<long> Peak{0};
  std::thread T;
};

std::vector<Fd> OpenSilent(int port, int n) {
  std::vector<Fd> conns;
  for (int i = 0; i < n; ++i) conns.push_back(Connect(port));
  return conns;
}

// With the cap at 32, 100 connections that never send a byte: the server
// holds at most the cap in workers (and a worker or two that is ending), an
// ordinary request is still answered, and Update and Exit finish in the
// middle of it all. Afterwards threads and descriptors are back where they
// started.
TEST(Crowds, SilentConnectionsAtTheCapKeepNobodyOut) {
  constexpr int kCap = 32;
  TempDir dir;
  dir.AddFile("page.html", kPage);
  SpawnOptions opt;
  opt.ExtraArgs = {"--max-workers", std::to_string(kCap), "--idle-grace-ms", "300"};
  Server s = StartServer(dir, opt);
  const pid_t pid = s->pid();
  // A started server has its main and accept threads and, from the start
  // check, at most the cached workers of those first connections.
  const size_t baseDescriptors = StartingDescriptors(s);
  const long baseThreads = ThreadCount(pid);
  const std::string expected = HtmlReplyHead() + kPage;
  PeakSampler workers([pid] { return WorkerThreads(pid); });

  // 1. Silent crowd, then an ordinary browser.
  {
    std::vector<Fd> silent = OpenSilent(s.Port, 100);
    EXPECT_EQ(Exchange(s.Port, "GET /page.html HTTP/1.0\r\n\r\n", Ms(60000)), expected);
  }
  // 2. Update with a silent crowd held: every connection goes, the listener
  // reopens on the same port.
  {
    std::vector<Fd> silent = OpenSilent(s.Port, 100);
    ASSERT_TRUE(PollUntil([&] { return ConnectionDescriptors(pid, s.Port) >= kCap; }, Ms(30000)))
        << ConnectionDescriptors(pid, s.Port) << " connections; " << ThreadSummary(pid);
    s->Type("/update");
    ASSERT_TRUE(s->Barrier(Ms(60000))) << ThreadSummary(pid);
    EXPECT_EQ(Exchange(s.Port, "GET /page.html HTTP/1.0\r\n\r\n", Ms(60000)), expected);
  }
  EXPECT_TRUE(PollUntil([&] { return ConnectionDescriptors(pid, s.Port) == 0; }, Ms(30000)));
  EXPECT_TRUE(PollUntil([&] { return ThreadCount(pid) <= baseThreads; }, Ms(30000)))
      << ThreadSummary(pid);
  EXPECT_TRUE(PollUntil([&] { return OpenDescriptors(pid).size() == baseDescriptors; }, Ms(30000)))
      << OpenDescriptors(pid).size() << " descriptors, " << baseDescriptors << " at the start";
  EXPECT_LE(workers.Finish(), kCap + 2) << "workers beyond the cap";

  // 3. Exit with a silent crowd held.
  std::vector<Fd> silent = OpenSilent(s.Port, 100);
  ASSERT_TRUE(PollUntil([&] { return ConnectionDescriptors(pid, s.Port) >= kCap; }, Ms(30000)));
  s->Type("/quit");
  EXPECT_EQ(s->WaitExit(Ms(60000)), std::optional<int>(0)) << s->Stderr();
  EXPECT_EQ(ErrorReports(*s), "");
}

// The soft descriptor limit is raised to the hard one at start-up: the
// default 1024 would end accepting long before the worker cap.
TEST(Crowds, TheDescriptorLimitIsRaisedAtStart) {
  TempDir dir;
  SpawnOptions opt;
  opt.SoftDescriptorLimit = 1024;
  opt.HardDescriptorLimit = 4000;
  Server s = StartServer(dir, opt);
  std::ifstream limits("/proc/" + std::to_string(s->pid()) + "/limits");
  std::string line;
  bool found = false;
  while (std::getline(limits, line)) {
    long soft = 0, hard = 0;
    if (sscanf(line.c_str(), "Max open files %ld %ld", &soft, &hard) != 2) continue;
    found = true;
    EXPECT_EQ(soft, 4000) << line;
    EXPECT_EQ(hard, 4000) << line;
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace korimo::e2e
