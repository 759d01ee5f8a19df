// Request parsing: method, path and guard, query, header lines, body and its
// decoding, and the file name used for dispatch.
#include <gtest/gtest.h>

#include <string>

#include "base/SysUtils.h"
#include "web/Command.h"

namespace korimo {
namespace {

struct ParseCase {
  const char* name;
  std::string request;
  // Expected fields; Spare is always empty.
  std::string method{}, path{}, query{}, host{}, referer{}, contentType{}, contentLength{}, body{}, boundary{};
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

const std::string kEnd = "\r\n\r\n";

const ParseCase kParseCases[] = {
    // Request line.
    {"QueryOfStatus", "GET /scripts/status.cgi?x=1 HTTP/1.0" + kEnd, "GET", "\\scripts\\status.cgi", "x=1"},
    {"Root", "GET / HTTP/1.0" + kEnd, "GET", "\\"},
    {"LowerCaseMethod", "get / HTTP/1.0" + kEnd, "UNKW", ""},
    {"PutFromPositionSix", "PUT /x HTTP/1.0" + kEnd, "UNKW", "x"},
    {"Post", "POST /scripts/append.cgi HTTP/1.0" + kEnd, "POST", "\\scripts\\append.cgi"},
    {"Head", "HEAD /index.html HTTP/1.0" + kEnd, "HEAD", "\\index.html"},
    {"NoVersion", "GET /a/b\r\n\r\n", "GET", "\\a\\b"},
    {"NotPercentDecoded", "GET /a%20b HTTP/1.0" + kEnd, "GET", "\\a%20b"},
    {"BackslashKept", "GET /a\\b HTTP/1.0" + kEnd, "GET", "\\a\\b"},
    {"LoneCrEndsPath", "GET /a\rb HTTP/1.0" + kEnd, "GET", "\\a"},
    {"NoCrLfAtAll", "GET /x HTTP/1.0", "GET"},
    {"ShortUnknown", "GE", "UNKW"},
    {"Empty", "", "UNKW"},
    // Path guard, applied before the query is split off.
    {"DotDotSegment", "GET /a/../b HTTP/1.0" + kEnd, "GET", "--"},
    {"DotDotInQuery", "GET /x?y=.. HTTP/1.0" + kEnd, "GET", "--"},
    {"DotDotInName", "GET /a..b HTTP/1.0" + kEnd, "GET", "--"},
    {"DoubleSlash", "GET //x HTTP/1.0" + kEnd, "GET", "--"},
    {"SlashBackslash", "GET /a/\\b HTTP/1.0" + kEnd, "GET", "--"},
    {"DoubleSlashInQuery", "GET /p?u=a//b HTTP/1.0" + kEnd, "GET", "--"},
    {"SingleDotsAllowed", "GET /a.b/.c HTTP/1.0" + kEnd, "GET", "\\a.b\\.c"},
    // Query.
    {"EmptyQuery", "GET /x? HTTP/1.0" + kEnd, "GET", "\\x"},
    {"LaterQuestionMarks", "GET /a?b?c HTTP/1.0" + kEnd, "GET", "\\a", "b?c"},
    {"SlashInQuery", "GET /p?u=a/b HTTP/1.0" + kEnd, "GET", "\\p", "u=a\\b"},
    // Header lines.
    {"HeadersWithoutBlankLine", "POST /x HTTP/1.0\r\nHost: h\r\nContent-Length: 1\r\nz", "POST", "\\x"},
    {"AllFour",
     "GET / HTTP/1.0\r\nHost: example\r\nReferer: http://r/\r\nContent-Type: text/plain\r\n"
     "Content-Length: 0" + kEnd,
     "GET", "\\", "", "example", "http://r/", "text/plain", "0", "", "--"},
    {"NameInAnyCase", "POST / HTTP/1.0\r\nCONTENT-LENGTH: 3\r\nhOsT: h" + kEnd + "abcdef", "POST", "\\", "", "h",
     "", "", "3", "abc"},
    {"PrefixMatchHostname", "GET / HTTP/1.0\r\nHostname: x" + kEnd, "GET", "\\", "", "ame: x"},
    {"ColonPositionNotChecked", "GET / HTTP/1.0\r\nReferer : x" + kEnd, "GET", "\\", "", "", ": x"},
    {"ValueTrimmedOfControls", "GET / HTTP/1.0\r\nHost:\t h \t" + kEnd, "GET", "\\", "", "h"},
    {"LastLineWins", "GET / HTTP/1.0\r\nHost: a\r\nHost: b" + kEnd, "GET", "\\", "", "b"},
    {"RequestLineNotAHeader", "Host: x" + kEnd, "UNKW", "", "", ""},
    {"LfAndCrAloneSplitLines", "GET / HTTP/1.0\nHost: a\rReferer: r" + kEnd, "GET", "\\", "", "a", "r"},
    {"NameOnly", "GET / HTTP/1.0\r\nHost" + kEnd, "GET", "\\", "", ""},
    // Body.
    {"BodyShorterThanLength", "POST / HTTP/1.0\r\nContent-Length: 5" + kEnd + "abc", "POST", "\\", "", "", "", "",
     "5", "abc"},
    {"BodyLongerThanLength", "POST / HTTP/1.0\r\nContent-Length: 2" + kEnd + "abcde", "POST", "\\", "", "", "", "",
     "2", "ab"},
    {"BodyKeepsLineBreaks", "POST / HTTP/1.0\r\nContent-Length: 6" + kEnd + "a\r\n\r\nb", "POST", "\\", "", "", "",
     "", "6", "a\r\n\r\nb"},
    {"HexLength", "POST / HTTP/1.0\r\nContent-Length: 0x10" + kEnd + "0123456789abcdefXYZ", "POST", "\\", "", "",
     "", "", "0x10", "0123456789abcdef"},
    {"NegativeLength", "POST / HTTP/1.0\r\nContent-Length: -1" + kEnd + "abc", "POST", "\\", "", "", "", "", "-1",
     ""},
    {"NoLengthNoBody", "POST / HTTP/1.0\r\nHost: h" + kEnd + "abc", "POST", "\\", "", "h"},
    // Decoding and boundary.
    {"FormDecoded",
     "POST / HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 15" + kEnd +
         "text=a+b%2Bc%41",
     "POST", "\\", "", "", "", "application/x-www-form-urlencoded", "15", "text=a b+cA", "--"},
    {"FormTypeInUpperCase",
     "POST / HTTP/1.0\r\nContent-Type: APPLICATION/X-WWW-FORM-URLENCODED\r\nContent-Length: 3" + kEnd + "a+b",
     "POST", "\\", "", "", "", "APPLICATION/X-WWW-FORM-URLENCODED", "3", "a b", "--"},
    {"FormTypeWithCharsetNotDecoded",
     "POST / HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded; charset=x\r\nContent-Length: 3" + kEnd +
         "a+b",
     "POST", "\\", "", "", "", "application/x-www-form-urlencoded; charset=x", "3", "a+b", "--"},
    {"MultipartBoundary",
     "POST / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=xyz\r\nContent-Length: 3" + kEnd + "a+b",
     "POST", "\\", "", "", "", "multipart/form-data; boundary=xyz", "3", "a+b", "--xyz"},
    {"QuotedBoundary", "POST / HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=\"q r\"" + kEnd, "POST",
     "\\", "", "", "", "multipart/form-data; boundary=\"q r\"", "", "", "--q r"},
};

class ParseCommandTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandTest, FillsFields) {
  const ParseCase& c = GetParam();
  TCommand cmd;
  ParseCommand(c.request, cmd);
  EXPECT_EQ(cmd.Method, c.method);
  EXPECT_EQ(cmd.Path, c.path);
  EXPECT_EQ(cmd.Query, c.query);
  EXPECT_EQ(cmd.Host, c.host);
  EXPECT_EQ(cmd.Referer, c.referer);
  EXPECT_EQ(cmd.ContentType, c.contentType);
  EXPECT_EQ(cmd.ContentLength, c.contentLength);
  EXPECT_EQ(cmd.Body, c.body);
  EXPECT_EQ(cmd.Boundary, c.boundary);
  EXPECT_EQ(cmd.Spare, "");
}

INSTANTIATE_TEST_SUITE_P(Requests, ParseCommandTest, testing::ValuesIn(kParseCases),
                         [](const testing::TestParamInfo<ParseCase>& p) { return p.param.name; });

TEST(ParseCommand, OverwritesEveryFieldOfAnEarlierRequest) {
  TCommand cmd;
  ParseCommand("POST /a?q HTTP/1.0\r\nHost: h\r\nReferer: r\r\nContent-Type: multipart/x; boundary=b\r\n"
               "Content-Length: 1\r\n\r\nz",
               cmd);
  ASSERT_EQ(cmd.Body, "z");
  cmd.Spare = "left over";
  ParseCommand("GET / HTTP/1.0\r\n\r\n", cmd);
  TCommand fresh;
  ParseCommand("GET / HTTP/1.0\r\n\r\n", fresh);
  EXPECT_EQ(cmd.Method, fresh.Method);
  EXPECT_EQ(cmd.Path, fresh.Path);
  EXPECT_EQ(cmd.Query, "");
  EXPECT_EQ(cmd.Host, "");
  EXPECT_EQ(cmd.Referer, "");
  EXPECT_EQ(cmd.ContentType, "");
  EXPECT_EQ(cmd.ContentLength, "");
  EXPECT_EQ(cmd.Body, "");
  EXPECT_EQ(cmd.Boundary, "");
  EXPECT_EQ(cmd.Spare, "");
}

TEST(ParseCommand, BadContentLengthRaisesConvertError) {
  struct {
    const char* value;
    std::string message;  // CP932
  } const cases[] = {
      {"abc", "'abc' \x82\xCD\x90\xAE\x90\x94\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},
      {"1 2", "'1 2' \x82\xCD\x90\xAE\x90\x94\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},
      {"2147483648", "'2147483648' \x82\xCD\x90\xAE\x90\x94\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    TCommand cmd;
    try {
      ParseCommand(std::string("POST / HTTP/1.0\r\nContent-Length: ") + c.value + "\r\n\r\nbody", cmd);
      ADD_FAILURE() << "no EConvertError";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(cmd.Body, "");
    }
  }
}

TEST(RequestFileName, LastSegmentLowerCased) {
  struct {
    const char* path;
    const char* name;
  } const cases[] = {
      {"\\scripts\\status.cgi", "status.cgi"},
      {"\\Scripts\\STATUS.CGI", "status.cgi"},
      {"\\deep\\dir\\append.cgi", "append.cgi"},
      {"append.cgi", "append.cgi"},
      {"\\", ""},
      {"", ""},
      {"\\dir\\", ""},
      {"c:status.cgi", "status.cgi"},
      {"\\a:b\\c:d", "d"},
      // 0x95 0x5C is one double-byte character: its 0x5C is no delimiter.
      {"\\dir\\\x95\\status.cgi", "\x95\\status.cgi"},
      {"\\\x95\\", "\x95\\"},
      // ... but after a complete double-byte character it is one again.
      {"\\\x95\\\\status.cgi", "status.cgi"},
      {"\\\x82\xA0\\Status.cgi", "status.cgi"},
      // A lead byte at the very end has no trail byte to swallow.
      {"\\dir\\a\x81", "a\x81"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(RequestFileName(c.path), c.name);
  }
}

}  // namespace
}  // namespace korimo
