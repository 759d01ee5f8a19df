// What the request path needs of a connection: a wait and a read with
// limits, sending a text or a stream, the peer's address, and the clock the
// limits are measured on. The service runs the same over an accepted
// socket (TSocketConnection) and over a script in memory (tests, the
// fuzzer), which needs no socket, no listener and no thread.
//
// Thread contract: a connection is used by one worker at a time; the main
// thread asks only for PeerAddress, while that worker waits in a hand-off.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "net/ServerSocket.h"
#include "net/Stream.h"
#include "net/WinSocket.h"

namespace korimo {

class TConnection {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~TConnection() = default;

  virtual bool Connected() = 0;
  // True when data, the peer's close or a failure is there within `ms`.
  virtual bool WaitReadable(int ms) = 0;
  // Up to `count` bytes: 1..count when data came, 0 at the peer's orderly
  // close or at the read limit. Raises ESocketError when the read fails (a
  // reset) or cannot be started.
  virtual int Read(char* buffer, int count) = 0;
  // WaitReadable(ms), then Read: 1..count when data came, 0 at the peer's
  // orderly close, -1 when nothing came within `ms`. A socket does it
  // without a wait when the bytes are already there.
  virtual int ReadWithin(char* buffer, int count, int ms) {
    if (!WaitReadable(ms)) return -1;
    return Read(buffer, count);
  }
  // The whole text with one send. On failure the connection is closed, then
  // ESocketError is raised; on a closed connection nothing happens.
  virtual void SendString(const std::string& text) = 0;
  // As TCustomWinSocket::TransmitStream.
  virtual TTransmitResult TransmitStream(std::unique_ptr<TStream>& stream) = 0;
  // The peer's dotted IPv4 address; empty once closed.
  virtual std::string PeerAddress() = 0;
  // As TCustomWinSocket::DrainBeforeClose.
  virtual void DrainBeforeClose(int maxMs, int maxBytes) = 0;
  virtual Clock::time_point Now() = 0;
};

// An accepted connection, read through the socket stream.
class TSocketConnection : public TConnection {
 public:
  // Raises ESocketError when the socket stream cannot be made.
  explicit TSocketConnection(TServerClientWinSocket& socket);

  bool Connected() override { return Socket.IsConnected(); }
  bool WaitReadable(int ms) override { return Stream.WaitReadable(ms); }
  int Read(char* buffer, int count) override { return Stream.Read(buffer, count); }
  int ReadWithin(char* buffer, int count, int ms) override { return Stream.ReadWithin(buffer, count, ms); }
  void SendString(const std::string& text) override { Socket.SendString(text); }
  TTransmitResult TransmitStream(std::unique_ptr<TStream>& stream) override { return Socket.TransmitStream(stream); }
  std::string PeerAddress() override { return Socket.PeerAddress(); }
  void DrainBeforeClose(int maxMs, int maxBytes) override { Socket.DrainBeforeClose(maxMs, maxBytes); }
  Clock::time_point Now() override { return Clock::now(); }

 private:
  TServerClientWinSocket& Socket;
  TWinSocketStream Stream;
};

}  // namespace korimo
