#include "Runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <sstream>

#include "Response.h"
#include "Schedule.h"

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif
#ifndef IP_LOCAL_PORT_RANGE
#define IP_LOCAL_PORT_RANGE 51
#endif

namespace loadgen {

const char* ErrorName(ErrorKind k) {
  switch (k) {
    case ErrorKind::Refused: return "refused";
    case ErrorKind::Reset: return "reset";
    case ErrorKind::Timeout: return "timeout";
    case ErrorKind::Short: return "short";
    case ErrorKind::Malformed: return "malformed";
    case ErrorKind::Status: return "status";
    case ErrorKind::Other: return "other";
  }
  return "?";
}

uint64_t Report::errorTotal() const {
  uint64_t t = 0;
  for (auto e : errors) t += e;
  return t;
}

Percentiles ComputePercentiles(std::vector<uint32_t>& s) {
  Percentiles p;
  p.n = s.size();
  if (s.empty()) return p;
  auto rank = [&](double q) {
    size_t k = static_cast<size_t>(std::ceil(q * s.size()));
    k = std::clamp<size_t>(k, 1, s.size()) - 1;
    std::nth_element(s.begin(), s.begin() + k, s.end());
    return s[k] / 1000.0;
  };
  p.p50 = rank(0.50);
  p.p90 = rank(0.90);
  p.p99 = rank(0.99);
  p.max = *std::max_element(s.begin(), s.end()) / 1000.0;
  return p;
}

long RaiseFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
  if (rl.rlim_cur < rl.rlim_max) {
    rlimit want = rl;
    want.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) == 0) rl = want;
  }
  return rl.rlim_cur == RLIM_INFINITY ? 1 << 20 : static_cast<long>(rl.rlim_cur);
}

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

namespace {

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kMs = 1000000;
constexpr int64_t kSec = 1000000000;
constexpr size_t kReadBuf = 256 * 1024;
constexpr int kIdleConnectBatch = 64;   // idle connects pending at once
// Idle connections are opened at a steady pace: a burst of connects would
// overflow a short listen queue, and every dropped SYN costs its client a
// retry after 1 s, 3 s, ... That would measure the queue, not the server.
constexpr int64_t kIdleConnectGap = kMs;
constexpr int64_t kRetryDelay = 10 * kMs;  // closed loop pause after a failed connect
constexpr int64_t kLateLimit = 50 * kMs;

ErrorKind KindOfErrno(int e) {
  switch (e) {
    case ECONNREFUSED: return ErrorKind::Refused;
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED: return ErrorKind::Reset;
    case ETIMEDOUT: return ErrorKind::Timeout;
    default: return ErrorKind::Other;
  }
}

ErrorKind KindOfOutcome(Outcome o) {
  switch (o) {
    case Outcome::Short: return ErrorKind::Short;
    case Outcome::Malformed: return ErrorKind::Malformed;
    case Outcome::Status: return ErrorKind::Status;
    case Outcome::Ok: break;
  }
  return ErrorKind::Other;
}

class Engine {
 public:
  Engine(const Options& o, Report* r) : o_(o), r_(*r) {}
  ~Engine() {
    for (auto& c : conns_)
      if (c.fd >= 0) close(c.fd);
    if (ep_ >= 0) close(ep_);
  }
  bool Run(std::string* error);

 private:
  enum class St : uint8_t { Free, Connecting, Writing, Reading, IdleConnecting, IdleHeld };
  struct Conn {
    int fd = -1;
    uint32_t gen = 0;
    St st = St::Free;
    int browser = -1;
    int64_t start = 0;
    size_t written = 0;
    uint64_t inWindow = 0;  // bytes read before the load ended
    ResponseCheck check;
  };
  struct Due {
    int64_t t;
    int idx;  // a connection slot
    uint32_t gen;
  };

  bool IsRequest(St s) const { return s == St::Connecting || s == St::Writing || s == St::Reading; }
  int Acquire();
  void Release(int idx);
  int Connect(bool* done);
  bool Watch(int idx, uint32_t events, bool add);
  void StartRequest(int browser, int64_t now);
  void StartIdle(int64_t now);
  void OnEvent(int idx, uint32_t events, int64_t now);
  void OnConnected(int idx, int64_t now);
  void WriteMore(int idx, int64_t now);
  void ReadMore(int idx, int64_t now);
  void Complete(int idx, int64_t now);
  void Fail(int idx, ErrorKind kind, int64_t now, bool connectFailure);
  void AfterRequest(int browser, int64_t now, bool backoff);
  void IdleGone(int idx, bool failed);
  void ProcessTimeouts(int64_t now);
  void StartDue(int64_t now);
  bool MayStart() const {
    return !loadOver_ && (o_.maxRequests == 0 || static_cast<long long>(r_.started) < o_.maxRequests);
  }
  int64_t NextWake(int64_t now) const;
  void Poll(int64_t until);

  const Options& o_;
  Report& r_;
  int ep_ = -1;
  sockaddr_in target_{};
  std::string request_;
  std::vector<Conn> conns_;
  std::vector<int> free_;
  std::deque<Due> timeouts_;
  std::vector<char> buf_ = std::vector<char>(kReadBuf);
  std::vector<uint32_t> latUs_, connUs_;

  int inflight_ = 0, inflightCap_ = 0;
  int idleUp_ = 0, idleConnecting_ = 0;
  int sources_ = 1, nextSource_ = 0;
  bool idlePhase_ = true, loadOver_ = false;
  int64_t loadStart_ = 0, loadEnd_ = 0, hardEnd_ = 0, lastDone_ = 0;

  // closed loop
  std::deque<int64_t> retries_;  // times at which a failed slot may connect again
  // population
  PopulationSchedule population_;
};

int Engine::Acquire() {
  if (!free_.empty()) {
    int idx = free_.back();
    free_.pop_back();
    return idx;
  }
  conns_.emplace_back();
  return static_cast<int>(conns_.size()) - 1;
}

void Engine::Release(int idx) {
  Conn& c = conns_[idx];
  if (c.fd >= 0) close(c.fd);
  if (IsRequest(c.st)) --inflight_;
  c.fd = -1;
  c.st = St::Free;
  c.browser = -1;
  ++c.gen;
  free_.push_back(idx);
}

// Opens a non-blocking socket and starts its connect; spreads over more source
// addresses when the system runs out of ports for the current ones.
int Engine::Connect(bool* done) {
  for (int attempt = 0; attempt < sources_ + 1; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    if (o_.portLo > 0) {
      uint32_t range = static_cast<uint32_t>(o_.portLo) | (static_cast<uint32_t>(o_.portHi) << 16);
      if (setsockopt(fd, IPPROTO_IP, IP_LOCAL_PORT_RANGE, &range, sizeof range) != 0) {
        int e = errno;
        close(fd);
        return -e;
      }
    }
    int src = sources_ > 1 ? nextSource_++ % sources_ : 0;
    if (src > 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK + src);
      if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = errno;
        close(fd);
        return -e;
      }
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) == 0) {
      *done = true;
      return fd;
    }
    int e = errno;
    if (e == EINPROGRESS) {
      *done = false;
      return fd;
    }
    close(fd);
    if (e != EADDRNOTAVAIL) return -e;
    ++r_.addrRetries;
    if (sources_ < o_.maxSources) ++sources_;
  }
  return -EADDRNOTAVAIL;
}

bool Engine::Watch(int idx, uint32_t events, bool add) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = static_cast<uint64_t>(idx) | (static_cast<uint64_t>(conns_[idx].gen) << 32);
  return epoll_ctl(ep_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, conns_[idx].fd, &ev) == 0;
}

void Engine::StartRequest(int browser, int64_t now) {
  ++r_.started;
  bool done = false;
  int fd = Connect(&done);
  if (fd < 0) {
    r_.errors[static_cast<size_t>(KindOfErrno(-fd))]++;
    AfterRequest(browser, now, true);
    return;
  }
  int idx = Acquire();
  Conn& c = conns_[idx];
  c.fd = fd;
  c.st = St::Connecting;
  c.browser = browser;
  c.start = now;
  c.written = 0;
  c.inWindow = 0;
  c.check.Reset();
  ++inflight_;
  r_.maxInflight = std::max(r_.maxInflight, inflight_);
  timeouts_.push_back({now + static_cast<int64_t>(o_.timeout * kSec), idx, c.gen});
  if (!Watch(idx, EPOLLOUT, true)) {
    Fail(idx, KindOfErrno(errno), now, true);
    return;
  }
  if (done) OnConnected(idx, now);
}

void Engine::StartIdle(int64_t now) {
  bool done = false;
  int fd = Connect(&done);
  if (fd < 0) {
    ++r_.idleFailed;
    return;
  }
  int idx = Acquire();
  Conn& c = conns_[idx];
  c.fd = fd;
  c.st = St::IdleConnecting;
  c.start = now;
  ++idleConnecting_;
  timeouts_.push_back({now + static_cast<int64_t>(o_.timeout * kSec), idx, c.gen});
  if (!Watch(idx, EPOLLOUT, true)) {
    IdleGone(idx, true);
    return;
  }
  if (done) OnConnected(idx, now);
}

void Engine::IdleGone(int idx, bool failed) {
  Conn& c = conns_[idx];
  if (c.st == St::IdleConnecting) --idleConnecting_;
  if (c.st == St::IdleHeld) --idleUp_;
  if (failed)
    ++r_.idleFailed;
  else
    ++r_.idleLost;
  Release(idx);
}

void Engine::OnConnected(int idx, int64_t now) {
  Conn& c = conns_[idx];
  connUs_.push_back(static_cast<uint32_t>(std::min<int64_t>((now - c.start) / 1000, UINT32_MAX)));
  if (c.st == St::IdleConnecting) {
    --idleConnecting_;
    ++idleUp_;
    c.st = St::IdleHeld;
    if (!Watch(idx, EPOLLIN, false)) IdleGone(idx, true);
    return;
  }
  c.st = St::Writing;
  WriteMore(idx, now);
}

void Engine::WriteMore(int idx, int64_t now) {
  Conn& c = conns_[idx];
  while (c.written < request_.size()) {
    ssize_t n = send(c.fd, request_.data() + c.written, request_.size() - c.written, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // still watching EPOLLOUT
      Fail(idx, KindOfErrno(errno), now, false);
      return;
    }
    c.written += static_cast<size_t>(n);
  }
  if (o_.halfClose && shutdown(c.fd, SHUT_WR) != 0 && errno != ENOTCONN) {
    Fail(idx, KindOfErrno(errno), now, false);
    return;
  }
  c.st = St::Reading;
  if (!Watch(idx, EPOLLIN, false)) Fail(idx, KindOfErrno(errno), now, false);
}

void Engine::ReadMore(int idx, int64_t now) {
  Conn& c = conns_[idx];
  ssize_t n = read(c.fd, buf_.data(), buf_.size());
  if (n > 0) {
    c.check.Feed(buf_.data(), static_cast<size_t>(n));
    r_.bytes += static_cast<uint64_t>(n);
    if (now < loadEnd_) {
      r_.bytesInWindow += static_cast<uint64_t>(n);
      c.inWindow += static_cast<uint64_t>(n);
    }
    return;
  }
  if (n == 0) {
    Complete(idx, now);
    return;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
  Fail(idx, KindOfErrno(errno), now, false);
}

void Engine::Complete(int idx, int64_t now) {
  Conn& c = conns_[idx];
  Outcome out = c.check.Finish(o_.expectBytes, o_.minBytes);
  lastDone_ = now;
  if (out != Outcome::Ok) {
    Fail(idx, KindOfOutcome(out), now, false);
    return;
  }
  ++r_.ok;
  if (now <= loadEnd_) ++r_.okInWindow;
  r_.okBytesInWindow += c.inWindow;
  latUs_.push_back(static_cast<uint32_t>(std::min<int64_t>((now - c.start) / 1000, UINT32_MAX)));
  long long body = c.check.bodyBytes();
  if (r_.bodyMin < 0 || body < r_.bodyMin) r_.bodyMin = body;
  r_.bodyMax = std::max(r_.bodyMax, body);
  int browser = c.browser;
  Release(idx);
  AfterRequest(browser, now, false);
}

void Engine::Fail(int idx, ErrorKind kind, int64_t now, bool connectFailure) {
  Conn& c = conns_[idx];
  if (c.st == St::IdleConnecting || c.st == St::IdleHeld) {
    IdleGone(idx, c.st == St::IdleConnecting);
    return;
  }
  r_.errors[static_cast<size_t>(kind)]++;
  lastDone_ = now;
  int browser = c.browser;
  Release(idx);
  AfterRequest(browser, now, connectFailure);
}

void Engine::AfterRequest(int browser, int64_t now, bool backoff) {
  if (o_.mode == Mode::Population) {
    if (browser >= 0) population_.Ended(browser, now);
  } else if (backoff) {
    retries_.push_back(now + kRetryDelay);
  }
}

void Engine::ProcessTimeouts(int64_t now) {
  while (!timeouts_.empty() && timeouts_.front().t <= now) {
    Due d = timeouts_.front();
    timeouts_.pop_front();
    Conn& c = conns_[d.idx];
    if (c.gen != d.gen) continue;
    if (c.st == St::IdleConnecting) {
      IdleGone(d.idx, true);
    } else if (IsRequest(c.st)) {
      Fail(d.idx, ErrorKind::Timeout, now, c.st == St::Connecting);
    }
  }
}

void Engine::StartDue(int64_t now) {
  if (o_.mode == Mode::Idle) return;
  if (o_.mode != Mode::Population) {
    while (!retries_.empty() && retries_.front() <= now) retries_.pop_front();
    while (MayStart() && inflight_ + static_cast<int>(retries_.size()) < o_.conns &&
           inflight_ < inflightCap_)
      StartRequest(-1, now);
    return;
  }
  PopulationSchedule::Start s;
  while (MayStart() && inflight_ < inflightCap_ && population_.TakeDue(now, &s)) {
    int64_t lag = now - s.due;
    if (lag > kLateLimit) ++r_.late;
    r_.maxLagMs = std::max(r_.maxLagMs, lag / 1e6);
    StartRequest(s.browser, now);
  }
}

int64_t Engine::NextWake(int64_t now) const {
  int64_t wake = hardEnd_;
  if (idlePhase_) wake = loadStart_;  // the idle set-up limit
  if (!loadOver_ && !idlePhase_) wake = std::min(wake, loadEnd_);
  if (!timeouts_.empty()) wake = std::min(wake, timeouts_.front().t);
  if (!loadOver_ && !idlePhase_) {
    if (!retries_.empty()) wake = std::min(wake, retries_.front());
    if (o_.mode == Mode::Population && inflight_ < inflightCap_) wake = std::min(wake, population_.NextDue());
  }
  return std::max(wake, now);
}

void Engine::Poll(int64_t until) {
  int64_t now = NowNs();
  int ms = until <= now ? 0 : static_cast<int>(std::min<int64_t>((until - now + kMs - 1) / kMs, 1000));
  epoll_event events[512];
  int n = epoll_wait(ep_, events, 512, ms);
  now = NowNs();
  for (int i = 0; i < n; ++i) {
    int idx = static_cast<int>(events[i].data.u64 & 0xffffffffu);
    uint32_t gen = static_cast<uint32_t>(events[i].data.u64 >> 32);
    if (idx < 0 || static_cast<size_t>(idx) >= conns_.size() || conns_[idx].gen != gen) continue;
    OnEvent(idx, events[i].events, now);
  }
}

void Engine::OnEvent(int idx, uint32_t events, int64_t now) {
  Conn& c = conns_[idx];
  switch (c.st) {
    case St::Connecting:
    case St::IdleConnecting: {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        Fail(idx, KindOfErrno(err), now, true);
      } else if (events & EPOLLOUT) {
        OnConnected(idx, now);
      }
      return;
    }
    case St::Writing:
      WriteMore(idx, now);
      return;
    case St::Reading:
      ReadMore(idx, now);
      return;
    case St::IdleHeld: {
      ssize_t n = read(c.fd, buf_.data(), buf_.size());
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
      IdleGone(idx, false);
      return;
    }
    case St::Free:
      return;
  }
}

bool Engine::Run(std::string* error) {
  ep_ = epoll_create1(EPOLL_CLOEXEC);
  if (ep_ < 0) {
    *error = std::string("epoll_create1: ") + std::strerror(errno);
    return false;
  }
  target_.sin_family = AF_INET;
  target_.sin_port = htons(o_.port);
  target_.sin_addr = o_.addr;
  request_ = "GET " + o_.path + " HTTP/1.0\r\nHost: " + o_.host + ":" + std::to_string(o_.port) +
             "\r\nUser-Agent: loadgen\r\nAccept: */*\r\n\r\n";
  sources_ = std::max(1, o_.sources);

  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  long fdLimit = rl.rlim_cur == RLIM_INFINITY ? (1L << 20) : static_cast<long>(rl.rlim_cur);
  long room = fdLimit - 32 - o_.idle;
  if (room < 1) {
    *error = "RLIMIT_NOFILE (" + std::to_string(fdLimit) + ") too low for " +
             std::to_string(o_.idle) + " idle connections";
    return false;
  }
  inflightCap_ = static_cast<int>(std::min<long>(o_.maxInflight > 0 ? o_.maxInflight : room, room));
  if ((o_.mode == Mode::HalfClose || o_.mode == Mode::Open) && o_.conns > inflightCap_) {
    *error = "RLIMIT_NOFILE (" + std::to_string(fdLimit) + ") too low for " +
             std::to_string(o_.conns) + " connections";
    return false;
  }
  r_.inflightCap = inflightCap_;
  r_.idleWanted = o_.idle;
  if (o_.mode == Mode::Population) r_.nominalRate = o_.browsers / o_.interval;
  conns_.reserve(static_cast<size_t>(std::min<long>(room, 1 << 16)) + o_.idle);

  // Idle connections first, a batch at a time, within the set-up limit.
  const int64_t t0 = NowNs();
  loadStart_ = t0 + static_cast<int64_t>(o_.idleSetup * kSec);
  hardEnd_ = loadStart_;
  int64_t nextIdle = t0;
  for (int64_t now = t0; idleUp_ < o_.idle && now < loadStart_; now = NowNs()) {
    ProcessTimeouts(now);
    while (now >= nextIdle && idleConnecting_ < kIdleConnectBatch && idleUp_ + idleConnecting_ < o_.idle) {
      uint64_t failed = r_.idleFailed;
      StartIdle(now);
      nextIdle = now + kIdleConnectGap;
      if (r_.idleFailed != failed) break;  // no descriptor or address now: retry after a poll
    }
    Poll(std::min(NextWake(now), std::max(nextIdle, now)));
  }
  idlePhase_ = false;

  int64_t now = NowNs();
  r_.idleSetup = (now - t0) / 1e9;
  loadStart_ = now;
  loadEnd_ = now + static_cast<int64_t>(o_.duration * kSec);
  hardEnd_ = loadEnd_ + static_cast<int64_t>(o_.drain * kSec);
  lastDone_ = now;
  if (o_.mode == Mode::Population)
    population_ = PopulationSchedule(o_.browsers, static_cast<int64_t>(o_.interval * kSec), o_.seed, now);

  bool endedEarly = false;
  for (;;) {
    now = NowNs();
    ProcessTimeouts(now);
    if (!loadOver_ && now >= loadEnd_) {
      loadOver_ = true;
      r_.idleHeld = idleUp_;
    }
    if (!loadOver_) {
      // Keep the idle connections up during the load.
      while (idleConnecting_ < kIdleConnectBatch && idleUp_ + idleConnecting_ < o_.idle) {
        uint64_t failed = r_.idleFailed;
        StartIdle(now);
        if (r_.idleFailed != failed) break;
      }
      StartDue(now);
      if (o_.maxRequests > 0 && !MayStart() && inflight_ == 0) {
        endedEarly = true;
        r_.idleHeld = idleUp_;
        break;
      }
    }
    if (loadOver_ && inflight_ == 0) break;
    if (now >= hardEnd_) {
      for (size_t i = 0; i < conns_.size(); ++i) {
        if (!IsRequest(conns_[i].st)) continue;
        ++r_.cut;
        r_.errors[static_cast<size_t>(ErrorKind::Timeout)]++;
        Release(static_cast<int>(i));
      }
      break;
    }
    Poll(NextWake(now));
  }
  now = NowNs();
  r_.window = endedEarly ? std::max<int64_t>(lastDone_ - loadStart_, 1000) / 1e9 : o_.duration;
  r_.elapsed = (now - t0) / 1e9;
  r_.sources = sources_;
  r_.latency = ComputePercentiles(latUs_);
  r_.connect = ComputePercentiles(connUs_);
  return true;
}

std::string Fixed(double v, int digits) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", digits, v);
  return b;
}

}  // namespace

bool Run(const Options& options, Report* report, std::string* error) {
  *report = Report{};
  report->options = options;
  Engine e(options, report);
  return e.Run(error);
}

std::string FormatHuman(const Report& r) {
  const Options& o = r.options;
  std::ostringstream s;
  s << "loadgen " << ModeName(o.mode) << " " << o.host << ":" << o.port << o.path;
  if (o.mode == Mode::HalfClose || o.mode == Mode::Open) s << "  conns " << o.conns;
  if (o.mode == Mode::Population)
    s << "  browsers " << o.browsers << " every " << Fixed(o.interval, 1) << " s"
      << (o.halfClose ? " (half-close)" : " (sending side open)");
  s << "  load " << Fixed(r.window, 2) << " s\n";
  s << "  requests  " << r.started << " started, " << r.ok << " ok, " << r.errorTotal() << " errors (";
  for (size_t k = 0; k < kErrorKinds; ++k)
    s << (k ? ", " : "") << ErrorName(static_cast<ErrorKind>(k)) << " " << r.errors[k];
  s << ")";
  if (r.cut) s << ", " << r.cut << " cut at the drain limit";
  s << "\n";
  s << "  rate      " << Fixed(r.rate(), 1) << " req/s";
  if (o.mode == Mode::Population) s << " (nominal " << Fixed(r.nominalRate, 1) << ")";
  s << "   received " << Fixed(r.bytes / 1048576.0, 2) << " MiB (" << Fixed(r.mibPerSec(), 1)
    << " MiB/s, in whole answers " << Fixed(r.okMibPerSec(), 1) << " MiB/s)\n";
  s << "  latency   p50 " << Fixed(r.latency.p50, 2) << "  p90 " << Fixed(r.latency.p90, 2) << "  p99 "
    << Fixed(r.latency.p99, 2) << "  max " << Fixed(r.latency.max, 2) << " ms;  connect p99 "
    << Fixed(r.connect.p99, 2) << " ms, max " << Fixed(r.connect.max, 2) << " ms\n";
  if (r.bodyMax >= 0) s << "  body      " << r.bodyMin << ".." << r.bodyMax << " bytes\n";
  if (r.idleWanted)
    s << "  idle      " << r.idleHeld << " of " << r.idleWanted << " held (set-up "
      << Fixed(r.idleSetup, 2) << " s, " << r.idleLost << " closed by the server, " << r.idleFailed
      << " failed connects)\n";
  if (o.mode == Mode::Population)
    s << "  schedule  " << r.late << " requests started late (>50 ms), max lag "
      << Fixed(r.maxLagMs, 1) << " ms; at most " << r.maxInflight << " in flight (cap "
      << r.inflightCap << ")\n";
  if (r.addrRetries)
    s << "  sources   " << r.addrRetries << " EADDRNOTAVAIL retries, spread over " << r.sources
      << " source addresses\n";
  return s.str();
}

std::string FormatResult(const Report& r) {
  const Options& o = r.options;
  std::ostringstream s;
  s << "RESULT mode=" << ModeName(o.mode) << " port=" << o.port << " path=" << o.path
    << " conns=" << (o.mode == Mode::HalfClose || o.mode == Mode::Open ? o.conns : 0)
    << " browsers=" << (o.mode == Mode::Population ? o.browsers : 0)
    << " interval=" << Fixed(o.interval, 3) << " idle=" << o.idle
    << " window=" << Fixed(r.window, 3) << " elapsed=" << Fixed(r.elapsed, 3)
    << " started=" << r.started << " ok=" << r.ok << " errors=" << r.errorTotal();
  for (size_t k = 0; k < kErrorKinds; ++k)
    s << " err_" << ErrorName(static_cast<ErrorKind>(k)) << "=" << r.errors[k];
  s << " cut=" << r.cut << " rate=" << Fixed(r.rate(), 2) << " nominal=" << Fixed(r.nominalRate, 2)
    << " bytes=" << r.bytes << " mibps=" << Fixed(r.mibPerSec(), 2)
    << " ok_mibps=" << Fixed(r.okMibPerSec(), 2)
    << " p50_ms=" << Fixed(r.latency.p50, 3) << " p90_ms=" << Fixed(r.latency.p90, 3)
    << " p99_ms=" << Fixed(r.latency.p99, 3) << " max_ms=" << Fixed(r.latency.max, 3)
    << " connect_p99_ms=" << Fixed(r.connect.p99, 3) << " connect_max_ms=" << Fixed(r.connect.max, 3)
    << " body_min=" << r.bodyMin << " body_max=" << r.bodyMax << " idle_held=" << r.idleHeld
    << " idle_lost=" << r.idleLost << " idle_failed=" << r.idleFailed
    << " idle_setup_s=" << Fixed(r.idleSetup, 3) << " late=" << r.late
    << " max_lag_ms=" << Fixed(r.maxLagMs, 1) << " max_inflight=" << r.maxInflight
    << " addr_retries=" << r.addrRetries << " sources=" << r.sources;
  return s.str();
}

}  // namespace loadgen
