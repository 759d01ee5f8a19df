// loadgen: load generator for one-request-per-connection HTTP/1.0 servers on loopback.
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Runner.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  loadgen::ParseResult parsed = loadgen::ParseArgs(args);
  if (parsed.help) {
    std::fputs(loadgen::Usage().c_str(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "loadgen: %s\n%s", parsed.error.c_str(), loadgen::Usage().c_str());
    return 2;
  }
  const loadgen::Options& o = *parsed.options;
  if (o.freePort) {
    uint16_t port = loadgen::FreeLoopbackPort();
    if (port == 0) return 1;
    std::printf("%u\n", port);
    return 0;
  }
  loadgen::RaiseFileLimit();
  loadgen::Report report;
  std::string error;
  if (!loadgen::Run(o, &report, &error)) {
    std::fprintf(stderr, "loadgen: %s\n", error.c_str());
    return 1;
  }
  if (!o.quiet) std::fputs(loadgen::FormatHuman(report).c_str(), stdout);
  std::printf("%s\n", loadgen::FormatResult(report).c_str());
  return 0;
}
