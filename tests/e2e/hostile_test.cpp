// Clients that misbehave, against the real binary: bytes after the
// request, resets in the middle of a response or before it, a file changed
// while it is sent, a request that never ends, Update and Exit while
// connections are in flight. The server loses no response to its own
// close, keeps memory, descriptors and threads bounded, and goes on
// serving.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <semaphore>

#include "e2e/e2e_support.h"
#include "base/Limits.h"

namespace korimo::e2e {
namespace {

#ifdef KORIMO_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kIndex = "<html><body>start page</body></html>\r\n";
const std::string kGetIndex = "GET /index.html HTTP/1.0\r\n\r\n";

bool IsWholePage(const std::string& reply) {
  static const std::string kTail = "</BODY></HTML>\r\n";
  return reply.rfind("HTTP/1.0 200 Document follows\r\n", 0) == 0 && reply.size() >= kTail.size() &&
         reply.compare(reply.size() - kTail.size(), kTail.size(), kTail) == 0;
}

std::string Describe(const Received& r) {
  return std::to_string(r.Bytes.size()) + " bytes, " + (r.Closed ? "closed" : "not closed") +
         (r.Error ? std::string(", ") + strerror(r.Error) : std::string());
}

// The server's descriptors, connections and threads, for failure messages.
std::string ServerCounts(pid_t pid, int port) {
  return "descriptors " + std::to_string(OpenDescriptors(pid).size()) + ", connections " +
         std::to_string(ConnectionDescriptors(pid, port)) + ", threads " + std::to_string(ThreadCount(pid));
}

// A client that sends more after its request (the rest of a body longer
// than its Content-Length, a second request) while the answer is on its
// way. Had the server closed with those bytes unread, its close would be a
// reset, and the part of the answer still queued would be lost with it.
TEST(HostileClients, BytesAfterTheRequestDoNotCostTheAnswer) {
  TempDir dir;
  const std::string big = PatternBytes(4 << 20, 1);  // more than the socket buffers hold at once
  dir.AddFile("big.bin", big);
  Server s = StartServer(dir);

  // The post form depends only on the handle and colour: a plain post
  // first gives the page that the late-bytes post must get.
  const std::string formPage = Exchange(s.Port, PostRequest("handle=p&text=first"));
  ASSERT_TRUE(IsWholePage(formPage)) << formPage;
  const std::string longBody = PostRequest("handle=p&text=ok") + "&text=EVIL&handle=evil";

  struct Case {
    const char* Name;
    std::string Request;
    std::vector<std::string> Later;  // sent one by one once the answer has begun
    bool HalfClose;                  // then the client ends its sending side
    std::string Expected;
  } cases[] = {
      {"GET, 10 KB more, half-closed",
       "GET /big.bin HTTP/1.0\r\n\r\n",
       {std::string(10240, 'x')},
       true,
       HtmlReplyHead() + big},
      {"GET, 10 KB more, kept open",
       "GET /big.bin HTTP/1.0\r\n\r\n",
       {std::string(10240, 'x')},
       false,
       HtmlReplyHead() + big},
      {"GET, a second request",
       "GET /big.bin HTTP/1.0\r\n\r\n",
       {"GET /big.bin HTTP/1.0\r\n\r\n"},
       true,
       HtmlReplyHead() + big},
      {"POST with a long body, two more parts",
       longBody,
       {"&text=EVIL2" + std::string(4000, 'y'), "&handle=evil3" + std::string(4000, 'z')},
       true,
       formPage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Fd conn = ConnectWithReceiveBuffer(s.Port, 64 * 1024);
    SendAll(conn.get(), c.Request);
    // The answer begins after the pause (2 s for a POST): the request has
    // been read, and what follows is more than the server asked for.
    ASSERT_TRUE(WaitReadable(conn.get(), Ms(5000)));
    for (const std::string& part : c.Later) SendAll(conn.get(), part);
    if (c.HalfClose) shutdown(conn.get(), SHUT_WR);
    Received r = ReadToClose(conn.get(), Ms(15000));
    EXPECT_TRUE(r.Closed) << Describe(r);
    EXPECT_EQ(r.Error, 0) << strerror(r.Error);
    EXPECT_EQ(r.Bytes.size(), c.Expected.size());
    EXPECT_TRUE(r.Bytes == c.Expected) << Describe(r);
  }
  // The post took its body up to Content-Length, nothing after it.
  std::vector<std::string> lines = WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi")));
  EXPECT_EQ(lines, (std::vector<std::string>{"p> first", "p> ok"}));
  EXPECT_EQ(ErrorReports(*s), "");
}

// Thousands of connections of every kind, resets in the middle of a 20 MB
// file and before the answer among them: the server stays up, reports no
// error to the operator, and comes back to the descriptors and threads it
// had with its ten cached workers.
TEST(HostileClients, MixedLoadWithResetsLeavesNoDescriptorOrThreadBehind) {
  TempDir dir;
  const std::string big = PatternBytes(20 << 20, 2);
  const std::string bigReply = HtmlReplyHead() + big;
  dir.AddFile("big.bin", big);
  dir.AddFile("index.html", kIndex);
  Server s = StartServer(dir);
  const pid_t pid = s->pid();
  const int port = s.Port;

  // Warm-up: as many connections at once as the cache holds, so that each
  // gets a worker of its own and every cached worker exists.
  {
    const long before = ThreadCount(pid);  // main, accept, the worker of the start-up probe
    std::vector<Fd> conns;
    for (int i = 0; i < kThreadCacheSize; ++i) conns.push_back(ConnectPaced(port));
    // All held by workers of their own before any is answered: the idle
    // worker took one, each of the others got a new thread.
    ASSERT_TRUE(PollUntil(
        [&] {
          return ConnectionDescriptors(pid, port) == kThreadCacheSize &&
                 ThreadCount(pid) >= before + kThreadCacheSize - 1;
        },
        Ms(5000)))
        << ServerCounts(pid, port) << ", threads before " << before;
    for (Fd& c : conns) {
      SendAll(c.get(), kGetIndex);
      shutdown(c.get(), SHUT_WR);
    }
    for (Fd& c : conns) ASSERT_EQ(ReadToClose(c.get()).Bytes, HtmlReplyHead() + kIndex);
  }
  ASSERT_TRUE(PollUntil([&] { return ConnectionDescriptors(pid, port) == 0; }, Ms(5000)));
  const size_t baseFds = OpenDescriptors(pid).size();
  const long baseThreads = ThreadCount(pid);
  ASSERT_GE(baseThreads, 2 + kThreadCacheSize);  // main, accept, the cached workers

  // Each kind returns "" when the client saw what it should.
  struct Kind {
    const char* Name;
    std::function<std::string()> Run;
  };
  const Kind kinds[] = {
      {"GET, half-closed",
       [&] {
         std::string got = Exchange(port, kGetIndex);
         return got == HtmlReplyHead() + kIndex ? "" : "answer of " + std::to_string(got.size()) + " bytes";
       }},
      {"reset in the middle of a 20 MB file",
       [&] {
         Fd c = ConnectPaced(port);
         SendAll(c.get(), "GET /big.bin HTTP/1.0\r\n\r\n");
         shutdown(c.get(), SHUT_WR);
         Received r = ReadAtLeast(c.get(), 256 * 1024);
         ResetClose(c);
         if (r.Bytes.size() < 256 * 1024 || bigReply.compare(0, r.Bytes.size(), r.Bytes) != 0) return Describe(r);
         return std::string();
       }},
      {"reset before the answer",
       [&] {
         Fd c = ConnectPaced(port);
         SendAll(c.get(), "GET /scripts/status.cgi HTTP/1.0\r\n\r\n");
         ResetClose(c);
         return std::string();
       }},
      {"half-closed, gone without reading",
       [&] {
         Fd c = ConnectPaced(port);
         SendAll(c.get(), kGetIndex);
         shutdown(c.get(), SHUT_WR);
         return std::string();
       }},
      {"idle, then closed",
       [&] {
         Fd c = ConnectPaced(port);
         return std::string();
       }},
      {"kept open, read to the end",
       [&] {
         Fd c = ConnectPaced(port);
         SendAll(c.get(), kGetIndex);
         Received r = ReadToClose(c.get());
         return r.Bytes == HtmlReplyHead() + kIndex && r.Closed && !r.Error ? "" : Describe(r);
       }},
  };
  // Mostly the fast kinds; a kept-open request costs the 200 ms pause.
  auto kindOf = [](int i) {
    static const int kByTen[] = {0, 0, 0, 1, 1, 2, 2, 3, 4, 0};
    return i % 100 == 99 ? 5 : kByTen[i % 10];
  };

  const int total = kSanitized ? 400 : 2000;
  constexpr int kClients = 4;  // each with one connection at a time: the accept queue never overflows
  std::atomic<int> next{0};
  std::mutex m;
  std::map<std::string, int> failures;
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < total;) {
        const Kind& k = kinds[kindOf(i)];
        std::string failure;
        try {
          failure = k.Run();
        } catch (const std::exception& e) {
          failure = e.what();
        }
        if (!failure.empty()) {
          std::lock_guard<std::mutex> l(m);
          ++failures[std::string(k.Name) + ": " + failure];
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  for (const auto& [what, n] : failures) ADD_FAILURE() << n << " x " << what;

  bool settled = PollUntil(
      [&] {
        return ConnectionDescriptors(pid, port) == 0 && OpenDescriptors(pid).size() == baseFds &&
               ThreadCount(pid) <= baseThreads;
      },
      Ms(30000));  // parked threads end after their idle time
  EXPECT_TRUE(settled) << ServerCounts(pid, port) << "; at the start: descriptors " << baseFds << ", threads "
                       << baseThreads;
  ASSERT_TRUE(s->Running());
  EXPECT_EQ(Get(port, "/index.html"), HtmlReplyHead() + kIndex);
  EXPECT_EQ(ErrorReports(*s), "");
}

// A file changed on disk while a slow reader is half-way through it: the
// answer holds the bytes of the file that was opened (a replacement gets a
// new inode; a file cut short ends the answer early), nothing hangs, and
// the next request sees the file as it is now.
TEST(HostileClients, FileChangedWhileBeingSent) {
  const std::string old = PatternBytes(20 << 20, 3);
  const std::string replacement = PatternBytes(3 << 20, 4);
  constexpr size_t kReadFirst = 1 << 20;
  // The server is ahead of the reader by at most its send buffer and the
  // reader's small window; the cut lies well beyond that.
  constexpr size_t kCut = 12 << 20;
  long sendBufferMax = 0;
  {
    std::ifstream wmem("/proc/sys/net/ipv4/tcp_wmem");
    long a = 0, b = 0;
    wmem >> a >> b >> sendBufferMax;
  }
  struct Case {
    const char* Name;
    std::function<void(const std::filesystem::path&)> Change;
    std::string Answer;  // body of the answer in progress
    std::string After;   // body of the next answer
  } cases[] = {
      {"replaced by a rename",
       [&](const std::filesystem::path& p) {
         auto fresh = p;
         fresh += ".new";
         std::ofstream(fresh, std::ios::binary) << replacement;
         std::filesystem::rename(fresh, p);
       },
       old, replacement},
      {"cut short in place", [&](const std::filesystem::path& p) { std::filesystem::resize_file(p, kCut); },
       old.substr(0, kCut), old.substr(0, kCut)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    dir.AddFile("big.bin", old);
    Server s = StartServer(dir);
    Fd conn = ConnectWithReceiveBuffer(s.Port, 64 * 1024);
    SendAll(conn.get(), "GET /big.bin HTTP/1.0\r\n\r\n");
    shutdown(conn.get(), SHUT_WR);
    Received first = ReadAtLeast(conn.get(), kReadFirst);
    ASSERT_GE(first.Bytes.size(), kReadFirst) << Describe(first);
    c.Change(dir.Path / "root" / "big.bin");
    Received rest = ReadToClose(conn.get(), Ms(20000));
    EXPECT_TRUE(rest.Closed) << Describe(rest);
    EXPECT_EQ(rest.Error, 0);
    const std::string got = first.Bytes + rest.Bytes;
    const std::string expected = HtmlReplyHead() + c.Answer;
    if (static_cast<size_t>(sendBufferMax) + 2 * kReadFirst < kCut) {
      EXPECT_EQ(got.size(), expected.size());
      EXPECT_TRUE(got == expected) << "answer of " << got.size() << " bytes";
    } else {  // a send buffer this large may hold old bytes beyond the cut
      EXPECT_EQ(std::string(HtmlReplyHead() + old).compare(0, got.size(), got), 0);
    }
    EXPECT_TRUE(Get(s.Port, "/big.bin") == HtmlReplyHead() + c.After);
    EXPECT_EQ(ErrorReports(*s), "");
  }
}

// A request of 100 MiB sent without a pause: the server reads no more
// than its cap (1 MiB), answers from it or closes, and its memory stays
// near where it was. The client sees its sends fail once the server has
// stopped reading and closed; that is expected.
TEST(HostileClients, EndlessRequestIsCutAtTheCap) {
  TempDir dir;
  dir.AddFile("index.html", kIndex);
  Server s = StartServer(dir);
  const pid_t pid = s->pid();
  ASSERT_EQ(Get(s.Port, "/index.html"), HtmlReplyHead() + kIndex);
  const long baseKiB = ResidentKiB(pid);
  constexpr long kMarginKiB = 16 * 1024;
  constexpr size_t kTotal = size_t{100} << 20;

  std::atomic<bool> sending{true};
  std::atomic<long> peakKiB{baseKiB};
  std::thread watcher([&] {
    // Sampled, not waited on: the peak of a value only /proc shows.
    while (sending.load()) {
      long kib = ResidentKiB(pid);
      if (kib > peakKiB.load()) peakKiB.store(kib);
      poll(nullptr, 0, 1);
    }
  });

  Fd conn = Connect(s.Port);
  fcntl(conn.get(), F_SETFL, fcntl(conn.get(), F_GETFL) | O_NONBLOCK);
  std::string block;
  while (block.size() < 64 * 1024) block += "X-Filler: " + std::string(100, 'a') + "\r\n";
  std::string pending = "GET /x HTTP/1.0\r\n";
  size_t sent = 0;
  std::string answer;
  bool answerEnded = false;  // the server ended its sending side
  int sendError = 0;
  auto started = Clock::now();
  // Sends on after the answer: only a send that fails shows that the
  // server has stopped reading and closed.
  while (sent < kTotal && sendError == 0 && Since(started) < Ms(30000)) {
    pollfd p{conn.get(), static_cast<short>(POLLOUT | (answerEnded ? 0 : POLLIN)), 0};
    if (poll(&p, 1, 100) <= 0) continue;
    if (!answerEnded && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
      if (n > 0) {
        answer.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        answerEnded = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        sendError = errno;
      }
    }
    if (sendError == 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
      if (pending.empty()) pending = block;
      ssize_t n = send(conn.get(), pending.data(), pending.size(), MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        pending.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        sendError = errno;
      }
    }
  }
  Ms took = Since(started);
  sending = false;
  watcher.join();

  EXPECT_TRUE(sendError == EPIPE || sendError == ECONNRESET)
      << "sent " << sent << " bytes in " << took.count() << " ms, " << (sendError ? strerror(sendError) : "no error");
  EXPECT_LT(sent, kTotal);
  // What arrived of the answer (a reset may cut it) is the "404" page for
  // the file x named by the request line.
  EXPECT_EQ(ShortNotFoundPage().compare(0, answer.size(), answer), 0) << answer.substr(0, 200);
  EXPECT_LE(peakKiB.load(), baseKiB + kMarginKiB) << "resident at the start " << baseKiB << " KiB";
  ASSERT_TRUE(s->Running());
  EXPECT_EQ(Get(s.Port, "/index.html"), HtmlReplyHead() + kIndex);
  EXPECT_LE(ResidentKiB(pid), baseKiB + kMarginKiB);
  EXPECT_EQ(ErrorReports(*s), "");
}

// Update pressed fifty times while twenty browsers post and read the chat:
// nothing deadlocks, the threads come back to the cache's size, and every
// post whose form page came back whole is in the chat. Posts cut by an
// Update are tried again under a new text; they may or may not have landed.
TEST(HostileClients, UpdatesWhileBrowsersPostAndRead) {
  TempDir dir;
  Server s = StartServer(dir);
  const pid_t pid = s->pid();
  const int port = s.Port;
  // An Update that does not come back within this is taken for a hang.
  const Ms updateLimit(kSanitized ? 45000 : 20000);
  Watchdog dog(pid, kSanitized ? Ms(150000) : Ms(60000));
  s->Type("/maxlines 5000");
  s->Type("/port " + std::to_string(port));
  s->Type("/update");
  ASSERT_NE(s->Show().find("MaxLine: 5000\nRefresh: 5\nActive: yes\n"), std::string::npos);
  // The new listener has no worker yet: main and accept thread only.
  const long idleThreads = ThreadCount(pid);
  const size_t idleFds = OpenDescriptors(pid).size();

  constexpr int kClients = 20;
  constexpr int kUpdates = 50;
  constexpr int kMaxPosts = 4500;  // under the line cap: no line is dropped
  std::atomic<bool> stop{false};
  std::atomic<int> attempts{0};
  std::mutex m;
  std::condition_variable acked;
  std::vector<std::string> ackedLines;
  std::set<std::string> triedLines;
  // A few connects at a time, each once the accept queue is short: the
  // listen backlog is 5.
  std::counting_semaphore<3> gate(3);
  auto connect = [&] {
    gate.acquire();
    auto deadline = Clock::now() + Ms(1000);
    while (AcceptQueueLength(port) > 1 && Clock::now() < deadline) poll(nullptr, 0, 1);
    Fd c = TryConnect(port);
    gate.release();
    if (!c) poll(nullptr, 0, 2);  // refused: the listener is being reopened
    return c;
  };
  auto exchange = [](Fd& c, const std::string& request) -> std::string {
    try {
      SendAll(c.get(), request);
      shutdown(c.get(), SHUT_WR);
    } catch (const std::exception&) {
      return "";
    }
    return ReadToClose(c.get()).Bytes;
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      const std::string handle = "c" + std::to_string(i);
      for (int k = 0; !stop.load(); ++k) {
        if (attempts.fetch_add(1) < kMaxPosts) {
          const std::string text = "a" + std::to_string(i) + "-" + std::to_string(k);
          const std::string line = handle + "> " + text;
          {
            std::lock_guard<std::mutex> l(m);
            triedLines.insert(line);
          }
          if (Fd c = connect()) {
            std::string reply = exchange(c, PostRequest("handle=" + handle + "&text=" + text));
            if (IsWholePage(reply) && reply.find("value=\"" + handle + "\"> \r\n") != std::string::npos) {
              std::lock_guard<std::mutex> l(m);
              ackedLines.push_back(line);
              acked.notify_all();
            }
          }
        }
        if (Fd c = connect()) exchange(c, "GET /scripts/status.cgi HTTP/1.0\r\n\r\n");
      }
    });
  }

  int pressed = 0;
  std::string stuck;  // the server's threads when an Update did not come back
  for (; pressed < kUpdates; ++pressed) {
    // Let some posts through on this listener, then cut it.
    {
      std::unique_lock<std::mutex> l(m);
      size_t before = ackedLines.size();
      acked.wait_for(l, Ms(3000), [&] { return ackedLines.size() >= before + 3 || attempts.load() >= kMaxPosts; });
    }
    s->Type("/update");
    if (!s->Barrier(updateLimit)) {
      stuck = ThreadSummary(pid);
      break;
    }
  }
  stop = true;
  for (auto& t : clients) t.join();
  EXPECT_EQ(pressed, kUpdates) << "Update " << pressed << " did not come back; threads: " << stuck;
  ASSERT_TRUE(dog.Disarm()) << "the server hung; killed";
  ASSERT_NE(s->Show().find("Active: yes\n"), std::string::npos);

  bool settled = PollUntil(
      [&] {
        return ThreadCount(pid) <= idleThreads + kThreadCacheSize && ConnectionDescriptors(pid, port) == 0 &&
               OpenDescriptors(pid).size() == idleFds;
      },
      Ms(30000));  // parked threads end after their idle time
  EXPECT_TRUE(settled) << ServerCounts(pid, port) << "; with no connection: descriptors " << idleFds << ", threads "
                       << idleThreads;

  std::vector<std::string> lines = WithoutTimes(ChatLinesOfPage(Get(port, "/scripts/status.cgi")));
  std::map<std::string, int> seen;
  for (const std::string& l : lines) ++seen[l];
  std::lock_guard<std::mutex> l(m);
  EXPECT_GE(ackedLines.size(), static_cast<size_t>(kUpdates));
  for (const std::string& a : ackedLines) EXPECT_EQ(seen[a], 1) << "acknowledged post missing: " << a;
  for (const auto& [line, n] : seen) {
    EXPECT_EQ(n, 1) << line;
    EXPECT_TRUE(triedLines.count(line)) << "a line nobody posted: " << line;
  }
  EXPECT_EQ(ErrorReports(*s), "");
}

// Exit while 200 connections are half-way through their request line and a
// few complete posts wait out their pause: the process ends with status 0
// without waiting for the pause, every connection closed without an answer.
TEST(HostileClients, ExitWithRequestsInFlightIsPrompt) {
  RaiseDescriptorLimit(1024);
  struct Case {
    const char* Name;
    std::function<void(Korimo&)> Stop;
  } cases[] = {
      {"/quit", [](Korimo& k) { k.Type("/quit"); }},
      {"SIGTERM", [](Korimo& k) { k.Signal(SIGTERM); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    Server s = StartServer(dir);
    std::vector<Fd> conns;
    for (int i = 0; i < 200; ++i) conns.push_back(ConnectPaced(s.Port));
    // From here on every request is inside its 2 s pause (all are posts).
    auto firstByte = Clock::now();
    for (Fd& conn : conns) SendAll(conn.get(), "POST /scripts/append.cgi HTTP/1.0\r\nConte");
    for (int i = 0; i < 5; ++i) {
      conns.push_back(ConnectPaced(s.Port));
      SendAll(conns.back().get(), PostRequest("handle=q&text=in+flight+" + std::to_string(i)));
    }
    ASSERT_TRUE(s->Barrier());
    c.Stop(*s);
    std::optional<int> status = s->WaitExit(Ms(10000));
    EXPECT_EQ(status, std::optional<int>(0)) << s->Stderr();
    // Had the exit waited for the pause, the posts would have been answered.
    const bool insidePause = Since(firstByte) < Ms(1900);  // no request was answered by its pause
    for (Fd& conn : conns) {
      Received r = ReadToClose(conn.get(), Ms(2000));
      EXPECT_TRUE(r.Closed);
      if (insidePause) {
        EXPECT_EQ(r.Bytes, "");
      }
    }
    EXPECT_EQ(ErrorReports(*s), "");
  }
}

}  // namespace
}  // namespace korimo::e2e
