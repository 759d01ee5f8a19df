#include "Schedule.h"

#include <algorithm>
#include <random>

namespace loadgen {

PopulationSchedule::PopulationSchedule(int browsers, int64_t intervalNs, uint64_t seed, int64_t start)
    : intervalNs_(intervalNs) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> phase(0.0, static_cast<double>(intervalNs));
  initial_.reserve(static_cast<size_t>(std::max(browsers, 0)));
  for (int b = 0; b < browsers; ++b) {
    // Never a full interval late, whatever the rounding of the phase.
    int64_t offset = std::min(static_cast<int64_t>(phase(rng)), std::max<int64_t>(intervalNs - 1, 0));
    initial_.push_back({start + offset, b});
  }
  std::stable_sort(initial_.begin(), initial_.end(), [](const Due& a, const Due& b) { return a.t < b.t; });
}

int64_t PopulationSchedule::NextDue() const {
  int64_t next = kNone;
  if (nextInitial_ < initial_.size()) next = initial_[nextInitial_].t;
  if (!again_.empty()) next = std::min(next, again_.front().t);
  return next;
}

bool PopulationSchedule::TakeDue(int64_t now, Start* out) {
  bool fromInitial = nextInitial_ < initial_.size() &&
                     (again_.empty() || initial_[nextInitial_].t <= again_.front().t);
  if (!fromInitial && again_.empty()) return false;
  const Due& d = fromInitial ? initial_[nextInitial_] : again_.front();
  if (d.t > now) return false;
  out->browser = d.browser;
  out->due = d.t;
  if (fromInitial)
    ++nextInitial_;
  else
    again_.pop_front();
  return true;
}

void PopulationSchedule::Ended(int browser, int64_t now) { again_.push_back({now + intervalNs_, browser}); }

}  // namespace loadgen
