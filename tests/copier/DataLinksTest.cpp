#include "copier/DataLinks.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "copier/DbLocations.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/UiText.h"

TEST(DataLinks, ConnectionStringsReadAndWriteBack) {
  auto pairs = ParseOdbcConnectionString("DRIVER={PostgreSQL Unicode};Server=127.0.0.1; Port=55432;Pwd={a;b}}c};X");
  ASSERT_EQ(pairs.size(), 5u);
  EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"DRIVER", "PostgreSQL Unicode"}));
  EXPECT_EQ(pairs[2].second, "55432");
  EXPECT_EQ(pairs[3].second, "a;b}c");
  EXPECT_EQ(pairs[4], (std::pair<std::string, std::string>{"X", ""}));
  EXPECT_EQ(ParseOdbcConnectionString(BuildOdbcConnectionString(pairs)), pairs);
  EXPECT_EQ(BuildOdbcConnectionString({{"Database", "/tmp/a b.db"}, {"Pwd", " x"}}), "Database=/tmp/a b.db;Pwd={ x}");
}

TEST(DataLinks, TheDialogListsDriversAndBuildsTheString) {
  const TOdbcCatalog catalog = ReadOdbcCatalog();
  bool sqlite = false;
  for (const auto& d : catalog.Drivers) sqlite = sqlite || d == "SQLite3";
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
