#include "net/ServerSocket.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/ThreadCheck.h"

namespace korimo {
// --- TServerClientWinSocket ---

TServerClientWinSocket::TServerClientWinSocket(int handle, TServerWinSocket* listener)
    : TCustomWinSocket(handle), Owner(listener) {
  AdoptBlockingHandle();
  Owner->RegisterClient(this);
}

TServerClientWinSocket::~TServerClientWinSocket() { Owner->UnregisterClient(this); }

void TServerClientWinSocket::NoteReceived() {
  if (!Heard.exchange(true, std::memory_order_acq_rel)) Owner->MarkHeard(this);
}

// --- TServerAcceptThread ---

TServerAcceptThread::~TServerAcceptThread() {
  StopRequested = true;
  WaitFor();
}

void TServerAcceptThread::RunThread() {
  while (!StopRequested.load(std::memory_order_acquire)) Listener->HandleAccept(Listener->SockHandle());
}

// --- TServerClientThread ---

TServerClientThread::TServerClientThread(bool createSuspended, TClientSocketPtr clientSocket)
    : Suspended(createSuspended) {
  SetDestroyWhenDone(true);
  AssignConnection(std::move(clientSocket));
}

TServerClientThread::~TServerClientThread() {
  // A worker leaves WorkerList when its thread ends; one destroyed without
  // ever running (or whose thread could not start) leaves it here.
  if (Server) Server->UnregisterWorker(this);
  Client.reset();  // closes the connection if it is still open
}

void TServerClientThread::StartUnlessSuspended() {
  if (Suspended || Start()) return;
  // No thread: tell the listener, which drops the connection and this
  // worker instead of leaving the connection with a worker that never
  // serves it.
  if (Server) {
    Guard g(Server->ListGuard);
    Server->NotStarted.push_back(this);
  }
}

bool TServerClientThread::Cached() const {
  if (!Server) return IsCached;
  Guard g(Server->ListGuard);
  return IsCached;
}

void TServerClientThread::AssignConnection(TClientSocketPtr c) {
  if (!c) return;
  TServerWinSocket* listener = c->Listener();
  {
    Guard g(listener->ListGuard);
    Client = std::move(c);
    Server = listener;
  }
  listener->RegisterWorker(this);
  WakeEvent.SetEvent();
}

bool TServerClientThread::AwaitConnection() {
  WakeEvent.WaitFor();
  WakeEvent.ResetEvent();
  return !StopRequested.load(std::memory_order_acquire);
}

bool TServerClientThread::ReleaseConnection() {
  TClientSocketPtr c;
  bool ends;
  {
    Guard g(Server->ListGuard);
    c = std::move(Client);
    ends = StopRequested.load(std::memory_order_acquire) || !Cached();
    if (!ends) {
      Server->IdleWorkers.push_back(this);
      Server->RoomMade();
    }
  }
  c.reset();  // closes the connection if it is still open
  return ends;
}

void TServerClientThread::RunThread() {
  try {
    for (;;) {
      if (AwaitConnection()) ServeConnection();
      if (ReleaseConnection()) break;
    }
  } catch (...) {
    HandleWorkerError(std::current_exception());
    {
      Guard g(Server->ListGuard);
      IsCached = false;
    }
    ReleaseConnection();
  }
}

void TServerClientThread::FinishThread() {
  if (Server) Server->UnregisterWorker(this);
}

void TServerClientThread::ServeConnection() {
  // Plain workers have nothing to say; the service's workers override this.
}

void TServerClientThread::HandleWorkerError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  TWorkerErrorEvent hook = Server ? Server->OnWorkerError : nullptr;
  if (hook) {
    hook(error);
    return;
  }
  std::string line = "korimo: worker error: " + ErrorMessage(error) + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
}

// --- TServerWinSocket ---

TServerWinSocket::TServerWinSocket() = default;

TServerWinSocket::~TServerWinSocket() {
  SetNotifyHandler(nullptr);
  if (IsConnected()) {
    try {
      CloseSocketHandle(SockHandle());
    } catch (...) {
    }
  }
}

void TServerWinSocket::Open(int port, const std::string& service) {
  RequireMainThread("TServerWinSocket::Open");
  if (IsConnected()) return;
  StartListening("", "", service, port, kMaxBacklog, true);
  // Accepted connections inherit the listener's send limit: set once here,
  // not with a call per connection.
  try {
    SetSendTimeout(Bounds.SendTimeoutMs);
  } catch (...) {
    CloseSocketHandle(SockHandle());
    throw;
  }
  if (IsConnected() && ServerType == stThreadBlocking) {
    {
      Guard g(ListGuard);
      Accepting = true;
    }
    Acceptor = new TServerAcceptThread(this);
    if (!Acceptor->Start()) {
      delete Acceptor;
      Acceptor = nullptr;
      CloseSocketHandle(SockHandle());
      throw ESocketError(SocketMessages::CannotCreateSocket());
    }
  }
}

void TServerWinSocket::CloseSocketHandle(int handle) {
  RequireMainThread("the close sequence");
  TSocketLockScope lock(*this);
  if (handle < 0 || handle != SockHandle()) return;
  // Stop accepting first, so that no connection arrives and no worker
  // registers while the workers are being ended. Shutting the listening
  // socket down wakes the accept thread without closing the handle.
  if (Acceptor) {
    Acceptor->StopRequested = true;
    StopAccepting();  // a wait for room ends too
    shutdown(handle, SHUT_RDWR);
    delete Acceptor;  // waits for its thread, serving hand-offs
    Acceptor = nullptr;
  }
  int oldCacheSize = ThreadCacheSize();
  SetCacheSize(0);
  for (;;) {
    TServerClientThread* w;
    {
      Guard g(ListGuard);
      if (WorkerList.empty()) break;
      w = WorkerList.back();
      // The worker reads this flag only after it has left WorkerList,
      // which it does under ListGuard: it cannot have read it yet.
      w->SetDestroyWhenDone(false);
      w->StopRequested = true;
      w->WakeEvent.SetEvent();
      if (w->Client && w->Client->IsConnected()) {
        w->Client->ShutdownConnection();  // breaks a send or read in progress
        w->Client->CloseConnection();
      }
    }
    w->WaitFor();  // serves hand-offs, so a worker waiting in one can end
    delete w;
  }
  {
    Guard g(ListGuard);
    while (!ClientList.empty()) delete ClientList.back();
  }
  // The platform threads the workers leave parked end too: nothing of the
  // listener's keeps running once it is closed.
  ThreadPark::EndParked();
  try {
    TCustomWinSocket::CloseSocketHandle(handle);
  } catch (...) {
    SetCacheSize(oldCacheSize);
    throw;
  }
  SetCacheSize(oldCacheSize);
}

void TServerWinSocket::HandleAccept(int handle) {
  if (handle == SockHandle()) AcceptOne();
}

void TServerWinSocket::AcceptOne() {
  int listenFd = SockHandle();
  if (listenFd < 0) return;
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      poll(nullptr, 0, kAcceptRetryMs);
    }
    return;
  }
  TClientSocketPtr c;
  try {
    c = std::make_unique<TServerClientWinSocket>(fd, this);
  } catch (...) {
    close(fd);
    return;
  }
  // At the worker cap the new connection waits for room here, and those
  // behind it in the listen queue. Cuts happen only for a connection that
  // is really there.
  if (ServerType == stThreadBlocking && !WaitForRoom()) return;  // closing: c goes
  {
    Guard g(ListGuard);
    c->AcceptedAt = std::chrono::steady_clock::now();
    c->SilentPos = SilentList.insert(SilentList.end(), c.get());
    c->Silent = true;
  }
  NotifyOwner(snAccept);
  if (ServerType == stThreadBlocking) ObtainWorker(std::move(c));
}

void TServerWinSocket::ObtainWorker(TClientSocketPtr c) {
  {
    Guard g(ListGuard);
    // The first idle worker in WorkerList order: the lowest registration.
    auto first = IdleWorkers.end();
    for (auto it = IdleWorkers.begin(); it != IdleWorkers.end(); ++it) {
      if ((*it)->StopRequested.load(std::memory_order_acquire)) continue;
      if (first == IdleWorkers.end() || (*it)->Seq < (*first)->Seq) first = it;
    }
    if (first != IdleWorkers.end()) {
      TServerClientThread* w = *first;
      IdleWorkers.erase(first);
      w->AssignConnection(std::move(c));
      return;
    }
  }
  TServerClientThread* w = nullptr;
  try {
    if (OnGetThread) OnGetThread(*this, c, w);
    if (!w && c) w = CreateDefaultWorker(std::move(c));
  } catch (...) {
    // A worker the handler built before it raised has c all the same.
  }
  // A worker whose thread could not be started (made just now, on this
  // thread) is dropped, with its connection. A started worker may already
  // have served its connection and destroyed itself: it is not looked at.
  std::vector<TServerClientThread*> dropped;
  {
    Guard g(ListGuard);
    dropped.swap(NotStarted);
  }
  for (TServerClientThread* d : dropped) delete d;
  // A connection that no worker took closes as it goes.
}

TServerClientThread* TServerWinSocket::CreateDefaultWorker(TClientSocketPtr c) {
  auto* w = new TServerClientThread(false, std::move(c));
  w->StartUnlessSuspended();
  return w;
}

void TServerWinSocket::RegisterWorker(TServerClientThread* w) {
  Guard g(ListGuard);
  if (w->Listed) return;
  w->ListPos = WorkerList.insert(WorkerList.end(), w);
  w->Listed = true;
  w->Seq = NextSeq++;
  if (CacheSize >= static_cast<int>(WorkerList.size())) w->IsCached = true;
}

void TServerWinSocket::UnregisterWorker(TServerClientThread* w) {
  Guard g(ListGuard);
  if (!w->Listed) return;
  WorkerList.erase(w->ListPos);
  w->Listed = false;
  auto idle = std::find(IdleWorkers.begin(), IdleWorkers.end(), w);
  if (idle != IdleWorkers.end()) IdleWorkers.erase(idle);
  RoomMade();
}

void TServerWinSocket::RegisterClient(TServerClientWinSocket* c) {
  Guard g(ListGuard);
  if (c->Listed) return;
  c->ListPos = ClientList.insert(ClientList.end(), c);
  c->Listed = true;
}

void TServerWinSocket::UnregisterClient(TServerClientWinSocket* c) {
  Guard g(ListGuard);
  Unsilence(c);
  if (!c->Listed) return;
  ClientList.erase(c->ListPos);
  c->Listed = false;
}

// --- the worker cap ---

void TServerWinSocket::SetLimits(const TServerLimits& limits) { Bounds = limits; }

bool TServerWinSocket::HasRoom() {
  for (TServerClientThread* w : IdleWorkers) {
    if (!w->StopRequested.load(std::memory_order_acquire)) return true;
  }
  return static_cast<int>(WorkerList.size()) < Bounds.MaxWorkers;
}

bool TServerWinSocket::WaitForRoom() {
  using std::chrono::steady_clock;
  const auto grace = std::chrono::milliseconds(Bounds.IdleGraceMs);
  Guard lock(ListGuard);
  for (;;) {
    if (!Accepting) return false;
    if (HasRoom()) return true;
    auto now = steady_clock::now();
    // One cut at a time: the cut connection's worker makes room as soon as
    // it sees the connection go. Should it not (it is busy elsewhere), the
    // next cut comes a grace time later.
    if ((!CutPending || now - LastCut >= grace) && CutOldestSilent(now)) {
      CutPending = true;
      LastCut = now;
    }
    // Wake when a worker ends or goes idle (RoomMade), the listener closes,
    // or the next cut is due: the oldest silent connection comes of age,
    // and a grace time has passed since a cut that made no room.
    auto wake = steady_clock::time_point::max();
    if (!SilentList.empty()) {
      wake = SilentList.front()->AcceptedAt + grace;
      if (CutPending) wake = std::max(wake, LastCut + grace);
    }
    if (wake == steady_clock::time_point::max()) {
      RoomChanged.wait(ListGuard);  // held once here, so this lets it go
    } else {
      RoomChanged.wait_until(ListGuard, wake);
    }
  }
}

bool TServerWinSocket::CutOldestSilent(std::chrono::steady_clock::time_point now) {
  const auto grace = std::chrono::milliseconds(Bounds.IdleGraceMs);
  while (!SilentList.empty()) {
    TServerClientWinSocket* c = SilentList.front();
    if (now - c->AcceptedAt < grace) return false;  // the oldest is still young
    Unsilence(c);
    // Bytes that its worker has not read yet: not silent after all.
    int waiting = 0;
    int fd = c->SockHandle();
    if (fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) continue;
    c->ShutdownConnection();  // its worker reads the end and lets it go
    return true;
  }
  return false;
}

void TServerWinSocket::RoomMade() {
  CutPending = false;
  RoomChanged.notify_all();
}

void TServerWinSocket::StopAccepting() {
  Guard g(ListGuard);
  Accepting = false;
  RoomChanged.notify_all();
}

void TServerWinSocket::MarkHeard(TServerClientWinSocket* c) {
  Guard g(ListGuard);
  Unsilence(c);
}

void TServerWinSocket::Unsilence(TServerClientWinSocket* c) {
  if (!c->Silent) return;
  SilentList.erase(c->SilentPos);
  c->Silent = false;
}

int TServerWinSocket::SilentCount() {
  Guard g(ListGuard);
  return static_cast<int>(SilentList.size());
}

void TServerWinSocket::SetCacheSize(int n) {
  Guard g(ListGuard);
  if (n == CacheSize) return;
  int old = CacheSize;
  CacheSize = n;
  int keep = std::min(old, n);
  int i = 0;
  for (TServerClientThread* w : WorkerList) w->IsCached = i++ < keep;
}

int TServerWinSocket::ThreadCacheSize() {
  Guard g(ListGuard);
  return CacheSize;
}

int TServerWinSocket::WorkerCount() {
  Guard g(ListGuard);
  return static_cast<int>(WorkerList.size());
}

int TServerWinSocket::CachedWorkerCount() {
  Guard g(ListGuard);
  return static_cast<int>(std::count_if(WorkerList.begin(), WorkerList.end(),
                                        [](TServerClientThread* w) { return w->IsCached; }));
}

int TServerWinSocket::IdleWorkerCount() {
  Guard g(ListGuard);
  return static_cast<int>(IdleWorkers.size());
}

int TServerWinSocket::ClientCount() {
  Guard g(ListGuard);
  return static_cast<int>(ClientList.size());
}

// --- TServerSocket ---

TServerSocket::TServerSocket() { Socket.SetCacheSize(kThreadCacheSize); }

TServerSocket::~TServerSocket() = default;

bool TServerSocket::Active() const { return Loading ? RecordedActive : Socket.IsConnected(); }

void TServerSocket::SetActive(bool value) {
  if (Loading) {
    RecordedActive = value;
    return;
  }
  if (value == Socket.IsConnected()) return;
  if (value) {
    Socket.Open(PortValue, ServiceName);
  } else {
    Socket.CloseSocketHandle(Socket.SockHandle());
  }
}

namespace {
const std::string& InUseMessage() {
  static const std::string k = Sjis("使用中のソケットは値を変更できません");
  return k;
}
}  // namespace

void TServerSocket::SetPort(int port) {
  if (!Loading && Socket.IsConnected()) throw ESocketError(InUseMessage());
  PortValue = port;
}

void TServerSocket::SetService(const std::string& service) {
  if (!Loading && Socket.IsConnected()) throw ESocketError(InUseMessage());
  ServiceName = service;
}

void TServerSocket::SetLimits(const TServerLimits& limits) {
  if (!Loading && Socket.IsConnected()) throw ESocketError(InUseMessage());
  Socket.SetLimits(limits);
}

void TServerSocket::SetServerType(TServerType type) {
  if (Socket.IsConnected()) throw ESocketError(InUseMessage());
  Socket.ServerType = type;
}

void TServerSocket::Loaded() {
  Loading = false;
  if (RecordedActive) Socket.Open(PortValue, ServiceName);
}

}  // namespace korimo
