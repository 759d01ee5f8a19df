// What a post carries, read once from its decoded body, and the colours a
// writer may choose: one table for the line that is posted and for the
// post form that offers them.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace korimo {

// The fields "handle", "text" and "color" of a post (Shift-JIS, trimmed).
struct TPostFields {
  std::string Handle;
  std::string Text;
  std::string Colour;
};
TPostFields ReadPostFields(const std::string& body);

struct TColour {
  std::string_view Name;      // the form's value, matched exactly
  std::string_view FontOpen;  // wraps the posted text; empty: not wrapped
  std::string_view Word;      // UTF-8; the form's label
};
// In the form's order; the first is the default colour, which wraps nothing.
const std::array<TColour, 6>& Colours();

// The posted text as it goes into its line: wrapped in the colour's font
// tag when `colour` names one that has it.
std::string ColouredText(const std::string& text, const std::string& colour);

}  // namespace korimo
