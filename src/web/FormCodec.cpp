// The form encoding browsers post: name=value pairs joined by '&', '+' for a
// blank and %XY for any other byte. All of it is byte-wise over Shift-JIS.
#include <algorithm>
#include <string>
#include <string_view>

#include "base/SysUtils.h"
#include "web/Command.h"

namespace korimo {

int HexDigitValue(char c) { return std::max(HexDigit(c), 0); }

void DecodeFormText(std::string& text) {
  // The output is never longer than the input, so it is written over the
  // text itself: no allocation, and so nothing that could fail midway.
  const size_t n = text.size();
  size_t w = 0;
  for (size_t r = 0; r < n; ++r) {
    const char c = text[r];
    if (c == '%') {
      // A '%' takes the next two bytes whatever they are; a non-digit counts
      // as 0. With only one byte left the missing second digit counts as 0.
      // A '%' that is the very last byte yields nothing: it is dropped, so a
      // cut-off escape never adds a NUL byte to the text.
      if (r + 1 >= n) break;
      const int high = HexDigitValue(text[r + 1]);
      const int low = r + 2 < n ? HexDigitValue(text[r + 2]) : 0;
      text[w++] = static_cast<char>(high * 16 + low);
      r += 2;
    } else {
      text[w++] = c == '+' ? ' ' : c;
    }
  }
  text.resize(w);
}

std::string GetFormField(const std::string& text, const std::string& name) {
  try {
    // The key is searched for only up to the first NUL byte.
    std::string_view searched(text);
    const size_t nul = searched.find('\0');
    if (nul != std::string_view::npos) searched = searched.substr(0, nul);

    std::string key = name;
    key += '=';
    size_t at = searched.find(key);
    while (at != std::string_view::npos) {
      // An odd run of lead bytes right before the occurrence means it starts
      // on the second byte of a double-byte character: pass it over.
      size_t run = 0;
      while (run < at && IsSjisLeadByte(static_cast<unsigned char>(searched[at - run - 1]))) ++run;
      if (run % 2 == 0) break;
      at = searched.find(key, at + 1);
    }
    if (at == std::string_view::npos) return {};

    // Only the first usable occurrence counts: a wrong separator before it
    // means no value, without trying later ones.
    if (at > 0) {
      const char before = text[at - 1];
      if (before != '&' && before != ' ' && before != ';') return {};
    }

    const size_t begin = at + key.size();
    size_t end = text.find('&', begin);
    if (end == std::string::npos) end = text.size();
    std::string value = Trim(std::string_view(text).substr(begin, end - begin));
    if (!value.empty() && value.front() == '"' && value.back() == '"') {
      if (value.size() == 1) {
        value.clear();
      } else {
        value.pop_back();
        value.erase(0, 1);
      }
    }
    return value;
  } catch (...) {
    // A lookup never raises; one that cannot finish finds nothing.
    return {};
  }
}

}  // namespace korimo
