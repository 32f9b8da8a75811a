// Aliases of an InterBase database (driver INTRBASE): connecting through the alias file, tables,
// queries sent to the server as written, autocommit and explicit transactions. Every test runs on
// a database file of its own, opened by the embedded engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "platform/bde/Bde.h"
#include "platform/ibx/IBDatabase.h"
#include "tests/ibx/IBXFixture.h"
#include "tests/support/TestSupport.h"

using namespace bde;

namespace {

std::string ErrorOf(const std::function<void()>& f, TDBErrorKind kind) {
  try {
    f();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(int(e.Kind()), int(kind)) << e.what();
    return e.Message();
  }
  ADD_FAILURE() << "no error";
  return {};
}

// A new database file and an alias file naming it ("IBTEST"), with a session and a database
// component on the alias.
class ServerAlias : public ::testing::Test {
 protected:
  void SetUp() override {
    ibxtest::PrepareLockFolder();
    const char* password = std::getenv("COPYORVEL_FB_PASSWORD");
    Password = password && *password ? password : "masterkey";
    Path = Dir / "alias test.fdb";
    {
      TIBDatabase create;
      create.SetDatabaseName(Utf8ToAnsi(Path));
      create.Params().Add("user_name=SYSDBA");
      create.Params().Add("password=" + Password);
      create.CreateDatabase();
    }
    AliasFile = Dir / "aliases.conf";
    std::ofstream(AliasFile) << "[IBTEST]\nDRIVER=INTRBASE\nSERVER NAME=" << Path
                             << "\nUSER NAME=SYSDBA\nPASSWORD=" << Password << "\n"
                             << "[NOSERVER]\nDRIVER=INTRBASE\nUSER NAME=SYSDBA\n";
    setenv("COPYORVEL_ALIASES", AliasFile.c_str(), 1);
    static int counter = 0;
    Name = "IBAlias" + std::to_string(++counter);
    Session.SetSessionName(Name);
    Db.SetSessionName(Name);
    Db.SetDatabaseName("Db" + Name);
    Db.SetAliasName("IBTEST");
    Db.SetLoginPrompt(false);
    Db.SetConnected(true);
  }
  void TearDown() override { unsetenv("COPYORVEL_ALIASES"); }

  std::unique_ptr<TQuery> Query(const std::string& text, TDatabase* db = nullptr) {
    auto q = std::make_unique<TQuery>();
    q->SetSessionName(db ? db->SessionName() : Name);
    q->SetDatabaseName(db ? db->DatabaseName() : Db.DatabaseName());
    q->SQL().SetText(text);
    return q;
  }
  int Exec(const std::string& text, TDatabase* db = nullptr) {
    auto q = Query(text, db);
    q->ExecSQL();
    return q->RowsAffected();
  }
  int Scalar(const std::string& text, TDatabase* db = nullptr) {
    auto q = Query(text, db);
    q->Open();
    return q->Fields(0).AsInteger();
  }
  std::unique_ptr<TTable> Table(const std::string& name) {
    auto t = std::make_unique<TTable>();
    t->SetSessionName(Name);
    t->SetDatabaseName(Db.DatabaseName());
    t->SetTableName(name);
    return t;
  }

  testsupport::TempDir Dir;
  std::string Path, AliasFile, Password, Name;
  TSession Session;
  TDatabase Db;
};

// A second connection to the same database, in a session of its own.
struct TOther {
  explicit TOther(const std::string& name) {
    Session.SetSessionName(name);
    Db.SetSessionName(name);
    Db.SetDatabaseName("Db" + name);
    Db.SetAliasName("IBTEST");
    Db.SetConnected(true);
  }
  TSession Session;
  TDatabase Db;
};

}  // namespace

TEST_F(ServerAlias, ConnectsThroughTheAliasAndItsParameters) {
  EXPECT_TRUE(Db.Connected());
  EXPECT_TRUE(Db.IsSQLBased());
  EXPECT_EQ(Db.DriverName(), "INTRBASE");
  EXPECT_EQ(Db.ServerName(), Utf8ToAnsi(Path));
  EXPECT_FALSE(Db.InTransaction());
  // The connection speaks Windows-1251.
  const std::string charsetSQL =
      "SELECT RDB$CHARACTER_SET_NAME FROM MON$ATTACHMENTS A JOIN RDB$CHARACTER_SETS C "
      "ON C.RDB$CHARACTER_SET_ID = A.MON$CHARACTER_SET_ID WHERE A.MON$ATTACHMENT_ID = CURRENT_CONNECTION";
  auto q = Query(charsetSQL);
  q->Open();
  EXPECT_EQ(Trim(q->Fields(0).AsString()), "WIN1251");
  TDatabase utf8;
  utf8.SetSessionName(Name);
  utf8.SetDatabaseName("Utf8");
  utf8.SetAliasName("IBTEST");
  utf8.Params().Add("CHARSET=UTF8");
  utf8.Open();
  auto u = Query(charsetSQL, &utf8);
  u->Open();
  EXPECT_EQ(Trim(u->Fields(0).AsString()), "UTF8");

  // A line of Params wins over the alias: another file name reaches another (missing) file.
  TDatabase other;
  other.SetSessionName(Name);
  other.SetDatabaseName("Other");
  other.SetAliasName("IBTEST");
  other.Params().Add("SERVER NAME=" + Utf8ToAnsi(Dir / "missing.fdb"));
  EXPECT_NE(ErrorOf([&] { other.Open(); }, TDBErrorKind::General).find("missing.fdb"), std::string::npos);
  EXPECT_FALSE(other.Connected());
  EXPECT_FALSE(other.InTransaction());

  TDatabase none;
  none.SetDatabaseName("NoServer");
  none.SetAliasName("NOSERVER");
  EXPECT_TRUE(none.IsSQLBased());
  EXPECT_NE(ErrorOf([&] { none.Open(); }, TDBErrorKind::NotFound).find("SERVER NAME"), std::string::npos);

  // The alias name serves as a database name, as for Paradox aliases.
  TQuery byAlias;
  byAlias.SetSessionName(Name);
  byAlias.SetDatabaseName("IBTEST");
  byAlias.SQL().SetText("SELECT 1 FROM RDB$DATABASE");
  byAlias.Open();
  EXPECT_EQ(byAlias.Fields(0).AsInteger(), 1);

  Db.Close();
  EXPECT_FALSE(Db.Connected());
  EXPECT_TRUE(Db.IsSQLBased());
  Db.Open();
  EXPECT_EQ(Scalar("SELECT 2 FROM RDB$DATABASE"), 2);
}

TEST_F(ServerAlias, TablesAreCreatedReadAndDeleted) {
  auto t = Table("Roads");
  t->FieldDefs().Add("Id", ftInteger, 0, true);
  t->FieldDefs().Add("Name", ftString, 40);
  t->FieldDefs().Add("Small", ftSmallint);
  t->FieldDefs().Add("Flag", ftBoolean);
  t->FieldDefs().Add("Big", ftLargeint);
  t->FieldDefs().Add("Len", ftFloat);
  t->FieldDefs().Add("Price", ftCurrency);
  t->FieldDefs().Add("Opened", ftDateTime);
  t->FieldDefs().Add("Note", ftMemo);
  t->FieldDefs().Add("Shape", ftBlob);
  t->FieldDefs().Add("Имя"_ansi, ftString, 10);
  t->IndexDefs().Add("Roads_PK", "Id", {ixPrimary, ixUnique});
  t->IndexDefs().Add("Roads_Name", "Name;Small", {ixUnique});
  t->CreateTable();
  // A plain name stands for its capitals, as in statements; other names are kept exactly.
  EXPECT_TRUE(Table("ROADS")->Exists());
  EXPECT_TRUE(Table("roads")->Exists());
  EXPECT_FALSE(Table("\"roads\"")->Exists());
  EXPECT_EQ(Exec("INSERT INTO roads (id, name, \"Имя\") VALUES (1, 'a', 'б')"_ansi), 1);

  auto read = Table("roads");
  read->FieldDefs().Update();
  const TFieldDefs& f = read->FieldDefs();
  ASSERT_EQ(f.Count(), 11);
  auto describe = [&](int i) {
    return f[i].Name + " " + FieldTypeName(f[i].DataType) + " " + std::to_string(f[i].Size) +
           (f[i].Required ? " required" : "");
  };
  EXPECT_EQ(describe(0), std::string("ID ") + FieldTypeName(ftInteger) + " 0 required");
  EXPECT_EQ(describe(1), std::string("NAME ") + FieldTypeName(ftString) + " 40");
  EXPECT_EQ(f[2].DataType, ftSmallint);
  EXPECT_EQ(f[3].DataType, ftSmallint);  // Booleans live in SMALLINT columns
  EXPECT_EQ(f[4].DataType, ftLargeint);
  EXPECT_EQ(f[5].DataType, ftFloat);
  EXPECT_EQ(describe(6), std::string("PRICE ") + FieldTypeName(ftCurrency) + " 0");
  EXPECT_EQ(f[7].DataType, ftDateTime);
  EXPECT_EQ(f[8].DataType, ftMemo);
  EXPECT_EQ(f[9].DataType, ftBlob);
  EXPECT_EQ(f[10].Name, "Имя"_ansi);
  read->IndexDefs().Update();
  const TIndexDefs& x = read->IndexDefs();
  ASSERT_EQ(x.Count(), 2);
  EXPECT_EQ(x[0].Name, "ROADS_PK");
  EXPECT_EQ(x[0].Fields, "ID");
  EXPECT_TRUE(x[0].Options.Contains(ixPrimary));
  EXPECT_EQ(x[1].Name, "ROADS_NAME");
  EXPECT_EQ(x[1].Fields, "NAME;SMALL");
  EXPECT_TRUE(x[1].Options.Contains(ixUnique));
  EXPECT_FALSE(x[1].Options.Contains(ixPrimary));

  // Scaled columns made by the server's own DDL: small scales read as currency, others as float.
  Exec("CREATE TABLE NUMS (A NUMERIC(9,2), B NUMERIC(15,6), C DECIMAL(18,4), D CHAR(3))");
  auto nums = Table("Nums");
  nums->FieldDefs().Update();
  ASSERT_EQ(nums->FieldDefs().Count(), 4);
  EXPECT_EQ(nums->FieldDefs()[0].DataType, ftCurrency);
  EXPECT_EQ(nums->FieldDefs()[1].DataType, ftFloat);
  EXPECT_EQ(nums->FieldDefs()[2].DataType, ftCurrency);
  EXPECT_EQ(nums->FieldDefs()[3].DataType, ftFixedChar);

  ErrorOf([&] { t->CreateTable(); }, TDBErrorKind::Exists);
  EXPECT_NE(ErrorOf([&] { read->RenameTable("STREETS"); }, TDBErrorKind::Unsupported).find("переименовать"_ansi),
            std::string::npos);
  EXPECT_TRUE(read->Exists());
  ErrorOf([&] { Table("")->Exists(); }, TDBErrorKind::BadName);

  // A prepared statement on the table does not keep it from being deleted, and prepares again
  // when it next runs.
  auto insert = Query("INSERT INTO ROADS (ID) VALUES (:ID)");
  insert->Params()[0].SetAsInteger(2);
  insert->ExecSQL();
  EXPECT_TRUE(insert->Prepared());
  read->DeleteTable();
  EXPECT_FALSE(read->Exists());
  EXPECT_FALSE(Table("Roads")->Exists());
  ErrorOf([&] { read->DeleteTable(); }, TDBErrorKind::NotFound);
  t->CreateTable();
  insert->Params()[0].SetAsInteger(3);
  insert->ExecSQL();
  EXPECT_EQ(Scalar("SELECT ID FROM ROADS"), 3);
}

TEST_F(ServerAlias, QueriesCarryParametersNullsBlobsAndCyrillicText) {
  Exec("CREATE TABLE VALS (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(60), SMALL SMALLINT, BIG BIGINT, "
       "X DOUBLE PRECISION, PRICE NUMERIC(18,4), STAMP TIMESTAMP, FLAG SMALLINT, NOTE BLOB SUB_TYPE 1, "
       "DATA BLOB SUB_TYPE 0)");
  auto ins = Query("INSERT INTO VALS VALUES (:ID, :NAME, :SMALL, :BIG, :X, :PRICE, :STAMP, :FLAG, :NOTE, :DATA)");
  ASSERT_EQ(ins->ParamCount(), 10);
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) & 0xFF);
  const TDateTime stamp = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 0);
  TParams& p = ins->Params();
  p[0].SetAsInteger(1);
  p[1].SetAsString("Ёлки-палки «тест»"_ansi);
  p[2].SetDataType(ftSmallint);
  p[2].SetValue(Variant(int16_t(-32000)));
  p[3].SetDataType(ftLargeint);
  p[3].SetValue(Variant(int64_t(1) << 40));
  p[4].SetAsFloat(-1.5e-7);
  p[5].SetDataType(ftCurrency);
  p[5].SetValue(Variant::FromCurrency(12345.6789));
  p[6].SetAsDateTime(stamp);
  p[7].SetAsBoolean(true);
  p[8].SetDataType(ftMemo);
  p[8].SetValue(Variant("Примечание\r\nв две строки"_ansi));
  p[9].SetAsBlob(big);
  ins->Prepare();
  ins->ExecSQL();
  EXPECT_EQ(ins->RowsAffected(), 1);
  // The second row: every value Null, a blob included.
  p[0].SetAsInteger(2);
  for (int i = 1; i < 10; ++i) p[i].Clear();
  p[9].SetDataType(ftBlob);
  ins->ExecSQL();

  auto sel = Query("SELECT * FROM VALS WHERE ID >= :FROM_ID ORDER BY ID");
  sel->Params()[0].SetAsInteger(1);
  sel->Open();
  ASSERT_FALSE(sel->Eof());
  ASSERT_EQ(sel->FieldCount(), 10);
  EXPECT_EQ(sel->Fields(0).DataType(), ftInteger);
  EXPECT_EQ(sel->Fields(1).DataType(), ftString);
  EXPECT_EQ(sel->Fields(1).Size(), 60);
  EXPECT_EQ(sel->Fields(2).DataType(), ftSmallint);
  EXPECT_EQ(sel->Fields(3).DataType(), ftLargeint);
  EXPECT_EQ(sel->Fields(5).DataType(), ftCurrency);
  EXPECT_EQ(sel->Fields(6).DataType(), ftDateTime);
  EXPECT_EQ(sel->Fields(8).DataType(), ftMemo);
  EXPECT_EQ(sel->Fields(9).DataType(), ftBlob);
  EXPECT_TRUE(sel->Fields(9).IsBlob());
  EXPECT_EQ(sel->FieldByName("name").AsString(), "Ёлки-палки «тест»"_ansi);
  EXPECT_EQ(sel->FindField("Small")->AsInteger(), -32000);
  EXPECT_EQ(sel->FindField("NOSUCH"), nullptr);
  ErrorOf([&] { sel->FieldByName("NOSUCH"); }, TDBErrorKind::NotFound);
  EXPECT_EQ(sel->FieldByName("BIG").AsVariant().ToInt64(), int64_t(1) << 40);
  EXPECT_DOUBLE_EQ(sel->FieldByName("X").AsFloat(), -1.5e-7);
  EXPECT_EQ(sel->FieldByName("PRICE").AsVariant().ToCurrencyScaled(), 123456789);
  EXPECT_DOUBLE_EQ(sel->FieldByName("STAMP").AsDateTime(), stamp);
  EXPECT_TRUE(sel->FieldByName("FLAG").AsBoolean());
  EXPECT_EQ(sel->FieldByName("NOTE").AsString(), "Примечание\r\nв две строки"_ansi);
  auto stream = sel->CreateBlobStream(sel->FieldByName("DATA"), bmRead);
  std::string bytes(static_cast<size_t>(stream->Size()), '\0');
  stream->ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  EXPECT_TRUE(bytes == big);
  sel->Next();
  ASSERT_FALSE(sel->Eof());
  EXPECT_EQ(sel->Fields(0).AsInteger(), 2);
  for (int i = 1; i < 10; ++i) EXPECT_TRUE(sel->Fields(i).IsNull()) << i;
  EXPECT_EQ(sel->Fields(1).AsString(), "");
  EXPECT_EQ(sel->CreateBlobStream(sel->Fields(9), bmRead)->Size(), 0);
  sel->Next();
  EXPECT_TRUE(sel->Eof());
  EXPECT_TRUE(sel->Fields(0).IsNull());
  sel->Close();
  // The same prepared SELECT runs again with another value.
  sel->Params()[0].SetAsInteger(2);
  sel->Open();
  EXPECT_EQ(sel->Fields(0).AsInteger(), 2);
  sel->Close();

  // Cyrillic text as a parameter of a condition, and the server's counts.
  auto upd = Query("UPDATE VALS SET NAME = :N WHERE NAME = :OLD OR ID = 2");
  upd->Params()[0].SetAsString("ещё"_ansi);
  upd->Params()[1].SetAsString("Ёлки-палки «тест»"_ansi);
  upd->ExecSQL();
  EXPECT_EQ(upd->RowsAffected(), 2);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM VALS WHERE NAME = 'ещё'"_ansi), 2);
  EXPECT_EQ(Exec("DELETE FROM VALS WHERE ID = 2"), 1);
  EXPECT_EQ(Exec("DELETE FROM VALS WHERE ID = 2"), 0);

  // "?" marks are bound by position as well.
  auto q = Query("SELECT ID FROM VALS WHERE ID = ? AND NAME = ?");
  ASSERT_EQ(q->ParamCount(), 2);
  q->Params()[0].SetAsInteger(1);
  q->Params()[1].SetAsString("ещё"_ansi);
  q->Open();
  EXPECT_FALSE(q->Eof());

  // Failures: no value, a statement the server does not understand, a duplicate key, Open of a
  // statement without rows, a blob stream for writing.
  auto partial = Query("SELECT ID FROM VALS WHERE ID = :A OR ID = :B");
  partial->Params()[0].SetAsInteger(1);
  EXPECT_NE(ErrorOf([&] { partial->Open(); }, TDBErrorKind::Value).find(":B"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { Exec("SELEKT 1 FROM RDB$DATABASE"); }, TDBErrorKind::Syntax).find("SELEKT"),
            std::string::npos);
  ErrorOf([&] { Exec("INSERT INTO VALS (ID) VALUES (1)"); }, TDBErrorKind::KeyViolation);
  ErrorOf([&] { Query("SELECT * FROM NOSUCHTABLE")->Open(); }, TDBErrorKind::NotFound);
  ErrorOf([&] { Query("DELETE FROM VALS")->Open(); }, TDBErrorKind::Unsupported);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM VALS"), 1);
}

TEST_F(ServerAlias, StatementsCommitOnTheirOwnOutsideATransaction) {
  Exec("CREATE TABLE T (ID INTEGER)");
  TOther other(Name + "Other");
  Exec("INSERT INTO T VALUES (1)");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T", &other.Db), 1);

  // A cursor stays open while other statements of the connection commit.
  Exec("INSERT INTO T VALUES (2)");
  auto cursor = Query("SELECT ID FROM T ORDER BY ID");
  cursor->Open();
  EXPECT_EQ(cursor->Fields(0).AsInteger(), 1);
  Exec("INSERT INTO T VALUES (3)");
  cursor->Next();
  EXPECT_EQ(cursor->Fields(0).AsInteger(), 2);
  cursor->Close();

  // A failing statement leaves nothing pending.
  ErrorOf([&] { Exec("INSERT INTO T VALUES ('x')"); }, TDBErrorKind::Value);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T", &other.Db), 3);
}

TEST_F(ServerAlias, ExplicitTransactionsCommitAndRollBack) {
  Exec("CREATE TABLE T (ID INTEGER)");
  TOther other(Name + "Other");
  ErrorOf([&] { Db.Commit(); }, TDBErrorKind::Unsupported);
  ErrorOf([&] { Db.Rollback(); }, TDBErrorKind::Unsupported);

  Db.StartTransaction();
  EXPECT_TRUE(Db.InTransaction());
  ErrorOf([&] { Db.StartTransaction(); }, TDBErrorKind::Unsupported);
  Exec("INSERT INTO T VALUES (1)");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 1);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T", &other.Db), 0);
  Db.Rollback();
  EXPECT_FALSE(Db.InTransaction());
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 0);

  // Tables created inside a transaction exist for others once it commits.
  Db.StartTransaction();
  auto t = Table("INSIDE");
  t->FieldDefs().Add("ID", ftInteger);
  t->CreateTable();
  EXPECT_TRUE(t->Exists());
  Exec("INSERT INTO T VALUES (2)");
  auto cursor = Query("SELECT ID FROM T");
  cursor->Open();
  EXPECT_FALSE(cursor->Eof());
  Db.Commit();
  // The cursor ended with its transaction.
  EXPECT_TRUE(cursor->Eof());
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T", &other.Db), 1);
  auto seen = std::make_unique<TTable>();
  seen->SetSessionName(other.Db.SessionName());
  seen->SetDatabaseName(other.Db.DatabaseName());
  seen->SetTableName("Inside");
  EXPECT_TRUE(seen->Exists());

  // Isolation: a repeatable read does not see what others commit meanwhile; read committed does.
  Db.SetTransIsolation(tiRepeatableRead);
  Db.StartTransaction();
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 1);
  Exec("INSERT INTO T VALUES (3)", &other.Db);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 1);
  Db.Commit();
  Db.SetTransIsolation(tiReadCommitted);
  Db.StartTransaction();
  Exec("INSERT INTO T VALUES (4)", &other.Db);
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 3);
  // A row that another transaction changes is reported at once, not waited for.
  other.Db.StartTransaction();
  Exec("UPDATE T SET ID = 40 WHERE ID = 4", &other.Db);
  ErrorOf([&] { Exec("UPDATE T SET ID = 41 WHERE ID = 4"); }, TDBErrorKind::General);
  other.Db.Rollback();

  // Disconnecting undoes an open transaction.
  Exec("INSERT INTO T VALUES (5)");
  Db.Close();
  EXPECT_FALSE(Db.InTransaction());
  Db.Open();
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM T"), 3);
}
