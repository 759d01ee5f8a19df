#include "web/WWWThread.h"

#include <optional>

#include "web/ChatService.h"
#include "web/Connection.h"

namespace korimo {

TWWWThread::TWWWThread(bool createSuspended, TClientSocketPtr clientSocket, TChatHost& host)
    : TServerClientThread(createSuspended, std::move(clientSocket)), RequestReadLimitMs(kMaxRequestReadMs), Host(host) {
  StartUnlessSuspended();
}

void TWWWThread::ServeConnection() {
  TServerClientWinSocket* socket = ClientSocket();
  if (!socket || StopRequested.load(std::memory_order_acquire) || !socket->IsConnected()) return;
  std::optional<TSocketConnection> connection;
  try {
    connection.emplace(*socket);
  } catch (...) {
    return;  // no socket stream: nothing is read, nothing is sent
  }
  TChatService(Host, *connection, Command, StopRequested, RequestReadLimitMs).Serve();
}

}  // namespace korimo
