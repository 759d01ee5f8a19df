// korimo: the LAN chat server with its operator window.
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/Console.h"
#include "app/FormTest.h"
#include "app/WorkingDirectory.h"
#include "net/BindHelper.h"
#include "net/Thread.h"
#ifdef KORIMO_HAVE_QT
#include "app/QtFormView.h"
#endif

#ifndef KORIMO_VERSION
#define KORIMO_VERSION "0"
#endif

using namespace korimo;

namespace {

void Usage(FILE* f) {
  fprintf(f,
          "Usage: korimo [--console] [--quiet] [--port N] [--directory DIR | --user-data]\n"
          "              [--max-workers N] [--idle-grace-ms MS]\n"
          "A web chat for the local network, with an operator window.\n"
          "\n"
          "  --console           use the console instead of the window (the\n"
          "                      default when no display is available)\n"
          "  --quiet             the console prints no chat lines (start-up,\n"
          "                      errors and the end still go to stderr)\n"
          "  --directory DIR     work in DIR; a DIR without root/ gets a copy\n"
          "                      of the shipped start page as root/\n"
          "  --user-data         the same with the user's data folder\n"
          "                      ($XDG_DATA_HOME/korimo or ~/.local/share/korimo)\n"
          "  --port N            listen on port N (default 80, which needs\n"
          "                      privileges)\n"
          "  --max-workers N     serve at most N connections at once (default\n"
          "                      4096); more wait in the listen queue\n"
          "  --idle-grace-ms MS  at that cap, a connection that has sent\n"
          "                      nothing for MS milliseconds (default 2000)\n"
          "                      gives way to a new one\n"
          "  --help              show this help\n"
          "  --version           show the version\n"
          "\n"
          "Browsers open http://HOST:PORT/ ; the chat is /scripts/status.cgi and\n"
          "static files come from ./root/. Console commands: TEXT, /add TEXT,\n"
          "/clear, /show, /port N, /maxlines N, /refresh N, /update, /quit.\n");
}

// A call the program cannot run without failed: say which, then status 1.
int SystemCallFailed(const char* call) {
  int code = errno;
  fprintf(stderr, "korimo: %s\n", CallFailedText(call, code).c_str());
  return 1;
}

// Every connection needs a descriptor: take as many as the hard limit
// allows (the worker cap is useless if accept runs out at the default
// soft limit of 1024 first). A failure leaves the limit as it was.
void RaiseDescriptorLimit() {
  rlimit l{};
  if (getrlimit(RLIMIT_NOFILE, &l) != 0) {
    int code = errno;
    fprintf(stderr, "korimo: %s\n", CallFailedText("getrlimit", code).c_str());
    return;
  }
  if (l.rlim_cur == l.rlim_max) return;
  l.rlim_cur = l.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &l) != 0) {
    int code = errno;
    fprintf(stderr, "korimo: %s\n", CallFailedText("setrlimit", code).c_str());
  }
}

// The working directory asked for, entered and seeded; false (with the
// message) when it cannot be used.
bool EnterDirectory(const std::string& dir, bool userData, const std::string& programDir) {
  try {
    std::string target = dir;
    if (userData) {
      target = UserDataDirectory(getenv("XDG_DATA_HOME"), getenv("HOME"));
      MakeDirectories(target);
    }
    if (target.empty()) return true;
    if (EnterWorkingDirectory(target, FindShipped(programDir, "share/korimo/root"))) {
      fprintf(stderr, "korimo seeded %s/root with the shipped start page\n", target.c_str());
    }
    return true;
  } catch (const std::exception& e) {
    fprintf(stderr, "korimo: %s\n", e.what());
    return false;
  }
}

// The start-up failure: the application error, then exit status 1.
int StartupFailed(const std::exception& e) {
  std::string line = std::string(kApplicationErrorTitle) + ": " + StartupErrorText(e) + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
  bool quiet = false;
  bool userData = false;
  std::string directory;
  int port = kDefaultPort;
  TServerLimits limits;
  // "--name N" or "--name=N"; false (with the message) on a bad value.
  auto numberOption = [&](int& i, const std::string& a, const char* name, int& value, int least) {
    std::string text;
    if (a == name && i + 1 < argc) {
      text = argv[++i];
    } else if (a.rfind(std::string(name) + "=", 0) == 0) {
      text = a.substr(strlen(name) + 1);
    } else {
      return 0;
    }
    if (!TryStrToInt(text, value) || value < least) {
      std::string floor = least == INT_MIN ? "" : " of at least " + std::to_string(least);
      fprintf(stderr, "korimo: %s takes a number%s, not '%s'\n", name, floor.c_str(), text.c_str());
      return -1;
    }
    return 1;
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    int r = 0;
    if (a == "--console") {
      console = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--user-data") {
      userData = true;
    } else if (a == "--directory" || a.rfind("--directory=", 0) == 0) {
      if (a == "--directory" && i + 1 >= argc) {
        fprintf(stderr, "korimo: --directory takes a folder\n");
        return 2;
      }
      directory = a == "--directory" ? argv[++i] : a.substr(strlen("--directory="));
      if (directory.empty()) {
        fprintf(stderr, "korimo: --directory takes a folder, not ''\n");
        return 2;
      }
    } else if ((r = numberOption(i, a, "--port", port, INT_MIN)) != 0 ||
               (r = numberOption(i, a, "--max-workers", limits.MaxWorkers, 1)) != 0 ||
               (r = numberOption(i, a, "--idle-grace-ms", limits.IdleGraceMs, 0)) != 0) {
      if (r < 0) return 2;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--version") {
      printf("korimo %s\n", KORIMO_VERSION);
      return 0;
    } else {
      fprintf(stderr, "korimo: unknown option '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (userData && !directory.empty()) {
    fprintf(stderr, "korimo: --directory and --user-data exclude each other\n");
    return 2;
  }
  ApplicationTitle() = ProgramTitle(argv[0]);
  std::string programDir;
  try {
    programDir = ProgramDirectory();
  } catch (const std::exception& e) {
    fprintf(stderr, "korimo: %s\n", e.what());  // nothing shipped is found; the rest works
  }
  if (!EnterDirectory(directory, userData, programDir)) return 1;
  // The listener asks the helper when a privileged port is refused.
  SetBindHelper(FindShipped(programDir, "lib/korimo/korimo-bind"));
  RaiseDescriptorLimit();
  // A peer that goes away must never stop the process.
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM arrive as a readable descriptor that the main loop
  // watches; block them before any thread starts so every thread inherits
  // the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) return SystemCallFailed("signalfd");
  try {
    MainThread::Register();
  } catch (const std::exception& e) {
    return StartupFailed(e);
  }

  bool haveDisplay = getenv("DISPLAY") || getenv("WAYLAND_DISPLAY");
#ifdef KORIMO_HAVE_QT
  if (!console && haveDisplay) return RunQtFrontEnd(argc, argv, port, limits, signalFd);
#else
  (void)haveDisplay;
  (void)console;
#endif

  std::unique_ptr<TFormTest> form;
  try {
    form = std::make_unique<TFormTest>(port, true, nullptr, limits);
  } catch (const std::exception& e) {
    return StartupFailed(e);
  }
  FormTest = form.get();
  {
    char cwd[PATH_MAX];
    fprintf(stderr, "korimo %s started on port %d, serving %s/root\n", KORIMO_VERSION, port,
            getcwd(cwd, sizeof cwd) ? cwd : ".");
  }
  {
    TConsoleView view(*form, stdout, stderr, signalFd, quiet);
    view.Run(STDIN_FILENO);
  }
  FormTest = nullptr;
  form.reset();  // the listener closes and every worker ends first
  fprintf(stderr, "korimo stopped\n");
  return 0;
}
