#include "foundation/ConfirmForms.h"

#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/ui/UiTestSupport.h"

namespace {

const std::vector<std::string>& ExistingTableButtons() {
  static const std::vector<std::string> buttons{"Удалить"_ansi, "Всегда удалять"_ansi, "Остановить процесс"_ansi};
  return buttons;
}

std::vector<QPushButton*> PanelButtons(TActionForm& form) {
  const auto list = form.pButtons->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly);
  return {list.begin(), list.end()};
}

using Action = TDialogScript::TAction;

Action Click(const std::string& caption) {
  return [caption](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    ClickButton(d, caption);
    return std::nullopt;
  };
}

}  // namespace

TEST(ChoiceDialog, ButtonLayoutFollowsTheWidestCaption) {
  const auto one = TActionForm::ButtonLayout(70, 1);
  EXPECT_EQ(one.Width, 100);
  EXPECT_EQ(one.Left, 10);
  EXPECT_EQ(one.Top, 38);
  EXPECT_EQ(one.PanelWidth, 120);
  EXPECT_EQ(one.ClientHeight, 75);
  const auto odd = TActionForm::ButtonLayout(71, 3);
  EXPECT_EQ(odd.Width, 102);
  EXPECT_EQ(odd.Left, 10);  // 10.2 rounds down
  EXPECT_EQ(odd.Step, 37);
  EXPECT_EQ(odd.ClientHeight, 149);
  EXPECT_EQ(TActionForm::ButtonLayout(120, 2).Left, 15);  // 15.0
  EXPECT_EQ(TActionForm::ButtonLayout(0, 0).ClientHeight, 38);
}

TEST(ChoiceDialog, CreateButtonsRebuildsButtonsAndSize) {
  TActionForm form;
  form.CreateButtons(ExistingTableButtons());
  const QFontMetrics metrics(form.font());
  int widest = 0;
  for (const auto& c : ExistingTableButtons()) widest = std::max(widest, metrics.horizontalAdvance(ToQString(c)));
  const auto l = TActionForm::ButtonLayout(widest, 3);
  auto buttons = PanelButtons(form);
  ASSERT_EQ(buttons.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(FromQString(buttons[i]->text()), ExistingTableButtons()[i]);
    EXPECT_EQ(buttons[i]->property("Tag").toInt(), i);
    EXPECT_EQ(buttons[i]->geometry(), QRect(l.Left, 38 + 37 * i, l.Width, 25));
  }
  EXPECT_EQ(form.size(), QSize(443, 149));
  EXPECT_EQ(form.pButtons->width(), l.PanelWidth);

  form.CreateButtons({"Остановить"_ansi});
  buttons = PanelButtons(form);
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(FromQString(buttons[0]->text()), "Остановить"_ansi);
  EXPECT_EQ(form.size(), QSize(443, 75));
}

TEST(ChoiceDialog, ReturnsTheIndexOfTheButtonClicked) {
  std::string title, text;
  TDialogScript script;
  script.ExpectDialog("TActionForm", [&](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    title = FromQString(d.windowTitle());
    text = FromQString(static_cast<TActionForm&>(d).InfoWindow->toPlainText());
    EXPECT_EQ(info.Buttons.size(), 3u);
    ClickButton(d, "Игнорировать всё"_ansi);
    return std::nullopt;
  });
  const int chosen = ChooseActionNoConfirm("Предупреждение (таблица T)"_ansi, "Строка не скопирована"_ansi,
                                           {"Игнорировать"_ansi, "Игнорировать всё"_ansi, "Остановить"_ansi});
  EXPECT_EQ(chosen, 1);
  EXPECT_EQ(title, "Предупреждение (таблица T)"_ansi);
  EXPECT_EQ(text, "Строка не скопирована"_ansi);
  ASSERT_NE(ActionForm, nullptr);
  EXPECT_FALSE(ActionForm->isVisible());
}

TEST(ChoiceDialog, OneDialogServesEveryQuestion) {
  TDialogScript script;
  script.ExpectDialog("TActionForm", Click("Да"_ansi)).ExpectDialog("TActionForm", Click("Б"_ansi));
  EXPECT_EQ(ChooseActionNoConfirm("1", "", {"Да"_ansi, "Нет"_ansi}), 0);
  TActionForm* first = ActionForm;
  EXPECT_EQ(ChooseActionNoConfirm("2", "", {"А"_ansi, "Б"_ansi, "В"_ansi, "Г"_ansi}), 1);
  EXPECT_EQ(ActionForm, first);
  const auto& forms = Application->Forms();
  EXPECT_NE(std::find(forms.begin(), forms.end(), first), forms.end());
}

TEST(ChoiceDialog, ClosingOrEscapeAnswersWithTheLastButton) {
  TDialogScript script;
  script.ExpectDialog("TActionForm", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    d.close();
    return std::nullopt;
  });
  script.ExpectDialog("TActionForm", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&d, &escape);
    return std::nullopt;
  });
  EXPECT_EQ(ChooseActionNoConfirm("К"_ansi, "Т"_ansi, ExistingTableButtons()), 2);
  EXPECT_EQ(ChooseActionNoConfirm("К"_ansi, "Т"_ansi, ExistingTableButtons()), 2);
}

TEST(ChoiceDialog, ConfirmationYesChoosesTheButton) {
  const std::vector<std::string> confirms{"Удалить таблицу?"_ansi, "", ""};
  TDialogScript script;
  script.ExpectDialog("TActionForm", Click("Удалить"_ansi))
      .ExpectMessageBox("Предупреждение"_ansi, "Удалить таблицу?"_ansi, mrYes);
  EXPECT_EQ(ChooseAction("Ошибка"_ansi, "Таблица T уже существует."_ansi, ExistingTableButtons(), confirms), 0);
  ASSERT_EQ(script.Seen().size(), 2u);
  EXPECT_EQ(script.Seen()[1].Flags, MB_YESNO | MB_ICONWARNING);
  EXPECT_EQ(script.Seen()[1].DefaultResult, mrYes);
}

TEST(ChoiceDialog, ConfirmationNoKeepsTheDialogOpenAndFallsBackToTheLastButton) {
  const std::vector<std::string> confirms{"Удалить таблицу?"_ansi, "Удалять все таблицы?"_ansi, ""};
  bool openAfterNo = false;
  int chosenAfterNo = -1;
  TDialogScript script;
  script.ExpectDialog("TActionForm", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    ClickButton(d, "Удалить"_ansi);
    openAfterNo = d.isVisible();
    chosenAfterNo = static_cast<TActionForm&>(d).ChosenIndex;
    d.close();
    return std::nullopt;
  });
  script.ExpectMessageBox("Предупреждение"_ansi, "Удалить таблицу?"_ansi, mrNo);
  EXPECT_EQ(ChooseAction("Ошибка"_ansi, "Таблица T уже существует."_ansi, ExistingTableButtons(), confirms), 2);
  EXPECT_TRUE(openAfterNo);
  EXPECT_EQ(chosenAfterNo, 2);

  // A second choice after a refused confirmation counts.
  script.ExpectDialog("TActionForm", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    ClickButton(d, "Всегда удалять"_ansi);
    ClickButton(d, "Всегда удалять"_ansi);
    return std::nullopt;
  });
  script.ExpectMessageBox("Предупреждение"_ansi, "Удалять все таблицы?"_ansi, mrNo)
      .ExpectMessageBox("Предупреждение"_ansi, "Удалять все таблицы?"_ansi, mrYes);
  EXPECT_EQ(ChooseAction("Ошибка"_ansi, "Т"_ansi, ExistingTableButtons(), confirms), 1);
}

TEST(ChoiceDialog, OwnModalLoopWithANestedConfirmation) {
  uitest::RealModalLoops real;
  std::string confirmCaption;
  uitest::WhenModal([&](QWidget& form) {
    uitest::WhenModal([&](QWidget& box) {
      confirmCaption = FromQString(box.windowTitle());
      ClickButton(box, "Да"_ansi);
    });
    ClickButton(form, "Всегда удалять"_ansi);
  });
  EXPECT_EQ(ChooseAction("Ошибка"_ansi, "Т"_ansi, ExistingTableButtons(), {"", "Удалять все таблицы?"_ansi, ""}), 1);
  EXPECT_EQ(confirmCaption, "Предупреждение"_ansi);
}

TEST(ChoiceDialog, ConfirmationsMustMatchTheButtons) {
  EXPECT_THROW(ChooseAction("К", "Т", {"А", "Б"}, {""}), Exception);
}

TEST(ChoiceDialog, Screenshot) {
  TDialogScript script;
  script.ExpectDialog("TActionForm", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    const auto path = std::filesystem::temp_directory_path() / "choice-dialog.png";
    EXPECT_TRUE(d.grab().save(QString::fromStdString(path.string())));
    d.close();
    return std::nullopt;
  });
  ChooseActionNoConfirm("Ошибка (таблица ORVEL_MAPS)"_ansi,
                        "Ошибка может привести к нарушению в работе Гис\r\nНарушение ключа"_ansi,
                        {"Игнорировать"_ansi, "Игнорировать всё"_ansi, "Остановить"_ansi});
}
