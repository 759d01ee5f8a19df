// Posting: one submission of the form becomes one chat line, on the main
// thread, named by the handle or the browser's address, coloured by name.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/Thread.h"
#include "web_support.h"

namespace korimo {
namespace {

// A fixed clock (every suffix " (00:00)") and room for every post.
class Host : public testing_support::MemoryChatHost {
 public:
  Host() : MemoryChatHost([] { return std::tm{}; }) { Log.SetMaxLines(1000); }
};

// One post on a memory connection from 127.0.0.1.
struct Posting {
  explicit Posting(Host* shared = nullptr) : Log(shared ? *shared : H), S(Log) {}
  // The line the body adds, without its time suffix.
  std::string Post(const std::string& body) {
    S.Command.Body = body;
    S.Service.PostChatMessage();
    ChatLines lines = H.ChatSnapshot();
    EXPECT_EQ(lines->size(), 1u);
    if (lines->empty()) return "(none)";
    const std::string suffix = " (00:00)";
    std::string line = lines->back();
    EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix);
    return line.substr(0, line.size() - suffix.size());
  }
  Host H;
  Host& Log;
  testing_support::MemoryService S;
};

struct Case {
  const char* Body;  // as decoded by the parser
  const char* Line;
};

TEST(PostChatMessage, MakesOneLineFromTheFields) {
  const Case cases[] = {
      {"handle=bob&text=hi&color=Red", "bob> <font color=\"red\">hi</font>"},
      {"handle=bob&text=hi&color=Blue", "bob> <font color=\"blue\">hi</font>"},
      {"handle=bob&text=hi&color=Green", "bob> <font color=\"green\">hi</font>"},
      {"handle=bob&text=hi&color=Orange", "bob> <font color=\"#ff8c00\">hi</font>"},
      {"handle=bob&text=hi&color=Purple", "bob> <font color=\"#9400d3\">hi</font>"},
      {"handle=bob&text=hi&color=Black", "bob> hi"},
      {"handle=bob&text=hi&color=red", "bob> hi"},
      {"handle=bob&text=hi&color=PURPLE", "bob> hi"},
      {"handle=bob&text=hi", "bob> hi"},
      {"text=hi&color=Black", "127.0.0.1> hi"},
      {"handle=&text=hi", "127.0.0.1> hi"},
      {"handle=   &text=hi", "127.0.0.1> hi"},
      {"handle=bob&text=&color=Blue", "bob> <font color=\"blue\"></font>"},
      {"handle=bob", "bob> "},
      {"", "127.0.0.1> "},
      {"handle=bob&text=<b>bold</b>", "bob> <b>bold</b>"},
      // The parser decoded "Tom+%26+Jerry": the '&' ends the field.
      {"handle=bob&text=Tom & Jerry", "bob> Tom"},
      {"handle=  bob  &text=  hi  ", "bob> hi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Body);
    Posting p;
    EXPECT_EQ(p.Post(c.Body), c.Line);
  }
}

// The address is read from the connection: once it is gone, the line
// starts with "> ".
TEST(PostChatMessage, WithoutHandleOnAClosedConnectionTheLineStartsWithTheMarker) {
  Posting p;
  p.S.Conn.Closed = true;
  EXPECT_EQ(p.Post("text=hi"), "> hi");
}

// Posts handed over from many workers at once reach the log one at a time,
// each whole.
TEST(PostChatMessage, ConcurrentHandOffsAddWholeLines) {
  MainThread::Register();
  constexpr int kWorkers = 8, kPosts = 25;
  Host shared;
  std::vector<std::unique_ptr<Posting>> postings;
  for (int i = 0; i < kWorkers; ++i) postings.push_back(std::make_unique<Posting>(&shared));
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kPosts; ++n) {
        testing_support::MemoryService& s = postings[i]->S;
        s.Command.Body = "handle=w" + std::to_string(i) + "&text=" + std::to_string(n);
        RunOnMainThread([&s] { s.Service.PostChatMessage(); });
      }
      ++done;
      MainThread::Notify();
    });
  }
  MainThread::WaitServing([&] { return done.load() == kWorkers; });
  for (auto& t : threads) t.join();
  ChatLines lines = shared.ChatSnapshot();
  ASSERT_EQ(lines->size(), static_cast<size_t>(kWorkers * kPosts));
  std::vector<int> next(kWorkers, 0);
  for (const std::string& line : *lines) {
    int w = 0, n = 0;
    ASSERT_EQ(sscanf(line.c_str(), "w%d> %d (00:00)", &w, &n), 2) << line;
    EXPECT_EQ(n, next[w]++) << "posts of one worker keep their order";
  }
}

}  // namespace
}  // namespace korimo
