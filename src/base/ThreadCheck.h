// Which thread is the program's main thread, and the check that
// main-thread-only operations make in every build (not an assert: release
// builds keep it).
#pragma once

namespace korimo {

// Makes the calling thread the main thread: the program at start, or a
// test before it calls main-thread operations.
void RegisterMainThread();
// True on the registered main thread; false elsewhere and while none is
// registered.
bool IsMainThread();
bool MainThreadRegistered();
// Ends the process with a message naming `what` unless called on the
// registered main thread. With none registered it fails too: a contract
// that nobody can check is a fault of the program's start-up.
void RequireMainThread(const char* what);

}  // namespace korimo
