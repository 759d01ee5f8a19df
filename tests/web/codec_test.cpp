// Form-field codec: hex digits, URL decoding and field lookup.
#include <gtest/gtest.h>

#include <string>

#include "web/Command.h"

namespace korimo {
namespace {

using namespace std::string_literals;

TEST(HexDigitValue, DigitsAndEverythingElse) {
  struct {
    char c;
    int value;
  } const cases[] = {
      {'0', 0},  {'9', 9},  {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', 0},      {'G', 0},
      {'/', 0},  {':', 0},  {'@', 0},  {'`', 0},  {'\0', 0}, {' ', 0},  {'\xFF', 0},   {'\xB0', 0},
  };
  for (const auto& c : cases) EXPECT_EQ(HexDigitValue(c.c), c.value) << "byte " << int(c.c);
}

TEST(DecodeFormText, Table) {
  struct {
    std::string in, out;
  } const cases[] = {
      {"a+b%2Bc", "a b+c"},
      {"x%20y", "x y"},
      {"%41%62", "Ab"},
      {"%e3", "\xE3"},
      {"%E3", "\xE3"},
      {"%82%A0", "\x82\xA0"},  // a double-byte character as two escapes
      {"", ""},
      {"plain text/&=;\x82\xA0", "plain text/&=;\x82\xA0"},
      {"+++", "   "},
      {"%zz", "\0"s},  // non-digits count as 0
      {"%5G", "P"},
      {"%00x", "\0x"s},
      {"%%41", "\x04" "1"},  // a '%' takes the next two bytes whatever they are
      {"%2+", " "},          // ... and the '+' among them is a digit, not a blank
      {"a\0+b"s, "a\0 b"s},  // NUL passes through
      {"ab%5", "abP"},       // missing second digit counts as 0
      {"ab%", "ab"},         // a final '%' yields nothing
      {"%", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string text = c.in;
    DecodeFormText(text);
    EXPECT_EQ(text, c.out);
  }
}

TEST(GetFormField, Table) {
  struct {
    std::string text;
    const char* name;
    std::string value;
  } const cases[] = {
      {"handle=bob&text=hi", "handle", "bob"},
      {"handle=bob&text=hi", "text", "hi"},
      {"handle=bob&text=hi", "color", ""},
      {"", "text", ""},
      {"text=a=b", "text", "a=b"},
      {"text=1&text=2", "text", "1"},
      // Separator before the occurrence: only '&', blank or ';'; the first
      // occurrence decides.
      {"context=1&text=hi", "text", ""},
      {"a text=1", "text", "1"},
      {"a;text=1", "text", "1"},
      {"a\ttext=1", "text", ""},
      {"a=1; boundary=xyz", "boundary", "xyz"},
      {"a=1; boundary=\"xyz\"", "boundary", "xyz"},
      // Trimming and quotes.
      {"handle=  bob  &text=hi", "handle", "bob"},
      {"handle=\t\r\n bob\x01&", "handle", "bob"},
      {"handle=&text=hi", "handle", ""},
      {"handle=\"", "handle", ""},
      {"handle=\"\"", "handle", ""},
      {"handle= \"a b\" ", "handle", "a b"},
      {"handle=\"  a  \"", "handle", "  a  "},
      {"handle=\"a", "handle", "\"a"},
      {"handle=a\"", "handle", "a\""},
      // Case-sensitive names; only '&' ends a value.
      {"Handle=bob", "handle", ""},
      {"text=a;b c", "text", "a;b c"},
      {"text=Tom & Jerry", "text", "Tom"},  // 'text=Tom+%26+Jerry' once decoded
      // The search stops at the first NUL.
      {"a=\0&text=hi"s, "text", ""},
      {"text=hi&a=\0"s, "text", "hi"},
      // An occurrence starting on a trail byte (odd run of lead bytes before
      // it) is passed over and the search goes on; an even run is no trail.
      {"\x82text=1&text=2", "text", "2"},
      {"\x82\x82\x82text=1&text=2", "text", "2"},
      {"\x82\x82text=1&text=2", "text", ""},
      {"x\xE0\xFCtext=1&text=2", "text", ""},
      {"\x9F" "a\x82text=1&text=2", "text", "2"},
      {"\xFCtext=1", "text", ""},
      {"\x80text=1&text=2", "text", ""},  // 0x80 is no lead byte
      {"\xFDtext=1&text=2", "text", ""},  // nor is 0xFD
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text) + " " + c.name);
    EXPECT_EQ(GetFormField(c.text, c.name), c.value);
  }
}

TEST(FormCodec, EscapedSeparatorsAreDataOnlyBeforeDecoding) {
  std::string body = "handle=a%26b&text=Tom+%26+Jerry";
  EXPECT_EQ(GetFormField(body, "handle"), "a%26b");
  DecodeFormText(body);
  EXPECT_EQ(GetFormField(body, "handle"), "a");
  EXPECT_EQ(GetFormField(body, "text"), "Tom");
  std::string hidden = "handle=%00&text=hi";
  DecodeFormText(hidden);
  EXPECT_EQ(GetFormField(hidden, "text"), "");
}

}  // namespace
}  // namespace korimo
