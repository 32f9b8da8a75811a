// Table objects: creation from field and index definitions, reading them back, existence, drop.
#include <set>

#include "tests/ibx/IBXFixture.h"

using namespace ibxtest;

namespace {

std::unique_ptr<TIBTable> TableOf(TIBDatabase& db, const std::string& name) {
  auto t = std::make_unique<TIBTable>();
  t->SetDatabase(&db);
  t->SetTransaction(db.DefaultTransaction());
  t->SetTableName(name);
  return t;
}

}  // namespace

TEST_P(IBXTest, CreateTableReadsBackFieldsAndIndexes) {
  auto db = CreateDb();
  auto t = TableOf(*db, "OBJECTS");
  EXPECT_FALSE(t->Exists());
  TFieldDefs& f = t->FieldDefs();
  f.Add("ID", ftInteger, 0, true);
  f.Add("CODE", ftString, 20, true);
  f.Add("KIND", ftSmallint);
  f.Add("FLAG", ftBoolean);
  f.Add("WORD", ftWord);
  f.Add("BIG", ftLargeint);
  f.Add("X", ftFloat);
  f.Add("PRICE", ftCurrency);
  f.Add("BORN", ftDate);
  f.Add("AT", ftTime);
  f.Add("STAMP", ftDateTime);
  f.Add("NOTE", ftMemo);
  f.Add("PIC", ftBlob);
  f.Add("FIXED", ftFixedChar, 4);
  TIndexDefs& ix = t->IndexDefs();
  ix.Add("OBJECTS_PK", "ID;CODE", {ixPrimary});
  ix.Add("OBJECTS_KIND", "KIND; STAMP", {});
  ix.Add("OBJECTS_X", "X", {ixUnique, ixDescending});
  t->CreateTable();
  db->DefaultTransaction()->CommitRetaining();
  EXPECT_TRUE(t->Exists());

  auto r = TableOf(*db, "OBJECTS");
  r->FieldDefs().Update();
  const TFieldDefs& rf = r->FieldDefs();
  ASSERT_EQ(rf.Count(), 14);
  struct Expected {
    const char* name;
    TFieldType type;
    int size;
    bool required;
  } expected[] = {{"ID", ftInteger, 0, true},     {"CODE", ftString, 20, true},
                  {"KIND", ftSmallint, 0, false}, {"FLAG", ftSmallint, 0, false},
                  {"WORD", ftInteger, 0, false},  {"BIG", ftLargeint, 0, false},
                  {"X", ftFloat, 0, false},       {"PRICE", ftBCD, 4, false},
                  {"BORN", ftDateTime, 0, false}, {"AT", ftDateTime, 0, false},
                  {"STAMP", ftDateTime, 0, false}, {"NOTE", ftMemo, 0, false},
                  {"PIC", ftBlob, 0, false},      {"FIXED", ftString, 4, false}};
  for (int i = 0; i < rf.Count(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(rf[i].Name, expected[i].name);
    EXPECT_EQ(rf[i].DataType, expected[i].type) << FieldTypeName(rf[i].DataType);
    EXPECT_EQ(rf[i].Size, expected[i].size);
    EXPECT_EQ(rf[i].Required, expected[i].required);
  }

  r->IndexDefs().Update();
  const TIndexDefs& ri = r->IndexDefs();
  ASSERT_EQ(ri.Count(), 3);
  EXPECT_EQ(ri[0].Name, "OBJECTS_PK");
  EXPECT_EQ(ri[0].Fields, "ID;CODE");
  EXPECT_TRUE(ri[0].Options.Contains(ixPrimary));
  EXPECT_TRUE(ri[0].Options.Contains(ixUnique));
  EXPECT_EQ(ri[1].Name, "OBJECTS_KIND");
  EXPECT_EQ(ri[1].Fields, "KIND;STAMP");
  EXPECT_TRUE(ri[1].Options.Empty());
  EXPECT_EQ(ri[2].Fields, "X");
  EXPECT_EQ(ri[2].Options, (TIndexOptions{ixUnique, ixDescending}));
  EXPECT_NE(ri.Find("objects_x"), nullptr);

  // Every column type the table got is one the back-end's catalogue load knows (16, the 64-bit
  // integer, read with its scale).
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText(
      "SELECT F.RDB$FIELD_TYPE FROM RDB$RELATION_FIELDS RF JOIN RDB$FIELDS F "
      "ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE WHERE RF.RDB$RELATION_NAME = 'OBJECTS'");
  const std::set<int> known = {7, 8, 9, 10, 11, 16, 27, 35, 37, 261};
  for (q.ExecQuery(); !q.Eof(); q.Next()) EXPECT_TRUE(known.count(q.Fields(0).AsLong())) << q.Fields(0).AsLong();

  // The primary key refuses a duplicate, the unique index too.
  Exec(*db, "INSERT INTO OBJECTS (ID, CODE, X) VALUES (1, 'a', 1)");
  EXPECT_THROW(Exec(*db, "INSERT INTO OBJECTS (ID, CODE, X) VALUES (1, 'a', 2)"), EIBInterBaseError);
  EXPECT_THROW(Exec(*db, "INSERT INTO OBJECTS (ID, CODE, X) VALUES (2, 'a', 1)"), EIBInterBaseError);

  t->DeleteTable();
  db->DefaultTransaction()->CommitRetaining();
  EXPECT_FALSE(t->Exists());
}

TEST_P(IBXTest, TableNamesKeepCaseAndCyrillicAndOptionalFieldsAllowNulls) {
  auto db = CreateDb();
  const std::string name = "Слои_Карты"_ansi;
  auto t = TableOf(*db, name);
  t->FieldDefs().Add("Имя"_ansi, ftString, 30);
  t->FieldDefs().Add("Key", ftInteger, 0, true);
  t->IndexDefs().Add("", "Key", {ixPrimary});  // unnamed: the engine names it
  t->IndexDefs().Add("Слои_Имя"_ansi, "Имя"_ansi, {});
  t->CreateTable();
  db->DefaultTransaction()->CommitRetaining();
  EXPECT_TRUE(t->Exists());
  EXPECT_FALSE(TableOf(*db, "слои_карты"_ansi)->Exists());  // names are kept exactly

  auto r = TableOf(*db, name);
  r->FieldDefs().Update();
  ASSERT_EQ(r->FieldDefs().Count(), 2);
  EXPECT_EQ(r->FieldDefs()[0].Name, "Имя"_ansi);
  EXPECT_EQ(r->FieldDefs()[0].Size, 30);
  EXPECT_FALSE(r->FieldDefs()[0].Required);
  r->IndexDefs().Update();
  ASSERT_EQ(r->IndexDefs().Count(), 2);
  EXPECT_EQ(r->IndexDefs()[0].Name.rfind("RDB$PRIMARY", 0), 0u) << r->IndexDefs()[0].Name;
  EXPECT_EQ(r->IndexDefs()[0].Fields, "Key");
  EXPECT_EQ(r->IndexDefs()[1].Name, "Слои_Имя"_ansi);
  EXPECT_EQ(r->IndexDefs()[1].Fields, "Имя"_ansi);

  Exec(*db, "INSERT INTO \"" + name + "\" (\"Key\") VALUES (1)");
  r->EmptyTable();
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELECT COUNT(*) FROM \"" + name + "\"");
  q.ExecQuery();
  EXPECT_EQ(q.Fields(0).AsLong(), 0);

  // A table that does not exist has no fields and no indexes.
  auto none = TableOf(*db, "NONE");
  none->FieldDefs().Update();
  none->IndexDefs().Update();
  EXPECT_EQ(none->FieldDefs().Count(), 0);
  EXPECT_EQ(none->IndexDefs().Count(), 0);
  EXPECT_THROW(none->DeleteTable(), EIBInterBaseError);
}

TEST_P(IBXTest, PlainDDLColumnsReadBackIntact) {
  auto db = CreateDb();
  Exec(*db,
       "CREATE TABLE P (N NUMERIC(9,2) NOT NULL, D DATE, T TIME, C CHAR(8), B BIGINT, "
       "S NUMERIC(4,1), U VARCHAR(10) CHARACTER SET UTF8, CONSTRAINT P_UQ UNIQUE (C))");
  db->DefaultTransaction()->CommitRetaining();
  auto t = TableOf(*db, "P");
  t->FieldDefs().Update();
  const TFieldDefs& f = t->FieldDefs();
  ASSERT_EQ(f.Count(), 7);
  EXPECT_EQ(f[0].DataType, ftBCD);
  EXPECT_EQ(f[0].Size, 2);
  EXPECT_EQ(f[0].Precision, 9);
  EXPECT_TRUE(f[0].Required);
  EXPECT_EQ(f[1].DataType, ftDate);
  EXPECT_EQ(f[2].DataType, ftTime);
  EXPECT_EQ(f[3].DataType, ftFixedChar);
  EXPECT_EQ(f[3].Size, 8);
  EXPECT_EQ(f[4].DataType, ftLargeint);
  EXPECT_EQ(f[5].DataType, ftBCD);
  EXPECT_EQ(f[6].Size, 10);  // characters, not bytes
  t->IndexDefs().Update();
  ASSERT_EQ(t->IndexDefs().Count(), 1);
  EXPECT_EQ(t->IndexDefs()[0].Name, "P_UQ");
  EXPECT_TRUE(t->IndexDefs()[0].Options.Contains(ixUnique));
  EXPECT_FALSE(t->IndexDefs()[0].Options.Contains(ixPrimary));

  TIBSQL ins;
  ins.SetDatabase(db.get());
  ins.SQL().SetText("INSERT INTO P VALUES (?, ?, ?, ?, ?, ?, ?)");
  ins.Params()[0].SetAsString("-1234567.89");
  ins.Params()[1].SetAsDateTime(EncodeDate(1858, 11, 17));
  ins.Params()[2].SetAsDateTime(EncodeTime(0, 0, 1, 0));
  ins.Params()[3].SetAsString("12345678");
  ins.Params()[4].SetAsInt64(-9223372036854775807LL - 1);
  ins.Params()[5].SetAsDouble(-0.05);  // rounds away to -0.1 in the engine
  ins.Params()[6].SetAsString("Ёж"_ansi);
  ins.ExecQuery();
  TIBSQL q;
  q.SetDatabase(db.get());
  q.SQL().SetText("SELECT * FROM P");
  q.ExecQuery();
  EXPECT_EQ(q.Fields(0).AsCurrency(), -12345678900LL);
  EXPECT_EQ(q.Fields(0).AsVariant(), Variant::FromCurrencyScaled(-12345678900LL));
  EXPECT_EQ(q.Fields(1).AsDateTime(), EncodeDate(1858, 11, 17));
  EXPECT_NEAR(q.Fields(2).AsDateTime(), EncodeTime(0, 0, 1, 0), 1e-9);
  EXPECT_EQ(q.Fields(3).AsString(), "12345678");
  EXPECT_EQ(q.Fields(4).AsInt64(), -9223372036854775807LL - 1);
  EXPECT_EQ(q.Fields(4).AsVariant(), Variant(int64_t(-9223372036854775807LL - 1)));
  EXPECT_EQ(q.Fields(5).AsString(), "-0.1");
  EXPECT_EQ(q.Fields(6).AsString(), "Ёж"_ansi);
}

TEST_P(IBXTest, UnsupportedFieldTypeAndMissingTransactionAreClearErrors) {
  auto db = CreateDb();
  auto t = TableOf(*db, "BAD");
  t->FieldDefs().Add("A", ftADT);
  EXPECT_THROW(t->CreateTable(), EIBClientError);
  t->FieldDefs().Clear();
  EXPECT_THROW(t->CreateTable(), EIBClientError);  // no fields
  t->FieldDefs().Add("A", ftInteger);
  t->IndexDefs().Add("P1", "A", {ixPrimary});
  t->IndexDefs().Add("P2", "A", {ixPrimary});
  EXPECT_THROW(t->CreateTable(), EIBClientError);
  db->DefaultTransaction()->Commit();
  EXPECT_THROW(t->Exists(), EIBClientError);
}
