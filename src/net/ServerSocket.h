// The threaded connection server: a listening socket with an accept thread,
// one worker thread per connection, and a cache of idle workers.
//
// Thread contract:
// - Main thread: TServerSocket's properties, opening, and the close
//   sequence (TServerWinSocket::CloseSocketHandle), whose waits serve
//   main-thread hand-offs.
// - Accept thread: AcceptOne and ObtainWorker; OnGetThread runs there. At
//   the worker cap it waits in WaitForRoom, under ListGuard.
// - Worker threads: their serving loop.
// ListGuard guards ClientList, WorkerList, ThreadCacheSize, the list of
// silent connections and every worker's ClientSocket and Cached
// fields (writes always; the worker reads its own ClientSocket without it
// while serving, after the wake-up that handed it over).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/Limits.h"
#include "net/Thread.h"
#include "net/WinSocket.h"

namespace korimo {

enum TServerType { stNonBlocking, stThreadBlocking };

// How far one listener lets its connections go. Set on the main thread
// while the listener is closed.
struct TServerLimits {
  // Live workers at most; at the cap the listener waits for room (below).
  int MaxWorkers = kMaxWorkers;
  // At the cap, a connection that has sent nothing for this long is cut to
  // make room for a new one, oldest first.
  int IdleGraceMs = kIdleGraceMs;
  // A send on a connection that makes no progress for this long fails.
  int SendTimeoutMs = kSendTimeoutMs;
};

class TServerWinSocket;
class TServerClientThread;

// One accepted connection. Enters its listener's ClientList when created
// and leaves it when destroyed.
class TServerClientWinSocket : public TCustomWinSocket {
 public:
  TServerClientWinSocket(int handle, TServerWinSocket* listener);
  ~TServerClientWinSocket() override;
  TServerWinSocket* Listener() const { return Owner; }

 protected:
  // The first data from the peer: the connection is no longer silent.
  void NoteReceived() override;

 private:
  friend class TServerWinSocket;
  TServerWinSocket* const Owner;
  // Guarded by the listener's ListGuard: the places in its ClientList and
  // in its list of silent connections.
  std::list<TServerClientWinSocket*>::iterator ListPos;
  bool Listed = false;
  std::list<TServerClientWinSocket*>::iterator SilentPos;
  bool Silent = false;
  std::chrono::steady_clock::time_point AcceptedAt{};
  std::atomic<bool> Heard{false};
};

// An accepted connection, owned by whoever holds it: the accept thread,
// then its worker.
using TClientSocketPtr = std::unique_ptr<TServerClientWinSocket>;
// Asked for a worker for `clientSocket`: a worker constructed for it takes
// it over (moves it out); one left behind stays the listener's, which
// closes it when no worker results.
using TGetThreadEvent = std::function<void(TServerWinSocket& sender, TClientSocketPtr& clientSocket,
                                           TServerClientThread*& socketThread)>;
// Told on the worker's thread of an error that escaped the serving of a
// connection (never an EAbort); the worker ends when it returns.
using TWorkerErrorEvent = std::function<void(std::exception_ptr error)>;

class TServerAcceptThread : public TThread {
 public:
  explicit TServerAcceptThread(TServerWinSocket* listener) : Listener(listener) {}
  ~TServerAcceptThread() override;

 protected:
  void RunThread() override;
  const char* ThreadName() const override { return "korimo-accept"; }

 private:
  TServerWinSocket* const Listener;
};

// Base of the workers. A worker serves its first connection at once, then
// waits in the cache for the next one if it is cached, or ends.
//
// Construction never starts the thread (a C++ object is not complete until
// its most derived constructor has run): the most derived class calls
// Start() at the end of its constructor unless asked to stay suspended.
class TServerClientThread : public TThread {
 public:
  TServerClientThread(bool createSuspended, TClientSocketPtr clientSocket);
  ~TServerClientThread() override;

  // The connection being served; none while idle.
  TServerClientWinSocket* ClientSocket() const { return Client.get(); }
  TServerWinSocket* Listener() const { return Server; }
  bool Cached() const;

 protected:
  void RunThread() override;
  void FinishThread() override;
  const char* ThreadName() const override { return "korimo-worker"; }
  // Serves ClientSocket once. Must return soon after StopRequested is set or
  // the connection is closed under it. Must not close or destroy it.
  virtual void ServeConnection();
  // Passes an error that escaped ServeConnection to the listener's
  // OnWorkerError (or, with none, to standard error). EAbort is dropped.
  virtual void HandleWorkerError(std::exception_ptr error);
  // Starts the thread unless `createSuspended` was given.
  void StartUnlessSuspended();

 private:
  friend class TServerWinSocket;
  void AssignConnection(TClientSocketPtr c);
  bool AwaitConnection();
  bool ReleaseConnection();

  const bool Suspended;
  TServerWinSocket* Server = nullptr;
  TSimpleEvent WakeEvent;
  // Guarded by the listener's ListGuard (see the file comment).
  TClientSocketPtr Client;
  bool IsCached = false;
  std::list<TServerClientThread*>::iterator ListPos;  // place in WorkerList
  bool Listed = false;
  uint64_t Seq = 0;  // order of registration
};

// The listening socket object.
class TServerWinSocket : public TCustomWinSocket {
 public:
  TServerWinSocket();
  ~TServerWinSocket() override;

  // Opens the listener on `port` (or the port of the service named
  // `service`, when not empty) and, in thread-blocking use, starts the
  // accept thread. Raises ESocketError when it cannot listen.
  void Open(int port, const std::string& service = "");
  // The close sequence: every worker ends (busy, idle or waiting in a
  // hand-off), every connection goes, the listener closes.
  void CloseSocketHandle(int handle) override;

  // The accept step: AcceptOne.
  void HandleAccept(int handle) override;
  void AcceptOne();
  void ObtainWorker(TClientSocketPtr c);
  TServerClientThread* CreateDefaultWorker(TClientSocketPtr c);
  void RegisterWorker(TServerClientThread* w);
  void UnregisterWorker(TServerClientThread* w);
  void RegisterClient(TServerClientWinSocket* c);
  void UnregisterClient(TServerClientWinSocket* c);
  void SetCacheSize(int n);
  int ThreadCacheSize();
  // Main thread, while closed.
  void SetLimits(const TServerLimits& limits);

  TServerType ServerType = stNonBlocking;
  TGetThreadEvent OnGetThread;  // set on the main thread while closed
  TWorkerErrorEvent OnWorkerError;  // likewise

  // Counts, for the operator and for tests.
  int WorkerCount();
  int CachedWorkerCount();
  int IdleWorkerCount();
  int ClientCount();
  // Connections accepted that have sent nothing yet.
  int SilentCount();
  bool HasAcceptor() const { return Acceptor != nullptr; }

  TCriticalSection ListGuard;

 private:
  friend class TServerClientThread;
  friend class TServerClientWinSocket;
  // Accept thread, with a new connection in hand: returns once it can have
  // a worker (an idle one, or room below the cap), cutting the oldest
  // connection that has been silent for the grace time when the cap is
  // reached. Waits while there is no room; false when the listener closes.
  bool WaitForRoom() KORIMO_EXCLUDES(ListGuard);
  bool HasRoom() KORIMO_REQUIRES(ListGuard);
  // Cuts the oldest connection silent for the grace time at `now`; false
  // when there is none.
  bool CutOldestSilent(std::chrono::steady_clock::time_point now) KORIMO_REQUIRES(ListGuard);
  // A worker ended or went idle: the accept thread may go on.
  void RoomMade() KORIMO_REQUIRES(ListGuard);
  void StopAccepting() KORIMO_EXCLUDES(ListGuard);
  void MarkHeard(TServerClientWinSocket* c) KORIMO_EXCLUDES(ListGuard);
  void Unsilence(TServerClientWinSocket* c) KORIMO_REQUIRES(ListGuard);
  // Lists with O(1) removal: a listener may hold thousands of connections
  // and their workers, and every connection comes and goes through them.
  std::list<TServerClientWinSocket*> ClientList KORIMO_GUARDED_BY(ListGuard);
  std::list<TServerClientThread*> WorkerList KORIMO_GUARDED_BY(ListGuard);
  // The idle workers (no connection, not ending): only cached workers wait
  // for another connection, so this stays short, and ObtainWorker need not
  // walk the whole WorkerList. The first in WorkerList order is the one
  // with the lowest Seq.
  std::vector<TServerClientThread*> IdleWorkers KORIMO_GUARDED_BY(ListGuard);
  // Workers whose thread could not be started (ObtainWorker drops them).
  std::vector<TServerClientThread*> NotStarted KORIMO_GUARDED_BY(ListGuard);
  uint64_t NextSeq KORIMO_GUARDED_BY(ListGuard) = 0;
  int CacheSize KORIMO_GUARDED_BY(ListGuard) = kThreadCacheSize;
  // Accepted connections that have sent nothing yet, oldest first.
  std::list<TServerClientWinSocket*> SilentList KORIMO_GUARDED_BY(ListGuard);
  // A silent connection was cut and its worker has not yet made room.
  bool CutPending KORIMO_GUARDED_BY(ListGuard) = false;
  std::chrono::steady_clock::time_point LastCut KORIMO_GUARDED_BY(ListGuard){};
  bool Accepting KORIMO_GUARDED_BY(ListGuard) = false;
  std::condition_variable_any RoomChanged;  // waited on with ListGuard
  TServerLimits Bounds;  // main thread while closed; read by the accept thread
  TServerAcceptThread* Acceptor = nullptr;  // main thread only
};

// The server component on the operator window.
class TServerSocket {
 public:
  TServerSocket();
  ~TServerSocket();

  bool Active() const;
  // While loading, only records the value; Loaded() then opens. Otherwise
  // true opens and false closes; raises ESocketError when opening fails.
  void SetActive(bool value);
  int Port() const { return PortValue; }
  void SetPort(int port);
  const std::string& Service() const { return ServiceName; }
  void SetService(const std::string& service);
  TServerType ServerType() const { return Socket.ServerType; }
  void SetServerType(TServerType type);
  int ThreadCacheSize() { return Socket.ThreadCacheSize(); }
  void SetThreadCacheSize(int n) { Socket.SetCacheSize(n); }
  // Allowed while loading or while Active is false.
  void SetLimits(const TServerLimits& limits);
  void SetOnGetThread(TGetThreadEvent handler) { Socket.OnGetThread = std::move(handler); }
  void SetOnWorkerError(TWorkerErrorEvent handler) { Socket.OnWorkerError = std::move(handler); }

  // End of loading: opens the server when Active was set meanwhile.
  void Loaded();
  TServerWinSocket& ServerSocket() { return Socket; }

 private:
  TServerWinSocket Socket;
  bool Loading = true;
  bool RecordedActive = false;
  int PortValue = 0;
  std::string ServiceName;
};

}  // namespace korimo
