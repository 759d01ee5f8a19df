// Static files never come from outside root/: whatever the request names,
// climbing out, a name beside root/, or a link inside root/ that leads
// out, the answer is the short "404" page and not a byte of the file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

const std::string kMarker = "MARKER-outside-root-5d1c";
const std::string kIndex = "<html><body>start page</body></html>\r\n";
const std::string kSubPage = "sub page\r\n";

void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << bytes;
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

TEST(Confinement, NothingOutsideRootIsServed) {
  TempDir dir;
  const std::filesystem::path& w = dir.Path;
  // Beside root/: the files a request must never reach. "rootx" and
  // "root--" are what "root" + path would name for "GET x" and a path the
  // parser rejected.
  for (const char* name : {"secret.txt", "rootx", "root--", "outside/index.html", "outside/page.html"})
    WriteFile(w / name, kMarker + " " + name + "\r\n");
  dir.AddFile("index.html", kIndex);
  dir.AddFile("sub/page.html", kSubPage);
  const std::filesystem::path root = w / "root";
  namespace fs = std::filesystem;
  fs::create_symlink("../secret.txt", root / "out.html");
  fs::create_symlink(w / "secret.txt", root / "abs.html");
  fs::create_symlink("../out.html", root / "sub/chain.html");  // a link to a link that leaves
  fs::create_symlink("../../secret.txt", root / "sub/deep.html");
  fs::create_symlink("../outside", root / "outdir");  // a folder outside
  fs::create_symlink("/dev/zero", root / "zero.html");
  fs::create_symlink("index.html", root / "in.html");         // stays inside
  fs::create_symlink("../index.html", root / "sub/up.html");  // climbs, but stays inside
  ASSERT_EQ(mkfifo((root / "fifo.html").c_str(), 0600), 0) << strerror(errno);

  Server s = StartServer(dir);
  const std::string& notFound = ShortNotFoundPage();
  const std::string served = HtmlReplyHead() + kIndex;
  struct Case {
    std::string Line;  // the request line, without its CR LF
    std::string Expected;
  } cases[] = {
      // ".." anywhere in the path, the query included.
      {"GET /../secret.txt HTTP/1.0", notFound},
      {"GET /sub/../../secret.txt HTTP/1.0", notFound},
      {"GET /.. HTTP/1.0", notFound},
      {"GET /../rootx HTTP/1.0", notFound},
      {"GET /../root-- HTTP/1.0", notFound},
      {"GET /index.html?../secret.txt HTTP/1.0", notFound},
      {"GET /index.html?x=1 HTTP/1.0", served},
      // Doubled separators, backslashes.
      {"GET //secret.txt HTTP/1.0", notFound},
      {"GET /sub//page.html HTTP/1.0", notFound},
      {"GET /..\\secret.txt HTTP/1.0", notFound},
      {"GET \\..\\secret.txt HTTP/1.0", notFound},
      {"GET \\\\secret.txt HTTP/1.0", notFound},
      {"GET \\sub\\page.html HTTP/1.0", HtmlReplyHead() + kSubPage},
      // Percent-encoding is not decoded: these name files that do not exist.
      {"GET /%2e%2e/secret.txt HTTP/1.0", notFound},
      {"GET /%2E%2E%2Fsecret.txt HTTP/1.0", notFound},
      {"GET /.%2e/secret.txt HTTP/1.0", notFound},
      // Paths that do not start at root/ would name files beside it.
      {"GET x HTTP/1.0", notFound},
      {"GET -- HTTP/1.0", notFound},
      {"GET C:\\secret.txt HTTP/1.0", notFound},
      {"GET " + (w / "secret.txt").string() + " HTTP/1.0", notFound},
      {"GET /. HTTP/1.0", notFound},
      // Links inside root/ that lead out answer as a missing file does.
      {"GET /out.html HTTP/1.0", notFound},
      {"GET /abs.html HTTP/1.0", notFound},
      {"GET /sub/chain.html HTTP/1.0", notFound},
      {"GET /sub/deep.html HTTP/1.0", notFound},
      {"GET /outdir/page.html HTTP/1.0", notFound},
      {"GET /outdir/ HTTP/1.0", notFound},
      // Not regular files: refused at once instead of read for ever.
      {"GET /zero.html HTTP/1.0", notFound},
      {"GET /fifo.html HTTP/1.0", notFound},
      // Links that stay inside are served.
      {"GET /in.html HTTP/1.0", served},
      {"GET /sub/up.html HTTP/1.0", served},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    std::string got;
    try {
      got = Exchange(s.Port, c.Line + "\r\n\r\n");
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_EQ(got.find(kMarker), std::string::npos) << got;
    EXPECT_TRUE(got == c.Expected) << "got " << got.size() << " bytes: " << got.substr(0, 300);
  }
  EXPECT_TRUE(s->Running());
  EXPECT_EQ(ErrorReports(*s), "");
}

}  // namespace
}  // namespace korimo::e2e
