#include "platform/ui/Application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGridLayout>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "platform/rtl/AnsiText.h"
#include "platform/ui/UiText.h"

namespace {

TApplication TheApplication;

struct TBoxButton {
  QMessageBox::StandardButton Button;
  TModalResult Result;
  const std::string* Caption;
};

std::vector<TBoxButton> BoxButtons(unsigned flags) {
  const TBoxButton ok{QMessageBox::Ok, IDOK, &"OK"_ansi};
  const TBoxButton cancel{QMessageBox::Cancel, IDCANCEL, &"Отмена"_ansi};
  const TBoxButton abort{QMessageBox::Abort, IDABORT, &"Прервать"_ansi};
  const TBoxButton retry{QMessageBox::Retry, IDRETRY, &"Повтор"_ansi};
  const TBoxButton ignore{QMessageBox::Ignore, IDIGNORE, &"Пропустить"_ansi};
  const TBoxButton yes{QMessageBox::Yes, IDYES, &"Да"_ansi};
  const TBoxButton no{QMessageBox::No, IDNO, &"Нет"_ansi};
  switch (flags & 0xF) {
    case MB_OKCANCEL: return {ok, cancel};
    case MB_ABORTRETRYIGNORE: return {abort, retry, ignore};
    case MB_YESNOCANCEL: return {yes, no, cancel};
    case MB_YESNO: return {yes, no};
    case MB_RETRYCANCEL: return {retry, cancel};
    default: return {ok};
  }
}

QMessageBox::Icon BoxIcon(unsigned flags) {
  switch (flags & 0xF0) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// Makes a box with a short text wide enough for its caption: the window manager writes the caption
// in its own font, often bold and larger, between its buttons, and cuts what does not fit.
void KeepCaptionWhole(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  QFont font = box.font();
  font.setBold(true);
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(box.windowTitle()) * 5 / 4 + 6 * metrics.height();
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                grid->columnCount());
}

}  // namespace

TApplication* const Application = &TheApplication;

TApplication::~TApplication() {
  // The QApplication is gone by now; forms still listed are left to the operating system.
  FForms.clear();
}

void TApplication::SetTitle(const std::string& title) { FTitle = title; }

void TApplication::ProcessMessages() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
  FPumpDue = CoarseMilliseconds() + MessagesInterval;
}

namespace {

// Swallows the user's input while it is installed on the application.
class TInputDrop : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::TabletPress:
      case QEvent::TabletRelease:
        return true;
      default:
        return QObject::eventFilter(watched, event);
    }
  }
};

}  // namespace

void TApplication::DiscardInput() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  TInputDrop drop;
  app->installEventFilter(&drop);
  QCoreApplication::processEvents();
  app->removeEventFilter(&drop);
  FPumpDue = CoarseMilliseconds() + MessagesInterval;
}

void TApplication::SetMainForm(QWidget* form) {
  FMainForm = form;
  if (form)
    QObject::connect(form, &QObject::destroyed, [this, form] {
      if (FMainForm == form) FMainForm = nullptr;
    });
}

void TApplication::AddForm(QWidget* form) {
  FForms.push_back(form);
  QObject::connect(form, &QObject::destroyed, [this, form] {
    FForms.erase(std::remove(FForms.begin(), FForms.end(), form), FForms.end());
  });
}

void TApplication::DestroyForms() {
  // A form's destruction may destroy other owned forms; each leaves the list as it goes.
  while (!FForms.empty()) {
    QWidget* form = FForms.back();
    FForms.pop_back();
    delete form;
  }
}

TModalResult TApplication::MessageBox(const std::string& text, const std::string& caption,
                                      unsigned flags, QWidget* owner) {
  const std::vector<TBoxButton> buttons = BoxButtons(flags);
  size_t defaultIndex = (flags & 0xF00) >> 8;
  if (defaultIndex >= buttons.size()) defaultIndex = 0;

  QWidget* parent = owner ? owner : QApplication::activeWindow();
  if (!parent) parent = FMainForm;
  const std::string& title = caption.empty() ? FTitle : caption;
  // Plain text: messages quote location texts such as <DB NAME="..."> that must not read as markup.
  QMessageBox box(BoxIcon(flags), ToQString(title), QString(), QMessageBox::NoButton, parent);
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));

  TModalInfo info{.Kind = TModalKind::MessageBox, .Id = "MessageBox", .Caption = title, .Text = text, .Flags = flags};
  TModalResult escape = buttons.size() == 1 ? buttons[0].Result : mrNone;
  for (const TBoxButton& b : buttons) {
    box.addButton(b.Button)->setText(ToQString(*b.Caption));
    info.Buttons.push_back(*b.Caption);
    info.Results.push_back(b.Result);
    if (b.Result == IDCANCEL || (b.Result == IDNO && escape != IDCANCEL)) escape = b.Result;
  }
  info.DefaultResult = buttons[defaultIndex].Result;
  box.setDefaultButton(buttons[defaultIndex].Button);
  for (const TBoxButton& b : buttons)
    if (b.Result == escape) box.setEscapeButton(b.Button);
  KeepCaptionWhole(box);

  const TModalResult r = ExecModal(box, info);
  // The box's own loop (or a test's click) closes it with the standard button's code.
  for (const TBoxButton& b : buttons)
    if (r == b.Button || r == b.Result) return b.Result;
  return escape != mrNone ? escape : buttons.back().Result;
}

QTranslator* TApplication::LoadQtTranslation(const QString& folder) {
  auto* translator = new QTranslator(QCoreApplication::instance());
  const QString from = folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
  if (!translator->load(QStringLiteral("qtbase_ru"), from) || !QCoreApplication::installTranslator(translator)) {
    delete translator;
    return nullptr;
  }
  return translator;
}

void TApplication::UseRussianLocale() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kTerminationSignals) sigaddset(&set, signal);
  return set;
}

// Ends the process as the signal's default action does, whatever a library installed for it.
[[noreturn]] void EndAtOnce(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
  _exit(128 + signal);
}

}  // namespace

void TApplication::HoldTerminationSignals() {
  if (FSignalFd >= 0) return;
  const sigset_t held = TerminationSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  FSignalFd = signalfd(-1, &held, SFD_CLOEXEC);
  // Nothing could read them: they keep their usual effect.
  if (FSignalFd < 0) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void TApplication::WatchSignals(int wake) {
  for (;;) {
    signalfd_siginfo info;
    const ssize_t n = read(FSignalFd, &info, sizeof info);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof info)) return;
    // The first signal closes the program through its message loop; a second one while that is
    // under way, or any once the loop has ended, ends it at once: a loop held up in a call that
    // does not return (a server that does not answer) could not be stopped otherwise.
    const char byte = 1;
    if (FSignalsRead.fetch_add(1) > 0 || !FLoopRunning || write(wake, &byte, 1) != 1)
      EndAtOnce(static_cast<int>(info.ssi_signo));
  }
}

int TApplication::Run() {
  FLoopRunning = true;
  int wake[2] = {-1, -1};
  if (FSignalFd >= 0 && !FWatching) {
    // Without the pipe the first signal ends the program at once too.
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
      // Owned by the application object, so it goes with the QApplication.
      auto* notifier = new QSocketNotifier(wake[0], QSocketNotifier::Read, QCoreApplication::instance());
      QObject::connect(notifier, &QSocketNotifier::activated, [this, fd = wake[0]] {
        char bytes[16];
        while (read(fd, bytes, sizeof bytes) > 0) {
        }
        CloseOnSignal();
      });
    }
    // The signals are read on a thread of their own, so that one more ends the program even
    // while the message loop is held up. It lives as long as the process, and the pipe with it.
    try {
      std::thread([this, fd = wake[1]] { WatchSignals(fd); }).detach();
      FWatching = true;
    } catch (const std::system_error&) {
      // Nothing reads them: they keep their usual effect.
      const sigset_t held = TerminationSignals();
      pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
    }
  }
  const int code = QApplication::exec();
  FLoopRunning = false;
  return code;
}

void TApplication::CloseOnSignal() {
  if (FClosing) return;
  FClosing = true;
  // A closed dialog may lead to another, and a copy ends only at its next row: the closing goes on
  // step by step until the loop has quit.
  auto* timer = new QTimer(QCoreApplication::instance());
  QObject::connect(timer, &QTimer::timeout, [this] { CloseStep(); });
  timer->start(50);
  CloseStep();
}

void TApplication::CloseStep() {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    // A message box with no button to take on its close box refuses it; it is rejected instead.
    auto* dialog = qobject_cast<QDialog*>(modal);
    if (!modal->close() && dialog) dialog->reject();
    return;
  }
  // Every window is asked, whichever refuses: one that refuses while the work it stands for goes on
  // (a waiting window) must not keep the window that can end that work from being asked.
  std::vector<QPointer<QWidget>> shown;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) shown.emplace_back(w);
  for (const QPointer<QWidget>& w : shown)
    if (w && w->isVisible()) w->close();
  if (shown.empty()) QCoreApplication::quit();
}

void CenterOnScreen(QWidget& window) {
  QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

void CenterOnMainForm(QWidget& window) {
  QWidget* main = Application->MainForm();
  if (!main || !main->isVisible() || main == &window) {
    CenterOnScreen(window);
    return;
  }
  QRect frame = window.frameGeometry();
  frame.moveCenter(main->frameGeometry().center());
  window.move(frame.topLeft());
}

void ErrorBox(const std::string& text, QWidget* owner) {
  Application->MessageBox(text, "Ошибка"_ansi, MB_OK | MB_ICONERROR, owner);
}

void InfoBox(const std::string& text, QWidget* owner) {
  Application->MessageBox(text, "Информация"_ansi, MB_OK | MB_ICONINFORMATION, owner);
}

bool QuestionBox(const std::string& text, QWidget* owner) {
  return Application->MessageBox(text, "Вопрос"_ansi, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, owner) ==
         IDYES;
}

bool ConfirmBox(const std::string& text, QWidget* owner) {
  return Application->MessageBox(text, "Предупреждение"_ansi,
                                 MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, owner) == IDYES;
}
