// korimo_stress: the long fault run against a korimo that is already
// serving on 127.0.0.1 (scripts/stress.sh starts it). Three runs, one per
// invocation:
//
// The limits run (the default):
//   1. opens N connections that send nothing and holds them;
//   2. meanwhile has ordinary requests answered, each within the pause
//      after a request (200 ms) plus 100 ms, and reports their latencies;
//   3. reports the server's threads and resident memory at the peak;
//   4. checks that the server closes every silent connection at its 60 s
//      limit, and that a client trickling one byte every 150 ms gets its
//      answer (or a close) within 60 s of its first byte;
//   5. checks that the server comes back to its descriptors and still
//      answers.
//
// The probe run (--probe ... -- COMMAND ARGS...): starts COMMAND (a
// slow-client attack; again while --min-seconds have not passed, should
// the server shake it off sooner) and, for as long as it runs, asks for
// the chat view with a half-closed request one after the other; each must
// be answered within --limit-ms (300). Reports the probes' latencies and
// failures, the server's peak threads and resident memory, and that it
// settles after. "{run}" in an argument becomes the run's number (1, 2,
// ...), so that each run can keep its own files.
//
// The crowd run (--crowd N --cap C): opens N connections that send
// nothing, as fast as the server lets them in, and holds them for
// --hold-seconds while ordinary requests go on; checks that no more than C
// worker threads are ever alive and that every ordinary request is
// answered, then that the server settles once the crowd goes.
//
// Each prints a compact report ending in one "PHASE name=... key=value"
// line for the script's summary and "RESULT: PASS|FAIL"; the exit status
// is 0 when every check held.
//
//   korimo_stress --port P --pid PID [--idle N] [--requests N]
//   korimo_stress --port P --pid PID --probe [--label L] [--limit-ms MS]
//                 [--min-seconds S] [--max-seconds S] [--child-log FILE]
//                 -- COMMAND ARGS...
//   korimo_stress --port P --pid PID --crowd N --cap C [--hold-seconds S]
//                 [--window W]
//   korimo_stress --free-port      prints a port that is free right now
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "base/Limits.h"

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
// How long the server may take to let every connection go once its
// clients have.
constexpr Ms kSettleLimit{20000};
const char* const kWorkerThreadName = "korimo-worker";

enum class Run { Limits, Probe, Crowd };

struct Options {
  Run Mode = Run::Limits;
  int Port = 0;
  pid_t Pid = 0;
  int Idle = 2000;
  int Requests = 100;
  // The probe run.
  std::string Label = "probe";
  int LimitMs = 300;
  int MinSeconds = 0;
  int MaxSeconds = 120;
  std::string ChildLog;
  std::vector<std::string> Command;
  // The crowd run.
  int Crowd = 0;
  int Cap = 0;
  int HoldSeconds = 20;
  int Window = 512;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return true;
    };
    auto text = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
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
    } else if (a == "--probe") {
      o.Mode = Run::Probe;
    } else if (a == "--label") {
      if (!text(o.Label)) return false;
    } else if (a == "--limit-ms") {
      if (!value(o.LimitMs)) return false;
    } else if (a == "--min-seconds") {
      if (!value(o.MinSeconds)) return false;
    } else if (a == "--max-seconds") {
      if (!value(o.MaxSeconds)) return false;
    } else if (a == "--child-log") {
      if (!text(o.ChildLog)) return false;
    } else if (a == "--crowd") {
      o.Mode = Run::Crowd;
      if (!value(o.Crowd)) return false;
    } else if (a == "--cap") {
      if (!value(o.Cap)) return false;
    } else if (a == "--hold-seconds") {
      if (!value(o.HoldSeconds)) return false;
    } else if (a == "--window") {
      if (!value(o.Window)) return false;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.Command.emplace_back(argv[i]);
    } else {
      return false;
    }
  }
  if (o.Port <= 0 || o.Pid <= 0) return false;
  switch (o.Mode) {
    case Run::Limits:
      return o.Idle >= 0 && o.Requests > 0;
    case Run::Probe:
      return !o.Command.empty() && o.LimitMs > 0 && o.MaxSeconds > 0;
    case Run::Crowd:
      return o.Crowd > 0 && o.Cap > 0 && o.HoldSeconds > 0 && o.Window > 0;
  }
  return false;
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

// ------------------------------------------------------- the server's figures

long PeakResidentKiB(pid_t pid) { return ProcStatusValue(pid, "VmHWM"); }

// Starts the resident peak (VmHWM) afresh, so that it tells this run's
// peak; false when the kernel does not let us (it then counts from the
// server's start).
bool ResetPeakResident(pid_t pid) {
  std::ofstream f("/proc/" + std::to_string(pid) + "/clear_refs");
  f << "5\n";
  f.flush();
  return static_cast<bool>(f);
}

struct TaskCount {
  long Tasks = 0;    // entries of /proc/PID/task
  long Workers = 0;  // those named as workers
};

// The walk over /proc/PID/task takes a while and is no snapshot: threads
// that end during it and threads that start during it would both be
// counted. Only those still there once the walk is over count: each of
// them was alive at the walk's end, so the count never exceeds the number
// alive at one moment.
TaskCount CountTasks(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
  std::vector<std::pair<std::string, bool>> seen;  // thread id, a worker
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    seen.emplace_back(task.path().filename().string(), name == kWorkerThreadName);
  }
  TaskCount n;
  for (const auto& [tid, worker] : seen) {
    if (access((dir + tid).c_str(), F_OK) != 0) continue;
    ++n.Tasks;
    if (worker) ++n.Workers;
  }
  return n;
}

// The server's peak threads and resident memory, sampled while it runs:
// the status line's thread count and VmRSS every 50 ms, the task list (a
// walk over every thread) every 250 ms.
class Sampler {
 public:
  explicit Sampler(pid_t pid)
      : T([this, pid] {
          for (int tick = 0;; ++tick) {
            Raise(PeakThreads, ThreadCount(pid));
            Raise(PeakKiB, ResidentKiB(pid));
            if (tick % 5 == 0) {
              TaskCount n = CountTasks(pid);
              Raise(PeakTasks, n.Tasks);
              Raise(PeakWorkers, n.Workers);
            }
            std::unique_lock<std::mutex> l(M);
            if (Cv.wait_for(l, Ms(50), [this] { return Done; })) break;
          }
        }) {}
  ~Sampler() { Stop(); }
  void Stop() {
    {
      std::lock_guard<std::mutex> l(M);
      Done = true;
    }
    Cv.notify_all();
    if (T.joinable()) T.join();
  }
  std::atomic<long> PeakThreads{0}, PeakKiB{0}, PeakTasks{0}, PeakWorkers{0};

 private:
  static void Raise(std::atomic<long>& peak, long v) {
    long seen = peak.load();
    while (v > seen && !peak.compare_exchange_weak(seen, v)) {
    }
  }
  std::mutex M;
  std::condition_variable Cv;
  bool Done = false;
  std::thread T;
};

// The summary line the script collects.
void PrintPhase(const std::string& name, const Sampler& s, pid_t pid, const std::string& extra) {
  printf("PHASE name=%s threads_peak=%ld tasks_peak=%ld workers_peak=%ld rss_peak_kib=%ld hwm_kib=%ld%s%s result=%s\n",
         name.c_str(), s.PeakThreads.load(), s.PeakTasks.load(), s.PeakWorkers.load(), s.PeakKiB.load(),
         PeakResidentKiB(pid), extra.empty() ? "" : " ", extra.c_str(), failures == 0 ? "PASS" : "FAIL");
}

void PrintPeak(const Sampler& s, pid_t pid, bool peakReset) {
  printf("  peak: threads %ld (status), %ld tasks, %ld of them workers; resident %.1f MiB sampled, VmHWM %.1f MiB%s\n",
         s.PeakThreads.load(), s.PeakTasks.load(), s.PeakWorkers.load(), MiB(s.PeakKiB.load()),
         MiB(PeakResidentKiB(pid)), peakReset ? "" : " (since the server's start)");
}

// ---------------------------------------------------------------- clients

// One request on a connection of its own, everything bounded by `timeout`:
// a connect that the server's queue holds back counts against it too.
struct Timed {
  bool Closed = false;  // the server closed (or reset) the connection
  std::string Error;    // what went wrong before that
  std::string Bytes;
  long long TookMs = 0;  // connect start to the close
};

Timed TimedExchange(int port, std::string_view request, bool halfClose, Ms timeout) {
  Timed t;
  const auto start = Clock::now(), deadline = start + timeout;
  auto left = [&] {
    return static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<Ms>(deadline - Clock::now()).count()));
  };
  // Waits for `events`; false at the deadline.
  auto wait = [&](int fd, short events) {
    for (;;) {
      pollfd p{fd, events, 0};
      int r = poll(&p, 1, left());
      if (r < 0 && errno == EINTR) continue;
      return r > 0;
    }
  };
  auto done = [&](std::string error) {
    t.Error = std::move(error);
    t.TookMs = Since(start).count();
    return t;
  };
  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s) return done(Errno("socket"));
  sockaddr_in a = Loopback(port);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) return done(Errno("connect"));
    if (!wait(s.get(), POLLOUT)) return done("connect timed out");
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return done(std::string("connect: ") + strerror(err));
  }
  while (!request.empty()) {
    ssize_t n = send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
    if (n > 0) {
      request.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait(s.get(), POLLOUT)) return done("send timed out");
    } else {
      return done(Errno("send"));
    }
  }
  if (halfClose) shutdown(s.get(), SHUT_WR);
  char buf[8192];
  for (;;) {
    if (!wait(s.get(), POLLIN)) return done("no close in time");
    ssize_t n = recv(s.get(), buf, sizeof buf, 0);
    if (n > 0) {
      t.Bytes.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      t.Closed = true;
      return done("");
    } else if (errno != EAGAIN && errno != EINTR) {
      t.Closed = true;
      return done(Errno("recv"));
    }
  }
}

bool IsOkAnswer(const Timed& t) { return t.Error.empty() && t.Bytes.rfind("HTTP/1.0 200 ", 0) == 0; }

struct Latencies {
  std::vector<long long> Ms;
  int Failed = 0;
  std::string FirstFailure;
  std::mutex M;

  void Add(const Timed& t, bool ok, long long limitMs) {
    std::lock_guard<std::mutex> l(M);
    Ms.push_back(t.TookMs);
    if (!ok || t.TookMs > limitMs) {
      if (Failed++ == 0)
        FirstFailure = (t.Error.empty() ? (ok ? "slow" : "wrong answer") : t.Error) + " after " +
                       std::to_string(t.TookMs) + " ms";
    }
  }
  std::string Summary() {
    std::lock_guard<std::mutex> l(M);
    char out[160];
    snprintf(out, sizeof out, "%zu, %d failed; latency p50 %lld ms, p99 %lld ms, max %lld ms", Ms.size(), Failed,
             Percentile(Ms, 0.50), Percentile(Ms, 0.99), Percentile(Ms, 1.0));
    return out;
  }
};

// Waits until the server has let every connection go and its threads are
// back to the cache's size at most; prints what it found.
bool Settle(pid_t pid, int port, long nonWorkerThreads) {
  auto start = Clock::now();
  bool settled = PollUntil(
      [&] {
        return ConnectionDescriptors(pid, port) == 0 && ThreadCount(pid) <= nonWorkerThreads + kThreadCacheSize;
      },
      kSettleLimit);
  printf("  after: %s in %.1f s; connections %d, threads %ld, resident %.1f MiB\n",
         settled ? "settled" : "NOT settled", Seconds(Since(start)), ConnectionDescriptors(pid, port), ThreadCount(pid),
         MiB(ResidentKiB(pid)));
  Check(settled, "every connection let go and threads back to the cache's size");
  std::string again;
  try {
    again = Get(port, "/index.html");
  } catch (const std::exception& e) {
    again = e.what();
  }
  Check(again.rfind("HTTP/1.0 200 ", 0) == 0, "still serving afterwards");
  return settled;
}

// The server's threads that are not workers (main, accept, ...), counted
// while none is busy.
long NonWorkerThreads(pid_t pid) {
  TaskCount n = CountTasks(pid);
  return n.Tasks - n.Workers;
}

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

// --------------------------------------------------------- the limits run

int RunLimits(const Options& o) {
  const rlim_t needed = static_cast<rlim_t>(o.Idle + o.Requests + 64);
  if (RaiseDescriptorLimit(needed) < needed) {
    fprintf(stderr, "korimo_stress: cannot raise the descriptor limit to %ju\n", static_cast<uintmax_t>(needed));
    return 2;
  }
  const std::string index = Get(o.Port, "/index.html");
  const std::string chat = Get(o.Port, "/scripts/status.cgi");
  PollUntil([&] { return ConnectionDescriptors(o.Pid, o.Port) == 0; }, Ms(5000));
  const size_t baseFds = OpenDescriptors(o.Pid).size();
  const long baseThreads = ThreadCount(o.Pid);
  const long baseKiB = ResidentKiB(o.Pid);
  printf("korimo stress, limits: pid %d, port %d, %d silent connections, %d requests\n", static_cast<int>(o.Pid),
         o.Port, o.Idle, o.Requests);
  Check(index.rfind("HTTP/1.0 200 ", 0) == 0, "GET /index.html answers 200");

  const bool peakReset = ResetPeakResident(o.Pid);
  Sampler sampler(o.Pid);

  // 1. The silent connections, each once the accept queue is (nearly)
  // empty, so that the server takes them in the order they were made and
  // their 60 s limits fall in that order too.
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
  PrintPeak(sampler, o.Pid, peakReset);
  printf("  at the start: threads %ld, resident %.1f MiB\n", baseThreads, MiB(baseKiB));

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

  PrintPhase("limits", sampler, o.Pid,
             "silent=" + std::to_string(o.Idle) + " requests=" + std::to_string(latencies.size()) +
                 " request_failed=" + std::to_string(wrong.load()) + " p99_ms=" + std::to_string(p99) +
                 " max_ms=" + std::to_string(worst));
  return 0;
}

// ---------------------------------------------------------- the probe run

// The attack as a child: its output to `log`, no input; it dies with us.
pid_t StartCommand(const std::vector<std::string>& command, const std::string& log) {
  std::vector<std::string> args = command;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = log.empty() ? -1 : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls from here to exec.
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    signal(SIGPIPE, SIG_DFL);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (out >= 0) close(out);
  if (in >= 0) close(in);
  return child;
}

int RunProbe(const Options& o) {
  PollUntil([&] { return ConnectionDescriptors(o.Pid, o.Port) == 0; }, Ms(5000));
  const long nonWorkers = NonWorkerThreads(o.Pid);
  printf("korimo stress, %s: pid %d, port %d; probe GET /scripts/status.cgi (half-closed), limit %d ms\n",
         o.Label.c_str(), static_cast<int>(o.Pid), o.Port, o.LimitMs);
  const bool peakReset = ResetPeakResident(o.Pid);

  // Wakes the probe loop when the attack ends.
  int ended[2];
  if (pipe2(ended, O_CLOEXEC) != 0) {
    perror("korimo_stress: pipe2");
    return 2;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(o.MaxSeconds);
  Sampler sampler(o.Pid);
  pid_t child = -1;
  int runs = 0;
  std::atomic<int> childStatus{-1};
  std::thread reaper;
  // The command, and a thread that waits for its end.
  auto launch = [&] {
    std::vector<std::string> command = o.Command;
    for (std::string& a : command) {
      for (size_t at; (at = a.find("{run}")) != std::string::npos;) a.replace(at, 5, std::to_string(runs + 1));
    }
    child = StartCommand(command, o.ChildLog);
    if (child < 0) throw std::runtime_error(Errno("fork"));
    ++runs;
    reaper = std::thread([&, pid = child] {
      int st = 0;
      while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
      childStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      char byte = 1;
      ssize_t ignored = write(ended[1], &byte, 1);
      (void)ignored;
    });
  };
  launch();

  // Probes one after the other, 100 ms apart, until the attack ends. An
  // attack that the server shakes off before --min-seconds is started
  // again; past --max-seconds it is stopped (TERM, then KILL 5 s later).
  Latencies probes;
  bool termSent = false, killSent = false;
  std::vector<int> statuses;
  for (;;) {
    Timed t = TimedExchange(o.Port, kChatRequest, true, Ms(std::max(5000, o.LimitMs * 2)));
    probes.Add(t, IsOkAnswer(t), o.LimitMs);
    if (Clock::now() > deadline && !termSent) {
      kill(child, SIGTERM);
      termSent = true;
    }
    if (Clock::now() > deadline + Ms(5000) && !killSent) {
      kill(child, SIGKILL);
      killSent = true;
    }
    pollfd p{ended[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char byte;
    ssize_t ignored = read(ended[0], &byte, 1);
    (void)ignored;
    reaper.join();
    statuses.push_back(childStatus.load());
    if (Since(start) < std::chrono::seconds(o.MinSeconds) && !termSent) {
      launch();
      continue;
    }
    break;
  }
  close(ended[0]);
  close(ended[1]);
  const Ms ran = Since(start);
  const bool allZero = std::all_of(statuses.begin(), statuses.end(), [](int s) { return s == 0; });
  printf("  attack ran %.1f s in %d run(s), exit status %s%s\n", Seconds(ran), runs,
         allZero ? "0" : std::to_string(statuses.back()).c_str(), termSent ? " (stopped at the time limit)" : "");
  printf("  probes: %s (limit %d ms)%s%s\n", probes.Summary().c_str(), o.LimitMs,
         probes.Failed ? "; first: " : "", probes.FirstFailure.c_str());
  Check(probes.Ms.size() > 0, "at least one probe ran");
  Check(probes.Failed == 0, "every probe answered 200 within " + std::to_string(o.LimitMs) + " ms");
  Check(!termSent, "the attack ended by itself");
  Check(allZero, "the attack ran as asked (exit status 0)");
  PrintPeak(sampler, o.Pid, peakReset);
  Settle(o.Pid, o.Port, nonWorkers);
  sampler.Stop();
  PrintPhase(o.Label, sampler, o.Pid,
             "probes=" + std::to_string(probes.Ms.size()) + " probe_failed=" + std::to_string(probes.Failed) +
                 " probe_p99_ms=" + std::to_string(Percentile(probes.Ms, 0.99)) +
                 " probe_max_ms=" + std::to_string(Percentile(probes.Ms, 1.0)) +
                 " attack_s=" + std::to_string(ran.count() / 1000) + " attack_runs=" + std::to_string(runs));
  return 0;
}

// ---------------------------------------------------------- the crowd run

// N connections that send nothing, opened with at most `window` connects
// under way, and watched until the server lets them go.
class Crowd {
 public:
  Crowd(int port, int n, int window) : Port(port), Window(window), Conns(static_cast<size_t>(n)) {
    Epoll = Fd(epoll_create1(EPOLL_CLOEXEC));
    if (!Epoll) throw std::runtime_error(Errno("epoll_create1"));
  }

  // Runs until `until`, or earlier once every connection has been started
  // and none is connecting any more and `enough` holds.
  void Run(Clock::time_point until, const std::function<bool()>& enough) {
    epoll_event events[256];
    while (Clock::now() < until) {
      while (Next < Conns.size() && Connecting < Window && !PortsExhausted) Start(Next++);
      if ((Next == Conns.size() || PortsExhausted) && Connecting == 0 && enough()) break;
      int left = static_cast<int>(std::chrono::duration_cast<Ms>(until - Clock::now()).count());
      int n = epoll_wait(Epoll.get(), events, 256, std::clamp(left, 0, 100));
      for (int i = 0; i < n; ++i) Event(events[i].data.u32, events[i].events);
    }
  }

  // Closes every connection still open (our side first).
  void CloseAll() {
    for (Conn& c : Conns) c.S.Reset();
  }

  enum class State : uint8_t { Unstarted, Connecting, Held, Cut, Failed };
  struct Conn {
    Fd S;
    State St = State::Unstarted;
  };

  int Port, Window;
  std::vector<Conn> Conns;
  size_t Next = 0;
  int Connecting = 0, HeldNow = 0, CutCount = 0, CutWithBytes = 0, FailedCount = 0;
  bool PortsExhausted = false;
  std::string FirstError;
  Clock::time_point LastConnected{};

 private:
  void Start(size_t i) {
    Conn& c = Conns[i];
    c.S = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!c.S) return Fail(c, Errno("socket"));
    sockaddr_in a = Loopback(Port);
    int r = connect(c.S.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r != 0 && errno != EINPROGRESS) {
      if (errno == EADDRNOTAVAIL) PortsExhausted = true;
      return Fail(c, Errno("connect"));
    }
    epoll_event e{};
    e.events = EPOLLOUT;
    e.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(Epoll.get(), EPOLL_CTL_ADD, c.S.get(), &e);
    c.St = State::Connecting;
    ++Connecting;
  }

  void Event(uint32_t i, uint32_t events) {
    Conn& c = Conns[i];
    if (c.St == State::Connecting) {
      --Connecting;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(c.S.get(), SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0 || (events & EPOLLERR)) return Fail(c, std::string("connect: ") + strerror(err ? err : EIO));
      c.St = State::Held;
      ++HeldNow;
      LastConnected = Clock::now();
      epoll_event e{};
      e.events = EPOLLIN | EPOLLRDHUP;
      e.data.u32 = i;
      epoll_ctl(Epoll.get(), EPOLL_CTL_MOD, c.S.get(), &e);
    } else if (c.St == State::Held) {
      char buf[256];
      ssize_t n = recv(c.S.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (n > 0) ++CutWithBytes;
      c.St = State::Cut;
      --HeldNow;
      ++CutCount;
      c.S.Reset();  // leaves the epoll set with it
    }
  }

  void Fail(Conn& c, const std::string& what) {
    if (FailedCount++ == 0) FirstError = what;
    c.St = State::Failed;
    c.S.Reset();
  }

  Fd Epoll;
};

int RunCrowd(const Options& o) {
  const rlim_t needed = static_cast<rlim_t>(o.Crowd + 256);
  if (RaiseDescriptorLimit(needed) < needed) {
    fprintf(stderr, "korimo_stress: cannot raise the descriptor limit to %ju\n", static_cast<uintmax_t>(needed));
    return 2;
  }
  const std::string index = Get(o.Port, "/index.html");
  PollUntil([&] { return ConnectionDescriptors(o.Pid, o.Port) == 0; }, Ms(5000));
  const long nonWorkers = NonWorkerThreads(o.Pid);
  printf("korimo stress, crowd: pid %d, port %d, %d silent connections against a cap of %d workers, held %d s\n",
         static_cast<int>(o.Pid), o.Port, o.Crowd, o.Cap, o.HoldSeconds);
  const bool peakReset = ResetPeakResident(o.Pid);
  Sampler sampler(o.Pid);

  // The connections the server holds, now and then (a walk over the
  // kernel's whole table: every 500 ms).
  std::atomic<int> peakHeldByServer{0};
  std::atomic<bool> stop{false};
  std::mutex sm;
  std::condition_variable scv;
  std::thread counter([&] {
    std::unique_lock<std::mutex> l(sm);
    while (!stop) {
      l.unlock();
      int n = ConnectionDescriptors(o.Pid, o.Port);
      peakHeldByServer = std::max(peakHeldByServer.load(), n);
      l.lock();
      scv.wait_for(l, Ms(500), [&] { return stop.load(); });
    }
  });

  // Ordinary requests all along: the chat view half-closed, and a page
  // with the sending side open as browsers do (answered after the pause).
  // A connect held back by a full listen queue waits for the kernel's SYN
  // retries (1, 3, 7 s): hence the generous limit.
  Latencies chatRequests, pageRequests;
  const Ms requestLimit(15000);
  auto pause = [&](Ms d) {
    std::unique_lock<std::mutex> l(sm);
    scv.wait_for(l, d, [&] { return stop.load(); });
  };
  std::thread chatClient([&] {
    while (!stop) {
      Timed t = TimedExchange(o.Port, kChatRequest, true, requestLimit);
      chatRequests.Add(t, IsOkAnswer(t), requestLimit.count());
      pause(Ms(50));
    }
  });
  std::thread pageClient([&] {
    while (!stop) {
      Timed t = TimedExchange(o.Port, kIndexRequest, false, requestLimit);
      pageRequests.Add(t, t.Error.empty() && t.Bytes == index, requestLimit.count());
      pause(Ms(50));
    }
  });

  // Held at least --hold-seconds; longer (another minute at most) while
  // connections are still waiting to get in.
  Crowd crowd(o.Port, o.Crowd, o.Window);
  const auto start = Clock::now();
  const auto holdEnd = start + std::chrono::seconds(o.HoldSeconds);
  crowd.Run(holdEnd + Ms(60000), [&] { return Clock::now() >= holdEnd; });
  const Ms held = Since(start);
  const int heldAtEnd = crowd.HeldNow, waiting = crowd.Connecting;
  const int serverHeldAtEnd = ConnectionDescriptors(o.Pid, o.Port);
  const TaskCount tasksAtEnd = CountTasks(o.Pid);
  stop = true;
  scv.notify_all();
  chatClient.join();
  pageClient.join();
  counter.join();

  const int connected = heldAtEnd + crowd.CutCount;
  printf("  crowd: %d connected on the client side (the last %.1f s after the start), %d cut by the server (%d "
         "with bytes), %d held at the end, %d still connecting, %d failed%s%s\n",
         connected, connected ? Seconds(std::chrono::duration_cast<Ms>(crowd.LastConnected - start)) : 0.0,
         crowd.CutCount, crowd.CutWithBytes, heldAtEnd, waiting, crowd.FailedCount,
         crowd.FailedCount ? "; first: " : "", crowd.FirstError.c_str());
  printf("  server after %.1f s: %d connections held (peak %d), %ld tasks of which %ld workers\n", Seconds(held),
         serverHeldAtEnd, peakHeldByServer.load(), tasksAtEnd.Tasks, tasksAtEnd.Workers);
  printf("  chat view, half-closed: %s\n", chatRequests.Summary().c_str());
  printf("  page, sending side open: %s\n", pageRequests.Summary().c_str());
  PrintPeak(sampler, o.Pid, peakReset);
  if (!chatRequests.FirstFailure.empty()) printf("  first chat view failure: %s\n", chatRequests.FirstFailure.c_str());
  if (!pageRequests.FirstFailure.empty()) printf("  first page failure: %s\n", pageRequests.FirstFailure.c_str());

  const long peakWorkers = sampler.PeakWorkers.load();
  const bool named = peakWorkers > 0 || sampler.PeakTasks.load() <= nonWorkers;
  Check(named, "the worker threads carry their name");
  Check(peakWorkers <= o.Cap, "at most " + std::to_string(o.Cap) + " worker threads (peak " +
                                  std::to_string(peakWorkers) + ")");
  Check(sampler.PeakThreads.load() <= o.Cap + nonWorkers,
        "at most the cap plus the " + std::to_string(nonWorkers) + " other threads in /proc/PID/status (peak " +
            std::to_string(sampler.PeakThreads.load()) + ")");
  Check(sampler.PeakTasks.load() <= o.Cap + nonWorkers, "at most the cap plus the other threads in /proc/PID/task");
  Check(crowd.FailedCount == 0, "every crowd connection connected or is still waiting");
  Check(!chatRequests.Ms.empty() && !pageRequests.Ms.empty(), "ordinary requests ran during the crowd");
  Check(chatRequests.Failed == 0 && pageRequests.Failed == 0,
        "every ordinary request answered whole within " + std::to_string(requestLimit.count() / 1000) + " s");

  crowd.CloseAll();
  Settle(o.Pid, o.Port, nonWorkers);
  sampler.Stop();
  std::vector<long long> all = chatRequests.Ms;
  all.insert(all.end(), pageRequests.Ms.begin(), pageRequests.Ms.end());
  PrintPhase("crowd", sampler, o.Pid,
             "crowd=" + std::to_string(o.Crowd) + " cap=" + std::to_string(o.Cap) +
                 " connected=" + std::to_string(connected) + " cut=" + std::to_string(crowd.CutCount) +
                 " server_held_peak=" + std::to_string(peakHeldByServer.load()) +
                 " requests=" + std::to_string(all.size()) +
                 " request_failed=" + std::to_string(chatRequests.Failed + pageRequests.Failed) +
                 " p99_ms=" + std::to_string(Percentile(all, 0.99)) +
                 " max_ms=" + std::to_string(Percentile(all, 1.0)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    fprintf(stderr,
            "usage: korimo_stress --port P --pid PID [--idle N] [--requests N]\n"
            "       korimo_stress --port P --pid PID --probe [--label L] [--limit-ms MS] [--min-seconds S]\n"
            "                     [--max-seconds S] [--child-log FILE] -- COMMAND ARGS...\n"
            "       korimo_stress --port P --pid PID --crowd N --cap C [--hold-seconds S] [--window W]\n"
            "       korimo_stress --free-port\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  // The server is up and answers.
  auto upBy = Clock::now() + Ms(10000);
  while (!TryConnect(o.Port)) {
    if (Clock::now() > upBy || kill(o.Pid, 0) != 0) {
      fprintf(stderr, "korimo_stress: nothing listens on port %d\n", o.Port);
      return 2;
    }
    poll(nullptr, 0, 10);
  }

  int rc = 0;
  try {
    switch (o.Mode) {
      case Run::Limits:
        rc = RunLimits(o);
        break;
      case Run::Probe:
        rc = RunProbe(o);
        break;
      case Run::Crowd:
        rc = RunCrowd(o);
        break;
    }
  } catch (const std::exception& e) {
    Check(false, std::string("stopped: ") + e.what());
  }
  if (rc != 0) return rc;
  printf("RESULT: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}
