// The Qt operator window: layout, the buttons and fields over the model,
// the error boxes, start-up failure, and Exit in its several situations.
// Runs under QT_QPA_PLATFORM=offscreen (set here when unset).
//
// docs/window.png is made by the WindowPicture test under a real X server:
//   KORIMO_WINDOW_PICTURE=docs/window.png QT_QPA_PLATFORM=xcb
//     xvfb-run -a -s "-screen 0 800x600x24" build/tests/qt_tests --gtest_filter='WindowPicture.*'
#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QAbstractItemModel>
#include <QFrame>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/QtFormView.h"
#include "net/Thread.h"
#include "net/net_support.h"

namespace {

using namespace korimo;

// One QApplication for the whole program, made on the main thread.
class QtEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    signal(SIGPIPE, SIG_IGN);
    MainThread::Register();
    static int argc = 1;
    static char name[] = "qt_tests";
    static char* argv[] = {name, nullptr};
    App = new QApplication(argc, argv);
    App->setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    delete App;
    App = nullptr;
  }

 private:
  QApplication* App = nullptr;
};
testing::Environment* const kQtEnvironment = testing::AddGlobalTestEnvironment(new QtEnvironment);

// Aborts the program when a test hangs, so that no wait goes unbounded.
class Watchdog {
 public:
  explicit Watchdog(int seconds) : Thread([this, seconds] {
    std::unique_lock<std::mutex> lock(Mutex);
    if (!Cond.wait_for(lock, std::chrono::seconds(seconds), [this] { return Done; })) {
      fprintf(stderr, "test hung for %d s\n", seconds);
      std::abort();
    }
  }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Done = true;
    }
    Cond.notify_all();
    Thread.join();
  }

 private:
  std::mutex Mutex;
  std::condition_variable Cond;
  bool Done = false;
  std::thread Thread;
};

std::tm NineOhFive() {
  std::tm t{};
  t.tm_hour = 9;
  t.tm_min = 5;
  return t;
}

// --- sockets, loopback only ---

using testing_support::Loopback;
using testing_support::LocalPort;

// A port the system just handed out and took back.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int port = LocalPort(fd);
  close(fd);
  return port;
}

// A listening socket that holds a port, so that nobody else can listen on it.
struct HeldPort {
  HeldPort() {
    sockaddr_in a = Loopback(0);
    bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(Fd, 1);
    Port = LocalPort(Fd);
  }
  ~HeldPort() { close(Fd); }
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int Port = 0;
};

struct Client {
  explicit Client(int port) {
    sockaddr_in a = Loopback(port);
    Connected = connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { close(Fd); }
  void Send(const std::string& s, bool endOfRequest = true) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = send(Fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
    if (endOfRequest) shutdown(Fd, SHUT_WR);
  }
  // Everything until the server closes, or until `ms` have passed.
  std::string ReadToEnd(int ms = 10000) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        TimedOut = true;
        return out;
      }
      pollfd p{Fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      ssize_t n = recv(Fd, buf, sizeof buf, 0);
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
    }
  }
  int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool Connected = false;
  bool TimedOut = false;
};

std::string PostRequest(const std::string& body) {
  return "POST /scripts/append.cgi HTTP/1.0\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool CanConnect(int port) { return Client(port).Connected; }

// --- error boxes ---

// Watches the modal message boxes that come up while it lives: records
// each one's title and text and the mouse grabber at that moment, and
// closes it once `closeWhen` holds (at once when none is given).
class BoxWatcher {
 public:
  struct Box {
    QString Title, Text;
    bool MouseGrabbed;
  };
  explicit BoxWatcher(std::function<bool()> closeWhen = nullptr) : CloseWhen(std::move(closeWhen)) {
    Timer.setInterval(5);
    QObject::connect(&Timer, &QTimer::timeout, [this] { Check(); });
    Timer.start();
  }
  std::vector<Box> Boxes;
  std::function<void()> OnShown;

 private:
  void Check() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (box != Current) {
      Current = box;
      Boxes.push_back({box->windowTitle(), box->text(), QWidget::mouseGrabber() != nullptr});
      if (OnShown) OnShown();
    }
    if (!CloseWhen || CloseWhen()) box->close();
  }
  std::function<bool()> CloseWhen;
  QPointer<QMessageBox> Current;
  QTimer Timer;
};

// --- the window ---

class FormViewTest : public testing::Test {
 protected:
  void SetUp() override {
    Port = FreePort();
    Form = std::make_unique<TFormTest>(Port, true, NineOhFive);
    MakeView();
  }
  void TearDown() override {
    View.reset();
    Form.reset();
  }
  void MakeView() {
    View = std::make_unique<TFormTestView>(*Form);
    View->show();
    View->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(View.get(), 5000));
  }
  template <class T>
  T* Child(const char* name) {
    T* w = View->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QLineEdit* Edit(const char* name) { return Child<QLineEdit>(name); }
  QPushButton* Button(const char* name) { return Child<QPushButton>(name); }
  QListWidget* List() { return Child<QListWidget>("ListBox1"); }
  // Replaces a settings field's text as the operator types it.
  void TypeInto(const char* field, const QString& text) {
    QLineEdit* e = Edit(field);
    e->setFocus();
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Backspace);
    QTest::keyClicks(e, text);
    ASSERT_EQ(e->text(), text);
  }
  // Text as an input method commits it (keyClicks cannot type Japanese).
  void CommitInto(const char* field, const QString& text) {
    QLineEdit* e = Edit(field);
    e->setFocus();
    QInputMethodEvent ev;
    ev.setCommitString(text);
    QApplication::sendEvent(e, &ev);
    ASSERT_EQ(e->text(), text);
  }
  std::vector<std::string> Lines() { return *Form->ChatSnapshot(); }

  Watchdog Dog{60};
  int Port = 0;
  std::unique_ptr<TFormTest> Form;
  std::unique_ptr<TFormTestView> View;
};

TEST_F(FormViewTest, WindowHasItsCaptionSizeFrameFontAndPlace) {
  EXPECT_EQ(View->objectName(), "FormTest");
  EXPECT_EQ(View->windowTitle(), QStringLiteral("Korimo サーバ"));
  EXPECT_EQ(View->size(), QSize(470, 253));
  EXPECT_EQ(View->minimumSize(), QSize(470, 253));
  EXPECT_EQ(View->maximumSize(), QSize(470, 253));
  Qt::WindowFlags flags = View->windowFlags();
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  QRect desktop = View->screen()->geometry();
  EXPECT_LE(std::abs(View->frameGeometry().center().x() - desktop.center().x()), 1) << desktop.x() << "," << desktop.y() << " " << desktop.width() << "x" << desktop.height() << " frame " << View->frameGeometry().x() << "," << View->frameGeometry().y() << " " << View->geometry().x() << "," << View->geometry().y();
  EXPECT_LE(std::abs(View->frameGeometry().center().y() - desktop.center().y()), 1);

  QFontInfo font(View->font());
  EXPECT_TRUE(font.family() == QStringLiteral("ＭＳ Ｐゴシック") || font.family() == "IPAPGothic") << font.family().toStdString();
  EXPECT_EQ(font.pixelSize(), 12);

  EXPECT_TRUE(Button("ButtonAdd")->isDefault());
  EXPECT_TRUE(Edit("Edit1")->hasFocus());
  EXPECT_EQ(Child<QFrame>("Bevel1")->frameShadow(), QFrame::Sunken);
}

TEST_F(FormViewTest, ControlsHaveTheirPlacesTextsAndTabOrder) {
  struct Control {
    const char* Name;
    const char* Class;
    QRect Geometry;
    const char* Text;  // UTF-8; nullptr for none
    int Tab;           // -1: takes no focus
  };
  const Control kControls[] = {
      {"Bevel1", "QFrame", {16, 4, 437, 21}, nullptr, -1},
      {"Label1", "QLabel", {20, 8, 61, 12}, "ポート番号：", -1},
      {"PortNo", "QLineEdit", {88, 4, 41, 20}, nullptr, 5},
      {"Label2", "QLabel", {136, 8, 78, 12}, "最大表示行数：", -1},
      {"MaxLine", "QLineEdit", {220, 4, 29, 20}, "20", 6},
      {"Label4", "QLabel", {256, 8, 106, 12}, "ブラウザの更新(秒)：", -1},
      {"Refresh", "QLineEdit", {368, 4, 25, 20}, "5", 8},
      {"ButtonRestart", "QPushButton", {400, 4, 53, 21}, "更新", 7},
      {"ListBox1", "QListWidget", {16, 28, 437, 189}, nullptr, 0},
      {"Edit1", "QLineEdit", {16, 224, 181, 20}, "", 1},
      {"ButtonAdd", "QPushButton", {200, 224, 53, 21}, "追加", 2},
      {"ButtonClr", "QPushButton", {292, 224, 75, 21}, "クリア", 4},
      {"ButtonExit", "QPushButton", {376, 224, 75, 21}, "終了", 3},
  };
  QFontMetrics metrics(View->font());
  std::vector<QString> tabOrder(9);
  for (const Control& c : kControls) {
    SCOPED_TRACE(c.Name);
    QWidget* w = Child<QWidget>(c.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), c.Class);
    EXPECT_EQ(w->parentWidget(), View.get());
    EXPECT_EQ(w->geometry(), c.Geometry);
    QString text;
    if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text();
    if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text();
    if (auto* list = qobject_cast<QListWidget*>(w)) {
      EXPECT_EQ(list->count(), 0);
    }
    if (c.Text) {
      EXPECT_EQ(text, QString::fromUtf8(c.Text));
    }
    // Every character of the texts has a glyph in the window's font.
    for (QChar ch : text) EXPECT_TRUE(metrics.inFont(ch)) << "no glyph for U+" << std::hex << static_cast<unsigned>(ch.unicode());
    if (c.Tab < 0) {
      EXPECT_EQ(w->focusPolicy(), Qt::NoFocus);
    } else {
      tabOrder[static_cast<size_t>(c.Tab)] = c.Name;
    }
  }
  EXPECT_EQ(Edit("PortNo")->text(), QString::number(Port));

  // Tab walks the controls in their order, from the list round to it again.
  List()->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == List(); }, 2000));
  for (size_t i = 1; i <= tabOrder.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget()->objectName(), tabOrder[i % tabOrder.size()]) << "tab step " << i;
  }
}

TEST_F(FormViewTest, AddPostsTheOperatorsLineAndEmptiesTheInput) {
  struct Case {
    const char* Name;
    const char* Typed;  // UTF-8
    bool Enter;         // Enter in Edit1 instead of the button
    const char* Line;   // the chat line, Shift-JIS bytes
  };
  const Case kCases[] = {
      {"button", "こんにちは", false,
       "\x8a\xc7\x97\x9d\x8e\xd2> \x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd (09:05)"},
      {"enter", "こんにちは", true, "\x8a\xc7\x97\x9d\x8e\xd2> \x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd (09:05)"},
      {"empty input", "", false, "\x8a\xc7\x97\x9d\x8e\xd2>  (09:05)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.Name);
    Form->ButtonClrClick();
    if (*c.Typed) CommitInto("Edit1", QString::fromUtf8(c.Typed));
    if (c.Enter) {
      QTest::keyClick(Edit("Edit1"), Qt::Key_Return);
    } else {
      QTest::mouseClick(Button("ButtonAdd"), Qt::LeftButton);
    }
    EXPECT_EQ(Lines(), std::vector<std::string>{c.Line});
    ASSERT_EQ(List()->count(), 1);
    EXPECT_EQ(List()->item(0)->text(), QString::fromStdString(Utf8FromSjis(c.Line)));
    EXPECT_EQ(Edit("Edit1")->text(), "");
    EXPECT_EQ(Form->Edit1Text(), "");
    EXPECT_TRUE(Edit("Edit1")->hasFocus());
  }
}

TEST_F(FormViewTest, ClearEmptiesTheChatAndTheList) {
  Form->AddChatLine("a");
  Form->AddChatLine("b");
  ASSERT_EQ(List()->count(), 2);
  QTest::mouseClick(Button("ButtonClr"), Qt::LeftButton);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(List()->count(), 0);
}

TEST_F(FormViewTest, ListFollowsTheLogWithoutScrolling) {
  // Lines already in the log when the window opens are shown.
  View.reset();
  Form->AddChatLine("before");
  MakeView();
  ASSERT_EQ(List()->count(), 1);

  // At the cap the oldest row goes with the oldest line.
  Form->Chat().SetMaxLines(3);
  for (int i = 0; i < 5; ++i) Form->AddChatLine("line " + std::to_string(i));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  ASSERT_EQ(List()->count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(List()->item(i)->text().toStdString(), lines[static_cast<size_t>(i)]);

  // More rows than fit: the list keeps showing the top.
  Form->Chat().SetMaxLines(40);
  for (int i = 0; i < 30; ++i) Form->AddChatLine("more " + std::to_string(i));
  EXPECT_EQ(List()->count(), 33);
  ASSERT_TRUE(QTest::qWaitFor([&] { return List()->verticalScrollBar()->maximum() > 0; }, 5000));
  EXPECT_EQ(List()->verticalScrollBar()->value(), 0);
  EXPECT_EQ(List()->visualItemRect(List()->item(0)).height(), 12);
  EXPECT_EQ(List()->visualItemRect(List()->item(1)).top(), List()->visualItemRect(List()->item(0)).top() + 12);
}

TEST_F(FormViewTest, UpdateAppliesOrResetsEachSetting) {
  struct Case {
    const char* Field;
    const char* Typed;
    const char* Shown;  // the field's text after Update
    int Cap;            // MaxLines after Update
  };
  const Case kCases[] = {
      {"MaxLine", " 7", " 7", 7},   {"MaxLine", "7 ", "20", 20}, {"MaxLine", "$10", "$10", 16},
      {"Refresh", "5x", "5", 9},    {"Refresh", "12", "12", 9},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.Field) + " '" + c.Typed + "'");
    int port = FreePort();
    TypeInto("PortNo", QString::number(port));
    TypeInto("MaxLine", "9");
    Form->Chat().SetMaxLines(9);
    TypeInto(c.Field, c.Typed);
    BoxWatcher boxes;
    QTest::mouseClick(Button("ButtonRestart"), Qt::LeftButton);
    EXPECT_TRUE(boxes.Boxes.empty());
    EXPECT_EQ(Edit(c.Field)->text(), c.Shown);
    EXPECT_EQ(Form->Chat().MaxLines(), c.Cap);
    EXPECT_EQ(Form->MaxLineText(), Edit("MaxLine")->text().toStdString());
    EXPECT_EQ(Form->RefreshFieldText(), Edit("Refresh")->text().toStdString());
    EXPECT_EQ(Form->ServerSocket1().Port(), port);
    EXPECT_TRUE(Form->ServerSocket1().Active());
    EXPECT_TRUE(CanConnect(port));
  }
}

// Drops the right to listen on ports below 1024 from this thread (the one
// that opens the listener) and from every thread it starts later.
bool DropBindCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << CAP_NET_BIND_SERVICE;
  data[0].effective &= ~bit;
  data[0].permitted &= ~bit;
  data[0].inheritable &= ~bit;
  if (syscall(SYS_capset, &header, data) != 0) return false;
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[0].effective & bit) == 0;
}

TEST_F(FormViewTest, UpdateWithABadPortFallsBackTo80) {
  std::ifstream f("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int start = 0;
  if (!(f >> start) || start <= 80) GTEST_SKIP() << "port 80 may be opened by anyone here";
  if (!DropBindCapability()) GTEST_SKIP() << "cannot drop the right to listen on port 80";

  TypeInto("PortNo", "abc");
  BoxWatcher boxes;
  QTest::mouseClick(Button("ButtonRestart"), Qt::LeftButton);
  EXPECT_EQ(Edit("PortNo")->text(), "80");
  EXPECT_EQ(Form->PortNoText(), "80");
  EXPECT_EQ(Form->ServerSocket1().Port(), 80);
  ASSERT_FALSE(Form->ServerSocket1().Active()) << "port 80 was opened";
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Title.toStdString(), ApplicationTitle());
}

TEST_F(FormViewTest, UpdateOnAPortInUseShowsTheErrorAndAFreePortRecovers) {
  HeldPort held;
  TypeInto("PortNo", QString::number(held.Port));
  // A widget that holds the mouse must lose it before the box comes up.
  List()->grabMouse();
  BoxWatcher boxes;
  Button("ButtonRestart")->click();
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Title.toStdString(), ApplicationTitle());
  // The box shows the listener's own error, as the error report words it.
  std::string message;
  try {
    TServerWinSocket probe;
    probe.Open(held.Port);
  } catch (const ESocketError& e) {
    message = e.message();
  }
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(boxes.Boxes[0].Text.toStdString(), Utf8FromSjis(ErrorReportText(message)));
  EXPECT_FALSE(boxes.Boxes[0].MouseGrabbed);
  EXPECT_FALSE(Form->ServerSocket1().Active());
  EXPECT_FALSE(CanConnect(Port));

  // The window goes on working.
  EXPECT_TRUE(View->isVisible());
  QTest::mouseClick(Button("ButtonAdd"), Qt::LeftButton);
  EXPECT_EQ(List()->count(), 1);

  int port = FreePort();
  TypeInto("PortNo", QString::number(port));
  QTest::mouseClick(Button("ButtonRestart"), Qt::LeftButton);
  EXPECT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_TRUE(Form->ServerSocket1().Active());
  EXPECT_TRUE(CanConnect(port));
}

TEST_F(FormViewTest, ErrorBoxOfAWorkerLetsOtherPostsThrough) {
  Client bad(Port);
  ASSERT_TRUE(bad.Connected);
  std::atomic<bool> posted{false};
  std::string response;
  std::thread poster;
  // While the first worker's error is on screen, a second browser posts:
  // its hand-off is served by the box's modal loop.
  QDeadlineTimer deadline(10000);
  bool servedUnderBox = false;
  BoxWatcher boxes([&] {
    servedUnderBox = posted.load() && List()->count() == 1;
    return servedUnderBox || deadline.hasExpired();
  });
  boxes.OnShown = [&] {
    poster = std::thread([&] {
      Client c(Port);
      c.Send(PostRequest("handle=abc&text=hello&color="));
      response = c.ReadToEnd();
      posted = true;
    });
  };
  bad.Send("POST /scripts/append.cgi HTTP/1.0\r\nContent-Length: abc\r\n\r\ntext=x");
  bool closed = QTest::qWaitFor([&] { return !boxes.Boxes.empty() && !QApplication::activeModalWidget(); }, 20000);
  if (poster.joinable()) poster.join();
  ASSERT_TRUE(closed);
  EXPECT_TRUE(servedUnderBox) << "the post waited for the box to close";
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Title.toStdString(), ApplicationTitle());
  EXPECT_TRUE(boxes.Boxes[0].Text.contains("abc")) << boxes.Boxes[0].Text.toStdString();
  EXPECT_EQ(response.rfind("HTTP/1.0 200", 0), 0u) << response;
  ASSERT_EQ(List()->count(), 1);
  EXPECT_EQ(List()->item(0)->text(), "abc> hello (09:05)");
  // The failed worker's connection closes once its report is done.
  bad.ReadToEnd(5000);
  EXPECT_FALSE(bad.TimedOut);
}

// --- start-up and exit through RunFormTest ---

TEST(FormRun, ListenerThatCannotOpenEndsWithStatus1) {
  Watchdog dog(60);
  HeldPort held;
  BoxWatcher boxes;
  bool started = false;
  int status = RunFormTest(held.Port, -1, [&](TFormTestView&) { started = true; });
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(started);
  EXPECT_EQ(FormTest, nullptr);
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Title, QStringLiteral("アプリケーション エラー"));
  EXPECT_TRUE(boxes.Boxes[0].Text.startsWith("ESocketError: ")) << boxes.Boxes[0].Text.toStdString();
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
}

enum class ExitBy { Button, CloseBox, Signal, ButtonDuringHandOff };

struct ExitCase {
  const char* Name;
  ExitBy How;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.Name; }

class FormExit : public testing::TestWithParam<ExitCase> {};

TEST_P(FormExit, EndsCleanlyWithBrowsersConnected) {
  Watchdog dog(60);
  const ExitCase& c = GetParam();
  const int port = FreePort();
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
  int signalFd = signalfd(-1, &usr2, SFD_CLOEXEC | SFD_NONBLOCK);
  ASSERT_GE(signalFd, 0);

  std::unique_ptr<Client> silent, poster;
  QPointer<TFormTestView> window;
  bool sawForm = false, waitedForHandOff = false, exitClicked = false;
  std::vector<QString> rowsAfterExit;
  int status = RunFormTest(port, signalFd, [&](TFormTestView& view) {
    window = &view;
    sawForm = FormTest != nullptr && FormTest->ServerSocket1().Active();
    silent = std::make_unique<Client>(port);
    EXPECT_TRUE(QTest::qWaitFor([&] { return FormTest->ServerSocket1().ServerSocket().ClientCount() == 1; }, 5000));
    switch (c.How) {
      case ExitBy::Button:
        QTest::mouseClick(view.findChild<QPushButton*>("ButtonExit"), Qt::LeftButton);
        break;
      case ExitBy::CloseBox:
        view.close();
        break;
      case ExitBy::Signal:
        pthread_kill(pthread_self(), SIGUSR2);
        break;
      case ExitBy::ButtonDuringHandOff: {
        // The post's hand-off arrives while this handler still runs, so
        // Exit finds it waiting.
        QAbstractItemModel* rows = view.findChild<QListWidget*>("ListBox1")->model();
        QObject::connect(rows, &QAbstractItemModel::rowsInserted, [&, rows](const QModelIndex&, int first, int) {
          if (exitClicked) rowsAfterExit.push_back(rows->index(first, 0).data().toString());
        });
        poster = std::make_unique<Client>(port);
        poster->Send(PostRequest("handle=h&text=bye&color="));
        pollfd p{MainThread::WakeFd(), POLLIN, 0};
        waitedForHandOff = poll(&p, 1, 10000) == 1;
        exitClicked = true;
        view.findChild<QPushButton*>("ButtonExit")->click();
        break;
      }
    }
  });
  pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
  close(signalFd);

  EXPECT_EQ(status, 0);
  EXPECT_TRUE(sawForm);
  EXPECT_EQ(FormTest, nullptr);
  EXPECT_TRUE(window.isNull());
  ASSERT_TRUE(silent && silent->Connected);
  silent->ReadToEnd(5000);
  EXPECT_FALSE(silent->TimedOut) << "the silent browser's connection stayed open";
  EXPECT_FALSE(CanConnect(port));
  if (c.How == ExitBy::ButtonDuringHandOff) {
    // The close sequence served the waiting post (its line reached the
    // still existing window) and then cut the connection.
    EXPECT_TRUE(waitedForHandOff);
    ASSERT_EQ(rowsAfterExit.size(), 1u);
    EXPECT_TRUE(rowsAfterExit[0].startsWith("h> bye (")) << rowsAfterExit[0].toStdString();
    poster->ReadToEnd(5000);
    EXPECT_FALSE(poster->TimedOut);
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, FormExit,
                         testing::Values(ExitCase{"Button", ExitBy::Button}, ExitCase{"CloseBox", ExitBy::CloseBox},
                                         ExitCase{"Signal", ExitBy::Signal},
                                         ExitCase{"ButtonDuringHandOff", ExitBy::ButtonDuringHandOff}),
                         [](const testing::TestParamInfo<ExitCase>& i) { return std::string(i.param.Name); });

// --- the picture of the window ---

// The window with a few chat lines renders every character with a real
// glyph; with KORIMO_WINDOW_PICTURE set, the picture is saved there.
TEST(WindowPicture, ShowsJapaneseChat) {
  Watchdog dog(60);
  const int port = FreePort();
  TFormTest form(port, true, NineOhFive);
  TFormTestView view(form);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, 5000));
  {
    // さくら / みなさん、こんばんは in blue, from a browser.
    Client c(port);
    c.Send(PostRequest("handle=%82%b3%82%ad%82%e7&text=%82%dd%82%c8%82%b3%82%f1%81%41%82%b1%82%f1%82%ce%82%f1%82%cd"
                       "&color=Blue"));
    auto* list = view.findChild<QListWidget*>("ListBox1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->count() == 1; }, 10000));
  }
  auto* edit = view.findChild<QLineEdit*>("Edit1");
  edit->setFocus();
  QInputMethodEvent ev;
  ev.setCommitString(QStringLiteral("ようこそ、テストへ"));
  QApplication::sendEvent(edit, &ev);
  view.findChild<QPushButton*>("ButtonAdd")->click();
  // The port field as at a default start (an OS-chosen port does not fit
  // its width); the edit is not applied.
  view.findChild<QLineEdit*>("PortNo")->setText("80");

  auto* list = view.findChild<QListWidget*>("ListBox1");
  ASSERT_EQ(list->count(), 2);
  QFontMetrics metrics(view.font());
  for (int i = 0; i < list->count(); ++i) {
    for (QChar ch : list->item(i)->text()) EXPECT_TRUE(metrics.inFont(ch)) << "no glyph for U+" << std::hex << static_cast<unsigned>(ch.unicode());
  }
  QPixmap picture = view.grab();
  EXPECT_EQ(picture.deviceIndependentSize().toSize(), QSize(470, 253));
  if (const char* path = getenv("KORIMO_WINDOW_PICTURE")) {
    EXPECT_TRUE(picture.save(QString::fromLocal8Bit(path), "PNG"));
  }
}

}  // namespace
