#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <type_traits>
#include <map>

namespace loadgen {

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::HalfClose: return "halfclose";
    case Mode::Open: return "open";
    case Mode::Population: return "population";
    case Mode::Idle: return "idle";
  }
  return "?";
}

bool ParseLoopbackHost(const std::string& host, in_addr* out) {
  std::string h = host == "localhost" ? "127.0.0.1" : host;
  in_addr a{};
  if (inet_pton(AF_INET, h.c_str(), &a) != 1) return false;
  if ((ntohl(a.s_addr) >> 24) != 127) return false;
  if (out) *out = a;
  return true;
}

std::string Usage() {
  return
      "usage: loadgen --port P [options]\n"
      "  --host H           target, loopback only (127.0.0.0/8 or localhost; default 127.0.0.1)\n"
      "  --port P           target port\n"
      "  --path /X          request path (default /)\n"
      "  --mode M           halfclose | open | population | idle (default halfclose)\n"
      "  --conns C          closed-loop connections (halfclose, open)\n"
      "  --browsers B       population size; --interval T seconds between answer and next request\n"
      "  --halfclose        population browsers half-close too (default: sending side open)\n"
      "  --idle K           idle connections (send nothing) held during the run\n"
      "  --duration S       load seconds (default 5); --drain S limit after it (default 5)\n"
      "  --timeout S        per request limit (default 10); --idle-setup S (default 20)\n"
      "  --expect-bytes N   body must be exactly N bytes; --min-bytes N at least N\n"
      "  --requests N       start at most N requests (0 = no limit)\n"
      "  --sources N        spread from the start over N source addresses 127.0.0.1..; --max-sources N\n"
      "  --max-inflight N   cap on requests in flight (default from RLIMIT_NOFILE)\n"
      "  --port-range L-H   client ports per socket (IP_LOCAL_PORT_RANGE), to provoke exhaustion\n"
      "  --seed N           population phases; --quiet prints only the RESULT line\n"
      "  --free-port        print a free loopback TCP port and exit\n";
}

namespace {

bool ToInt(const std::string& s, long long lo, long long hi, long long* out) {
  long long v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ToDouble(const std::string& s, double lo, double hi, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v) || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

ParseResult ParseArgs(const std::vector<std::string>& args) {
  ParseResult r;
  Options o;
  std::string mode = "halfclose";
  bool forceHalfClose = false;

  auto intOpt = [](auto* field, long long lo, long long hi) {
    return [=](const std::string& v) {
      long long x;
      if (!ToInt(v, lo, hi, &x)) return false;
      *field = static_cast<std::remove_pointer_t<decltype(field)>>(x);
      return true;
    };
  };
  auto dblOpt = [](double* field, double lo, double hi) {
    return [=](const std::string& v) { return ToDouble(v, lo, hi, field); };
  };
  std::map<std::string, std::function<bool(const std::string&)>> valued = {
      {"host", [&](const std::string& v) { o.host = v; return true; }},
      {"port", intOpt(&o.port, 1, 65535)},
      {"path", [&](const std::string& v) { o.path = v; return true; }},
      {"mode", [&](const std::string& v) { mode = v; return true; }},
      {"conns", intOpt(&o.conns, 1, 100000)},
      {"browsers", intOpt(&o.browsers, 1, 1000000)},
      {"interval", dblOpt(&o.interval, 0.001, 3600)},
      {"idle", intOpt(&o.idle, 0, 100000)},
      {"duration", dblOpt(&o.duration, 0.001, 3600)},
      {"drain", dblOpt(&o.drain, 0, 600)},
      {"timeout", dblOpt(&o.timeout, 0.001, 600)},
      {"idle-setup", dblOpt(&o.idleSetup, 0, 600)},
      {"expect-bytes", intOpt(&o.expectBytes, 0, 1LL << 50)},
      {"min-bytes", intOpt(&o.minBytes, 0, 1LL << 50)},
      {"requests", intOpt(&o.maxRequests, 0, 1LL << 50)},
      {"sources", intOpt(&o.sources, 1, 250)},
      {"max-sources", intOpt(&o.maxSources, 1, 250)},
      {"max-inflight", intOpt(&o.maxInflight, 1, 10000000)},
      {"seed", intOpt(&o.seed, 0, 1LL << 62)},
      {"port-range",
       [&](const std::string& v) {
         auto dash = v.find('-');
         long long lo, hi;
         if (dash == std::string::npos || !ToInt(v.substr(0, dash), 1, 65535, &lo) ||
             !ToInt(v.substr(dash + 1), lo, 65535, &hi))
           return false;
         o.portLo = static_cast<int>(lo);
         o.portHi = static_cast<int>(hi);
         return true;
       }},
  };
  std::map<std::string, bool*> flags = {
      {"halfclose", &forceHalfClose}, {"quiet", &o.quiet}, {"free-port", &o.freePort}};

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      r.help = true;
      return r;
    }
    if (a.rfind("--", 0) != 0) {
      r.error = "unexpected argument: " + a;
      return r;
    }
    std::string key = a.substr(2), value;
    bool inlineValue = false;
    if (auto eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
      inlineValue = true;
    }
    if (auto f = flags.find(key); f != flags.end() && !inlineValue) {
      *f->second = true;
      continue;
    }
    auto v = valued.find(key);
    if (v == valued.end()) {
      r.error = "unknown option: --" + key;
      return r;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        r.error = "missing value for --" + key;
        return r;
      }
      value = args[++i];
    }
    if (!v->second(value)) {
      r.error = "bad value for --" + key + ": " + value;
      return r;
    }
  }

  if (o.freePort) {
    r.options = o;
    return r;
  }
  if (!ParseLoopbackHost(o.host, &o.addr)) {
    r.error = "refusing target " + o.host + ": only loopback addresses (127.0.0.0/8) are allowed";
    return r;
  }
  if (o.port == 0) {
    r.error = "--port is required";
    return r;
  }
  if (o.path.empty() || o.path[0] != '/' ||
      o.path.find_first_of(" \r\n\t") != std::string::npos) {
    r.error = "bad --path: " + o.path;
    return r;
  }
  if (mode == "halfclose") {
    o.mode = Mode::HalfClose;
  } else if (mode == "open") {
    o.mode = Mode::Open;
  } else if (mode == "population") {
    o.mode = Mode::Population;
    if (o.browsers < 1) {
      r.error = "population mode needs --browsers";
      return r;
    }
  } else if (mode == "idle") {
    o.mode = Mode::Idle;
    if (o.idle < 1) {
      r.error = "idle mode needs --idle";
      return r;
    }
  } else {
    r.error = "unknown mode: " + mode;
    return r;
  }
  o.halfClose = o.mode == Mode::HalfClose || forceHalfClose;
  if (o.sources > o.maxSources) o.maxSources = o.sources;
  r.options = o;
  return r;
}

}  // namespace loadgen
