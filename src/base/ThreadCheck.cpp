#include "base/ThreadCheck.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace korimo {
namespace {

// The default id: none registered. A function's static, so that a test
// program may register from a static initializer of its own.
std::atomic<std::thread::id>& Main() {
  static std::atomic<std::thread::id> main{};
  return main;
}

}  // namespace

void RegisterMainThread() { Main().store(std::this_thread::get_id(), std::memory_order_release); }

bool IsMainThread() {
  const std::thread::id main = Main().load(std::memory_order_acquire);
  return main != std::thread::id() && main == std::this_thread::get_id();
}

bool MainThreadRegistered() { return Main().load(std::memory_order_acquire) != std::thread::id(); }

void RequireMainThread(const char* what) {
  if (IsMainThread()) return;
  const bool none = !MainThreadRegistered();
  fprintf(stderr, "korimo: %s must run on the main thread (%s)\n", what,
          none ? "none is registered" : "called from another thread");
  fflush(stderr);
  abort();
}

}  // namespace korimo
