// Clang's thread-safety annotations; empty under other compilers.
#pragma once

#if defined(__clang__)
#define KORIMO_TSA(x) __attribute__((x))
#else
#define KORIMO_TSA(x)
#endif

#define KORIMO_CAPABILITY(x) KORIMO_TSA(capability(x))
#define KORIMO_GUARDED_BY(x) KORIMO_TSA(guarded_by(x))
#define KORIMO_PT_GUARDED_BY(x) KORIMO_TSA(pt_guarded_by(x))
#define KORIMO_REQUIRES(...) KORIMO_TSA(requires_capability(__VA_ARGS__))
#define KORIMO_ACQUIRE(...) KORIMO_TSA(acquire_capability(__VA_ARGS__))
#define KORIMO_RELEASE(...) KORIMO_TSA(release_capability(__VA_ARGS__))
#define KORIMO_EXCLUDES(...) KORIMO_TSA(locks_excluded(__VA_ARGS__))
#define KORIMO_NO_TSA KORIMO_TSA(no_thread_safety_analysis)
#define KORIMO_RETURN_CAPABILITY(x) KORIMO_TSA(lock_returned(x))
