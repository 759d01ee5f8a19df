#include "app/FormTest.h"

#include "app/ErrorReport.h"
#include "base/Limits.h"
#include "base/ThreadCheck.h"

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
    : Log(std::move(clock)),
      PortNo(std::to_string(port)),
      MaxLine(std::to_string(kDefaultMaxLines)),
      Refresh(std::to_string(kDefaultRefreshSeconds)) {
  // As the stored layout loads: port, blocking workers, the worker factory,
  // and Active, which opens the listener once loading is complete.
  Server.SetPort(port);
  Server.SetLimits(limits);
  Server.SetOnWorkerError(ReportWorkerError);
  Server.SetServerType(stThreadBlocking);
  Server.SetOnGetThread([this](TServerWinSocket& sender, TClientSocketPtr& c, TServerClientThread*& t) {
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

void TFormTest::ServerSocket1GetThread(TServerWinSocket&, TClientSocketPtr& clientSocket,
                                       TServerClientThread*& socketThread) {
  socketThread = new TWWWThread(false, std::move(clientSocket), *this);
}

void TFormTest::ButtonAddClick() {
  RequireMainThread("TFormTest::ButtonAddClick");
  Log.AddChatLine(OperatorPrefix() + Edit1);
  Edit1.clear();
  if (OnFieldsChanged) OnFieldsChanged();
}

void TFormTest::ButtonClrClick() {
  RequireMainThread("TFormTest::ButtonClrClick");
  Log.Clear();
}

void TFormTest::ButtonRestartClick() {
  RequireMainThread("TFormTest::ButtonRestartClick");
  if (Server.Active()) Server.SetActive(false);
  int value = 0;
  if (TryStrToInt(PortNo, value)) {
    Server.SetPort(value);
  } else {
    PortNo = std::to_string(kDefaultPort);
    Server.SetPort(kDefaultPort);
  }
  if (TryStrToInt(MaxLine, value)) {
    Log.SetMaxLines(value);
  } else {
    MaxLine = std::to_string(kDefaultMaxLines);
    Log.SetMaxLines(kDefaultMaxLines);
  }
  if (!TryStrToInt(RefreshFieldText(), value)) SetRefreshText(std::to_string(kDefaultRefreshSeconds));
  if (OnFieldsChanged) OnFieldsChanged();
  Server.SetActive(true);
}

void TFormTest::ButtonExitClick() {
  RequireMainThread("TFormTest::ButtonExitClick");
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
