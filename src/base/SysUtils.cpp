#include "base/SysUtils.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/Limits.h"

namespace korimo {
namespace {

// Bytes of the UTF-8 character starting at `p` (at most `left`): the lead
// byte and the continuation bytes that follow it; 1 for a stray byte.
size_t Utf8CharLength(const char* p, size_t left) {
  const unsigned char lead = static_cast<unsigned char>(p[0]);
  size_t want = 1;
  if (lead >= 0xC0 && lead <= 0xDF) want = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) want = 3;
  else if (lead >= 0xF0 && lead <= 0xF7) want = 4;
  size_t n = 1;
  while (n < want && n < left && (static_cast<unsigned char>(p[n]) & 0xC0) == 0x80) ++n;
  return n;
}

// Converts with one iconv descriptor per call: conversions happen once per
// literal and at the console's edge, never per request. An input character
// that cannot be converted becomes one `bad`: a whole UTF-8 character when
// the input is UTF-8, else a single byte.
std::string Convert(const char* to, const char* from, std::string_view in, const char* bad) {
  const bool fromUtf8 = std::strcmp(from, "UTF-8") == 0;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.reserve(in.size() * 2 + 8);
  char buf[256];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid, unconvertible or incomplete input: replace one character
      // and go on.
      out += bad;
      const size_t skip = fromUtf8 ? Utf8CharLength(src, left) : 1;
      src += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buf, static_cast<size_t>(dst - buf));
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Sjis(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8, "?"); }

std::string Utf8FromSjis(std::string_view sjis) {
  return Convert("UTF-8", "CP932", sjis, "\xEF\xBF\xBD");
}

bool TryStrToInt(std::string_view s, int& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (hex) {
      const int d = HexDigit(s[i]);
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
      if (v > 0xFFFFFFFFull) return false;
    } else {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + static_cast<unsigned>(s[i] - '0');
      if (v > 0x80000000ull) return false;
    }
  }
  if (hex) {
    uint32_t bits = static_cast<uint32_t>(v);
    if (negative) bits = 0u - bits;
    value = static_cast<int32_t>(bits);
    return true;
  }
  if (!negative && v > 0x7FFFFFFFull) return false;
  value = negative ? static_cast<int>(-static_cast<int64_t>(v)) : static_cast<int>(v);
  return true;
}

int StrToInt(std::string_view text) {
  int v = 0;
  if (!TryStrToInt(text, v)) {
    static const std::string kNotInteger = Sjis("' は整数ではありません");
    throw EConvertError("'" + std::string(text) + kNotInteger);
  }
  return v;
}

std::string Trim(std::string_view t) {
  size_t b = 0, e = t.size();
  while (b < e && static_cast<unsigned char>(t[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(t[e - 1]) <= 32) --e;
  return std::string(t.substr(b, e - b));
}

std::string LowerCase(std::string_view t) {
  std::string r(t);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

std::string UpperCase(std::string_view t) {
  std::string r(t);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::string SysErrorMessage(int code) {
  char buf[512];
  const char* text = strerror_r(code, buf, sizeof buf);  // GNU form
  std::string s = text ? text : "";
  if (s.rfind("Unknown error", 0) == 0) s.clear();
  if (s.size() > kMaxErrorTextBytes) s.resize(kMaxErrorTextBytes);
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 32 || s.back() == '.')) s.pop_back();
  return s;
}

std::string CallFailedText(const std::string& call, int code) {
  return call + ": " + SysErrorMessage(code) + " (" + std::to_string(code) + ")";
}

std::string ErrorReportText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

std::string ProgramTitle(std::string_view argv0) {
  size_t slash = argv0.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
  size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  std::string r(name);
  if (r.size() > 1) r = r.substr(0, 1) + LowerCase(r.substr(1));
  return r;
}

std::string& ApplicationTitle() {
  static std::string title = "Korimo";
  return title;
}

std::string ErrorMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace korimo
