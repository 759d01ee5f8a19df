#include "web/Connection.h"

#include "base/Limits.h"

namespace korimo {

TSocketConnection::TSocketConnection(TServerClientWinSocket& socket) : Socket(socket), Stream(socket, kIoTimeoutMs) {}

}  // namespace korimo
