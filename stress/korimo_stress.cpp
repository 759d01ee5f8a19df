// korimo_stress: the long fault run against a korimo that is already
// serving on 127.0.0.1 (scripts/stress.sh starts it). It
//   1. opens N connections that send nothing and holds them;
//   2. meanwhile has ordinary requests answered, each within the pause
//      after a request (200 ms) plus 100 ms, and reports their latencies;
//   3. reports the server's threads and resident memory at the peak;
//   4. checks that the server closes every silent connection at its 60 s
//      limit, and that a client trickling one byte every 150 ms gets its
//      answer (or a close) within 60 s of its first byte;
//   5. checks that the server comes back to its descriptors and still
//      answers.
// Prints a compact report; the exit status is 0 when every check held.
//
//   korimo_stress --port P --pid PID [--idle N] [--requests N]
//   korimo_stress --free-port      prints a port that is free right now
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "net/Limits.h"

using namespace korimo;
using namespace korimo::e2e;

namespace {

const std::string kIndexRequest = "GET /index.html HTTP/1.0\r\n\r\n";
const std::string kChatRequest = "GET /scripts/status.cgi HTTP/1.0\r\n\r\n";
constexpr Ms kAnswerLimit{kNextChunkWaitMs + 100};
// The silent connections' limit, and how late a close may come after it.
constexpr Ms kIdleLimit{kFirstChunkWaitMs};
constexpr Ms kCloseSlack{1000};
constexpr Ms kTrickleStep{150};

struct Options {
  int Port = 0;
  pid_t Pid = 0;
  int Idle = 2000;
  int Requests = 100;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return true;
    };
    int pid = 0;
    if (a == "--free-port") {
      printf("%d\n", PickFreePort());
      exit(0);
    } else if (a == "--port") {
      if (!value(o.Port)) return false;
    } else if (a == "--pid") {
      if (!value(pid)) return false;
      o.Pid = pid;
    } else if (a == "--idle") {
      if (!value(o.Idle)) return false;
    } else if (a == "--requests") {
      if (!value(o.Requests)) return false;
    } else {
      return false;
    }
  }
  return o.Port > 0 && o.Pid > 0 && o.Idle >= 0 && o.Requests > 0;
}

double Seconds(Ms d) { return static_cast<double>(d.count()) / 1000.0; }
double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

// The value at fraction q of the sorted samples (nearest rank).
long long Percentile(std::vector<long long> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
  return v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
}

int failures = 0;
void Check(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    printf("  FAILED: %s\n", what.c_str());
  }
}

// The server's peak threads and resident memory, sampled while it runs.
class Sampler {
 public:
  explicit Sampler(pid_t pid)
      : T([this, pid] {
          while (!Done.load()) {
            PeakThreads.store(std::max(PeakThreads.load(), ThreadCount(pid)));
            PeakKiB.store(std::max(PeakKiB.load(), ResidentKiB(pid)));
            poll(nullptr, 0, 50);
          }
        }) {}
  ~Sampler() { Stop(); }
  void Stop() {
    Done = true;
    if (T.joinable()) T.join();
  }
  std::atomic<long> PeakThreads{0}, PeakKiB{0};

 private:
  std::atomic<bool> Done{false};
  std::thread T;
};

// One byte every 150 ms, a request that never ends: the server must answer
// from what it has (or close) once the request has taken 60 s.
struct Trickler {
  Ms Took{-1};  // first byte to the answer or the close
  std::string Answer;
  std::string Failure;

  void Run(int port) {
    try {
      Fd c = ConnectPaced(port);
      const std::string text = "GET /index.html HTTP/1.0\r\nX-Trickle: ";
      auto first = Clock::now();
      for (size_t i = 0;; ++i) {
        char byte = i < text.size() ? text[i] : 'a';
        if (send(c.get(), &byte, 1, MSG_NOSIGNAL) != 1) {
          Took = Since(first);  // the server has closed
          break;
        }
        if (WaitReadable(c.get(), kTrickleStep)) {
          Took = Since(first);
          Answer = ReadToClose(c.get(), Ms(5000)).Bytes;
          break;
        }
        if (Since(first) > kIdleLimit + Ms(10000)) {
          Failure = "no answer after " + std::to_string(Since(first).count()) + " ms";
          break;
        }
      }
    } catch (const std::exception& e) {
      Failure = e.what();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    fprintf(stderr, "usage: korimo_stress --port P --pid PID [--idle N] [--requests N] | --free-port\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const rlim_t needed = static_cast<rlim_t>(o.Idle + o.Requests + 64);
  if (RaiseDescriptorLimit(needed) < needed) {
    fprintf(stderr, "korimo_stress: cannot raise the descriptor limit to %ju\n", static_cast<uintmax_t>(needed));
    return 2;
  }

  // The server is up and answers.
  auto upBy = Clock::now() + Ms(10000);
  while (!TryConnect(o.Port)) {
    if (Clock::now() > upBy || kill(o.Pid, 0) != 0) {
      fprintf(stderr, "korimo_stress: nothing listens on port %d\n", o.Port);
      return 2;
    }
    poll(nullptr, 0, 10);
  }
  const std::string index = Get(o.Port, "/index.html");
  const std::string chat = Get(o.Port, "/scripts/status.cgi");
  PollUntil([&] { return ConnectionDescriptors(o.Pid, o.Port) == 0; }, Ms(5000));
  const size_t baseFds = OpenDescriptors(o.Pid).size();
  const long baseThreads = ThreadCount(o.Pid);
  const long baseKiB = ResidentKiB(o.Pid);
  printf("korimo stress: pid %d, port %d, %d silent connections, %d requests\n", static_cast<int>(o.Pid), o.Port,
         o.Idle, o.Requests);
  Check(index.rfind("HTTP/1.0 200 ", 0) == 0, "GET /index.html answers 200");

  Sampler sampler(o.Pid);

  // 1. The silent connections, paced by the accept queue (backlog 5).
  std::vector<Fd> idle;
  std::vector<Clock::time_point> connectedAt;
  idle.reserve(static_cast<size_t>(o.Idle));
  auto openStart = Clock::now();
  for (int i = 0; i < o.Idle; ++i) {
    try {
      idle.push_back(ConnectPaced(o.Port));
      connectedAt.push_back(Clock::now());
    } catch (const std::exception& e) {
      Check(false, "connection " + std::to_string(i) + ": " + e.what());
      break;
    }
  }
  Ms opening = Since(openStart);
  bool allAccepted =
      PollUntil([&] { return ConnectionDescriptors(o.Pid, o.Port) >= static_cast<int>(idle.size()); }, Ms(10000));
  printf("  opened %zu silent connections in %.1f s; all accepted: %s\n", idle.size(), Seconds(opening),
         allAccepted ? "yes" : "no");
  Check(allAccepted, "the server accepted every silent connection");

  // The trickler runs through the whole wait.
  Trickler trickler;
  std::thread trickle([&] { trickler.Run(o.Port); });

  // 2. Ordinary requests, a few at a time, as browsers keep them open.
  std::vector<long long> latencies;
  std::mutex m;
  std::atomic<int> next{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < o.Requests;) {
        const bool chatPage = i % 5 == 4;
        try {
          Fd c = ConnectPaced(o.Port);
          SendAll(c.get(), chatPage ? kChatRequest : kIndexRequest);
          auto sent = Clock::now();
          Received r = ReadToClose(c.get(), Ms(5000));
          long long ms = Since(sent).count();
          if (!r.Closed || r.Error || r.Bytes != (chatPage ? chat : index)) ++wrong;
          std::lock_guard<std::mutex> l(m);
          latencies.push_back(ms);
        } catch (const std::exception&) {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  const long long p50 = Percentile(latencies, 0.50), p99 = Percentile(latencies, 0.99),
                  worst = Percentile(latencies, 1.0);
  printf("  requests: %zu answered, %d wrong; latency p50 %lld ms, p99 %lld ms, max %lld ms (limit %lld)\n",
         latencies.size() - static_cast<size_t>(std::min<int>(wrong, static_cast<int>(latencies.size()))), wrong.load(),
         p50, p99, worst, static_cast<long long>(kAnswerLimit.count()));
  Check(wrong == 0, "every request answered whole");
  Check(worst <= kAnswerLimit.count(), "every request answered within the pause plus 100 ms");

  // 3. The peak, with every silent connection held by a worker.
  printf("  peak: threads %ld, resident %.1f MiB (at the start: threads %ld, %.1f MiB)\n", sampler.PeakThreads.load(),
         MiB(sampler.PeakKiB.load()), baseThreads, MiB(baseKiB));

  // 4. The server ends each silent connection at its limit, without an answer.
  std::vector<pollfd> fds;
  for (const Fd& f : idle) fds.push_back({f.get(), POLLIN, 0});
  std::vector<Ms> closedAfter(idle.size(), Ms(-1));
  size_t open = idle.size(), answered = 0, reset = 0;
  const auto waitEnd = (connectedAt.empty() ? Clock::now() : connectedAt.back()) + kIdleLimit + kCloseSlack + Ms(2000);
  while (open > 0 && Clock::now() < waitEnd) {
    int left = static_cast<int>(std::chrono::duration_cast<Ms>(waitEnd - Clock::now()).count());
    int r = poll(fds.data(), fds.size(), std::max(left, 0));
    if (r <= 0) continue;
    auto now = Clock::now();
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[256];
      ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n > 0) ++answered;
      if (n < 0) ++reset;
      closedAfter[i] = std::chrono::duration_cast<Ms>(now - connectedAt[i]);
      fds[i].fd = -1;
      --open;
    }
  }
  Ms earliest = Ms::max(), latest = Ms(0);
  for (Ms d : closedAfter) {
    if (d.count() < 0) continue;
    earliest = std::min(earliest, d);
    latest = std::max(latest, d);
  }
  printf("  silent connections closed by the server: %zu of %zu, after %.2f .. %.2f s (limit %.0f s + %.1f s)%s\n",
         idle.size() - open, idle.size(), open == idle.size() ? 0.0 : Seconds(earliest), Seconds(latest),
         Seconds(kIdleLimit), Seconds(kCloseSlack),
         answered || reset
             ? (", " + std::to_string(answered) + " with bytes, " + std::to_string(reset) + " reset").c_str()
             : "");
  Check(open == 0, "every silent connection closed by the server");
  Check(open == idle.size() || earliest >= kIdleLimit - Ms(500), "no silent connection closed before its limit");
  Check(latest <= kIdleLimit + kCloseSlack, "every silent connection closed by its limit");
  Check(answered == 0, "no silent connection got an answer");
  idle.clear();

  trickle.join();
  printf("  trickler (1 byte / %lld ms): %s after %.2f s from its first byte%s\n",
         static_cast<long long>(kTrickleStep.count()),
         trickler.Answer.empty()    ? "closed"
         : trickler.Answer == index ? "answered 200, the whole file"
                                    : "answered",
         Seconds(trickler.Took), trickler.Failure.empty() ? "" : (" (" + trickler.Failure + ")").c_str());
  Check(trickler.Failure.empty() && trickler.Took.count() >= 0, "the trickler got an answer or a close");
  Check(trickler.Took <= Ms(kMaxRequestReadMs) + kCloseSlack,
        "the trickler was answered within 60 s of its first byte");
  Check(trickler.Answer.empty() || trickler.Answer == index, "the trickler's answer is the file it asked for");

  // 5. Back to where it started, and still serving.
  bool settled = PollUntil(
      [&] { return ConnectionDescriptors(o.Pid, o.Port) == 0 && OpenDescriptors(o.Pid).size() == baseFds; }, Ms(10000));
  sampler.Stop();
  printf("  after: descriptors %zu (at the start %zu), threads %ld, resident %.1f MiB\n", OpenDescriptors(o.Pid).size(),
         baseFds, ThreadCount(o.Pid), MiB(ResidentKiB(o.Pid)));
  Check(settled, "descriptors back to where they started");
  Check(ThreadCount(o.Pid) <= baseThreads + kThreadCacheSize, "threads back to the cache's size");
  std::string again;
  try {
    again = Get(o.Port, "/index.html");
  } catch (const std::exception& e) {
    again = e.what();
  }
  Check(again == index, "still serving afterwards");

  printf("RESULT: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}
