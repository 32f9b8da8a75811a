// The waiting window that slow work is bracketed with.
//
// BeginLongOperation before the work, EndLongOperation after it. Brackets nest: the window appears
// at the outermost begin and goes at the outermost end; each begin saves the label's caption on a
// stack and each inner end puts the saved one back. LongOperationMode decides what the outermost
// end does with the window (destroy it, or hide it for the next bracket) or switches brackets off.
// The window is modeless: it repaints, and its button answers, only while the work lets the message
// loop run (Application->ProcessMessages). It refuses to be closed: it goes with its bracket, so it
// stays over the window its work keeps busy.
#pragma once

#include <QWidget>
#include <cstdint>

class QFrame;
class QLabel;
class QPushButton;
class TAnimate;
class TStringList;

class TLongOperationForm : public QWidget {
 public:
  explicit TLongOperationForm(QWidget* owner = nullptr);
  // Runs FormDestroy.
  ~TLongOperationForm() override;

  QFrame* TextPanel;
  QLabel* OperationName;
  TAnimate* Animate;
  QFrame* ControlPanel;
  QPushButton* TerminateButton;

  // The user confirmed that the running operation is to be broken off; for the operation to poll.
  bool Terminated = false;
  // When false, the button breaks the operation off without asking.
  bool AskBeforeTerminating = true;

  // Grows the window by the control panel and shows it with the button enabled and focused.
  void ShowTerminateButton();
  // Shows the window centred on the screen, its label empty and its animation running.
  void ShowRunning();
  // Asks whether to break the operation off (see AskBeforeTerminating), unless that is already
  // decided.
  void TerminateButtonClick();
  // Clears LongOperationForm when it refers to this window.
  void FormDestroy();

 protected:
  // Window creation parameters: the window belongs to LongOperationOwner when that is set.
  void CreateParams();
  // Escape presses the button when it is enabled.
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
};

// The single window, created by the first outermost begin; null when there is none.
extern TLongOperationForm* LongOperationForm;
// 0: the outermost end destroys the window; 2: brackets do nothing at all; any other value: the
// outermost end hides the window and keeps it for the next bracket.
extern uint8_t LongOperationMode;
// When set, the window that the waiting window belongs to when it is created.
extern QWidget* LongOperationOwner;
// The stack of saved label captions, one entry per open bracket (Windows-1251).
extern TStringList* const LongOperationCaptions;

// Opens a bracket; shows the window at the outermost one. CanTerminate takes effect only when the
// bracket creates the window: the window then has an enabled "Отмена" button that asks whether to
// break the operation off.
void BeginLongOperation(bool CanTerminate);
// Closes the innermost bracket; without an open bracket or a window it does nothing.
void EndLongOperation();
