#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/ui/UiTestSupport.h"

namespace {

// The texts of a message box's buttons in their order on the box, in Windows-1251.
std::vector<std::string> ButtonTexts(QMessageBox& box) {
  std::vector<std::string> texts;
  for (QAbstractButton* b : box.buttons()) texts.push_back(FromQString(b->text()));
  std::sort(texts.begin(), texts.end());
  return texts;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Inspects the message box that runs and answers it by clicking the button with `click`.
struct TBoxSeen {
  std::string Title, Text, Default;
  std::vector<std::string> Buttons;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
};
TDialogScript::TAction InspectAndClick(TBoxSeen& seen, const std::string& click) {
  return [&seen, click](const TModalInfo&, QDialog& dialog) -> std::optional<TModalResult> {
    auto& box = dynamic_cast<QMessageBox&>(dialog);
    seen.Title = FromQString(box.windowTitle());
    seen.Text = FromQString(box.text());
    seen.Buttons = ButtonTexts(box);
    seen.Default = box.defaultButton() ? FromQString(box.defaultButton()->text()) : "";
    seen.Icon = box.icon();
    ClickButton(box, click);
    return std::nullopt;
  };
}

}  // namespace

TEST(MessageBoxes, EachKindHasItsCaptionIconAndRussianButtons) {
  TBoxSeen error, info, question, confirm;
  bool questionAnswer = true, confirmAnswer = false;
  {
    TDialogScript script;
    script.ExpectDialog("MessageBox", InspectAndClick(error, "OK"))
        .ExpectDialog("MessageBox", InspectAndClick(info, "OK"))
        .ExpectDialog("MessageBox", InspectAndClick(question, "Нет"_ansi))
        .ExpectDialog("MessageBox", InspectAndClick(confirm, "Да"_ansi));
    ErrorBox("Ошибка: нет связи"_ansi);
    InfoBox("Готово"_ansi);
    questionAnswer = QuestionBox("Остановить копирование?"_ansi);
    confirmAnswer = ConfirmBox("Операция будет прервана. Завершить?"_ansi);
    EXPECT_EQ(script.Pending(), 0u);
  }
  EXPECT_EQ(error.Title, "Ошибка"_ansi);
  EXPECT_EQ(error.Text, "Ошибка: нет связи"_ansi);
  EXPECT_EQ(error.Buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(error.Icon, QMessageBox::Critical);

  EXPECT_EQ(info.Title, "Информация"_ansi);
  EXPECT_EQ(info.Icon, QMessageBox::Information);

  EXPECT_EQ(question.Title, "Вопрос"_ansi);
  EXPECT_EQ(question.Text, "Остановить копирование?"_ansi);
  EXPECT_EQ(question.Buttons, Sorted({"Да"_ansi, "Нет"_ansi}));
  EXPECT_EQ(question.Default, "Нет"_ansi);
  EXPECT_EQ(question.Icon, QMessageBox::Question);
  EXPECT_FALSE(questionAnswer);

  EXPECT_EQ(confirm.Title, "Предупреждение"_ansi);
  EXPECT_EQ(confirm.Default, "Нет"_ansi);
  EXPECT_EQ(confirm.Icon, QMessageBox::Question);
  EXPECT_TRUE(confirmAnswer);
}

TEST(MessageBoxes, ScriptAnswersByResultAndSeesButtonsAndDefault) {
  TDialogScript script;
  script.ExpectMessageBox("Вопрос"_ansi, "Удалить?"_ansi, mrYes)
      .ExpectMessageBox("Вопрос"_ansi, "Удалить?"_ansi, mrNo);
  EXPECT_TRUE(QuestionBox("Удалить?"_ansi));
  EXPECT_FALSE(QuestionBox("Удалить?"_ansi));
  ASSERT_EQ(script.Seen().size(), 2u);
  const TModalInfo& seen = script.Seen()[0];
  EXPECT_EQ(seen.Kind, TModalKind::MessageBox);
  EXPECT_EQ(seen.Buttons, (std::vector<std::string>{"Да"_ansi, "Нет"_ansi}));
  EXPECT_EQ(seen.Results, (std::vector<TModalResult>{mrYes, mrNo}));
  EXPECT_EQ(seen.DefaultResult, mrNo);
  EXPECT_EQ(seen.Flags, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
}

TEST(MessageBoxes, FlagsChooseButtonsAndDefault) {
  TDialogScript script;
  script.ExpectMessageBox("К"_ansi, "Т"_ansi, mrCancel)
      .ExpectMessageBox("К"_ansi, "Т"_ansi, mrIgnore)
      .ExpectMessageBox("К"_ansi, "Т"_ansi, mrRetry)
      .ExpectMessageBox("К"_ansi, "Т"_ansi, mrOk);
  EXPECT_EQ(Application->MessageBox("Т"_ansi, "К"_ansi, MB_YESNOCANCEL | MB_DEFBUTTON3), mrCancel);
  EXPECT_EQ(Application->MessageBox("Т"_ansi, "К"_ansi, MB_ABORTRETRYIGNORE | MB_ICONWARNING), mrIgnore);
  EXPECT_EQ(Application->MessageBox("Т"_ansi, "К"_ansi, MB_RETRYCANCEL | MB_DEFBUTTON2), mrRetry);
  // A default beyond the buttons falls back to the first.
  EXPECT_EQ(Application->MessageBox("Т"_ansi, "К"_ansi, MB_OKCANCEL | MB_DEFBUTTON3), mrOk);
  const auto& seen = script.Seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].Buttons, (std::vector<std::string>{"Да"_ansi, "Нет"_ansi, "Отмена"_ansi}));
  EXPECT_EQ(seen[0].DefaultResult, mrCancel);
  EXPECT_EQ(seen[1].Buttons, (std::vector<std::string>{"Прервать"_ansi, "Повтор"_ansi, "Пропустить"_ansi}));
  EXPECT_EQ(seen[1].DefaultResult, mrAbort);
  EXPECT_EQ(seen[2].DefaultResult, mrCancel);
  EXPECT_EQ(seen[3].DefaultResult, mrOk);
}

TEST(MessageBoxes, TextIsPlainWithWindowsLineBreaks) {
  QString shown;
  Qt::TextFormat format = Qt::AutoText;
  TDialogScript script;
  script.ExpectDialog("MessageBox", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    shown = static_cast<QMessageBox&>(d).text();
    format = static_cast<QMessageBox&>(d).textFormat();
    return mrOk;
  });
  ErrorBox("Ошибка: <DB NAME=\"x\">\r\nвторая строка"_ansi);
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(shown, QString::fromUtf8("Ошибка: <DB NAME=\"x\">\nвторая строка"));
}

TEST(MessageBoxes, EmptyCaptionTakesTheApplicationTitle) {
  const std::string saved = Application->Title();
  Application->SetTitle("Копирование базы ГИС Орвел"_ansi);
  {
    TDialogScript script;
    script.ExpectMessageBox("Копирование базы ГИС Орвел"_ansi, "Текст"_ansi, mrOk);
    Application->MessageBox("Текст"_ansi, "", MB_OK);
  }
  Application->SetTitle(saved);
}

// The suite's main makes an unscripted dialog a failure of the running test.
TEST(DialogSeam, UnexpectedDialogFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(ErrorBox("Неожиданно"_ansi), "unexpected message box");
  EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(QuestionBox("Неожиданно?"_ansi)), "Неожиданно?");
}

TEST(DialogSeam, ScriptReportsSurplusMismatchedAndMissingDialogs) {
  uitest::CapturedDialogFailures failures;
  {
    TDialogScript script;
    script.ExpectMessageBox("Ошибка"_ansi, "Первая"_ansi, mrOk)
        .ExpectMessageBox("Вопрос"_ansi, "Другой текст"_ansi, mrYes)
        .ExpectMessageBox("Вопрос"_ansi, "Третий"_ansi, mrOk)
        .ExpectDialog("TNeverShown", [](const TModalInfo&, QDialog&) { return std::optional<TModalResult>(); });
    ErrorBox("Первая"_ansi);
    EXPECT_TRUE(failures.Messages().empty());
    // A mismatch is answered neutrally: No for a Yes/No box.
    EXPECT_FALSE(QuestionBox("Вопрос не тот"_ansi));
    ASSERT_EQ(failures.Messages().size(), 1u);
    EXPECT_NE(failures.Messages()[0].find("Вопрос не тот"), std::string::npos);
    // An answer that is no button of the box.
    EXPECT_FALSE(QuestionBox("Третий"_ansi));
    ASSERT_EQ(failures.Messages().size(), 2u);
    EXPECT_NE(failures.Messages()[1].find("is no button"), std::string::npos);
  }
  ASSERT_EQ(failures.Messages().size(), 3u);
  EXPECT_NE(failures.Messages()[2].find("TNeverShown"), std::string::npos);
  EXPECT_NE(failures.Messages()[2].find("never appeared"), std::string::npos);
}

TEST(DialogSeam, ScriptRestoresThePreviousHook) {
  uitest::CapturedDialogFailures failures;
  {
    TDialogScript outer;
    outer.ExpectMessageBox("Информация"_ansi, "Внешний"_ansi, mrOk);
    {
      TDialogScript inner;
      inner.ExpectMessageBox("Информация"_ansi, "Внутренний"_ansi, mrOk);
      InfoBox("Внутренний"_ansi);
    }
    InfoBox("Внешний"_ansi);
  }
  EXPECT_TRUE(failures.Messages().empty());
}

TEST(DialogSeam, ExecModalRunsAnyDialogThroughTheHook) {
  QDialog dialog;
  auto* ok = new QPushButton(QStringLiteral("&OK"), &dialog);
  QObject::connect(ok, &QPushButton::clicked, &dialog, [&] { dialog.done(mrOk); });
  new QPushButton(ToQString("Отмена"_ansi), &dialog);
  dialog.setWindowTitle(ToQString("Настройка"_ansi));
  const TModalInfo info = FormInfo("TTestForm", dialog);
  EXPECT_EQ(info.Kind, TModalKind::Form);
  EXPECT_EQ(info.Buttons, (std::vector<std::string>{"OK", "Отмена"_ansi}));

  TDialogScript script;
  bool wasVisible = false;
  script.ExpectDialog("TTestForm", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    wasVisible = d.isVisible();
    ClickButton(d, "OK");  // the accelerator mark does not count
    return std::nullopt;
  }, "Настройка"_ansi);
  script.ExpectDialog("TTestForm", [](const TModalInfo&, QDialog&) { return std::optional<TModalResult>(mrAbort); });
  EXPECT_EQ(ExecModal(dialog, info), mrOk);
  EXPECT_TRUE(wasVisible);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(ShowModal(dialog, "TTestForm"), mrAbort);
  EXPECT_FALSE(dialog.isVisible());
}

TEST(DialogSeam, DialogLeftOpenOrMissingButtonIsReported) {
  uitest::CapturedDialogFailures failures;
  QDialog dialog;
  TModalInfo info;
  info.Id = "TTestForm";
  TDialogScript script;
  script.ExpectDialogClick("TTestForm", "Нет такой"_ansi);
  EXPECT_EQ(ExecModal(dialog, info), mrCancel);
  ASSERT_EQ(failures.Messages().size(), 2u);
  EXPECT_NE(failures.Messages()[0].find("no enabled button \"Нет такой\""), std::string::npos);
  EXPECT_NE(failures.Messages()[1].find("left open"), std::string::npos);
  EXPECT_FALSE(dialog.isVisible());
}

TEST(UiText, ConvertsBetweenWindows1251AndQString) {
  const std::string ansi = "Подождите... №5 «ё»"_ansi;
  const QString q = ToQString(ansi);
  EXPECT_EQ(q, QString::fromUtf8("Подождите... №5 «ё»"));
  EXPECT_EQ(FromQString(q), ansi);
  EXPECT_THROW(FromQString(QString::fromUtf8("日本")), EConvertError);
  EXPECT_EQ(FromQStringLossy(QString::fromUtf8("a日b")), "a?b");
  EXPECT_TRUE(ToQString("").isEmpty());
}

TEST(MessageBoxes, OwnModalLoopGivesTheButtonClicked) {
  uitest::RealModalLoops real;
  std::string title;
  uitest::WhenModal([&](QWidget& w) {
    title = FromQString(w.windowTitle());
    ClickButton(w, "Да"_ansi);
  });
  EXPECT_TRUE(QuestionBox("Продолжить?"_ansi));
  EXPECT_EQ(title, "Вопрос"_ansi);

  // Escape answers No, the safe answer of a question.
  uitest::WhenModal([](QWidget& w) { static_cast<QDialog&>(w).reject(); });
  EXPECT_FALSE(QuestionBox("Продолжить?"_ansi));
  uitest::WhenModal([](QWidget& w) { ClickButton(w, "Отмена"_ansi); });
  EXPECT_EQ(Application->MessageBox("Т"_ansi, "К"_ansi, MB_YESNOCANCEL), mrCancel);
}
