// Waits and socket helpers shared by the connection server's tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

#include "loopback.h"
#include "net/Thread.h"

namespace korimo::testing_support {

// Serves hand-offs until done() holds; false when `ms` pass first. Wakes on
// every hand-off and at least every 5 ms to look at done().
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    MainThread::ServePending();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd p{MainThread::WakeFd(), POLLIN, 0};
    poll(&p, 1, 5);
  }
}

// Waits until a hand-off is queued, without serving it, and takes the
// wake-up away so that the next arrival can be seen as well.
inline bool AwaitQueuedHandOff(int ms = 10000) {
  pollfd p{MainThread::WakeFd(), POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  uint64_t count;
  return read(MainThread::WakeFd(), &count, sizeof count) == sizeof count;
}

inline uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A client connected to 127.0.0.1 at `port`, or -1.
inline int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Both ends of a TCP connection on loopback, {server, client}, or {-1, -1}.
// `clientReceiveBuffer` (bytes; 0 keeps the default) is set before the
// handshake, so that the window stays that small.
inline std::pair<int, int> LoopbackPair(int clientReceiveBuffer = 0) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (clientReceiveBuffer > 0) {
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &clientReceiveBuffer, sizeof clientReceiveBuffer);
  }
  int server = -1;
  if (listener >= 0 && client >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      listen(listener, 1) == 0 && getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
      connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  if (listener >= 0) close(listener);
  if (server < 0) {
    if (client >= 0) close(client);
    return {-1, -1};
  }
  return {server, client};
}

}  // namespace korimo::testing_support
