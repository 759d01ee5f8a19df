#include "chat/ChatLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korimo {
namespace {

std::tm At(int hour, int minute) {
  std::tm t{};
  t.tm_hour = hour;
  t.tm_min = minute;
  return t;
}

// A log on a clock stopped at 12:34.
ChatLog StoppedLog() {
  return ChatLog([] { return At(12, 34); });
}

std::vector<std::string> Lines(const ChatLog& log) { return *log.Snapshot(); }

TEST(ChatLogTest, StartsEmptyWithCapTwenty) {
  ChatLog log = StoppedLog();
  EXPECT_TRUE(log.Snapshot()->empty());
  EXPECT_EQ(log.MaxLines(), 20);
}

TEST(ChatLogTest, SuffixFollowsTheClock) {
  struct Case {
    int Hour, Minute;
    const char* Suffix;
  };
  const Case cases[] = {
      {9, 5, " (09:05)"}, {14, 30, " (14:30)"}, {0, 0, " (00:00)"}, {23, 59, " (23:59)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Suffix);
    EXPECT_EQ(ChatLog::TimeSuffix(At(c.Hour, c.Minute)), c.Suffix);
    ChatLog log([&] { return At(c.Hour, c.Minute); });
    log.AddChatLine("taro> hi");
    EXPECT_EQ(Lines(log), std::vector<std::string>{std::string("taro> hi") + c.Suffix});
  }
}

TEST(ChatLogTest, TextIsKeptAsItIs) {
  ChatLog log = StoppedLog();
  log.AddChatLine("");
  log.AddChatLine("  <font color=\"red\">x</font>  ");
  log.AddChatLine("\x8A\xC7\x97\x9D\x8E\xD2> \x81\x5E");  // Shift-JIS bytes
  EXPECT_EQ(Lines(log), (std::vector<std::string>{
                            " (12:34)",
                            "  <font color=\"red\">x</font>   (12:34)",
                            "\x8A\xC7\x97\x9D\x8E\xD2> \x81\x5E (12:34)",
                        }));
}

// The cap: how many lines are held and which ones survive.
struct CapCase {
  const char* Name;
  int Before;      // lines added under the default cap of 20
  int Cap;         // cap then set
  int After;       // lines then added
  int FirstKept;   // number of the oldest line left (lines are numbered from 1)
  int Count;       // lines left
};

class ChatLogCapTest : public testing::TestWithParam<CapCase> {};

TEST_P(ChatLogCapTest, KeepsTheNewestLines) {
  const CapCase& c = GetParam();
  ChatLog log([] { return At(8, 0); });
  int n = 0;
  for (int i = 0; i < c.Before; ++i) log.AddChatLine(std::to_string(++n));
  log.SetMaxLines(c.Cap);
  EXPECT_EQ(log.MaxLines(), c.Cap);
  for (int i = 0; i < c.After; ++i) log.AddChatLine(std::to_string(++n));

  std::vector<std::string> expected;
  for (int i = c.FirstKept; i < c.FirstKept + c.Count; ++i)
    expected.push_back(std::to_string(i) + " (08:00)");
  EXPECT_EQ(Lines(log), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Caps, ChatLogCapTest,
    testing::Values(
        CapCase{"TwentyFit", 20, 20, 0, 1, 20},
        CapCase{"TwentyFirstDropsFirst", 20, 20, 1, 2, 20},
        CapCase{"ManyPastTheCap", 0, 20, 45, 26, 20},
        // Lowering the cap does not trim: one out, one in.
        CapCase{"LoweredToFiveKeepsTwenty", 20, 5, 1, 2, 20},
        CapCase{"LoweredToFiveManyAdds", 20, 5, 7, 8, 20},
        CapCase{"RaisedGrowsToNewCap", 20, 22, 5, 4, 22},
        CapCase{"ZeroKeepsNewest", 0, 0, 3, 3, 1},
        CapCase{"NegativeKeepsNewest", 0, -7, 4, 4, 1},
        CapCase{"OneKeepsNewest", 0, 1, 3, 3, 1},
        CapCase{"ZeroOnFullLogKeepsCount", 20, 0, 2, 3, 20}),
    [](const testing::TestParamInfo<CapCase>& p) { return std::string(p.param.Name); });

TEST(ChatLogTest, ClearEmptiesAndKeepsTheCap) {
  ChatLog log = StoppedLog();
  log.Clear();  // on an empty log: nothing happens
  EXPECT_TRUE(log.Snapshot()->empty());

  log.SetMaxLines(3);
  for (int i = 0; i < 5; ++i) log.AddChatLine("x");
  log.Clear();
  EXPECT_TRUE(log.Snapshot()->empty());
  EXPECT_EQ(log.MaxLines(), 3);
  log.AddChatLine("after");
  EXPECT_EQ(Lines(log), std::vector<std::string>{"after (12:34)"});
}

TEST(ChatLogTest, SnapshotIsUnaffectedByLaterChanges) {
  ChatLog log = StoppedLog();
  log.SetMaxLines(2);
  log.AddChatLine("a");
  log.AddChatLine("b");
  ChatLines before = log.Snapshot();
  log.AddChatLine("c");  // drops "a"
  ChatLines middle = log.Snapshot();
  log.Clear();

  EXPECT_EQ(*before, (std::vector<std::string>{"a (12:34)", "b (12:34)"}));
  EXPECT_EQ(*middle, (std::vector<std::string>{"b (12:34)", "c (12:34)"}));
  EXPECT_TRUE(log.Snapshot()->empty());
}

TEST(ChatLogTest, ListenerHearsEveryChangeAfterItIsMade) {
  ChatLog log = StoppedLog();
  struct Event {
    bool Added;
    std::string Line;
    std::size_t CountSeen;
  };
  std::vector<Event> events;
  log.SetListener([&](const std::string* added, std::size_t count) {
    // Snapshot takes the lock: it would deadlock if called under it.
    EXPECT_EQ(count, log.Snapshot()->size());
    events.push_back({added != nullptr, added ? *added : std::string(), count});
  });
  log.SetMaxLines(1);
  log.AddChatLine("one");
  log.AddChatLine("two");
  log.Clear();
  log.Clear();

  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[0].Added);
  EXPECT_EQ(events[0].Line, "one (12:34)");
  EXPECT_EQ(events[0].CountSeen, 1u);
  EXPECT_TRUE(events[1].Added);
  EXPECT_EQ(events[1].Line, "two (12:34)");
  EXPECT_EQ(events[1].CountSeen, 1u);
  for (int i : {2, 3}) {
    EXPECT_FALSE(events[i].Added);
    EXPECT_EQ(events[i].CountSeen, 0u);
  }
}

// A reader taking snapshots while the main thread adds and clears sees
// only whole lists: never more lines than the cap, always a run of
// consecutive numbers, each a complete line.
TEST(ChatLogTest, ConcurrentSnapshotsAreConsistent) {
  constexpr int kCap = 4;
  constexpr int kAdds = 20000;
  ChatLog log([] { return At(1, 2); });
  log.SetMaxLines(kCap);

  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  std::atomic<long> snapshots{0};
  std::string failure;  // written by the reader only, read after join

  std::thread reader([&] {
    while (!done.load(std::memory_order_acquire)) {
      ChatLines lines = log.Snapshot();
      started.store(true, std::memory_order_release);
      ++snapshots;
      if (lines->size() > static_cast<std::size_t>(kCap)) {
        failure = "count " + std::to_string(lines->size()) + " above the cap";
        return;
      }
      long previous = -1;
      for (const std::string& line : *lines) {
        if (line.size() < 9 || line.compare(line.size() - 8, 8, " (01:02)") != 0) {
          failure = "torn line '" + line + "'";
          return;
        }
        const std::size_t cut = line.size() - 8;
        if (line.find_first_not_of("0123456789") != cut) {
          failure = "torn line '" + line + "'";
          return;
        }
        const long n = std::stol(line.substr(0, cut));
        if (previous >= 0 && n != previous + 1) {
          failure = "lines out of sequence: " + std::to_string(previous) + ", " + std::to_string(n);
          return;
        }
        previous = n;
      }
    }
  });
  while (!started.load(std::memory_order_acquire)) std::this_thread::yield();

  for (int i = 1; i <= kAdds; ++i) {
    log.AddChatLine(std::to_string(i));
    if (i % 97 == 0) log.Clear();
  }
  done.store(true, std::memory_order_release);
  reader.join();

  EXPECT_EQ(failure, "");
  EXPECT_GT(snapshots.load(), 0);
  EXPECT_LE(log.Snapshot()->size(), static_cast<std::size_t>(kCap));
}

}  // namespace
}  // namespace korimo
