// When the browsers of a population ask: each one first at a random phase
// within one interval of the start, then one interval after each of its
// answers. Times are nanoseconds on whatever monotonic clock the caller
// keeps; the schedule never reads a clock itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace loadgen {

class PopulationSchedule {
 public:
  struct Start {
    int browser = -1;
    int64_t due = 0;  // when the request was due; the caller's time minus this is its lag
  };

  PopulationSchedule() = default;
  PopulationSchedule(int browsers, int64_t intervalNs, uint64_t seed, int64_t start);

  // When the next request is due; kNone while every browser waits for its answer.
  int64_t NextDue() const;
  // Takes the earliest request due at or before now; false when none is.
  bool TakeDue(int64_t now, Start* out);
  // The browser's request ended at now, answered or not: it asks again one interval later.
  void Ended(int browser, int64_t now);

  static constexpr int64_t kNone = INT64_MAX;

 private:
  struct Due {
    int64_t t;
    int browser;
  };
  std::vector<Due> initial_;  // the first requests, in time order
  size_t nextInitial_ = 0;
  // The later requests: ends come in time order and the interval is one for
  // all, so appending keeps this in time order too.
  std::deque<Due> again_;
  int64_t intervalNs_ = 0;
};

}  // namespace loadgen
