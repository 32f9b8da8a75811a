#include "copier/FormConvertList.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "copier/ConvertObj.h"
#include "copier/ReplaceForm.h"
#include "foundation/XListView.h"
#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/copier/ConvertDialogsTestKeys.h"
#include "tests/ui/UiTestSupport.h"

using convtest::Enter;
using convtest::Key;
using convtest::Type;

namespace {

using Action = TDialogScript::TAction;
using Names = std::vector<std::string>;

// The three groups the semantic copy hands over: converted name = source name.
struct Groups {
  TStringList Tables, Fields, Indexes;
  TConvert TableConvert, FieldConvert, IndexConvert;

  std::vector<TConvertListData> Data() {
    return {{"Таблицы"_ansi, &Tables, &TableConvert},
            {"Поля"_ansi, &Fields, &FieldConvert},
            {"Индексы"_ansi, &Indexes, &IndexConvert}};
  }
};

void Fill(TStrings& list, const Names& lines) {
  list.Clear();
  for (const auto& line : lines) list.Add(line);
}

Names Column(const TConvertList& form, int column) {
  Names texts;
  for (int i = 0; i < form.ListView->topLevelItemCount(); ++i)
    texts.push_back(FromQString(form.ListView->topLevelItem(i)->text(column)));
  return texts;
}

Names Values(const TStrings& list) {
  Names values;
  for (int i = 0; i < list.Count(); ++i) values.push_back(list.ValueFromIndex(i));
  return values;
}

// Makes the row with this caption the selected and focused item of the list.
QTreeWidgetItem* Pick(TConvertList& form, const std::string& caption) {
  for (int i = 0; i < form.ListView->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = form.ListView->topLevelItem(i);
    if (FromQString(item->text(0)) == caption) {
      form.ListView->setCurrentItem(item);
      return item;
    }
  }
  ADD_FAILURE() << "no row " << AnsiToUtf8(caption);
  return nullptr;
}

// The open in-place editor; a closed one is only hidden until the event loop deletes it.
QLineEdit* Editor(TConvertList& form) {
  for (QLineEdit* editor : form.ListView->viewport()->findChildren<QLineEdit*>())
    if (editor->isVisible()) return editor;
  return nullptr;
}

// Renames the picked row in place: the key starts editing, the new text is typed over the old one
// and Enter submits it.
void Rename(TConvertList& form, const std::string& from, const std::string& to, int startKey = Qt::Key_F4) {
  if (!Pick(form, from)) return;
  Key(form.ListView, startKey);
  QLineEdit* editor = Editor(form);
  ASSERT_NE(editor, nullptr) << "no in-place editor";
  EXPECT_EQ(FromQString(editor->text()), from);
  editor->selectAll();
  Key(editor, Qt::Key_Delete);
  Type(editor, to);
  Enter(editor);
  QApplication::processEvents();  // the editor submits after it has handled the key
  EXPECT_EQ(Editor(form), nullptr) << "the editor stays open";
}

Action OnList(std::function<void(TConvertList&)> act) {
  return [act](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    act(static_cast<TConvertList&>(d));
    return std::nullopt;
  };
}

// Answers the replace dialog with a pattern, a replacement and the scope.
Action Replace(const std::string& pattern, const std::string& replacement, bool everywhere,
               std::string* offered = nullptr) {
  return [=](const TModalInfo& info, QDialog& d) -> std::optional<TModalResult> {
    auto& form = static_cast<TEditReplace&>(d);
    EXPECT_EQ(info.Caption, "Найти и заменить"_ansi);
    if (offered) *offered = FromQString(form.FindText->currentText());
    form.FindText->setEditText(ToQString(pattern));
    form.ReplaceText->setEditText(ToQString(replacement));
    form.Scope->setChecked(everywhere);
    ClickButton(d, "Заменить"_ansi);
    return std::nullopt;
  };
}

}  // namespace

TEST(ConvertList, NoWindowWithoutAnEnabledGroupThatHasNames) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi});
  for (TConvert* c : {&g.TableConvert, &g.FieldConvert, &g.IndexConvert}) c->Enabled = false;
  EXPECT_FALSE(ShowConvertList(g.Data()));  // the strict hook fails the test on any window
  g.Tables.Clear();
  for (TConvert* c : {&g.TableConvert, &g.FieldConvert, &g.IndexConvert}) c->Enabled = true;
  EXPECT_FALSE(ShowConvertList(g.Data()));
  EXPECT_FALSE(ShowConvertList({}));

  std::vector<TConvertListData> broken = g.Data();
  broken[1].Convert = nullptr;
  EXPECT_THROW(ShowConvertList(broken), Exception);
  Fill(g.Fields, {"KOD=KOD", "no value"});
  EXPECT_THROW(ShowConvertList(g.Data()), Exception);
  EXPECT_EQ(g.Fields.Strings(1), "no value");
}

TEST(ConvertList, ShowsTheEnabledGroupsAndHidesUnchangedNames) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi, "ROADS=ROADS", "obekt=объект"_ansi});
  g.IndexConvert.Enabled = false;
  Fill(g.Indexes, {"Dom_2_I0=Dom_2_I0"});
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    ASSERT_EQ(f.TreeView->topLevelItemCount(), 2);
    EXPECT_EQ(FromQString(f.TreeView->topLevelItem(0)->text(0)), "Таблицы"_ansi);
    EXPECT_EQ(FromQString(f.TreeView->topLevelItem(1)->text(0)), "Поля"_ansi);
    EXPECT_EQ(f.TreeView->currentItem(), f.TreeView->topLevelItem(0));
    EXPECT_EQ(f.CurrentGroup, 0);
    // Values are the new names from the start; the source names are kept aside.
    EXPECT_EQ(Values(g.Tables), (Names{"Dom_2", "ROADS", "obekt"}));
    EXPECT_TRUE(f.HideUnChanged->isChecked());
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "obekt"}));
    EXPECT_EQ(Column(f, 1), (Names{"Дом 2"_ansi, "объект"_ansi}));

    f.HideUnChanged->click();
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "ROADS", "obekt"}));
    EXPECT_EQ(Column(f, 1), (Names{"Дом 2"_ansi, "ROADS", "объект"_ansi}));
    Pick(f, "obekt");
    EXPECT_FALSE(convtest::Screenshot(f, "convdialogs-list").empty());

    f.TreeView->setCurrentItem(f.TreeView->topLevelItem(1));
    EXPECT_EQ(f.CurrentGroup, 1);
    EXPECT_EQ(f.ListView->topLevelItemCount(), 0);
    // Nothing to edit or replace in an empty group: any dialog would fail the test.
    Key(f.ListView, Qt::Key_F4);
    Key(f.ListView, Qt::Key_R, Qt::ControlModifier);
    Key(f.ListView, Qt::Key_Return);
    EXPECT_EQ(Editor(f), nullptr);
    ClickButton(f, "Ok");
  }));
  EXPECT_TRUE(ShowConvertList(g.Data()));
  EXPECT_EQ(Values(g.Indexes), (Names{"Dom_2_I0"})) << "a disabled group is not touched";
}

TEST(ConvertList, RenamesInPlaceOnlyToUniqueValidNames) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi, "ROADS=Дороги"_ansi, "obekt=объект"_ansi, "rselect=select"});
  Fill(g.Fields, {"Nazvanie=Название"_ansi});
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    Rename(f, "obekt", "obyekt");
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "ROADS", "obyekt", "rselect"}));
    // Another entry's name in another letter case.
    Rename(f, "obyekt", "dom_2");
    // A rule of the converter.
    Rename(f, "obyekt", "select", Qt::Key_Return);
    Rename(f, "obyekt", "Объект"_ansi, Qt::Key_Return);
    Rename(f, "obyekt", "");
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "ROADS", "obyekt", "rselect"}));
    // A change of letter case only is taken as it is.
    Rename(f, "ROADS", "roads");
    // Names of different groups never clash.
    f.TreeView->setCurrentItem(f.TreeView->topLevelItem(1));
    Rename(f, "Nazvanie", "Dom_2");
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2"}));
    ClickButton(f, "Ok");
  }));
  script.ExpectMessageBox("Ошибка"_ansi, "Имя dom_2 дублируется"_ansi, IDOK)
      .ExpectMessageBox("Ошибка"_ansi, "Ошибка, зарезервированое слово \"select\""_ansi, IDOK)
      .ExpectMessageBox("Ошибка"_ansi,
                        "Ошибка, идентификатор \"Объект\" содержит недопустимый символ: \"О\""_ansi, IDOK)
      .ExpectMessageBox("Ошибка"_ansi, "Ошибка, не задан идентификатор"_ansi, IDOK);
  ASSERT_TRUE(ShowConvertList(g.Data()));
  EXPECT_EQ(g.Tables.Values("obekt"), "obyekt");
  EXPECT_EQ(g.Tables.Values("ROADS"), "roads");
  EXPECT_EQ(g.Tables.Values("Dom_2"), "Dom_2");
  EXPECT_EQ(g.Fields.Values("Nazvanie"), "Dom_2");
}

TEST(ConvertList, SetConvertNameSilentlyRefusesWithoutABox) {
  Groups g;
  Fill(g.Tables, {"a=А"_ansi, "b=Б"_ansi});
  TConvertList form;
  std::vector<TConvertListData> data = g.Data();
  data.resize(1);
  form.Groups = data;
  TStringList& list = g.Tables;
  Fill(list, {"a=a", "b=b"});
  EXPECT_FALSE(form.SetConvertName(data[0], 1, "A", true));
  EXPECT_FALSE(form.SetConvertName(data[0], 1, "", true));
  g.TableConvert.MaxLength = 10;
  EXPECT_FALSE(form.SetConvertName(data[0], 1, "abcdefghijk", true));
  EXPECT_TRUE(form.SetConvertName(data[0], 1, "abcdefghij", true));
  EXPECT_TRUE(form.SetConvertName(data[0], 0, "A", true)) << "its own name in another case";
  EXPECT_EQ(Values(list), (Names{"A", "abcdefghij"}));
}

TEST(ConvertList, UndoReturnsToTheConvertedName) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi, "obekt=объект"_ansi});
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    Pick(f, "obekt");
    f.PopupMenuPopup();
    EXPECT_TRUE(f.mnuEdit->isEnabled());
    EXPECT_FALSE(f.mnuUndo->isEnabled()) << "nothing to undo yet";
    Key(f.ListView, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "obekt"}));

    Rename(f, "obekt", "obyekt");
    Pick(f, "obyekt");
    f.PopupMenuPopup();
    EXPECT_TRUE(f.mnuUndo->isEnabled());
    f.mnuUndo->trigger();  // chosen from the popup menu
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "obekt"}));
    EXPECT_EQ(g.Tables.Values("obekt"), "obekt");

    // The converted name has been taken by another entry meanwhile: undo is refused.
    Rename(f, "obekt", "obyekt");
    Rename(f, "Dom_2", "obekt");
    Pick(f, "obyekt");
    Key(f.ListView, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Column(f, 0), (Names{"obekt", "obyekt"}));
    ClickButton(f, "Ok");
  }));
  script.ExpectMessageBox("Ошибка"_ansi, "Имя obekt дублируется"_ansi, IDOK);
  EXPECT_TRUE(ShowConvertList(g.Data()));
}

TEST(ConvertList, ReplacesByPatternInTheGroupOrEverywhere) {
  Groups g;
  Fill(g.Tables, {"a_old=А стар"_ansi, "b_old=Б стар"_ansi, "c_new=В нов"_ansi, "c_old=В стар"_ansi,
                  "d_old=d_old"});
  Fill(g.Fields, {"x_old=Х стар"_ansi});
  Fill(g.Indexes, {"y_old=y_old"});
  std::string offered;
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    Pick(f, "b_old");
    Key(f.ListView, Qt::Key_R, Qt::ControlModifier);
    // Three visible names end in _old (d_old is unchanged and hidden); c_new exists already.
    EXPECT_EQ(Column(f, 0), (Names{"a_new", "b_new", "c_new", "c_old"}));
    Key(f.ListView, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(Column(f, 0), (Names{"a_new", "b_new", "c_new", "c_old"}));
    ClickButton(f, "Ok");
  }));
  script.ExpectDialog("TEditReplace", Replace("*_old", "_new", false, &offered))
      .ExpectMessageBox("Информация"_ansi, "Заменено 2 из 3 найденных"_ansi, IDOK)
      .ExpectDialog("TEditReplace", Replace("*_old", "_new", true))
      .ExpectMessageBox("Информация"_ansi, "Заменено 1 из 2 найденных"_ansi, IDOK);
  ASSERT_TRUE(ShowConvertList(g.Data()));
  EXPECT_EQ(offered, "b_old") << "the find text starts as the focused name";
  EXPECT_EQ(Values(g.Tables), (Names{"a_new", "b_new", "c_new", "c_old", "d_old"}));
  EXPECT_EQ(Values(g.Fields), (Names{"x_new"}));
  EXPECT_EQ(Values(g.Indexes), (Names{"y_old"})) << "unchanged names are hidden in every group";
}

TEST(ConvertList, CancelledReplaceChangesNothing) {
  Groups g;
  Fill(g.Tables, {"a_old=А стар"_ansi});
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    Pick(f, "a_old");
    Key(f.ListView, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(Column(f, 0), (Names{"a_old"}));
    ClickButton(f, "Ok");
  }));
  script.ExpectDialogClick("TEditReplace", "Отмена"_ansi);
  ASSERT_TRUE(ShowConvertList(g.Data()));
}

TEST(ConvertList, ClosingWithoutOkAsksFirst) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi});
  bool openAfterEscape = false, openAfterCloseBox = false;
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    Rename(f, "Dom_2", "Dom_3");
    Key(&f, Qt::Key_Escape);  // the window has no cancel key: nothing is asked
    openAfterEscape = f.isVisible();
    f.close();
    openAfterCloseBox = f.isVisible();
    ClickButton(f, "Отмена"_ansi);
  }));
  const std::string question = "Хотите выйти без сохранения изменений?"_ansi;
  script.ExpectMessageBox("Вопрос"_ansi, question, IDNO).ExpectMessageBox("Вопрос"_ansi, question, IDYES);
  EXPECT_FALSE(ShowConvertList(g.Data()));
  EXPECT_TRUE(openAfterEscape);
  EXPECT_TRUE(openAfterCloseBox);
  ASSERT_EQ(script.Seen().size(), 3u);
  EXPECT_EQ(script.Seen()[1].DefaultResult, IDNO);
}

TEST(ConvertList, EnteringTheListSelectsAndFocusesTheFirstName) {
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi, "obekt=объект"_ansi});
  TDialogScript script;
  script.ExpectDialog("TConvertList", OnList([&](TConvertList& f) {
    f.ListView->setCurrentItem(nullptr);
    f.ListView->clearSelection();
    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(f.ListView, &in);
    ASSERT_NE(f.ListView->currentItem(), nullptr);
    EXPECT_EQ(f.ListView->currentItem(), f.ListView->topLevelItem(0));
    EXPECT_TRUE(f.ListView->topLevelItem(0)->isSelected());
    // Enter in the list starts editing the selected name and is never taken for OK.
    Key(f.ListView, Qt::Key_Return);
    ASSERT_NE(Editor(f), nullptr);
    EXPECT_TRUE(f.isVisible());
    Key(Editor(f), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_EQ(Editor(f), nullptr);
    EXPECT_TRUE(f.isVisible()) << "Escape in the editor only ends the edit";
    f.PopupMenuPopup();
    EXPECT_FALSE(f.mnuUndo->isEnabled());
    ClickButton(f, "Ok");
  }));
  EXPECT_TRUE(ShowConvertList(g.Data()));
  EXPECT_EQ(Values(g.Tables), (Names{"Dom_2", "obekt"}));
}

TEST(ConvertList, RefusedRenameUnderRealModalLoops) {
  // The error box takes the focus from the closing editor while it runs its own loop; the refused
  // name must be reported once and the list must keep the old one.
  Groups g;
  Fill(g.Tables, {"Dom_2=Дом 2"_ansi, "obekt=объект"_ansi});
  uitest::RealModalLoops real;
  int boxes = 0;
  std::string boxText;
  uitest::WhenModal([&](QWidget& window) {
    auto& f = static_cast<TConvertList&>(window);
    uitest::WhenModal([&](QWidget& box) {
      ++boxes;
      boxText = FromQString(box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text());
      ClickButton(box, "OK");
    });
    Rename(f, "obekt", "DOM_2");
    EXPECT_EQ(Column(f, 0), (Names{"Dom_2", "obekt"}));
    ClickButton(f, "Ok");
  });
  EXPECT_TRUE(ShowConvertList(g.Data()));
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(boxText, "Имя DOM_2 дублируется"_ansi);
  EXPECT_EQ(Values(g.Tables), (Names{"Dom_2", "obekt"}));
}
