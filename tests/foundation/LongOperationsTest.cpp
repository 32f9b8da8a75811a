#include "foundation/LongOperations.h"

#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <filesystem>
#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/Classes.h"
#include "platform/ui/Animate.h"
#include "platform/ui/Application.h"
#include "platform/ui/UiText.h"

namespace {

class LongOperations : public ::testing::Test {
 protected:
  void TearDown() override {
    delete LongOperationForm;
    LongOperationCaptions->Clear();
    LongOperationMode = 0;
    LongOperationOwner = nullptr;
  }

  static std::string Label() { return FromQString(LongOperationForm->OperationName->text()); }
  static void SetLabel(const std::string& s) { LongOperationForm->OperationName->setText(ToQString(s)); }
};

}  // namespace

TEST_F(LongOperations, OutermostBracketShowsTheWindowAndDestroysItAtTheEnd) {
  BeginLongOperation(false);
  ASSERT_NE(LongOperationForm, nullptr);
  TLongOperationForm& form = *LongOperationForm;
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isModal());
  EXPECT_EQ(FromQString(form.windowTitle()), "Подождите..."_ansi);
  EXPECT_EQ(form.size(), QSize(363, 74));
  const QPoint screenCentre = form.screen()->availableGeometry().center();
  EXPECT_LE((form.frameGeometry().center() - screenCentre).manhattanLength(), 8);  // give or take the frame
  EXPECT_EQ(form.font().pixelSize(), 14);
  EXPECT_EQ(form.OperationName->geometry(), QRect(74, 10, 277, 55));
  EXPECT_TRUE(form.OperationName->wordWrap());
  EXPECT_EQ(form.Animate->geometry(), QRect(10, 10, 59, 55));
  EXPECT_FALSE(form.ControlPanel->isVisible());
  EXPECT_FALSE(form.TerminateButton->isEnabled());
  EXPECT_EQ(Label(), "");
  EXPECT_TRUE(form.Animate->Active());
  EXPECT_EQ(form.Animate->StopFrame(), 8);
  ASSERT_EQ(LongOperationCaptions->Count(), 1);
  EXPECT_EQ(LongOperationCaptions->Strings(0), "Процесс идет..."_ansi);
  const auto& forms = Application->Forms();
  EXPECT_NE(std::find(forms.begin(), forms.end(), &form), forms.end());

  EndLongOperation();
  EXPECT_EQ(LongOperationForm, nullptr);
  EXPECT_EQ(LongOperationCaptions->Count(), 0);
  EXPECT_EQ(std::find(forms.begin(), forms.end(), &form), forms.end());
}

TEST_F(LongOperations, InnerBracketsSaveAndRestoreTheCaption) {
  BeginLongOperation(false);
  SetLabel("Чтение структуры"_ansi);
  BeginLongOperation(false);
  EXPECT_EQ(Label(), "Чтение структуры"_ansi);  // only the outermost begin clears the label
  SetLabel("Создание индексов"_ansi);
  BeginLongOperation(true);
  ASSERT_EQ(LongOperationCaptions->Count(), 3);
  EXPECT_EQ(LongOperationCaptions->Strings(2), "Создание индексов"_ansi);
  EndLongOperation();
  EXPECT_EQ(Label(), "Создание индексов"_ansi);
  EndLongOperation();
  EXPECT_EQ(Label(), "Чтение структуры"_ansi);
  EXPECT_TRUE(LongOperationForm->isVisible());
  EXPECT_TRUE(LongOperationForm->Animate->Active());
  EndLongOperation();
  EXPECT_EQ(LongOperationForm, nullptr);
}

TEST_F(LongOperations, EndWithoutBeginDoesNothing) {
  EndLongOperation();
  EXPECT_EQ(LongOperationForm, nullptr);
  LongOperationMode = 1;
  BeginLongOperation(false);
  EndLongOperation();
  ASSERT_NE(LongOperationForm, nullptr);
  EndLongOperation();
  EXPECT_NE(LongOperationForm, nullptr);
  EXPECT_FALSE(LongOperationForm->isVisible());
  EXPECT_EQ(LongOperationCaptions->Count(), 0);
}

TEST_F(LongOperations, ModeZeroCreatesAWindowPerOutermostBracket) {
  BeginLongOperation(false);
  QPointer<TLongOperationForm> first = LongOperationForm;
  EndLongOperation();
  EXPECT_TRUE(first.isNull());
  BeginLongOperation(false);
  QPointer<TLongOperationForm> second = LongOperationForm;
  ASSERT_FALSE(second.isNull());
  EXPECT_TRUE(second->isVisible());
  EndLongOperation();
  EXPECT_TRUE(second.isNull());
}

TEST_F(LongOperations, ModeOneHidesAndReusesTheWindow) {
  LongOperationMode = 1;
  BeginLongOperation(true);
  QPointer<TLongOperationForm> form = LongOperationForm;
  form->Terminated = true;
  EndLongOperation();
  ASSERT_FALSE(form.isNull());
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->Animate->Active());

  BeginLongOperation(false);
  EXPECT_EQ(LongOperationForm, form.data());
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->Animate->Active());
  EXPECT_EQ(LongOperationCaptions->Strings(0), "");  // the caption left empty by the first bracket
  EXPECT_TRUE(form->ControlPanel->isVisible());     // kept as it was created
  EXPECT_TRUE(form->Terminated);                    // not reset on reuse
  EndLongOperation();
  EXPECT_FALSE(form->isVisible());
}

TEST_F(LongOperations, ModeTwoSwitchesBracketsOff) {
  LongOperationMode = 2;
  BeginLongOperation(true);
  EXPECT_EQ(LongOperationForm, nullptr);
  EXPECT_EQ(LongOperationCaptions->Count(), 0);

  LongOperationMode = 0;
  BeginLongOperation(false);
  LongOperationMode = 2;
  EndLongOperation();
  ASSERT_NE(LongOperationForm, nullptr);
  EXPECT_TRUE(LongOperationForm->isVisible());
  EXPECT_EQ(LongOperationCaptions->Count(), 1);
}

TEST_F(LongOperations, TerminateButtonOnlyWhenTheCreatingBracketAsks) {
  BeginLongOperation(false);
  BeginLongOperation(true);
  EXPECT_EQ(LongOperationForm->height(), 74);
  EXPECT_FALSE(LongOperationForm->ControlPanel->isVisible());
  EXPECT_FALSE(LongOperationForm->TerminateButton->isEnabled());
  EndLongOperation();
  EndLongOperation();

  BeginLongOperation(true);
  TLongOperationForm& form = *LongOperationForm;
  EXPECT_EQ(form.size(), QSize(363, 115));
  EXPECT_TRUE(form.ControlPanel->isVisible());
  EXPECT_EQ(form.ControlPanel->geometry(), QRect(0, 74, 363, 41));
  EXPECT_TRUE(form.TerminateButton->isEnabled());
  EXPECT_EQ(form.TerminateButton->geometry(), QRect(128, 8, 81, 25));
  EXPECT_EQ(FromQString(form.TerminateButton->text()), "Отмена"_ansi);
  EXPECT_EQ(form.focusWidget(), form.TerminateButton);
}

TEST_F(LongOperations, TerminateQuestion) {
  BeginLongOperation(true);
  TLongOperationForm& form = *LongOperationForm;
  const std::string question = "Операция будет прервана. Завершить?"_ansi;
  TDialogScript script;
  script.ExpectMessageBox("Предупреждение"_ansi, question, mrNo)
      .ExpectMessageBox("Предупреждение"_ansi, question, mrYes);
  form.TerminateButton->click();
  EXPECT_FALSE(form.Terminated);
  EXPECT_TRUE(form.TerminateButton->isEnabled());
  form.TerminateButton->click();
  EXPECT_TRUE(form.Terminated);
  form.TerminateButton->click();  // decided: nothing is asked (the script has no more answers)
  EXPECT_TRUE(form.Terminated);
  ASSERT_EQ(script.Seen().size(), 2u);
  EXPECT_EQ(script.Seen()[0].Flags, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  EXPECT_EQ(script.Seen()[0].DefaultResult, mrNo);
}

TEST_F(LongOperations, WindowBelongsToTheOwnerWhenOneIsSet) {
  auto* owner = new QWidget;
  LongOperationOwner = owner;
  BeginLongOperation(false);
  ASSERT_NE(LongOperationForm, nullptr);
  EXPECT_EQ(LongOperationForm->parentWidget(), owner);
  EXPECT_TRUE(LongOperationForm->isWindow());
  EXPECT_TRUE(LongOperationForm->isVisible());
  delete owner;  // takes the window with it
  EXPECT_EQ(LongOperationForm, nullptr);
  EndLongOperation();  // no window: nothing happens
  EXPECT_EQ(LongOperationCaptions->Count(), 1);
}

TEST_F(LongOperations, Screenshot) {
  BeginLongOperation(true);
  for (int i = 0; i < 3; ++i) {
    LongOperationForm->Animate->update();
    Application->ProcessMessages();
  }
  const QPixmap shot = LongOperationForm->grab();
  EXPECT_EQ(shot.size(), QSize(363, 115));
  const auto path = std::filesystem::temp_directory_path() / "long-operation.png";
  EXPECT_TRUE(shot.save(QString::fromStdString(path.string())));

  TLongOperationForm design;  // as designed, before any bracket touched it
  EXPECT_TRUE(design.grab().save(
      QString::fromStdString((std::filesystem::temp_directory_path() / "long-operation-design.png").string())));
}
