// Thread objects and the hand-off of work from a worker to the main thread.
//
// The main thread registers itself once (MainThread::Register). A worker
// that needs work done there calls RunOnMainThread: the routine is queued,
// the queue's wake-up descriptor becomes readable, and the worker blocks
// until the main thread has run it. Any main loop serves the queue by
// watching WakeFd() and calling ServePending(); the main thread's waits for
// a thread to end (TThread::WaitFor) serve it too, so a worker blocked in a
// hand-off can always finish. Hand-offs are served one at a time, in order
// of arrival.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "base/Sync.h"
#include "base/ThreadSafety.h"

namespace korimo {

class MainThread {
 public:
  // Makes the calling thread the main thread.
  static void Register();
  static bool IsCurrent();
  // Readable while hand-offs are waiting. Watch it from the main loop.
  static int WakeFd();
  // Runs the hand-offs waiting now, in order of arrival; returns how many.
  // Main thread only; may be entered again from a routine's modal loop.
  static int ServePending();
  // Waits until done() holds, serving hand-offs meanwhile. Main thread only.
  // done() is re-checked after every Notify() and every hand-off.
  static void WaitServing(const std::function<bool()>& done);
  // Wakes WaitServing to look at its condition again.
  static void Notify();
};

// Runs routine on the main thread and returns when it has ended; an error it
// raised is raised again here. On the main thread itself it simply runs it.
void RunOnMainThread(const std::function<void()>& routine);

// A thread object. Created without a running thread; Start() runs
// RunThread on a platform thread with a small stack: a parked one when there
// is one (see ThreadPark), else a new one.
//
// Thread contract: Start, WaitFor and the destructor run on the owner's
// thread; StopRequested is set by any thread and polled by the body.
// DestroyWhenDone is guarded by StateLock: the body reads it once, after
// FinishThread, and destroys the object itself when it was true; whoever
// clears it first must make sure (under a lock of its own that FinishThread
// also takes) that the body has not read it yet. Once Finished() holds, the
// platform thread touches nothing of the object any more.
class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Waits for a running thread to end (asking it to stop first). This runs
  // after the derived destructors: a derived class whose body uses its own
  // members must stop and wait for the thread in its own destructor.
  virtual ~TThread();

  // Starts the thread. False when it needed a new platform thread and the
  // platform could not create one. A thread that destroys itself when done
  // has no owner waiting to learn that: it never waits for a platform thread
  // to be created (ThreadPark::Start).
  bool Start();
  bool Started() const { return Running; }
  // Waits until the thread has ended. On the main thread, hand-offs are
  // served meanwhile.
  void WaitFor();
  bool Finished() const { return FinishedFlag.load(std::memory_order_acquire); }

  void SetDestroyWhenDone(bool value);

  std::atomic<bool> StopRequested{false};

 protected:
  virtual void RunThread() = 0;
  // The thread's name as tools show it (at most 15 bytes).
  virtual const char* ThreadName() const { return "korimo"; }
  // Runs on the thread right after the body.
  virtual void FinishThread() {}

 private:
  friend class ThreadPark;
  // The body and the end, on the calling platform thread. Nothing of the
  // object is touched after it (it may have destroyed itself).
  static void Run(TThread* self);
  // A thread that could not be given a platform thread ends without its
  // body, as one asked to stop before it began: FinishThread, then the end.
  static void Abandon(TThread* self);
  static void End(TThread* self);

  bool Running = false;    // owner's thread only
  bool Detached = false;   // set by the thread before it destroys itself
  std::atomic<bool> FinishedFlag{false};
  TMutex StateLock;
  bool DestroyWhenDone KORIMO_GUARDED_BY(StateLock) = false;
};

// Platform threads that outlive their thread objects. When a TThread's body
// ends, its platform thread parks and runs the next TThread that starts, so
// a connection beyond the worker cache costs a wake-up, not a clone and an
// exit. Bounded: at most MaxParked park at once, and one parked for IdleMs
// with nothing to run ends. A platform thread is created only when none is
// parked, so the threads alive never exceed the thread objects running at
// the busiest moment: parked threads count within the worker cap.
//
// A thread object that destroys itself when done never waits for a clone:
// with none parked it is queued, and the spawner thread creates a platform
// thread for it (or a platform thread whose body ends first takes it).
// Should the platform refuse, the thread object ends without its body
// (TThread::Abandon), just as a worker that could not be started drops its
// connection.
//
// Thread contract: every member is safe from any thread; one mutex guards
// the park. EndParked waits for the threads it ends.
class ThreadPark {
 public:
  static bool Start(TThread* thread, bool selfOwned);
  // Ends every parked thread and the idle spawner, and waits until they
  // are gone. Platform threads still running a body do not park afterwards.
  // The close sequence and so the program's exit call it.
  static void EndParked();
  // Tests lower these; the defaults are kMaxParkedThreads and kParkedIdleMs.
  // An idle time of 0 turns parking off.
  static void SetLimits(int maxParked, int idleMs);
  static int ParkedCount();
  // Platform threads under thread objects, busy or parked.
  static int CarrierCount();
  // Platform threads created for thread objects so far.
  static uint64_t CreatedCount();

 private:
  static bool NewCarrier(TThread* t);
  static void* CarrierMain(void* carrier);
  static void* SpawnerMain(void* unused);
};

}  // namespace korimo
