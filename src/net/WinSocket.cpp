#include "net/WinSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include "base/Limits.h"
#include "net/BindHelper.h"

namespace korimo {

// --- messages ---

namespace SocketMessages {

std::string ApiError(const std::string& errorText, int code, const std::string& api) {
  static const std::string kMiddle = Sjis("' API でWindows ソケットエラー: ");
  return "'" + api + kMiddle + errorText + " (" + std::to_string(code) + ")";
}

const std::string& CannotListenOnOpen() {
  static const std::string k = Sjis("開かれているソケットを Listen 状態にはできません");
  return k;
}

const std::string& CannotCreateSocket() {
  static const std::string k = Sjis("新しいソケットを作成できません");
  return k;
}

const std::string& SocketMustBeBlocking() {
  static const std::string k = Sjis("ソケットはブロックモーでなければなりません");
  return k;
}

std::string ReadWriteError(const std::string& word, int code, const std::string& errorText) {
  static const std::string kError = Sjis(" エラー ");
  return word + kError + std::to_string(code) + ", " + errorText;
}

}  // namespace SocketMessages

int CheckSocketCall(int resultCode, const char* apiName) {
  if (resultCode == 0) return 0;
  int code = errno;
  if (code == EWOULDBLOCK || code == EAGAIN) return code;
  throw ESocketError(SocketMessages::ApiError(SysErrorMessage(code), code, apiName), code);
}

bool ESocketError::PeerGone() const {
  switch (Code) {
    case EPIPE:         // it closed, and we wrote on
    case ECONNRESET:    // it reset (a closed tab, a reload)
    case ECONNABORTED:
    case ENOTCONN:
    case ETIMEDOUT:     // it stopped reading for the whole send limit
    case EHOSTUNREACH:  // it left the network
      return true;
    default:
      return false;
  }
}

namespace {

// A would-block is one only on a socket in non-blocking mode. On a
// blocking socket EAGAIN is the send limit running out: a failure, not a
// would-block to retry.
bool WouldBlock(int fd, int code) {
  if (code != EAGAIN && code != EWOULDBLOCK) return false;
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK);
}

// ... and named as the time-out it is.
int SendFailureCode(int code) { return code == EAGAIN || code == EWOULDBLOCK ? ETIMEDOUT : code; }

}  // namespace

// --- TCustomWinSocket ---

TCustomWinSocket::TCustomWinSocket(int handle) : Handle(handle), Connected(handle >= 0) {}

TCustomWinSocket::~TCustomWinSocket() {
  NotifyHandler = nullptr;
  int fd = SockHandle();
  if (IsConnected() && fd >= 0) {
    try {
      TCustomWinSocket::CloseSocketHandle(fd);
    } catch (...) {
      // A close that fails while the object goes leaves nothing to report to.
    }
  }
  TSocketLockScope g(*this);
  PendingStream.reset();
}

void TCustomWinSocket::StartListening(const std::string& hostName, const std::string& addressText,
                                      const std::string& service, int port, int backlog,
                                      bool blocking) {
  if (IsConnected()) throw ESocketError(SocketMessages::CannotListenOnOpen());
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESocketError(SocketMessages::CannotCreateSocket());
  Handle.store(fd, std::memory_order_release);
  try {
    NotifyOwner(snLookup);
    if (!blocking) return;  // message-driven listening is not used
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!hostName.empty()) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      addrinfo* res = nullptr;
      addr.sin_addr.s_addr = 0;
      if (getaddrinfo(hostName.c_str(), nullptr, &hints, &res) == 0 && res) {
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
      }
      if (res) freeaddrinfo(res);
    } else if (!addressText.empty()) {
      addr.sin_addr.s_addr = inet_addr(addressText.c_str());
    }
    uint16_t p = static_cast<uint16_t>(port & 0xFFFF);
    if (!service.empty()) {
      servent* se = getservbyname(service.c_str(), "tcp");
      p = se ? ntohs(static_cast<uint16_t>(se->s_port)) : 0;
    }
    addr.sin_port = htons(p);
    // Reopening on the same port must work while old connections linger in
    // TIME_WAIT; a port held by a live listener still fails in bind.
    int one = 1;
    CheckSocketCall(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), "setsockopt");
    CheckSocketCall(BindListener(fd, addr), "bind");
    Styles = 0;
    ApplyNotifyStyles();
    NotifyOwner(snListen);
    CheckSocketCall(listen(fd, std::min(backlog, kMaxBacklog)), "listen");
    Connected.store(true, std::memory_order_release);
  } catch (...) {
    // Close through the object's own close (which goes by the handle).
    try {
      CloseSocketHandle(fd);
    } catch (...) {
    }
    Handle.store(-1);
    Connected.store(false);
    throw;
  }
}

void TCustomWinSocket::CloseSocketHandle(int handle) {
  TSocketLockScope g(*this);
  int fd = SockHandle();
  if (handle < 0 || handle != fd) return;
  NotifyOwner(snDisconnect);
  // The descriptor is given up whatever close says: keeping a number that
  // the system may already hand out again would let a later close or
  // shutdown hit somebody else's file.
  int code = ReleaseHandle();
  Connected.store(false, std::memory_order_release);
  FreePendingStream();
  if (code != 0) {
    errno = code;
    CheckSocketCall(-1, "closesocket");
  }
}

int TCustomWinSocket::ReleaseHandle() {
  MutexLock l(HandleLock);
  int fd = Handle.exchange(-1, std::memory_order_acq_rel);
  if (fd < 0) return 0;
  // EINTR: Linux has closed the descriptor all the same.
  if (close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

void TCustomWinSocket::ShutdownConnection() {
  MutexLock l(HandleLock);
  int fd = SockHandle();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void TCustomWinSocket::SetSendTimeout(int ms) {
  TSocketLockScope g(*this);
  int fd = SockHandle();
  if (fd < 0) return;
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  CheckSocketCall(setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), "setsockopt");
}

void TCustomWinSocket::DrainBeforeClose(int maxMs, int maxBytes) {
  TSocketLockScope g(*this);
  int fd = SockHandle();
  if (fd < 0 || !IsConnected()) return;
  if (shutdown(fd, SHUT_WR) != 0) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  char sink[kStreamPieceSize];
  int total = 0;
  while (total < maxBytes) {
    ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) {
      total += static_cast<int>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return;
  }
}

int TCustomWinSocket::SendBytes(const void* data, int count) {
  TSocketLockScope g(*this);
  if (!IsConnected() || count <= 0) return 0;
  int fd = SockHandle();
  const char* p = static_cast<const char*>(data);
  int left = count;
  while (left > 0) {
    ssize_t n = send(fd, p, static_cast<size_t>(left), MSG_NOSIGNAL);
    if (n >= 0) {
      p += n;
      left -= static_cast<int>(n);
      continue;
    }
    int code = errno;
    if (code == EINTR) continue;
    if (WouldBlock(fd, code)) return -1;
    code = SendFailureCode(code);
    ReportError(ekSend, code);
    CloseSocketHandle(fd);
    if (code != 0) throw ESocketError(SocketMessages::ApiError(SysErrorMessage(code), code, "send"), code);
    return -1;
  }
  return count;
}

int TCustomWinSocket::SendString(const std::string& text) {
  return SendBytes(text.data(), static_cast<int>(text.size()));
}

TTransmitResult TCustomWinSocket::TransmitStream(std::unique_ptr<TStream>& stream) {
  TSocketLockScope g(*this);
  if (PendingStream) return TTransmitResult::NotTaken;  // the caller keeps it
  PendingStream = std::move(stream);
  int fd = SockHandle();
  if (fd < 0 || !IsConnected()) return TTransmitResult::Pending;
  // A regular file goes out with sendfile, in the same pieces, without
  // passing through the buffer; other streams are read into it.
  int file = PendingStream->FileHandle();
  char buffer[kStreamPieceSize];
  for (;;) {
    const int64_t start = PendingStream->Position();
    int n;
    ssize_t sent;
    if (file >= 0) {
      const int64_t left = PendingStream->Size() - start;
      if (left <= 0) break;
      n = static_cast<int>(std::min<int64_t>(left, kStreamPieceSize));
      off_t offset = static_cast<off_t>(start);
      do {
        sent = sendfile(fd, file, &offset, static_cast<size_t>(n));
      } while (sent < 0 && errno == EINTR);
      if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
        file = -1;  // a file system that cannot: the buffer it is
        continue;
      }
      if (sent == 0) break;  // the file ended early: it shrank
    } else {
      n = PendingStream->Read(buffer, static_cast<int>(sizeof buffer));
      if (n <= 0) break;
      do {
        sent = send(fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
      } while (sent < 0 && errno == EINTR);
    }
    if (sent < 0) {
      int code = errno;
      if (WouldBlock(fd, code)) {
        PendingStream->SetPosition(start);
        return TTransmitResult::Pending;
      }
      code = SendFailureCode(code);
      ReportError(ekSend, code);
      CloseSocketHandle(fd);  // frees the stream too
      break;
    }
    PendingStream->SetPosition(start + sent);
    if (sent < n) continue;
    if (PendingStream->Position() >= PendingStream->Size()) break;
  }
  FreePendingStream();
  return TTransmitResult::Sent;
}

std::string TCustomWinSocket::PeerAddress() {
  TSocketLockScope g(*this);
  if (!IsConnected()) return "";
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  CheckSocketCall(getpeername(SockHandle(), reinterpret_cast<sockaddr*>(&addr), &len), "getpeername");
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

void TCustomWinSocket::SetNotifyStyles(uint8_t styles) {
  if (styles == Styles) return;
  Styles = styles;
  if (SockHandle() >= 0) ApplyNotifyStyles();
}

bool TCustomWinSocket::HasPendingStream() {
  TSocketLockScope g(*this);
  return PendingStream != nullptr;
}

void TCustomWinSocket::NotifyOwner(TSocketNotifyKind kind) {
  if (NotifyHandler) NotifyHandler(*this, kind);
}

void TCustomWinSocket::ReportError(TErrorEvent event, int& code) {
  if (ErrorHandler) ErrorHandler(*this, event, code);
}

void TCustomWinSocket::ApplyNotifyStyles() {
  if (Styles != 0) return;  // message-driven use is not supported
  int fd = SockHandle();
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

void TCustomWinSocket::FreePendingStream() { PendingStream.reset(); }

// --- TWinSocketStream ---

TWinSocketStream::TWinSocketStream(TCustomWinSocket& socket, int timeoutMs)
    : StreamSocket(socket), Timeout(timeoutMs) {
  if (socket.NotifyStyles() != 0) throw ESocketError(SocketMessages::SocketMustBeBlocking());
}

bool TWinSocketStream::WaitReadable(int timeoutMs) {
  int fd = StreamSocket.SockHandle();
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

namespace {

// Waits up to timeoutMs for `events`, then does one non-blocking transfer.
// Returns the count, 0 at the time limit, at the peer's close or on a
// connection error. Raises when the transfer cannot be started.
template <typename Op>
int TimedTransfer(TCustomWinSocket& s, int timeoutMs, short events, const char* word, Op op) {
  int fd = s.SockHandle();
  if (fd < 0 || !s.IsConnected()) {
    throw ESocketError(SocketMessages::ReadWriteError(word, EBADF, SysErrorMessage(EBADF)), EBADF);
  }
  // Try at once: the wait below is only needed when the socket is not
  // ready.
  ssize_t n;
  do {
    n = op(fd);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    pollfd p{fd, events, 0};
    int r;
    do {
      r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return 0;
    do {
      n = op(fd);
    } while (n < 0 && errno == EINTR);
  }
  if (n >= 0) return static_cast<int>(n);
  int code = errno;
  if (code == EAGAIN || code == EWOULDBLOCK) return 0;  // ready, then taken back
  // A reset or any other failure: the connection is broken, which is not
  // the orderly end of what the peer sends.
  throw ESocketError(SocketMessages::ReadWriteError(word, code, SysErrorMessage(code)), code);
}

}  // namespace

int TWinSocketStream::Read(void* buffer, int count) {
  // The read with its wait, IoTimeout long; at the limit it gives 0.
  int n = ReadWithin(buffer, count, Timeout);
  return n < 0 ? 0 : n;
}

int TWinSocketStream::ReadWithin(void* buffer, int count, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline{};
  bool waited = false;
  for (;;) {
    ssize_t n;
    int code = 0;
    int fd;
    {
      TSocketLockScope g(StreamSocket);
      fd = StreamSocket.SockHandle();
      if (fd < 0 || !StreamSocket.IsConnected()) {
        throw ESocketError(SocketMessages::ReadWriteError("Read", EBADF, SysErrorMessage(EBADF)), EBADF);
      }
      do {
        n = recv(fd, buffer, static_cast<size_t>(count), MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0) code = errno;
    }
    if (n > 0) {
      // Outside the socket's lock: the note takes the listener's, which the
      // close sequence holds while it closes connections.
      StreamSocket.NoteReceived();
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (code != EAGAIN && code != EWOULDBLOCK) {
      throw ESocketError(SocketMessages::ReadWriteError("Read", code, SysErrorMessage(code)), code);
    }
    // Nothing there yet: wait, without the lock, as WaitReadable does.
    int left = timeoutMs;
    if (!waited) {
      waited = true;
      deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    } else {
      left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0) return -1;
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r == 0) return -1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

int TWinSocketStream::Write(const void* buffer, int count) {
  TSocketLockScope g(StreamSocket);
  return TimedTransfer(StreamSocket, Timeout, POLLOUT, "Write", [&](int fd) {
    return send(fd, buffer, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  });
}

}  // namespace korimo
