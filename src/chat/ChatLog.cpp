#include "chat/ChatLog.h"

#include <cstddef>
#include <utility>

#include "base/Limits.h"
#include "base/ThreadCheck.h"

namespace korimo {

namespace {

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return t;
}

const ChatLines& EmptyLines() {
  static const ChatLines kEmpty = std::make_shared<const std::vector<std::string>>();
  return kEmpty;
}

}  // namespace

ChatLog::ChatLog(Clock clock)
    : Now(clock ? std::move(clock) : Clock(LocalNow)), Lines(EmptyLines()), Cap(kDefaultMaxLines) {}

void ChatLog::AddChatLine(const std::string& text) {
  RequireMainThread("ChatLog::AddChatLine");
  std::string line = text + TimeSuffix(Now());
  const std::string* added = nullptr;
  std::size_t count = 0;
  ChatLines old;  // released after the lock, by whoever holds it last
  {
    MutexLock lock(Mutex);
    const std::vector<std::string>& cur = *Lines;
    // At or above the cap exactly one oldest line goes, however far above.
    const std::size_t drop = (!cur.empty() && static_cast<long long>(cur.size()) >= Cap) ? 1 : 0;
    auto next = std::make_shared<std::vector<std::string>>();
    next->reserve(cur.size() - drop + 1);
    next->insert(next->end(), cur.begin() + static_cast<std::ptrdiff_t>(drop), cur.end());
    next->push_back(std::move(line));
    added = &next->back();
    count = next->size();
    old = std::exchange(Lines, std::move(next));
  }
  old.reset();
  // `added` lives in the list just published; only this (main) thread
  // replaces that list, so it stays valid through the call.
  if (OnChange) OnChange(added, count);
}

void ChatLog::Clear() {
  RequireMainThread("ChatLog::Clear");
  ChatLines old;
  {
    MutexLock lock(Mutex);
    old = std::exchange(Lines, EmptyLines());
  }
  old.reset();  // the last holder frees the lines outside the lock
  if (OnChange) OnChange(nullptr, 0);
}

ChatLines ChatLog::Snapshot() const {
  MutexLock lock(Mutex);
  return Lines;
}

void ChatLog::SetMaxLines(int n) {
  RequireMainThread("ChatLog::SetMaxLines");
  MutexLock lock(Mutex);
  Cap = n;
}

int ChatLog::MaxLines() const {
  MutexLock lock(Mutex);
  return Cap;
}

void ChatLog::SetListener(Listener listener) { OnChange = std::move(listener); }

std::string ChatLog::TimeSuffix(const std::tm& t) {
  auto two = [](int v, char* out) {
    if (v < 0) v = 0;
    out[0] = static_cast<char>('0' + (v / 10) % 10);
    out[1] = static_cast<char>('0' + v % 10);
  };
  char buf[8] = {' ', '(', 0, 0, ':', 0, 0, ')'};
  two(t.tm_hour, buf + 2);
  two(t.tm_min, buf + 5);
  return std::string(buf, sizeof buf);
}

}  // namespace korimo
