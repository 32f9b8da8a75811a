// Statements: parameters and columns of every type, blobs, Cyrillic text, row counts, handles.
#include <random>

#include "tests/ibx/IBXFixture.h"

using namespace ibxtest;

namespace {

const char* const kAllTypes =
    "CREATE TABLE ALLTYPES (ID INTEGER NOT NULL, SI SMALLINT, II INTEGER, BI BIGINT, "
    "FL FLOAT, DB DOUBLE PRECISION, N92 NUMERIC(9,2), N184 NUMERIC(18,4), N156 NUMERIC(15,6), "
    "N41 NUMERIC(4,1), DT DATE, TM TIME, TS TIMESTAMP, CH CHAR(10), VC VARCHAR(50), "
    "BB BLOB SUB_TYPE 0, BT BLOB SUB_TYPE 1, BO BOOLEAN)";

const char* const kInsertAll =
    "INSERT INTO ALLTYPES VALUES (:ID, :SI, :II, :BI, :FL, :DB, :N92, :N184, :N156, :N41, :DT, "
    ":TM, :TS, :CH, :VC, :BB, :BT, :BO)";

std::string RandomBytes(size_t size, unsigned salt) {
  std::mt19937 gen(salt);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

}  // namespace

class IBXStatementTest : public IBXTest {
 protected:
  void SetUp() override {
    IBXTest::SetUp();
    if (IsSkipped()) return;
    FDb = CreateDb();
    Exec(*FDb, kAllTypes);
    FDb->DefaultTransaction()->CommitRetaining();
  }
  void TearDown() override { FDb.reset(); }

  TIBSQL& Query(const std::string& sql) {
    FQuery = std::make_unique<TIBSQL>();
    FQuery->SetDatabase(FDb.get());
    FQuery->SQL().SetText(sql);
    return *FQuery;
  }

  std::unique_ptr<TIBDatabase> FDb;
  std::unique_ptr<TIBSQL> FQuery;
};

TEST_P(IBXStatementTest, EveryTypeRoundTripsThroughTypedSetters) {
  TIBSQL ins;
  ins.SetDatabase(FDb.get());
  ins.SQL().SetText(kInsertAll);
  TIBXSQLDA& p = ins.Params();
  ASSERT_EQ(p.Count(), 18);
  EXPECT_EQ(ins.ProcessedSQL().find(':'), std::string::npos);
  EXPECT_EQ(&ins.ParamByName("vc"), &p[14]);
  TDateTime ts = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 250);
  p[0].SetAsLong(1);
  p[1].SetAsShort(-32768);
  p[2].SetAsLong(2147483647);
  p[3].SetAsInt64(9223372036854775807LL);
  p[4].SetAsFloat(1.5f);
  p[5].SetAsDouble(3.141592653589793);
  p[6].SetAsCurrency(12345678);  // 1234.5678 rounds to 1234.57 in NUMERIC(9,2)
  p[7].SetAsCurrency(-922337203685477LL * 10000 - 5807);
  p[8].SetAsDouble(123456.789012);
  p[9].SetAsString("-99.9");
  p[10].SetAsDateTime(EncodeDate(1800, 1, 1));
  p[11].SetAsDateTime(EncodeTime(23, 59, 59, 999));
  p[12].SetAsDateTime(ts);
  p[13].SetAsString("abc");
  p[14].SetAsString("varying text");
  p[15].SetAsString(std::string("\0\x01\xFF", 3));
  p[16].SetAsString("memo text");
  p[17].SetAsBoolean(true);
  ins.ExecQuery();
  EXPECT_EQ(ins.RowsAffected(), 1);

  TIBSQL& q = Query("SELECT * FROM ALLTYPES");
  q.ExecQuery();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.Current().Count(), 18);
  EXPECT_EQ(q.FieldIndex("n92"), 6);
  EXPECT_EQ(q.Fields(1).AsShort(), -32768);
  EXPECT_EQ(q.Fields(2).AsLong(), 2147483647);
  EXPECT_EQ(q.Fields(3).AsInt64(), 9223372036854775807LL);
  EXPECT_EQ(q.Fields(3).AsString(), "9223372036854775807");
  EXPECT_EQ(q.Fields(4).AsFloat(), 1.5f);
  EXPECT_DOUBLE_EQ(q.Fields(5).AsDouble(), 3.141592653589793);
  EXPECT_EQ(q.Fields(6).SQLType(), IBSQLType::Long);
  EXPECT_EQ(q.Fields(6).SQLScale(), -2);
  EXPECT_EQ(q.Fields(6).AsCurrency(), 12345700);
  EXPECT_EQ(q.Fields(6).AsString(), "1234.57");
  EXPECT_EQ(q.Fields(7).SQLType(), IBSQLType::Int64);
  EXPECT_EQ(q.Fields(7).AsCurrency(), -922337203685477LL * 10000 - 5807);
  EXPECT_EQ(q.Fields(7).AsString(), "-922337203685477.5807");
  EXPECT_DOUBLE_EQ(q.Fields(8).AsDouble(), 123456.789012);
  EXPECT_EQ(q.Fields(9).SQLType(), IBSQLType::Short);
  EXPECT_DOUBLE_EQ(q.Fields(9).AsDouble(), -99.9);
  EXPECT_EQ(q.Fields(10).SQLType(), IBSQLType::TypeDate);
  EXPECT_EQ(q.Fields(10).AsDateTime(), EncodeDate(1800, 1, 1));
  EXPECT_EQ(q.Fields(11).SQLType(), IBSQLType::TypeTime);
  EXPECT_NEAR(q.Fields(11).AsDateTime(), EncodeTime(23, 59, 59, 999), 1e-9);
  EXPECT_EQ(q.Fields(11).AsString(), "23:59:59");
  EXPECT_NEAR(q.Fields(12).AsDateTime(), ts, 1e-9);
  EXPECT_EQ(q.Fields(13).AsString(), "abc       ");  // CHAR keeps its padding
  EXPECT_EQ(q.FieldByName("VC").AsString(), "varying text");
  EXPECT_EQ(q.Fields(15).AsString(), std::string("\0\x01\xFF", 3));
  EXPECT_EQ(q.Fields(16).SQLSubtype(), 1);
  EXPECT_EQ(q.Fields(16).AsString(), "memo text");
  EXPECT_TRUE(q.Fields(17).AsBoolean());
  // Out-of-range narrowing is an error, never a silent wrap.
  EXPECT_THROW(q.Fields(2).AsShort(), EIBClientError);
  EXPECT_THROW(q.Fields(14).AsLong(), EIBClientError);
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.Next(), nullptr);
}

TEST_P(IBXStatementTest, VariantsRoundTripIncludingNull) {
  TIBSQL ins;
  ins.SetDatabase(FDb.get());
  ins.SQL().SetText(kInsertAll);
  TDateTime ts = EncodeDate(1999, 12, 31) + EncodeTime(23, 0, 0, 0);
  std::vector<Variant> row1 = {
      Variant(int32_t(1)), Variant(int16_t(7)), Variant(int32_t(-8)), Variant(int64_t(1) << 40),
      Variant(2.25f), Variant(-1e300), Variant::FromCurrencyScaled(-123400),
      Variant::FromCurrencyScaled(987654321), Variant(0.000001), Variant::FromCurrency(3.5),
      Variant::FromDateTime(EncodeDate(2000, 1, 2)), Variant::FromDateTime(EncodeTime(6, 30, 0, 0)),
      Variant::FromDateTime(ts), Variant("x"), Variant(""), Variant(std::string()),
      Variant("text"), Variant(false)};
  for (size_t i = 0; i < row1.size(); ++i) ins.Params()[static_cast<int>(i)].SetAsVariant(row1[i]);
  ins.ExecQuery();
  ins.Params()[0].SetAsVariant(Variant(int32_t(2)));
  for (int i = 1; i < ins.Params().Count(); ++i) ins.Params()[i].SetAsVariant(Variant::Null());
  ins.ExecQuery();

  TIBSQL& q = Query("SELECT * FROM ALLTYPES ORDER BY ID");
  q.ExecQuery();
  TIBXSQLDA& c = q.Current();
  EXPECT_EQ(c[1].AsVariant(), Variant(int16_t(7)));
  EXPECT_EQ(c[2].AsVariant(), Variant(int32_t(-8)));
  EXPECT_EQ(c[3].AsVariant(), Variant(int64_t(1) << 40));
  EXPECT_EQ(c[4].AsVariant(), Variant(2.25f));
  EXPECT_EQ(c[5].AsVariant(), Variant(-1e300));
  EXPECT_EQ(c[6].AsVariant(), Variant::FromCurrencyScaled(-123400));  // scale -2: currency
  EXPECT_EQ(c[7].AsVariant(), Variant::FromCurrencyScaled(987654321));  // scale -4: currency
  EXPECT_EQ(c[8].AsVariant().VarType(), varDouble);                    // scale -6: double
  EXPECT_DOUBLE_EQ(c[8].AsVariant().RawFloat(), 0.000001);
  EXPECT_EQ(c[9].AsVariant(), Variant::FromCurrency(3.5));
  EXPECT_EQ(c[10].AsVariant(), Variant::FromDateTime(EncodeDate(2000, 1, 2)));
  EXPECT_EQ(c[11].AsVariant().VarType(), varDate);
  EXPECT_NEAR(c[11].AsDateTime(), EncodeTime(6, 30, 0, 0), 1e-9);
  EXPECT_NEAR(c[12].AsDateTime(), ts, 1e-9);
  EXPECT_EQ(c[13].AsVariant(), Variant("x         "));
  EXPECT_EQ(c[14].AsVariant(), Variant(""));
  EXPECT_FALSE(c[14].IsNull());
  EXPECT_EQ(c[15].AsVariant(), Variant(""));  // an empty blob is not a null one
  EXPECT_FALSE(c[15].IsNull());
  EXPECT_EQ(c[16].AsVariant(), Variant("text"));
  EXPECT_EQ(c[17].AsVariant(), Variant(false));

  ASSERT_NE(q.Next(), nullptr);
  for (int i = 1; i < c.Count(); ++i) {
    EXPECT_TRUE(c[i].IsNull()) << i;
    EXPECT_TRUE(c[i].AsVariant().IsNull()) << i;
    EXPECT_EQ(c[i].AsString(), "") << i;
    EXPECT_EQ(c[i].AsDouble(), 0) << i;
  }
  TMemoryStream empty;
  c[15].SaveToStream(empty);
  EXPECT_EQ(empty.Size(), 0);
}

TEST_P(IBXStatementTest, BlobsOfSeveralMegabytesStreamBothWays) {
  Exec(*FDb, "CREATE TABLE B (ID INTEGER, DATA BLOB SUB_TYPE 0, MEMO BLOB SUB_TYPE 1)");
  FDb->DefaultTransaction()->CommitRetaining();
  std::string big = RandomBytes(5 * 1024 * 1024 + 123, 42);
  std::string memo(3 * 1024 * 1024, 'z');
  TIBSQL ins;
  ins.SetDatabase(FDb.get());
  ins.SQL().SetText("INSERT INTO B VALUES (?, ?, ?)");
  ins.Params()[0].SetAsLong(1);
  TMemoryStream in(big);
  ins.Params()[1].LoadFromStream(in);
  ins.Params()[2].SetAsString(memo);
  ins.ExecQuery();
  ins.Params()[0].SetAsLong(2);
  TMemoryStream none;
  ins.Params()[1].LoadFromStream(none);
  ins.Params()[2].SetAsString("");
  ins.ExecQuery();

  TIBSQL& q = Query("SELECT DATA, MEMO FROM B ORDER BY ID");
  q.ExecQuery();
  TMemoryStream out;
  q.Fields(0).SaveToStream(out);
  EXPECT_EQ(out.Size(), static_cast<int64_t>(big.size()));
  EXPECT_TRUE(out.DataString() == big);
  EXPECT_TRUE(q.Fields(1).AsString() == memo);
  q.Next();
  EXPECT_FALSE(q.Fields(0).IsNull());
  EXPECT_EQ(q.Fields(0).AsString(), "");
  EXPECT_EQ(q.Fields(1).AsString(), "");

  // A text parameter also accepts a stream.
  TIBSQL& s = Query("SELECT COUNT(*) FROM B WHERE ID = CAST(? AS VARCHAR(5))");
  TMemoryStream key(std::string("2"));
  s.Params()[0].LoadFromStream(key);
  s.ExecQuery();
  EXPECT_EQ(s.Fields(0).AsLong(), 1);
}

TEST_P(IBXStatementTest, CyrillicTextNamesAndBlobsStayWindows1251) {
  const std::string table = "Дороги"_ansi;
  const std::string column = "Название"_ansi;
  const std::string value = "Улица Ёлочная, дом №5 — «Ъ»"_ansi;
  Exec(*FDb, "CREATE TABLE \"" + table + "\" (\"" + column + "\" VARCHAR(40), M BLOB SUB_TYPE 1)");
  FDb->DefaultTransaction()->CommitRetaining();
  TIBSQL ins;
  ins.SetDatabase(FDb.get());
  ins.SQL().SetText("INSERT INTO \"" + table + "\" VALUES (:\"" + column + "\", :M)");
  ins.ParamByName(column).SetAsString(value);
  ins.Params()[1].SetAsString(value + value);
  ins.ExecQuery();

  TIBSQL& q = Query("SELECT * FROM \"" + table + "\" WHERE \"" + column + "\" STARTING WITH '" +
                    "Улица"_ansi + "'");
  q.ExecQuery();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.Fields(0).Name(), column);
  EXPECT_EQ(q.Fields(0).RelationName(), table);
  EXPECT_EQ(q.FieldByName("название"_ansi).AsString(), value);
  EXPECT_EQ(q.Fields(1).AsString(), value + value);
  EXPECT_EQ(q.Fields(0).AsString().size(), value.size());  // one byte a character
}

TEST_P(IBXStatementTest, RowsAffectedCountsTheStatementsRows) {
  Exec(*FDb, "CREATE TABLE R (ID INTEGER)");
  FDb->DefaultTransaction()->CommitRetaining();
  TIBSQL ins;
  ins.SetDatabase(FDb.get());
  ins.SQL().SetText("INSERT INTO R VALUES (?)");
  for (int i = 0; i < 10; ++i) {
    ins.Params()[0].SetAsLong(i);
    ins.ExecQuery();
    EXPECT_EQ(ins.RowsAffected(), 1);
  }
  TIBSQL& upd = Query("UPDATE R SET ID = ID + 100 WHERE ID < :N");
  upd.Params()[0].SetAsLong(4);
  upd.ExecQuery();
  EXPECT_EQ(upd.RowsAffected(), 4);
  TIBSQL& none = Query("DELETE FROM R WHERE ID < 0");
  none.ExecQuery();
  EXPECT_EQ(none.RowsAffected(), 0);
  TIBSQL& del = Query("DELETE FROM R WHERE ID >= 100");
  del.ExecQuery();
  EXPECT_EQ(del.RowsAffected(), 4);
  TIBSQL& sel = Query("SELECT ID FROM R");
  sel.ExecQuery();
  while (!sel.Eof()) sel.Next();
  EXPECT_EQ(sel.RowsAffected(), 6);
  EXPECT_EQ(sel.RecordCount(), 6);
  // One name used twice is one value.
  TIBSQL& twice = Query("SELECT COUNT(*) FROM R WHERE ID = :V OR ID = :V + 1");
  twice.ParamByName("V").SetAsLong(1);
  twice.ExecQuery();
  EXPECT_EQ(twice.Fields(0).AsLong(), 0);
  twice.ParamByName("V").SetAsLong(5);
  twice.ExecQuery();
  EXPECT_EQ(twice.Fields(0).AsLong(), 2);
  TIBSQL& ddl = Query("CREATE TABLE R2 (ID INTEGER)");
  ddl.ExecQuery();
  EXPECT_EQ(ddl.RowsAffected(), -1);
}

TEST_P(IBXStatementTest, ReleasedStatementsLeaveTablesFreeToDrop) {
  Exec(*FDb, "CREATE TABLE D (ID INTEGER)");
  FDb->DefaultTransaction()->CommitRetaining();
  Exec(*FDb, "INSERT INTO D VALUES (1)");
  {
    TIBSQL q;
    q.SetDatabase(FDb.get());
    q.SQL().SetText("SELECT ID FROM D");
    q.ExecQuery();  // an open cursor, released with the statement
    TIBSQL p;
    p.SetDatabase(FDb.get());
    p.SQL().SetText("UPDATE D SET ID = 2");
    p.Prepare();
  }
  // A statement whose text changes drops its old handle too.
  TIBSQL reused;
  reused.SetDatabase(FDb.get());
  reused.SQL().SetText("SELECT ID FROM D");
  reused.ExecQuery();
  reused.SQL().SetText("SELECT 1 FROM RDB$DATABASE");
  reused.ExecQuery();
  FDb->DefaultTransaction()->CommitRetaining();

  TIBTable t;
  t.SetDatabase(FDb.get());
  t.SetTableName("D");
  t.DeleteTable();
  FDb->DefaultTransaction()->CommitRetaining();
  EXPECT_FALSE(t.Exists());
}

TEST_P(IBXStatementTest, OutputValuesOfReturningStatements) {
  Exec(*FDb, "CREATE TABLE G (ID INTEGER, NAME VARCHAR(10))");
  FDb->DefaultTransaction()->CommitRetaining();
  TIBSQL& q = Query("INSERT INTO G VALUES (:ID, 'a') RETURNING ID * 2, NAME");
  q.Params()[0].SetAsLong(21);
  q.ExecQuery();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.Fields(0).AsLong(), 42);
  EXPECT_EQ(q.Fields(1).AsString(), "a");
  EXPECT_EQ(q.Next(), nullptr);
  EXPECT_TRUE(q.Eof());
}

TEST_P(IBXStatementTest, WithoutParamCheckColonNamesReachTheEngine) {
  TIBSQL& q = Query(
      "EXECUTE BLOCK RETURNS (R INTEGER) AS DECLARE X INTEGER = 5; "
      "BEGIN R = :X; SUSPEND; R = :X + 1; SUSPEND; END");
  q.SetParamCheck(false);
  q.ExecQuery();
  EXPECT_EQ(q.SQLType(), SQLSelect);
  EXPECT_EQ(q.Params().Count(), 0);
  EXPECT_EQ(q.Fields(0).AsLong(), 5);
  q.Next();
  EXPECT_EQ(q.Fields(0).AsLong(), 6);
  q.Next();
  EXPECT_TRUE(q.Eof());
  q.Close();
  EXPECT_TRUE(q.Eof());
  EXPECT_TRUE(q.Prepared());
}

INSTANTIATE_TEST_SUITE_P(Engines, IBXStatementTest,
                         ::testing::Values(Engine::Embedded, Engine::Server), EngineName);

TEST(IBXText, ParameterMarksOutsideQuotesAndComments) {
  std::vector<std::string> names;
  EXPECT_EQ(PreprocessSQL("SELECT :A, ':B', \":C\", ? -- :D\n/* :E */ FROM T WHERE X = :F_1$", names),
            "SELECT ?, ':B', \":C\", ? -- :D\n/* :E */ FROM T WHERE X = ?");
  EXPECT_EQ(names, (std::vector<std::string>{"A", "", "F_1$"}));
  EXPECT_EQ(PreprocessSQL("'it''s :X' || :\"Y z\"", names), "'it''s :X' || ?");
  EXPECT_EQ(names, (std::vector<std::string>{"Y z"}));
  EXPECT_EQ(PreprocessSQL("'open :X", names), "'open :X");  // unterminated literal: copied
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(QuoteIdentifier(3, "a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(QuoteIdentifier(3, "\"X\""), "\"X\"");
  EXPECT_EQ(QuoteIdentifier(1, "x"), "x");
  EXPECT_EQ(CatalogueName(3, "\"a\"\"b\""), "a\"b");
  EXPECT_EQ(CatalogueName(3, "Mixed"), "Mixed");
  EXPECT_EQ(CatalogueName(1, "Mixed"), "MIXED");
}
