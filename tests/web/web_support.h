// The chat service without the operator window: a chat host over a plain
// chat log, and a worker whose serving can be driven from the test's own
// thread. Shared by the service's tests and the fuzz targets.
#pragma once

#include <string>

#include "chat/ChatLog.h"
#include "net/Limits.h"
#include "net/net_support.h"
#include "web/WWWThread.h"

namespace korimo::testing_support {

class MemoryChatHost : public TChatHost {
 public:
  explicit MemoryChatHost(ChatLog::Clock clock = nullptr) : Log(std::move(clock)) {}
  ChatLines ChatSnapshot() override { return Log.Snapshot(); }
  std::string RefreshText() override { return "5"; }
  void AddChatLine(const std::string& line) override { Log.AddChatLine(line); }
  ChatLog Log;
};

// Never started: the test calls Serve() (or the branches) itself.
class TestWorker : public TWWWThread {
 public:
  TestWorker(TServerClientWinSocket* c, TChatHost& host, int readLimitMs = kMaxRequestReadMs)
      : TWWWThread(true, c, host) {
    RequestReadLimitMs = readLimitMs;
  }
  void Serve() { ServeConnection(); }
};

}  // namespace korimo::testing_support
