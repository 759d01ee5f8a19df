// Every test program registers the thread that runs its tests as the main
// thread before any test starts, as the program itself does at start-up:
// main-thread-only operations check it.
#include "base/ThreadCheck.h"

namespace {
const bool kRegistered = (korimo::RegisterMainThread(), true);
}  // namespace
