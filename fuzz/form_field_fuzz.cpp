// Form text decoded, then looked up: the first byte picks the field name.
#include <cstdint>
#include <string>

#include "web/Command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kNames[] = {"handle", "text", "color", "boundary", "a", ""};
  if (size == 0) return 0;
  std::string name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t before = text.size();
  korimo::DecodeFormText(text);
  if (text.size() > before) __builtin_trap();  // decoding never grows a text
  std::string value = korimo::GetFormField(text, name);
  if (value.size() > text.size()) __builtin_trap();
  return 0;
}
