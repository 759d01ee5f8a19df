// The socket layer on real loopback connections: timed waits and reads,
// sends of texts and streams with the rules of who owns the stream, the
// peer's address, closing, listening, and the error messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/Stream.h"
#include "net/WinSocket.h"
#include "net_support.h"

namespace korimo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace testing_support;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// "' API でWindows ソケットエラー: " in code page 932.
const char kApiErrorMiddle[] =
    "' API \x82\xc5" "Windows \x83\x5c\x83\x50\x83\x62\x83\x67\x83\x47\x83\x89\x81\x5b: ";
// "開かれているソケットを Listen 状態にはできません"
const char kCannotListenOnOpen[] =
    "\x8a\x4a\x82\xa9\x82\xea\x82\xc4\x82\xa2\x82\xe9\x83\x5c\x83\x50\x83\x62\x83\x67\x82\xf0"
    " Listen "
    "\x8f\xf3\x91\xd4\x82\xc9\x82\xcd\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// "ソケットはブロックモーでなければなりません"
const char kMustBeBlocking[] =
    "\x83\x5c\x83\x50\x83\x62\x83\x67\x82\xcd\x83\x75\x83\x8d\x83\x62\x83\x4e\x83\x82\x81\x5b"
    "\x82\xc5\x82\xc8\x82\xaf\x82\xea\x82\xce\x82\xc8\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// " エラー "
const char kErrorWord[] = " \x83\x47\x83\x89\x81\x5b ";

std::string ApiErrorText(const char* api, int code) {
  return std::string("'") + api + kApiErrorMiddle + std::strerror(code) + " (" + std::to_string(code) +
         ")";
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// A plain listening socket on 127.0.0.1 at a port the system picks.
int ListenLoopback() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// One loopback connection: the accepted end as a socket object in plain
// blocking use, the other end a bare descriptor playing the browser.
struct Connection {
  std::unique_ptr<TCustomWinSocket> Server;
  int Client = -1;
  ~Connection() {
    if (Client >= 0) close(Client);
  }
};

void Connect(Connection& c) {
  int listener = ListenLoopback();
  ASSERT_GE(listener, 0) << std::strerror(errno);
  c.Client = ConnectLoopback(LocalPort(listener));
  int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  ASSERT_GE(c.Client, 0);
  ASSERT_GE(accepted, 0);
  c.Server = std::make_unique<TCustomWinSocket>(accepted);
  c.Server->SetNotifyStyles(0);
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<size_t>(n);
  }
}

// Everything the client end receives until the peer closes (or 10 s pass).
std::string ReadToEnd(int fd) {
  std::string got;
  char buf[65536];
  const auto start = Clock::now();
  while (MsSince(start) < 10000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
  ADD_FAILURE() << "the peer never closed";
  return got;
}

// The client resets the connection; returns when the reset has reached the
// accepted end.
void ResetFromClient(Connection& c) {
  linger l{1, 0};
  setsockopt(c.Client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(c.Client);
  c.Client = -1;
  pollfd p{c.Server->SockHandle(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_NE(p.revents & (POLLERR | POLLHUP), 0);
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

// --- socket stream: waits and reads ---

TEST(SocketStreamTest, TimedReadGivesZeroAndLosesNothing) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  TWinSocketStream stream(*c.Server, 200);
  EXPECT_EQ(stream.IoTimeout(), 200);
  char first[64];
  std::memset(first, '#', sizeof first);
  const auto start = Clock::now();
  EXPECT_EQ(stream.Read(first, sizeof first), 0);
  EXPECT_GE(MsSince(start), 150);

  SendAll(c.Client, "late bytes");
  TWinSocketStream patient(*c.Server, 5000);
  char second[64] = {0};
  ASSERT_EQ(patient.Read(second, sizeof second), 10);
  EXPECT_EQ(std::string(second, 10), "late bytes");
  // Nothing was written into the first buffer after its read gave up.
  EXPECT_EQ(std::string(first, sizeof first), std::string(sizeof first, '#'));
}

TEST(SocketStreamTest, ReadTakesWhatIsWaitingUpToCount) {
  struct Case {
    size_t Waiting;
    int Count;
    std::vector<int> Reads;
  };
  const Case cases[] = {{100, 64, {64, 36}}, {10, 64, {10}}, {64, 64, {64}}, {5, 1, {1, 1, 1, 1, 1}}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.Waiting << " waiting, count " << k.Count);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    const std::string sent = Pattern(k.Waiting);
    SendAll(c.Client, sent);
    TWinSocketStream stream(*c.Server, 5000);
    ASSERT_TRUE(stream.WaitReadable(5000));
    std::string got;
    for (int expected : k.Reads) {
      char buf[128];
      int n = stream.Read(buf, k.Count);
      EXPECT_EQ(n, expected);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(stream.WaitReadable(0));
  }
}

// A wait ends on readable data or the peer's close, else at its limit. The
// ready cases wait with a limit of a minute: ending before it is what shows
// they ended on the event. The limit case bounds its wait only loosely, to
// catch a limit taken in seconds rather than milliseconds.
TEST(SocketStreamTest, WaitReadable) {
  enum Setup { kNothing, kData, kPeerClosed };
  struct Case {
    const char* Name;
    Setup What;
    int TimeoutMs;
    bool Readable;
    long MinMs, BeforeMs;
  };
  const Case cases[] = {
      {"nothing waiting: false at the limit", kNothing, 200, false, 150, 30000},
      {"data waiting: true at once", kData, 60000, true, 0, 60000},
      {"peer closed: true at once", kPeerClosed, 60000, true, 0, 60000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    if (k.What == kData) SendAll(c.Client, "x");
    if (k.What == kPeerClosed) {
      close(c.Client);
      c.Client = -1;
    }
    TWinSocketStream stream(*c.Server, 5000);
    const auto start = Clock::now();
    EXPECT_EQ(stream.WaitReadable(k.TimeoutMs), k.Readable);
    const long took = MsSince(start);
    EXPECT_GE(took, k.MinMs);
    EXPECT_LT(took, k.BeforeMs);
    if (k.What == kPeerClosed) {
      char buf[8];
      EXPECT_EQ(stream.Read(buf, sizeof buf), 0);
    }
  }
}

// The read with a wait in one call: what is there is taken without a wait,
// the peer's close is 0, nothing within the limit is -1, a reset raises.
TEST(SocketStreamTest, ReadWithin) {
  enum Setup { kNothing, kData, kPeerClosed, kReset };
  struct Case {
    const char* Name;
    Setup What;
    int TimeoutMs;
    int Result;  // -2: raises
  };
  const Case cases[] = {
      {"data waiting: taken", kData, 60000, 5},
      {"peer closed: 0", kPeerClosed, 60000, 0},
      {"nothing waiting: -1 at the limit", kNothing, 200, -1},
      {"nothing waiting, no wait at all: -1", kNothing, 0, -1},
      {"reset: raises", kReset, 60000, -2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    if (k.What == kData) SendAll(c.Client, "hello");
    if (k.What == kPeerClosed) {
      close(c.Client);
      c.Client = -1;
    }
    if (k.What == kReset) {
      ASSERT_NO_FATAL_FAILURE(ResetFromClient(c));
    }
    TWinSocketStream stream(*c.Server, 5000);
    char buf[64];
    const auto start = Clock::now();
    if (k.Result == -2) {
      EXPECT_THROW(stream.ReadWithin(buf, sizeof buf, k.TimeoutMs), ESocketError);
      continue;
    }
    EXPECT_EQ(stream.ReadWithin(buf, sizeof buf, k.TimeoutMs), k.Result);
    if (k.Result == -1) {
      EXPECT_GE(MsSince(start), k.TimeoutMs * 3 / 4);  // a lower bound only
    }
    if (k.What == kData) {
      EXPECT_EQ(std::string(buf, 5), "hello");
    }
  }
}

// Bytes that come while the read waits end the wait.
TEST(SocketStreamTest, ReadWithinWakesForLateBytes) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  TWinSocketStream stream(*c.Server, 5000);
  std::thread late([&] {
    // Once the server end sits in its wait (or before: either way the
    // bytes are read).
    SendAll(c.Client, "late");
  });
  char buf[64];
  int n = stream.ReadWithin(buf, sizeof buf, 60000);
  late.join();
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "late");
}

TEST(SocketStreamTest, StreamNeedsPlainBlockingUse) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  c.Server->SetNotifyStyles(nsRead | nsWrite | nsConnect | nsClose);
  try {
    TWinSocketStream stream(*c.Server, 1000);
    FAIL() << "a stream on a socket with notifications was created";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.message(), kMustBeBlocking);
  }
  // A socket object around an accepted handle starts with notifications on.
  TCustomWinSocket fresh(-1);
  EXPECT_EQ(fresh.NotifyStyles(), 0x33);
  EXPECT_THROW({ TWinSocketStream other(fresh, 1000); }, ESocketError);
  c.Server->SetNotifyStyles(0);
  TWinSocketStream stream(*c.Server, 1000);
  EXPECT_EQ(stream.Seek(12345, 1), 0);
}

TEST(SocketStreamTest, ReadOnClosedSocketRaises) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  TWinSocketStream stream(*c.Server, 1000);
  c.Server->CloseConnection();
  char buf[8];
  try {
    stream.Read(buf, sizeof buf);
    FAIL() << "a read on a closed socket raised nothing";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.message(), std::string("Read") + kErrorWord + std::to_string(EBADF) + ", " +
                               std::strerror(EBADF));
  }
  EXPECT_FALSE(stream.WaitReadable(0));
}

// A close from another thread must take effect on a read that holds the
// socket's lock: shutting the connection down ends the read, long before the
// read's own limit of a minute (which would also give 0).
TEST(SocketStreamTest, ShutdownEndsABlockedRead) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  constexpr int kReadLimitMs = 60000;
  std::atomic<bool> entering{false};
  std::atomic<int> result{-1};
  std::atomic<long> took{0};
  std::thread reader([&] {
    TWinSocketStream stream(*c.Server, kReadLimitMs);
    char buf[64];
    entering = true;
    const auto start = Clock::now();
    result = stream.Read(buf, sizeof buf);
    took = MsSince(start);
  });
  while (!entering) std::this_thread::yield();
  c.Server->ShutdownConnection();
  reader.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(took, kReadLimitMs);
  c.Server->CloseConnection();
  EXPECT_FALSE(c.Server->IsConnected());
}

// --- sends ---

TEST(SocketSendTest, SendStringSendsTheWholeText) {
  const std::string big = Pattern(300000);
  const std::string texts[] = {"", "hello", big};
  for (const std::string& text : texts) {
    SCOPED_TRACE(testing::Message() << text.size() << " bytes");
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    std::string got;
    std::thread reader([&] { got = ReadToEnd(c.Client); });
    EXPECT_EQ(c.Server->SendString(text), static_cast<int>(text.size()));
    EXPECT_TRUE(c.Server->IsConnected());
    c.Server->CloseConnection();
    reader.join();
    EXPECT_TRUE(got == text) << got.size() << " bytes arrived";
  }
}

TEST(SocketSendTest, SendStringOnClosedSocketDoesNothing) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  c.Server->CloseConnection();
  EXPECT_EQ(c.Server->SendString("too late"), 0);
  EXPECT_EQ(c.Server->SendBytes("x", 1), 0);
  EXPECT_EQ(ReadToEnd(c.Client), "");
}

// A send to a peer that reset the connection closes the socket, then
// raises, unless the error hook clears the code.
TEST(SocketSendTest, FailedSendClosesThenRaises) {
  struct Case {
    const char* Name;
    bool ClearCode;
  };
  const Case cases[] = {{"raises", false}, {"hook clears the code", true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    ASSERT_NO_FATAL_FAILURE(ResetFromClient(c));
    int reported = 0, reportedCode = 0;
    bool openWhenReported = false;
    TErrorEvent reportedEvent = ekGeneral;
    c.Server->SetErrorHandler([&](TCustomWinSocket& sender, TErrorEvent event, int& code) {
      ++reported;
      reportedEvent = event;
      reportedCode = code;
      openWhenReported = sender.IsConnected();
      if (k.ClearCode) code = 0;
    });
    bool raised = false;
    int result = 0;
    try {
      result = c.Server->SendString("answer");
    } catch (const ESocketError& e) {
      raised = true;
      EXPECT_FALSE(c.Server->IsConnected());
      EXPECT_TRUE(reportedCode == ECONNRESET || reportedCode == EPIPE) << reportedCode;
      EXPECT_EQ(e.message(), ApiErrorText("send", reportedCode));
    }
    EXPECT_EQ(raised, !k.ClearCode);
    if (k.ClearCode) {
      EXPECT_EQ(result, -1);
    }
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(reportedEvent, ekSend);
    EXPECT_TRUE(openWhenReported);
    EXPECT_FALSE(c.Server->IsConnected());
    EXPECT_EQ(c.Server->SockHandle(), -1);
    EXPECT_EQ(c.Server->SendString("again"), 0);
  }
}

// A close from another thread must take effect on a send that holds the
// socket's lock and waits for a peer that does not read.
TEST(SocketSendTest, ShutdownEndsABlockedSend) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  const std::string flood(32 * 1024 * 1024, 'x');
  std::string error;
  std::thread sender([&] {
    try {
      c.Server->SendString(flood);
    } catch (const ESocketError& e) {
      error = e.message();
    }
  });
  // Wait until the data is under way; 32 MB cannot fit into the buffers.
  const auto start = Clock::now();
  int queued = 0;
  while (queued < 65536 && MsSince(start) < 10000) {
    pollfd p{c.Client, POLLIN, 0};
    poll(&p, 1, 10);
    ioctl(c.Client, FIONREAD, &queued);
  }
  ASSERT_GE(queued, 65536);
  c.Server->ShutdownConnection();
  c.Server->CloseConnection();  // waits for the send to let go of the lock
  sender.join();
  EXPECT_EQ(error, ApiErrorText("send", EPIPE));
  EXPECT_FALSE(c.Server->IsConnected());
}

// --- TransmitStream ---

struct StreamLog {
  std::vector<int> Asked;
  std::vector<int> Got;
  bool Freed = false;
};

// A memory stream that records its reads and its end.
class TLoggedStream : public TStringStream {
 public:
  TLoggedStream(std::string data, StreamLog& log) : TStringStream(std::move(data)), Log(log) {}
  ~TLoggedStream() override { Log.Freed = true; }
  int Read(void* buffer, int count) override {
    int n = TStringStream::Read(buffer, count);
    Log.Asked.push_back(count);
    Log.Got.push_back(n);
    return n;
  }

 private:
  StreamLog& Log;
};

TEST(TransmitStreamTest, SendsFromPositionInPiecesAndFreesTheStream) {
  struct Case {
    size_t Size;
    int64_t Position;
    std::vector<int> Pieces;
  };
  const Case cases[] = {
      {10000, 0, {4096, 4096, 1808}},
      {300, 100, {200}},
      {4096, 0, {4096}},
      {0, 0, {0}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.Size << " bytes from " << k.Position);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    const std::string data = Pattern(k.Size);
    StreamLog log;
    std::unique_ptr<TStream> stream = std::make_unique<TLoggedStream>(data, log);
    stream->SetPosition(k.Position);
    EXPECT_EQ(c.Server->TransmitStream(stream), TTransmitResult::Sent);
    EXPECT_EQ(stream, nullptr);
    EXPECT_TRUE(log.Freed);
    EXPECT_FALSE(c.Server->HasPendingStream());
    EXPECT_EQ(log.Got, k.Pieces);
    for (int asked : log.Asked) EXPECT_EQ(asked, 4096);
    EXPECT_TRUE(c.Server->IsConnected());
    c.Server->CloseConnection();
    EXPECT_TRUE(ReadToEnd(c.Client) == data.substr(static_cast<size_t>(k.Position)));
  }
}

TEST(TransmitStreamTest, ClosedSocketKeepsTheStreamPendingAndRefusesAnother) {
  StreamLog first, second;
  {
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    c.Server->CloseConnection();
    std::unique_ptr<TStream> pending = std::make_unique<TLoggedStream>("pending", first);
    EXPECT_EQ(c.Server->TransmitStream(pending), TTransmitResult::Pending);
    EXPECT_EQ(pending, nullptr);
    EXPECT_FALSE(first.Freed);
    EXPECT_TRUE(c.Server->HasPendingStream());
    EXPECT_TRUE(first.Got.empty());

    std::unique_ptr<TStream> refused = std::make_unique<TLoggedStream>("refused", second);
    EXPECT_EQ(c.Server->TransmitStream(refused), TTransmitResult::NotTaken);
    ASSERT_NE(refused, nullptr);  // still the caller's
    EXPECT_FALSE(second.Freed);
    EXPECT_TRUE(second.Got.empty());
    refused.reset();
    EXPECT_TRUE(second.Freed);

    // A further close of the closed socket does not free it either.
    c.Server->CloseConnection();
    EXPECT_FALSE(first.Freed);
  }
  // The socket object takes it along when it goes.
  EXPECT_TRUE(first.Freed);
}

// A regular file goes out without being read into the buffer: its Read is
// never called, and every byte from its position arrives, also when the
// file shrinks while it is sent.
class TCountedFileStream : public TFileStream {
 public:
  TCountedFileStream(const std::string& name, int& reads) : TFileStream(name), Reads(reads) {}
  int Read(void* buffer, int count) override {
    ++Reads;
    return TFileStream::Read(buffer, count);
  }

 private:
  int& Reads;
};

TEST(TransmitStreamTest, RegularFileGoesOutWithoutTheBuffer) {
  struct Case {
    size_t Size;
    int64_t Position;
    size_t CutTo;  // the file is cut to this size after opening (Size: not cut)
  };
  const Case cases[] = {{10000, 0, 10000}, {300, 100, 300}, {4096, 0, 4096}, {0, 0, 0}, {9000, 0, 5000}};
  char dir[] = "/tmp/korimo-sendfile-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string name = std::string(dir) + "/f.bin";
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.Size << " bytes from " << k.Position << ", cut to " << k.CutTo);
    const std::string data = Pattern(k.Size);
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    Connection c;
    ASSERT_NO_FATAL_FAILURE(Connect(c));
    int reads = 0;
    std::unique_ptr<TStream> stream = std::make_unique<TCountedFileStream>(name, reads);
    stream->SetPosition(k.Position);
    ASSERT_EQ(truncate(name.c_str(), static_cast<off_t>(k.CutTo)), 0);
    EXPECT_EQ(c.Server->TransmitStream(stream), TTransmitResult::Sent);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(reads, 0);
    c.Server->CloseConnection();
    EXPECT_EQ(ReadToEnd(c.Client), data.substr(static_cast<size_t>(k.Position), k.CutTo - k.Position));
  }
  unlink(name.c_str());
  rmdir(dir);
}

TEST(TransmitStreamTest, FailedSendClosesAndFreesWithoutRaising) {
  StreamLog later;  // outlives the socket, which frees the pending stream
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  ASSERT_NO_FATAL_FAILURE(ResetFromClient(c));
  int reported = 0;
  c.Server->SetErrorHandler([&](TCustomWinSocket&, TErrorEvent event, int&) {
    EXPECT_EQ(event, ekSend);
    ++reported;
  });
  StreamLog log;
  TTransmitResult result = TTransmitResult::NotTaken;
  std::unique_ptr<TStream> stream = std::make_unique<TLoggedStream>(Pattern(10000), log);
  EXPECT_NO_THROW(result = c.Server->TransmitStream(stream));
  EXPECT_EQ(result, TTransmitResult::Sent);
  EXPECT_TRUE(log.Freed);
  EXPECT_EQ(reported, 1);
  EXPECT_FALSE(c.Server->IsConnected());
  EXPECT_FALSE(c.Server->HasPendingStream());
  // Later streams on the closed socket stay pending, as on any closed socket.
  std::unique_ptr<TStream> next = std::make_unique<TLoggedStream>("x", later);
  EXPECT_EQ(c.Server->TransmitStream(next), TTransmitResult::Pending);
  EXPECT_FALSE(later.Freed);
}

// --- addresses, closing, listening ---

TEST(SocketTest, PeerAddressIsDottedIpv4WithoutPort) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  EXPECT_EQ(c.Server->PeerAddress(), "127.0.0.1");
  c.Server->CloseConnection();
  EXPECT_EQ(c.Server->PeerAddress(), "");
}

TEST(SocketTest, CloseIgnoresForeignHandlesAndSecondCloses) {
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(c));
  std::vector<TSocketNotifyKind> notes;
  c.Server->SetNotifyHandler([&](TCustomWinSocket&, TSocketNotifyKind kind) { notes.push_back(kind); });
  const int own = c.Server->SockHandle();

  c.Server->CloseSocketHandle(c.Client);  // not its handle
  c.Server->CloseSocketHandle(-1);
  EXPECT_TRUE(c.Server->IsConnected());
  EXPECT_EQ(c.Server->SockHandle(), own);
  EXPECT_TRUE(notes.empty());

  c.Server->CloseSocketHandle(own);
  EXPECT_FALSE(c.Server->IsConnected());
  EXPECT_EQ(c.Server->SockHandle(), -1);
  EXPECT_EQ(notes, std::vector<TSocketNotifyKind>{snDisconnect});

  EXPECT_NO_THROW(c.Server->CloseSocketHandle(own));
  EXPECT_NO_THROW(c.Server->CloseConnection());
  EXPECT_EQ(notes.size(), 1u);
  EXPECT_EQ(ReadToEnd(c.Client), "");  // the peer sees the close
}

TEST(SocketTest, ListeningSocketOpensAndRefusesASecondListen) {
  TCustomWinSocket listener;
  EXPECT_FALSE(listener.IsConnected());
  std::vector<TSocketNotifyKind> notes;
  listener.SetNotifyHandler([&](TCustomWinSocket&, TSocketNotifyKind kind) { notes.push_back(kind); });
  listener.StartListening("", "127.0.0.1", "", 0, 10, true);
  ASSERT_TRUE(listener.IsConnected());
  EXPECT_EQ(notes, (std::vector<TSocketNotifyKind>{snLookup, snListen}));
  const int handle = listener.SockHandle();
  const uint16_t port = LocalPort(handle);

  try {
    listener.StartListening("", "127.0.0.1", "", 0, 5, true);
    FAIL() << "a second listen was accepted";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.message(), kCannotListenOnOpen);
  }
  EXPECT_TRUE(listener.IsConnected());
  EXPECT_EQ(listener.SockHandle(), handle);
  EXPECT_EQ(LocalPort(handle), port);
  // Still listening: a client gets in.
  int client = ConnectLoopback(port);
  EXPECT_GE(client, 0);
  if (client >= 0) close(client);
}

TEST(SocketTest, UnlistedServiceNameOverridesThePort) {
  // The port given is taken; were the service name ignored, bind would fail.
  int held = ListenLoopback();
  ASSERT_GE(held, 0);
  TCustomWinSocket listener;
  EXPECT_NO_THROW(listener.StartListening("", "127.0.0.1", "korimo-no-such-service", LocalPort(held), 5, true));
  EXPECT_TRUE(listener.IsConnected());
  EXPECT_NE(LocalPort(listener.SockHandle()), LocalPort(held));
  close(held);
}

TEST(SocketTest, ListenOnHeldPortRaisesBindAndStaysClosed) {
  int held = ListenLoopback();
  ASSERT_GE(held, 0);
  TCustomWinSocket listener;
  try {
    listener.StartListening("", "127.0.0.1", "", LocalPort(held), 5, true);
    FAIL() << "listening on a held port succeeded";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.message(), ApiErrorText("bind", EADDRINUSE));
  }
  EXPECT_FALSE(listener.IsConnected());
  EXPECT_EQ(listener.SockHandle(), -1);
  close(held);
}

}  // namespace
}  // namespace korimo
