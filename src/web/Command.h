// One parsed request, and the reading of requests and form fields. These
// touch no worker state and run on any number of workers at once.
#pragma once

#include <string>

namespace korimo {

struct TCommand {
  std::string Method;         // "GET", "POST", "HEAD" or "UNKW"
  std::string Path;           // target up to its first '?', '/' turned into '\'; "--" when refused
  std::string Query;          // target after its first '?'
  std::string Host;
  std::string Referer;
  std::string ContentType;
  std::string ContentLength;  // as text
  std::string Body;           // URL-decoded when form-encoded
  std::string Boundary;       // "--" + boundary parameter of the Content-Type line
  std::string Spare;          // always empty
};

// Fills every field of `command` from the raw request text. Raises
// EConvertError when Content-Length is not an integer.
void ParseCommand(const std::string& request, TCommand& command);

// File name part of a parsed Path, lower-cased: what follows its last
// backslash or colon. A backslash that is the second byte of a Shift-JIS
// double-byte character is not a delimiter.
std::string RequestFileName(const std::string& path);

// Value 0..15 of one hexadecimal digit; any other byte is 0.
int HexDigitValue(char c);
// URL-decodes `text` in place ('+' -> blank, %XY -> byte). Never raises.
void DecodeFormText(std::string& text);
// Value of field `name` in name=value&... text; empty when missing or
// unusable. Never raises.
std::string GetFormField(const std::string& text, const std::string& name);

}  // namespace korimo
