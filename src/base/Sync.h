// Locks and events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/ThreadSafety.h"

namespace korimo {

// A recursive lock: the same thread may take it again.
class KORIMO_CAPABILITY("mutex") TCriticalSection {
 public:
  void Enter() KORIMO_ACQUIRE() { Mutex.lock(); }
  void Leave() KORIMO_RELEASE() { Mutex.unlock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() KORIMO_ACQUIRE() { Mutex.lock(); }
  void unlock() KORIMO_RELEASE() { Mutex.unlock(); }

 private:
  std::recursive_mutex Mutex;
};

// Scoped holder of a TCriticalSection, understood by the annotations.
class KORIMO_TSA(scoped_lockable) Guard {
 public:
  explicit Guard(TCriticalSection& cs) KORIMO_ACQUIRE(cs) : Cs(cs) { Cs.Enter(); }
  ~Guard() KORIMO_RELEASE() { Cs.Leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  TCriticalSection& Cs;
};

// A plain (non-recursive) lock that the annotations understand.
class KORIMO_CAPABILITY("mutex") TMutex {
 public:
  void lock() KORIMO_ACQUIRE() { Mutex.lock(); }
  void unlock() KORIMO_RELEASE() { Mutex.unlock(); }

 private:
  std::mutex Mutex;
};

class KORIMO_TSA(scoped_lockable) MutexLock {
 public:
  explicit MutexLock(TMutex& m) KORIMO_ACQUIRE(m) : M(m) { M.lock(); }
  ~MutexLock() KORIMO_RELEASE() { M.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  TMutex& M;
};

// A manual-reset event with a timed wait.
class TSimpleEvent {
 public:
  void SetEvent() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Signaled = true;
    }
    Cond.notify_all();
  }
  void ResetEvent() {
    std::lock_guard<std::mutex> lock(Mutex);
    Signaled = false;
  }
  // Waits without a time limit.
  void WaitFor() {
    std::unique_lock<std::mutex> lock(Mutex);
    Cond.wait(lock, [this] { return Signaled; });
  }
  // True when the event was set within `ms` milliseconds.
  bool WaitFor(int ms) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Signaled; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Signaled;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Cond;
  bool Signaled = false;
};

}  // namespace korimo
