// The console front end: the operator window as commands on standard input
// and lines on standard output. The terminal speaks UTF-8, the chat
// Shift-JIS; texts are converted at this edge, both ways.
//
//   TEXT             type TEXT into the input line and press Add
//   /add TEXT        the same, for a text that starts with "/"
//   /clear           Clear
//   /show            the fields, whether the listener is active, the chat
//   /port TEXT       set a field's text (Update applies it)
//   /maxlines TEXT
//   /refresh TEXT
//   /update          Update
//   /quit            Exit
//
// Every new chat line is printed as it arrives, unless the view is quiet
// (a service's output goes to the system log, and the chat stays in memory). The loop serves the
// workers' hand-offs, and ends on /quit, SIGINT or SIGTERM; at the end of
// standard input it stops reading commands and goes on serving.
#pragma once

#include <cstdio>
#include <string>

#include "app/FormTest.h"

namespace korimo {

class TConsoleView {
 public:
  // Output to `out`, error reports to `err`. `signalFd` (or -1) is a
  // descriptor that becomes readable when the program is asked to stop.
  // A quiet view prints no chat line as it arrives (/show still answers).
  TConsoleView(TFormTest& form, FILE* out, FILE* err, int signalFd = -1, bool quiet = false);
  ~TConsoleView();

  // Runs until Exit; reads commands from `inputFd`.
  void Run(int inputFd);
  // One command line (UTF-8, without its line end).
  void Execute(const std::string& line);
  // An error report: one line on the error stream.
  void ShowError(const std::string& message);

 private:
  void Print(const std::string& utf8);
  void Flush();

  TFormTest& Form;
  FILE* const Out;
  FILE* const Err;
  const int SignalFd;
  bool Quit = false;
};

}  // namespace korimo
