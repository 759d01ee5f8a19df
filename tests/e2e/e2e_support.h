// Helpers for the end-to-end tests: a temporary working directory with a
// root/ folder, the real korimo binary as a child process driven through
// its console, and a small loopback HTTP client.
//
// Every wait here is on an event (process output, socket readiness, the
// child's end) with a deadline; nothing sleeps to synchronise.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "loopback.h"

namespace korimo::e2e {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

inline Ms Since(Clock::time_point t) { return std::chrono::duration_cast<Ms>(Clock::now() - t); }

inline std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

// A descriptor closed on every way out.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : F(fd) {}
  Fd(Fd&& o) noexcept : F(std::exchange(o.F, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      F = std::exchange(o.F, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int get() const { return F; }
  explicit operator bool() const { return F >= 0; }
  void Reset() {
    if (F >= 0) close(F);
    F = -1;
  }

 private:
  int F = -1;
};

// ---------------------------------------------------------------- sockets

using testing_support::Loopback;

// A listener on 127.0.0.1 at a port the system picks; `port` receives it.
inline Fd ListenOnFreePort(int& port) {
  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error(Errno("socket"));
  sockaddr_in a = Loopback(0);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error(Errno("bind"));
  if (listen(s.get(), 5) != 0) throw std::runtime_error(Errno("listen"));
  socklen_t len = sizeof a;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

// A port that was free a moment ago (bound on 127.0.0.1 port 0, then let go).
inline int PickFreePort() {
  int port = 0;
  ListenOnFreePort(port);
  return port;
}

// A connection to 127.0.0.1:port, or an empty Fd when it is refused.
inline Fd TryConnect(int port) {
  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error(Errno("socket"));
  sockaddr_in a = Loopback(port);
  int r;
  do {
    r = connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Fd();
  return s;
}

inline Fd Connect(int port) {
  Fd s = TryConnect(port);
  if (!s) throw std::runtime_error(Errno("connect"));
  return s;
}

// Connections waiting in the accept queue of the listener on `port` (any
// local address), from the kernel's table; -1 when no listener is found.
inline int AcceptQueueLength(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    char local[64] = {0}, remote[64] = {0};
    unsigned state = 0, txQueue = 0, rxQueue = 0;
    if (sscanf(line.c_str(), " %*d: %63s %63s %x %x:%x", local, remote, &state, &txQueue, &rxQueue) != 5) continue;
    std::string_view l(local);
    if (state == 0x0A && l.size() > 5 && l.substr(l.size() - 5) == wanted) return static_cast<int>(rxQueue);
  }
  return -1;
}

// Connects once the server has taken the earlier connections off its
// accept queue, so that a test's connections reach their workers in the
// order they were made.
inline Fd ConnectPaced(int port, Ms timeout = Ms(5000)) {
  auto deadline = Clock::now() + timeout;
  while (AcceptQueueLength(port) > 1 && Clock::now() < deadline) poll(nullptr, 0, 1);
  return Connect(port);
}

inline void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(Errno("send"));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// True when `fd` has data (or an end) to read within `timeout`.
inline bool WaitReadable(int fd, Ms timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left < 0 ? 0 : left));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

struct Received {
  std::string Bytes;
  bool Closed = false;  // the peer closed the connection
  int Error = 0;        // errno when the connection failed rather than closed
};

// Reads until the peer closes or the time is up.
inline Received ReadToClose(int fd, Ms timeout = Ms(5000)) {
  Received out;
  auto deadline = Clock::now() + timeout;
  char buf[8192];
  for (;;) {
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, left)) return out;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) out.Error = errno;
      out.Closed = true;  // a reset counts as a close too
      return out;
    }
    out.Bytes.append(buf, static_cast<size_t>(n));
  }
}

// One request sent whole, the sending side closed, the whole answer read.
inline std::string Exchange(int port, std::string_view request, Ms timeout = Ms(5000)) {
  Fd s = Connect(port);
  SendAll(s.get(), request);
  shutdown(s.get(), SHUT_WR);
  Received r = ReadToClose(s.get(), timeout);
  if (!r.Closed) {
    throw std::runtime_error("no close within " + std::to_string(timeout.count()) +
                             " ms after: " + std::string(request.substr(0, 40)));
  }
  if (r.Error) throw std::runtime_error(std::string("connection failed: ") + strerror(r.Error));
  return r.Bytes;
}

inline std::string Get(int port, std::string_view path) {
  return Exchange(port, "GET " + std::string(path) + " HTTP/1.0\r\n\r\n");
}

// A browser-like form post to /scripts/append.cgi.
inline std::string PostRequest(std::string_view body) {
  return "POST /scripts/append.cgi HTTP/1.0\r\n"
         "Host: 127.0.0.1\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// ------------------------------------------------------------------ pages

inline std::vector<std::string> SplitCrLf(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t e = text.find("\r\n", at);
    if (e == std::string_view::npos) {
      lines.emplace_back(text.substr(at));
      break;
    }
    lines.emplace_back(text.substr(at, e - at));
    at = e + 2;
  }
  return lines;
}

// The chat lines of a chat view page, oldest first, without "<br>" and
// without the anchor line. Fails the caller's expectations by returning
// nothing when the page has no "<p>" ... "</p>" block.
inline std::vector<std::string> ChatLinesOfPage(std::string_view page) {
  std::vector<std::string> all = SplitCrLf(page), chat;
  size_t i = 0;
  while (i < all.size() && all[i] != "<p>") ++i;
  for (++i; i < all.size() && all[i] != "</p>"; ++i) {
    if (all[i] == "<a name=\"btm\">") continue;
    std::string l = all[i];
    if (l.size() >= 4 && l.compare(l.size() - 4, 4, "<br>") == 0) l.resize(l.size() - 4);
    chat.push_back(l);
  }
  return chat;
}

// A chat line without its " (hh:nn)" time suffix; nullopt when it has none.
inline std::optional<std::string> WithoutTime(const std::string& line) {
  static const std::regex kSuffix(" \\([0-2][0-9]:[0-5][0-9]\\)$");
  std::smatch m;
  if (!std::regex_search(line, m, kSuffix)) return std::nullopt;
  return line.substr(0, static_cast<size_t>(m.position(0)));
}

inline std::vector<std::string> WithoutTimes(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(WithoutTime(l).value_or("<no time suffix>" + l));
  return out;
}

// ------------------------------------------------------------ work folder

// A fresh working directory with an empty root/ folder; removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korimo-e2e-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error(Errno("mkdtemp"));
    Path = tmpl;
    std::filesystem::create_directory(Path / "root");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes root/<relative> (folders made as needed).
  void AddFile(const std::string& relative, std::string_view bytes) const {
    auto p = Path / "root" / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
  }

  std::filesystem::path Path;
};

// --------------------------------------------------------------- process

struct SpawnOptions {
  // Run without the capability to bind ports below the unprivileged start
  // (dropped from the bounding set between fork and exec).
  bool DropBindCapability = false;
  // Descriptor limits for the child (0: inherited).
  rlim_t SoftDescriptorLimit = 0;
  rlim_t HardDescriptorLimit = 0;
  // More options for StartServer, after --console and --port.
  std::vector<std::string> ExtraArgs;
  // NAME=VALUE entries for the child's environment, over the test's own;
  // a bare NAME takes NAME out of it.
  std::vector<std::string> Environment;
};

// The korimo binary as a child: standard input, output and error are
// pipes; a reader thread collects the output. The child is killed and
// reaped when the object goes, whatever the test's outcome.
class Korimo {
 public:
  Korimo(const std::filesystem::path& workDir, std::vector<std::string> args, SpawnOptions opt = {}) {
    signal(SIGPIPE, SIG_IGN);  // a dead child's stdin must not stop the test
    int in[2], out[2], err[2], status[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(status, O_CLOEXEC))
      throw std::runtime_error(Errno("pipe2"));
    std::string binary = KORIMO_BINARY;
    std::vector<std::string> argvText{binary};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      bool replaced = std::any_of(opt.Environment.begin(), opt.Environment.end(), [&](const std::string& o) {
        return o == name || o.rfind(name + "=", 0) == 0;
      });
      if (!replaced) envText.push_back(entry);
    }
    for (const std::string& o : opt.Environment) {
      if (o.find('=') != std::string::npos) envText.push_back(o);
    }
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string dir = workDir.string();
    // The child dies with the test when forked from the main thread (the
    // signal is tied to the forking thread, so not from a helper thread).
    const bool fromMainThread = getpid() == static_cast<pid_t>(syscall(SYS_gettid));
    rlimit limits{};
    if (opt.SoftDescriptorLimit != 0) {
      getrlimit(RLIMIT_NOFILE, &limits);
      limits.rlim_cur = opt.SoftDescriptorLimit;
      if (opt.HardDescriptorLimit != 0) limits.rlim_max = opt.HardDescriptorLimit;
    }

    Pid = fork();
    if (Pid < 0) throw std::runtime_error(Errno("fork"));
    if (Pid == 0) {
      // Only async-signal-safe calls from here to exec.
      auto fail = [&](int stage) {
        int report[2] = {stage, errno};
        ssize_t ignored = write(status[1], report, sizeof report);
        (void)ignored;
        _exit(127);
      };
      if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) fail(1);
      if (chdir(dir.c_str()) != 0) fail(2);
      if (fromMainThread) prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
      if (opt.DropBindCapability && prctl(PR_CAPBSET_DROP, CAP_NET_BIND_SERVICE, 0, 0, 0) != 0) fail(3);
      if (limits.rlim_cur != 0 && setrlimit(RLIMIT_NOFILE, &limits) != 0) fail(5);
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(argv[0], argv.data(), envp.data());
      fail(4);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(status[1]);
    In = Fd(in[1]);
    OutFd = Fd(out[0]);
    ErrFd = Fd(err[0]);
    int report[2] = {0, 0};
    ssize_t n;
    do {
      n = read(status[0], report, sizeof report);
    } while (n < 0 && errno == EINTR);
    close(status[0]);
    if (n > 0) {
      int st = 0;
      waitpid(Pid, &st, 0);
      Pid = -1;
      SpawnFailure = report[0];
      SpawnErrno = report[1];
      return;
    }
    Reader = std::thread([this] { ReadOutput(); });
  }

  ~Korimo() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      int st = 0;
      waitpid(Pid, &st, 0);
    }
    if (Reader.joinable()) Reader.join();
  }

  Korimo(const Korimo&) = delete;
  Korimo& operator=(const Korimo&) = delete;

  // 0 when the program started; otherwise the step that failed in the
  // child (3: dropping the capability) with its errno.
  int spawnFailure() const { return SpawnFailure; }
  int spawnErrno() const { return SpawnErrno; }
  pid_t pid() const { return Pid; }

  // Types one console line (UTF-8).
  void Type(const std::string& line) {
    std::string l = line + "\n";
    std::string_view rest = l;
    while (!rest.empty() && In) {
      ssize_t n = write(In.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;  // the child is gone; the caller's next wait tells
      rest.remove_prefix(static_cast<size_t>(n));
    }
  }

  void CloseStdin() { In.Reset(); }

  void Signal(int sig) {
    if (Pid > 0) kill(Pid, sig);
  }

  // Everything the child wrote so far.
  std::string Stdout() const {
    std::lock_guard<std::mutex> l(M);
    return OutText;
  }
  std::string Stderr() const {
    std::lock_guard<std::mutex> l(M);
    return ErrText;
  }

  // Waits until `pred` holds for the output collected so far (stdout, stderr).
  bool WaitOutput(const std::function<bool(const std::string&, const std::string&)>& pred, Ms timeout = Ms(5000)) {
    std::unique_lock<std::mutex> l(M);
    return Changed.wait_until(l, Clock::now() + timeout, [&] { return pred(OutText, ErrText) || OutputEnded; }) &&
           pred(OutText, ErrText);
  }

  bool WaitStdoutFrom(size_t from, std::string_view needle, Ms timeout = Ms(5000)) {
    return WaitOutput(
        [&](const std::string& o, const std::string&) { return o.find(needle, from) != std::string::npos; }, timeout);
  }
  bool WaitStderrFrom(size_t from, std::string_view needle, Ms timeout = Ms(5000)) {
    return WaitOutput(
        [&](const std::string&, const std::string& e) { return e.find(needle, from) != std::string::npos; }, timeout);
  }

  // Waits until every command typed so far has been carried out and its
  // output written: an unknown command is answered on stderr in turn, after
  // everything typed before it. Returns false when the child is gone.
  bool Barrier(Ms timeout = Ms(5000)) {
    std::string mark = "/e2e-barrier-" + std::to_string(++Barriers);
    size_t from = Stderr().size();
    Type(mark);
    return WaitStderrFrom(from, "unknown command: " + mark + " ", timeout);
  }

  // "/show", returned as printed (UTF-8), the barrier making it complete.
  std::string Show() {
    if (!Barrier()) return "<no answer>";  // output of earlier commands first
    size_t from = Stdout().size();
    Type("/show");
    if (!Barrier()) return "<no answer>";
    return Stdout().substr(from);
  }

  // The exit status once the child has ended within `timeout`: the exit
  // code, or 128 + signal number.
  std::optional<int> WaitExit(Ms timeout = Ms(5000)) {
    if (Pid <= 0) return ExitCode;
    {
      std::unique_lock<std::mutex> l(M);
      if (!Changed.wait_until(l, Clock::now() + timeout, [&] { return OutputEnded; })) return std::nullopt;
    }
    // Both pipes ended: the child has exited (it starts no processes).
    int st = 0;
    if (waitpid(Pid, &st, 0) != Pid) return std::nullopt;
    Pid = -1;
    ExitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return ExitCode;
  }

  bool Running() {
    if (Pid <= 0) return false;
    int st = 0;
    pid_t r = waitpid(Pid, &st, WNOHANG);
    if (r == 0) return true;
    if (r == Pid) {
      Pid = -1;
      ExitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return false;
  }

 private:
  void ReadOutput() {
    pollfd fds[2] = {{OutFd.get(), POLLIN, 0}, {ErrFd.get(), POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
      int r = poll(fds, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !fds[i].revents) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> l(M);
        if (n <= 0) {
          fds[i].fd = -1;
          --open;
        } else {
          (i == 0 ? OutText : ErrText).append(buf, static_cast<size_t>(n));
        }
        Changed.notify_all();
      }
    }
    std::lock_guard<std::mutex> l(M);
    OutputEnded = true;
    Changed.notify_all();
  }

  pid_t Pid = -1;
  int SpawnFailure = 0, SpawnErrno = 0;
  std::optional<int> ExitCode;
  Fd In, OutFd, ErrFd;
  std::thread Reader;
  mutable std::mutex M;
  std::condition_variable Changed;
  std::string OutText, ErrText;
  bool OutputEnded = false;
  int Barriers = 0;
};

// True once a connection to `port` succeeds, within `timeout`, while the
// child lives.
inline bool WaitListening(Korimo& k, int port, Ms timeout = Ms(5000)) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (TryConnect(port)) return true;  // closed at once: the worker reads nothing and sends nothing
    if (!k.Running()) return false;
    // A refused connect returns at once; give the child a moment by
    // waiting on its output instead of sleeping blindly.
    k.WaitOutput([](const std::string&, const std::string&) { return false; }, Ms(10));
  }
  return false;
}

// A running server in its own working directory, on a port of its own.
struct Server {
  std::unique_ptr<Korimo> Process;
  int Port = 0;
  Korimo* operator->() { return Process.get(); }
  Korimo& operator*() { return *Process; }
};

// Starts `korimo --console --port P` in `dir` and waits until it serves.
// A port taken by someone else between picking and binding is retried.
inline Server StartServer(const TempDir& dir, SpawnOptions opt = {}) {
  std::string lastError;
  for (int attempt = 0; attempt < 5; ++attempt) {
    Server s;
    s.Port = PickFreePort();
    std::vector<std::string> args{"--console", "--port", std::to_string(s.Port)};
    args.insert(args.end(), opt.ExtraArgs.begin(), opt.ExtraArgs.end());
    s.Process = std::make_unique<Korimo>(dir.Path, args, opt);
    if (s->spawnFailure()) {
      throw std::runtime_error("spawn failed at step " + std::to_string(s->spawnFailure()) + ": " +
                               strerror(s->spawnErrno()));
    }
    // Listening, and the listener is this child's: it answers a command.
    if (WaitListening(*s, s.Port) && s->Barrier() && s->Show().find("Active: yes\n") != std::string::npos) {
      return s;
    }
    lastError = s->Stderr();
    if (lastError.find("Address already in use") == std::string::npos) break;
  }
  throw std::runtime_error("korimo did not start: " + lastError);
}

// ------------------------------------------------------ hostile clients

// The page heads and the short "404" page ("404 ファイルが見つかりません"
// in CP932), byte for byte.
inline const std::string& HtmlReplyHead() {
  static const std::string k = "HTTP/1.0 200 Document follows\r\nContent-Type: text/html\r\n\r\n";
  return k;
}
inline const std::string& ShortNotFoundPage() {
  static const std::string k =
      "HTTP/1.0 404 Document follows\r\nContent-Type: text/html\r\n\r\n"
      "<HTML><BODY><CENTER><H2>404 "
      "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1"
      "</H2></CENTER></BODY></HTML>\r\n";
  return k;
}

// A connection whose receive buffer is set before the handshake, so that
// the window stays small and the server's sends block after a few pieces.
inline Fd ConnectWithReceiveBuffer(int port, int bytes) {
  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error(Errno("socket"));
  setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  sockaddr_in a = Loopback(port);
  int r;
  do {
    r = connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (r != 0 && errno == EINTR);
  if (r != 0) throw std::runtime_error(Errno("connect"));
  return s;
}

// Closes with a reset (SO_LINGER {1, 0}): the peer's next read or send
// fails with ECONNRESET.
inline void ResetClose(Fd& s) {
  if (!s) return;
  linger l{1, 0};
  setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  s.Reset();
}

// Reads until at least `bytes` have come, the peer closes or the time is up.
inline Received ReadAtLeast(int fd, size_t bytes, Ms timeout = Ms(5000)) {
  Received out;
  auto deadline = Clock::now() + timeout;
  char buf[65536];
  while (out.Bytes.size() < bytes) {
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, left)) return out;
    ssize_t n = recv(fd, buf, std::min(sizeof buf, bytes - out.Bytes.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) out.Error = errno;
      out.Closed = true;
      return out;
    }
    out.Bytes.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Bytes that are easy to tell apart at any offset (no two 1 KiB blocks
// alike), `seed` making different files differ everywhere.
inline std::string PatternBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = 0x9E3779B9u * (seed + 1);
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// Raises this process's descriptor limit to `wanted` or as far as the hard
// limit allows; returns the soft limit in force afterwards.
inline rlim_t RaiseDescriptorLimit(rlim_t wanted) {
  rlimit l{};
  getrlimit(RLIMIT_NOFILE, &l);
  if (l.rlim_cur < wanted) {
    l.rlim_cur = l.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, l.rlim_max);
    setrlimit(RLIMIT_NOFILE, &l);
    getrlimit(RLIMIT_NOFILE, &l);
  }
  return l.rlim_cur;
}

// ------------------------------------------------ the server as /proc sees it

// A numeric field of /proc/PID/status ("Threads", "VmRSS" in KiB, ...);
// -1 when the process or the field is gone.
inline long ProcStatusValue(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}
inline long ThreadCount(pid_t pid) { return ProcStatusValue(pid, "Threads"); }
inline long ResidentKiB(pid_t pid) { return ProcStatusValue(pid, "VmRSS"); }

// What each open descriptor of the process refers to ("socket:[123]",
// "/path/file", "anon_inode:[eventfd]", ...).
inline std::vector<std::string> OpenDescriptors(pid_t pid) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code linkError;
    auto target = std::filesystem::read_symlink(e.path(), linkError);
    if (!linkError) out.push_back(target.string());  // a descriptor closed meanwhile is skipped
  }
  return out;
}

// Descriptors of the process that hold a TCP connection on local port
// `port` (any state but listening): connections accepted and not yet
// closed by the server.
inline int ConnectionDescriptors(pid_t pid, int port) {
  std::set<std::string> inodes;
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    unsigned localPort = 0, state = 0;
    unsigned long inode = 0;
    if (sscanf(line.c_str(), " %*d: %*[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %*d %*d %lu", &localPort, &state, &inode) != 3)
      continue;
    if (static_cast<int>(localPort) == port && state != 0x0A && inode != 0)
      inodes.insert("socket:[" + std::to_string(inode) + "]");
  }
  int n = 0;
  for (const std::string& d : OpenDescriptors(pid)) n += inodes.count(d) ? 1 : 0;
  return n;
}

// What the process's threads are doing, counted by state and kernel wait
// point ("12 x S futex_wait_queue, 1 x S do_sys_poll"): for the message of
// a test that found the process stuck.
inline std::string ThreadSummary(pid_t pid) {
  std::map<std::string, int> counts;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::string stat, wchan;
    std::getline(std::ifstream(task.path() / "stat"), stat);
    std::getline(std::ifstream(task.path() / "wchan"), wchan);
    size_t close = stat.rfind(')');
    std::string state = close != std::string::npos && close + 2 < stat.size() ? stat.substr(close + 2, 1) : "?";
    ++counts[state + " " + (wchan.empty() || wchan == "0" ? "-" : wchan)];
  }
  std::string out;
  for (const auto& [what, n] : counts) out += (out.empty() ? "" : ", ") + std::to_string(n) + " x " + what;
  return out;
}

// The server's error reports so far, as written: lines shown to the
// operator ("korimo: ...") and sanitizer reports. Empty when there are none.
inline std::string ErrorReports(const Korimo& k) {
  std::string reports;
  std::istringstream lines(k.Stderr());
  for (std::string l; std::getline(lines, l);) {
    if (l.rfind("korimo:", 0) == 0 || l.find("Sanitizer") != std::string::npos ||
        l.find("runtime error:") != std::string::npos)
      reports += l + "\n";
  }
  return reports;
}

// Looks every millisecond or so until `done` holds or `timeout` passes.
// For states that can only be observed by looking (/proc), not waited on.
inline bool PollUntil(const std::function<bool()>& done, Ms timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    poll(nullptr, 0, 1);
  }
}

// Ends a hung test: after `timeout` it kills the child (which unblocks
// every connection and console wait of the test) and records that it fired.
class Watchdog {
 public:
  Watchdog(pid_t pid, Ms timeout)
      : T([this, pid, timeout] {
          std::unique_lock<std::mutex> l(M);
          if (!Cv.wait_for(l, timeout, [this] { return Disarmed; })) {
            Fired = true;
            if (pid > 0) kill(pid, SIGKILL);
          }
        }) {}
  ~Watchdog() { Disarm(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Stops watching; true when it had not fired.
  bool Disarm() {
    {
      std::lock_guard<std::mutex> l(M);
      Disarmed = true;
    }
    Cv.notify_all();
    if (T.joinable()) T.join();
    return !Fired;
  }

 private:
  std::mutex M;
  std::condition_variable Cv;
  bool Disarmed = false;
  bool Fired = false;
  std::thread T;
};

}  // namespace korimo::e2e
