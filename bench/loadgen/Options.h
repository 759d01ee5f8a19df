// Command-line options of the load generator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>

namespace loadgen {

enum class Mode {
  HalfClose,   // closed loop, the client shuts down its sending side after the request
  Open,        // closed loop, the sending side stays open (a browser's way)
  Population,  // B browsers, each asking again T seconds after its answer
  Idle,        // only the idle connections, held for the duration
};

const char* ModeName(Mode m);

struct Options {
  std::string host = "127.0.0.1";
  in_addr addr{};  // the host as a loopback IPv4 address (filled by ParseArgs)
  uint16_t port = 0;
  std::string path = "/";
  Mode mode = Mode::HalfClose;
  int conns = 1;               // closed-loop connections
  int browsers = 0;            // population size
  double interval = 5.0;       // s between a browser's answer and its next request
  bool halfClose = true;       // derived from the mode; --halfclose forces it for a population
  int idle = 0;                // idle connections held during the run
  double duration = 5.0;       // s of load
  double drain = 5.0;          // s allowed after the load for answers in flight
  double timeout = 10.0;       // s per request, connect start to the server's close
  double idleSetup = 20.0;     // s allowed to open the idle connections before the load
  long long expectBytes = -1;  // exact body length, -1 = not checked
  long long minBytes = -1;     // minimal body length, -1 = not checked
  long long maxRequests = 0;   // stop starting requests after this many, 0 = no limit
  int sources = 1;             // source addresses in use from the start (127.0.0.1, .2, ...)
  int maxSources = 64;         // how far the source addresses may grow on EADDRNOTAVAIL
  int portLo = 0, portHi = 0;  // client port range per socket (to provoke exhaustion), 0 = system's
  int maxInflight = 0;         // cap on requests in flight, 0 = from the descriptor limit
  uint64_t seed = 1;
  bool quiet = false;          // print only the RESULT line
  bool freePort = false;       // print a free loopback port and exit
};

struct ParseResult {
  std::optional<Options> options;  // empty on error or --help
  std::string error;               // non-empty on error
  bool help = false;
};

// args excludes the program name.
ParseResult ParseArgs(const std::vector<std::string>& args);
std::string Usage();

// Accepts "localhost" and dotted IPv4 addresses in 127.0.0.0/8 only.
bool ParseLoopbackHost(const std::string& host, in_addr* out);

}  // namespace loadgen
