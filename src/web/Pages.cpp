#include "web/Pages.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "base/SysUtils.h"
#include "web/Command.h"
#include "web/Posting.h"

namespace korimo {

namespace {

constexpr std::string_view kCrLf = "\r\n";

// The framing of every response: the status line (every code "Document
// follows"), the one header line, the empty line.
std::string ResponseHead(int code, std::string_view contentType) {
  std::string s;
  s.reserve(64 + contentType.size());
  s.append("HTTP/1.0 ").append(std::to_string(code)).append(" Document follows\r\n");
  s.append("Content-Type: ").append(contentType).append(kCrLf).append(kCrLf);
  return s;
}

const std::string& HtmlHead(int code) {
  static const std::string k200 = ResponseHead(200, "text/html");
  static const std::string k404 = ResponseHead(404, "text/html");
  static const std::string k501 = ResponseHead(501, "text/html");
  return code == 404 ? k404 : code == 501 ? k501 : k200;
}

// Everything of the chat view's body up to the refresh text.
constexpr std::string_view kViewHead =
    "<HTML><HEAD>\r\n"
    "<script language=\"JavaScript\"><!--\r\n"
    "function goBtm() {\r\n"
    "  if (navigator.platform == \"Win32\") {\r\n"
    "    if  (document.location.href.match(/#btm/i) == null) {\r\n"
    "      document.location.href = \"#btm\";\r\n"
    "    }\r\n"
    "  }\r\n"
    "}\r\n"
    "function DoRefresh() {\r\n"
    "  document.Form1.submit();\r\n"
    "}\r\n"
    "// -->\r\n"
    "</script>\r\n"
    "</HEAD>\r\n"
    "<BODY bgcolor=\"white\" onload=\"goBtm();\">\r\n"
    "<script language=\"JavaScript\"><!--\r\n"
    "  setInterval(\"DoRefresh()\", ";

// From the refresh text to the first chat line.
constexpr std::string_view kViewMiddle =
    "000);\r\n"
    "// -->\r\n"
    "</script>\r\n"
    "<p>\r\n";

constexpr std::string_view kViewAnchor = "<a name=\"btm\">\r\n";
constexpr std::string_view kViewLineEnd = "<br>\r\n";

constexpr std::string_view kViewTail =
    "</p>\r\n"
    "<hr width=\"100%\" align=\"left\">\r\n"
    "<form name=\"Form1\" action=\"/scripts/status.cgi\" method=\"get\">\r\n"
    "<input type=\"submit\" value=\"Refresh\">\r\n"
    "</form>\r\n"
    "</BODY></HTML>\r\n";

// The post form, in Shift-JIS, converted once.
struct PostFormText {
  std::string Head;     // lines 1-6 up to the handle value
  std::string Middle;   // rest of line 6, lines 7-8
  std::array<std::string, 6> Checked;
  std::array<std::string, 6> Plain;
  std::string Tail;
  std::size_t Estimate = 0;  // bytes of the page without the handle
};

const PostFormText& PostForm() {
  static const PostFormText kText = [] {
    PostFormText t;
    t.Head = HtmlHead(200) +
             "<HTML><BODY bgcolor=\"#87cefa\" topmargin=\"2\" leftmargin=\"2\" marginwidth=\"2\" "
             "marginheight=\"2\">\r\n"
             "  <form name=\"FormName\" action=\"/scripts/append.cgi\" method=\"post\">\r\n" +
             Sjis("  ハンドル：<input type=\"text\" name=\"handle\" size=\"6\" value=\"");
    t.Middle = "\"> \r\n"
               "  <input type=\"text\" name=\"text\" size=\"50\">\r\n" +
               Sjis("  <input type=\"submit\" value=\"書込み\" name=\"Append\"><br> 文字色： ") +
               "\r\n";
    t.Tail = "</BODY></HTML>\r\n";
    t.Estimate = t.Head.size() + t.Middle.size() + t.Tail.size();
    const auto& colours = Colours();
    for (std::size_t i = 0; i < colours.size(); ++i) {
      const TColour& c = colours[i];
      const std::string start = "  <input type=\"radio\" value=\"" + std::string(c.Name) + "\" name=\"color\"";
      // The label shows the colour's word in that colour; a separator
      // follows every label but the last.
      std::string label = c.FontOpen.empty() ? std::string(c.Word)
                                             : std::string(c.FontOpen) + std::string(c.Word) + "</font>";
      if (i + 1 < colours.size()) label += " ／ ";
      label = Sjis(label) + "\r\n";
      t.Checked[i] = start + " checked> " + label;
      t.Plain[i] = start + "> " + label;
      t.Estimate += t.Checked[i].size();
    }
    return t;
  }();
  return kText;
}

const std::string& NotFoundHeading() {
  static const std::string kText = Sjis("<H2>404 ファイルが見つかりません</H2>");
  return kText;
}

}  // namespace

std::string BuildChatViewPage(const std::vector<std::string>& lines, const std::string& refresh) {
  std::size_t size = HtmlHead(200).size() + kViewHead.size() + refresh.size() + kViewMiddle.size() + kViewAnchor.size() +
                     kViewTail.size();
  for (const std::string& line : lines) size += line.size() + kViewLineEnd.size();

  std::string page;
  page.reserve(size);
  page.append(HtmlHead(200)).append(kViewHead).append(refresh).append(kViewMiddle);
  const std::size_t n = lines.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 == n) page.append(kViewAnchor);
    page.append(lines[i]).append(kViewLineEnd);
  }
  page.append(kViewTail);
  return page;
}

std::string BuildPostFormPage(const TPostFields& posted) {
  const PostFormText& t = PostForm();
  std::string page;
  page.reserve(t.Estimate + posted.Handle.size());
  page.append(t.Head).append(posted.Handle).append(t.Middle);
  for (std::size_t i = 0; i < Colours().size(); ++i)
    page.append(posted.Colour == Colours()[i].Name ? t.Checked[i] : t.Plain[i]);
  page.append(t.Tail);
  return page;
}

const std::string& NotFoundPage() {
  static const std::string kPage = HtmlHead(404) + "<HTML><BODY><CENTER>" + NotFoundHeading() +
                                   "</CENTER></BODY></HTML>\r\n";
  return kPage;
}

std::string NotFoundPage(const std::string& message) {
  std::string page = HtmlHead(404);
  page.append("<HTML><BODY><CENTER>")
      .append(NotFoundHeading())
      .append("<P>\r\n")
      .append(message)
      .append("\r\n</CENTER></BODY></HTML>\r\n");
  return page;
}

std::string NotImplementedPage(const std::string& method) {
  static const std::string kHeading = Sjis("<H2>501 サポートされていません</H2><P>\r\n");
  static const std::string kCommand = Sjis("コマンド: ");
  std::string page = HtmlHead(501);
  page.append("<HTML><BODY><CENTER>")
      .append(kHeading)
      .append(kCommand)
      .append(method)
      .append("\r\n</CENTER></BODY></HTML>\r\n");
  return page;
}

std::string StaticFileHeader(const std::string& fileName) {
  std::string type;
  const std::size_t dot = fileName.rfind('.');
  if (dot != std::string::npos && fileName.find_first_of("\\:", dot + 1) == std::string::npos) {
    type = LowerCase(std::string_view(fileName).substr(dot));
    if (type.size() > 1) type.erase(0, 1);
    if (type == "jpg") type = "jpeg";
  }
  if (type == "gif" || type == "jpeg" || type == "png" || type == "bmp") return ResponseHead(200, "image/" + type);
  return HtmlHead(200);
}

}  // namespace korimo
