// The chat service without a socket, a listener or a thread: a chat host
// over a plain chat log, and a connection that plays a client's script on a
// clock of its own. Shared by the service's tests and the fuzz target.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "base/Limits.h"
#include "base/SysUtils.h"
#include "chat/ChatLog.h"
#include "web/ChatService.h"
#include "web/Connection.h"

namespace korimo::testing_support {

class MemoryChatHost : public TChatHost {
 public:
  explicit MemoryChatHost(ChatLog::Clock clock = nullptr) : Log(std::move(clock)) {}
  ChatLines ChatSnapshot() override { return Log.Snapshot(); }
  std::string RefreshText() override { return "5"; }
  void AddChatLine(const std::string& line) override { Log.AddChatLine(line); }
  ChatLog Log;
};

// A client's side of a connection as a script of events on a clock that
// only the connection moves: a wait for data jumps to the next event (or
// to the end of the wait), so pauses of seconds take no time. What the
// server sends is kept; its sends can be made to fail.
class MemoryConnection : public TConnection {
 public:
  // The client's doings, at `atMs` milliseconds from the start (in order).
  MemoryConnection& Send(int atMs, std::string bytes) { return Add(atMs, Kind::kData, std::move(bytes)); }
  MemoryConnection& CloseSending(int atMs) { return Add(atMs, Kind::kClose, {}); }
  MemoryConnection& Reset(int atMs) { return Add(atMs, Kind::kReset, {}); }
  // The server's sends fail with `code` once `afterBytes` have gone out (a
  // reset: ECONNRESET; a client that stopped reading: ETIMEDOUT).
  void FailSendsAfter(size_t afterBytes, int code) {
    FailAt = afterBytes;
    FailCode = code;
  }
  void SetPeer(std::string address) { Peer = std::move(address); }

  // What the server sent, and what became of the connection.
  std::string Sent;
  int SendCalls = 0;
  bool Drained = false;
  bool Closed = false;
  long NowMs = 0;

  bool Connected() override { return !Closed; }
  bool WaitReadable(int ms) override {
    if (Closed) return false;
    if (!Ready.empty() || SendingClosed || (!Script.empty() && Script.front().AtMs <= NowMs)) return true;
    if (Script.empty() || Script.front().AtMs > NowMs + ms) {
      NowMs += ms;
      return false;
    }
    NowMs = Script.front().AtMs;
    return true;
  }
  int Read(char* buffer, int count) override {
    if (Closed) throw ESocketError("read on a closed connection", EBADF);
    while (Ready.empty() && !Script.empty() && Script.front().AtMs <= NowMs) {
      Event e = std::move(Script.front());
      Script.pop_front();
      if (e.What == Kind::kData) Ready += e.Bytes;
      if (e.What == Kind::kClose) SendingClosed = true;
      if (e.What == Kind::kReset) {
        Closed = true;
        throw ESocketError("Read error " + std::to_string(ECONNRESET), ECONNRESET);
      }
    }
    if (Ready.empty()) {
      if (!SendingClosed) NowMs += kIoTimeoutMs;  // nothing came within the read limit
      return 0;
    }
    const size_t n = std::min(Ready.size(), static_cast<size_t>(count));
    memcpy(buffer, Ready.data(), n);
    Ready.erase(0, n);
    return static_cast<int>(n);
  }
  void SendString(const std::string& text) override {
    if (Closed || text.empty()) return;
    ++SendCalls;
    Put(text.data(), text.size());
  }
  TTransmitResult TransmitStream(std::unique_ptr<TStream>& stream) override {
    if (Pending) return TTransmitResult::NotTaken;
    if (Closed) {
      Pending = std::move(stream);
      return TTransmitResult::Pending;
    }
    std::unique_ptr<TStream> s = std::move(stream);
    char piece[kStreamPieceSize];
    for (int n; !Closed && (n = s->Read(piece, sizeof piece)) > 0;) {
      try {
        Put(piece, static_cast<size_t>(n));
      } catch (const ESocketError&) {
        break;  // closed, and the stream goes with it
      }
    }
    return TTransmitResult::Sent;
  }
  std::string PeerAddress() override { return Closed ? std::string() : Peer; }
  void DrainBeforeClose(int, int) override { Drained = !Closed; }
  Clock::time_point Now() override { return Clock::time_point(std::chrono::milliseconds(NowMs)); }

 private:
  enum class Kind { kData, kClose, kReset };
  struct Event {
    long AtMs;
    Kind What;
    std::string Bytes;
  };
  MemoryConnection& Add(long atMs, Kind what, std::string bytes) {
    Script.push_back({atMs, what, std::move(bytes)});
    return *this;
  }
  // Appends as much as the failure point lets through; at that point the
  // connection closes, then the failure is raised, as a socket's send does.
  void Put(const char* data, size_t size) {
    if (Sent.size() + size > FailAt) {
      Sent.append(data, FailAt > Sent.size() ? FailAt - Sent.size() : 0);
      Closed = true;
      throw ESocketError("'send' failed: " + SysErrorMessage(FailCode), FailCode);
    }
    Sent.append(data, size);
  }

  std::deque<Event> Script;
  std::string Ready;
  bool SendingClosed = false;
  std::string Peer = "127.0.0.1";
  size_t FailAt = static_cast<size_t>(-1);
  int FailCode = 0;
  std::unique_ptr<TStream> Pending;
};

// The request path over a memory connection, with a stop flag of its own.
struct MemoryService {
  explicit MemoryService(MemoryChatHost& host, int readLimitMs = kMaxRequestReadMs)
      : Service(host, Conn, Command, Stop, readLimitMs) {}
  MemoryConnection Conn;
  TCommand Command;
  std::atomic<bool> Stop{false};
  TChatService Service;
};

}  // namespace korimo::testing_support
