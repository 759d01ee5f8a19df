// One TCP socket as an object, timed reads on a connection, and the socket
// errors with their messages.
//
// Thread contract: every operation of a TCustomWinSocket that touches the
// handle runs under the socket's own recursive lock (SocketLock): sends,
// the whole send loop of TransmitStream, PeerAddress, CloseSocketHandle and
// each socket stream read. WaitReadable takes no lock. ShutdownConnection
// does not take it either: it lets another thread break a send or read that
// holds the lock, so that a close from the main thread takes effect. The
// handle itself changes only under HandleLock, a short lock that the close
// and the shutdown both take, so a shutdown never reaches a descriptor
// number that a close has already given back to the system.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/Stream.h"
#include "base/Sync.h"
#include "base/SysUtils.h"

namespace korimo {

class ESocketError : public Exception {
 public:
  explicit ESocketError(std::string message, int code = 0) : Exception(std::move(message)), Code(code) {}
  // The platform's error number behind it; 0 when none (a state error).
  int ErrorCode() const { return Code; }
  // True when the error says the peer has gone: it reset or closed the
  // connection, or stopped taking data for the whole send limit.
  bool PeerGone() const;

 private:
  int Code;
};

// Message texts, as Shift-JIS.
namespace SocketMessages {
// "'%2:s' API でWindows ソケットエラー: %0:s (%1:d)"
std::string ApiError(const std::string& errorText, int code, const std::string& api);
// "開かれているソケットを Listen 状態にはできません"
const std::string& CannotListenOnOpen();
// "新しいソケットを作成できません"
const std::string& CannotCreateSocket();
// "ソケットはブロックモーでなければなりません"
const std::string& SocketMustBeBlocking();
// "%s エラー %d, %s" with "Read" or "Write"
std::string ReadWriteError(const std::string& word, int code, const std::string& errorText);
}  // namespace SocketMessages

enum TSocketNotifyKind { snLookup, snConnecting, snConnect, snDisconnect, snListen, snAccept, snWrite, snRead };
enum TErrorEvent { ekGeneral, ekSend, ekReceive, ekConnect, ekDisconnect, ekAccept };

// Readiness notifications asked for in message-driven use; empty means
// plain blocking use, the only use here.
enum : uint8_t { nsRead = 1, nsWrite = 2, nsOOB = 4, nsAccept = 8, nsConnect = 16, nsClose = 32 };

// What became of a stream handed to TransmitStream.
enum class TTransmitResult {
  NotTaken,  // another stream is pending: the caller keeps this one
  Pending,   // taken, but the socket is closed: it waits until the socket goes
  Sent,      // taken, and sent to its end or given up on a failed send; freed
};

class TCustomWinSocket;
using TSocketNotifyEvent = std::function<void(TCustomWinSocket& sender, TSocketNotifyKind kind)>;
using TSocketErrorEvent = std::function<void(TCustomWinSocket& sender, TErrorEvent event, int& code)>;

// Raises ESocketError (ApiError) for a failed call's errno, unless it is
// would-block. Returns 0 for success, the errno otherwise.
int CheckSocketCall(int resultCode, const char* apiName);

class TCustomWinSocket {
 public:
  // Wraps `handle` (-1 for none). A valid handle is open from birth.
  explicit TCustomWinSocket(int handle = -1);
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;
  virtual ~TCustomWinSocket();

  // Opens a listening socket: bound to every local address (or the given
  // host/address/service) at `port`, with a queue of min(backlog, 5).
  void StartListening(const std::string& hostName, const std::string& addressText,
                      const std::string& service, int port, int backlog, bool blocking);

  virtual void HandleAccept(int /*handle*/) {}
  // Closes the socket if `handle` is its own; frees a pending stream.
  virtual void CloseSocketHandle(int handle);
  void CloseConnection() { CloseSocketHandle(SockHandle()); }
  // Shuts the connection down in both directions without taking the lock,
  // so that a send or read blocked on it returns. The handle stays open.
  void ShutdownConnection();
  // Ends the sending side, then reads and discards what the peer still
  // sends, until it closes, `maxBytes` have come or `maxMs` have passed.
  // Closing a connection with unread bytes makes the system answer them
  // with a reset, and a reset can make the peer drop a response it had
  // already received; after this the close is clean.
  void DrainBeforeClose(int maxMs, int maxBytes);

  // Sends and file pieces fail when they make no progress for `ms`
  // milliseconds (0: no limit). Raises ESocketError ("setsockopt").
  void SetSendTimeout(int ms);

  // One send of `count` bytes. On failure the socket is closed, then
  // ESocketError ("send") is raised. A send that makes no progress within
  // the send limit is such a failure (ETIMEDOUT). On a closed socket: 0,
  // nothing raised.
  int SendBytes(const void* data, int count);
  int SendString(const std::string& text);
  // Takes over `stream` (it is moved from unless NotTaken) and sends it from
  // its position in 4096-byte pieces. A failed send (the send limit
  // included) closes the connection and frees the stream: Sent all the same.
  TTransmitResult TransmitStream(std::unique_ptr<TStream>& stream);

  // The peer's dotted IPv4 address; empty on a closed socket. Raises
  // ESocketError ("getpeername") on failure.
  std::string PeerAddress();

  void EnterSocketLock() KORIMO_ACQUIRE(SocketLock) { SocketLock.Enter(); }
  void LeaveSocketLock() KORIMO_RELEASE(SocketLock) { SocketLock.Leave(); }

  int SockHandle() const { return Handle.load(std::memory_order_acquire); }
  bool IsConnected() const { return Connected.load(std::memory_order_acquire); }
  uint8_t NotifyStyles() const { return Styles; }
  void SetNotifyStyles(uint8_t styles);

  void SetNotifyHandler(TSocketNotifyEvent handler) { NotifyHandler = std::move(handler); }
  void SetErrorHandler(TSocketErrorEvent handler) { ErrorHandler = std::move(handler); }
  bool HasPendingStream();
  TCriticalSection& SocketLockRef() KORIMO_RETURN_CAPABILITY(SocketLock) { return SocketLock; }

 protected:
  friend class TWinSocketStream;
  // Told by a socket stream after each read that brought data, without
  // the socket's lock held.
  virtual void NoteReceived() {}
  virtual void NotifyOwner(TSocketNotifyKind kind);
  virtual void ReportError(TErrorEvent event, int& code);
  void ApplyNotifyStyles();
  // The handle is known to be in blocking mode (accept4 without
  // SOCK_NONBLOCK hands out such sockets): message-driven styles off,
  // without asking the system.
  void AdoptBlockingHandle() { Styles = 0; }

  TCriticalSection SocketLock;

 private:
  void FreePendingStream() KORIMO_REQUIRES(SocketLock);

  // Gives the handle up: closes it under HandleLock. The number is gone
  // after this whatever close reports (Linux frees it even on failure).
  // Returns 0 or the errno of the failed close.
  int ReleaseHandle() KORIMO_EXCLUDES(HandleLock);

  TMutex HandleLock;  // held only for the close or shutdown call itself
  std::atomic<int> Handle;
  std::atomic<bool> Connected;
  uint8_t Styles = nsRead | nsWrite | nsConnect | nsClose;
  std::unique_ptr<TStream> PendingStream KORIMO_GUARDED_BY(SocketLock);
  TSocketNotifyEvent NotifyHandler;
  TSocketErrorEvent ErrorHandler;
};

// Holds a socket's own lock for a scope, through EnterSocketLock and
// LeaveSocketLock.
class KORIMO_TSA(scoped_lockable) TSocketLockScope {
 public:
  explicit TSocketLockScope(TCustomWinSocket& s) KORIMO_ACQUIRE(s.SocketLockRef()) : S(s) { S.EnterSocketLock(); }
  ~TSocketLockScope() KORIMO_RELEASE() { S.LeaveSocketLock(); }
  TSocketLockScope(const TSocketLockScope&) = delete;
  TSocketLockScope& operator=(const TSocketLockScope&) = delete;

 private:
  TCustomWinSocket& S;
};

// Timed reads on one connected socket in blocking use. Not owning.
class TWinSocketStream {
 public:
  // Raises ESocketError (SocketMustBeBlocking) unless the socket is in
  // plain blocking use.
  TWinSocketStream(TCustomWinSocket& socket, int timeoutMs);

  // True when data is waiting or the peer has closed or failed within
  // timeoutMs; false at the time limit or on failure. Takes no lock.
  bool WaitReadable(int timeoutMs);
  // Up to `count` bytes: 1..count when data came, 0 at the peer's orderly
  // close or when nothing came within IoTimeout. No byte is lost at the time
  // limit. Raises ESocketError ("Read") when the read cannot be started (a
  // closed socket) or fails (a reset): that is no end of a request.
  int Read(void* buffer, int count);
  // WaitReadable(timeoutMs) and Read in one: reads at once when data or the
  // peer's close is already there (no wait, no poll), else waits for it.
  // 1..count when data came, 0 at the peer's orderly close, -1 when nothing
  // came within timeoutMs. Raises as Read. The wait takes no lock.
  int ReadWithin(void* buffer, int count, int timeoutMs);
  int Write(const void* buffer, int count);
  int Seek(int64_t, int) { return 0; }
  int IoTimeout() const { return Timeout; }

 private:
  TCustomWinSocket& StreamSocket;
  const int Timeout;
};

}  // namespace korimo
