// A GIS database behind a BDE alias of an InterBase database (driver INTRBASE), through IOrvDb
// only: the alias's connection is an SQL server's, with real transactions, catalogue tables,
// statements and dropped tables. The database is a file of the test, opened by the embedded engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbs.h"
#include "platform/ibx/IBDatabase.h"
#include "tests/ibx/IBXFixture.h"
#include "tests/support/EveryTypeTable.h"
#include "tests/support/TestSupport.h"

using testsupport::CreateEveryTypeTable;
using testsupport::Describe;
using testsupport::EveryTypeRows;
using testsupport::ExpectEveryTypeRows;

namespace {

class IntrbaseAlias : public ::testing::Test {
 protected:
  void SetUp() override {
    ibxtest::PrepareLockFolder();
    const char* password = std::getenv("COPYORVEL_FB_PASSWORD");
    const std::string pw = password && *password ? password : "masterkey";
    const std::string path = FDir / "gis.fdb";
    {
      TIBDatabase create;
      create.SetDatabaseName(Utf8ToAnsi(path));
      create.Params().Add("user_name=SYSDBA");
      create.Params().Add("password=" + pw);
      create.CreateDatabase();
    }
    // The alias names no user: the location's USER and PASSWORD supply them.
    const std::string file = FDir / "aliases.conf";
    std::ofstream(file) << "[GIS_IB]\nDRIVER=INTRBASE\nSERVER NAME=" << path << "\n";
    setenv("COPYORVEL_ALIASES", file.c_str(), 1);
    FParams = CreateConnParams({"ENGINE", "BDE", "ALIAS", "GIS_IB", "USER", "SYSDBA", "PASSWORD", pw});
  }
  void TearDown() override { unsetenv("COPYORVEL_ALIASES"); }

  IOrvDbPtr Connect() { return ConnectDb(FParams.get(), true); }
  static int Count(IOrvDb* db, const std::string& table) {
    IOrvDbSQLPtr q = db->CreateSQL("SELECT COUNT(*) FROM [" + table + "]");
    q->Execute({});
    int n = q->AsInt32(Variant(int32_t(0)));
    q->Close();
    return n;
  }

  testsupport::TempDir FDir;
  IConnParamsPtr FParams;
};

}  // namespace

TEST_F(IntrbaseAlias, IsAnSqlServerWithRealTransactions) {
  IOrvDbPtr db = Connect();
  EXPECT_FALSE(db->IsLocal());
  EXPECT_FALSE(db->InTransaction());
  CreateSysTable(db.get(), "ORVEL_DBINFO", DbInfoFields, DbInfoIndexes);
  IOrvDbPtr other = Connect();

  // Outside a transaction each statement is visible to others at once.
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "ORVEL_DBINFO", {"DBID", "DBCAPTION"});
  ins->Execute({StrParam("A"), StrParam("Первая"_ansi)});
  EXPECT_EQ(Count(other.get(), "ORVEL_DBINFO"), 1);

  db->StartTransaction();
  EXPECT_TRUE(db->InTransaction());
  ins->Execute({StrParam("B"), StrParam("Вторая"_ansi)});
  EXPECT_EQ(Count(db.get(), "ORVEL_DBINFO"), 2);
  EXPECT_EQ(Count(other.get(), "ORVEL_DBINFO"), 1);
  db->Commit();
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Count(other.get(), "ORVEL_DBINFO"), 2);

  db->StartTransaction();
  ins->Execute({StrParam("C"), StrParam("Третья"_ansi)});
  db->Rollback();
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Count(db.get(), "ORVEL_DBINFO"), 2);
  EXPECT_EQ(Count(other.get(), "ORVEL_DBINFO"), 2);

  // The work stays after the connection closes.
  ins.reset();
  db->Close();
  IOrvDbPtr again = Connect();
  IOrvDbSQLPtr q = BuildSelectSQL(again.get(), "ORVEL_DBINFO", {"DBCAPTION"}, {"DBID"});
  q->Execute({StrParam("B")});
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->AsString(Variant(int32_t(0))), "Вторая"_ansi);
}

TEST_F(IntrbaseAlias, CatalogueTablesReadBackAndDrop) {
  IOrvDbPtr db = Connect();
  struct TCatalogueTable {
    const char* name;
    const std::vector<TOrvDbFieldDef>* fields;
    const std::vector<TOrvDbIndexDef>* indexes;
  };
  const TCatalogueTable tables[] = {{"ORVEL_DBINFO", &DbInfoFields, &DbInfoIndexes},
                         {"ORVEL_MAPS", &MapsFields, &MapsIndexes},
                         {"ORVEL_STYLES", &StylesFields, &StylesIndexes},
                         {"ORVEL_SEMTABLS", &SemTablsFields, &SemTablsIndexes}};
  for (const auto& table : tables) CreateSysTable(db.get(), table.name, *table.fields, *table.indexes);
  for (const auto& table : tables) {
    SCOPED_TRACE(table.name);
    ASSERT_TRUE(db->TableExists(table.name));
    IOrvDbTableDefPtr def = db->GetTableDef(table.name);
    ASSERT_EQ(def->GetFieldCount(), static_cast<int>(table.fields->size()));
    for (const auto& expected : *table.fields) {
      int i = def->IndexOfField(expected.Name);
      ASSERT_GE(i, 0) << expected.Name;
      TOrvDbFieldDef want = expected;
      if (want.FieldType == dftBlob) want.Size = 0;  // a blob column has no size of its own
      EXPECT_EQ(Describe(def->GetField(i)), Describe(want));
    }
    ASSERT_EQ(def->GetIndexCount(), static_cast<int>(table.indexes->size()));
    for (const auto& expected : *table.indexes) {
      int i = def->IndexOfIndex(expected.Name);
      ASSERT_GE(i, 0) << expected.Name;
      EXPECT_EQ(def->GetIndex(i).Fields, expected.Fields);
      EXPECT_EQ(def->GetIndex(i).Options, expected.Options) << expected.Name;
    }
  }
  // Names match without regard to letter case, as the server reads plain names.
  EXPECT_TRUE(db->TableExists("orvel_maps"));

  // A table with rows and a statement still prepared on it drops.
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "ORVEL_MAPS", {"ID", "MAPTYPE"});
  ins->Execute({StrParam("M1"), {dftInt16, Variant(int16_t(3))}});
  db->DropTable("ORVEL_MAPS");
  EXPECT_FALSE(db->TableExists("ORVEL_MAPS"));
  db->DropTable("ORVEL_MAPS");  // a missing table is no error
  IOrvDbPtr other = Connect();
  EXPECT_FALSE(other->TableExists("ORVEL_MAPS"));
  EXPECT_TRUE(other->TableExists("ORVEL_STYLES"));
}

TEST_F(IntrbaseAlias, StatementsCarryParametersNullsBlobsAndCyrillicText) {
  IOrvDbPtr db = Connect();
  const auto rows = EveryTypeRows(1024 * 1024 + 7);
  CreateEveryTypeTable(db.get(), rows);
  IOrvDbSQLPtr select = db->CreateSQL("SELECT * FROM [VALS] WHERE [ID] > ? ORDER BY [VALS].[ID]");
  select->Execute({IntParam(0)});
  EXPECT_EQ(select->FieldType(Variant("PRICE")), dftCurrency);
  EXPECT_EQ(select->FieldType(Variant("SMALL")), dftInt16);
  EXPECT_EQ(select->FieldType(Variant("NOTE")), dftMemo);
  EXPECT_EQ(select->FieldType(Variant("DATA")), dftBlob);
  EXPECT_EQ(select->FieldIndex("name"), 1);
  EXPECT_EQ(select->FieldIndex("NOSUCH"), -1);
  ExpectEveryTypeRows(select.get(), rows);
  select->Close();

  IOrvDbSQLPtr update = BuildUpdateSQL(db.get(), "VALS", {"NAME"}, {"ID"});
  update->Execute({StrParam("Новое имя"_ansi), IntParam(2)});
  EXPECT_EQ(update->RowsAffected(), 1);
  IOrvDbSQLPtr check = BuildSelectSQL(db.get(), "VALS", {"NAME"}, {"ID"});
  check->Execute({IntParam(2)});
  EXPECT_EQ(check->AsString(Variant(int32_t(0))), "Новое имя"_ansi);
  check->Close();
  // A duplicate key is the engine's error; nothing of it stays.
  IOrvDbSQLPtr insert = BuildInsertSQL(db.get(), "VALS", {"ID"});
  EXPECT_THROW(insert->Execute({IntParam(1)}), Exception);
  EXPECT_EQ(Count(db.get(), "VALS"), 3);
  check.reset();
  insert.reset();
  update.reset();
  select.reset();
  db->DropTable("VALS");
  EXPECT_FALSE(db->TableExists("VALS"));
}

TEST_F(IntrbaseAlias, RestructuringKeepsTheRowsAndARenameIsRefused) {
  IOrvDbPtr db = Connect();
  CreateSysTable(db.get(), "T1", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 20, false}, {"OLD", dftInt32, 0, false}},
                 {{"T1_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "T1", {"ID", "NAME", "OLD"});
  for (int i = 1; i <= 20; ++i) ins->Execute({IntParam(i), StrParam("Имя "_ansi + std::to_string(i)), IntParam(i * 2)});
  IOrvDbTableDefPtr def = db->GetTableDef("T1");
  def->SetField(def->IndexOfField("NAME"), {"CAPTION", dftString, 40, false});
  def->DeleteField(def->IndexOfField("OLD"));
  def->ApplyChanges();
  EXPECT_FALSE(db->TableExists("tmp_T1"));
  IOrvDbTableDefPtr back = db->GetTableDef("T1");
  ASSERT_EQ(back->GetFieldCount(), 2);
  EXPECT_EQ(back->GetField(1).Name, "CAPTION");
  EXPECT_EQ(back->GetField(1).Size, 40);
  EXPECT_EQ(Count(db.get(), "T1"), 20);
  IOrvDbSQLPtr q = BuildSelectSQL(db.get(), "T1", {"CAPTION"}, {"ID"});
  q->Execute({IntParam(7)});
  EXPECT_EQ(q->AsString(Variant(int32_t(0))), "Имя 7"_ansi);
  q->Close();

  // The server cannot rename a table: the definition's new name is refused and the table stays.
  back->SetTableName("T2");
  EXPECT_THROW(back->ApplyChanges(), Exception);
  EXPECT_TRUE(db->TableExists("T1"));
  EXPECT_FALSE(db->TableExists("T2"));
}
