// TFloatEdit: a one-line edit box for a floating-point number. It filters keystrokes, reads the
// text with either '.' or ',' as the decimal separator, keeps the number within optional bounds
// (MinValue and MaxValue apply only when they differ) and, with StrictCheck, insists on a valid
// number when the user leaves it.
#pragma once

#include <QLineEdit>

class TFloatEdit : public QLineEdit {
 public:
  explicit TFloatEdit(QWidget* parent = nullptr);

  double MinValue = 0;
  double MaxValue = 0;
  bool StrictCheck = false;
  bool TruncZeros = false;  // the general format instead of the fixed one
  bool IsSigned = true;     // a sign may be typed under StrictCheck

  int Precision() const { return FPrecision; }
  // Stores the precision only; the text changes at the next SetValue.
  void SetPrecision(int precision) { FPrecision = precision; }

  // The value bound to [MinValue, MaxValue] when the bounds differ.
  double ClampValue(double value) const;
  // Binds, stores and shows the value ("%.<Precision>f", or "g" with TruncZeros); not modified.
  void SetValue(double value);
  // The typed number (unbound) when the user changed the text, MinValue when that is no number;
  // the stored value otherwise.
  double GetValue() const;
  // Whether a typed character may enter the box (see the rules in the source).
  virtual bool IsValidChar(char key) const;
  // Refused keys so far (each one also beeps).
  int Beeps() const { return FBeeps; }

  // The focus leaves the box: with StrictCheck a text that is no number raises EConvertError
  // after putting the focus back; otherwise a number outside the bounds is replaced by the
  // nearer bound.
  void CMExit();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  double FValue = 0;
  int FPrecision = 2;
  int FBeeps = 0;
  bool FExiting = false;  // the leave check runs
};
