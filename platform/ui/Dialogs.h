// Modal dialogs and the one seam through which a test answers them.
//
// Every modal dialog of the system (message boxes, the choice dialog, settings dialogs, file and
// folder pickers) runs through ExecModal. In the program no hook is installed and ExecModal simply
// runs the dialog's own modal loop. A test installs a hook (usually through TDialogScript): the
// dialog is then shown without a modal loop, the hook is told what kind of dialog it is, its caption
// and text, and either returns the result the user would have given or acts on the dialog object
// itself (clicks a button by its text, fills an edit, closes it), after which the dialog must have
// closed. A dialog nobody expected is reported through the failure reporter, which a test suite
// points at its test framework, so the test fails loudly instead of waiting for a person.
#pragma once

#include <QDialog>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The result of a modal dialog. The values are shared with the message-box answers (IDOK = mrOk).
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;
inline constexpr TModalResult mrAbort = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;
inline constexpr TModalResult mrClose = 8;

enum class TModalKind { MessageBox, Form, FileDialog, FolderDialog };

// What a modal dialog tells the hook about itself before it runs. Texts are Windows-1251. Every
// member has a default, so designated initialisers name only what a dialog has.
struct TModalInfo {
  TModalKind Kind = TModalKind::Form;
  std::string Id{};                     // "MessageBox" for message boxes; the form's class name otherwise
  std::string Caption{};                // the window caption
  std::string Text{};                   // the message or the dialog's main text
  unsigned Flags = 0;                   // message boxes and pickers: the flags they were asked with
  std::vector<std::string> Buttons{};   // the captions of the dialog's buttons, in order
  std::vector<TModalResult> Results{};  // message boxes: the result of each button, in order
  TModalResult DefaultResult = mrNone;  // message boxes: the result of the default button
  // One line in UTF-8 naming the kind, id, caption and text, for failure messages.
  std::string Describe() const;
};

// The description of a form for ExecModal: kind Form, the id (the form's class name), its window
// title as the caption and the texts of its buttons in creation order.
TModalInfo FormInfo(const std::string& id, QDialog& dialog);

// Shows a form modally through ExecModal, described by FormInfo; returns its modal result.
TModalResult ShowModal(QDialog& form, const std::string& id);

// Answers a dialog: a result, which closes the dialog with it; or nothing, when the hook has acted
// on the dialog itself, which must then have closed.
using TModalHook = std::function<std::optional<TModalResult>(const TModalInfo&, QDialog&)>;

// Installs the hook (an empty one removes it) and returns the one it replaces.
TModalHook SetModalHook(TModalHook hook);
bool ModalHookInstalled();

// Runs `dialog` modally and returns its result: dialog.exec() without a hook; with a hook, the
// dialog is shown modelessly, the hook answers, and the dialog is closed. A dialog the hook leaves
// open, or destroys, is reported as a failure and gives mrCancel.
TModalResult ExecModal(QDialog& dialog, const TModalInfo& info);

// Where failures of the seam go (message in UTF-8). Without a reporter they are written to stderr
// and the process aborts: a dialog nobody answers must never pass unnoticed.
using TDialogFailureReporter = std::function<void(const std::string& message)>;
TDialogFailureReporter SetDialogFailureReporter(TDialogFailureReporter reporter);
void ReportDialogFailure(const std::string& message);

// The answer a user gives by pressing Escape: Cancel, else No, else the only (last) button of a
// message box; any other dialog is rejected (closed without OK).
std::optional<TModalResult> NeutralAnswer(const TModalInfo& info, QDialog& dialog);

// A hook that reports every dialog as unexpected and answers it neutrally; test programs install
// it for the whole run so that no dialog can wait for a person.
TModalHook StrictModalHook();

// Clicks the enabled button inside `widget` whose text (Windows-1251; '&' accelerator marks are
// ignored) equals `caption`; reports a failure and returns false when there is none.
bool ClickButton(QWidget& widget, const std::string& caption);

// A test's list of the dialogs it expects, in order, with their answers. While the script lives it
// is the modal hook (the previous hook comes back when it goes). A dialog that arrives when the list
// is empty, or that differs from the next expectation, is reported and answered neutrally;
// expectations still open when the script goes are reported too.
class TDialogScript {
 public:
  using TAction = std::function<std::optional<TModalResult>(const TModalInfo&, QDialog&)>;

  TDialogScript();
  ~TDialogScript();
  TDialogScript(const TDialogScript&) = delete;
  TDialogScript& operator=(const TDialogScript&) = delete;

  // A message box with exactly this caption and text, answered with `answer`, which must be one of
  // the box's buttons.
  TDialogScript& ExpectMessageBox(const std::string& caption, const std::string& text,
                                  TModalResult answer);
  // A dialog with this id (and, when `caption` is given, this caption), answered by `action`.
  TDialogScript& ExpectDialog(const std::string& id, TAction action,
                              std::optional<std::string> caption = std::nullopt);
  // A dialog with this id, answered by clicking its button with this caption.
  TDialogScript& ExpectDialogClick(const std::string& id, const std::string& buttonCaption);

  // Every dialog that ran while the script was installed, in order.
  const std::vector<TModalInfo>& Seen() const { return FSeen; }
  // Expectations not met yet.
  size_t Pending() const { return FExpected.size(); }

 private:
  struct TExpectation {
    std::string Id;
    std::optional<std::string> Caption;
    std::optional<std::string> Text;
    TAction Action;
  };
  std::optional<TModalResult> Answer(const TModalInfo& info, QDialog& dialog);

  std::deque<TExpectation> FExpected;
  std::vector<TModalInfo> FSeen;
  TModalHook FPrevious;
};
