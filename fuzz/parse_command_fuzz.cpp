// Raw bytes as a request text: parsing never reads outside the text, never
// fails but with the integer conversion error, and keeps its promises.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/SysUtils.h"
#include "web/Command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader never keeps a NUL: the text ends at one.
  std::string request(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  korimo::TCommand command;
  try {
    korimo::ParseCommand(request, command);
  } catch (const korimo::EConvertError&) {
    return 0;
  }
  if (command.Method != "GET" && command.Method != "POST" && command.Method != "HEAD" && command.Method != "UNKW")
    __builtin_trap();
  if (command.Path != "--" && command.Path.find("..") != std::string::npos) __builtin_trap();
  if (command.Path.find("\\\\") != std::string::npos) __builtin_trap();
  if (!command.Spare.empty()) __builtin_trap();
  (void)korimo::RequestFileName(command.Path);
  return 0;
}
