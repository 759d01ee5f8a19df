#include "app/FormTest.h"

#include "net/Limits.h"

namespace korimo {

TFormTest* FormTest = nullptr;

const char kApplicationErrorTitle[] = "アプリケーション エラー";

std::string StartupErrorText(const std::exception& e) {
  const auto* ours = dynamic_cast<const Exception*>(&e);
  const char* kind = dynamic_cast<const ESocketError*>(&e) ? "ESocketError" : "Exception";
  return std::string(kind) + ": " + Utf8FromSjis(ErrorReportText(ours ? ours->message() : e.what()));
}

const std::string& TFormTest::OperatorPrefix() {
  static const std::string k = Sjis("管理者> ");
  return k;
}

TFormTest::TFormTest(int port, bool open, ChatLog::Clock clock, const TServerLimits& limits)
    : Log(std::move(clock)), PortNo(std::to_string(port)), MaxLine("20"), Refresh("5") {
  // As the stored layout loads: port, blocking workers, the worker factory,
  // and Active, which opens the listener once loading is complete.
  Server.SetPort(port);
  Server.SetLimits(limits);
  Server.SetServerType(stThreadBlocking);
  Server.SetOnGetThread([this](TServerWinSocket& sender, TServerClientWinSocket* c, TServerClientThread*& t) {
    ServerSocket1GetThread(sender, c, t);
  });
  Server.SetActive(open);
  Server.Loaded();
  FormCreate();
}

TFormTest::~TFormTest() {
  try {
    Server.SetActive(false);
  } catch (...) {
    // The server's own destructor retries the close.
  }
}

void TFormTest::FormCreate() { Log.SetMaxLines(kDefaultMaxLines); }

void TFormTest::ServerSocket1GetThread(TServerWinSocket&, TServerClientWinSocket* clientSocket,
                                       TServerClientThread*& socketThread) {
  socketThread = new TWWWThread(false, clientSocket, *this);
}

void TFormTest::ButtonAddClick() {
  Log.AddChatLine(OperatorPrefix() + Edit1);
  Edit1.clear();
  if (OnFieldsChanged) OnFieldsChanged();
}

void TFormTest::ButtonClrClick() { Log.Clear(); }

void TFormTest::ButtonRestartClick() {
  if (Server.Active()) Server.SetActive(false);
  int value = 0;
  if (TryStrToInt(PortNo, value)) {
    Server.SetPort(value);
  } else {
    PortNo = "80";
    Server.SetPort(80);
  }
  if (TryStrToInt(MaxLine, value)) {
    Log.SetMaxLines(value);
  } else {
    MaxLine = "20";
    Log.SetMaxLines(kDefaultMaxLines);
  }
  if (!TryStrToInt(RefreshFieldText(), value)) SetRefreshText("5");
  if (OnFieldsChanged) OnFieldsChanged();
  Server.SetActive(true);
}

void TFormTest::ButtonExitClick() {
  ExitRequested = true;
  if (OnClose) OnClose();
}

std::string TFormTest::RefreshFieldText() {
  MutexLock lock(FieldLock);
  return Refresh;
}

void TFormTest::SetRefreshText(const std::string& t) {
  MutexLock lock(FieldLock);
  Refresh = t;
}

}  // namespace korimo
