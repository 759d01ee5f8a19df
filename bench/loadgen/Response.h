// Checks one HTTP/1.0 response whose end is the server's close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace loadgen {

enum class Outcome {
  Ok,
  Short,      // closed before a whole status line, header or the expected body arrived
  Malformed,  // not "HTTP/1.0 " or "HTTP/1.1 " with a 3-digit code, or a body that is too long
  Status,     // well-formed, but the code is not 2xx
};

const char* OutcomeName(Outcome o);

class ResponseCheck {
 public:
  // Header bytes kept for the check; a header longer than this is malformed.
  static constexpr size_t kHeaderCap = 8192;

  void Reset();
  void Feed(const char* data, size_t n);
  // Judges the bytes fed so far as a complete response (the server has closed).
  // expectBytes / minBytes: -1 for no check of the body length.
  Outcome Finish(long long expectBytes, long long minBytes) const;

  uint64_t total() const { return total_; }
  // Status code, or -1 while no valid status line has been seen.
  int status() const;
  // Body bytes, or -1 while the header has not ended.
  long long bodyBytes() const;

 private:
  std::string head_;
  uint64_t total_ = 0;
  long long headerLen_ = -1;  // bytes up to and including the empty line
};

}  // namespace loadgen
