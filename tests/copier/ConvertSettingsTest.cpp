#include "copier/ConvertSettings.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QPushButton>
#include <gtest/gtest.h>

#include "copier/ConvertObj.h"
#include "foundation/GraphicComponents.h"
#include "platform/rtl/AnsiText.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"
#include "tests/copier/ConvertDialogsTestKeys.h"

using convtest::Enter;
using convtest::Type;

namespace {

using Action = TDialogScript::TAction;

// The semantic copy's three converters as the wizard leaves them before the dialog.
struct Converters {
  TConvert Table, Field, Index;
  Converters(bool enabled, int32_t table, int32_t field, int32_t index) {
    for (TConvert* c : {&Table, &Field, &Index}) c->Enabled = enabled;
    Table.MaxLength = table;
    Field.MaxLength = field;
    Index.MaxLength = index;
  }
  bool Execute() { return ExecuteConvertOptions(Table, Field, Index); }
};

// Replaces the edit's text by typing, as a user would after selecting all of it.
void Retype(TFloatEdit* edit, const std::string& text) {
  edit->selectAll();
  Type(edit, text);
}

void Leave(QWidget* widget) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(widget, &out);
}

Action Act(std::function<void(TEditConvertOptions&)> act) {
  return [act](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    act(static_cast<TEditConvertOptions&>(d));
    return std::nullopt;
  };
}

}  // namespace

TEST(ConvertSettings, OpensWithTheConvertersStateAndOkWithoutChangesKeepsIt) {
  Converters c(false, 27, 31, 600);
  TDialogScript script;
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    for (QCheckBox* box : {f.ConvertTableNames, f.ConvertFieldNames, f.ConvertIndexNames})
      EXPECT_FALSE(box->isChecked());
    for (TFloatEdit* edit : {f.TableNameLen, f.FieldNameLen, f.IndexNameLen}) EXPECT_FALSE(edit->isEnabled());
    EXPECT_EQ(f.TableNameLen->text(), QStringLiteral("27"));
    EXPECT_EQ(f.FieldNameLen->text(), QStringLiteral("31"));
    EXPECT_EQ(f.IndexNameLen->text(), QStringLiteral("500")) << "shown bound to 10..500";
    ClickButton(f, "Ok");
  }));
  EXPECT_TRUE(c.Execute());
  for (TConvert* conv : {&c.Table, &c.Field, &c.Index}) EXPECT_FALSE(conv->Enabled);
  EXPECT_EQ(c.Table.MaxLength, 27);
  EXPECT_EQ(c.Field.MaxLength, 31);
  EXPECT_EQ(c.Index.MaxLength, 600) << "a disabled converter keeps its length";
}

TEST(ConvertSettings, CheckingABoxAndTypingALengthEnablesTheConverter) {
  Converters c(false, 27, 27, 27);
  c.Table.Enabled = true;
  TDialogScript script;
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    EXPECT_TRUE(f.TableNameLen->isEnabled());
    f.ConvertFieldNames->click();
    EXPECT_TRUE(f.FieldNameLen->isEnabled());
    Retype(f.FieldNameLen, "40");
    Leave(f.FieldNameLen);
    EXPECT_FALSE(convtest::Screenshot(f, "convdialogs-settings").empty());
    f.ConvertTableNames->click();
    EXPECT_FALSE(f.TableNameLen->isEnabled());
    Retype(f.TableNameLen, "99");  // whatever a disabled edit holds, its converter keeps its length
    ClickButton(f, "Ok");
  }));
  EXPECT_TRUE(c.Execute());
  EXPECT_FALSE(c.Table.Enabled);
  EXPECT_EQ(c.Table.MaxLength, 27);
  EXPECT_TRUE(c.Field.Enabled);
  EXPECT_EQ(c.Field.MaxLength, 40);
  EXPECT_FALSE(c.Index.Enabled);
}

TEST(ConvertSettings, LengthsAreBoundWhenTheEditIsLeftAndWhenOkIsPressedInIt) {
  Converters c(true, 27, 27, 27);
  TDialogScript script;
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    Retype(f.TableNameLen, "600");
    Leave(f.TableNameLen);
    EXPECT_EQ(f.TableNameLen->text(), QStringLiteral("500"));
    Retype(f.FieldNameLen, "5");
    Leave(f.FieldNameLen);
    EXPECT_EQ(f.FieldNameLen->text(), QStringLiteral("10"));
    Retype(f.IndexNameLen, "3");
    EXPECT_EQ(f.IndexNameLen->text(), QStringLiteral("3"));
    Enter(f.IndexNameLen);
    EXPECT_TRUE(f.isVisible()) << "no default button: Return in an edit does not close the dialog";
    convtest::Accelerator(&f, Qt::Key_O);  // OK by its key, without the edit being left first
  }));
  EXPECT_TRUE(c.Execute());
  EXPECT_EQ(c.Table.MaxLength, 500);
  EXPECT_EQ(c.Field.MaxLength, 10);
  EXPECT_EQ(c.Index.MaxLength, 10);

  // Pasted texts are not filtered by keys: no number reads as the lower bound, a half rounds to even.
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    f.TableNameLen->selectAll();
    f.TableNameLen->insert(QStringLiteral("abc"));
    f.FieldNameLen->selectAll();
    f.FieldNameLen->insert(QStringLiteral("40.5"));
    f.IndexNameLen->selectAll();
    f.IndexNameLen->insert(QStringLiteral("41,5"));
    ClickButton(f, "Ok");
  }));
  EXPECT_TRUE(c.Execute());
  EXPECT_EQ(c.Table.MaxLength, 10);
  EXPECT_EQ(c.Field.MaxLength, 40);
  EXPECT_EQ(c.Index.MaxLength, 42);
}

TEST(ConvertSettings, CancelOrEscapeAfterChangesLeavesTheConvertersAlone) {
  Converters c(true, 20, 30, 40);
  TDialogScript script;
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    f.ConvertTableNames->click();
    Retype(f.FieldNameLen, "100");
    ClickButton(f, "Отмена"_ansi);
  }));
  script.ExpectDialog("TEditConvertOptions", Act([](TEditConvertOptions& f) {
    f.ConvertIndexNames->click();
    convtest::Key(&f, Qt::Key_Escape);
  }));
  EXPECT_FALSE(c.Execute());
  EXPECT_FALSE(c.Execute());
  for (TConvert* conv : {&c.Table, &c.Field, &c.Index}) EXPECT_TRUE(conv->Enabled);
  EXPECT_EQ(c.Table.MaxLength, 20);
  EXPECT_EQ(c.Field.MaxLength, 30);
  EXPECT_EQ(c.Index.MaxLength, 40);
  EXPECT_TRUE(Application->Forms().empty() ||
              std::none_of(Application->Forms().begin(), Application->Forms().end(),
                           [](QWidget* w) { return dynamic_cast<TEditConvertOptions*>(w) != nullptr; }))
      << "every call frees its dialog";
}
