#include "app/QtFormView.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QStyledItemDelegate>
#include <QTimer>

#include <exception>
#include <iterator>
#include <memory>

#include "app/ErrorReport.h"
#include "net/Thread.h"

namespace korimo {
namespace {

constexpr int kClientWidth = 470;
constexpr int kClientHeight = 253;
constexpr int kFontPixels = 12;
constexpr int kListRowHeight = 12;

QString Display(const std::string& sjis) { return QString::fromStdString(Utf8FromSjis(sjis)); }
std::string FromDisplay(const QString& text) { return Sjis(text.toStdString()); }

// ListBox1's rows are 12 pixels high, whatever the font asks for.
class TFixedRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kListRowHeight);
    return size;
  }
};

QLabel* AddLabel(QWidget* parent, const char* name, const QRect& r, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(r);
  label->setFocusPolicy(Qt::NoFocus);
  return label;
}

QLineEdit* AddEdit(QWidget* parent, const char* name, const QRect& r) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(r);
  return edit;
}

QPushButton* AddButton(QWidget* parent, const char* name, const QRect& r, const QString& text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(r);
  button->setAutoDefault(false);
  return button;
}

// The start-up failure: the error, named, in the application error box.
void ShowStartupError(const std::exception& e) {
  QMessageBox::critical(nullptr, QString::fromUtf8(kApplicationErrorTitle),
                        QString::fromStdString(StartupErrorText(e)));
}

}  // namespace

QFont TFormTestView::WindowFont() {
  static const QString kPreferred = QStringLiteral("ＭＳ Ｐゴシック");
  QFont font(QFontDatabase::families().contains(kPreferred) ? kPreferred : QStringLiteral("IPAPGothic"));
  font.setPixelSize(kFontPixels);
  return font;
}

TFormTestView::TFormTestView(TFormTest& form, int signalFd) : QWidget(nullptr), Form(form), SignalFd(signalFd) {
  setObjectName("FormTest");
  setWindowTitle(QStringLiteral("Korimo サーバ"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(WindowFont());
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  // Created in stacking order: the bevel lies under the settings row.
  auto* bevel = new QFrame(this);
  bevel->setObjectName("Bevel1");
  bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bevel->setGeometry(16, 4, 437, 21);
  bevel->setFocusPolicy(Qt::NoFocus);

  AddLabel(this, "Label1", QRect(20, 8, 61, 12), QStringLiteral("ポート番号："));
  PortNo = AddEdit(this, "PortNo", QRect(88, 4, 41, 20));
  AddLabel(this, "Label2", QRect(136, 8, 78, 12), QStringLiteral("最大表示行数："));
  MaxLine = AddEdit(this, "MaxLine", QRect(220, 4, 29, 20));
  AddLabel(this, "Label4", QRect(256, 8, 106, 12), QStringLiteral("ブラウザの更新(秒)："));
  Refresh = AddEdit(this, "Refresh", QRect(368, 4, 25, 20));
  ButtonRestart = AddButton(this, "ButtonRestart", QRect(400, 4, 53, 21), QStringLiteral("更新"));

  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setGeometry(16, 28, 437, 189);
  ListBox1->setItemDelegate(new TFixedRowDelegate(ListBox1));
  ListBox1->setUniformItemSizes(true);

  Edit1 = AddEdit(this, "Edit1", QRect(16, 224, 181, 20));
  ButtonAdd = AddButton(this, "ButtonAdd", QRect(200, 224, 53, 21), QStringLiteral("追加"));
  ButtonAdd->setDefault(true);
  ButtonClr = AddButton(this, "ButtonClr", QRect(292, 224, 75, 21), QStringLiteral("クリア"));
  ButtonExit = AddButton(this, "ButtonExit", QRect(376, 224, 75, 21), QStringLiteral("終了"));

  QWidget* tabOrder[] = {ListBox1, Edit1, ButtonAdd, ButtonExit, ButtonClr, PortNo, MaxLine, ButtonRestart, Refresh};
  for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

  ShowFields();
  if (ChatLines lines = Form.ChatSnapshot()) {
    for (const std::string& line : *lines) ListBox1->addItem(Display(line));
  }

  // The operator's edits reach the model at once: workers read Refresh on
  // every request.
  connect(PortNo, &QLineEdit::textEdited, this, [this](const QString& t) { Form.SetPortNoText(FromDisplay(t)); });
  connect(MaxLine, &QLineEdit::textEdited, this, [this](const QString& t) { Form.SetMaxLineText(FromDisplay(t)); });
  connect(Refresh, &QLineEdit::textEdited, this, [this](const QString& t) { Form.SetRefreshText(FromDisplay(t)); });
  connect(Edit1, &QLineEdit::textEdited, this, [this](const QString& t) { Form.SetEdit1Text(FromDisplay(t)); });
  connect(ButtonAdd, &QPushButton::clicked, this, [this] { AddClick(); });
  connect(ButtonClr, &QPushButton::clicked, this, [this] { ClearClick(); });
  connect(ButtonRestart, &QPushButton::clicked, this, [this] { RestartClick(); });
  connect(ButtonExit, &QPushButton::clicked, this, [this] { ExitClick(); });

  Form.OnFieldsChanged = [this] { ShowFields(); };
  Form.OnClose = [this] { close(); };
  Form.Chat().SetListener([this](const std::string* added, std::size_t count) { ChatChanged(added, count); });
  SetErrorReporter([this](const std::string& message) { ShowErrorBox(message); });

  // The workers' hand-offs are served by whatever loop runs on the main
  // thread, modal ones included.
  WakeNotifier = new QSocketNotifier(MainThread::WakeFd(), QSocketNotifier::Read, this);
  connect(WakeNotifier, &QSocketNotifier::activated, this, [] { MainThread::ServePending(); });
  if (SignalFd >= 0) {
    SignalNotifier = new QSocketNotifier(SignalFd, QSocketNotifier::Read, this);
    connect(SignalNotifier, &QSocketNotifier::activated, this, [this] { StopSignalled(); });
  }

  Edit1->setFocus();
  CentreOnDesktop();
}

void TFormTestView::CentreOnDesktop() {
  QScreen* s = screen();
  if (!s) return;
  // The whole window, frame included, goes to the centre; the frame is
  // known once the window is shown.
  QRect desktop = s->geometry();
  QSize outer = frameGeometry().size();
  move(desktop.x() + (desktop.width() - outer.width()) / 2, desktop.y() + (desktop.height() - outer.height()) / 2);
}

void TFormTestView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous() && !Centred) {
    Centred = true;
    CentreOnDesktop();
  }
}

TFormTestView::~TFormTestView() {
  SetErrorReporter(nullptr);
  Form.Chat().SetListener(nullptr);
  Form.OnFieldsChanged = nullptr;
  Form.OnClose = nullptr;
}

void TFormTestView::ShowFields() {
  auto show = [](QLineEdit* edit, const std::string& sjis) {
    QString text = Display(sjis);
    if (edit->text() != text) edit->setText(text);
  };
  show(PortNo, Form.PortNoText());
  show(MaxLine, Form.MaxLineText());
  show(Refresh, Form.RefreshFieldText());
  show(Edit1, Form.Edit1Text());
}

void TFormTestView::TakeFields() {
  Form.SetPortNoText(FromDisplay(PortNo->text()));
  Form.SetMaxLineText(FromDisplay(MaxLine->text()));
  Form.SetRefreshText(FromDisplay(Refresh->text()));
  Form.SetEdit1Text(FromDisplay(Edit1->text()));
}

void TFormTestView::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (...) {
    ShowFields();  // what the handler changed before it failed
    ShowError(ErrorMessage(std::current_exception()));
  }
}

void TFormTestView::AddClick() {
  Guarded([this] {
    TakeFields();
    Form.ButtonAddClick();
    Edit1->setFocus();
  });
}

void TFormTestView::ClearClick() {
  Guarded([this] { Form.ButtonClrClick(); });
}

void TFormTestView::RestartClick() {
  Guarded([this] {
    TakeFields();
    Form.ButtonRestartClick();
  });
}

void TFormTestView::ExitClick() {
  Guarded([this] { Form.ButtonExitClick(); });
}

void TFormTestView::StopSignalled() {
  signalfd_siginfo info;
  ssize_t n = read(SignalFd, &info, sizeof info);  // one stop is enough
  (void)n;
  SignalNotifier->setEnabled(false);
  // A stop must end the program even while an error box waits for the
  // operator: close the boxes, then Exit.
  for (int i = 0; i < 8; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == this) break;
    modal->close();
  }
  ExitClick();
  if (!ClosedOnce) close();
}

void TFormTestView::ChatChanged(const std::string* added, std::size_t count) {
  if (!added) {
    ListBox1->clear();
    return;
  }
  // The log drops its oldest line when it is full: drop the same rows.
  const int keep = static_cast<int>(count) - 1;
  while (ListBox1->count() > keep && ListBox1->count() > 0) delete ListBox1->takeItem(0);
  ListBox1->addItem(Display(*added));
}

void TFormTestView::ShowErrorBox(const std::string& message) {
  // The equivalent of cancelling the mouse mode: no popup stays open and no
  // widget keeps the mouse while the box is up.
  if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  QMessageBox::critical(isVisible() ? this : nullptr, QString::fromStdString(ApplicationTitle()),
                        QString::fromStdString(Utf8FromSjis(ErrorReportText(message))));
}

void TFormTestView::closeEvent(QCloseEvent* event) {
  event->accept();
  if (ClosedOnce) return;
  ClosedOnce = true;
  if (OnClosed) OnClosed();
}

void TFormTestView::keyPressEvent(QKeyEvent* event) {
  // Enter anywhere in the window presses the default button (a focused
  // button takes it itself).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    auto* focused = qobject_cast<QPushButton*>(focusWidget());
    (focused ? focused : ButtonAdd)->click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

int RunFormTest(int port, int signalFd, const std::function<void(TFormTestView&)>& started,
                const TServerLimits& limits) {
  std::unique_ptr<TFormTest> form;
  try {
    form = std::make_unique<TFormTest>(port, true, nullptr, limits);
  } catch (const std::exception& e) {
    ShowStartupError(e);
    return 1;
  }
  FormTest = form.get();
  {
    TFormTestView view(*form, signalFd);
    QEventLoop loop;
    bool closed = false;
    view.OnClosed = [&] {
      closed = true;
      loop.quit();
    };
    view.show();
    view.activateWindow();
    if (started) QTimer::singleShot(0, &view, [&view, &started] { started(view); });
    if (!closed) loop.exec();
    view.OnClosed = nullptr;
    // The listener closes while the window still shows the chat: posts
    // served during the close sequence still reach ListBox1. The model's
    // destructor retries a close that failed here.
    try {
      form->ServerSocket1().SetActive(false);
    } catch (...) {
    }
  }
  FormTest = nullptr;
  form.reset();
  return 0;
}

int RunQtFrontEnd(int argc, char** argv, int port, const TServerLimits& limits, int signalFd) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  return RunFormTest(port, signalFd, nullptr, limits);
}

}  // namespace korimo
