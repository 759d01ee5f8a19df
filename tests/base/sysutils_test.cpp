// Integer reading of settings and headers, trimming, and the texts of error
// reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <thread>

#include "base/SysUtils.h"
#include "base/ThreadCheck.h"

namespace korimo {
namespace {

struct IntCase {
  const char* text;
  bool ok;
  int value;
};

const IntCase kIntCases[] = {
    {"0", true, 0},
    {"123", true, 123},
    {"00012", true, 12},
    {" 42", true, 42},
    {"   -7", true, -7},
    {"+5", true, 5},
    {" +5", true, 5},
    {"-0", true, 0},
    {"2147483647", true, INT_MAX},
    {"-2147483648", true, INT_MIN},
    {"2147483648", false, 0},
    {"-2147483649", false, 0},
    {"99999999999999999999", false, 0},
    // Hexadecimal: all 32 bits may be used.
    {"$10", true, 16},
    {"x1f", true, 31},
    {"X1F", true, 31},
    {"0x10", true, 16},
    {"0X10", true, 16},
    {"-$10", true, -16},
    {"-0x10", true, -16},
    {"0x7fffffff", true, INT_MAX},
    {"$FFFFFFFF", true, -1},
    {"$80000000", true, INT_MIN},
    {"$100000000", false, 0},
    {"$", false, 0},
    {"0x", false, 0},
    {"$1G", false, 0},
    {"$-1", false, 0},
    // Nothing may follow; something must be there.
    {"", false, 0},
    {" ", false, 0},
    {"7 ", false, 0},
    {"1 2", false, 0},
    {"+ 5", false, 0},
    {"abc", false, 0},
    {"12a", false, 0},
    {"+", false, 0},
    {"-", false, 0},
    {"--1", false, 0},
    {"+-1", false, 0},
    {"1.0", false, 0},
};

class StrToIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(StrToIntTest, ReadsOrRefuses) {
  const IntCase& c = GetParam();
  int value = 12345;
  EXPECT_EQ(TryStrToInt(c.text, value), c.ok);
  if (c.ok) {
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(StrToInt(c.text), c.value);
  } else {
    EXPECT_THROW(StrToInt(c.text), EConvertError);
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, StrToIntTest, testing::ValuesIn(kIntCases),
                         [](const testing::TestParamInfo<IntCase>& p) {
                           return "Case" + std::to_string(p.index);
                         });

TEST(StrToInt, MessageNamesTheTextInShiftJis) {
  try {
    StrToInt("abc");
    FAIL() << "no EConvertError";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "'abc' \x82\xCD\x90\xAE\x90\x94\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1");
  }
}

TEST(Sjis, OneReplacementPerCharacterWithoutCp932Form) {
  struct {
    std::string utf8, sjis;
  } const cases[] = {
      {"あ整", "\x82\xA0\x90\xAE"},
      {"\xF0\x9F\x98\x80" "a", "?a"},  // U+1F600: four bytes, one '?'
      {"\xC3\xA9", "?"},                 // U+00E9
      {"a\xFF" "b", "a?b"},               // not UTF-8 at all
      {"a\xE3\x81", "a?"},               // cut-off character
  };
  for (const auto& c : cases) EXPECT_EQ(Sjis(c.utf8), c.sjis) << testing::PrintToString(c.utf8);
  EXPECT_EQ(Utf8FromSjis("\x82\xA0\xFF" "a\x82"), "あ\xEF\xBF\xBD" "a\xEF\xBF\xBD");
}

TEST(Trim, StripsCodesUpToBlankFromBothEnds) {
  struct {
    std::string in, out;
  } const cases[] = {
      {"  a b  ", "a b"},
      {"\t\r\n\x01" "a\x1F", "a"},
      {std::string("\0x\0", 3), "x"},
      {"", ""},
      {"   ", ""},
      {"\xA0x\xFF", "\xA0x\xFF"},  // high bytes are text, not blanks
      {"!a!", "!a!"},
  };
  for (const auto& c : cases) EXPECT_EQ(Trim(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(ErrorReportText, FullStopOnlyAfterCharactersSortingAfterIt) {
  struct {
    std::string in, out;
  } const cases[] = {
      {"", ""},
      {"abc", "abc."},
      {"abc.", "abc."},
      {"abc!", "abc!"},
      {"a-", "a-"},
      {"a/", "a/."},
      {"\x83\x47\x83\x89\x81\x5B", "\x83\x47\x83\x89\x81\x5B."},  // ends in a double-byte character
      {"a\xFF", "a\xFF."},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorReportText(c.in), c.out) << c.in;
}

TEST(ProgramTitle, FileNameCutAtFirstDotRestLowerCase) {
  struct {
    const char* argv0;
    const char* title;
  } const cases[] = {
      {"/usr/bin/korimo", "korimo"},
      {"/opt/KORIMO.EXE", "Korimo"},
      {"korimo.bin.x", "korimo"},
      {"./Korimo", "Korimo"},
      {"/a.b/Server", "Server"},
      {"aBC", "abc"},
      {"X", "X"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgramTitle(c.argv0), c.title) << c.argv0;
}

TEST(SysErrorMessage, PlatformTextWithoutTrailingStop) {
  const std::string text = SysErrorMessage(ECONNRESET);
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), 256u);
  EXPECT_NE(text.back(), '.');
  EXPECT_GT(static_cast<unsigned char>(text.back()), 32);
  EXPECT_EQ(SysErrorMessage(987654), "");
}

}  // namespace
}  // namespace korimo

namespace korimo {
namespace {

// Main-thread-only operations check where they run in every build: from
// any other thread the process ends, naming the operation.
TEST(ThreadCheck, MainThreadOperationsRefuseOtherThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(IsMainThread());
  RequireMainThread("a main-thread operation");  // passes here
  EXPECT_DEATH(
      {
        std::thread other([] { RequireMainThread("ChatLog::AddChatLine"); });
        other.join();
      },
      "ChatLog::AddChatLine must run on the main thread \\(called from another thread\\)");
}

}  // namespace
}  // namespace korimo
