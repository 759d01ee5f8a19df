// Binding a listener's address through a helper program, for a process
// that may not bind a privileged port itself.
//
// The helper is a separate, tiny program that holds the bind capability as
// a file capability; the process asking for the port holds none. It is run
// as
//     HELPER ADDRESS PORT
// (ADDRESS dotted IPv4, PORT decimal) with an AF_UNIX stream socket as its
// standard input, and no environment. It creates a TCP socket, sets
// SO_REUSEADDR as the listener does, binds it, and answers on that socket
// with one TBindReply, carrying the bound socket as SCM_RIGHTS when Error
// is 0. It runs no other code and listens on nothing.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace korimo {

// The helper's one message back.
struct TBindReply {
  int32_t Error;  // 0, or the errno of the helper's failed call
};

// The helper to ask when a bind is refused for want of privilege; empty
// (the default) for none. Set once at start-up, before any listener opens.
void SetBindHelper(std::string path);
const std::string& BindHelper();

// Asks `helper` for a TCP socket bound to `address`. Returns the socket
// (close-on-exec), or -1 with errno set: the helper's own error, or the
// error of running it (ENOENT for a missing helper, EPROTO when it ended
// without an answer).
int BindThroughHelper(const std::string& helper, const sockaddr_in& address);

// bind(2) for a listener's socket `fd`. When the system refuses the address
// with EACCES and a helper is set, the helper's socket takes fd's place
// (the same number, close-on-exec) and the result is 0. Otherwise bind's own
// result: -1 with the original errno, whatever the helper reported.
int BindListener(int fd, const sockaddr_in& address);

}  // namespace korimo
