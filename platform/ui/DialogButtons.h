// The OK/Cancel pair at the foot of a dialog: a stretch, then OK, then Cancel, appended to a row
// layout. OK closes the dialog with mrOk and Cancel with mrCancel, through the dialog's done (so an
// override of done sees both). Dialogs differ in which keys reach the pair; each names its own.
#pragma once

#include <string>

class QBoxLayout;
class QDialog;
class QPushButton;

enum class TOkCancelKeys {
  // Qt's dialog keys: OK is the default button (Return presses it, or the focused button), and
  // Escape rejects the dialog.
  OkDefault,
  // No default button and no auto-default: Return is left to the dialog's own handling; Escape
  // rejects the dialog as Qt does.
  DialogHandlesReturn,
  // No default button (Return presses only a focused button) and Escape presses Cancel (TFormKeys).
  EscapeCancels,
  // No default button and no Escape at all (TFormKeys without a cancel button).
  NoEscape,
};

struct TOkCancelButtons {
  QPushButton* Ok;
  QPushButton* Cancel;
};

// Creates the two buttons (OK first; captions in Windows-1251) and appends them to `row`. Their
// parent is the row's widget when the row is installed on one, else the dialog.
TOkCancelButtons AddOkCancelButtons(QDialog& dialog, QBoxLayout& row, const std::string& okCaption,
                                    const std::string& cancelCaption, TOkCancelKeys keys);
