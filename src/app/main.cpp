// korimo: the LAN chat server with its operator window.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/Console.h"
#include "app/FormTest.h"
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
          "Usage: korimo [--console] [--port N]\n"
          "A web chat for the local network, with an operator window.\n"
          "\n"
          "  --console   use the console instead of the window (the default\n"
          "              when no display is available)\n"
          "  --port N    listen on port N (default 80, which needs privileges)\n"
          "  --help      show this help\n"
          "  --version   show the version\n"
          "\n"
          "Browsers open http://HOST:PORT/ ; the chat is /scripts/status.cgi and\n"
          "static files come from ./root/. Console commands: TEXT, /add TEXT,\n"
          "/clear, /show, /port N, /maxlines N, /refresh N, /update, /quit.\n");
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
  int port = 80;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--console") {
      console = true;
    } else if (a == "--port" && i + 1 < argc) {
      if (!TryStrToInt(argv[++i], port)) {
        fprintf(stderr, "korimo: --port takes a number, not '%s'\n", argv[i]);
        return 2;
      }
    } else if (a.rfind("--port=", 0) == 0) {
      if (!TryStrToInt(a.substr(7), port)) {
        fprintf(stderr, "korimo: --port takes a number, not '%s'\n", a.c_str() + 7);
        return 2;
      }
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
  ApplicationTitle() = ProgramTitle(argv[0]);
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
  MainThread::Register();

  bool haveDisplay = getenv("DISPLAY") || getenv("WAYLAND_DISPLAY");
#ifdef KORIMO_HAVE_QT
  if (!console && haveDisplay) return RunQtFrontEnd(argc, argv, port, signalFd);
#else
  (void)haveDisplay;
  (void)console;
#endif

  std::unique_ptr<TFormTest> form;
  try {
    form = std::make_unique<TFormTest>(port);
  } catch (const std::exception& e) {
    return StartupFailed(e);
  }
  FormTest = form.get();
  {
    TConsoleView view(*form, stdout, stderr, signalFd);
    view.Run(STDIN_FILENO);
  }
  FormTest = nullptr;
  form.reset();  // the listener closes and every worker ends first
  return 0;
}
