// Every wait, size and cap of the server in one place.
#pragma once

#include <sys/socket.h>

#include <cstddef>

namespace korimo {

// Listener
inline constexpr int kDefaultPort = 80;
// Listen queue: the platform's largest (the kernel cuts it further to
// net.core.somaxconn). A short queue drops the SYNs of a burst of browsers,
// which then wait 1, 3 or 7 s to retry, and resets those that came back
// with a cookie. Larger requests are cut to this.
inline constexpr int kMaxBacklog = SOMAXCONN;
inline constexpr int kThreadCacheSize = 10;    // idle workers kept for reuse
// Live workers at most (busy and cached). Past it a connection that has
// sent nothing for kIdleGraceMs gives way to the newest, oldest first; with
// none such, new connections wait in the listen queue. Keeps a crowd of
// silent connections from taking every thread and map of the machine.
inline constexpr int kMaxWorkers = 4096;
inline constexpr int kIdleGraceMs = 2000;      // a browser sends its request at once

// Reading one request
inline constexpr int kIoTimeoutMs = 60000;     // limit of one socket stream read
inline constexpr int kFirstChunkWaitMs = 60000;
inline constexpr int kNextChunkWaitMs = 200;   // a pause this long ends a request
inline constexpr int kPostChunkWaitMs = 2000;  // ... or this long when it is a POST
inline constexpr std::size_t kChunkSize = 64;  // bytes taken by one read
// Largest request text kept. No browser form comes near it; reading stops
// here and the request is answered from what was read.
inline constexpr std::size_t kMaxRequestBytes = 1024 * 1024;
// Longest time one request may take to arrive, from its first byte. A
// client trickling bytes just inside the pause would otherwise hold its
// worker for ever.
inline constexpr int kMaxRequestReadMs = 60000;

// Sending
inline constexpr std::size_t kStreamPieceSize = 4096;  // file pieces, one fixed buffer
// A send that makes no progress for this long fails (the client stopped
// reading); a slow but steady reader goes on being served. The same as
// the read limit kIoTimeoutMs.
inline constexpr int kSendTimeoutMs = kIoTimeoutMs;

// After a response, what a client still sends is read and dropped for at
// most this long / this much before the close (see DrainBeforeClose).
inline constexpr int kDrainMs = 2000;
inline constexpr int kDrainBytes = 64 * 1024;

// Threads
// Stack of a worker or accept thread. A worker keeps its buffers on the
// heap, so a small stack is plenty; sanitizers need more room.
#if defined(KORIMO_SANITIZED) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kThreadStackBytes = 1024 * 1024;
#else
inline constexpr std::size_t kThreadStackBytes = 128 * 1024;
#endif

// A platform thread whose thread object has ended parks for the next one
// to start: at most this many park at once, each for at most this long
// with nothing to run. A connection beyond the worker cache then costs a
// wake-up instead of a clone and an exit.
inline constexpr int kMaxParkedThreads = 1024;
inline constexpr int kParkedIdleMs = 3000;

// Back-off after an accept that failed for want of descriptors or memory:
// the connection stays queued, and retrying at once would only spin.
inline constexpr int kAcceptRetryMs = 50;

// Chat and the operator's settings: the defaults of the three fields.
inline constexpr int kDefaultMaxLines = 20;
inline constexpr int kDefaultRefreshSeconds = 5;

// Platform error texts are cut to this many bytes.
inline constexpr std::size_t kMaxErrorTextBytes = 256;

}  // namespace korimo
