// Static files and the error pages, byte for byte, from the real binary.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace korimo::e2e {
namespace {

const std::string kHtmlHead = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";

std::string ImageHead(const std::string& type) {
  return "HTTP/1.0 200 Document follows\r\nContent-Type: image/" + type + "\r\n\r\n";
}

// "404 ファイルが見つかりません" in CP932.
const std::string kNotFound =
    "HTTP/1.0 404 Document follows\r\nContent-Type: text/html\r\n\r\n"
    "<HTML><BODY><CENTER><H2>404 "
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1"
    "</H2></CENTER></BODY></HTML>\r\n";

// "501 サポートされていません", then "コマンド: " and the method, in CP932.
std::string NotImplemented(const std::string& method) {
  return "HTTP/1.0 501 Document follows\r\nContent-Type: text/html\r\n\r\n"
         "<HTML><BODY><CENTER><H2>501 "
         "\x83\x54\x83\x7c\x81\x5b\x83\x67\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1"
         "</H2><P>\r\n"
         "\x83\x52\x83\x7d\x83\x93\x83\x68: " +
         method + "\r\n</CENTER></BODY></HTML>\r\n";
}

std::string BinaryBytes(size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 131 + 7) % 256);  // holds zero bytes and CR LF
  return s;
}

TEST(StaticFiles, AnswersWithExactBytes) {
  TempDir dir;
  const std::string index = "<html><body>start page</body></html>\r\n";
  const std::string gif = std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!", 20) + "\r\n;";
  const std::string docsIndex = "docs index";
  const std::string notes = "plain notes\n";
  const std::string big = BinaryBytes(100000);  // many send pieces
  dir.AddFile("index.html", index);
  dir.AddFile("pics/Logo.GIF", gif);
  dir.AddFile("photo.jpg", "jpeg bytes");
  dir.AddFile("docs/index.html", docsIndex);
  dir.AddFile("notes.txt", notes);
  dir.AddFile("big.bin", big);
  dir.AddFile("empty.html", "");
  {
    // Beside root/, not in it: never served.
    std::ofstream((dir.Path / "secret.html").string()) << "secret";
  }
  Server s = StartServer(dir);

  struct Case {
    std::string Request;
    std::string Expected;
  } cases[] = {
      {"GET / HTTP/1.0\r\n\r\n", kHtmlHead + index},
      {"GET /index.html HTTP/1.0\r\nHost: x\r\n\r\n", kHtmlHead + index},
      {"GET /pics/Logo.GIF HTTP/1.0\r\n\r\n", ImageHead("gif") + gif},
      {"GET /photo.jpg HTTP/1.0\r\n\r\n", ImageHead("jpeg") + "jpeg bytes"},
      {"GET /docs/ HTTP/1.0\r\n\r\n", kHtmlHead + docsIndex},
      {"GET /notes.txt HTTP/1.0\r\n\r\n", kHtmlHead + notes},
      {"GET /big.bin HTTP/1.0\r\n\r\n", kHtmlHead + big},
      {"GET /empty.html HTTP/1.0\r\n\r\n", kHtmlHead},
      {"GET /missing.html HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /docs HTTP/1.0\r\n\r\n", kNotFound},                // a directory
      {"GET /scripts/append.cgi HTTP/1.0\r\n\r\n", kNotFound},  // GET looks for a file
      {"GET /../secret.html HTTP/1.0\r\n\r\n", kNotFound},
      {"POST /index.html HTTP/1.0\r\n\r\n", NotImplemented("POST")},
      {"HEAD /index.html HTTP/1.0\r\n\r\n", NotImplemented("HEAD")},
      {"PUT /index.html HTTP/1.0\r\n\r\n", NotImplemented("UNKW")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Request);
    std::string got = Exchange(s.Port, c.Request);
    EXPECT_EQ(got.size(), c.Expected.size());
    EXPECT_TRUE(got == c.Expected) << "got the first bytes: " << got.substr(0, 200);
  }
}

// Several browsers fetching the same file at once each get it whole.
TEST(StaticFiles, ParallelDownloadsOfOneFile) {
  TempDir dir;
  const std::string big = BinaryBytes(300000);
  dir.AddFile("big.bin", big);
  Server s = StartServer(dir);
  constexpr int kClients = 8;
  // Connected one after another (the backlog is 5), then all ask at once.
  std::vector<Fd> conns;
  for (int i = 0; i < kClients; ++i) conns.push_back(ConnectPaced(s.Port));
  std::vector<std::string> got(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      try {
        SendAll(conns[i].get(), "GET /big.bin HTTP/1.0\r\n\r\n");
        shutdown(conns[i].get(), SHUT_WR);
        got[i] = ReadToClose(conns[i].get()).Bytes;
      } catch (const std::exception& e) {
        got[i] = e.what();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_TRUE(got[i] == kHtmlHead + big) << "client " << i << " got " << got[i].size() << " bytes";
  }
}

}  // namespace
}  // namespace korimo::e2e
