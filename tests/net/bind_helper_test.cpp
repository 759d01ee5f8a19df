// Binding through the helper: the real korimo-bind hands back a bound
// listener; every way it cannot leaves the caller's own bind error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "net/BindHelper.h"
#include "net/net_support.h"
#include "net/WinSocket.h"

namespace korimo {
namespace {

const std::string kHelper = KORIMO_BIND_HELPER;

using testing_support::Loopback;
using testing_support::LocalPort;

// A loopback listener on a port the system picks; the port in `port`.
int HoldFreePort(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(listen(fd, 1), 0);
  port = LocalPort(fd);
  return fd;
}

int UnprivilegedPortStart() {
  std::ifstream f("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int start = 1024;
  f >> start;
  return start;
}

// A free port below the unprivileged start, never 80; 0 when none is
// found. Needs the bind capability to probe.
int FreePrivilegedPort() {
  int start = UnprivilegedPortStart();
  if (start <= 1) return 0;
  int lowest = start > 300 ? start - 300 : 1;
  std::mt19937 pick(std::random_device{}());
  for (int i = 0; i < 100; ++i) {
    int port = lowest + static_cast<int>(pick() % static_cast<unsigned>(start - lowest));
    if (port == 80) continue;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

// Takes the bind capability out of this thread's effective set (where bind
// looks) for the scope; the permitted set keeps it, so it comes back.
class WithoutBindCapability {
 public:
  WithoutBindCapability() {
    Header.version = _LINUX_CAPABILITY_VERSION_3;
    Ok = syscall(SYS_capget, &Header, Saved) == 0;
    __user_cap_data_struct lowered[2] = {Saved[0], Saved[1]};
    lowered[CAP_TO_INDEX(CAP_NET_BIND_SERVICE)].effective &= ~CAP_TO_MASK(CAP_NET_BIND_SERVICE);
    Ok = Ok && syscall(SYS_capset, &Header, lowered) == 0;
  }
  ~WithoutBindCapability() {
    if (Ok) syscall(SYS_capset, &Header, Saved);
  }
  bool ok() const { return Ok; }

 private:
  __user_cap_header_struct Header{};
  __user_cap_data_struct Saved[2]{};
  bool Ok = false;
};

TEST(BindHelper, HandsBackABoundSocket) {
  int held;
  close(HoldFreePort(held));  // free a moment ago
  int fd = BindThroughHelper(kHelper, Loopback(held));
  ASSERT_GE(fd, 0) << strerror(errno);
  EXPECT_EQ(LocalPort(fd), held);
  int reuse = 0;
  socklen_t len = sizeof reuse;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len), 0);
  EXPECT_EQ(reuse, 1) << "the listener reopens over TIME_WAIT only with SO_REUSEADDR";
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  // It is the caller's to listen on, and it works.
  ASSERT_EQ(listen(fd, 1), 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(held);
  EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(client);
  close(fd);
}

struct HelperFailure {
  const char* Name;
  std::string Helper;
  bool PortTaken;
  int Errno;  // what BindThroughHelper reports
};

void PrintTo(const HelperFailure& c, std::ostream* os) { *os << c.Name; }

class BindHelperFails : public ::testing::TestWithParam<HelperFailure> {};

TEST_P(BindHelperFails, ReportsWhy) {
  const HelperFailure& c = GetParam();
  int port;
  int holder = HoldFreePort(port);
  if (!c.PortTaken) close(holder);
  errno = 0;
  EXPECT_EQ(BindThroughHelper(c.Helper, Loopback(port)), -1);
  EXPECT_EQ(errno, c.Errno) << strerror(errno);
  if (c.PortTaken) close(holder);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BindHelperFails,
    ::testing::Values(HelperFailure{"Missing", "/nonexistent/korimo-bind", false, ENOENT},
                      HelperFailure{"EndsWithoutAnswer", "/bin/true", false, EPROTO},
                      HelperFailure{"PortInUse", kHelper, true, EADDRINUSE}),
    [](const ::testing::TestParamInfo<HelperFailure>& p) { return std::string(p.param.Name); });

// The listener's own bind is refused (EACCES, as for an ordinary user on a
// privileged port); the helper's socket then takes its place, or, when no
// helper can bind, the refusal stands.
struct RefusedCase {
  const char* Name;
  std::string Helper;  // empty: none set
  bool HandedBack;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.Name; }

class RefusedBind : public ::testing::TestWithParam<RefusedCase> {
 protected:
  void TearDown() override { SetBindHelper(""); }
};

TEST_P(RefusedBind, AsksTheHelper) {
  const RefusedCase& c = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the helper here holds no file capability";
  int port = FreePrivilegedPort();
  if (port == 0) GTEST_SKIP() << "no free privileged port";
  SetBindHelper(c.Helper);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a = Loopback(port);
  int result, code;
  {
    WithoutBindCapability lowered;
    ASSERT_TRUE(lowered.ok());
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool refused = bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EACCES;
    close(probe);
    ASSERT_TRUE(refused) << "the capability is still effective";
    errno = 0;
    result = BindListener(fd, a);
    code = errno;
  }
  if (c.HandedBack) {
    EXPECT_EQ(result, 0) << strerror(code);
    EXPECT_EQ(LocalPort(fd), port);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  } else {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(code, EACCES) << strerror(code);
    EXPECT_EQ(LocalPort(fd), 0);
  }
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedBind,
                         ::testing::Values(RefusedCase{"HelperBinds", kHelper, true},
                                           RefusedCase{"NoHelper", "", false},
                                           RefusedCase{"HelperMissing", "/nonexistent/korimo-bind", false},
                                           RefusedCase{"HelperFails", "/bin/false", false}),
                         [](const ::testing::TestParamInfo<RefusedCase>& p) { return std::string(p.param.Name); });

// Through the listener itself: StartListening on the refused port opens it.
TEST(BindHelper, ListenerOpensThroughIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the helper here holds no file capability";
  int port = FreePrivilegedPort();
  if (port == 0) GTEST_SKIP() << "no free privileged port";
  SetBindHelper(kHelper);
  TCustomWinSocket listener;
  {
    WithoutBindCapability lowered;
    ASSERT_TRUE(lowered.ok());
    listener.StartListening("", "127.0.0.1", "", port, 5, true);
  }
  SetBindHelper("");
  EXPECT_TRUE(listener.IsConnected());
  EXPECT_EQ(LocalPort(listener.SockHandle()), port);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(client);
}

}  // namespace
}  // namespace korimo
