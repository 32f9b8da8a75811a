// The application object and the message boxes of the system, over QApplication and QMessageBox.
//
// `Application` stands for the running program: its title, its main form, the forms it owns, the
// message pump (ProcessMessages) that long loops call to keep the windows alive, the message box
// that asks the user, Qt's own texts and formats in Russian, and the termination signals, which
// close the program as its window's close box does. The QApplication itself is created by the
// program's entry point (or a test program) before any of this is used.
#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "platform/ui/Dialogs.h"

class QTranslator;

// Message-box flags: the buttons (one of), the icon (one of) and the default button (one of).
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_RETRYCANCEL = 0x5;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_DEFBUTTON1 = 0x0;
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;
inline constexpr unsigned MB_DEFBUTTON3 = 0x200;

// Message-box answers; the same values as the modal results.
inline constexpr TModalResult IDOK = mrOk;
inline constexpr TModalResult IDCANCEL = mrCancel;
inline constexpr TModalResult IDABORT = mrAbort;
inline constexpr TModalResult IDRETRY = mrRetry;
inline constexpr TModalResult IDIGNORE = mrIgnore;
inline constexpr TModalResult IDYES = mrYes;
inline constexpr TModalResult IDNO = mrNo;

class TApplication {
 public:
  TApplication() = default;
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;
  ~TApplication();

  // The program's title (Windows-1251); also the display name Qt adds to window captions.
  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& title);

  // Handles the pending window events and returns: repaints, clicks, timers. Long loops call it
  // after each step. Does nothing before the QApplication exists.
  void ProcessMessages();
  // Whether a loop of many short steps should pump now: true once the coarse monotonic clock
  // reads MessagesInterval past the last ProcessMessages (and before the first). That clock ticks
  // every 1 to 10 ms and costs a few nanoseconds to read (a fifth of the precise clock), where a
  // pump costs microseconds; Qt has no cheap question for "are events waiting", so the clock
  // stands for it. Clicks, timers and repaints then wait at most the interval and a tick, far
  // below what a person notices.
  bool MessagesDue() const { return CoarseMilliseconds() >= FPumpDue; }
  static constexpr qint64 MessagesInterval = 2;  // milliseconds
  // Handles the pending window events as ProcessMessages does, but drops the keys, clicks and
  // wheel turns among them: for a window that took no input for a while, so that what was
  // pressed meanwhile never acts on what it shows next.
  void DiscardInput();

  // The main window: the owner of message boxes that have no other owner and the window that
  // dialogs centre on. Null until the program sets it; cleared when that window is destroyed.
  QWidget* MainForm() const { return FMainForm; }
  void SetMainForm(QWidget* form);

  // Makes the application the owner of a top-level form: it is destroyed by DestroyForms at the
  // latest. A form destroyed earlier leaves the list by itself.
  void AddForm(QWidget* form);
  template <class T, class... Args>
  T* CreateForm(Args&&... args) {
    T* form = new T(std::forward<Args>(args)...);
    AddForm(form);
    return form;
  }
  // Destroys the owned forms, the last created first. The program calls it before the
  // QApplication goes.
  void DestroyForms();
  const std::vector<QWidget*>& Forms() const { return FForms; }

  // Shows a modal message box (through ExecModal, so tests answer it) and returns the answer
  // (IDOK, IDYES, ...). `flags` combine MB_ buttons, icon and default button; the buttons read
  // "OK", "Отмена", "Да", "Нет", "Прервать", "Повтор", "Пропустить". Without an owner the box
  // belongs to the active window, else to the main form.
  TModalResult MessageBox(const std::string& text, const std::string& caption, unsigned flags,
                          QWidget* owner = nullptr);

  // Makes Qt's own texts (the file and folder pickers, the edit fields' context menus, standard
  // buttons) Russian whatever the system's locale, from Qt's Russian catalogue in `folder` (Qt's
  // translations folder when empty). Needs the QApplication, which owns the translator returned
  // (deleting it takes the texts back). Null when the catalogue is not there: Qt's texts then
  // stay English and nothing else changes.
  QTranslator* LoadQtTranslation(const QString& folder = QString());
  // Makes Russian the locale that Qt formats in whatever the system's (QLocale's default): the
  // numbers, dates and file type names that Qt's own widgets show. The program calls it at start,
  // before any window exists; widgets made earlier keep the locale they had.
  void UseRussianLocale();

  // Holds SIGTERM, SIGINT and SIGHUP back from every thread and keeps them for Run to read. The
  // program calls it first in main, before any thread exists: threads inherit the block, so no
  // handler that a library installs for these signals ever runs (the Firebird client installs its
  // own on its first attach; they shut its connections down and leave the program running). When
  // the descriptor that keeps them cannot be made, nothing is held: they act as usual.
  void HoldTerminationSignals();

  // Runs the message loop until the program quits; returns its exit code. The first held
  // termination signal closes the program as a person would: the open dialogs are closed (each
  // as by its close box), then every window, and again every 50 ms until none is left (a window
  // may refuse while it winds its work down, as the wizard does during a copy, and the others are
  // asked all the same); then the loop quits. A second one meanwhile, or one after the loop has
  // quit, ends the program at once by the signal's own default action, also while the loop is
  // held up in a call that does not return.
  int Run();

 private:
  void CloseOnSignal();
  void CloseStep();
  static qint64 CoarseMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<qint64>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
  }
  // The watcher thread: reads the held signals and writes a byte to wake for the first one.
  void WatchSignals(int wake);

  std::string FTitle;
  qint64 FPumpDue = 0;  // CoarseMilliseconds from which the next pump is due
  int FSignalFd = -1;  // the held termination signals, or -1
  bool FWatching = false;
  std::atomic<bool> FLoopRunning{false};
  std::atomic<int> FSignalsRead{0};
  bool FClosing = false;
  QWidget* FMainForm = nullptr;
  std::vector<QWidget*> FForms;
};

// The one application object.
extern TApplication* const Application;

// Places a top-level window before it is shown: centred on the screen it will appear on, or on the
// main form when that is shown (else on the screen).
void CenterOnScreen(QWidget& window);
void CenterOnMainForm(QWidget& window);

// The four message boxes of the system, each owned by `owner` when given:
// error: caption "Ошибка", error icon, OK.
void ErrorBox(const std::string& text, QWidget* owner = nullptr);
// information: caption "Информация", information icon, OK.
void InfoBox(const std::string& text, QWidget* owner = nullptr);
// question: caption "Вопрос", question icon, Yes and No with No as the default; true on Yes.
bool QuestionBox(const std::string& text, QWidget* owner = nullptr);
// confirmation: caption "Предупреждение", question icon, Yes and No with No as the default; true on Yes.
bool ConfirmBox(const std::string& text, QWidget* owner = nullptr);
