#include "copier/ReplaceForm.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/DialogButtons.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

TEditReplace* EditReplace = nullptr;

namespace {

QComboBox* HistoryBox(QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setEditable(true);
  // The list changes only through AddComboHistory; typing never completes from it either, since a
  // pattern completed behind the user's back would replace other names than the ones meant.
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setCompleter(nullptr);
  combo->setMinimumWidth(260);
  return combo;
}

bool DroppedDown(QComboBox* combo) { return combo->view() && combo->view()->isVisible(); }

}  // namespace

TEditReplace::TEditReplace(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(ToQString("Найти и заменить"_ansi));

  Label1 = new QLabel(ToQString("Заменить:"_ansi), this);
  FindText = HistoryBox(this);
  Label1->setBuddy(FindText);
  Label2 = new QLabel(ToQString("На:"_ansi), this);
  ReplaceText = HistoryBox(this);
  Label2->setBuddy(ReplaceText);
  Scope = new QCheckBox(ToQString("Везде"_ansi), this);
  // Enter is FormKeyDown's; no button takes it as a default button.
  auto* buttons = new QHBoxLayout;
  const TOkCancelButtons okCancel =
      AddOkCancelButtons(*this, *buttons, "Заменить"_ansi, "Отмена"_ansi, TOkCancelKeys::DialogHandlesReturn);
  btnOk = okCancel.Ok;
  btnCancel = okCancel.Cancel;

  auto* grid = new QGridLayout;
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(FindText, 0, 1);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(ReplaceText, 1, 1);
  grid->addWidget(Scope, 2, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  // The dialog sees every key before the control that has the focus.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

TEditReplace::~TEditReplace() {
  if (EditReplace == this) EditReplace = nullptr;
}

void TEditReplace::FormClose(int result) {
  if (result != mrOk) return;
  AddComboHistory(*FindText, FromQStringLossy(FindText->currentText()));
  AddComboHistory(*ReplaceText, FromQStringLossy(ReplaceText->currentText()));
}

bool TEditReplace::FormKeyDown(int key) {
  if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
  if (DroppedDown(FindText) || DroppedDown(ReplaceText)) return false;
  done(mrOk);
  return true;
}

void TEditReplace::done(int result) {
  // Escape and the close box reject the dialog: that is the cancel result.
  if (result == QDialog::Rejected) result = mrCancel;
  FormClose(result);
  QDialog::done(result);
}

bool TEditReplace::eventFilter(QObject* watched, QEvent* event) {
  // A history's drop-down list is a window of its own: its keys are its own, also the Enter that
  // reaches it after the list has picked an entry and closed.
  if (event->type() == QEvent::KeyPress && static_cast<QWidget*>(watched)->window() == this &&
      FormKeyDown(static_cast<QKeyEvent*>(event)->key()))
    return true;
  return QDialog::eventFilter(watched, event);
}

void TEditReplace::keyPressEvent(QKeyEvent* event) {
  if (FormKeyDown(event->key())) return;
  QDialog::keyPressEvent(event);
}

void AddComboHistory(QComboBox& combo, const std::string& text) {
  // Removing or inserting the current entry would change the edit text; it is put back.
  const QString shown = combo.currentText();
  const QString entry = ToQString(text);
  const int at = combo.findText(entry, Qt::MatchFixedString | Qt::MatchCaseSensitive);
  if (at >= 0) combo.removeItem(at);
  combo.insertItem(0, entry);
  if (combo.isEditable()) combo.setEditText(shown);
}

bool ExecuteReplaceDialog(const std::string& caption, std::string& findText, std::string& replaceText,
                          bool& scope) {
  if (!EditReplace) EditReplace = Application->CreateForm<TEditReplace>();
  TEditReplace& form = *EditReplace;
  form.setWindowTitle(ToQString(caption));
  form.FindText->setEditText(ToQString(findText));
  form.ReplaceText->setEditText(ToQString(replaceText));
  form.FindText->setFocus();
  form.FindText->lineEdit()->selectAll();
  CenterOnMainForm(form);
  if (ShowModal(form, "TEditReplace") != mrOk) return false;
  findText = Trim(FromQStringLossy(form.FindText->currentText()));
  replaceText = Trim(FromQStringLossy(form.ReplaceText->currentText()));
  scope = form.Scope->isChecked();
  return true;
}

bool ReplaceByPattern(const std::string& pattern, const std::string& replacement, std::string& name) {
  if (pattern.empty()) return false;
  const bool leading = pattern.front() == '*';
  const bool trailing = pattern.back() == '*';
  if (leading && trailing) {
    // "*" alone is both; what lies between the two stars must not be empty.
    if (pattern.size() <= 2) return false;
    const std::string inner = pattern.substr(1, pattern.size() - 2);
    const std::size_t at = name.find(inner);
    if (at == std::string::npos) return false;
    name = ReplaceAt(name, replacement, static_cast<int>(at) + 1, static_cast<int>(inner.size()));
    return true;
  }
  if (leading) {
    const std::string suffix = pattern.substr(1);
    if (suffix.size() > name.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      return false;
    name = ReplaceAt(name, replacement, static_cast<int>(name.size() - suffix.size()) + 1,
                     static_cast<int>(suffix.size()));
    return true;
  }
  if (trailing) {
    const std::string prefix = pattern.substr(0, pattern.size() - 1);
    if (prefix.size() > name.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    name = ReplaceAt(name, replacement, 1, static_cast<int>(prefix.size()));
    return true;
  }
  if (name != pattern) return false;
  name = replacement;
  return true;
}

std::string ReplaceAt(const std::string& text, const std::string& newPart, int position, int length) {
  if (position < 1 || static_cast<std::size_t>(position) > text.size() + 1 || length < 0)
    throw Exception(Format("Ошибка замены: позиция %d и длина %d вне строки длиной %d"_ansi,
                           {position, length, static_cast<int>(text.size())}));
  std::string result = text;
  result.replace(static_cast<std::size_t>(position - 1), static_cast<std::size_t>(length), newPart);
  return result;
}
