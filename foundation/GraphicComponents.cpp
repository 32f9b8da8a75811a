#include "foundation/GraphicComponents.h"

#include <QApplication>
#include <QKeyEvent>

#include "foundation/CommonUtils.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/UiText.h"

TFloatEdit::TFloatEdit(QWidget* parent) : QLineEdit(parent) {}

double TFloatEdit::ClampValue(double value) const {
  if (MinValue == MaxValue) return value;
  if (value < MinValue) return MinValue;
  if (value > MaxValue) return MaxValue;
  return value;
}

void TFloatEdit::SetValue(double value) {
  const double c = ClampValue(value);
  FValue = c;
  const std::string fmt = "%." + std::to_string(FPrecision) + (TruncZeros ? "g" : "f");
  setText(ToQString(Format(fmt, {c})));
  setModified(false);
}

double TFloatEdit::GetValue() const {
  if (!isModified()) return FValue;
  try {
    return StrToFloatAnySep(FromQStringLossy(text()));
  } catch (const EConvertError&) {
    return MinValue;
  }
}

bool TFloatEdit::IsValidChar(char key) const {
  if (key == 8 || key == 13 || key == 27 || (key >= '0' && key <= '9')) return true;
  // What remains of the text when the key replaces the selection.
  std::string s = FromQStringLossy(text());
  int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
  if (hasSelectedText()) s.erase(static_cast<std::size_t>(selStart), static_cast<std::size_t>(selectedText().size()));
  if (key == '+' || key == '-') {
    if (!StrictCheck) return true;
    return IsSigned && selStart == 0 && (s.empty() || (s[0] != '+' && s[0] != '-'));
  }
  if (key == ',' || key == '.') {
    if (FPrecision == 0) return false;
    if (!StrictCheck) return true;
    return s.find('.') == std::string::npos && s.find(',') == std::string::npos;
  }
  return false;
}

void TFloatEdit::keyPressEvent(QKeyEvent* event) {
  const QString t = event->text();
  if (t.size() == 1 && t[0].unicode() < 0x80 && t[0].unicode() >= 0x20) {
    if (!IsValidChar(static_cast<char>(t[0].unicode()))) {
      ++FBeeps;
      QApplication::beep();
      event->accept();
      return;
    }
  } else if (t.size() == 1 && t[0].unicode() >= 0x80) {
    ++FBeeps;  // no letter of any alphabet is part of a number
    QApplication::beep();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void TFloatEdit::CMExit() {
  const std::string t = FromQStringLossy(text());
  auto isNumber = [&t] {
    try {
      StrToFloatAnySep(t);
      return true;
    } catch (const EConvertError&) {
      return false;
    }
  };
  if (StrictCheck && !isNumber()) {
    // At once, while the focus is still moving: the control it was going to never gets it.
    setFocus(Qt::OtherFocusReason);
    if (Trim(t).empty()) throw EConvertError("Ошибка: Введите число"_ansi);
    throw EConvertError(Format("Ошибка: не могу преобразовать строку \"%s\" в число"_ansi, {t}));
  }
  const double v = GetValue();
  if (v != ClampValue(v)) SetValue(v);
}

void TFloatEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // Only the focus moving to another control leaves the box. The window losing the activation
  // (to the message box below, to another program) or a popup menu opening does not; nor does
  // anything while the message is up.
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason || FExiting) return;
  FExiting = true;
  // Errors on leaving go where the program's unhandled errors go: a message box.
  try {
    CMExit();
  } catch (const Exception& e) {
    Application->MessageBox(e.Message(), Application->Title(), MB_OK | MB_ICONERROR, window());
    setFocus(Qt::OtherFocusReason);  // when the box handed the activation back elsewhere
  }
  FExiting = false;
}
