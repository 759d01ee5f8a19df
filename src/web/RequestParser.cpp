// Reading one raw HTTP request into a TCommand. Nothing is refused here: a
// malformed request only leaves fields empty or odd, and the dispatch decides
// what to answer. The one protective duty is the path guard.
#include <string>
#include <string_view>

#include "base/SysUtils.h"
#include "web/Command.h"

namespace korimo {
namespace {

// Text from 0-based `pos` for at most `count` bytes; empty when `pos` lies
// beyond the end or `count` is 0 or negative. Never reads past the end.
std::string_view Take(std::string_view text, std::ptrdiff_t pos, std::ptrdiff_t count) {
  if (count <= 0 || pos < 0 || static_cast<size_t>(pos) >= text.size()) return {};
  return text.substr(static_cast<size_t>(pos), static_cast<size_t>(count));
}

// Whether the first name.size() bytes of `line`, ASCII-lower-cased, equal
// `name` (which is lower case).
bool StartsWithLower(std::string_view line, std::string_view name) {
  if (line.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  return true;
}

bool EqualsLower(std::string_view text, std::string_view name) {
  return text.size() == name.size() && StartsWithLower(text, name);
}

// Header value: the line from 0-based `pos` to its end, blanks and control
// characters stripped from both ends.
std::string HeaderValue(std::string_view line, size_t pos) {
  return Trim(pos < line.size() ? line.substr(pos) : std::string_view());
}

void ExamineHeaderLine(std::string_view line, TCommand& command) {
  // The byte after the name is taken to be the colon and not looked at.
  if (StartsWithLower(line, "referer")) command.Referer = HeaderValue(line, 8);
  if (StartsWithLower(line, "content-type")) {
    command.ContentType = HeaderValue(line, 13);
    command.Boundary = "--" + GetFormField(std::string(line), "boundary");
  }
  if (StartsWithLower(line, "content-length")) command.ContentLength = HeaderValue(line, 15);
  if (StartsWithLower(line, "host")) command.Host = HeaderValue(line, 5);
}

}  // namespace

void ParseCommand(const std::string& request, TCommand& command) {
  command.Method.clear();
  command.Path.clear();
  command.Query.clear();
  command.Host.clear();
  command.Referer.clear();
  command.ContentType.clear();
  command.ContentLength.clear();
  command.Body.clear();
  command.Boundary.clear();
  command.Spare.clear();

  const std::string_view req(request);

  // Method and the rest of the request line. `lineEnd` is the 0-based index
  // of the first CR LF; the byte between the method and the rest is skipped
  // unseen, and an unknown method is assumed to be four bytes long.
  const size_t crlf = req.find("\r\n");
  const std::ptrdiff_t lineEnd = crlf == std::string_view::npos ? -1 : static_cast<std::ptrdiff_t>(crlf);
  std::ptrdiff_t restStart;
  if (req.substr(0, 3) == "GET") {
    command.Method = "GET";
    restStart = 4;
  } else if (req.substr(0, 4) == "POST") {
    command.Method = "POST";
    restStart = 5;
  } else if (req.substr(0, 4) == "HEAD") {
    command.Method = "HEAD";
    restStart = 5;
  } else {
    command.Method = "UNKW";
    restStart = 5;
  }
  const std::string_view rest = lineEnd < 0 ? std::string_view() : Take(req, restStart, lineEnd - restStart);

  // Path: up to the first blank or CR, '/' turned into '\'. Not decoded.
  for (char c : rest) {
    if (c == ' ' || c == '\r') break;
    command.Path += c == '/' ? '\\' : c;
  }

  // Path guard, before the query is split off: nothing may climb out of the
  // served directory.
  if (command.Path.find("..") != std::string::npos) command.Path = "--";
  if (command.Path.find("\\\\") != std::string::npos) command.Path = "--";

  const size_t q = command.Path.find('?');
  if (q != std::string::npos) {
    command.Query.assign(command.Path, q + 1);
    command.Path.resize(q);
  }

  // Header block: everything before the first CR LF CR LF, ending with that
  // sequence's CR. Lines end at CR, LF or CR LF; the request line is skipped.
  const size_t blank = req.find("\r\n\r\n");
  if (blank != std::string_view::npos) {
    const std::string_view block = req.substr(0, blank + 1);
    size_t pos = 0;
    bool first = true;
    while (pos < block.size()) {
      size_t end = pos;
      while (end < block.size() && block[end] != '\r' && block[end] != '\n') ++end;
      if (!first) ExamineHeaderLine(block.substr(pos, end - pos), command);
      first = false;
      pos = end;
      if (pos < block.size() && block[pos] == '\r') ++pos;
      if (pos < block.size() && block[pos] == '\n') ++pos;
    }
  }

  // Body: exactly Content-Length bytes after the blank line, as far as they
  // go. A Content-Length line can only have been seen when the blank line
  // exists. StrToInt raises EConvertError for a non-integer value.
  if (!command.ContentLength.empty()) {
    const int length = StrToInt(command.ContentLength);
    command.Body = Take(req, static_cast<std::ptrdiff_t>(blank) + 4, length);
  }

  if (!command.Body.empty() && EqualsLower(command.ContentType, "application/x-www-form-urlencoded"))
    DecodeFormText(command.Body);
}

std::string RequestFileName(const std::string& path) {
  // Walk forward by characters so that a trail byte is never mistaken for a
  // delimiter.
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsSjisLeadByte(c)) {
      ++i;  // its trail byte, if any
    } else if (c == '\\' || c == ':') {
      start = i + 1;
    }
  }
  return LowerCase(std::string_view(path).substr(start));
}

}  // namespace korimo
