#include "Response.h"

#include <algorithm>
#include <cstring>

namespace loadgen {

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::Ok: return "ok";
    case Outcome::Short: return "short";
    case Outcome::Malformed: return "malformed";
    case Outcome::Status: return "status";
  }
  return "?";
}

void ResponseCheck::Reset() {
  head_.clear();
  total_ = 0;
  headerLen_ = -1;
}

void ResponseCheck::Feed(const char* data, size_t n) {
  total_ += n;
  if (headerLen_ >= 0 || head_.size() >= kHeaderCap) return;
  size_t from = head_.size() >= 3 ? head_.size() - 3 : 0;
  head_.append(data, std::min(n, kHeaderCap - head_.size()));
  for (size_t i = from; i < head_.size(); ++i) {
    if (head_[i] != '\n') continue;
    if (i >= 1 && head_[i - 1] == '\n') {
      headerLen_ = static_cast<long long>(i + 1);
    } else if (i >= 3 && head_[i - 1] == '\r' && head_[i - 2] == '\n' && head_[i - 3] == '\r') {
      headerLen_ = static_cast<long long>(i + 1);
    }
    if (headerLen_ >= 0) break;
  }
}

namespace {

// "HTTP/1.x DDD" with x in {0,1}; '#' stands for a digit.
constexpr char kPattern[] = "HTTP/1.# ###";
constexpr size_t kPatternLen = sizeof(kPattern) - 1;

bool Matches(char c, size_t i) {
  char p = kPattern[i];
  if (i == 7) return c == '0' || c == '1';
  if (p == '#') return c >= '0' && c <= '9';
  return c == p;
}

}  // namespace

int ResponseCheck::status() const {
  if (head_.size() < kPatternLen) return -1;
  for (size_t i = 0; i < kPatternLen; ++i)
    if (!Matches(head_[i], i)) return -1;
  if (head_.size() > kPatternLen) {
    char c = head_[kPatternLen];
    if (c != ' ' && c != '\r' && c != '\n') return -1;
  }
  return (head_[9] - '0') * 100 + (head_[10] - '0') * 10 + (head_[11] - '0');
}

long long ResponseCheck::bodyBytes() const {
  if (headerLen_ < 0) return -1;
  return static_cast<long long>(total_) - headerLen_;
}

Outcome ResponseCheck::Finish(long long expectBytes, long long minBytes) const {
  size_t n = std::min(head_.size(), kPatternLen);
  for (size_t i = 0; i < n; ++i)
    if (!Matches(head_[i], i)) return Outcome::Malformed;
  if (head_.size() < kPatternLen) return Outcome::Short;
  int code = status();
  if (code < 0) return Outcome::Malformed;
  if (headerLen_ < 0)
    return head_.size() >= kHeaderCap ? Outcome::Malformed : Outcome::Short;
  if (code < 200 || code > 299) return Outcome::Status;
  long long body = bodyBytes();
  if (expectBytes >= 0 && body < expectBytes) return Outcome::Short;
  if (expectBytes >= 0 && body > expectBytes) return Outcome::Malformed;
  if (minBytes >= 0 && body < minBytes) return Outcome::Short;
  return Outcome::Ok;
}

}  // namespace loadgen
