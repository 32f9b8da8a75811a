// The dialog keys of a window: Return presses its default button, Escape its cancel button.
//
// Qt gives these keys only to a QDialog, and there by rules of its own: the first button becomes
// the default when none is set, and Escape always rejects. A window that installs TFormKeys gets
// exactly the keys it names, a plain QWidget as well as a dialog:
// - Return (or Enter on the keypad) presses the push button that has the focus; otherwise the
//   window's default push button (the visible one whose isDefault() is set), when it is enabled;
//   otherwise nothing.
// - Escape presses the cancel button when one is given and enabled; otherwise nothing, and the key
//   does not close a dialog either.
// A key reaches the window only when the control that has the focus leaves it alone: an in-place
// editor, a list that starts editing on Enter or an open drop-down keeps its own keys.
#pragma once

#include <QObject>
#include <QPointer>

class QPushButton;
class QWidget;

class TFormKeys : public QObject {
 public:
  // Watches `window` and is owned by it; `cancel` (may be null) answers Escape.
  TFormKeys(QWidget& window, QPushButton* cancel);

  // The button Return presses now, or null.
  QPushButton* ReturnButton() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget& FWindow;
  QPointer<QPushButton> FCancel;
};
