#include "app/Console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "app/ErrorReport.h"
#include "net/Thread.h"

namespace korimo {

TConsoleView::TConsoleView(TFormTest& form, FILE* out, FILE* err, int signalFd, bool quiet)
    : Form(form), Out(out), Err(err), SignalFd(signalFd) {
  if (!quiet) {
    Form.Chat().SetListener([this](const std::string* added, std::size_t) {
      if (added) Print(Utf8FromSjis(*added) + "\n");
      Flush();
    });
  }
  Form.OnClose = [this] { Quit = true; };
  SetErrorReporter([this](const std::string& message) { ShowError(message); });
}

TConsoleView::~TConsoleView() {
  SetErrorReporter(nullptr);
  Form.Chat().SetListener(nullptr);
  Form.OnClose = nullptr;
}

void TConsoleView::Print(const std::string& utf8) { fwrite(utf8.data(), 1, utf8.size(), Out); }

void TConsoleView::Flush() { fflush(Out); }

void TConsoleView::ShowError(const std::string& message) {
  std::string line = ApplicationTitle() + ": " + Utf8FromSjis(ErrorReportText(message)) + "\n";
  fwrite(line.data(), 1, line.size(), Err);
  fflush(Err);
}

void TConsoleView::Execute(const std::string& line) {
  auto command = [&line](const char* name, std::string* arg) {
    std::string n(name);
    if (line == n) {
      if (arg) arg->clear();
      return true;
    }
    if (arg && line.size() > n.size() && line.compare(0, n.size(), n) == 0 && line[n.size()] == ' ') {
      *arg = line.substr(n.size() + 1);
      return true;
    }
    return false;
  };
  std::string arg;
  try {
    if (line.empty() || line[0] != '/') {
      Form.SetEdit1Text(Sjis(line));
      Form.ButtonAddClick();
    } else if (command("/add", &arg)) {
      Form.SetEdit1Text(Sjis(arg));
      Form.ButtonAddClick();
    } else if (command("/clear", nullptr)) {
      Form.ButtonClrClick();
    } else if (command("/show", nullptr)) {
      std::string s = "PortNo: " + Utf8FromSjis(Form.PortNoText()) + "\n" +
                      "MaxLine: " + Utf8FromSjis(Form.MaxLineText()) + "\n" +
                      "Refresh: " + Utf8FromSjis(Form.RefreshFieldText()) + "\n" +
                      "Active: " + (Form.ServerSocket1().Active() ? "yes" : "no") + "\n";
      ChatLines lines = Form.ChatSnapshot();
      for (const std::string& l : *lines) s += Utf8FromSjis(l) + "\n";
      Print(s);
    } else if (command("/port", &arg)) {
      Form.SetPortNoText(Sjis(arg));
    } else if (command("/maxlines", &arg)) {
      Form.SetMaxLineText(Sjis(arg));
    } else if (command("/refresh", &arg)) {
      Form.SetRefreshText(Sjis(arg));
    } else if (command("/update", nullptr)) {
      Form.ButtonRestartClick();
    } else if (command("/quit", nullptr)) {
      Form.ButtonExitClick();
    } else {
      fprintf(Err, "unknown command: %s (try /show, /add, /clear, /port, /maxlines, /refresh, /update, /quit)\n",
              line.c_str());
      fflush(Err);
    }
  } catch (const std::exception&) {
    // An operator action that fails is reported, and the console goes on.
    ShowError(ErrorMessage(std::current_exception()));
  }
  Flush();
}

void TConsoleView::Run(int inputFd) {
  std::string pending;
  bool inputOpen = inputFd >= 0;
  while (!Quit && !Form.CloseRequested()) {
    pollfd fds[3] = {{MainThread::WakeFd(), POLLIN, 0}, {SignalFd, POLLIN, 0}, {inputOpen ? inputFd : -1, POLLIN, 0}};
    int r = poll(fds, 3, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) MainThread::ServePending();
    if (fds[1].revents) {
      Form.ButtonExitClick();  // asked to stop: as the Exit button
      break;
    }
    if (fds[2].revents) {
      char buf[4096];
      ssize_t n = read(inputFd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // End of input: no more commands, but the server goes on.
        if (!pending.empty()) Execute(pending);
        pending.clear();
        inputOpen = false;
        continue;
      }
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos && !Quit) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Execute(line);
      }
    }
  }
}

}  // namespace korimo
