// The Qt front end: the operator window "FormTest" over the toolkit-free
// TFormTest, and the program's start-up and exit with it.
//
// The window mirrors the model: its edits write the field texts as the
// operator types (Shift-JIS in the model, UTF-8 on screen), OnFieldsChanged
// writes them back, and ListBox1 follows the chat log through the log's
// listener. Its buttons call the handlers; an error raised by one is shown
// in the error box and the window stays usable.
//
// Thread contract: main thread only. The window watches the hand-off
// queue's wake-up descriptor, so the main loop and every modal loop (the
// error boxes) serve the workers' hand-offs.
#pragma once

#include <QWidget>

#include <cstddef>
#include <functional>
#include <string>

#include "app/FormTest.h"

class QCloseEvent;
class QKeyEvent;
class QShowEvent;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSocketNotifier;

namespace korimo {

class TFormTestView : public QWidget {
 public:
  // Shows `form`; `signalFd` (or -1) becomes readable when the program is
  // asked to stop, which acts as Exit. Installs the chat listener and the
  // error reporter; the destructor removes them.
  explicit TFormTestView(TFormTest& form, int signalFd = -1);
  ~TFormTestView() override;

  // The error report: a modal error box titled with the program's title,
  // after any mouse capture has been released.
  void ShowErrorBox(const std::string& message);

  // Told once the window has closed (Exit, its close box, or a stop
  // signal): the loop that runs it ends.
  std::function<void()> OnClosed;

  // The font of the window: "ＭＳ Ｐゴシック" 12 px where the system has
  // it, else IPA P Gothic 12 px.
  static QFont WindowFont();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void AddClick();
  void ClearClick();
  void RestartClick();
  void ExitClick();
  void StopSignalled();
  void ChatChanged(const std::string* added, std::size_t count);
  void CentreOnDesktop();
  // Model -> edits, and edits -> model.
  void ShowFields();
  void TakeFields();
  // Runs an operator action; an error it raises goes to the error report.
  void Guarded(const std::function<void()>& action);

  TFormTest& Form;
  const int SignalFd;
  QLineEdit* PortNo = nullptr;
  QLineEdit* MaxLine = nullptr;
  QLineEdit* Refresh = nullptr;
  QLineEdit* Edit1 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QPushButton* ButtonAdd = nullptr;
  QPushButton* ButtonClr = nullptr;
  QPushButton* ButtonExit = nullptr;
  QPushButton* ButtonRestart = nullptr;
  QSocketNotifier* WakeNotifier = nullptr;
  QSocketNotifier* SignalNotifier = nullptr;
  bool ClosedOnce = false;
  bool Centred = false;
};

// Runs the operator window on the running QApplication: creates the model
// with its listener on `port`, shows the window, and runs the loop until the
// window closes; then closes the listener (every worker ends, hand-offs are
// served meanwhile), destroys the window and the model, and returns 0.
// When the model cannot be created (the listener cannot open), shows the
// application error box and returns 1. `started`, if given, is run from the
// loop once the window is shown.
int RunFormTest(int port, int signalFd, const std::function<void(TFormTestView&)>& started = nullptr,
                const TServerLimits& limits = {});

// The program's Qt front end: creates the QApplication and runs the window.
// Returns the exit status.
int RunQtFrontEnd(int argc, char** argv, int port, const TServerLimits& limits, int signalFd);

}  // namespace korimo
