// What the ODBC back-end does beyond the engine-neutral contract: transactions that drop every
// statement's result, the type catalogue and the types chosen from it, the Null markers and the
// parameter binding, values read back exactly (Nulls, integers beyond their column's type, the
// largest doubles through SQLite's driver), DDL errors, and the driver's own message for a refused
// connection. On SQLite always, on PostgreSQL when its server runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <map>

#include "copier/CopyBases.h"
#include "gisdb/AdoOrvelDbs.h"
#include "gisdb/CreateSysTables.h"
#include "platform/ado/OdbcConnectionStrings.h"
#include "tests/support/Engines.h"

using testsupport::TEngine;

namespace {

class AdoBackend : public ::testing::TestWithParam<TEngine> {
 protected:
  void SetUp() override { REQUIRE_ENGINE(GetParam()); }
  bool IsPg() const { return GetParam() == TEngine::PostgresOdbc; }
  IConnParamsPtr NewParams(const std::string& name = "db") { return testsupport::NewDatabase(GetParam(), FDir, name); }
  IOrvDbPtr NewDb(const std::string& name = "db") { return ConnectDb(NewParams(name).get(), true); }
  static TAdoOrvDb* Ado(const IOrvDbPtr& db) { return dynamic_cast<TAdoOrvDb*>(db.get()); }
  static void Exec(const IOrvDbPtr& db, const std::string& sql) { db->CreateSQL(sql)->Execute({}); }
  static int Count(const IOrvDbPtr& db, const std::string& table) {
    IOrvDbSQLPtr q = db->CreateSQL("SELECT COUNT(*) FROM [" + table + "]");
    q->Execute({});
    return q->AsInt32(Variant(int32_t(0)));
  }
  static void ExpectClosed(const std::function<void()>& read) {
    try {
      read();
      ADD_FAILURE() << "the statement's result is still readable";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Ошибка доступа к данным: таблица закрыта"_ansi);
    }
  }
  // A table with one column of each kind the engine has, beyond the catalogue's types: T holds
  // 8-bit values on SQLite, a NUMERIC(3,0) on PostgreSQL; S a smallint or a NUMERIC(5,0); I a
  // 32-bit integer or NUMERIC(10,0).
  void CreateWideTable(const IOrvDbPtr& db) {
    if (IsPg())
      Exec(db, "CREATE TABLE [W] ([ID] int4 PRIMARY KEY, [B] bool, [T] numeric(3,0), [S] numeric(5,0), "
               "[I] numeric(10,0), [G] int8, [F] float8, [D] timestamp, [C] varchar(20), [M] text, [X] bytea)");
    else
      Exec(db, "CREATE TABLE [W] ([ID] integer PRIMARY KEY, [B] bit, [T] tinyint, [S] smallint, [I] integer, "
               "[G] bigint, [F] double, [D] timestamp, [C] varchar(20), [M] text, [X] longvarbinary)");
  }
  void FillWideTable(const IOrvDbPtr& db) {
    Exec(db, "INSERT INTO [W] ([ID]) VALUES (1)");
    Exec(db, "INSERT INTO [W] VALUES (2, " + std::string(IsPg() ? "true" : "1") +
                 ", -100, -30000, 2000000000, 1099511627776, 2.5, '2024-02-29 13:45:30', '" + "Ёлка"_ansi + "', '" +
                 "Примечание"_ansi + "', " + (IsPg() ? "'\\x00ff10'::bytea" : "X'00FF10'") + ")");
    // Beyond the column types' ranges: a NUMERIC(5,0) and an SQLite smallint hold 99999.
    Exec(db, "INSERT INTO [W] ([ID], [T], [S]) VALUES (3, 300, 99999)");
    Exec(db, "INSERT INTO [W] ([ID], [I]) VALUES (4, 9999999999)");
  }
  // Copies a filled wide table of a new source database into dst through the copy engine; row
  // errors are collected without a dialog.
  void CopyWideTable(TCopyBaseFrame& frame, const IOrvDbPtr& dst) {
    IOrvDbPtr src = NewDb("src");
    CreateWideTable(src);
    FillWideTable(src);
    frame.Init("Копирование"_ansi, src, dst);
    frame.AddTable("W", "Значения"_ansi, false);
    frame.HideWarnings = true;
    frame.Execute();
  }
  testsupport::TempDir FDir;
};

std::string Names(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += s + ",";
  return out;
}

}  // namespace

// --- transactions ------------------------------------------------------------------------------

TEST_P(AdoBackend, CommitAndRollbackDropEveryStatementsResultButNotOtherDatabases) {
  IOrvDbPtr db = NewDb();
  IOrvDbPtr other = NewDb("other");
  for (const IOrvDbPtr& d : {db, other}) {
    CreateSysTable(d.get(), "T", {{"ID", dftInt32, 0, true}}, {{"T_PK", "ID", dioPrimary | dioUnique}});
    BuildInsertSQL(d.get(), "T", {"ID"})->Execute({IntParam(1)});
    BuildInsertSQL(d.get(), "T", {"ID"})->Execute({IntParam(2)});
  }
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    IOrvDbSQLPtr cursor = OpenTableSQL(db.get(), "T");
    IOrvDbSQLPtr second = OpenTableSQL(db.get(), "T");
    IOrvDbSQLPtr elsewhere = OpenTableSQL(other.get(), "T");
    db->StartTransaction();
    BuildInsertSQL(db.get(), "T", {"ID"})->Execute({IntParam(commit ? 10 : 11)});
    if (commit)
      db->Commit();
    else
      db->Rollback();
    ExpectClosed([&] { cursor->Eof(); });
    ExpectClosed([&] { second->GetValue(Variant(int32_t(0))); });
    ExpectClosed([&] { second->Next(); });
    EXPECT_FALSE(elsewhere->Eof());
    EXPECT_EQ(elsewhere->AsInt32(Variant("ID")), 1);
  }
  EXPECT_EQ(Count(db, "T"), 3);  // the committed row stays, the rolled back one is gone
}

TEST_P(AdoBackend, TransactionsAreCountedAndEndWithoutOneIsTheDriversError) {
  IConnParamsPtr params = NewParams();
  IOrvDbPtr db = ConnectDb(params.get(), true);
  CreateSysTable(db.get(), "T", {{"ID", dftInt32, 0, true}}, {{"T_PK", "ID", dioPrimary | dioUnique}});
  EXPECT_FALSE(db->InTransaction());
  db->StartTransaction();
  db->StartTransaction();
  EXPECT_EQ(Ado(db)->TransCount(), 2);
  BuildInsertSQL(db.get(), "T", {"ID"})->Execute({IntParam(1)});
  db->Commit();
  EXPECT_TRUE(db->InTransaction());
  EXPECT_EQ(Ado(db)->TransCount(), 1);
  BuildInsertSQL(db.get(), "T", {"ID"})->Execute({IntParam(2)});
  db->Rollback();  // the whole outer transaction, the inner level's row with it
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Count(db, "T"), 0);
  EXPECT_THROW(db->Commit(), EAdoError);
  EXPECT_EQ(Ado(db)->TransCount(), 0);
  // Close forgets an open transaction (rolled back) and the counter with it.
  db->StartTransaction();
  BuildInsertSQL(db.get(), "T", {"ID"})->Execute({IntParam(3)});
  db->Close();
  EXPECT_FALSE(db->InTransaction());
  db->Open(params.get());
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Count(db, "T"), 0);
}

// A commit the engine refuses (SQLite: another connection still reads the file; PostgreSQL: a
// deferred unique key) raises the engine's own error and leaves nothing pending: neither a later
// bracket nor the disconnect makes the refused row permanent, and the database goes on working.
TEST_P(AdoBackend, ARefusedCommitRaisesTheEnginesErrorAndLeavesNothingPending) {
  IConnParamsPtr params = NewParams();
  if (!IsPg())  // the driver waits 100 s for a lock unless told otherwise
    params->SetValue("CONNECTIONSTRING", GetConnParam(params.get(), "CONNECTIONSTRING", "") + ";Timeout=200");
  IOrvDbPtr db = ConnectDb(params.get(), true);
  Exec(db, IsPg() ? "CREATE TABLE [T] ([ID] int4 UNIQUE DEFERRABLE INITIALLY DEFERRED)" : "CREATE TABLE [T] ([ID] integer)");
  IOrvDbPtr reader = ConnectDb(params.get(), true);
  if (!IsPg()) {
    reader->StartTransaction();
    Count(reader, "T");  // holds the file's shared lock until its transaction ends
  }
  db->StartTransaction();
  for (int i = 0; i < (IsPg() ? 2 : 1); ++i) Exec(db, "INSERT INTO [T] VALUES (1)");
  try {
    db->Commit();
    ADD_FAILURE() << "the commit was not refused";
  } catch (const EAdoError& e) {
    EXPECT_NE(e.Message().find(IsPg() ? "23505" : "locked"), std::string::npos) << AnsiToUtf8(e.Message());
  }
  EXPECT_FALSE(db->InTransaction());
  EXPECT_EQ(Ado(db)->TransCount(), 0);
  if (!IsPg()) reader->Rollback();
  db->StartTransaction();
  db->Commit();
  Exec(db, "INSERT INTO [T] VALUES (2)");  // outside a bracket: permanent at once
  db->Close();
  EXPECT_EQ(Count(reader, "T"), 1);
}

// --- connection ----------------------------------------------------------------------------

TEST_P(AdoBackend, OpenTakesIntegerTimeoutsOnlyAndReadsTheTypesAgainAfterReopening) {
  IConnParamsPtr params = NewParams();
  params->SetValue("CONNECTION_TIMEOUT", "abc");
  IOrvDbPtr db = ConnectDb(params.get(), true);
  EXPECT_EQ(Ado(db)->Connection()->ConnectionTimeout(), 15);
  EXPECT_EQ(Ado(db)->Connection()->CommandTimeout(), 600);
  EXPECT_FALSE(db->IsLocal());
  TAdoTypes* first = &Ado(db)->GetProviderTypes();
  EXPECT_GT(first->Count(), 10);
  EXPECT_EQ(&Ado(db)->GetProviderTypes(), first);
  db->Close();
  params->SetValue("CONNECTION_TIMEOUT", "7");
  params->SetValue("COMMAND_TIMEOUT", "42");
  db->Open(params.get());
  EXPECT_EQ(Ado(db)->Connection()->ConnectionTimeout(), 7);
  EXPECT_EQ(Ado(db)->Connection()->CommandTimeout(), 42);
  EXPECT_GT(Ado(db)->GetProviderTypes().Count(), 10);
}

TEST_P(AdoBackend, ARefusedConnectionGivesTheDriversMessage) {
  auto expectRefused = [](const std::string& connectionString, const std::string& part) {
    auto params = CreateConnParams({"ENGINE", "oledb", "CONNECTIONSTRING", connectionString});
    try {
      ConnectDb(params.get(), true);
      ADD_FAILURE() << connectionString;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(part), std::string::npos) << AnsiToUtf8(e.Message());
    }
  };
  expectRefused("DRIVER={No Such Driver};Database=x", "No Such Driver");
  if (IsPg()) {
    std::string cs = "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::string(std::getenv("COPYORVEL_PG_PORT")) +
                     ";Database=postgres;Uid=nobody_here;Pwd=";
    expectRefused(cs, "nobody_here");
  } else {
    expectRefused("DRIVER=SQLite3;Database=" + FDir / "no/such/folder/x.db", "[");
  }
}

// --- types ---------------------------------------------------------------------------------

TEST_P(AdoBackend, EachFieldTypeGetsTheEnginesTypeAndDateTimeKeepsTheTimeOfDay) {
  IOrvDbPtr db = NewDb();
  TAdoTypes& types = Ado(db)->GetProviderTypes();
  std::vector<std::string> chosen;
  for (int t = dftUnknown; t <= dftBlob; ++t) {
    TAdoType* type = ChooseProviderType(types, static_cast<TOrvDbFieldType>(t));
    chosen.push_back(type ? type->TypeName : "-");
  }
  // unknown, bool, int8, uint8, int16, uint16, int32, uint32, int64, uint64, single, double,
  // currency, date-time, string, memo, blob
  if (IsPg())
    EXPECT_EQ(Names(chosen), "-,bool,int2,int2,int2,int4,int4,int8,int8,-,float4,float8,float8,timestamptz,varchar,text,bytea,");
  else
    EXPECT_EQ(Names(chosen),
              "-,bit,tinyint,smallint,smallint,integer,integer,bigint,bigint,-,float,float,float,timestamp,varchar,text,"
              "longvarbinary,");
  // Every type that has one round-trips through DDL to the same field type, dates with their time.
  IOrvDbTableDefPtr def = db->GetTableDef("");
  def->SetTableName("ALLT");
  std::vector<TOrvDbFieldType> created;
  for (int t = dftBoolean; t <= dftBlob; ++t)
    if (ChooseProviderType(types, static_cast<TOrvDbFieldType>(t)) != nullptr) {
      def->AddField({"F" + std::to_string(t), static_cast<TOrvDbFieldType>(t), t == dftString ? 30 : 0, false});
      created.push_back(static_cast<TOrvDbFieldType>(t));
    }
  def->ApplyChanges();
  const TDateTime stamp = EncodeDate(2023, 10, 29) + EncodeTime(2, 30, 15, 0);
  BuildInsertSQL(db.get(), "ALLT", {"F13"})->Execute({{dftDateTime, Variant::FromDateTime(stamp)}});
  IOrvDbSQLPtr q = OpenTableSQL(db.get(), "ALLT");
  EXPECT_DOUBLE_EQ(q->AsDateTime(Variant("F13")), stamp);
  std::map<TOrvDbFieldType, TOrvDbFieldType> read;
  for (TOrvDbFieldType t : created) read[t] = q->FieldType(Variant("F" + std::to_string(t)));
  q->Close();
  // The unsigned and narrower types come back as the wider signed type they were created as.
  EXPECT_EQ(read[dftBoolean], dftBoolean);
  EXPECT_EQ(read[dftInt16], dftInt16);
  EXPECT_EQ(read[dftInt32], dftInt32);
  EXPECT_EQ(read[dftInt64], dftInt64);
  EXPECT_EQ(read[dftDouble], dftDouble);
  EXPECT_EQ(read[dftDateTime], dftDateTime);
  EXPECT_EQ(read[dftString], dftString);
  EXPECT_EQ(read[dftMemo], dftMemo);
  EXPECT_EQ(read[dftBlob], dftBlob);
  EXPECT_EQ(read[dftUInt16], dftInt32);
}

TEST_P(AdoBackend, DdlErrorsNameTheStatementAndUnsupportedTypesSendNothing) {
  IOrvDbPtr db = NewDb();
  IOrvDbTableDefPtr def = db->GetTableDef("");
  def->SetTableName("U");
  def->AddField({"A", dftInt32, 0, false});
  def->AddField({"B", dftUInt64, 0, false});
  try {
    def->ApplyChanges();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка создания таблицы: база данных не поддерживает тип поля"_ansi);
  }
  EXPECT_FALSE(db->TableExists("U"));
  IOrvDbTableDefPtr empty = db->GetTableDef("");
  empty->SetTableName("E");
  EXPECT_THROW(empty->ApplyChanges(), Exception);
  // An index on a column that does not exist: the table stays, the message ends with the text.
  IOrvDbTableDefPtr bad = db->GetTableDef("");
  bad->SetTableName("BADIX");
  bad->AddField({"A", dftInt32, 0, true});
  bad->AddIndex({"BADIX_PK", "A", dioPrimary | dioUnique});
  bad->AddIndex({"BADIX_Q", "NOPE", dioUnique});
  try {
    bad->ApplyChanges();
    FAIL();
  } catch (const Exception& e) {
    const std::string l = IsPg() ? "\"" : "[", r = IsPg() ? "\"" : "]";
    const std::string tail = "\r\nSQL: CREATE UNIQUE INDEX " + l + "BADIX_Q" + r + " ON " + l + "BADIX" + r + " (" + l +
                             "NOPE" + r + ")";
    ASSERT_GE(e.Message().size(), tail.size());
    EXPECT_EQ(e.Message().substr(e.Message().size() - tail.size()), tail) << AnsiToUtf8(e.Message());
  }
  EXPECT_TRUE(db->TableExists("BADIX"));
}

TEST_P(AdoBackend, ARenamedTableIsRebuiltUnderItsNewNameWithItsRowsAndIndexes) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "OLDT", {{"ID", dftInt32, 0, true}, {"A", dftString, 10, false}, {"B", dftInt16, 0, false}},
                 {{"OLDT_PK", "ID", dioPrimary | dioUnique}, {"OLDT_AB", "A;B", dioUnique}});
  for (int i = 1; i <= 5; ++i)
    BuildInsertSQL(db.get(), "OLDT", {"ID", "A", "B"})->Execute({IntParam(i), StrParam("a"), {dftInt16, Variant(int16_t(i))}});
  IOrvDbTableDefPtr def = db->GetTableDef("OLDT");
  def->SetTableName("NEWT");
  def->SetIndex(def->IndexOfIndex("OLDT_AB"), {"NEWT_AB", "A;B", dioUnique});
  def->ApplyChanges();
  EXPECT_FALSE(db->TableExists("OLDT"));
  EXPECT_FALSE(db->TableExists("tmp_OLDT"));
  EXPECT_EQ(Count(db, "NEWT"), 5);
  IOrvDbTableDefPtr back = db->GetTableDef("NEWT");
  const int ab = back->IndexOfIndex("NEWT_AB");
  ASSERT_GE(ab, 0);
  EXPECT_EQ(back->GetIndex(ab).Fields, "A;B");
  EXPECT_EQ(back->GetIndex(ab).Options, dioUnique);
  EXPECT_FALSE(back->GetModified());
}

// --- statements ----------------------------------------------------------------------------

TEST_P(AdoBackend, NullsBecomeNullMarkersAndTheOtherParametersStillPairUp) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "P", {{"ID", dftInt32, 0, true}, {"S", dftString, 40, false}, {"N", dftInt32, 0, false}},
                 {{"P_PK", "ID", dioPrimary | dioUnique}});
  IOrvDbSQLPtr ins = BuildInsertSQL(db.get(), "P", {"S", "N", "ID"});
  ins->Execute({{dftString, Variant::Null()}, IntParam(7), IntParam(1)});
  // An untyped first element: it goes by its value's own type, and the typed ones still bind.
  ins->Execute({{dftUnknown, Variant("untyped")}, IntParam(8), IntParam(2)});
  ins->Execute({{dftUnknown, Variant::Null()}, {dftUnknown, Variant(int32_t(9))}, IntParam(3)});
  // A "?" and a "[" inside a literal are text; the marker after the literal takes the first value.
  db->CreateSQL("INSERT INTO [P] ([ID], [S]) VALUES (?, '[?]')")->Execute({IntParam(4)});
  IOrvDbSQLPtr q = db->CreateSQL("SELECT [S], [N] FROM [P] ORDER BY [ID]");
  q->Execute({});
  std::vector<std::string> rows;
  for (; !q->Eof(); q->Next())
    rows.push_back((q->GetValue(Variant(int32_t(0))).IsNull() ? "null" : q->AsString(Variant(int32_t(0)))) + "/" +
                   q->AsString(Variant(int32_t(1))));
  EXPECT_EQ(Names(rows), "null/7,untyped/8,null/9,[?]/,");
  // More markers than values: refused before anything is sent.
  try {
    ins->Execute({IntParam(5), IntParam(5)});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка выполнения запроса: в тексте запроса знаков «?» 3, а параметров задано 2"_ansi);
  }
  EXPECT_EQ(Count(db, "P"), 4);
}

// A statement run again keeps what it made for the last run only while that still fits: its
// text, which elements are Null, their field types, the database's opening; a refused run leaves
// it usable.
TEST_P(AdoBackend, AStatementRunAgainFollowsItsTextItsElementsAndTheDatabase) {
  IConnParamsPtr connection = NewParams();
  IOrvDbPtr db = ConnectDb(connection.get(), true);
  Exec(db, "CREATE TABLE [A] ([ID] integer PRIMARY KEY, [V] varchar(20))");
  Exec(db, "CREATE TABLE [B] ([ID] integer, [W] varchar(20))");
  const std::string intoA = "INSERT INTO [A] ([ID], [V]) VALUES (?, ?)";
  const std::string intoB = "INSERT INTO [B] ([ID], [W]) VALUES (?, ?)";
  auto text = [](const std::string& s) { return TOrvDbParam{dftString, Variant(s)}; };
  struct Step {
    std::string sql;
    TOrvDbParams params;
    bool reopenFirst = false;
    bool refused = false;
  };
  const Step steps[] = {
      {intoA, {IntParam(1), text("один"_ansi)}},
      {intoA, {IntParam(2), {dftString, Variant::Null()}}},
      {intoA, {IntParam(3), IntParam(33)}},
      {intoA, {IntParam(4), text("4.5e1")}},
      {intoA, {IntParam(4), text("again")}, false, true},
      {intoA, {IntParam(5), text("пять"_ansi)}},
      {intoB, {IntParam(6), text("шесть"_ansi)}},
      {intoB, {IntParam(7), text("семь"_ansi)}, true},
      {intoA, {IntParam(8), {dftUnknown, Variant("восемь"_ansi)}}},
  };
  IOrvDbSQLPtr s = db->CreateSQL("");
  for (const Step& step : steps) {
    SCOPED_TRACE(&step - steps);
    if (step.reopenFirst) {
      db->Close();
      db->Open(connection.get());
    }
    s->SetSQL(step.sql);
    if (step.refused) {
      EXPECT_THROW(s->Execute(step.params), Exception);
    } else {
      s->Execute(step.params);
      EXPECT_EQ(s->RowsAffected(), 1);
    }
  }
  auto rows = [&](const std::string& sql) {
    IOrvDbSQLPtr q = db->CreateSQL(sql);
    q->Execute({});
    std::vector<std::string> out;
    for (; !q->Eof(); q->Next()) {
      std::string row;
      for (int i = 0; i < q->FieldCount(); ++i)
        row += (i ? "/" : "") + (q->GetValue(Variant(int32_t(i))).IsNull() ? "null" : q->AsString(Variant(int32_t(i))));
      out.push_back(row);
    }
    return Names(out);
  };
  EXPECT_EQ(rows("SELECT [ID], [V] FROM [A] ORDER BY [ID]"), "1/один,2/null,3/33,4/4.5e1,5/пять,8/восемь,"_ansi);
  EXPECT_EQ(rows("SELECT [ID], [W] FROM [B] ORDER BY [ID]"), "6/шесть,7/семь,"_ansi);
}

TEST_P(AdoBackend, AStatementsResultLivesUntilCloseOrTheNextExecute) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "R", {{"ID", dftInt32, 0, true}}, {{"R_PK", "ID", dioPrimary | dioUnique}});
  for (int i = 1; i <= 3; ++i) BuildInsertSQL(db.get(), "R", {"ID"})->Execute({IntParam(i)});
  IOrvDbSQLPtr q = db->CreateSQL("SELECT [ID] FROM [R] WHERE [ID] >= ? ORDER BY [ID]");
  EXPECT_EQ(q->RowsAffected(), 0);
  ExpectClosed([&] { q->Eof(); });
  q->Execute({IntParam(2)});
  EXPECT_EQ(q->AsInt32(Variant(int32_t(0))), 2);
  EXPECT_EQ(q->FieldIndex("id"), 0);
  EXPECT_EQ(q->FieldIndex("NONE"), -1);
  q->Execute({IntParam(3)});
  EXPECT_EQ(q->AsInt32(Variant("ID")), 3);
  q->Next();
  EXPECT_TRUE(q->Eof());
  IOrvDbSQLPtr upd = db->CreateSQL("UPDATE [R] SET [ID] = [ID] + 10");
  upd->Execute({});
  EXPECT_EQ(upd->RowsAffected(), 3);
  upd->Close();
  upd->Close();
  EXPECT_EQ(upd->RowsAffected(), 3);
  q->Close();
  ExpectClosed([&] { q->AsInt32(Variant(int32_t(0))); });
  ExpectClosed([&] { q->FieldCount(); });
}

TEST_P(AdoBackend, NullsReadAsNullAndIntegersBeyondTheirTypeReadExactly) {
  IOrvDbPtr db = NewDb();
  CreateWideTable(db);
  FillWideTable(db);
  IOrvDbSQLPtr q = db->CreateSQL("SELECT * FROM [W] ORDER BY [ID]");
  q->Execute({});
  EXPECT_EQ(q->FieldType(Variant("T")), IsPg() ? dftInt16 : dftInt8);
  EXPECT_EQ(q->FieldType(Variant("S")), dftInt16);
  EXPECT_EQ(q->FieldType(Variant("I")), dftInt32);
  // Row 1: every column but the key is Null, whatever its type; the typed getters give 0 and "".
  // A memo or blob is read once a row.
  for (const char* c : {"B", "T", "S", "I", "G", "F", "D", "C"}) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(q->GetValue(Variant(c)).IsNull());
    EXPECT_EQ(q->AsString(Variant(c)), "");
    EXPECT_EQ(q->AsBlob(Variant(c)), "");
  }
  EXPECT_TRUE(q->GetValue(Variant("M")).IsNull());
  EXPECT_EQ(q->AsBlob(Variant("X")), "");
  EXPECT_FALSE(q->AsBoolean(Variant("B")));
  EXPECT_EQ(q->AsInt32(Variant("I")), 0);
  EXPECT_EQ(q->AsInt16(Variant("S")), 0);
  EXPECT_EQ(q->AsDouble(Variant("F")), 0.0);
  EXPECT_EQ(q->AsDateTime(Variant("D")), 0.0);
  q->Next();
  // Row 2: values in range, each in the type of its column.
  EXPECT_EQ(q->GetValue(Variant("B")), Variant(true));
  EXPECT_EQ(q->GetValue(Variant("S")), Variant(int16_t(-30000)));
  EXPECT_EQ(q->GetValue(Variant("I")), Variant(int32_t(2000000000)));
  EXPECT_EQ(q->GetValue(Variant("G")).ToInt64(), int64_t(1) << 40);
  EXPECT_EQ(q->GetValue(Variant("X")), Variant(std::string("\x00\xff\x10", 3)));
  EXPECT_THROW(q->GetValue(Variant("X")), Exception);  // handed on, not kept: never a wrong value
  EXPECT_EQ(q->GetValue(Variant("C")), Variant("Ёлка"_ansi));
  EXPECT_DOUBLE_EQ(q->GetValue(Variant("D")).ToDateTime(), EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 0));
  q->Next();
  // Row 3: beyond the types' ranges. GetValue gives the stored value; the typed getters keep
  // their low bits.
  EXPECT_EQ(q->GetValue(Variant("T")).ToInt64(), 300);
  EXPECT_EQ(q->GetValue(Variant("S")).ToInt64(), 99999);
  EXPECT_EQ(q->AsInt8(Variant("T")), 44);
  EXPECT_EQ(q->AsUInt8(Variant("T")), 44);
  EXPECT_EQ(q->AsInt16(Variant("S")), static_cast<int16_t>(99999));
  q->Next();
  EXPECT_EQ(q->GetValue(Variant("I")).ToInt64(), 9999999999LL);
  EXPECT_THROW(q->AsInt32(Variant("I")), EVariantTypeCastError);
}

// Values longer than any one piece the layer reads at a time arrive whole through every getter.
TEST_P(AdoBackend, LongValuesArriveWholeThroughEveryGetter) {
  IOrvDbPtr db = NewDb();
  CreateSysTable(db.get(), "L", {{"ID", dftInt32, 0, true}, {"X", dftBlob, 0, false}, {"M", dftMemo, 0, false}},
                 {{"L_PK", "ID", dioPrimary | dioUnique}});
  const std::size_t size = (std::size_t(80) << 20) + 3;
  std::string blob(size, '\0'), text(size, 'a');
  for (std::size_t i = 0; i < size; ++i) blob[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (std::size_t i = 0; i < size; i += 1000) text[i] = '\xE6';  // Cyrillic "ж"
  BuildInsertSQL(db.get(), "L", {"ID", "X", "M"})->Execute({IntParam(1), {dftBlob, Variant(blob)}, {dftMemo, Variant(text)}});
  using Getter = std::string (*)(IOrvDbSQL&, const Variant&);
  const struct {
    const char* column;
    const char* how;
    Getter get;
    const std::string& expected;
  } reads[] = {
      {"X", "GetValue", [](IOrvDbSQL& q, const Variant& c) { return q.GetValue(c).ToString(); }, blob},
      {"X", "AsBlob", [](IOrvDbSQL& q, const Variant& c) { return q.AsBlob(c); }, blob},
      {"X", "AsString", [](IOrvDbSQL& q, const Variant& c) { return q.AsString(c); }, blob},
      {"M", "GetValue", [](IOrvDbSQL& q, const Variant& c) { return q.GetValue(c).ToString(); }, text},
      {"M", "AsBlob", [](IOrvDbSQL& q, const Variant& c) { return q.AsBlob(c); }, text},
      {"M", "AsString", [](IOrvDbSQL& q, const Variant& c) { return q.AsString(c); }, text},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(std::string(r.column) + " " + r.how);
    IOrvDbSQLPtr q = OpenTableSQL(db.get(), "L");
    ASSERT_FALSE(q->Eof());
    const std::string value = r.get(*q, Variant(r.column));
    EXPECT_EQ(value.size(), r.expected.size());
    EXPECT_TRUE(value == r.expected);
  }
}

// The copier moves every value through GetValue: Nulls arrive as Nulls in a Firebird table, the
// values in range arrive as they are, and a value the destination cannot hold is refused with
// the destination's error rather than altered.
TEST_P(AdoBackend, ACopyToFirebirdKeepsNullsAndNeverAltersAValue) {
  IOrvDbPtr dst = ConnectDb(testsupport::NewDatabase(TEngine::FirebirdEmbedded, FDir, "dst").get(), true);
  TCopyBaseFrame frame;
  CopyWideTable(frame, dst);
  ASSERT_EQ(frame.State, csFinished);
  TCopyTableInfo* item = frame.GetTable(0);
  EXPECT_EQ(item->RowCount, 4);
  IOrvDbSQLPtr q = dst->CreateSQL("SELECT * FROM [W] ORDER BY [ID]");
  q->Execute({});
  ASSERT_FALSE(q->Eof());
  for (const char* c : {"B", "T", "S", "I", "G", "F", "D", "C", "M", "X"}) EXPECT_TRUE(q->GetValue(Variant(c)).IsNull()) << c;
  q->Next();
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->AsInt32(Variant("S")), -30000);
  EXPECT_EQ(q->AsInt32(Variant("I")), 2000000000);
  EXPECT_EQ(q->GetValue(Variant("G")).ToInt64(), int64_t(1) << 40);
  EXPECT_EQ(q->AsBlob(Variant("X")), std::string("\x00\xff\x10", 3));
  EXPECT_EQ(q->AsString(Variant("M")), "Примечание"_ansi);
  EXPECT_DOUBLE_EQ(q->AsDateTime(Variant("D")), EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 0));
  // Rows 3 and 4 hold values that SMALLINT and INTEGER columns cannot: each is either refused or
  // stored whole, never cut.
  std::vector<int32_t> stored;
  for (q->Next(); !q->Eof(); q->Next()) {
    const int32_t id = q->AsInt32(Variant("ID"));
    stored.push_back(id);
    if (id == 3) {
      EXPECT_EQ(q->GetValue(Variant("S")).ToInt64(), 99999);
    } else if (id == 4) {
      EXPECT_EQ(q->GetValue(Variant("I")).ToInt64(), 9999999999LL);
    }
  }
  EXPECT_EQ(item->Copied, 2 + static_cast<int32_t>(stored.size()));
  EXPECT_EQ(item->Errors->Count(), 2 - static_cast<int>(stored.size()));
}

// A copy between two ODBC tables that hold anything: the values beyond the types arrive whole.
TEST_P(AdoBackend, ACopyToAnEngineThatHoldsTheValueKeepsItWhole) {
  IOrvDbPtr dst = ConnectDb(testsupport::NewDatabase(TEngine::SqliteOdbc, FDir, "dst").get(), true);
  TCopyBaseFrame frame;
  CopyWideTable(frame, dst);
  ASSERT_EQ(frame.State, csFinished);
  EXPECT_EQ(frame.GetTable(0)->Copied, 4);
  IOrvDbSQLPtr q = dst->CreateSQL("SELECT * FROM [W] WHERE [ID] >= 3 ORDER BY [ID]");
  q->Execute({});
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->GetValue(Variant("T")).ToInt64(), 300);
  EXPECT_EQ(q->GetValue(Variant("S")).ToInt64(), 99999);
  EXPECT_TRUE(q->GetValue(Variant("B")).IsNull());
  EXPECT_TRUE(q->GetValue(Variant("X")).IsNull());
  q->Next();
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->GetValue(Variant("I")).ToInt64(), 9999999999LL);
}

// The engine's own client sees the catalogue tables as the back-end made them.
TEST_P(AdoBackend, TheEnginesOwnClientSeesTheCatalogueTables) {
  IConnParamsPtr params = NewParams();
  {
    IOrvDbPtr db = ConnectDb(params.get(), true);
    CreateMapsTable(db.get());
    db->Close();
  }
  std::string database;
  for (const auto& [key, value] : ParseOdbcConnectionString(GetConnParam(params.get(), "CONNECTIONSTRING", "")))
    if (SameText(key, "Database")) database = value;
  const std::string command =
      IsPg() ? "psql -X -A -t -h 127.0.0.1 -p " + std::string(std::getenv("COPYORVEL_PG_PORT")) + " -U postgres -d " +
                   database + " -c \"SELECT indexdef FROM pg_indexes WHERE tablename='ORVEL_MAPS' ORDER BY indexname\""
             : "sqlite3 " + database + " .schema";
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) out += buf;
  EXPECT_EQ(pclose(pipe), 0) << out;
  EXPECT_NE(out.find("ORVEL_MAPS_GPID"), std::string::npos) << out;
  if (IsPg()) {
    EXPECT_NE(out.find("UNIQUE INDEX \"ORVEL_MAPS_pkey\""), std::string::npos) << out;
  } else {
    EXPECT_NE(out.find("PRIMARY KEY"), std::string::npos) << out;
    EXPECT_NE(out.find("[MAPNAME] varchar(65)"), std::string::npos) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, AdoBackend, ::testing::Values(TEngine::SqliteOdbc, TEngine::PostgresOdbc),
                         [](const auto& p) { return testsupport::EngineName(p.param); });

// SQLite's driver gives a double with 15 digits, so that the largest ones print past the largest
// double; they read as the largest of their sign and a copy into a Paradox folder keeps them,
// while a stored infinity reads, and is refused there, as what it is.
TEST(AdoSqliteDoubles, TheLargestStayFiniteAndAnInfinityStaysInfinite) {
  constexpr double kMax = std::numeric_limits<double>::max(), kInf = std::numeric_limits<double>::infinity();
  const struct {
    const char* stored;  // as SQLite reads it: 9e999 is its infinity
    double read;
  } values[] = {
      {"1.7976931348623157e308", kMax}, {"-1.7976931348623157e308", -kMax},
      // 15 digits tell it from the largest no more.
      {"1.7976931348623155e308", kMax}, {"-1.7976931348623155e308", -kMax},
      {"9e999", kInf}, {"-9e999", -kInf}, {"-12345.678", -12345.678},
  };
  testsupport::TempDir dir;
  IOrvDbPtr src = ConnectDb(testsupport::NewDatabase(TEngine::SqliteOdbc, dir, "src").get(), true);
  src->CreateSQL("CREATE TABLE [D] ([ID] integer PRIMARY KEY, [V] double)")->Execute({});
  for (size_t i = 0; i < std::size(values); ++i)
    src->CreateSQL("INSERT INTO [D] VALUES (" + std::to_string(i) + ", " + values[i].stored + ")")->Execute({});
  IOrvDbSQLPtr q = src->CreateSQL("SELECT [V], [V] AS [W] FROM [D] ORDER BY [ID]");
  q->Execute({});
  for (const auto& v : values) {
    SCOPED_TRACE(v.stored);
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ(q->GetValue(Variant("V")).ToDouble(), v.read);
    EXPECT_EQ(q->AsDouble(Variant("W")), v.read);
    q->Next();
  }
  q->Close();

  IOrvDbPtr dst = ConnectDb(testsupport::NewDatabase(TEngine::ParadoxFolder, dir, "dst").get(), true);
  TCopyBaseFrame frame;
  frame.Init("Копирование"_ansi, src, dst);
  frame.AddTable("D", "Числа"_ansi, false);
  frame.HideWarnings = true;
  frame.Execute();
  EXPECT_EQ(frame.GetTable(0)->Copied, 5);
  EXPECT_EQ(frame.GetTable(0)->Errors->Count(), 2);
  IOrvDbSQLPtr copied = dst->CreateSQL("SELECT [ID], [V] FROM [D] ORDER BY [ID]");
  copied->Execute({});
  for (; !copied->Eof(); copied->Next())
    EXPECT_EQ(copied->AsDouble(Variant("V")), values[copied->AsInt32(Variant("ID"))].read);
}

// --- the parts that need no engine ------------------------------------------------------------

TEST(AdoTypeMap, CandidatesWinInTheirOrderAndFlagsMustMatch) {
  TAdoTypes types;
  auto add = [&](int32_t code, TAdoTypeFlags flags, const char* name) {
    auto* t = new TAdoType;
    t->DataType = code;
    t->Flags = flags;
    t->TypeName = name;
    types.Add(t);
  };
  add(adUnsignedSmallInt, 0, "usmall");
  add(adSmallInt, 0, "small");
  add(adWChar, atfFixedLength, "nchar");
  add(adWChar, atfLong, "ntext");
  add(adBinary, 0, "varbinary");
  add(adBinary, atfLong | atfFixedLength, "image");
  add(adNumeric, 0, "numeric");
  EXPECT_EQ(ChooseProviderType(types, dftInt8)->TypeName, "small");
  EXPECT_EQ(ChooseProviderType(types, dftInt32)->TypeName, "numeric");
  EXPECT_EQ(ChooseProviderType(types, dftString), nullptr);
  EXPECT_EQ(ChooseProviderType(types, dftMemo)->TypeName, "ntext");
  EXPECT_EQ(ChooseProviderType(types, dftBlob)->TypeName, "image");
  EXPECT_EQ(ChooseProviderType(types, dftInt64), nullptr);
  EXPECT_EQ(ChooseProviderType(types, dftDateTime), nullptr);
  EXPECT_EQ(ChooseProviderType(types, static_cast<TOrvDbFieldType>(17)), nullptr);
  EXPECT_EQ(VarToIntDef(Variant::Null(), 7), 7);
  EXPECT_EQ(VarToIntDef(Variant("12"), 0), 12);
  EXPECT_TRUE(VarToBoolDef(Variant(), true));
}

TEST(AdoNullMarkers, OnlyMarkersOutsideLiteralsCount) {
  TOrvDbParams params = {{dftString, Variant::Null()}, IntParam(1)};
  EXPECT_EQ(SubstituteNullParams("A=? AND B='?' AND \"C?\"=?", params), "A=NULL AND B='?' AND \"C?\"=?");
  EXPECT_THROW(SubstituteNullParams("?,?,?", params), Exception);
  EXPECT_EQ(SubstituteNullParams("DROP TABLE [X]", {}), "DROP TABLE [X]");
}
