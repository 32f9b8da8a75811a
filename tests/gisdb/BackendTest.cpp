// The back-ends through IOrvDb only, on every engine that exists here.
#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>

#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbs.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/Engines.h"
#include "tests/support/EveryTypeTable.h"

using testsupport::TEngine;
using testsupport::CreateEveryTypeTable;
using testsupport::Describe;
using testsupport::EveryTypeRows;
using testsupport::ExpectEveryTypeRows;

namespace {

class Backend : public ::testing::TestWithParam<TEngine> {
 protected:
  void SetUp() override { REQUIRE_ENGINE(GetParam()); }
  IConnParamsPtr NewParams(const std::string& name = "db") { return testsupport::NewDatabase(GetParam(), FDir, name); }
  IOrvDbPtr NewDb(const std::string& name = "db") { return ConnectDb(NewParams(name).get(), true); }
  bool IsInterBase() const { return GetParam() == TEngine::FirebirdEmbedded || GetParam() == TEngine::FirebirdServer; }
  bool IsOdbc() const { return testsupport::IsOdbcEngine(GetParam()); }

  // The definition each engine's loader reports for a field the catalogue created.
  TOrvDbFieldDef AsLoaded(TOrvDbFieldDef f) const {
    if (IsInterBase() && f.FieldType == dftBlob) f.Size = 8;
    if (testsupport::IsParadoxEngine(GetParam())) {
      // An Alpha field holds at most 255 characters, a blob's leader at most 240 bytes.
      if (f.FieldType == dftString) f.Size = std::min(f.Size, 255);
      if (f.FieldType == dftBlob) f.Size = std::min(f.Size, 240);
    }
    // ODBC: a binary column reports the longest value it can hold; SQLite's varchar type is
    // listed with a size of 255, which caps the length written into the DDL.
    if (IsOdbc() && f.FieldType == dftBlob) f.Size = 2147483647;
    if (GetParam() == TEngine::SqliteOdbc && f.FieldType == dftString) f.Size = std::min(f.Size, 255);
    return f;
  }
  // The name each engine's loader reports for an index the catalogue created: a Paradox primary
  // index has no name of its own, and a single-field index there is named after its field (the
  // file format names it so, whatever name an alias asks for).
  std::string IndexAsLoaded(const std::string& table, const TOrvDbIndexDef& x) const {
    if (testsupport::IsParadoxEngine(GetParam())) {
      if (x.Options & dioPrimary) return table + "_I0";
      if (x.Fields.find(';') == std::string::npos) return x.Fields;
    }
    return x.Name;
  }

  testsupport::TempDir FDir;
};

}  // namespace

TEST_P(Backend, TheCatalogueCreatesAllSystemTablesAsListed) {
  IOrvDbPtr db = NewDb();
  struct TCatalogueTable {
    const char* name;
    const std::vector<TOrvDbFieldDef>* fields;
    const std::vector<TOrvDbIndexDef>* indexes;
  };
  const TCatalogueTable tables[] = {
      {"ORVEL_DBINFO", &DbInfoFields, &DbInfoIndexes},       {"ORVEL_ACL", &AclFields, &AclIndexes},
      {"ORVEL_LINKS", &LinksFields, &LinksIndexes},          {"ORVEL_PROJECTS", &ProjectsFields, &ProjectsIndexes},
      {"ORVEL_PROJMAPS", &ProjMapsFields, &ProjMapsIndexes}, {"ORVEL_AREAS", &AreasFields, &AreasIndexes},
      {"ORVEL_MAPS", &MapsFields, &MapsIndexes},             {"ORVEL_RASTMAPS", &RastMapsFields, &RastMapsIndexes},
      {"ORVEL_RASTERS", &RastersFields, &RastersIndexes},    {"ORVEL_LAYERS", &LayersFields, &LayersIndexes},
      {"ORVEL_STYLES", &StylesFields, &StylesIndexes},       {"ORVEL_SEMTABLS", &SemTablsFields, &SemTablsIndexes},
      {"ORVEL_RELATION", &RelationFields, &RelationIndexes}, {"ORVEL_SECTORS", &SectorsFields, &SectorsIndexes},
      {"ORVEL_OBJINFO", &ObjInfoFields, &ObjInfoIndexes},    {"ORVEL_REFBOOKS", &RefBooksFields, &RefBooksIndexes},
      {"ORVEL_ADDONDAT", &AddonDatFields, &AddonDatIndexes}, {"ORVEL_PREFS", &PrefsFields, &PrefsIndexes},
      {"ORVEL_USERS", &UsersFields, &UsersIndexes},          {"ORVEL_USERGRPS", &UserGrpsFields, &UserGrpsIndexes},
      {"ORVEL_USR_GRP", &UsrGrpFields, &UsrGrpIndexes},      {"ORVEL_THEMES", &ThemesFields, &ThemesIndexes},
      {"ORVEL_IDMAPER", &IdMaperFields, &IdMaperIndexes},    {"ORVEL_MODULES", &ModulesFields, &ModulesIndexes},
  };
  for (const auto& table : tables) CreateSysTable(db.get(), table.name, *table.fields, *table.indexes);
  for (const auto& table : tables) {
    SCOPED_TRACE(table.name);
    ASSERT_TRUE(db->TableExists(table.name));
    IOrvDbTableDefPtr def = db->GetTableDef(table.name);
    ASSERT_EQ(def->GetFieldCount(), static_cast<int>(table.fields->size()));
    for (const auto& expected : *table.fields) {
      int i = def->IndexOfField(expected.Name);
      ASSERT_GE(i, 0) << expected.Name;
      EXPECT_EQ(Describe(def->GetField(i)), Describe(AsLoaded(expected)));
    }
    ASSERT_EQ(def->GetIndexCount(), static_cast<int>(table.indexes->size()));
    for (const auto& expected : *table.indexes) {
      int i = def->IndexOfIndex(IndexAsLoaded(table.name, expected));
      // Through ODBC the primary key carries the engine's own name (T_pkey, sqlite_autoindex_T_1).
      if (i < 0 && IsOdbc() && (expected.Options & dioPrimary))
        for (int k = 0; k < def->GetIndexCount(); ++k)
          if (def->GetIndex(k).Options & dioPrimary) i = k;
      ASSERT_GE(i, 0) << expected.Name;
      EXPECT_EQ(def->GetIndex(i).Fields, expected.Fields);
      EXPECT_EQ(def->GetIndex(i).Options, expected.Options) << expected.Name;
    }
  }
}

TEST_P(Backend, StatementsCarryEveryValueNullsBlobsAndCyrillicText) {
  IOrvDbPtr db = NewDb();
  const auto rows = EveryTypeRows(3 * 1024 * 1024 + 7);
  CreateEveryTypeTable(db.get(), rows);
  IOrvDbSQLPtr select = db->CreateSQL("SELECT * FROM [VALS] ORDER BY [VALS].[ID]");
  select->Execute({});
  ExpectEveryTypeRows(select.get(), rows);
  select->Close();
  if (IsOdbc()) {
    // The ODBC back-end binds a blob parameter from its value's text, whatever the value is.
    BuildUpdateSQL(db.get(), "VALS", {"DATA"}, {"ID"})->Execute({{dftBlob, Variant(int32_t(5))}, IntParam(1)});
    IOrvDbSQLPtr q = db->CreateSQL("SELECT [DATA] FROM [VALS] WHERE [ID]=1");
    q->Execute({});
    EXPECT_EQ(q->AsBlob(Variant(int32_t(0))), "5");
    return;
  }
  // A blob parameter that is no byte string is refused before anything runs.
  EXPECT_THROW(BuildUpdateSQL(db.get(), "VALS", {"DATA"}, {"ID"})->Execute({{dftBlob, Variant(int32_t(5))}, IntParam(1)}),
               Exception);
}

// Fewer parameters than marks are refused with both counts, also after a full run whose values
// must not fill the gap, and nothing is written.
TEST_P(Backend, FewerParametersThanMarksAreRefusedWithBothCounts) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "P", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 20, false}, {"N", dftInt32, 0, false}},
                 {{"P_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbSQLPtr insert = BuildInsertSQL(db.get(), "P", {"ID", "NAME", "N"});
  const TOrvDbParams full = {IntParam(1), StrParam("a"), IntParam(7)};
  const TOrvDbParams cases[] = {{IntParam(2), StrParam("b")}, full, {IntParam(3)}, {}};
  for (const TOrvDbParams& params : cases) {
    if (params.size() == full.size()) {
      insert->Execute(params);
      continue;
    }
    try {
      insert->Execute(params);
      ADD_FAILURE() << params.size() << " parameters for 3 marks";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), Format("Ошибка выполнения запроса: в тексте запроса знаков «?» 3, а параметров задано %d"_ansi,
                                    {static_cast<int>(params.size())}));
    }
  }
  insert->Close();
  EXPECT_EQ(testsupport::CanonicalRows(db.get(), "P", {"ID", "NAME", "N"}).size(), 1u);
}

TEST_P(Backend, RestructureKeepsTheRows) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "T1", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 20, false}, {"OLD", dftInt32, 0, false}},
                 {{"T1_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "T1", {"ID", "NAME", "OLD"});
  for (int i = 1; i <= 50; ++i) ins->Execute({IntParam(i), StrParam("Имя "_ansi + std::to_string(i)), IntParam(i * 2)});
  ins.reset();  // a prepared statement keeps its table in use on some engines
  IOrvDbTableDefPtr def = db->GetTableDef("T1");
  def->SetField(def->IndexOfField("NAME"), {"CAPTION", dftString, 40, false});
  def->DeleteField(def->IndexOfField("OLD"));
  def->AddField({"EXTRA", dftDouble, 0, false});
  def->ApplyChanges();
  EXPECT_FALSE(db->TableExists("tmp_T1"));
  IOrvDbTableDefPtr back = db->GetTableDef("T1");
  EXPECT_EQ(back->GetFieldCount(), 3);
  EXPECT_GE(back->IndexOfField("CAPTION"), 0);
  auto rows = testsupport::CanonicalRows(db.get(), "T1", {"ID", "CAPTION"});
  ASSERT_EQ(rows.size(), 50u);
  EXPECT_NE(rows[0].find("Имя"_ansi), std::string::npos);
}

TEST_P(Backend, NarrowGettersTakeTheLowBits) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "W", {{"ID", dftInt32, 0, true}, {"V", dftInt32, 0, false}}, {{"W_PK", "ID", dioPrimary | dioUnique}});
  const struct {
    int32_t value, int8, uint8, int16, uint16;
  } rows[] = {{70000, 112, 112, 4464, 4464}, {-70000, -112, 144, -4464, 61072}, {-1, -1, 255, -1, 65535}};
  for (std::size_t i = 0; i < std::size(rows); ++i)
    BuildInsertSQL(db.get(), "W", {"ID", "V"})->Execute({IntParam(static_cast<int32_t>(i)), IntParam(rows[i].value)});
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].value);
    IOrvDbSQLPtr q = BuildSelectSQL(db.get(), "W", {"V"}, {"ID"});
    q->Execute({IntParam(static_cast<int32_t>(i))});
    EXPECT_EQ(q->AsInt8(Variant("V")), rows[i].int8);
    EXPECT_EQ(q->AsUInt8(Variant("V")), rows[i].uint8);
    EXPECT_EQ(q->AsInt16(Variant("V")), rows[i].int16);
    EXPECT_EQ(q->AsUInt16(Variant("V")), rows[i].uint16);
    q->Close();
  }
}

// A statement run again, given another text, or closed and run again reads by position the
// columns of the result it holds, a memo or blob once a row.
TEST_P(Backend, ColumnsByPositionAreThoseOfTheCurrentResult) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "T", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 20, false}, {"DATA", dftBlob, 0, false}},
                 {{"T_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "T", {"ID", "NAME", "DATA"});
  for (int32_t id : {1, 2}) ins->Execute({IntParam(id), StrParam("n" + std::to_string(id)), {dftBlob, Variant("d" + std::to_string(id))}});
  ins->Close();
  const struct {
    const char* sql;  // null: the text stays
    bool closeFirst;
    int32_t id;
    std::vector<std::string> values;
    int longColumn;  // -1: none
  } steps[] = {{"SELECT [ID], [NAME], [DATA] FROM [T] WHERE [ID]=?", false, 1, {"1", "n1", "d1"}, 2},
               {nullptr, false, 2, {"2", "n2", "d2"}, 2},
               {"SELECT [DATA] FROM [T] WHERE [ID]=?", false, 1, {"d1"}, 0},
               {"SELECT [NAME], [ID] FROM [T] WHERE [ID]=?", true, 2, {"n2", "2"}, -1}};
  IOrvDbSQLPtr q = db->CreateSQL(steps[0].sql);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.sql ? step.sql : "again");
    if (step.closeFirst) q->Close();
    if (step.sql) q->SetSQL(step.sql);
    q->Execute({IntParam(step.id)});
    const int n = static_cast<int>(step.values.size());
    for (int pass = 0; pass < 2; ++pass)
      for (int i = 0; i < n; ++i) {
        if (pass == 1 && i == step.longColumn) EXPECT_THROW(q->GetValue(Variant(i)), Exception);
        else EXPECT_EQ(q->GetValue(Variant(i)).ToString(), step.values[static_cast<std::size_t>(i)]);
      }
    EXPECT_THROW(q->GetValue(Variant(n)), Exception);
  }
  q->Close();
}

TEST_P(Backend, DroppingAMissingTableIsNoError) {
  IOrvDbPtr db = NewDb();
  EXPECT_FALSE(db->TableExists("NO_SUCH_TABLE"));
  EXPECT_FALSE(db->TableExists(""));
  db->DropTable("NO_SUCH_TABLE");
}

// A closed database refuses new work with an error instead of crashing.
TEST_P(Backend, WorkIsDurableAfterCloseAndAClosedDatabaseRefusesWork) {
  IConnParamsPtr params = NewParams();
  {
    IOrvDbPtr db = ConnectDb(params.get(), true);
    CreateSysTable(db.get(), "D", {{"ID", dftInt32, 0, true}}, {{"D_PK", "ID", dioPrimary | dioUnique}});
    IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "D", {"ID"});
    for (int i = 0; i < 10; ++i) ins->Execute({IntParam(i)});
    db->Close();
    EXPECT_ANY_THROW(db->CreateSQL("SELECT * FROM [D]")->Execute({}));
    EXPECT_ANY_THROW(db->TableExists("D"));
    EXPECT_ANY_THROW(db->DropTable("D"));
  }
  IOrvDbPtr again = ConnectDb(params.get(), true);
  EXPECT_EQ(testsupport::CanonicalRows(again.get(), "D", {"ID"}).size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(Engines, Backend,
                         ::testing::Values(TEngine::ParadoxFolder, TEngine::ParadoxAlias,
                                           TEngine::FirebirdEmbedded, TEngine::FirebirdServer, TEngine::SqliteOdbc,
                                           TEngine::PostgresOdbc),
                         [](const auto& p) { return testsupport::EngineName(p.param); });

// --- InterBase specifics -------------------------------------------------------------------

class InterBase : public Backend {};

TEST_P(InterBase, BracketsNestAndOnlyTheOutermostCommits) {
  IConnParamsPtr params = NewParams();
  IOrvDbPtr db = ConnectDb(params.get(), true);
  CreateSysTable(db.get(), "B", {{"ID", dftInt32, 0, true}}, {{"B_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbPtr other = ConnectDb(params.get(), true);
  auto seen = [&] {
    IOrvDbSQLPtr q = other->CreateSQL("SELECT COUNT(*) FROM [B]");
    q->Execute({});
    int n = q->AsInt32(Variant(int32_t(0)));
    q->Close();
    other->Commit();  // nothing: its own counter is 0
    return n;
  };
  db->StartTransaction();
  db->StartTransaction();
  BuildInsertSQL(db.get(), "B", {"ID"})->Execute({IntParam(1)});
  db->Commit();
  EXPECT_TRUE(db->InTransaction());
  db->Commit();
  EXPECT_FALSE(db->InTransaction());
  db->Commit();  // a third commit does nothing
  // The other connection's transaction started before the commit; read committed sees it now.
  EXPECT_EQ(seen(), 1);
  db->StartTransaction();
  BuildInsertSQL(db.get(), "B", {"ID"})->Execute({IntParam(2)});
  db->Rollback();
  EXPECT_EQ(seen(), 1);
}

TEST_P(InterBase, NumericDateTimeCharAndBigintColumnsReadBack) {
  IOrvDbPtr db = NewDb();
  db->CreateSQL("CREATE TABLE P (N NUMERIC(9,2) NOT NULL, W NUMERIC(15,6), D DATE, T TIME, C CHAR(8), B BIGINT, "
                "S SMALLINT)")
      ->Execute({});
  db->StartTransaction();
  db->Commit();
  db->CreateSQL("INSERT INTO P VALUES (1234567.89, 123456.789012, '2024-02-29', '13:45:30', 'abc', "
                "9007199254740993, -5)")
      ->Execute({});
  IOrvDbTableDefPtr def = db->GetTableDef("p");
  ASSERT_EQ(def->GetFieldCount(), 7);
  std::map<std::string, TOrvDbFieldDef> byName;
  for (int i = 0; i < def->GetFieldCount(); ++i) byName[def->GetField(i).Name] = def->GetField(i);
  EXPECT_EQ(byName["N"].FieldType, dftCurrency);
  EXPECT_TRUE(byName["N"].Required);
  EXPECT_EQ(byName["W"].FieldType, dftDouble);
  EXPECT_EQ(byName["D"].FieldType, dftDateTime);
  EXPECT_EQ(byName["T"].FieldType, dftDateTime);
  EXPECT_EQ(byName["C"].FieldType, dftString);
  EXPECT_EQ(byName["C"].Size, 8);
  EXPECT_EQ(byName["B"].FieldType, dftInt64);
  EXPECT_EQ(byName["S"].FieldType, dftInt16);
  IOrvDbSQLPtr q = OpenTableSQL(db.get(), "P");
  EXPECT_EQ(q->FieldType(Variant("N")), dftCurrency);
  EXPECT_EQ(q->FieldType(Variant("W")), dftDouble);
  EXPECT_EQ(q->FieldType(Variant("S")), dftInt32);
  EXPECT_DOUBLE_EQ(q->GetValue(Variant("N")).ToDouble(), 1234567.89);
  EXPECT_DOUBLE_EQ(q->GetValue(Variant("W")).ToDouble(), 123456.789012);
  EXPECT_EQ(q->GetValue(Variant("B")).ToInt64(), 9007199254740993LL);
  EXPECT_EQ(q->AsString(Variant("C")), "abc     ");
  int y, m, d;
  DecodeDate(q->GetValue(Variant("D")).ToDateTime(), y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
}

// Firebird's own client, isql-fb, makes columns of every kind and sees the catalogue tables as the
// back-end created them. (The embedded engine serves one process at a time: each side closes
// before the other opens.)
TEST_P(InterBase, IsqlAndTheBackEndAgree) {
  if (GetParam() != TEngine::FirebirdEmbedded) GTEST_SKIP() << "isql-fb opens the file itself";
  IConnParamsPtr params = NewParams();
  const std::string file = GetConnParam(params.get(), "DATABASE", "");
  auto isql = [&](const std::string& script) {
    const std::string command = "isql-fb -q -user SYSDBA -password x " + file + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "w");
    EXPECT_NE(pipe, nullptr);
    std::fputs(script.c_str(), pipe);
    EXPECT_EQ(pclose(pipe), 0);
  };
  isql("CREATE TABLE P (N NUMERIC(9,2) NOT NULL, D DATE, T TIME, C CHAR(8), B BIGINT);\n"
       "INSERT INTO P VALUES (-12345.67, '2000-01-31', '23:59:58', 'abc', -9007199254740993);\nCOMMIT;\n");
  {
    IOrvDbPtr db = ConnectDb(params.get(), true);
    IOrvDbTableDefPtr def = db->GetTableDef("P");
    ASSERT_EQ(def->GetFieldCount(), 5);
    IOrvDbSQLPtr q = OpenTableSQL(db.get(), "P");
    EXPECT_DOUBLE_EQ(q->GetValue(Variant("N")).ToDouble(), -12345.67);
    EXPECT_EQ(q->GetValue(Variant("B")).ToInt64(), -9007199254740993LL);
    int h, m, sec, ms;
    DecodeTime(q->GetValue(Variant("T")).ToDateTime(), h, m, sec, ms);
    EXPECT_EQ(h * 10000 + m * 100 + sec, 235958);
    q->Close();
    CreateMapsTable(db.get());
    db->Close();
  }
  const std::string out = [&] {
    const std::string command = "echo 'SHOW TABLE ORVEL_MAPS;' | isql-fb -q -user SYSDBA -password x " + file + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buf[256];
    while (pipe && std::fgets(buf, sizeof buf, pipe)) text += buf;
    if (pipe) pclose(pipe);
    return text;
  }();
  EXPECT_NE(out.find("MAPNAME"), std::string::npos) << out;
  EXPECT_NE(out.find("VARCHAR(65)"), std::string::npos) << out;
  EXPECT_NE(out.find("CONSTRAINT ORVEL_MAPS_PK"), std::string::npos) << out;
}

TEST_P(InterBase, RenamingATableIsRefusedByTheEngineAndTheTableStays) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "R1", {{"ID", dftInt32, 0, true}}, {{"R1_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbTableDefPtr def = db->GetTableDef("R1");
  def->SetTableName("R2");
  EXPECT_THROW(def->ApplyChanges(), Exception);
  EXPECT_TRUE(db->TableExists("R1"));
}

TEST_P(InterBase, ProtocolsAndParameterErrors) {
  IConnParamsPtr params = NewParams();
  auto bad = CreateConnParams({"ENGINE", "IB", "SERVER", "127.0.0.1", "PROTOCOL", "IPX", "DATABASE", "/x.fdb"});
  try {
    ConnectDb(bad.get(), true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка открытия базы данных InterBase: некорректный протокол"_ansi);
  }
  try {
    ConnectDb(CreateConnParams({"ENGINE", "ODBC"}).get(), true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка присоединения к базе данных: неизвестный тип СУБД"_ansi);
  }
  // NamedPipe and SPX build their names ("\\\\srv\\path", "srv@path"); the client's own error passes on.
  for (const char* protocol : {"NamedPipe", "SPX"}) {
    auto other = CreateConnParams({"ENGINE", "IB", "SERVER", "127.0.0.1", "PROTOCOL", protocol, "DATABASE", "/x.fdb",
                                   "USER", "SYSDBA", "PASSWORD", "quillcart"});
    try {
      ConnectDb(other.get(), true);
      ADD_FAILURE() << protocol;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message().find("некорректный протокол"_ansi), std::string::npos) << protocol;
    }
  }
  auto missing = CreateConnParams({"ENGINE", "ib", "DATABASE", Utf8ToAnsi(FDir / "missing.fdb"), "USER", "SYSDBA"});
  EXPECT_THROW(ConnectDb(missing.get(), true), Exception);
  IOrvDbPtr closed = ConnectDb(params.get(), false);
  EXPECT_FALSE(closed->InTransaction());
}

// Firebird reports a table still in use only when the DROP commits. A rebuild refused so keeps
// the table and its rows (or names where they are), and no later bracket or reconnect loses them;
// the connection stays usable.
TEST_P(InterBase, ARebuildOfATableInUseKeepsItsRows) {
  for (const bool sameConnection : {false, true}) {
    SCOPED_TRACE(sameConnection ? "held by the same connection" : "held by another connection");
    IConnParamsPtr params = NewParams(sameConnection ? "same" : "other");
    IOrvDbPtr db = ConnectDb(params.get(), true);
    CreateSysTable(db.get(), "KEEP", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 20, false}},
                   {{"KEEP_PK", "ID", dioPrimary | dioUnique}});
    BuildInsertSQL(db.get(), "KEEP", {"ID", "NAME"})->Execute({IntParam(1), StrParam("a")});
    BuildInsertSQL(db.get(), "KEEP", {"ID", "NAME"})->Execute({IntParam(2), StrParam("b")});
    BuildInsertSQL(db.get(), "KEEP", {"ID", "NAME"})->Execute({IntParam(3), StrParam("c")});
    db->StartTransaction();
    db->Commit();
    IOrvDbPtr other = sameConnection ? db : ConnectDb(params.get(), true);
    IOrvDbSQLPtr holder = OpenTableSQL(other.get(), "KEEP");
    IOrvDbTableDefPtr def = db->GetTableDef("KEEP");
    def->AddField({"EXTRA", dftInt32, 0, false});
    std::string error;
    try {
      def->ApplyChanges();
    } catch (const Exception& e) {
      error = e.Message();
    }
    EXPECT_NE(error.find("KEEP"), std::string::npos) << error;
    holder.reset();
    other.reset();
    // A later bracket commits whatever the connection still holds.
    CreateSysTable(db.get(), "LATER", {{"ID", dftInt32, 0, true}}, {{"LATER_PK", "ID", dioPrimary | dioUnique}});
    db->Close();
    db = ConnectDb(params.get(), true);
    EXPECT_TRUE(db->TableExists("LATER"));
    EXPECT_FALSE(db->TableExists("tmp_KEEP"));
    ASSERT_TRUE(db->TableExists("KEEP"));
    EXPECT_EQ(testsupport::CanonicalRows(db.get(), "KEEP", {"ID", "NAME"}).size(), 3u);
    EXPECT_EQ(db->GetTableDef("KEEP")->IndexOfField("EXTRA"), -1) << "the old structure";
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, InterBase, ::testing::Values(TEngine::FirebirdEmbedded, TEngine::FirebirdServer),
                         [](const auto& p) { return testsupport::EngineName(p.param); });

// --- rebuilding on the real engines ---------------------------------------------------------

class Rebuild : public Backend {};

TEST_P(Rebuild, AFailingRebuildPutsTheOldTableBack) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "R", {{"ID", dftInt32, 0, true}, {"CODE", dftInt32, 0, false}},
                 {{"R_PK", "ID", dioPrimary | dioUnique}});
  {
    IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "R", {"ID", "CODE"});
    for (int i = 1; i <= 20; ++i) ins->Execute({IntParam(i), IntParam(i % 3)});
  }
  IOrvDbTableDefPtr def = db->GetTableDef("R");
  def->AddIndex({"R_CODE_UNIQUE", "CODE", dioUnique});  // the rows repeat CODE: the copy must fail
  EXPECT_THROW(def->ApplyChanges(), Exception);
  EXPECT_FALSE(db->TableExists("tmp_R"));
  EXPECT_EQ(testsupport::CanonicalRows(db.get(), "R", {"ID", "CODE"}).size(), 20u);
  IOrvDbTableDefPtr back = db->GetTableDef("R");
  EXPECT_EQ(back->GetIndexCount(), 1) << "the old structure";
}

TEST_P(Rebuild, ANameOnlyChangeRenamesOrRebuilds) {
  if (IsInterBase()) GTEST_SKIP() << "Firebird refuses to rename a table (tested with the InterBase specifics)";
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "OLDNAME", {{"ID", dftInt32, 0, true}}, {{"OLDNAME_PK", "ID", dioPrimary | dioUnique}});
  BuildInsertSQL(db.get(), "OLDNAME", {"ID"})->Execute({IntParam(7)});
  IOrvDbTableDefPtr def = db->GetTableDef("OLDNAME");
  def->SetTableName("NEWNAME");
  def->ApplyChanges();
  EXPECT_FALSE(db->TableExists("OLDNAME"));
  EXPECT_EQ(testsupport::CanonicalRows(db.get(), "NEWNAME", {"ID"}), std::vector<std::string>{"N7|"});
}

INSTANTIATE_TEST_SUITE_P(Engines, Rebuild,
                         ::testing::Values(TEngine::ParadoxFolder, TEngine::ParadoxAlias, TEngine::FirebirdEmbedded),
                         [](const auto& p) { return testsupport::EngineName(p.param); });
