// Where the server works: --directory and --user-data seed a missing root/
// with the shipped start page and never touch an existing one; a folder
// that cannot be used stops the start. --quiet keeps the chat off stdout.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kShipped = fs::path(KORIMO_SOURCE_DIR) / "root";

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Body(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "<no head>" : reply.substr(end + 4);
}

// A folder with nothing in it (TempDir's root/ taken away).
struct EmptyDir : TempDir {
  EmptyDir() { fs::remove(Path / "root"); }
};

struct SeedCase {
  const char* Name;
  std::function<void(const fs::path&)> Prepare;  // makes the folder's root/ (or not)
  std::string IndexBody;                          // what GET / must answer
  bool Seeded;
};

void PrintTo(const SeedCase& c, std::ostream* os) { *os << c.Name; }

class Directory : public ::testing::TestWithParam<SeedCase> {};

TEST_P(Directory, SeedsOnlyAMissingRoot) {
  const SeedCase& c = GetParam();
  TempDir start;  // where the program is started
  EmptyDir work;
  c.Prepare(work.Path);
  auto before = fs::exists(work.Path / "root") ? fs::last_write_time(work.Path / "root") : fs::file_time_type();
  SpawnOptions opt;
  opt.ExtraArgs = {"--directory", work.Path.string()};
  Server s = StartServer(start, opt);
  EXPECT_EQ(Body(Get(s.Port, "/")), c.IndexBody);
  EXPECT_EQ(s->Stderr().find("seeded") != std::string::npos, c.Seeded) << s->Stderr();
  if (c.Seeded) {
    for (const char* f : {"index.html", "post.html"}) {
      EXPECT_EQ(ReadFile(work.Path / "root" / f), ReadFile(kShipped / f)) << f;
    }
    EXPECT_EQ(fs::status(work.Path / "root").permissions() & fs::perms::owner_write, fs::perms::owner_write);
  } else {
    EXPECT_FALSE(fs::exists(work.Path / "root" / "post.html")) << "an existing root/ was added to";
    EXPECT_EQ(fs::last_write_time(work.Path / "root"), before);
  }
  // Nothing is left beside root/ (no half-made seeding folder).
  EXPECT_EQ(std::distance(fs::directory_iterator(work.Path), fs::directory_iterator()), 1);
  s->Signal(SIGTERM);
  EXPECT_EQ(s->WaitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Directory,
    ::testing::Values(SeedCase{"Missing", [](const fs::path&) {}, ReadFile(kShipped / "index.html"), true},
                      SeedCase{"OperatorsOwn",
                               [](const fs::path& d) {
                                 fs::create_directory(d / "root");
                                 std::ofstream(d / "root" / "index.html") << "mine";
                               },
                               "mine", false},
                      SeedCase{"EmptyRootStaysEmpty",
                               [](const fs::path& d) { fs::create_directory(d / "root"); },
                               Body(ShortNotFoundPage()), false}),
    [](const ::testing::TestParamInfo<SeedCase>& p) { return std::string(p.param.Name); });

// --user-data: $XDG_DATA_HOME/korimo when that is absolute, else
// $HOME/.local/share/korimo; missing folders are made.
struct UserDataCase {
  const char* Name;
  const char* Xdg;   // under the test's folder, or as given when not starting with "/"; null: unset
  const char* Home;  // under the test's folder
  const char* Expected;
};

void PrintTo(const UserDataCase& c, std::ostream* os) { *os << c.Name; }

class UserData : public ::testing::TestWithParam<UserDataCase> {};

TEST_P(UserData, FindsAndSeedsTheFolder) {
  const UserDataCase& c = GetParam();
  TempDir start;
  EmptyDir base;
  SpawnOptions opt;
  opt.ExtraArgs = {"--user-data"};
  opt.Environment = {"HOME=" + (base.Path / c.Home).string()};
  if (!c.Xdg) {
    opt.Environment.push_back("XDG_DATA_HOME");
  } else if (c.Xdg[0] == '/') {
    opt.Environment.push_back("XDG_DATA_HOME=" + (base.Path / (c.Xdg + 1)).string());
  } else {
    opt.Environment.push_back(std::string("XDG_DATA_HOME=") + c.Xdg);
  }
  Server s = StartServer(start, opt);
  EXPECT_EQ(ReadFile(base.Path / c.Expected / "root" / "index.html"), ReadFile(kShipped / "index.html"));
  EXPECT_EQ(Body(Get(s.Port, "/")), ReadFile(kShipped / "index.html"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserData,
    ::testing::Values(UserDataCase{"XdgDataHome", "/data", "home", "data/korimo"},
                      UserDataCase{"NoXdgDataHome", nullptr, "home", "home/.local/share/korimo"},
                      UserDataCase{"RelativeXdgIgnored", "relative", "home", "home/.local/share/korimo"}),
    [](const ::testing::TestParamInfo<UserDataCase>& p) { return std::string(p.param.Name); });

// A folder that cannot be used: the reason with the failing call, status 1,
// nothing listening. Wrong options: status 2.
struct UnusableCase {
  const char* Name;
  std::function<std::vector<std::string>(const fs::path&)> Args;
  std::string Stderr;  // expected in the error output; {} is the folder's path
  int Status;
};

void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.Name; }

class Unusable : public ::testing::TestWithParam<UnusableCase> {};

TEST_P(Unusable, StopsTheStart) {
  const UnusableCase& c = GetParam();
  TempDir start;
  EmptyDir base;
  std::ofstream(base.Path / "file") << "x";
  std::vector<std::string> args{"--console", "--port", std::to_string(PickFreePort())};
  for (auto& a : c.Args(base.Path)) args.push_back(a);
  SpawnOptions opt;
  opt.Environment = {"HOME=" + (base.Path / "file").string(), "XDG_DATA_HOME"};
  Korimo k(start.Path, args, opt);
  EXPECT_EQ(k.WaitExit(), c.Status);
  std::string expected = c.Stderr;
  if (size_t at = expected.find("{}"); at != std::string::npos) expected.replace(at, 2, base.Path.string());
  EXPECT_NE(k.Stderr().find(expected), std::string::npos) << k.Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unusable,
    ::testing::Values(
        UnusableCase{"Missing", [](const fs::path& d) { return std::vector<std::string>{"--directory", (d / "no").string()}; },
                     "korimo: chdir {}/no: No such file or directory (2)\n", 1},
        UnusableCase{"AFile", [](const fs::path& d) { return std::vector<std::string>{"--directory", (d / "file").string()}; },
                     "korimo: chdir {}/file: Not a directory (20)\n", 1},
        UnusableCase{"UserDataUnderAFile",
                     [](const fs::path&) { return std::vector<std::string>{"--user-data"}; },
                     "korimo: mkdir {}/file/.local: Not a directory (20)\n", 1},
        UnusableCase{"BothWays",
                     [](const fs::path& d) { return std::vector<std::string>{"--user-data", "--directory", d.string()}; },
                     "korimo: --directory and --user-data exclude each other\n", 2},
        UnusableCase{"NoFolder", [](const fs::path&) { return std::vector<std::string>{"--directory"}; },
                     "korimo: --directory takes a folder\n", 2}),
    [](const ::testing::TestParamInfo<UnusableCase>& p) { return std::string(p.param.Name); });

// --quiet: the operator's lines and the browsers' posts print nothing on
// stdout; the start and the end are noted on stderr.
TEST(Quiet, NoChatOnStdout) {
  TempDir dir;
  SpawnOptions opt;
  opt.ExtraArgs = {"--quiet"};
  Server s = StartServer(dir, opt);
  size_t shown = s->Stdout().size();  // StartServer's own /show
  s->Type("from the operator");
  std::string reply = Exchange(s.Port, PostRequest("handle=eve&text=from+a+browser"));
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
  ASSERT_TRUE(s->Barrier());
  EXPECT_EQ(s->Stdout().substr(shown), "");
  std::vector<std::string> chat = WithoutTimes(ChatLinesOfPage(Get(s.Port, "/scripts/status.cgi")));
  EXPECT_EQ(chat.size(), 2u) << "the chat itself goes on";
  s->Signal(SIGTERM);
  EXPECT_EQ(s->WaitExit(), 0);
  EXPECT_NE(s->Stderr().find(" started on port " + std::to_string(s.Port) + ", serving "), std::string::npos)
      << s->Stderr();
  EXPECT_NE(s->Stderr().find("korimo stopped\n"), std::string::npos) << s->Stderr();
  EXPECT_EQ(s->Stderr().find("browser"), std::string::npos) << s->Stderr();
}

}  // namespace
}  // namespace korimo::e2e
