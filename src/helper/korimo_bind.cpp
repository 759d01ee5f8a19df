// korimo-bind: binds one TCP address for korimo and hands the socket back.
//
// Installed with the capability to bind privileged ports (a file
// capability), so that the operator window, which loads toolkit plugins
// from paths a user controls, never holds it. It takes no options, reads
// no files and no environment, loads nothing: it creates the socket, binds
// it and passes it over its standard input, an AF_UNIX socket from korimo
// (see src/net/BindHelper.h for the exchange). It never listens or accepts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/BindHelper.h"

namespace {

bool ParsePort(const char* text, uint16_t& port) {
  if (!*text) return false;
  long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

// Sends the reply, with `fd` attached when it is valid.
bool Answer(int error, int fd) {
  korimo::TBindReply reply{error};
  iovec iov{&reply, sizeof reply};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  ssize_t n;
  do {
    n = sendmsg(STDIN_FILENO, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof reply)) return true;
  int code = errno;
  fprintf(stderr, "korimo-bind: sendmsg: %s (%d)\n", strerror(code), code);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  uint16_t port = 0;
  if (argc != 3 || inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 || !ParsePort(argv[2], port)) {
    fprintf(stderr,
            "usage: korimo-bind ADDRESS PORT  (run by korimo, with a socket to answer on as standard input)\n");
    return 2;
  }
  address.sin_port = htons(port);
  int error = 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
  } else {
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  bool answered = Answer(error, fd);
  if (fd >= 0 && close(fd) != 0) answered = false;
  return answered && error == 0 ? 0 : 1;
}
