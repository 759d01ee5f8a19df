// Reading one request on a scripted connection whose clock moves only as
// the service waits, so every wait is checked to the millisecond and none
// is waited out: the pauses that end a request, the first wait, a
// half-close, the bounds that keep a client from holding a worker (a
// trickle, a request that never pauses), the NUL rule and the stop flag.
#include <string>

#include <gtest/gtest.h>

#include "base/Limits.h"
#include "web_support.h"

namespace korimo {
namespace {

using testing_support::MemoryChatHost;
using testing_support::MemoryService;

// A pause shorter than the wait is bridged; a longer one cuts the request
// there, and it is answered from what was read. The wait is 200 ms after
// the first chunk, 2000 ms when the request starts with "POST" in any case.
TEST(RequestReading, APauseEndsTheRequestAfterItsWait) {
  struct Case {
    const char* Name;
    std::string Method;
    int GapMs;
    bool Cut;
    long AnsweredAtMs;  // on the connection's clock
  };
  const Case cases[] = {
      {"GET, 199 ms bridged", "GET", 199, false, 199 + 200},
      {"GET, 201 ms cuts", "GET", 201, true, 200},
      {"HEAD, 201 ms cuts", "HEAD", 201, true, 200},
      {"POST, 1999 ms bridged", "POST", 1999, false, 1999 + 2000},
      {"pOsT, 1999 ms bridged", "pOsT", 1999, false, 1999 + 2000},
      {"POST, 2001 ms cuts", "POST", 2001, true, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    MemoryChatHost host;
    MemoryService s(host);
    s.Conn.Send(0, c.Method + " /scripts/status.cgi HTTP/1.0\r\n").Send(c.GapMs, "Host: after\r\n\r\n");
    s.Service.Serve();
    EXPECT_EQ(s.Command.Host, c.Cut ? "" : "after");
    EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
    EXPECT_EQ(s.Conn.NowMs, c.AnsweredAtMs);
    EXPECT_TRUE(s.Conn.Drained) << "the client's side is still open";
  }
}

// Nothing comes: after the first wait of 60 s the request ends, with
// nothing sent. A client that closes its sending side is answered at once,
// and nothing is drained.
TEST(RequestReading, TheFirstWaitAndAHalfClose) {
  {
    MemoryChatHost host;
    MemoryService s(host);
    s.Service.Serve();
    EXPECT_EQ(s.Conn.NowMs, kFirstChunkWaitMs);
    EXPECT_EQ(s.Conn.Sent, "");
    EXPECT_EQ(s.Command.Method, "");
  }
  {
    MemoryChatHost host;
    MemoryService s(host);
    s.Conn.Send(5, "GET /scripts/status.cgi HTTP/1.0\r\n\r\n").CloseSending(5);
    s.Service.Serve();
    EXPECT_EQ(s.Conn.NowMs, 5);
    EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
    EXPECT_FALSE(s.Conn.Drained);
  }
}

// A client that sends one byte every 10 ms, inside the pause, for ever
// would keep its worker for ever if only pauses ended a request: the whole
// reading ends at the read limit from the first byte, and is answered.
TEST(RequestReading, ATrickleIsCutAtTheReadLimitAndAnswered) {
  for (int limitMs : {1000, kMaxRequestReadMs}) {
    SCOPED_TRACE("limit " + std::to_string(limitMs));
    MemoryChatHost host;
    MemoryService s(host, limitMs);
    const std::string text = "GET /scripts/status.cgi HTTP/1.0\r\nX-Slow: " + std::string(10000, 'a');
    for (size_t i = 0; i < text.size(); ++i) s.Conn.Send(static_cast<int>(10 + i * 10), text.substr(i, 1));
    s.Service.Serve();
    EXPECT_EQ(s.Conn.NowMs, 10 + limitMs);
    EXPECT_EQ(s.Command.Path, "\\scripts\\status.cgi");
    EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
  }
}

// A request that never pauses stops at the cap and is answered from what
// was read; the rest is not kept.
TEST(RequestReading, ARequestThatNeverPausesStopsAtTheCap) {
  MemoryChatHost host;
  MemoryService s(host);
  s.Conn.Send(0, "POST /scripts/status.cgi HTTP/1.0\r\nContent-Length: 9999999\r\n\r\n");
  for (int t = 1; t <= 40; ++t) s.Conn.Send(t, std::string(65536, 'q'));  // 2.5 MiB
  s.Service.Serve();
  EXPECT_EQ(s.Command.Path, "\\scripts\\status.cgi");
  EXPECT_GE(s.Command.Body.size(), kMaxRequestBytes - 64 - 64);
  EXPECT_LE(s.Command.Body.size(), kMaxRequestBytes);
  EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
}

// A NUL drops the rest of its chunk, and reading goes on with the next one.
TEST(RequestReading, ANulDropsTheRestOfItsChunkOnly) {
  MemoryChatHost host;
  MemoryService s(host);
  std::string first = "GET /scripts/status.cgi";  // 23 bytes
  first.resize(64, 'x');
  first[23] = '\0';  // bytes 24..63 are lost; the second read starts at 64
  s.Conn.Send(0, first).Send(0, "?after HTTP/1.0\r\n\r\n").CloseSending(0);
  s.Service.Serve();
  EXPECT_EQ(s.Command.Path, "\\scripts\\status.cgi");
  EXPECT_EQ(s.Command.Query, "after");
  EXPECT_EQ(s.Conn.Sent.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
}

// A worker asked to stop reads nothing and sends nothing.
TEST(RequestReading, AStopRequestedBeforehandSendsNothing) {
  MemoryChatHost host;
  MemoryService s(host);
  s.Stop = true;
  s.Conn.Send(0, "GET /scripts/status.cgi HTTP/1.0\r\n\r\n").CloseSending(0);
  s.Service.Serve();
  EXPECT_EQ(s.Conn.Sent, "");
  EXPECT_EQ(s.Command.Method, "");
}

}  // namespace
}  // namespace korimo
