// The socket layer where the platform fails: a close that fails, a read on
// a connection that was reset, a send to a peer that stopped reading.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <memory>
#include <string>
#include <utility>

#include "base/Limits.h"
#include "net/WinSocket.h"
#include "net_support.h"

namespace korimo {
namespace {

using testing_support::LoopbackPair;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A close that fails must still give the number up: Linux has released it
// (or, with EBADF, never had it), and the number may soon belong to a new
// file, which no later close, shutdown or destructor of this object may
// touch.
TEST(SocketFaults, AFailedCloseGivesTheNumberUp) {
  auto [server, client] = LoopbackPair();
  int reused = -1;
  {
    TCustomWinSocket s(server);
    ASSERT_EQ(close(server), 0);  // behind the object's back: its close fails
    try {
      s.CloseConnection();
      ADD_FAILURE() << "the failed close was not reported";
    } catch (const ESocketError& e) {
      EXPECT_NE(e.message().find("'closesocket' API"), std::string::npos) << e.message();
      EXPECT_EQ(e.ErrorCode(), EBADF);
    }
    EXPECT_FALSE(s.IsConnected());
    EXPECT_EQ(s.SockHandle(), -1);

    // The number goes to a new file, as it would to the next one opened.
    int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(dup3(other, server, O_CLOEXEC), server);
    close(other);
    reused = server;
    s.CloseConnection();
    s.ShutdownConnection();
    EXPECT_EQ(s.SendString("x"), 0);
  }
  EXPECT_TRUE(IsOpen(reused));
  close(reused);
  close(client);
}

// A read ends a request in two ways only: data, or the peer's orderly
// close (0). A reset is a failure and says so.
TEST(SocketFaults, AReadOnAResetConnectionFails) {
  struct Case {
    const char* Name;
    bool Reset;
  };
  for (const Case& k : {Case{"orderly close: 0", false}, Case{"reset: error", true}}) {
    SCOPED_TRACE(k.Name);
    auto [server, client] = LoopbackPair();
    TCustomWinSocket s(server);
    s.SetNotifyStyles(0);
    TWinSocketStream stream(s, 5000);
    if (k.Reset) {
      linger l{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(client);
    ASSERT_TRUE(stream.WaitReadable(5000));
    char buf[64];
    if (k.Reset) {
      try {
        stream.Read(buf, sizeof buf);
        ADD_FAILURE() << "the reset read as an end";
      } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), ECONNRESET);
        EXPECT_TRUE(e.PeerGone());
      }
    } else {
      EXPECT_EQ(stream.Read(buf, sizeof buf), 0);
    }
  }
}

// A peer that takes nothing more: the send limit ends the send as a
// failure, named as a time-out, and the connection is closed first. A file
// being sent stops at the same limit and is freed.
TEST(SocketFaults, ASendWithoutProgressFailsAtTheSendLimit) {
  {
    auto [server, client] = LoopbackPair(4096);
    TCustomWinSocket s(server);
    s.SetNotifyStyles(0);
    s.SetSendTimeout(200);
    try {
      s.SendString(std::string(64 << 20, 'x'));
      ADD_FAILURE() << "64 MiB went to a peer that reads nothing";
    } catch (const ESocketError& e) {
      EXPECT_EQ(e.ErrorCode(), ETIMEDOUT);
      EXPECT_TRUE(e.PeerGone());
      EXPECT_NE(e.message().find("'send' API"), std::string::npos);
    }
    EXPECT_FALSE(s.IsConnected());
    close(client);
  }
  {
    auto [server, client] = LoopbackPair(4096);
    TCustomWinSocket s(server);
    s.SetNotifyStyles(0);
    s.SetSendTimeout(200);
    std::unique_ptr<TStream> big = std::make_unique<TStringStream>(std::string(64 << 20, 'y'));
    EXPECT_EQ(s.TransmitStream(big), TTransmitResult::Sent);
    EXPECT_FALSE(s.IsConnected());
    EXPECT_FALSE(s.HasPendingStream());
    close(client);
  }
}

// ... while a reader that is slow but keeps taking data gets all of it:
// every send makes progress within the limit.
TEST(SocketFaults, ASlowSteadyReaderIsServedWhole) {
  auto [server, client] = LoopbackPair(4096);
  TCustomWinSocket s(server);
  s.SetNotifyStyles(0);
  s.SetSendTimeout(2000);
  const size_t size = 4 << 20;
  size_t received = 0;
  std::thread reader([&, fd = client] {
    char buf[16384];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
      received += static_cast<size_t>(n);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a slow reader, by design
    }
  });
  std::unique_ptr<TStream> file = std::make_unique<TStringStream>(std::string(size, 'z'));
  EXPECT_EQ(s.TransmitStream(file), TTransmitResult::Sent);
  EXPECT_TRUE(s.IsConnected());
  s.CloseConnection();
  reader.join();
  EXPECT_EQ(received, size);
  close(client);
}

}  // namespace
}  // namespace korimo
