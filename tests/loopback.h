// The loopback address, for every test that opens sockets (loopback only).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace korimo::testing_support {

// 127.0.0.1 at `port`.
inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace korimo::testing_support
