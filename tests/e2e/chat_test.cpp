// The chat through real connections: browsers post and read, the operator
// types on the console, and everyone sees the same lines.
#include <gtest/gtest.h>

#include <latch>
#include <map>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

const std::string kOkHtml = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";
// "管理者> こんにちは" in CP932.
const std::string kOperatorHello = "\x8a\xc7\x97\x9d\x8e\xd2\x3e\x20\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd";

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(Chat, BrowsersAndOperatorShareTheChat) {
  TempDir dir;
  Server s = StartServer(dir);
  size_t outFrom = s->Stdout().size();

  // A browser posts; it gets the form back with its handle and colour.
  std::string form = Exchange(s.Port, PostRequest("handle=bob&text=hi&color=Red"));
  EXPECT_EQ(form.rfind(kOkHtml, 0), 0u) << form;
  EXPECT_NE(form.find("<input type=\"text\" name=\"handle\" size=\"6\" value=\"bob\"> \r\n"), std::string::npos);
  EXPECT_NE(form.find("  <input type=\"radio\" value=\"Red\" name=\"color\" checked> <font color=\"red\">"),
            std::string::npos);
  EXPECT_EQ(Count(form, "checked"), 1u);
  EXPECT_NE(form.find("<input type=\"text\" name=\"text\" size=\"50\">\r\n"), std::string::npos);

  const std::string bobLine = "bob> <font color=\"red\">hi</font>";
  EXPECT_TRUE(s->WaitStdoutFrom(outFrom, bobLine + " ("));

  // Another browser reads the chat.
  std::string page = Get(s.Port, "/scripts/status.cgi");
  EXPECT_EQ(page.rfind(kOkHtml + "<HTML><HEAD>\r\n", 0), 0u);
  std::vector<std::string> lines = ChatLinesOfPage(page);
  ASSERT_EQ(lines.size(), 1u) << page;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("bob> <font color=\"red\">hi</font> \\(\\d\\d:\\d\\d\\)")))
      << lines[0];
  EXPECT_NE(page.find("<p>\r\n<a name=\"btm\">\r\n" + lines[0] + "<br>\r\n</p>\r\n"), std::string::npos);

  // The operator types a line: UTF-8 on the console, CP932 on the page.
  s->Type("こんにちは");
  EXPECT_TRUE(s->WaitStdoutFrom(outFrom, "\n管理者> こんにちは ("));
  EXPECT_EQ(WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi"))),
            (std::vector<std::string>{bobLine, kOperatorHello}));

  // Letter case and folders do not matter for the script; any method reads it.
  EXPECT_EQ(ChatLinesOfPage(Get(s.Port, "/x/Scripts/STATUS.CGI?x=1")).size(), 2u);
  EXPECT_EQ(ChatLinesOfPage(Exchange(s.Port, "HEAD /scripts/status.cgi HTTP/1.0\r\n\r\n")).size(), 2u);

  // "/clear" empties the page.
  s->Type("/clear");
  ASSERT_TRUE(s->Barrier());
  page = Get(s.Port, "/scripts/status.cgi");
  EXPECT_NE(page.find("\r\n<p>\r\n</p>\r\n"), std::string::npos) << page;
  EXPECT_EQ(page.find("<br>"), std::string::npos);
  EXPECT_EQ(page.find("<a name="), std::string::npos);
}

// A post without a handle is signed with the browser's address; a
// percent-encoded CP932 handle arrives as written.
TEST(Chat, PostsSignedByHandleOrAddress) {
  TempDir dir;
  Server s = StartServer(dir);
  struct Case {
    std::string Body;
    std::string Line;         // on the page, CP932, without the time
    std::string ConsoleLine;  // on the console, UTF-8
    size_t Checked;           // radio buttons checked in the returned form
  } cases[] = {
      {"text=hi&color=Black", "127.0.0.1> hi", "127.0.0.1> hi", 1},
      {"handle=%91%BE%98Y&text=a+b%2Bc&color=red", "\x91\xbe\x98Y> a b+c", "太郎> a b+c", 0},
      {"handle=amy&text=&color=Blue", "amy> <font color=\"blue\"></font>", "amy> <font color=\"blue\"></font>", 1},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Body);
    size_t outFrom = s->Stdout().size();
    std::string form = Exchange(s.Port, PostRequest(c.Body));
    EXPECT_EQ(form.rfind(kOkHtml, 0), 0u);
    EXPECT_EQ(Count(form, "checked"), c.Checked);
    EXPECT_TRUE(s->WaitStdoutFrom(outFrom, c.ConsoleLine + " ("));
    expected.push_back(c.Line);
  }
  EXPECT_EQ(WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi"))), expected);
}

// Fifty browsers post at once over their own connections: every post
// becomes exactly one whole line.
TEST(Chat, FiftyConcurrentPostsAllLand) {
  TempDir dir;
  Server s = StartServer(dir);
  s->Type("/maxlines 100");
  s->Type("/update");
  ASSERT_TRUE(s->Barrier());
  ASSERT_NE(s->Show().find("MaxLine: 100\nRefresh: 5\nActive: yes\n"), std::string::npos);

  constexpr int kPosts = 50;
  // Long enough to span several reads of the request on the server.
  auto message = [](int i) {
    std::string m = "m" + std::to_string(i) + "-";
    for (int k = 0; k < 12; ++k) m += "abcdefghij";
    return m + "-end" + std::to_string(i);
  };
  // The connections are opened one after another, paced by the accept
  // queue (a burst beyond the backlog of 5 is dropped or reset by the
  // kernel before the server sees it), and stay silent: a silent connection
  // is waited for 60 s. Then all fifty post at once.
  std::vector<Fd> conns;
  for (int i = 0; i < kPosts; ++i) conns.push_back(ConnectPaced(s.Port));
  std::vector<std::string> replies(kPosts);
  std::latch go(1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kPosts; ++i) {
    threads.emplace_back([&, i] {
      go.wait();
      try {
        SendAll(conns[i].get(), PostRequest("handle=u" + std::to_string(i) + "&text=" + message(i) + "&color=Purple"));
        shutdown(conns[i].get(), SHUT_WR);
        Received r = ReadToClose(conns[i].get());
        replies[i] = r.Bytes;
        if (!r.Closed) replies[i] += "<no close within 5 s>";
        if (r.Error) replies[i] += "<connection failed: " + std::string(strerror(r.Error)) + ">";
      } catch (const std::exception& e) {
        replies[i] = e.what();
      }
    });
  }
  go.count_down();
  for (auto& t : threads) t.join();

  std::map<std::string, int> wanted;
  for (int i = 0; i < kPosts; ++i) {
    std::string handle = "u" + std::to_string(i);
    EXPECT_NE(replies[i].find("value=\"" + handle + "\"> \r\n"), std::string::npos)
        << "reply of " << replies[i].size() << " bytes: " << replies[i].substr(0, 300);
    wanted[handle + "> <font color=\"#9400d3\">" + message(i) + "</font>"] = 0;
  }
  std::vector<std::string> lines = WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi")));
  EXPECT_EQ(lines.size(), static_cast<size_t>(kPosts));
  for (const std::string& l : lines) {
    auto it = wanted.find(l);
    if (it == wanted.end()) {
      ADD_FAILURE() << "unexpected line: " << l;
    } else {
      ++it->second;
    }
  }
  for (const auto& [line, seen] : wanted) EXPECT_EQ(seen, 1) << line;
  EXPECT_EQ(s->Stderr().find("korimo:"), std::string::npos) << s->Stderr();
}

}  // namespace
}  // namespace korimo::e2e
