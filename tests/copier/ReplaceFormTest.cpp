#include "copier/ReplaceForm.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/copier/ConvertDialogsTestKeys.h"

using convtest::Enter;
using convtest::Key;
using convtest::Type;

namespace {

std::string Replaced(const std::string& pattern, const std::string& replacement, std::string name,
                     bool expectMatch = true) {
  EXPECT_EQ(ReplaceByPattern(pattern, replacement, name), expectMatch) << pattern << " on " << name;
  return name;
}

std::vector<std::string> History(const QComboBox& combo) {
  std::vector<std::string> items;
  for (int i = 0; i < combo.count(); ++i) items.push_back(FromQString(combo.itemText(i)));
  return items;
}

// Each test starts without a replace dialog, so histories and the scope box start empty.
class ReplaceDialog : public ::testing::Test {
 protected:
  void SetUp() override { delete EditReplace; }
  void TearDown() override { delete EditReplace; }
};

using Action = TDialogScript::TAction;

// Types the two texts into the focused boxes, as a user would, and confirms with Enter.
Action TypeAndEnter(const std::string& find, const std::string& replacement) {
  return [=](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    QWidget* focused = form.focusWidget();
    EXPECT_TRUE(focused == form.FindText || focused == form.FindText->lineEdit());
    form.FindText->lineEdit()->clear();
    Type(form.FindText, find);
    form.ReplaceText->lineEdit()->clear();
    Type(form.ReplaceText, replacement);
    Enter(form.FindText);
    return std::nullopt;
  };
}

}  // namespace

TEST(ReplaceByPattern, TheFourKindsOfPattern) {
  // inside: the first occurrence only
  EXPECT_EQ(Replaced("*_old*", "_new", "a_old_b_old"), "a_new_b_old");
  EXPECT_EQ(Replaced("*o*", "0", "roads"), "r0ads");
  Replaced("*x*", "y", "roads", false);
  // suffix
  EXPECT_EQ(Replaced("*_1", "", "roads_1"), "roads");
  Replaced("*_1", "", "roads_10", false);
  Replaced("*roads_1", "", "_1", false);  // longer than the name
  // prefix, letter case counts
  EXPECT_EQ(Replaced("tbl*", "t_", "tblRoads"), "t_Roads");
  EXPECT_EQ(Replaced("tbl*", "t_", "TBLRoads", false), "TBLRoads");
  Replaced("tblRoadsX*", "", "tblRoads", false);
  // whole name
  EXPECT_EQ(Replaced("roads", "streets", "roads"), "streets");
  EXPECT_EQ(Replaced("roads", "streets", "roads2", false), "roads2");
  EXPECT_EQ(Replaced("roads", "", "roads"), "");
}

TEST(ReplaceByPattern, StarsThatMatchNothingAndStarsInside) {
  for (const char* name : {"", "a", "*", "**", "roads"}) {
    Replaced("*", "x", name, false);
    Replaced("**", "x", name, false);
    Replaced("", "x", name, false);
  }
  EXPECT_EQ(Replaced("a*b", "c", "a*b"), "c");
  Replaced("a*b", "c", "axb", false);
  Replaced("a*b", "c", "a*bb", false);
  EXPECT_EQ(Replaced("***", "-", "a*b"), "a-b");  // "*" between the stars is searched for
}

TEST(ReplaceAt, ReplacesARunAndRefusesPositionsOutsideTheText) {
  EXPECT_EQ(ReplaceAt("abcdef", "XY", 2, 3), "aXYef");
  EXPECT_EQ(ReplaceAt("abc", "", 1, 3), "");
  EXPECT_EQ(ReplaceAt("abc", "d", 4, 0), "abcd");
  EXPECT_EQ(ReplaceAt("abc", "Z", 3, 10), "abZ");
  EXPECT_EQ(ReplaceAt("", "new", 1, 0), "new");
  EXPECT_THROW(ReplaceAt("abc", "x", 0, 1), Exception);
  EXPECT_THROW(ReplaceAt("abc", "x", 5, 0), Exception);
  EXPECT_THROW(ReplaceAt("abc", "x", 1, -1), Exception);
}

TEST_F(ReplaceDialog, TextsComeBackTrimmedWhileTheHistoryKeepsThemAsTyped) {
  TDialogScript script;
  script.ExpectDialog("TEditReplace", TypeAndEnter("  *a* ", " b "), "Найти и заменить"_ansi);
  std::string find = "start", replacement = "";
  bool scope = true;
  ASSERT_TRUE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  EXPECT_EQ(find, "*a*");
  EXPECT_EQ(replacement, "b");
  EXPECT_FALSE(scope);
  ASSERT_NE(EditReplace, nullptr);
  EXPECT_EQ(History(*EditReplace->FindText), std::vector<std::string>{"  *a* "});
  EXPECT_EQ(History(*EditReplace->ReplaceText), std::vector<std::string>{" b "});
  EXPECT_FALSE(EditReplace->isVisible());
}

TEST_F(ReplaceDialog, ShowsTheCallersCaptionAndTextsAndKeepsTheScope) {
  TDialogScript script;
  script.ExpectDialog("TEditReplace", [](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    EXPECT_EQ(info.Caption, "Заменить имена"_ansi);
    EXPECT_EQ(FromQString(form.FindText->currentText()), "roads_old");
    EXPECT_EQ(FromQString(form.ReplaceText->currentText()), "_new");
    EXPECT_FALSE(convtest::Screenshot(d, "convdialogs-replace").empty());
    EXPECT_FALSE(form.Scope->isChecked());
    form.Scope->click();
    ClickButton(d, "Заменить"_ansi);
    return std::nullopt;
  });
  script.ExpectDialog("TEditReplace", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    EXPECT_TRUE(static_cast<TEditReplace&>(d).Scope->isChecked()) << "the box keeps its last state";
    ClickButton(d, "Заменить"_ansi);
    return std::nullopt;
  });
  std::string find = "roads_old", replacement = "_new";
  bool scope = false;
  ASSERT_TRUE(ExecuteReplaceDialog("Заменить имена"_ansi, find, replacement, scope));
  EXPECT_TRUE(scope);
  scope = false;
  ASSERT_TRUE(ExecuteReplaceDialog("Заменить имена"_ansi, find, replacement, scope));
  EXPECT_TRUE(scope);
}

TEST_F(ReplaceDialog, CancelAndEscapeChangeNothing) {
  TDialogScript script;
  script.ExpectDialog("TEditReplace", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    Type(form.FindText, "zzz");
    form.Scope->click();
    ClickButton(d, "Отмена"_ansi);
    return std::nullopt;
  });
  script.ExpectDialog("TEditReplace", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    Type(form.ReplaceText, "yyy");
    Key(form.ReplaceText, Qt::Key_Escape);
    return std::nullopt;
  });
  std::string find = "a", replacement = "b";
  bool scope = false;
  EXPECT_FALSE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  EXPECT_FALSE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  EXPECT_EQ(find, "a");
  EXPECT_EQ(replacement, "b");
  EXPECT_FALSE(scope);
  EXPECT_EQ(EditReplace->FindText->count(), 0);
  EXPECT_EQ(EditReplace->ReplaceText->count(), 0);
}

TEST_F(ReplaceDialog, RepeatedTextsMoveToTheTopOfTheHistory) {
  TDialogScript script;
  script.ExpectDialog("TEditReplace", TypeAndEnter("*_old", "_new"))
      .ExpectDialog("TEditReplace", TypeAndEnter("tbl*", "t_"))
      .ExpectDialog("TEditReplace", TypeAndEnter("*_old", "t_"));
  std::string find, replacement;
  bool scope = false;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  EXPECT_EQ(History(*EditReplace->FindText), (std::vector<std::string>{"*_old", "tbl*"}));
  EXPECT_EQ(History(*EditReplace->ReplaceText), (std::vector<std::string>{"t_", "_new"}));
  EXPECT_EQ(find, "*_old");
  EXPECT_EQ(replacement, "t_");
}

TEST_F(ReplaceDialog, EnterInADroppedDownHistoryPicksTheEntryWithoutClosing) {
  TDialogScript script;
  script.ExpectDialog("TEditReplace", TypeAndEnter("first*", "one"))
      .ExpectDialog("TEditReplace", TypeAndEnter("second*", "two"));
  std::string find, replacement;
  bool scope = false;
  ASSERT_TRUE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  ASSERT_TRUE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));

  bool openAfterEnter = false;
  std::string picked;
  script.ExpectDialog("TEditReplace", [&](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    form.FindText->showPopup();
    QAbstractItemView* list = form.FindText->view();
    EXPECT_TRUE(list->isVisible());
    EXPECT_FALSE(form.FormKeyDown(Qt::Key_Return)) << "Enter belongs to the open list";
    list->setCurrentIndex(form.FindText->model()->index(1, 0));  // the older entry
    Enter(list);
    QApplication::processEvents();
    openAfterEnter = d.isVisible();
    picked = FromQString(form.FindText->currentText());
    Enter(form.FindText);  // the list is closed now: Enter confirms
    return std::nullopt;
  });
  ASSERT_TRUE(ExecuteReplaceDialog("Найти и заменить"_ansi, find, replacement, scope));
  EXPECT_TRUE(openAfterEnter);
  EXPECT_EQ(picked, "first*");
  EXPECT_EQ(find, "first*");
}
