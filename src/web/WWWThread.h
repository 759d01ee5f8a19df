// The chat service's worker: serves each connection handed to it with the
// request path of TChatService, over the socket.
//
// Thread contract: a TWWWThread runs on its own thread. Command is written
// by that thread only, and read on the main thread only while the worker
// waits in RunOnMainThread (PostChatMessage).
#pragma once

#include "net/ServerSocket.h"
#include "web/ChatService.h"
#include "web/Command.h"

namespace korimo {

class TWWWThread : public TServerClientThread {
 public:
  // Starts at once unless createSuspended.
  TWWWThread(bool createSuspended, TClientSocketPtr clientSocket, TChatHost& host);

  // The request last parsed on this worker.
  TCommand Command;

 protected:
  void ServeConnection() override;

  // Longest time the reading of one request may take from its first byte.
  int RequestReadLimitMs;

 private:
  TChatHost& Host;
};

}  // namespace korimo
