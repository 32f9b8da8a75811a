#include "copier/DataLinks.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "copier/DbLocations.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

TEST(DataLinks, TheDialogListsDriversAndBuildsTheString) {
  bool sqlite = false;
  for (const TOdbcDriver& d : OdbcDrivers()) sqlite = sqlite || d.Name == "SQLite3";
  EXPECT_TRUE(sqlite) << "the SQLite ODBC driver is installed";
  {
    TDialogScript script;
    script.ExpectDialog("TDataLinkForm", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
      auto& form = static_cast<TDataLinkForm&>(d);
      EXPECT_EQ(form.edDatabase->text().toStdString(), "/old.db");
      form.cbSource->setEditText(QStringLiteral("DRIVER={SQLite3}"));
      form.edDatabase->setText(ToQString("/data/база.db"_ansi));
      form.edOther->setPlainText(QStringLiteral("Timeout=100\nNoTXN=1"));
      return mrOk;
    });
    EXPECT_EQ(PromptOleDbConnection(nullptr, "DRIVER=SQLite3;Database=/old.db"),
              "DRIVER=SQLite3;Database=/data/база.db;Timeout=100;NoTXN=1"_ansi);
  }
  {
    TDialogScript script;
    script.ExpectDialog("TDataLinkForm", [](const TModalInfo&, QDialog&) -> std::optional<TModalResult> { return mrCancel; });
    EXPECT_EQ(PromptOleDbConnection(nullptr, "DSN=gis"), "DSN=gis") << "cancel keeps the string";
  }
}

// Every password field is masked: on each location page that asks for one, and in the dialog.
TEST(DataLinks, EveryPasswordFieldIsMasked) {
  TDbLocationFrame frame;
  TDataLinkForm form(nullptr, {}, {});
  const std::pair<const char*, QLineEdit*> fields[] = {
      {"OLEDBPassword", frame.OLEDBPassword}, {"OLEDBConfirm", frame.OLEDBConfirm}, {"IBPassword", frame.IBPassword},
      {"IBConfirm", frame.IBConfirm},         {"BDEPassword", frame.BDEPassword},   {"BDEConfirm", frame.BDEConfirm},
      {"edPassword", form.edPassword}};
  for (const auto& [name, edit] : fields) EXPECT_EQ(edit->echoMode(), QLineEdit::Password) << name;
}
