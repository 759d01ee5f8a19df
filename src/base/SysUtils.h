// Runtime basics shared by every layer: the error family, Shift-JIS text
// conversion, the integer conversion of settings and headers, and the
// platform's error texts.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korimo {

// Root of every error the system raises. The message is Shift-JIS bytes.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  const std::string& message() const noexcept { return Message; }

 private:
  std::string Message;
};

// A silent error: ends what it interrupts and is never shown.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

// A text that does not read as an integer.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// UTF-8 -> code page 932. Used once per literal (keep the result in a
// static) and at the console's edge. Characters without a CP932 form
// become '?'.
std::string Sjis(std::string_view utf8);
// Code page 932 -> UTF-8, for display. Bytes that are not valid CP932 come
// out as U+FFFD.
std::string Utf8FromSjis(std::string_view sjis);

// Reads an integer the way settings and headers are read: leading blanks
// skipped, optional '+' or '-', then decimal digits or hexadecimal digits
// after "$", "x", "X", "0x" or "0X"; nothing may follow. Decimal values must
// fit in 32 signed bits; hexadecimal values may use all 32 bits.
bool TryStrToInt(std::string_view text, int& value);
// As TryStrToInt, raising EConvertError "'<text>' は整数ではありません".
int StrToInt(std::string_view text);

// True for a byte that opens a Shift-JIS double-byte character: the byte
// after it is its second half, whatever its value ('\\' and '/' among them).
inline bool IsSjisLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The value 0..15 of a hexadecimal digit; -1 for any other byte.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strips every byte of code 32 or less from both ends.
std::string Trim(std::string_view text);
// ASCII letters only.
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

// The platform's text for an error number: at most 256 bytes, with
// trailing blanks, control characters and full stops removed; empty when
// the system has none.
std::string SysErrorMessage(int code);

// A failed system call as the program reports it: "CALL: TEXT (CODE)".
std::string CallFailedText(const std::string& call, int code);

// The message of an error object: an Exception's own text, else what().
std::string ErrorMessage(std::exception_ptr error);

// The text shown in an error report: the message, with "." appended when
// its last character sorts after ".".
std::string ErrorReportText(const std::string& message);

// The program's title: the program file's name without its directory, cut
// at its first dot, every character after the first in lower case.
std::string ProgramTitle(std::string_view argv0);
// The running program's title, as set at start-up ("Korimo" until then).
std::string& ApplicationTitle();

}  // namespace korimo
