#include "web/Posting.h"

#include "web/Command.h"

namespace korimo {

TPostFields ReadPostFields(const std::string& body) {
  return {GetFormField(body, "handle"), GetFormField(body, "text"), GetFormField(body, "color")};
}

const std::array<TColour, 6>& Colours() {
  static constexpr std::array<TColour, 6> kColours = {{
      {"Black", "", "黒"},
      {"Red", "<font color=\"red\">", "赤"},
      {"Blue", "<font color=\"blue\">", "青"},
      {"Green", "<font color=\"green\">", "緑"},
      {"Orange", "<font color=\"#ff8c00\">", "オレンジ"},
      {"Purple", "<font color=\"#9400d3\">", "紫"},
  }};
  return kColours;
}

std::string ColouredText(const std::string& text, const std::string& colour) {
  for (const TColour& c : Colours()) {
    if (colour == c.Name && !c.FontOpen.empty()) return std::string(c.FontOpen) + text + "</font>";
  }
  return text;
}

}  // namespace korimo
