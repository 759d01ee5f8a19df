// The chat service's request path for one connection: reading the request
// with its waits and limits, parsing it, dispatching it, answering with the
// chat view, the post form, a static file or an error page, posting, and
// the drain before the close. It runs against a TConnection, so the whole
// path is driven without a socket in tests and in the fuzzer.
//
// Thread contract: everything runs on the worker serving the connection,
// except PostChatMessage, which runs on the main thread while that worker
// waits in the hand-off. The host's snapshot and Refresh text are read from
// the worker through copies; the chat log changes only on the main thread.
#pragma once

#include <atomic>
#include <string>

#include "base/Limits.h"
#include "chat/ChatLog.h"
#include "web/Command.h"
#include "web/Connection.h"
#include "web/Posting.h"

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

class TChatService {
 public:
  // `command` is the worker's Command, which the service overwrites with the
  // request it parses; `stop` is the worker's stop flag.
  TChatService(TChatHost& host, TConnection& connection, TCommand& command, const std::atomic<bool>& stop,
               int requestReadLimitMs = kMaxRequestReadMs);

  // Reads one request, answers it, and drains what the client still sends.
  void Serve();
  // Parses `request` into the command and answers it.
  void AnswerRequest(const std::string& request);

  void SendStaticFile();
  void SendChatView();
  void SendPostForm();
  // Main thread: adds the post's line; returns the fields it read, which
  // the post form shows again.
  TPostFields PostChatMessage();
  void SendNotFoundPage();
  void SendNotFoundPage(const std::string& message);
  void SendNotImplementedPage();

 private:
  // The request text; empty when nothing came or reading failed.
  // `peerClosed` tells whether the client ended its sending side.
  std::string ReadRequest(bool& peerClosed);
  // Sends a whole text. A browser that has gone away (a closed tab, a
  // reload, a client that stopped reading) ends the connection quietly:
  // the connection is closed already and nothing more goes out. Any other
  // socket error is raised.
  void SendText(const std::string& text);
  bool Stopping() const;

  TChatHost& Host;
  TConnection& Conn;
  TCommand& Command;
  const std::atomic<bool>& Stop;
  const int ReadLimitMs;  // the whole reading of one request, from its first byte
};

}  // namespace korimo
