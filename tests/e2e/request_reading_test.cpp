// How the server decides that a request is complete: by a pause (200 ms,
// 2000 ms for a POST), by the client closing its sending side, never by
// the request's own framing.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

const std::string kFile = "the abc file\r\n";
const std::string kFileReply = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n" + kFile;
const std::string kNotFoundStart = "HTTP/1.0 404 Document follows\r\n";

// Long enough for any machine; only a server that never answers reaches it.
const Ms kNoAnswer(30000);

// Sends without failing: the server may already have closed the connection.
void SendIgnoringErrors(int fd, std::string_view bytes) {
  ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  (void)n;
}

// From now on the kernel stamps what arrives on fd with the time it came.
void StampArrivals(int fd) {
  int one = 1;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one), 0) << Errno("SO_TIMESTAMPNS");
}

struct FirstByte {
  std::string Byte;        // empty when the connection ended without one
  int64_t ArrivedNs = -1;  // the kernel's stamp (CLOCK_REALTIME), -1 without one
};

// Reads the first byte waiting on fd, and when it reached this host: the
// stamp tells the order of two answers however late this thread reads them.
FirstByte ReadFirstByte(int fd) {
  FirstByte out;
  char byte = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + 64];
  iovec iov{&byte, 1};
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t n;
  do n = recvmsg(fd, &m, 0);
  while (n < 0 && errno == EINTR);
  if (n != 1) return out;
  out.Byte.assign(1, byte);
  for (cmsghdr* h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h)) {
    if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec t;
    std::memcpy(&t, CMSG_DATA(h), sizeof t);
    out.ArrivedNs = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  }
  return out;
}

class RequestReading : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir.AddFile("abc.html", kFile);
    S = StartServer(Dir);
  }
  TempDir Dir;
  Server S;
};

// The request line "GET /abc.html HTTP/1.0" arrives in two pieces. A gap
// shorter than the pause is bridged; when the rest is held back until an
// answer comes, the pause cuts the request after "GET /abc.html", which has
// no line end and so names no file: the answer is the "404" page, sent
// before the rest was.
TEST_F(RequestReading, PauseInTheMiddleCutsTheRequest) {
  struct Case {
    const char* Name;
    int GapMs;  // -1: until the answer comes
  } cases[] = {{"a 40 ms gap is bridged", 40}, {"the rest held back until the answer", -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const bool cut = c.GapMs < 0;
    Fd conn = Connect(S.Port);
    auto sent = Clock::now();
    SendAll(conn.get(), "GET /abc.html");
    if (cut) {
      // Nothing else is sent: only the pause can end this request.
      ASSERT_TRUE(WaitReadable(conn.get(), kNoAnswer));
      EXPECT_GE(Since(sent), Ms(180));
    } else {
      EXPECT_FALSE(WaitReadable(conn.get(), Ms(c.GapMs)));
    }
    SendIgnoringErrors(conn.get(), " HTTP/1.0\r\n\r\n");
    Received r = ReadToClose(conn.get());
    EXPECT_TRUE(r.Closed);
    if (cut) {
      EXPECT_EQ(r.Bytes.rfind(kNotFoundStart, 0), 0u) << r.Bytes;
    } else {
      EXPECT_EQ(r.Bytes, kFileReply);
    }
  }
}

// A whole request on a connection kept open is answered only after the
// pause; the same request with the sending side closed is answered at once.
// Both are sent together, the kept-open one first: the half-closed one's
// answer must arrive first all the same. Had the server waited for a pause
// on it too, the kept-open answer, whose pause began earlier, would lead.
TEST_F(RequestReading, KeptOpenWaitsForThePauseHalfClosedDoesNot) {
  const std::string request = "GET /abc.html HTTP/1.0\r\n\r\n";
  Fd open = Connect(S.Port);
  Fd half = Connect(S.Port);
  ASSERT_NO_FATAL_FAILURE(StampArrivals(open.get()));
  ASSERT_NO_FATAL_FAILURE(StampArrivals(half.get()));

  auto t0 = Clock::now();
  SendAll(open.get(), request);
  SendAll(half.get(), request);
  shutdown(half.get(), SHUT_WR);

  ASSERT_TRUE(WaitReadable(half.get(), kNoAnswer));
  FirstByte halfFirst = ReadFirstByte(half.get());
  ASSERT_TRUE(WaitReadable(open.get(), kNoAnswer));
  Ms keptOpen = Since(t0);
  FirstByte openFirst = ReadFirstByte(open.get());
  ASSERT_EQ(halfFirst.Byte + openFirst.Byte, "HH");
  ASSERT_GE(halfFirst.ArrivedNs, 0) << "no arrival stamp";
  ASSERT_GE(openFirst.ArrivedNs, 0) << "no arrival stamp";
  EXPECT_LT(halfFirst.ArrivedNs, openFirst.ArrivedNs);
  EXPECT_GE(keptOpen, Ms(180));

  for (auto [fd, first] : {std::pair{half.get(), halfFirst}, std::pair{open.get(), openFirst}}) {
    Received r = ReadToClose(fd);
    EXPECT_TRUE(r.Closed);
    EXPECT_EQ(first.Byte + r.Bytes, kFileReply);
  }
}

// A POST waits 2000 ms for each further piece: a body sent a second after
// the headers is still part of the request.
TEST_F(RequestReading, PostBodyAfterASecondIsStillRead) {
  const std::string body = "handle=late&text=the%20late%20text&color=Green";
  std::string request = PostRequest(body);
  std::string head = request.substr(0, request.size() - body.size());

  size_t outFrom = S->Stdout().size();
  Fd conn = Connect(S.Port);
  SendAll(conn.get(), head);
  // A GET would have been answered by now; a POST is still being read.
  EXPECT_FALSE(WaitReadable(conn.get(), Ms(1000)));
  SendAll(conn.get(), body);
  shutdown(conn.get(), SHUT_WR);
  Received r = ReadToClose(conn.get());
  ASSERT_TRUE(r.Closed);
  EXPECT_EQ(r.Bytes.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u) << r.Bytes;
  EXPECT_NE(r.Bytes.find("name=\"handle\" size=\"6\" value=\"late\"> \r\n"), std::string::npos);
  EXPECT_NE(r.Bytes.find("value=\"Green\" name=\"color\" checked>"), std::string::npos);

  const std::string line = "late> <font color=\"green\">the late text</font>";
  EXPECT_TRUE(S->WaitStdoutFrom(outFrom, line + " ("));
  EXPECT_EQ(WithoutTimes(ChatLinesOfPage(Get(S.Port, "/scripts/status.cgi"))), std::vector<std::string>{line});
}

// A client that connects and sends nothing gets nothing, and is not cut
// off soon; other clients are served meanwhile.
TEST_F(RequestReading, SilentClientGetsNothing) {
  Fd silent = Connect(S.Port);
  EXPECT_FALSE(WaitReadable(silent.get(), Ms(500)));
  char c;
  errno = 0;
  EXPECT_EQ(recv(silent.get(), &c, 1, MSG_DONTWAIT), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
  EXPECT_EQ(Get(S.Port, "/abc.html"), kFileReply);
  EXPECT_FALSE(WaitReadable(silent.get(), Ms(0)));
}

}  // namespace
}  // namespace korimo::e2e
