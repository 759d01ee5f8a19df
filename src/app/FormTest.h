// The operator window's state and handlers, free of any toolkit: the three
// settings fields, the input line, the chat log it shows, and the server
// component whose workers serve the chat. A front end (window or console)
// shows this state and calls the handlers.
//
// Thread contract: every handler and every field except the Refresh text
// belongs to the main thread. Workers read the Refresh text through
// RefreshText(), a copy taken under FieldLock, and the chat through
// snapshots.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "base/Limits.h"
#include "chat/ChatLog.h"
#include "net/ServerSocket.h"
#include "web/WWWThread.h"

namespace korimo {

class TFormTest : public TChatHost {
 public:
  // Field start texts: PortNo "80" (or `port`), MaxLine "20", Refresh "5".
  // Creates ServerSocket1 and, when `open` is set, opens it on the port of
  // PortNo's start text (raising ESocketError when it cannot), then runs
  // FormCreate. `limits` bound the listener's connections.
  explicit TFormTest(int port = kDefaultPort, bool open = true, ChatLog::Clock clock = nullptr,
                     const TServerLimits& limits = {});
  // Closes the listener (every worker ends) before the chat log and the
  // fields go.
  ~TFormTest() override;

  void FormCreate();
  void ServerSocket1GetThread(TServerWinSocket& sender, TClientSocketPtr& clientSocket,
                              TServerClientThread*& socketThread);
  void ButtonAddClick();
  void ButtonClrClick();
  // Closes the listener if active, reads the three fields (resetting one
  // that does not read as an integer to its default), applies port and cap,
  // and opens the listener. Raises what closing or opening raises; the
  // front end reports it.
  void ButtonRestartClick();
  void ButtonExitClick();

  // Field texts (Shift-JIS). Setters are the operator's edits.
  std::string PortNoText() const { return PortNo; }
  void SetPortNoText(const std::string& t) { PortNo = t; }
  std::string MaxLineText() const { return MaxLine; }
  void SetMaxLineText(const std::string& t) { MaxLine = t; }
  std::string RefreshFieldText();
  void SetRefreshText(const std::string& t);
  std::string Edit1Text() const { return Edit1; }
  void SetEdit1Text(const std::string& t) { Edit1 = t; }

  // TChatHost
  ChatLines ChatSnapshot() override { return Log.Snapshot(); }
  std::string RefreshText() override { return RefreshFieldText(); }
  void AddChatLine(const std::string& line) override { Log.AddChatLine(line); }

  ChatLog& Chat() { return Log; }
  TServerSocket& ServerSocket1() { return Server; }
  bool CloseRequested() const { return ExitRequested; }

  // Told after a handler changed field texts (Update's resets, Add's
  // emptied input), so the view can show them.
  std::function<void()> OnFieldsChanged;
  // Told when Exit is pressed: the front end ends its loop.
  std::function<void()> OnClose;

  // "管理者> "
  static const std::string& OperatorPrefix();

 private:
  ChatLog Log;
  std::string PortNo, MaxLine, Edit1;  // main thread
  mutable TMutex FieldLock;
  std::string Refresh KORIMO_GUARDED_BY(FieldLock);
  bool ExitRequested = false;
  // Declared last: destroyed first, so every worker has ended before the
  // chat log and the fields that workers read go.
  TServerSocket Server;
};

// The start-up failure as both front ends show it, in UTF-8: the error's
// kind and its report text ("ESocketError: 'bind' API ...").
std::string StartupErrorText(const std::exception& e);
// The title of that report: "アプリケーション エラー" (UTF-8).
extern const char kApplicationErrorTitle[];

// Set by the program: the window object workers reach.
extern TFormTest* FormTest;

}  // namespace korimo
