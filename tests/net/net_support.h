// Waits and socket helpers shared by the connection server's tests.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>

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

}  // namespace korimo::testing_support
