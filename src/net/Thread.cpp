#include "net/Thread.h"

#include <semaphore.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <vector>
#include <cstdint>
#include <deque>
#include <exception>

#include "base/Limits.h"
#include "base/SysUtils.h"
#include "base/ThreadCheck.h"

namespace korimo {
namespace {

struct HandOff {
  const std::function<void()>* Routine;
  std::exception_ptr Error;
  bool Done = false;
};

// The queue of hand-offs. Mutex guards Queue; Done flags are written under
// it too, and DoneCond wakes the waiting workers.
struct HandOffQueue {
  std::mutex Mutex;
  std::condition_variable Activity;  // main thread: a hand-off or a Notify
  std::condition_variable DoneCond;  // workers: their hand-off has run
  std::deque<HandOff*> Queue;
  int Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int FdError = Fd < 0 ? errno : 0;
};

HandOffQueue& Q() {
  static HandOffQueue* q = new HandOffQueue;  // lives for the whole process
  return *q;
}

// The counter only ever needs to be non-zero: a write that finds it at its
// maximum (EAGAIN) leaves it readable, which is all a wake-up is for.
void Wake(int fd) {
  uint64_t one = 1;
  ssize_t r = write(fd, &one, sizeof one);
  (void)r;
}

// EAGAIN: nothing was pending, which is fine.
void Drain(int fd) {
  uint64_t n;
  ssize_t r = read(fd, &n, sizeof n);
  (void)r;
}

}  // namespace

void MainThread::Register() {
  HandOffQueue& q = Q();
  // Without its wake-up descriptor no main loop would ever see a hand-off,
  // and every worker that hands one over would wait for ever.
  if (q.Fd < 0) {
    throw Exception(CallFailedText("eventfd", q.FdError));
  }
  RegisterMainThread();
}

bool MainThread::IsCurrent() { return IsMainThread(); }

int MainThread::WakeFd() { return Q().Fd; }

int MainThread::ServePending() {
  RequireMainThread("MainThread::ServePending");
  HandOffQueue& q = Q();
  Drain(q.Fd);
  int served = 0;
  for (;;) {
    HandOff* h;
    {
      std::lock_guard<std::mutex> lock(q.Mutex);
      if (q.Queue.empty()) break;
      h = q.Queue.front();
      q.Queue.pop_front();
    }
    std::exception_ptr error;
    try {
      (*h->Routine)();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(q.Mutex);
      h->Error = error;
      h->Done = true;
    }
    q.DoneCond.notify_all();
    ++served;
  }
  return served;
}

void MainThread::WaitServing(const std::function<bool()>& done) {
  RequireMainThread("MainThread::WaitServing");
  HandOffQueue& q = Q();
  for (;;) {
    ServePending();
    std::unique_lock<std::mutex> lock(q.Mutex);
    if (done()) return;
    if (!q.Queue.empty()) continue;
    q.Activity.wait(lock);
  }
}

void MainThread::Notify() {
  HandOffQueue& q = Q();
  { std::lock_guard<std::mutex> lock(q.Mutex); }
  q.Activity.notify_all();
}

void RunOnMainThread(const std::function<void()>& routine) {
  HandOffQueue& q = Q();
  if (!MainThreadRegistered() || q.Fd < 0) throw Exception("RunOnMainThread: no main thread");
  if (MainThread::IsCurrent()) {
    routine();
    return;
  }
  HandOff h{&routine, nullptr, false};
  {
    std::lock_guard<std::mutex> lock(q.Mutex);
    q.Queue.push_back(&h);
  }
  q.Activity.notify_all();
  Wake(q.Fd);
  std::unique_lock<std::mutex> lock(q.Mutex);
  q.DoneCond.wait(lock, [&h] { return h.Done; });
  if (h.Error) std::rethrow_exception(h.Error);
}

// --- TThread ---

TThread::~TThread() {
  if (!Running || Detached) return;
  // Once finished, the platform thread (parked or running another object)
  // no longer touches this one: there is nothing to join.
  if (!Finished()) {
    StopRequested = true;
    WaitFor();
  }
}

bool TThread::Start() {
  if (Running) return true;
  bool selfOwned;
  {
    MutexLock lock(StateLock);
    selfOwned = DestroyWhenDone;
  }
  // Marked before the body can run: a thread that destroys itself when
  // done may be gone before ThreadPark::Start returns, so nothing of this
  // object is touched after it succeeds.
  Running = true;
  if (ThreadPark::Start(this, selfOwned)) return true;
  Running = false;
  return false;
}

void TThread::WaitFor() {
  if (!Running) return;
  if (MainThread::IsCurrent()) {
    MainThread::WaitServing([this] { return Finished(); });
    return;
  }
  // Any other thread: a plain wait. The finishing thread notifies the
  // queue's activity condition, which is where we wait.
  HandOffQueue& q = Q();
  std::unique_lock<std::mutex> lock(q.Mutex);
  q.Activity.wait(lock, [this] { return Finished(); });
}

void TThread::SetDestroyWhenDone(bool value) {
  MutexLock lock(StateLock);
  DestroyWhenDone = value;
}

namespace {

// The name the calling platform thread shows; renamed only when a thread
// object of another name comes to run on it.
thread_local const char* CurrentName = nullptr;

void NameThread(const char* name) {
  if (CurrentName && strcmp(CurrentName, name) == 0) return;
  pthread_setname_np(pthread_self(), name);
  CurrentName = name;
}

}  // namespace

void TThread::Run(TThread* self) {
  NameThread(self->ThreadName());
  try {
    self->RunThread();
  } catch (...) {
    // A body lets nothing escape; if one does, the thread still ends cleanly.
  }
  self->FinishThread();
  End(self);
}

void TThread::Abandon(TThread* self) {
  self->StopRequested = true;
  self->FinishThread();
  End(self);
}

void TThread::End(TThread* self) {
  bool destroy;
  {
    MutexLock lock(self->StateLock);
    destroy = self->DestroyWhenDone;
    if (destroy) self->Detached = true;
  }
  self->FinishedFlag.store(true, std::memory_order_release);
  // The owner may destroy the object from here on: nothing of it below.
  if (destroy) delete self;
  MainThread::Notify();
}

// --- ThreadPark ---

namespace {

// Guards the park and every carrier's fields. A plain mutex, constant
// initialised: carriers may still use it while static objects go.
TMutex ParkMutex;

// A platform thread that runs thread objects one after another. Whoever
// hands it an object (or ends it) posts Wake once, after letting the park's
// mutex go, so that the woken thread does not wait for that mutex; a
// carrier that finds an object handed to it takes that post too before it
// goes on, so no post can reach a carrier that is gone.
struct Carrier {
  Carrier() { sem_init(&Wake, 0, 0); }
  ~Carrier() { sem_destroy(&Wake); }
  sem_t Wake;
  TThread* Next KORIMO_GUARDED_BY(ParkMutex) = nullptr;  // the object to run next
  bool End KORIMO_GUARDED_BY(ParkMutex) = false;  // EndParked took it: it ends and is joined
  uint64_t Epoch KORIMO_GUARDED_BY(ParkMutex) = 0;  // the park's epoch when it took its object
  pthread_t Handle KORIMO_GUARDED_BY(ParkMutex){};
};

struct Park {
  std::vector<Carrier*> Parked KORIMO_GUARDED_BY(ParkMutex);  // the most recently parked last
  std::deque<TThread*> Pending KORIMO_GUARDED_BY(ParkMutex);  // self-owned objects waiting for a thread
  int Carriers KORIMO_GUARDED_BY(ParkMutex) = 0;
  uint64_t Created KORIMO_GUARDED_BY(ParkMutex) = 0;
  // EndParked moves it on; a carrier that took its object before that
  // does not park afterwards.
  uint64_t Epoch KORIMO_GUARDED_BY(ParkMutex) = 0;
  int MaxParked KORIMO_GUARDED_BY(ParkMutex) = kMaxParkedThreads;
  int IdleMs KORIMO_GUARDED_BY(ParkMutex) = kParkedIdleMs;
  // The spawner creates platform threads for Pending, off the threads that
  // start objects (the accept thread above all).
  bool SpawnerAlive KORIMO_GUARDED_BY(ParkMutex) = false;
  bool SpawnerEnd KORIMO_GUARDED_BY(ParkMutex) = false;     // asked to end once Pending is empty
  bool SpawnerJoined KORIMO_GUARDED_BY(ParkMutex) = false;  // ... by EndParked, which joins it
  pthread_t Spawner KORIMO_GUARDED_BY(ParkMutex){};
  std::condition_variable_any SpawnerWake;
};

Park& P() {
  static Park* p = new Park;  // lives for the whole process, as its threads may
  return *p;
}

// Waits for a post of `sem`, for at most `ms` milliseconds (-1: no limit).
// False when none came.
bool WaitPosted(sem_t& sem, int ms) {
  if (ms < 0) {
    while (sem_wait(&sem) != 0) {
    }
    return true;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_clockwait(&sem, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool CreateThread(void* (*main)(void*), void* arg, pthread_t* handle) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, kThreadStackBytes);
  int rc = pthread_create(handle, &attr, main, arg);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

}  // namespace

bool ThreadPark::NewCarrier(TThread* t) {
  Park& p = P();
  auto* c = new Carrier;
  {
    MutexLock lock(ParkMutex);
    c->Next = t;
    c->Epoch = p.Epoch;
    // Counted before it exists: it may have run t to its end before
    // pthread_create returns.
    ++p.Carriers;
    ++p.Created;
  }
  pthread_t handle;
  if (CreateThread(&CarrierMain, c, &handle)) return true;
  MutexLock lock(ParkMutex);
  --p.Carriers;
  --p.Created;
  delete c;
  return false;
}

void* ThreadPark::CarrierMain(void* arg) {
  auto* c = static_cast<Carrier*>(arg);
  Park& p = P();
  ParkMutex.lock();
  c->Handle = pthread_self();
  for (;;) {
    TThread* t = c->Next;
    c->Next = nullptr;
    const uint64_t epoch = c->Epoch;
    ParkMutex.unlock();
    TThread::Run(t);
    ParkMutex.lock();
    if (!p.Pending.empty()) {
      c->Next = p.Pending.front();
      p.Pending.pop_front();
      c->Epoch = p.Epoch;
      continue;
    }
    if (epoch != p.Epoch || p.IdleMs <= 0 || static_cast<int>(p.Parked.size()) >= p.MaxParked) break;
    p.Parked.push_back(c);
    const int idleMs = p.IdleMs;
    ParkMutex.unlock();
    const bool posted = WaitPosted(c->Wake, idleMs);
    ParkMutex.lock();
    if (c->Next) {
      if (!posted) {
        // Handed an object just as the idle time ran out: its post is
        // on the way.
        ParkMutex.unlock();
        WaitPosted(c->Wake, -1);
        ParkMutex.lock();
      }
      continue;
    }
    if (!c->End) p.Parked.erase(std::find(p.Parked.begin(), p.Parked.end(), c));
    break;
  }
  --p.Carriers;
  const bool joined = c->End;  // EndParked joins it and frees c
  ParkMutex.unlock();
  if (!joined) {
    pthread_detach(pthread_self());
    delete c;
  }
  return nullptr;
}

void* ThreadPark::SpawnerMain(void*) {
  NameThread("korimo-spawn");
  Park& p = P();
  ParkMutex.lock();
  for (;;) {
    if (!p.Pending.empty()) {
      TThread* t = p.Pending.front();
      p.Pending.pop_front();
      ParkMutex.unlock();
      if (!NewCarrier(t)) TThread::Abandon(t);
      ParkMutex.lock();
      continue;
    }
    if (p.SpawnerEnd) break;
    const auto idle = std::chrono::milliseconds(std::max(p.IdleMs, 1));
    if (!p.SpawnerWake.wait_for(ParkMutex, idle,
                                [&p]() KORIMO_REQUIRES(ParkMutex) { return !p.Pending.empty() || p.SpawnerEnd; })) {
      break;  // idle
    }
  }
  p.SpawnerAlive = false;
  const bool joined = p.SpawnerJoined;
  ParkMutex.unlock();
  if (!joined) pthread_detach(pthread_self());
  return nullptr;
}

bool ThreadPark::Start(TThread* t, bool selfOwned) {
  Park& p = P();
  Carrier* handed = nullptr;
  {
    MutexLock lock(ParkMutex);
    if (!p.Parked.empty()) {
      handed = p.Parked.back();
      p.Parked.pop_back();
      handed->Next = t;
      handed->Epoch = p.Epoch;
    }
  }
  if (handed) {
    // The carrier waits for this post before it runs t: it cannot be gone.
    sem_post(&handed->Wake);
    return true;
  }
  {
    MutexLock lock(ParkMutex);
    if (selfOwned) {
      p.Pending.push_back(t);
      if (p.SpawnerAlive) {
        p.SpawnerWake.notify_one();
        return true;
      }
      // The spawner is the one thread created here, once per quiet spell
      // (it ends when idle, as parked threads do).
      pthread_t handle;
      if (CreateThread(&SpawnerMain, nullptr, &handle)) {
        p.SpawnerAlive = true;
        p.SpawnerJoined = false;
        p.Spawner = handle;
        return true;
      }
      p.Pending.pop_back();
    }
  }
  return NewCarrier(t);
}

void ThreadPark::EndParked() {
  Park& p = P();
  std::vector<Carrier*> ending;
  bool joinSpawner = false;
  pthread_t spawner{};
  std::vector<pthread_t> handles;
  {
    MutexLock lock(ParkMutex);
    ++p.Epoch;
    ending.swap(p.Parked);
    for (Carrier* c : ending) {
      c->End = true;
      handles.push_back(c->Handle);
    }
    if (p.SpawnerAlive) {
      p.SpawnerEnd = true;
      p.SpawnerJoined = true;
      joinSpawner = true;
      spawner = p.Spawner;
      p.SpawnerWake.notify_one();
    }
  }
  // These carriers are freed here, after their join: posting them is safe.
  for (Carrier* c : ending) sem_post(&c->Wake);
  for (pthread_t h : handles) pthread_join(h, nullptr);
  for (Carrier* c : ending) delete c;
  if (joinSpawner) {
    pthread_join(spawner, nullptr);
    MutexLock lock(ParkMutex);
    p.SpawnerEnd = false;
  }
}

void ThreadPark::SetLimits(int maxParked, int idleMs) {
  Park& p = P();
  MutexLock lock(ParkMutex);
  p.MaxParked = maxParked;
  p.IdleMs = idleMs;
}

int ThreadPark::ParkedCount() {
  Park& p = P();
  MutexLock lock(ParkMutex);
  return static_cast<int>(p.Parked.size());
}

int ThreadPark::CarrierCount() {
  Park& p = P();
  MutexLock lock(ParkMutex);
  return p.Carriers;
}

uint64_t ThreadPark::CreatedCount() {
  Park& p = P();
  MutexLock lock(ParkMutex);
  return p.Created;
}

}  // namespace korimo
