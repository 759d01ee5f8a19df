// The chat service's worker: reads one request from its connection, answers
// it with the chat view, the post form, a static file or an error page, and
// hands posted messages to the main thread.
//
// Thread contract: a TWWWThread runs on its own thread. Command is written
// by that thread only, and read on the main thread only while the worker
// waits in RunOnMainThread (PostChatMessage). The host's snapshot and
// Refresh text are read from the worker through copies; the chat log is
// changed only on the main thread.
#pragma once

#include <string>

#include "chat/ChatLog.h"
#include "net/ServerSocket.h"
#include "web/Command.h"

namespace korimo {

// What the service needs from the operator window.
class TChatHost {
 public:
  virtual ~TChatHost() = default;
  // Any thread: one consistent copy of the chat lines.
  virtual ChatLines ChatSnapshot() = 0;
  // Any thread: a copy of the Refresh field's current text.
  virtual std::string RefreshText() = 0;
  // Main thread only.
  virtual void AddChatLine(const std::string& line) = 0;
};

class TWWWThread : public TServerClientThread {
 public:
  // Starts at once unless createSuspended.
  TWWWThread(bool createSuspended, TServerClientWinSocket* clientSocket, TChatHost& host);

  // The request last parsed on this worker.
  TCommand Command;

  // Parses `request`, keeps it in Command, and answers on ClientSocket.
  // Separate from the reading so the whole request path can be driven
  // without a network.
  void AnswerRequest(const std::string& request);

  void SendStaticFile();
  void SendChatView();
  void SendPostForm();
  void PostChatMessage();  // main thread
  void SendNotFoundPage();
  void SendNotFoundPage(const std::string& message);
  void SendNotImplementedPage();

 protected:
  // Sends a whole text. A browser that has gone away (a closed tab, a
  // reload, a client that stopped reading) ends the connection quietly:
  // the socket is closed already and nothing more goes out. Any other
  // socket error is raised.
  void SendText(const std::string& text);

  void ServeConnection() override;

  // Longest time the reading of one request may take from its first byte.
  int RequestReadLimitMs;

 private:
  // Reads the request text; empty when nothing came or reading failed.
  // `peerClosed` tells whether the client ended its sending side.
  std::string ReadRequest(TServerClientWinSocket& socket, bool& peerClosed);

  TChatHost& Host;
};

}  // namespace korimo
