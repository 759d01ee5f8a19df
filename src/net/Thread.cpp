#include "net/Thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
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
    throw Exception("eventfd: " + SysErrorMessage(q.FdError) + " (" + std::to_string(q.FdError) + ")");
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
  if (!Finished()) {
    StopRequested = true;
    WaitFor();
  }
  pthread_join(Handle, nullptr);
}

bool TThread::Start() {
  if (Running) return true;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStackBytes);
  // Marked before the thread exists: a thread that destroys itself when
  // done may be gone before pthread_create returns, so nothing of this
  // object is touched after it.
  Running = true;
  pthread_t handle;  // the thread records its own handle in Handle
  int rc = pthread_create(&handle, &attr, &TThread::Proc, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) Running = false;
  return rc == 0;
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

void* TThread::Proc(void* arg) {
  TThread* self = static_cast<TThread*>(arg);
  self->Handle = pthread_self();  // read by the owner only after Finished()
  pthread_setname_np(self->Handle, self->ThreadName());
  try {
    self->RunThread();
  } catch (...) {
    // A body lets nothing escape; if one does, the thread still ends cleanly.
  }
  self->FinishThread();
  bool destroy;
  {
    MutexLock lock(self->StateLock);
    destroy = self->DestroyWhenDone;
    if (destroy) self->Detached = true;
  }
  if (destroy) {
    pthread_detach(pthread_self());
    self->FinishedFlag.store(true, std::memory_order_release);
    delete self;
    MainThread::Notify();
    return nullptr;
  }
  self->FinishedFlag.store(true, std::memory_order_release);
  // The owner may destroy the object from here on; it joins us first, so
  // touching nothing of it below is all that is needed.
  MainThread::Notify();
  return nullptr;
}

}  // namespace korimo
