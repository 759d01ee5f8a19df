#include "net/BindHelper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace korimo {

namespace {

std::string& HelperPath() {
  static std::string path;
  return path;
}

// Closes on every way out; keeps errno as it was.
struct ScopedFd {
  int Fd;
  ~ScopedFd() {
    if (Fd < 0) return;
    int saved = errno;
    close(Fd);
    errno = saved;
  }
};

// Reads the reply and the descriptor it carries (or -1).
bool ReceiveReply(int fd, TBindReply& reply, int& passed) {
  passed = -1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  iovec iov{&reply, sizeof reply};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  for (cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr; c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int))) {
      memcpy(&passed, CMSG_DATA(c), sizeof passed);
    }
  }
  return n == static_cast<ssize_t>(sizeof reply);
}

}  // namespace

void SetBindHelper(std::string path) { HelperPath() = std::move(path); }

const std::string& BindHelper() { return HelperPath(); }

int BindThroughHelper(const std::string& helper, const sockaddr_in& address) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  ScopedFd ours{pair[0]};
  ScopedFd theirs{pair[1]};

  char addressText[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &address.sin_addr, addressText, sizeof addressText)) return -1;
  std::string portText = std::to_string(ntohs(address.sin_port));
  std::string program = helper;
  char* argv[] = {program.data(), addressText, portText.data(), nullptr};
  char* envp[] = {nullptr};

  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  rc = posix_spawn_file_actions_adddup2(&actions, theirs.Fd, STDIN_FILENO);
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  close(theirs.Fd);  // the helper's end: the read below ends when the helper does
  theirs.Fd = -1;

  TBindReply reply{0};
  int passed = -1;
  bool answered = ReceiveReply(ours.Fd, reply, passed);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (answered && reply.Error == 0 && passed >= 0) return passed;
  if (passed >= 0) close(passed);
  errno = !answered ? EPROTO : reply.Error != 0 ? reply.Error : EPROTO;
  return -1;
}

int BindListener(int fd, const sockaddr_in& address) {
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
  const int refused = errno;
  if (refused == EACCES && !BindHelper().empty()) {
    int bound = BindThroughHelper(BindHelper(), address);
    if (bound >= 0) {
      int replaced = dup3(bound, fd, O_CLOEXEC);
      close(bound);
      if (replaced == fd) return 0;
    }
  }
  errno = refused;
  return -1;
}

}  // namespace korimo
