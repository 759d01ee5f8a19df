// The epoll engine: runs one load case and reports what it saw.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"

namespace loadgen {

enum class ErrorKind { Refused, Reset, Timeout, Short, Malformed, Status, Other };
constexpr size_t kErrorKinds = 7;
const char* ErrorName(ErrorKind k);

struct Percentiles {
  uint64_t n = 0;
  double p50 = 0, p90 = 0, p99 = 0, max = 0;  // milliseconds
};
// Nearest-rank percentiles of samples in microseconds (the vector is reordered).
Percentiles ComputePercentiles(std::vector<uint32_t>& samplesUs);

struct Report {
  Options options;
  double window = 0;     // s of load over which rate and throughput are taken
  double elapsed = 0;    // s of the whole run: idle set-up, load and drain
  uint64_t started = 0;  // requests started
  uint64_t ok = 0;
  uint64_t okInWindow = 0;
  std::array<uint64_t, kErrorKinds> errors{};
  uint64_t cut = 0;  // in flight at the drain limit (also counted as timeouts)
  uint64_t bytes = 0, bytesInWindow = 0;  // every byte received
  uint64_t okBytesInWindow = 0;            // bytes in the window of answers that ended well
  Percentiles latency;  // successful requests, connect start to the server's close
  Percentiles connect;  // every completed connect
  long long bodyMin = -1, bodyMax = -1;
  int idleWanted = 0, idleHeld = 0;  // held = open when the load ended
  uint64_t idleLost = 0, idleFailed = 0;
  double idleSetup = 0;  // s taken to open the idle connections
  double nominalRate = 0;
  uint64_t late = 0;     // population requests started more than 50 ms after their time
  double maxLagMs = 0;
  int maxInflight = 0;   // most requests in flight at once
  int inflightCap = 0;
  uint64_t addrRetries = 0;
  int sources = 1;

  uint64_t errorTotal() const;
  uint64_t error(ErrorKind k) const { return errors[static_cast<size_t>(k)]; }
  double rate() const { return window > 0 ? okInWindow / window : 0; }
  double mibPerSec() const { return window > 0 ? bytesInWindow / window / 1048576.0 : 0; }
  double okMibPerSec() const { return window > 0 ? okBytesInWindow / window / 1048576.0 : 0; }
};

// Runs one case; on a set-up failure returns false with *error filled.
bool Run(const Options& options, Report* report, std::string* error);

std::string FormatHuman(const Report& r);
std::string FormatResult(const Report& r);  // one line "RESULT key=value ..."

// Raises RLIMIT_NOFILE to its hard limit; gives the resulting soft limit.
long RaiseFileLimit();
// Binds 127.0.0.1:0, reads the port the system chose, closes; 0 on failure.
uint16_t FreeLoopbackPort();

}  // namespace loadgen
