// The chat: a short, ordered, capped list of Shift-JIS display lines.
//
// Thread contract: AddChatLine, Clear and SetMaxLines run on the main thread
// only. Snapshot may be called from any thread at any time. Lines is
// guarded by Mutex; a snapshot is an immutable list shared with the log
// until the next change replaces it, so taking one costs no copy.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Sync.h"

namespace korimo {

using ChatLines = std::shared_ptr<const std::vector<std::string>>;

class ChatLog {
 public:
  // Local wall-clock time now; tests pass a fixed clock.
  using Clock = std::function<std::tm()>;
  // Told on the main thread after every change: the added line (with its
  // time suffix), or nullptr after Clear, and how many lines the log holds
  // now.
  using Listener = std::function<void(const std::string* added, std::size_t count)>;

  explicit ChatLog(Clock clock = nullptr);

  // Removes the oldest line when the count is at or above the cap (exactly
  // one, whatever the cap), then appends text + " (hh:nn)".
  void AddChatLine(const std::string& text);
  void Clear();
  ChatLines Snapshot() const;

  void SetMaxLines(int n);
  int MaxLines() const;

  void SetListener(Listener listener);

  // " (hh:nn)" for the given time.
  static std::string TimeSuffix(const std::tm& t);

 private:
  const Clock Now;
  Listener OnChange;  // main thread only
  mutable TMutex Mutex;
  ChatLines Lines KORIMO_GUARDED_BY(Mutex);
  int Cap KORIMO_GUARDED_BY(Mutex);
};

}  // namespace korimo
