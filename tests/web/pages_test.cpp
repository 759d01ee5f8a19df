#include "web/Pages.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace korimo {
namespace {

// Shift-JIS (code page 932) bytes of the pages' Japanese texts.
const std::string kNotFoundJa =  // ファイルが見つかりません
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1";
const std::string kNotSupportedJa =  // サポートされていません
    "\x83\x54\x83\x7C\x81\x5B\x83\x67\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1";
const std::string kCommandJa = "\x83\x52\x83\x7D\x83\x93\x83\x68";  // コマンド
const std::string kHandleJa = "\x83\x6E\x83\x93\x83\x68\x83\x8B\x81\x46";  // ハンドル：
const std::string kWriteJa = "\x8F\x91\x8D\x9E\x82\xDD";  // 書込み
const std::string kColourJa = "\x95\xB6\x8E\x9A\x90\x46\x81\x46";  // 文字色：
const std::string kSlashJa = "\x81\x5E";  // ／
const std::string kBlackJa = "\x8D\x95";  // 黒
const std::string kRedJa = "\x90\xD4";  // 赤
const std::string kBlueJa = "\x90\xC2";  // 青
const std::string kGreenJa = "\x97\xCE";  // 緑
const std::string kOrangeJa = "\x83\x49\x83\x8C\x83\x93\x83\x57";  // オレンジ
const std::string kPurpleJa = "\x8E\x87";  // 紫

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& line : lines) s += line + "\r\n";
  return s;
}

// ---- Chat view ----

std::string ExpectedChatView(const std::string& refresh, const std::vector<std::string>& chatLines) {
  std::vector<std::string> page = {
      "HTTP/1.0 200 Document follows",
      "Content-Type: text/html",
      "",
      "<HTML><HEAD>",
      "<script language=\"JavaScript\"><!--",
      "function goBtm() {",
      "  if (navigator.platform == \"Win32\") {",
      "    if  (document.location.href.match(/#btm/i) == null) {",
      "      document.location.href = \"#btm\";",
      "    }",
      "  }",
      "}",
      "function DoRefresh() {",
      "  document.Form1.submit();",
      "}",
      "// -->",
      "</script>",
      "</HEAD>",
      "<BODY bgcolor=\"white\" onload=\"goBtm();\">",
      "<script language=\"JavaScript\"><!--",
      "  setInterval(\"DoRefresh()\", " + refresh + "000);",
      "// -->",
      "</script>",
      "<p>",
  };
  page.insert(page.end(), chatLines.begin(), chatLines.end());
  for (const char* line : {"</p>", "<hr width=\"100%\" align=\"left\">",
                           "<form name=\"Form1\" action=\"/scripts/status.cgi\" method=\"get\">",
                           "<input type=\"submit\" value=\"Refresh\">", "</form>", "</BODY></HTML>"})
    page.push_back(line);
  return Join(page);
}

struct ChatViewCase {
  const char* Name;
  std::vector<std::string> Log;
  std::string Refresh;
  std::vector<std::string> Body;  // the page's lines between <p> and </p>
};

std::vector<ChatViewCase> ChatViewCases() {
  ChatViewCase twenty{"TwentyLines", {}, "5", {}};
  for (int i = 1; i <= 20; ++i) {
    const std::string line = "line " + std::to_string(i) + " (10:00)";
    twenty.Log.push_back(line);
    if (i == 20) twenty.Body.push_back("<a name=\"btm\">");
    twenty.Body.push_back(line + "<br>");
  }
  return {
      {"Empty", {}, "5", {}},
      {"OneLine", {"taro> hi (09:05)"}, "10", {"<a name=\"btm\">", "taro> hi (09:05)<br>"}},
      twenty,
      {"EmptyRefresh", {"a (00:00)", "b (00:01)"}, "", {"a (00:00)<br>", "<a name=\"btm\">", "b (00:01)<br>"}},
      // Lines are served unescaped; the refresh text is used unchanged.
      {"MarkupAndTextRefresh",
       {"<font color=\"red\">x & y</font> (23:59)", " (12:00)"},
       "abc",
       {"<font color=\"red\">x & y</font> (23:59)<br>", "<a name=\"btm\">", " (12:00)<br>"}},
  };
}

class ChatViewPageTest : public testing::TestWithParam<ChatViewCase> {};

TEST_P(ChatViewPageTest, ExactBytes) {
  const ChatViewCase& c = GetParam();
  EXPECT_EQ(BuildChatViewPage(c.Log, c.Refresh), ExpectedChatView(c.Refresh, c.Body));
}

INSTANTIATE_TEST_SUITE_P(Pages, ChatViewPageTest, testing::ValuesIn(ChatViewCases()),
                         [](const testing::TestParamInfo<ChatViewCase>& p) {
                           return std::string(p.param.Name);
                         });

TEST(ChatViewPageTest, RefreshLineSpelledOut) {
  const std::string page = BuildChatViewPage({}, "10");
  EXPECT_NE(page.find("\r\n  setInterval(\"DoRefresh()\", 10000);\r\n"), std::string::npos);
  const std::string empty = BuildChatViewPage({}, "");
  EXPECT_NE(empty.find("\r\n  setInterval(\"DoRefresh()\", 000);\r\n"), std::string::npos);
  EXPECT_NE(empty.find("\r\n<p>\r\n</p>\r\n"), std::string::npos);
}

// ---- Post form ----

std::string ExpectedPostForm(const std::string& handle, int checked) {
  struct Radio {
    const char* Value;
    std::string Label;
  };
  const Radio radios[] = {
      {"Black", " " + kBlackJa + " " + kSlashJa + " "},
      {"Red", " <font color=\"red\">" + kRedJa + "</font> " + kSlashJa + " "},
      {"Blue", " <font color=\"blue\">" + kBlueJa + "</font> " + kSlashJa + " "},
      {"Green", " <font color=\"green\">" + kGreenJa + "</font> " + kSlashJa + " "},
      {"Orange", " <font color=\"#ff8c00\">" + kOrangeJa + "</font> " + kSlashJa + " "},
      {"Purple", " <font color=\"#9400d3\">" + kPurpleJa + "</font>"},
  };
  std::vector<std::string> page = {
      "HTTP/1.0 200 Document follows",
      "Content-Type: text/html",
      "",
      "<HTML><BODY bgcolor=\"#87cefa\" topmargin=\"2\" leftmargin=\"2\" marginwidth=\"2\" "
      "marginheight=\"2\">",
      "  <form name=\"FormName\" action=\"/scripts/append.cgi\" method=\"post\">",
      "  " + kHandleJa + "<input type=\"text\" name=\"handle\" size=\"6\" value=\"" + handle + "\"> ",
      "  <input type=\"text\" name=\"text\" size=\"50\">",
      "  <input type=\"submit\" value=\"" + kWriteJa + "\" name=\"Append\"><br> " + kColourJa + " ",
  };
  for (int i = 0; i < 6; ++i)
    page.push_back(std::string("  <input type=\"radio\" value=\"") + radios[i].Value + "\" name=\"color\"" +
                   (i == checked ? " checked>" : ">") + radios[i].Label);
  page.push_back("</BODY></HTML>");
  return Join(page);
}

struct PostFormCase {
  const char* Name;
  std::string Body;
  std::string Handle;  // as echoed
  int Checked;         // index of the checked colour, -1 for none
};

class PostFormPageTest : public testing::TestWithParam<PostFormCase> {};

TEST_P(PostFormPageTest, ExactBytes) {
  const PostFormCase& c = GetParam();
  EXPECT_EQ(BuildPostFormPage(ReadPostFields(c.Body)), ExpectedPostForm(c.Handle, c.Checked));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PostFormPageTest,
    testing::Values(PostFormCase{"Black", "handle=taro&text=hi&color=Black", "taro", 0},
                    PostFormCase{"Red", "handle=taro&text=hi&color=Red", "taro", 1},
                    PostFormCase{"Blue", "color=Blue&handle=taro", "taro", 2},
                    PostFormCase{"Green", "handle=taro&color=Green", "taro", 3},
                    PostFormCase{"Orange", "handle=taro&color=Orange", "taro", 4},
                    PostFormCase{"Purple", "handle=taro&color=Purple", "taro", 5},
                    PostFormCase{"NoColour", "handle=taro&text=hi", "taro", -1},
                    PostFormCase{"EmptyColour", "handle=taro&color=", "taro", -1},
                    PostFormCase{"LowerCaseColour", "handle=taro&color=red", "taro", -1},
                    PostFormCase{"LongerColour", "handle=taro&color=Redx", "taro", -1},
                    PostFormCase{"NoHandle", "text=hi&color=Red", "", 1},
                    PostFormCase{"EmptyBody", "", "", -1},
                    // Echoed unescaped: the quote ends the attribute early in a browser.
                    PostFormCase{"QuoteInHandle", "handle=ta\"ro<b>&color=Blue", "ta\"ro<b>", 2},
                    PostFormCase{"ShiftJisHandle", "handle=\x91\xBE\x98\x59&color=Purple",
                                 "\x91\xBE\x98\x59", 5}),
    [](const testing::TestParamInfo<PostFormCase>& p) { return std::string(p.param.Name); });

// ---- Error pages ----

TEST(ErrorPageTest, NotFoundShortForm) {
  EXPECT_EQ(NotFoundPage(),
            "HTTP/1.0 404 Document follows\r\n"
            "Content-Type: text/html\r\n"
            "\r\n"
            "<HTML><BODY><CENTER><H2>404 " + kNotFoundJa + "</H2></CENTER></BODY></HTML>\r\n");
  EXPECT_EQ(&NotFoundPage(), &NotFoundPage());  // built once
}

TEST(ErrorPageTest, NotFoundWithMessage) {
  for (const std::string& message : {std::string("Out of memory"), std::string(),
                                    std::string("'x' \x82\xCD<b>"), std::string("a\r\nb")}) {
    SCOPED_TRACE(message);
    EXPECT_EQ(NotFoundPage(message),
              "HTTP/1.0 404 Document follows\r\n"
              "Content-Type: text/html\r\n"
              "\r\n"
              "<HTML><BODY><CENTER><H2>404 " + kNotFoundJa + "</H2><P>\r\n" +
              message + "\r\n"
              "</CENTER></BODY></HTML>\r\n");
  }
}

TEST(ErrorPageTest, NotImplementedNamesTheMethod) {
  for (const char* method : {"POST", "HEAD", "UNKW"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(NotImplementedPage(method),
              "HTTP/1.0 501 Document follows\r\n"
              "Content-Type: text/html\r\n"
              "\r\n"
              "<HTML><BODY><CENTER><H2>501 " + kNotSupportedJa + "</H2><P>\r\n" +
              kCommandJa + ": " + method + "\r\n"
              "</CENTER></BODY></HTML>\r\n");
  }
}

// ---- Static file header ----

struct HeaderCase {
  const char* FileName;
  const char* ContentType;
};

class StaticFileHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(StaticFileHeaderTest, ContentTypeByExtension) {
  const HeaderCase& c = GetParam();
  EXPECT_EQ(StaticFileHeader(c.FileName),
            std::string("HTTP/1.0 200 Document follows\r\nContent-Type: ") + c.ContentType + "\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Pages, StaticFileHeaderTest,
    testing::Values(HeaderCase{"root\\index.html", "text/html"},  // what "/" is served from
                    HeaderCase{"root\\", "text/html"},
                    HeaderCase{"root\\pics\\Logo.GIF", "image/gif"},
                    HeaderCase{"root\\photo.jpg", "image/jpeg"},
                    HeaderCase{"root\\photo.JPEG", "image/jpeg"},
                    HeaderCase{"root\\photo.JpG", "image/jpeg"},
                    HeaderCase{"root\\x.png", "image/png"},
                    HeaderCase{"root\\x.bmp", "image/bmp"},
                    HeaderCase{"root\\.gif", "image/gif"},
                    HeaderCase{"root\\a.b\\x.png", "image/png"},
                    HeaderCase{"root\\c:x.gif", "image/gif"},
                    HeaderCase{"root\\notes.txt", "text/html"},
                    HeaderCase{"root\\style.css", "text/html"},
                    HeaderCase{"root\\readme", "text/html"},
                    HeaderCase{"root\\x.gif.txt", "text/html"},
                    HeaderCase{"root\\x.jpgx", "text/html"},
                    HeaderCase{"root\\a.b\\c", "text/html"},
                    HeaderCase{"root\\x.gif\\c", "text/html"},  // the dot is in a directory name
                    HeaderCase{"root\\x.gif:c", "text/html"},
                    HeaderCase{"root\\x.", "text/html"},
                    HeaderCase{"root--", "text/html"}));

}  // namespace
}  // namespace korimo
