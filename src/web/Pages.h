// The service's generated responses, built whole in memory as Shift-JIS
// bytes with their status line and header. Every line ends with CR LF.
#pragma once

#include <string>
#include <vector>

#include "web/Posting.h"

namespace korimo {

// The self-reloading chat view for the given lines (oldest first) and the
// Refresh field's text, used unchanged.
std::string BuildChatViewPage(const std::vector<std::string>& lines, const std::string& refresh);
// The post form, with the handle and the colour of the post kept.
std::string BuildPostFormPage(const TPostFields& posted);
// "404", short form.
const std::string& NotFoundPage();
// "404" with a message line.
std::string NotFoundPage(const std::string& message);
// "501" naming the method.
std::string NotImplementedPage(const std::string& method);
// Status line, the content-type line for `fileName` (by extension) and the
// empty line.
std::string StaticFileHeader(const std::string& fileName);

}  // namespace korimo
