#include "foundation/GraphicComponents.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>

#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

namespace {

// Types one character as the keyboard would.
void Type(TFloatEdit& edit, char c) {
  QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(c)));
  QApplication::sendEvent(&edit, &press);
}

void TypeText(TFloatEdit& edit, const std::string& text) {
  for (char c : text) Type(edit, c);
}

struct SeparatorScope {
  explicit SeparatorScope(char sep) : Saved(FormatSettings().DecimalSeparator) { FormatSettings().DecimalSeparator = sep; }
  ~SeparatorScope() { FormatSettings().DecimalSeparator = Saved; }
  char Saved;
};

// Makes the window the active one; under a real window manager that takes a moment.
void Activate(QWidget& window) {
  window.activateWindow();
  for (int i = 0; i < 150 && !window.isActiveWindow(); ++i) {
    QThread::msleep(20);
    QApplication::processEvents();
  }
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

}  // namespace

TEST(FloatEdit, BoundsApplyWhenTheUserLeavesTheBox) {
  TFloatEdit edit;
  edit.MinValue = 10;
  edit.MaxValue = 500;
  edit.SetPrecision(0);
  edit.SetValue(27);
  EXPECT_EQ(edit.text(), QStringLiteral("27"));
  edit.clear();
  TypeText(edit, "600");
  EXPECT_DOUBLE_EQ(edit.GetValue(), 600) << "unbound until the box is left";
  edit.CMExit();
  EXPECT_EQ(edit.text(), QStringLiteral("500"));
  EXPECT_DOUBLE_EQ(edit.GetValue(), 500);
  edit.clear();
  TypeText(edit, "5");
  edit.CMExit();
  EXPECT_DOUBLE_EQ(edit.GetValue(), 10);

  TFloatEdit unbound;
  unbound.SetValue(-1e9);
  EXPECT_DOUBLE_EQ(unbound.GetValue(), -1e9);
}

TEST(FloatEdit, ShownWithThePrecisionAndTheLocaleSeparator) {
  SeparatorScope comma(',');
  TFloatEdit edit;
  edit.SetValue(3);
  EXPECT_EQ(edit.text(), QStringLiteral("3,00"));
  edit.TruncZeros = true;
  edit.SetValue(3.5);
  EXPECT_EQ(edit.text(), QStringLiteral("3,5"));
  edit.clear();
  TypeText(edit, "2.25");
  EXPECT_DOUBLE_EQ(edit.GetValue(), 2.25) << "either separator reads";
}

TEST(FloatEdit, KeyFilter) {
  TFloatEdit edit;
  edit.SetPrecision(0);
  TypeText(edit, "1.,");
  EXPECT_EQ(edit.text(), QStringLiteral("1"));
  EXPECT_EQ(edit.Beeps(), 2);
  TypeText(edit, "x");
  EXPECT_EQ(edit.Beeps(), 3);

  TFloatEdit strict;
  strict.StrictCheck = true;
  TypeText(strict, "-1-.5,");
  EXPECT_EQ(strict.text(), QStringLiteral("-1.5"));
  strict.selectAll();
  Type(strict, '-');
  EXPECT_EQ(strict.text(), QStringLiteral("-")) << "with everything selected a sign replaces it";
  strict.IsSigned = false;
  strict.clear();
  Type(strict, '+');
  EXPECT_EQ(strict.text(), QStringLiteral(""));

  TFloatEdit loose;
  TypeText(loose, "1-2");
  EXPECT_EQ(loose.text(), QStringLiteral("1-2"));
  loose.MinValue = 3;
  loose.MaxValue = 9;
  loose.CMExit();
  EXPECT_EQ(loose.text(), QStringLiteral("1-2")) << "no strict check: the text stays";
  EXPECT_DOUBLE_EQ(loose.GetValue(), 3) << "and reads as MinValue";
}

TEST(FloatEdit, StrictCheckRefusesToLeaveWithoutANumber) {
  TFloatEdit edit;
  edit.StrictCheck = true;
  edit.setText(QStringLiteral("  "));
  edit.setModified(true);
  try {
    edit.CMExit();
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Ошибка: Введите число"_ansi);
  }
  edit.setText(ToQString("abc"));
  try {
    edit.CMExit();
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Ошибка: не могу преобразовать строку \"abc\" в число"_ansi);
  }
}

// Leaving a strict box with no number in it, by the keyboard or by the mouse, in a shown window:
// the message comes once and the focus is back in the box afterwards.
TEST(FloatEdit, LeavingAStrictBoxWithoutANumberWarnsOnceAndStays) {
  struct TCase {
    const char* text;
    std::string message;
    bool byTab;
  };
  const TCase cases[] = {
      {"abc", "Ошибка: не могу преобразовать строку \"abc\" в число"_ansi, true},
      {"  ", "Ошибка: Введите число"_ansi, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    QWidget window;
    auto* edit = new TFloatEdit(&window);
    edit->StrictCheck = true;
    auto* next = new QLineEdit(&window);
    next->move(0, 40);
    window.show();
    Activate(window);
    edit->setFocus();
    ASSERT_TRUE(edit->hasFocus());
    edit->setText(QString::fromLatin1(c.text));
    {
      TDialogScript script;
      script.ExpectMessageBox(Application->Title(), c.message, mrOk);
      if (c.byTab) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(edit, &tab);
      } else {
        next->setFocus(Qt::MouseFocusReason);
      }
      for (int i = 0; i < 5; ++i) QApplication::processEvents();
    }
    // The window gets the activation back from the box (the window manager's part) and with it
    // the box the focus.
    Activate(window);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_FALSE(next->hasFocus());
  }
}
