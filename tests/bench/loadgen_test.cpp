// The load generator's option parsing, response check and counting, run against
// a small loopback server that answers, resets, stalls or sends broken responses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Options.h"
#include "Response.h"
#include "Runner.h"
#include "Schedule.h"

namespace loadgen {
namespace {

// ---------------------------------------------------------------- response check

struct CheckCase {
  const char* name;
  std::vector<std::string> chunks;
  long long expect, min;
  Outcome outcome;
  long long body;  // -1: header never ended
};

const std::string kHead = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";

TEST(ResponseCheckTest, ClassifiesResponses) {
  const CheckCase cases[] = {
      {"whole", {kHead + "hello"}, -1, -1, Outcome::Ok, 5},
      {"http11 bare newlines", {"HTTP/1.1 204 No Content\n\n"}, -1, -1, Outcome::Ok, 0},
      {"header end split over chunks", {"HTTP/1.0 200 OK\r", "\n\r", "\n", "ab"}, 2, -1, Outcome::Ok, 2},
      {"nothing", {}, -1, -1, Outcome::Short, -1},
      {"status line cut", {"HTTP/1.0 2"}, -1, -1, Outcome::Short, -1},
      {"header not ended", {"HTTP/1.0 200 OK\r\nContent-Type: x\r\n"}, -1, -1, Outcome::Short, -1},
      {"wrong protocol", {"HTTX/1.0 200 OK\r\n\r\n"}, -1, -1, Outcome::Malformed, 0},
      {"wrong protocol, cut", {"ICY"}, -1, -1, Outcome::Malformed, -1},
      {"version 1.2", {"HTTP/1.2 200 OK\r\n\r\n"}, -1, -1, Outcome::Malformed, 0},
      {"letter in code", {"HTTP/1.0 2x0 OK\r\n\r\n"}, -1, -1, Outcome::Malformed, 0},
      {"four-digit code", {"HTTP/1.0 2000 OK\r\n\r\n"}, -1, -1, Outcome::Malformed, 0},
      {"not found", {"HTTP/1.0 404 Document follows\r\n\r\nx"}, -1, -1, Outcome::Status, 1},
      {"body shorter than expected", {kHead + "hell"}, 5, -1, Outcome::Short, 4},
      {"body longer than expected", {kHead + "hello!"}, 5, -1, Outcome::Malformed, 6},
      {"body above minimum", {kHead + "hello"}, -1, 3, Outcome::Ok, 5},
      {"body below minimum", {kHead + "hello"}, -1, 10, Outcome::Short, 5},
      {"endless header", {"HTTP/1.0 200 OK\r\n" + std::string(ResponseCheck::kHeaderCap, 'h')}, -1, -1,
       Outcome::Malformed, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResponseCheck check;
    check.Feed("stale", 5);
    check.Reset();
    for (const auto& chunk : c.chunks) check.Feed(chunk.data(), chunk.size());
    EXPECT_EQ(OutcomeName(check.Finish(c.expect, c.min)), std::string(OutcomeName(c.outcome)));
    EXPECT_EQ(check.bodyBytes(), c.body);
  }
}

// ---------------------------------------------------------------- options

TEST(OptionsTest, AcceptsAndDerives) {
  struct Case {
    std::vector<std::string> args;
    Mode mode;
    bool halfClose;
  };
  const Case cases[] = {
      {{"--port", "8080"}, Mode::HalfClose, true},
      {{"--port=8080", "--mode=open", "--conns=100"}, Mode::Open, false},
      {{"--host", "localhost", "--port", "1", "--mode", "population", "--browsers", "5"},
       Mode::Population, false},
      {{"--host", "127.1.2.3", "--port", "1", "--mode", "population", "--browsers", "5", "--halfclose"},
       Mode::Population, true},
      {{"--port", "1", "--mode", "idle", "--idle", "3"}, Mode::Idle, false},
  };
  for (const auto& c : cases) {
    ParseResult r = ParseArgs(c.args);
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->mode, c.mode);
    EXPECT_EQ(r.options->halfClose, c.halfClose);
  }
  ParseResult r = ParseArgs({"--port", "9", "--duration", "2.5", "--expect-bytes", "1300",
                             "--path", "/scripts/status.cgi", "--idle", "2000"});
  ASSERT_TRUE(r.options);
  EXPECT_DOUBLE_EQ(r.options->duration, 2.5);
  EXPECT_EQ(r.options->expectBytes, 1300);
  EXPECT_EQ(r.options->path, "/scripts/status.cgi");
  EXPECT_EQ(r.options->idle, 2000);
}

TEST(OptionsTest, RejectsBadInput) {
  const std::vector<std::vector<std::string>> cases = {
      {"--host", "10.0.0.1", "--port", "80"},
      {"--host", "192.168.1.1", "--port", "80"},
      {"--host", "example.com", "--port", "80"},
      {"--host", "128.0.0.1", "--port", "80"},
      {"--mode", "open"},  // no port
      {"--port", "70000"},
      {"--port", "1", "--mode", "flood"},
      {"--port", "1", "--mode", "population"},  // no browsers
      {"--port", "1", "--mode", "idle"},        // no idle connections
      {"--port", "1", "--conns", "0"},
      {"--port", "1", "--duration", "abc"},
      {"--port", "1", "--duration", "0"},
      {"--port", "1", "--path", "nope"},
      {"--port", "1", "--path", "/a b"},
      {"--port", "1", "--port-range", "9-3"},
      {"--port", "1", "--bogus", "1"},
      {"--port"},
      {"stray"},
  };
  for (const auto& args : cases) {
    ParseResult r = ParseArgs(args);
    EXPECT_FALSE(r.options) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(r.error.empty());
  }
}

TEST(PercentilesTest, NearestRank) {
  std::vector<uint32_t> us;
  for (uint32_t i = 100; i >= 1; --i) us.push_back(i * 1000);
  Percentiles p = ComputePercentiles(us);
  EXPECT_EQ(p.n, 100u);
  EXPECT_DOUBLE_EQ(p.p50, 50);
  EXPECT_DOUBLE_EQ(p.p90, 90);
  EXPECT_DOUBLE_EQ(p.p99, 99);
  EXPECT_DOUBLE_EQ(p.max, 100);
  std::vector<uint32_t> none;
  EXPECT_EQ(ComputePercentiles(none).n, 0u);
}

// ---------------------------------------------------------------- population schedule

// The schedule runs on a made-up clock here: the test moves time in ticks of
// one millisecond and takes, at each tick, every request that has come due.
constexpr int64_t kTick = 1000000;
constexpr int64_t kT0 = 1000 * 1000 * kTick;  // any start will do; not zero

TEST(PopulationScheduleTest, FirstRoundIsSpreadOverOneInterval) {
  const int browsers = 200;
  const int64_t interval = 100 * kTick;
  PopulationSchedule s(browsers, interval, 7, kT0);
  std::map<int, int64_t> firstAt;  // browser -> tick of its first start
  int perQuarter[4] = {};
  for (int64_t now = kT0; now <= kT0 + interval; now += kTick) {
    PopulationSchedule::Start st;
    while (s.TakeDue(now, &st)) {
      SCOPED_TRACE(st.browser);
      EXPECT_TRUE(firstAt.emplace(st.browser, now).second) << "asked twice without an answer";
      EXPECT_GE(st.due, kT0);
      EXPECT_LT(st.due, kT0 + interval);
      // Taken at the first tick at or after its time, never before it.
      EXPECT_LE(st.due, now);
      EXPECT_LT(now - st.due, kTick);
      ++perQuarter[(st.due - kT0) * 4 / interval];
    }
  }
  EXPECT_EQ(firstAt.size(), static_cast<size_t>(browsers));
  EXPECT_EQ(s.NextDue(), PopulationSchedule::kNone);  // all wait for their answers
  // Random phases: no quarter of the interval gets all of them, or none.
  for (int q : perQuarter) {
    EXPECT_GE(q, browsers / 8);
    EXPECT_LE(q, browsers * 3 / 8);
  }

  // The seed decides the phases: the same seed gives the same ones, another seed others.
  auto firstDues = [&](uint64_t seed) {
    PopulationSchedule p(browsers, interval, seed, kT0);
    std::vector<int64_t> dues(browsers);
    PopulationSchedule::Start st;
    while (p.TakeDue(kT0 + interval, &st)) dues[st.browser] = st.due;
    return dues;
  };
  EXPECT_EQ(firstDues(7), firstDues(7));
  EXPECT_NE(firstDues(7), firstDues(8));
}

// Every answer comes a fixed number of ticks after its request; then each
// browser's requests follow one another at exactly interval + latency, and
// over a run the starts add up to what those gaps allow, none more, none fewer.
TEST(PopulationScheduleTest, AsksAgainOneIntervalAfterEachAnswer) {
  struct Case {
    int browsers;
    int64_t interval, latency, run;
  };
  const Case cases[] = {
      {20, 100 * kTick, 3 * kTick, 1000 * kTick},
      {5, 10 * kTick, 0, 200 * kTick},  // answered in the tick it was asked
      {50, 40 * kTick, 25 * kTick, 500 * kTick},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.browsers << " browsers every " << c.interval / kTick
                                    << " ticks, answered after " << c.latency / kTick);
    PopulationSchedule s(c.browsers, c.interval, 1, kT0);
    std::multimap<int64_t, int> answers;          // time -> browser
    std::map<int, std::vector<int64_t>> starts;  // browser -> its start times
    std::set<int> asking;
    uint64_t total = 0;
    auto deliverAnswers = [&](int64_t now) {
      for (auto a = answers.begin(); a != answers.end() && a->first <= now; a = answers.erase(a)) {
        asking.erase(a->second);
        s.Ended(a->second, now);
      }
    };
    for (int64_t now = kT0; now < kT0 + c.run; now += kTick) {
      deliverAnswers(now);
      PopulationSchedule::Start st;
      while (s.TakeDue(now, &st)) {
        EXPECT_TRUE(asking.insert(st.browser).second) << "browser " << st.browser << " asked twice";
        std::vector<int64_t>& mine = starts[st.browser];
        if (!mine.empty()) {
          EXPECT_EQ(st.due, now);  // on this clock no later request is ever late
          EXPECT_EQ(now - mine.back(), c.latency + c.interval) << "browser " << st.browser;
        }
        mine.push_back(now);
        answers.emplace(now + c.latency, st.browser);
        ++total;
      }
      deliverAnswers(now);  // those answered in the tick they asked
      EXPECT_GT(s.NextDue(), now);  // whatever is left is due later
    }
    ASSERT_EQ(starts.size(), static_cast<size_t>(c.browsers));
    uint64_t expected = 0;
    for (const auto& [browser, times] : starts) {
      const int64_t first = times.front();
      EXPECT_LE(first, kT0 + c.interval);  // the first tick at or after its phase
      expected += static_cast<uint64_t>((kT0 + c.run - 1 - first) / (c.interval + c.latency)) + 1;
    }
    EXPECT_EQ(total, expected);
  }
}

// A caller that comes late (a busy engine, the cap on requests in flight)
// loses no request: all that fell due meanwhile come out, earliest first,
// each with its own time so that the lag can be told.
TEST(PopulationScheduleTest, LateCallerLosesNothing) {
  const int browsers = 30;
  const int64_t interval = 100 * kTick;
  PopulationSchedule s(browsers, interval, 3, kT0);
  // The first half of the interval on time, answered two ticks later...
  std::multimap<int64_t, int> answers;
  std::set<int> early;
  for (int64_t now = kT0; now < kT0 + interval / 2; now += kTick) {
    for (auto a = answers.begin(); a != answers.end() && a->first <= now; a = answers.erase(a))
      s.Ended(a->second, now);
    PopulationSchedule::Start st;
    while (s.TakeDue(now, &st)) {
      early.insert(st.browser);
      answers.emplace(now + 2 * kTick, st.browser);
    }
  }
  ASSERT_FALSE(early.empty());
  ASSERT_LT(early.size(), static_cast<size_t>(browsers));
  const int64_t pause = kT0 + interval / 2;
  for (const auto& [t, browser] : answers) s.Ended(browser, t);
  // ...then nothing taken for two whole intervals.
  const int64_t back = pause + 2 * interval;
  int64_t next = s.NextDue();
  ASSERT_NE(next, PopulationSchedule::kNone);
  EXPECT_GT(next, pause - kTick);  // the earliest left is a first request of the second half
  std::set<int> seen;
  int64_t previous = INT64_MIN;
  PopulationSchedule::Start st;
  while (s.TakeDue(back, &st)) {
    EXPECT_TRUE(seen.insert(st.browser).second) << "browser " << st.browser << " came twice";
    EXPECT_EQ(st.due, next);  // NextDue told what comes next
    EXPECT_GE(st.due, previous);
    EXPECT_LE(st.due, back);
    previous = st.due;
    next = s.NextDue();
  }
  // Every browser once: the late firsts and the second requests of the early ones.
  EXPECT_EQ(seen.size(), static_cast<size_t>(browsers));
  EXPECT_EQ(s.NextDue(), PopulationSchedule::kNone);
  EXPECT_FALSE(s.TakeDue(INT64_MAX - 1, &st));
}

// ---------------------------------------------------------------- engine against a test server

enum class Behavior { Answer, AnswerAtEof, Reset, Stall, ShortBody, CutHeader, Malformed, NotFound };

constexpr int kBody = 100;

// Thread per connection; reads the request up to its empty line (or to the
// client's half-close for AnswerAtEof), then acts. With a batch above one,
// Answer holds each request until that many have come, then answers them
// together: a run only gets on if its client keeps a whole batch in flight.
class TestServer {
 public:
  explicit TestServer(Behavior b, int batch = 1) : behavior_(b), batch_(batch) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(listen_, 128), 0);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    EXPECT_EQ(pipe(stop_), 0);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~TestServer() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    char c = 1;
    (void)!write(stop_[1], &c, 1);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(mu_);
      workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
    close(listen_);
    close(stop_[0]);
    close(stop_[1]);
  }
  uint16_t port() const { return port_; }
  // Waits until n connections have ended without sending a byte (the limit
  // only keeps a broken run from hanging).
  bool WaitSilent(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return silent_ >= n; });
  }

 private:
  // Waits for the socket or the stop pipe; false when stopping.
  bool Wait(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (poll(p, 2, -1) < 0) {
    }
    return !(p[1].revents & POLLIN);
  }
  void AcceptLoop() {
    while (Wait(listen_)) {
      int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Send(int fd, const std::string& s) { (void)!send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
  void Serve(int fd) {
    std::string req;
    char buf[512];
    bool eof = false;
    while (Wait(fd)) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) {
        eof = true;
        break;
      }
      req.append(buf, static_cast<size_t>(n));
      if (behavior_ != Behavior::AnswerAtEof && req.find("\r\n\r\n") != std::string::npos) break;
    }
    if (eof && req.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      ++silent_;
      cv_.notify_all();
    }
    const std::string head = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";
    switch (behavior_) {
      case Behavior::Answer:
        if (batch_ > 1) WaitForBatch();
        Send(fd, head + std::string(kBody, 'x'));
        break;
      case Behavior::AnswerAtEof: Send(fd, head + std::string(kBody, 'x')); break;
      case Behavior::Reset: {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        break;
      }
      case Behavior::Stall: {  // holds the connection, half-closed or not, until the server stops
        pollfd p{stop_[0], POLLIN, 0};
        while (poll(&p, 1, -1) < 0) {
        }
        break;
      }
      case Behavior::ShortBody: Send(fd, head + std::string(kBody / 2, 'x')); break;
      case Behavior::CutHeader: Send(fd, "HTTP/1.0 20"); break;
      case Behavior::Malformed: Send(fd, "ICY 200 OK\r\n\r\n" + std::string(kBody, 'x')); break;
      case Behavior::NotFound:
        Send(fd, "HTTP/1.0 404 Document follows\r\nContent-Type: text/html\r\n\r\nnope");
        break;
    }
    close(fd);
  }

  void WaitForBatch() {
    std::unique_lock<std::mutex> lock(mu_);
    const int64_t mine = arrived_++ / batch_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return stopping_ || arrived_ >= (mine + 1) * batch_; });
  }

  Behavior behavior_;
  int batch_;
  int listen_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::thread> workers_;
  int silent_ = 0;
  int64_t arrived_ = 0;  // requests that have come to WaitForBatch
  bool stopping_ = false;
};

// A run that ends on its request count: the hour of load and the minute per
// request are never reached, however slow the machine. Cases where a request
// can only end at its time limit shorten that limit (kShortTimeout).
constexpr double kLongDuration = 3600;

Options Base(uint16_t port, Mode mode) {
  Options o;
  o.addr.s_addr = htonl(INADDR_LOOPBACK);
  o.port = port;
  o.path = "/page.html";
  o.mode = mode;
  o.halfClose = mode == Mode::HalfClose;
  o.conns = 2;
  o.duration = kLongDuration;
  o.timeout = 60;
  o.drain = 60;
  o.expectBytes = kBody;
  o.maxRequests = 20;
  return o;
}

// For servers that never answer: each request ends at its time limit, so any
// limit will do, and a short one keeps the run short.
constexpr double kShortTimeout = 0.05;

Report MustRun(const Options& o) {
  Report r;
  std::string error;
  EXPECT_TRUE(Run(o, &r, &error)) << error;
  return r;
}

struct EngineCase {
  const char* name;
  Mode mode;
  Behavior behavior;
  std::optional<ErrorKind> error;  // empty: every request succeeds
};

class EngineTest : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineTest, CountsEachRequestByOutcome) {
  const EngineCase& c = GetParam();
  TestServer server(c.behavior);
  Options o = Base(server.port(), c.mode);
  if (c.error == ErrorKind::Timeout) o.timeout = kShortTimeout;
  Report r = MustRun(o);
  EXPECT_EQ(r.started, 20u);
  EXPECT_EQ(r.ok + r.errorTotal(), r.started);
  EXPECT_EQ(r.cut, 0u);
  if (!c.error) {
    EXPECT_EQ(r.ok, 20u);
    EXPECT_EQ(r.okInWindow, 20u);
    EXPECT_EQ(r.errorTotal(), 0u);
    EXPECT_EQ(r.bodyMin, kBody);
    EXPECT_EQ(r.bodyMax, kBody);
    EXPECT_EQ(r.latency.n, 20u);
    EXPECT_GT(r.rate(), 0);
    // Ended after the 20 requests: the window is the time up to the last
    // answer, not the hour the load was allowed.
    EXPECT_LT(r.window, o.duration);
    EXPECT_LE(r.window, r.elapsed);
  } else {
    EXPECT_EQ(r.ok, 0u);
    EXPECT_EQ(r.error(*c.error), r.started) << FormatResult(r);
    EXPECT_EQ(r.latency.n, 0u);
  }
  EXPECT_EQ(r.connect.n, r.started);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviors, EngineTest,
    ::testing::Values(
        EngineCase{"answer", Mode::HalfClose, Behavior::Answer, std::nullopt},
        EngineCase{"answer_open", Mode::Open, Behavior::Answer, std::nullopt},
        EngineCase{"answer_at_half_close", Mode::HalfClose, Behavior::AnswerAtEof, std::nullopt},
        EngineCase{"open_side_never_answered", Mode::Open, Behavior::AnswerAtEof, ErrorKind::Timeout},
        EngineCase{"reset", Mode::HalfClose, Behavior::Reset, ErrorKind::Reset},
        EngineCase{"stall", Mode::HalfClose, Behavior::Stall, ErrorKind::Timeout},
        EngineCase{"short_body", Mode::HalfClose, Behavior::ShortBody, ErrorKind::Short},
        EngineCase{"cut_header", Mode::HalfClose, Behavior::CutHeader, ErrorKind::Short},
        EngineCase{"malformed", Mode::HalfClose, Behavior::Malformed, ErrorKind::Malformed},
        EngineCase{"not_found", Mode::HalfClose, Behavior::NotFound, ErrorKind::Status}),
    [](const auto& param) { return std::string(param.param.name); });

// A refused connect frees its slot only after a 10 ms pause: ten refusals on
// one slot take at least the nine pauses between them. Without the pause they
// would follow one another at once.
TEST(EngineRunTest, RefusedConnectsBackOff) {
  Options o = Base(FreeLoopbackPort(), Mode::HalfClose);
  o.conns = 1;
  o.maxRequests = 10;
  Report r = MustRun(o);
  EXPECT_EQ(r.started, 10u);
  EXPECT_EQ(r.error(ErrorKind::Refused), 10u) << FormatResult(r);
  EXPECT_EQ(r.errorTotal(), r.error(ErrorKind::Refused));
  EXPECT_GE(r.elapsed, 9 * 0.010);
}

TEST(EngineRunTest, SpreadsOverSourceAddressesWhenPortsRunOut) {
  {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    uint32_t range = 45000u | (45009u << 16);
    bool supported = setsockopt(probe, IPPROTO_IP, 51 /* IP_LOCAL_PORT_RANGE */, &range, sizeof range) == 0;
    close(probe);
    if (!supported) GTEST_SKIP() << "no per-socket port range in this kernel";
  }
  TestServer server(Behavior::Stall);  // holds every connection: ten ports per source address
  Options o = Base(server.port(), Mode::HalfClose);
  o.conns = 20;
  o.timeout = kShortTimeout;
  o.portLo = 45000;
  o.portHi = 45009;
  Report r = MustRun(o);
  EXPECT_EQ(r.started, 20u);
  EXPECT_EQ(r.connect.n, 20u);
  EXPECT_EQ(r.error(ErrorKind::Timeout), 20u) << FormatResult(r);
  EXPECT_GT(r.addrRetries, 0u);
  EXPECT_GE(r.sources, 2);
}

// The engine follows the population's schedule (whose pacing is tested above
// on a clock of its own). The server answers in batches, so a run ends only
// with a whole batch in flight at once; with every browser due at once (an
// interval of a nanosecond) an engine that broke the rules would have more.
TEST(EngineRunTest, PopulationKeepsItsPace) {
  struct Case {
    const char* name;
    int browsers;
    double interval;
    int cap;    // 0: none
    int batch;  // answered together
    long long requests;
  };
  const Case cases[] = {
      // Three browsers, answered three at a time: had a browser asked again
      // before its answer, there would be more than three in flight.
      {"a browser asks again only after its answer", 3, 1e-9, 0, 3, 9},
      // Ten browsers all due at once, three at a time let through.
      {"the cap on requests in flight", 10, 1e-9, 3, 3, 9},
      // One browser, four requests: three whole intervals between them.
      {"an interval after each answer", 1, 0.05, 0, 1, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server(Behavior::Answer, c.batch);
    Options o = Base(server.port(), Mode::Population);
    o.browsers = c.browsers;
    o.interval = c.interval;
    o.maxInflight = c.cap;
    o.maxRequests = c.requests;
    Report r = MustRun(o);
    EXPECT_DOUBLE_EQ(r.nominalRate, c.browsers / c.interval);
    EXPECT_EQ(r.started, static_cast<uint64_t>(c.requests));
    EXPECT_EQ(r.ok, static_cast<uint64_t>(c.requests)) << FormatResult(r);
    EXPECT_EQ(r.errorTotal(), 0u);
    EXPECT_EQ(r.maxInflight, c.batch);
    if (c.cap) {
      EXPECT_EQ(r.inflightCap, c.cap);
    }
    // Some browser asked at least this often, each time an interval after
    // its previous answer.
    const long long busiest = (c.requests + c.browsers - 1) / c.browsers;
    EXPECT_GE(r.elapsed, (busiest - 1) * c.interval);
  }
}

TEST(EngineRunTest, IdleConnectionsAreHeldAndSendNothing) {
  TestServer server(Behavior::Answer);
  Options o = Base(server.port(), Mode::HalfClose);
  o.idle = 5;
  o.maxRequests = 3;
  Report r = MustRun(o);
  EXPECT_EQ(r.ok, 3u);
  EXPECT_EQ(r.idleHeld, 5);
  EXPECT_EQ(r.idleLost + r.idleFailed, 0u);
  // They are closed when the run ends; the server then sees five silent connections.
  EXPECT_TRUE(server.WaitSilent(5));
}

TEST(EngineRunTest, ResultLineCarriesTheCounts) {
  TestServer server(Behavior::Answer);
  Options o = Base(server.port(), Mode::HalfClose);
  o.maxRequests = 4;
  Report r = MustRun(o);
  std::string line = FormatResult(r);
  EXPECT_EQ(line.rfind("RESULT mode=halfclose ", 0), 0u) << line;
  for (const char* kv : {" ok=4 ", " errors=0 ", " err_timeout=0 ", " started=4 ", " body_min=100 "})
    EXPECT_NE(line.find(kv), std::string::npos) << kv << " in " << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace loadgen
