// The operator's console: settings, Update, /show, the ways to stop, and
// start-up failure.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

// "管理者> " in CP932.
const std::string kOperator = "\x8a\xc7\x97\x9d\x8e\xd2\x3e\x20";
const std::string kFileReply = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\nhi";

std::string RefreshLine(const std::string& page) {
  std::vector<std::string> lines = SplitCrLf(page);
  return lines.size() > 20 ? lines[20] : "<short page>";  // line 21
}

TEST(Console, ShowPrintsFieldsThenChat) {
  TempDir dir;
  Server s = StartServer(dir);
  EXPECT_EQ(s->Show(), "PortNo: " + std::to_string(s.Port) + "\nMaxLine: 20\nRefresh: 5\nActive: yes\n");
  s->Type("hello");
  s->Type("/add /not a command");
  s->Type("/add");  // an empty input still adds a line
  std::string show = s->Show();
  EXPECT_TRUE(std::regex_match(show, std::regex("PortNo: " + std::to_string(s.Port) +
                                                "\nMaxLine: 20\nRefresh: 5\nActive: yes\n"
                                                "管理者> hello \\(\\d\\d:\\d\\d\\)\n"
                                                "管理者> /not a command \\(\\d\\d:\\d\\d\\)\n"
                                                "管理者>  \\(\\d\\d:\\d\\d\\)\n")))
      << show;
}

// Update reads each field as an integer; a field that does not read is
// reset to its default. The cap is observed on the page: one line more
// than the cap is added and the oldest is gone.
struct FieldCase {
  const char* Name;
  const char* Typed;      // the edit before Update
  const char* ShownLine;  // the field's line of /show after Update
  int Cap;                // the line cap in effect, 0 when not about the cap
};

class UpdateField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(UpdateField, AppliesOrResetsTheField) {
  const FieldCase& c = GetParam();
  TempDir dir;
  Server s = StartServer(dir);
  s->Type(c.Typed);
  s->Type("/update");
  std::string show = s->Show();
  EXPECT_NE(show.find(std::string("\n") + c.ShownLine + "\n"), std::string::npos) << show;
  EXPECT_NE(show.find("Active: yes\n"), std::string::npos) << show;
  EXPECT_EQ(s->Stderr().find("korimo:"), std::string::npos) << s->Stderr();
  if (c.Cap == 0) return;

  size_t outFrom = s->Stdout().size();
  for (int i = 1; i <= c.Cap + 1; ++i) s->Type("line-" + std::to_string(i));
  ASSERT_TRUE(s->WaitStdoutFrom(outFrom, "line-" + std::to_string(c.Cap + 1) + " ("));
  std::vector<std::string> expected;
  for (int i = 2; i <= c.Cap + 1; ++i) expected.push_back(kOperator + "line-" + std::to_string(i));
  EXPECT_EQ(WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi"))), expected);
}

INSTANTIATE_TEST_SUITE_P(Fields, UpdateField,
                         ::testing::Values(FieldCase{"LeadingBlank", "/maxlines  7", "MaxLine:  7", 7},
                                           FieldCase{"TrailingBlank", "/maxlines 7 ", "MaxLine: 20", 20},
                                           FieldCase{"Hexadecimal", "/maxlines $10", "MaxLine: $10", 16},
                                           FieldCase{"NotANumber", "/maxlines x", "MaxLine: 20", 0}),
                         [](const ::testing::TestParamInfo<FieldCase>& p) { return std::string(p.param.Name); });

// The chat view reads the Refresh field's text for every page, before any
// Update; Update only validates it.
TEST(Console, RefreshFieldReachesThePageAtOnce) {
  TempDir dir;
  Server s = StartServer(dir);
  struct Step {
    const char* Typed;
    const char* Field;  // the Refresh field's text afterwards
    const char* Line21;
  } steps[] = {
      {nullptr, "5", "  setInterval(\"DoRefresh()\", 5000);"},
      {"/refresh 10", "10", "  setInterval(\"DoRefresh()\", 10000);"},
      {"/update", "10", "  setInterval(\"DoRefresh()\", 10000);"},
      {"/refresh 5x", "5x", "  setInterval(\"DoRefresh()\", 5x000);"},
      {"/update", "5", "  setInterval(\"DoRefresh()\", 5000);"},
      {"/refresh", "", "  setInterval(\"DoRefresh()\", 000);"},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.Typed ? st.Typed : "(start)");
    if (st.Typed) s->Type(st.Typed);
    EXPECT_NE(s->Show().find(std::string("\nRefresh: ") + st.Field + "\nActive: yes\n"), std::string::npos);
    EXPECT_EQ(RefreshLine(Get(s.Port, "/scripts/status.cgi")), st.Line21);
  }
}

// Every way to stop ends with status 0, also with a browser connected
// that has sent nothing yet (its worker is waiting for the request).
TEST(Console, StopsWithStatusZero) {
  struct Case {
    const char* Name;
    std::function<void(Korimo&)> Stop;
  } cases[] = {
      {"/quit", [](Korimo& k) { k.Type("/quit"); }},
      {"SIGTERM", [](Korimo& k) { k.Signal(SIGTERM); }},
      {"SIGINT", [](Korimo& k) { k.Signal(SIGINT); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    Server s = StartServer(dir);
    Fd browser = Connect(s.Port);
    ASSERT_TRUE(s->Barrier());
    c.Stop(*s);
    EXPECT_EQ(s->WaitExit(Ms(10000)), std::optional<int>(0)) << s->Stderr();
    // The browser's connection was closed without an answer.
    Received r = ReadToClose(browser.get(), Ms(2000));
    EXPECT_TRUE(r.Closed);
    EXPECT_EQ(r.Bytes, "");
  }
}

// At the end of standard input the server stops reading commands but goes
// on serving, posts included (they are handled by the console's loop).
TEST(Console, EndOfInputKeepsServing) {
  TempDir dir;
  dir.AddFile("index.html", "hi");
  Server s = StartServer(dir);
  s->CloseStdin();
  EXPECT_EQ(s->WaitExit(Ms(300)), std::nullopt);
  EXPECT_EQ(Get(s.Port, "/"), kFileReply);
  size_t outFrom = s->Stdout().size();
  std::string form = Exchange(s.Port, PostRequest("handle=eve&text=still+here"));
  EXPECT_EQ(form.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
  EXPECT_TRUE(s->WaitStdoutFrom(outFrom, "eve> still here ("));
  s->Signal(SIGTERM);
  EXPECT_EQ(s->WaitExit(Ms(10000)), std::optional<int>(0));
}

TEST(Console, StartOnAPortInUseFails) {
  TempDir dir;
  int port = 0;
  Fd holder = ListenOnFreePort(port);
  Korimo k(dir.Path, {"--console", "--port", std::to_string(port)});
  ASSERT_EQ(k.spawnFailure(), 0);
  EXPECT_EQ(k.WaitExit(Ms(10000)), std::optional<int>(1));
  std::string err = k.Stderr();
  EXPECT_NE(err.find("アプリケーション エラー"), std::string::npos) << err;
  EXPECT_NE(err.find("'bind' API でWindows ソケットエラー: Address already in use (98)"), std::string::npos) << err;
  EXPECT_EQ(k.Stdout(), "");
}

// With no descriptor to spare, the calls the program cannot run without
// fail, and it says which and ends with status 1. Limits from 4
// descriptors up: the lowest may not even load the program (status 127,
// the loader's), the highest run it. At the lowest that loads, the first
// calls to want a descriptor fail (the stop signals' descriptor, the
// hand-off's wake-up): they must be the ones named, not a later failure
// they left behind, and a program without its wake-up must never run on
// with workers that would wait for ever in a hand-off.
TEST(Console, StartWithoutDescriptorsNamesTheFailingCall) {
#ifdef KORIMO_SANITIZED
  GTEST_SKIP() << "the sanitizer runtimes misreport without descriptors of their own";
#endif
  TempDir dir;
  std::vector<std::string> failures;
  bool ran = false;
  for (rlim_t limit = 4; limit < 32 && !ran; ++limit) {
    SCOPED_TRACE("descriptor limit " + std::to_string(limit));
    SpawnOptions opt;
    opt.SoftDescriptorLimit = opt.HardDescriptorLimit = limit;
    Korimo k(dir.Path, {"--console", "--port", "0"}, opt);
    ASSERT_EQ(k.spawnFailure(), 0);
    if (k.Barrier(Ms(20000))) {
      ran = true;  // enough descriptors: it serves
      k.Type("/quit");
      EXPECT_EQ(k.WaitExit(Ms(20000)), std::optional<int>(0));
      break;
    }
    std::optional<int> status = k.WaitExit(Ms(20000));
    ASSERT_TRUE(status.has_value()) << "neither serving nor ended";
    if (*status == 127) continue;  // the loader found no descriptor
    EXPECT_EQ(*status, 1) << k.Stderr();
    failures.push_back(k.Stderr());
  }
  EXPECT_TRUE(ran);
  ASSERT_FALSE(failures.empty());
  EXPECT_TRUE(std::regex_search(failures[0], std::regex("(eventfd|signalfd): Too many open files \\(24\\)")))
      << failures[0];
}

// Update to a port that is in use: the error is reported, the listener
// stays closed until an Update succeeds.
TEST(Console, UpdateToAPortInUseLeavesTheListenerClosed) {
  TempDir dir;
  dir.AddFile("index.html", "hi");
  Server s = StartServer(dir);
  int held = 0;
  Fd holder = ListenOnFreePort(held);
  s->Type("/port " + std::to_string(held));
  s->Type("/update");
  std::string show = s->Show();
  EXPECT_EQ(show, "PortNo: " + std::to_string(held) + "\nMaxLine: 20\nRefresh: 5\nActive: no\n");
  EXPECT_NE(s->Stderr().find("korimo: 'bind' API でWindows ソケットエラー: Address already in use (98)\n"),
            std::string::npos)
      << s->Stderr();
  EXPECT_FALSE(TryConnect(s.Port));  // the old listener is closed

  s->Type("/port " + std::to_string(s.Port));
  s->Type("/update");
  EXPECT_NE(s->Show().find("Active: yes\n"), std::string::npos);
  EXPECT_EQ(Get(s.Port, "/"), kFileReply);
}

// Port "abc" falls back to 80. The test never holds port 80: the server
// runs without the capability to bind low ports, so its Update fails with
// the bind error; a later Update to a free port reopens it.
TEST(Console, UpdateWithBadPortFallsBackTo80) {
  int unprivilegedStart = 0;
  std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivilegedStart;
  if (unprivilegedStart <= 80) GTEST_SKIP() << "port 80 may be bound without privilege here";
  TempDir dir;
  dir.AddFile("index.html", "hi");
  Server s;
  try {
    SpawnOptions opt;
    opt.DropBindCapability = true;
    s = StartServer(dir, opt);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "cannot run without the bind capability: " << e.what();
  }
  {
    // The capability must really be gone from the server's effective set.
    std::ifstream status("/proc/" + std::to_string(s->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("CapEff:", 0) != 0) continue;
      unsigned long long eff = std::stoull(line.substr(7), nullptr, 16);
      if (eff & (1ull << CAP_NET_BIND_SERVICE)) GTEST_SKIP() << "server still holds the bind capability";
    }
  }
  s->Type("/port abc");
  s->Type("/update");
  EXPECT_EQ(s->Show(), "PortNo: 80\nMaxLine: 20\nRefresh: 5\nActive: no\n");
  EXPECT_NE(s->Stderr().find("korimo: 'bind' API でWindows ソケットエラー: Permission denied (13)\n"),
            std::string::npos)
      << s->Stderr();
  EXPECT_FALSE(TryConnect(s.Port));

  int port = PickFreePort();
  s->Type("/port " + std::to_string(port));
  s->Type("/update");
  EXPECT_EQ(s->Show(), "PortNo: " + std::to_string(port) + "\nMaxLine: 20\nRefresh: 5\nActive: yes\n");
  EXPECT_EQ(Get(port, "/"), kFileReply);
}

}  // namespace
}  // namespace korimo::e2e
