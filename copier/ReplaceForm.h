// Find and replace for the conversion list editor: the dialog that asks for a pattern, a
// replacement and a scope (remembering earlier patterns and replacements for the whole run), and
// ReplaceByPattern, which applies one pattern with "*" wildcards at its ends to one name.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

class TEditReplace : public QDialog {
 public:
  explicit TEditReplace(QWidget* parent = nullptr);
  ~TEditReplace() override;

  QLabel* Label1;
  QComboBox* FindText;     // editable; its list is the find history, most recent first
  QLabel* Label2;
  QComboBox* ReplaceText;  // editable; the replacement history
  QCheckBox* Scope;        // "Везде": every group instead of the current one
  QPushButton* btnOk;
  QPushButton* btnCancel;

  // The dialog closes with `result`: on OK both texts, as typed, go to the top of their histories.
  void FormClose(int result);
  // Every key reaches the dialog before its controls. Enter closes with OK unless a history list
  // is dropped down (the key then belongs to the list). True when the key was consumed.
  bool FormKeyDown(int key);

 protected:
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// The one replace dialog; null until the first ExecuteReplaceDialog.
extern TEditReplace* EditReplace;

// Moves `text` to the top of the combo box's list (removing an equal entry first); the box's own
// text stays as it is.
void AddComboHistory(QComboBox& combo, const std::string& text);

// Shows the replace dialog with `caption` and the two texts. On OK the texts come back trimmed,
// `scope` tells whether "Везде" was checked, and the result is true; otherwise nothing changes.
// The scope box keeps its state from one call to the next.
bool ExecuteReplaceDialog(const std::string& caption, std::string& findText, std::string& replaceText,
                          bool& scope);

// Applies one pattern to `name` (letter case counts):
//   "*X*" replaces the first occurrence of X;  "*X" replaces X at the end;
//   "X*" replaces X at the start;               "X" (no "*" at either end) replaces the whole name.
// A "*" inside the pattern is an ordinary character; an empty X ("*", "**") and an empty pattern
// match nothing. Returns true, after one replacement, when the pattern matched.
bool ReplaceByPattern(const std::string& pattern, const std::string& replacement, std::string& name);

// `text` with `length` characters from `position` (counted from 1) replaced by `newPart`; a length
// that runs past the end takes the rest. A position outside 1..size+1 or a negative length raises
// Exception.
std::string ReplaceAt(const std::string& text, const std::string& newPart, int position, int length);
