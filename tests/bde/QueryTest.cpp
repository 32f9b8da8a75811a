// The local SQL through TQuery: parameters, Null, blobs, Cyrillic text, conditions, sorting,
// counting, writing statements over many blocks, and the errors for statements it cannot run.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/bde/BdeSql.h"
#include "platform/paradox/Paradox.h"
#include "tests/bde/BdeTestSupport.h"
#include "tests/support/ParadoxFaults.h"

using namespace bde;
using bdetest::TFolder;

namespace {

std::string Samples(const std::string& sub) {
  return Utf8ToAnsi((testsupport::SamplesDir() / sub).string());
}

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

// ROADS: ID (key), NAME, LEN, KIND, OPENED, NOTE (memo), SHAPE (blob).
void MakeRoads(TFolder& f) {
  auto t = f.Table("ROADS");
  t->FieldDefs().Add("ID", ftInteger, 0, true);
  t->FieldDefs().Add("NAME", ftString, 60);
  t->FieldDefs().Add("LEN", ftFloat);
  t->FieldDefs().Add("KIND", ftSmallint);
  t->FieldDefs().Add("OPENED", ftDate);
  t->FieldDefs().Add("NOTE", ftMemo, 20);
  t->FieldDefs().Add("SHAPE", ftBlob, 0);
  t->IndexDefs().Add("", "ID", {ixPrimary, ixUnique});
  t->CreateTable();
}

}  // namespace

TEST(BdeQuery, PreparedInsertWithParametersNullAndCyrillic) {
  TFolder f;
  MakeRoads(f);
  auto ins = f.Query("INSERT INTO ROADS (ROADS.ID,ROADS.NAME,ROADS.LEN,ROADS.KIND,ROADS.OPENED) VALUES(:PARAM0,:PARAM1,:PARAM2,:PARAM3,:PARAM4)");
  ASSERT_EQ(ins->ParamCount(), 5);
  EXPECT_EQ(ins->Params()[1].Name(), "PARAM1");
  ins->Prepare();
  EXPECT_TRUE(ins->Prepared());
  const std::string names[] = {"Тверская улица"_ansi, "O'Connell Street", ""};
  for (int i = 0; i < 3; ++i) {
    ins->Params()[0].SetDataType(ftInteger);
    ins->Params()[0].SetValue(Variant(int32_t(3 - i)));
    ins->Params()[1].SetDataType(ftString);
    ins->Params()[1].SetValue(i == 2 ? Variant::Null() : Variant(names[i]));
    ins->Params()[2].SetValue(Variant(1.5 * i));
    ins->Params()[3].SetValue(i == 1 ? Variant::Null() : Variant(int16_t(i)));
    ins->Params()[4].SetDataType(ftDateTime);
    ins->Params()[4].SetValue(Variant::FromDateTime(EncodeDate(2001, 2, 3 + i)));
    ins->ExecSQL();
    EXPECT_EQ(ins->RowsAffected(), 1);
  }
  auto q = f.Query("select * from ROADS");  // keyed: rows come in key order
  q->Open();
  ASSERT_EQ(q->FieldCount(), 7);
  EXPECT_EQ(q->Fields(1).FieldName(), "NAME");
  EXPECT_EQ(q->Fields(1).DataType(), ftString);
  EXPECT_EQ(q->Fields(4).DataType(), ftDate);
  EXPECT_EQ(q->FieldByName("len").Index(), 2);
  EXPECT_EQ(q->FindField("nothing"), nullptr);
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->Fields(0).AsInteger(), 1);
  EXPECT_TRUE(q->Fields(1).IsNull());
  EXPECT_TRUE(q->Fields(1).AsVariant().IsNull());
  EXPECT_EQ(q->Fields(1).AsString(), "");
  EXPECT_EQ(q->Fields(4).AsString(), "05.02.2001");
  q->Next();
  EXPECT_EQ(q->Fields(1).AsString(), "O'Connell Street");
  EXPECT_TRUE(q->Fields(3).IsNull());
  EXPECT_EQ(q->Fields(3).AsInteger(), 0);
  EXPECT_DOUBLE_EQ(q->Fields(2).AsFloat(), 1.5);
  q->Next();
  EXPECT_EQ(q->Fields(1).AsString(), "Тверская улица"_ansi);
  EXPECT_EQ(q->Fields(4).AsDateTime(), EncodeDate(2001, 2, 3));
  q->Next();
  EXPECT_TRUE(q->Eof());
  EXPECT_TRUE(q->Fields(0).IsNull());  // past the end fields read as Null

  // A parameter that never got a value is an error, not a silent Null.
  auto partial = f.Query("INSERT INTO ROADS (ID, NAME) VALUES (:ID, :NAME)");
  partial->Params()[0].SetValue(Variant(int32_t(9)));
  EXPECT_NE(ErrorOf([&] { partial->ExecSQL(); }, TDBErrorKind::Value).find(":NAME"), std::string::npos);
  // A Cyrillic text compared case-sensitively.
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE NAME = '" + "Тверская улица"_ansi + "'"), std::vector<std::string>{"3"});
  EXPECT_TRUE(f.Rows("SELECT ID FROM ROADS WHERE NAME = '" + "ТВЕРСКАЯ УЛИЦА"_ansi + "'").empty());
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE NAME = 'O''Connell Street'"), std::vector<std::string>{"2"});
}

TEST(BdeQuery, BlobsOfZeroBytesAndOneMegabyte) {
  TFolder f;
  MakeRoads(f);
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char((i * 131 + i / 977) & 0xFF);
  std::string memo = "Пояснение к дороге, длиннее двадцати байт"_ansi;
  auto ins = f.Query("INSERT INTO ROADS (ID, NOTE, SHAPE) VALUES (:ID, :NOTE, :SHAPE)");
  ins->Params()[0].SetAsInteger(1);
  ins->Params()[1].SetValue(Variant(memo));
  ins->Params()[2].SetAsBlob(big);
  ins->ExecSQL();
  ins->Params()[0].SetAsInteger(2);
  ins->Params()[1].SetValue(Variant::Null());
  ins->Params()[2].SetAsBlob("");
  ins->ExecSQL();
  ins.reset();

  auto q = f.Query("SELECT SHAPE, NOTE FROM ROADS ORDER BY ID");
  q->Open();
  EXPECT_EQ(q->Fields(0).DataType(), ftBlob);
  EXPECT_TRUE(q->Fields(0).IsBlob());
  auto s = q->CreateBlobStream(q->Fields(0), bmRead);
  ASSERT_EQ(s->Size(), int64_t(big.size()));
  std::string back(big.size(), '\0');
  s->ReadBuffer(back.data(), int64_t(back.size()));
  EXPECT_TRUE(back == big);
  EXPECT_EQ(q->Fields(1).AsString(), memo);
  q->Next();
  EXPECT_EQ(q->CreateBlobStream(q->Fields(0), bmRead)->Size(), 0);  // an empty blob reads as no bytes
  EXPECT_TRUE(q->Fields(0).IsNull());
  EXPECT_THROW(q->CreateBlobStream(q->Fields(0), bmWrite), EDBEngineError);
}

TEST(BdeQuery, ParametersKeepTheirValuesAfterFillingRows) {
  TFolder f;
  MakeRoads(f);
  const std::string shapes[] = {std::string(100000, 'a'), std::string(70000, 'b')};
  const std::string memo = "Пояснение к дороге, длиннее двадцати байт"_ansi;
  const char* insert = "INSERT INTO ROADS (ID, NOTE, SHAPE) VALUES (:ID, :NOTE, :SHAPE)";
  // Each statement runs with the values of the one before, changing only ID and SHAPE.
  struct Step {
    const char* sql;
    int id, shape, affected;  // affected: rows, or -1 for a key violation
  };
  const Step steps[] = {
      {insert, 1, 0, 1},
      {insert, 2, 0, 1},
      {insert, 2, 1, -1},
      {"UPDATE ROADS SET SHAPE = :SHAPE, NOTE = :NOTE WHERE ID >= :ID", 1, 1, 2},  // in place
      {"UPDATE ROADS SET ID = :ID, SHAPE = :SHAPE WHERE ID = 1", 3, 0, 1},          // moves the row
  };
  std::unique_ptr<TQuery> q;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.sql);
    if (!q || q->Text() != step.sql) {
      q = f.Query(step.sql);
      if (TParam* note = q->Params().FindParam("NOTE")) note->SetAsString(memo);
    }
    q->ParamByName("ID").SetAsInteger(step.id);
    q->ParamByName("SHAPE").SetAsBlob(shapes[step.shape]);
    if (step.affected < 0) {
      ErrorOf([&] { q->ExecSQL(); }, TDBErrorKind::KeyViolation);
    } else {
      q->ExecSQL();
      EXPECT_EQ(q->RowsAffected(), step.affected);
    }
    EXPECT_EQ(q->ParamByName("ID").Value(), Variant(int32_t(step.id)));
    if (TParam* note = q->Params().FindParam("NOTE")) {
      EXPECT_EQ(note->Value(), Variant(memo));
    }
    EXPECT_TRUE(q->ParamByName("SHAPE").Value() == Variant(shapes[step.shape]));
  }
  q.reset();
  auto rows = f.Query("SELECT ID, NOTE, SHAPE FROM ROADS ORDER BY ID");
  const std::pair<int, int> expected[] = {{2, 1}, {3, 0}};  // ID, shape
  rows->Open();
  for (auto [id, shape] : expected) {
    ASSERT_FALSE(rows->Eof());
    EXPECT_EQ(rows->Fields(0).AsInteger(), id);
    EXPECT_EQ(rows->Fields(1).AsString(), memo);
    EXPECT_TRUE(rows->Fields(2).AsString() == shapes[shape]) << "row " << id;
    rows->Next();
  }
  EXPECT_TRUE(rows->Eof());
}

TEST(BdeQuery, ConditionsSortingAndCounting) {
  TFolder f;
  MakeRoads(f);
  struct {
    int id;
    const char* name;
    double len;
    int kind;  // 0: Null
  } rows[] = {{1, "alpha", 10, 1}, {2, "beta", 2.5, 2}, {3, "gamma", 7, 0}, {4, "Delta", 7, 1}, {5, "", 0.5, 3}};
  auto ins = f.Query("INSERT INTO ROADS (ID, NAME, LEN, KIND) VALUES (:I, :N, :L, :K)");
  for (auto& r : rows) {
    ins->Params()[0].SetValue(Variant(int32_t(r.id)));
    ins->Params()[1].SetValue(*r.name ? Variant(r.name) : Variant::Null());
    ins->Params()[2].SetValue(Variant(r.len));
    ins->Params()[3].SetValue(r.kind ? Variant(int32_t(r.kind)) : Variant::Null());
    ins->ExecSQL();
  }
  ins.reset();
  using V = std::vector<std::string>;
  EXPECT_EQ(f.Scalar("SELECT Count(*) FROM ROADS"), 5);
  EXPECT_EQ(f.Scalar("select count(*) from \"ROADS\" where KIND = 1"), 2);
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE LEN > 2.5"), (V{"1", "3", "4"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE LEN >= 2.5 AND LEN <= 7"), (V{"2", "3", "4"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE LEN < 1 OR NAME = 'beta'"), (V{"2", "5"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE NOT (KIND = 1)"), (V{"2", "5"}));  // Null is never equal, nor unequal
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE KIND <> 1"), (V{"2", "5"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE KIND IS NULL"), (V{"3"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE KIND IS NOT NULL AND NAME IS NULL"), (V{"5"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE (KIND = 1 OR KIND = 2) AND NOT LEN = 7"), (V{"1", "2"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE NAME = 'delta'"), V{});  // case-sensitive
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE ID = '4'"), V{"4"});      // text converted to the column's type
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE LEN = KIND"), V{});
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS WHERE 7 = LEN"), (V{"3", "4"}));
  auto p = f.Query("SELECT ROADS.ID FROM ROADS WHERE (ROADS.KIND=:PARAM0) OR (\"ROADS\".\"LEN\"<:PARAM1)");
  p->Params()[0].SetValue(Variant(int32_t(2)));
  p->Params()[1].SetValue(Variant::Null());  // a Null parameter matches nothing
  V got;
  for (p->Open(); !p->Eof(); p->Next()) got.push_back(p->Fields(0).AsString());
  EXPECT_EQ(got, V{"2"});
  p->Params()[1].SetValue(Variant(1.0));
  got.clear();
  for (p->Open(); !p->Eof(); p->Next()) got.push_back(p->Fields(0).AsString());  // Open again: new values
  EXPECT_EQ(got, (V{"2", "5"}));

  // ORDER BY: several keys, DESC, Nulls first, by position, table-qualified.
  EXPECT_EQ(f.Rows("SELECT ID, KIND FROM ROADS ORDER BY KIND, LEN DESC"),
            (V{"3|<null>", "1|1", "4|1", "2|2", "5|3"}));
  EXPECT_EQ(f.Rows("SELECT ID FROM ROADS ORDER BY ROADS.LEN DESC, ROADS.ID DESC"), (V{"1", "4", "3", "2", "5"}));
  EXPECT_EQ(f.Rows("SELECT NAME AS N, ID FROM ROADS WHERE NAME IS NOT NULL ORDER BY 1"),
            (V{"Delta|4", "alpha|1", "beta|2", "gamma|3"}));
  EXPECT_EQ(f.Rows("SELECT Count(*) AS TOTAL FROM ROADS WHERE LEN > 100"), V{"0"});
  auto c = f.Query("SELECT COUNT(*) AS TOTAL FROM ROADS");
  c->Open();
  EXPECT_EQ(c->Fields(0).FieldName(), "TOTAL");
}

TEST(BdeQuery, UpdateAndDeleteVisitEveryRowOnce) {
  TFolder f;
  MakeRoads(f);
  auto plain = f.Table("PLAIN");  // no key: rows stay in insertion order
  plain->FieldDefs().Add("N", ftInteger);
  plain->FieldDefs().Add("TAG", ftString, 100);
  plain->CreateTable();
  const int n = 3000;  // many blocks of 4 KB
  auto a = f.Query("INSERT INTO ROADS (ID, NAME, KIND) VALUES (:I, :N, :K)");
  auto b = f.Query("INSERT INTO PLAIN VALUES (:N, :T)");
  for (int i = 1; i <= n; ++i) {
    a->Params()[0].SetAsInteger(i);
    a->Params()[1].SetAsString("road " + std::to_string(i));
    a->Params()[2].SetValue(Variant(int16_t(i % 3)));
    a->ExecSQL();
    b->Params()[0].SetAsInteger(i);
    b->Params()[1].SetAsString(std::string(60, 'x'));
    b->ExecSQL();
  }
  // Rows written through a prepared query are visible at once to other queries.
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM ROADS"), n);
  a.reset();
  b.reset();

  EXPECT_EQ(f.Exec("UPDATE ROADS SET ROADS.NAME='changed', KIND=9 WHERE (KIND=1)"), n / 3);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM ROADS WHERE KIND = 9 AND NAME = 'changed'"), n / 3);
  EXPECT_EQ(f.Exec("UPDATE PLAIN SET TAG = 'short' "), n);  // no WHERE: every row, once
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM PLAIN WHERE TAG = 'short'"), n);
  // Changing the key moves the row inside the table.
  EXPECT_EQ(f.Exec("UPDATE ROADS SET ID = 100000 WHERE ID = 1"), 1);
  EXPECT_EQ(f.Rows("SELECT NAME FROM ROADS WHERE ID = 100000"), std::vector<std::string>{"changed"});
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM ROADS"), n);
  EXPECT_NE(ErrorOf([&] { f.Exec("UPDATE ROADS SET ID = 5 WHERE ID = 6"); }, TDBErrorKind::KeyViolation).find("UPDATE ROADS"),
            std::string::npos);

  EXPECT_EQ(f.Exec("DELETE FROM ROADS WHERE KIND = 0"), n / 3);
  EXPECT_EQ(f.Exec("DELETE FROM PLAIN WHERE N > 1000 AND N <= 2500"), 1500);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM ROADS"), n - n / 3);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM ROADS WHERE KIND = 0"), 0);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM PLAIN"), n - 1500);
  auto rest = f.Query("SELECT N FROM PLAIN");
  int expect = 1;
  for (rest->Open(); !rest->Eof(); rest->Next()) {
    if (expect == 1001) expect = 2501;
    ASSERT_EQ(rest->Fields(0).AsInteger(), expect);
    ++expect;
  }
  EXPECT_EQ(expect, n + 1);
  EXPECT_EQ(f.Exec("DELETE FROM PLAIN"), n - 1500);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM PLAIN"), 0);

  // The index files written when the batch ends agree with the table for a fresh reader.
  paradox::TPdxDatabase raw(f.Dir.Path().string());
  EXPECT_EQ(raw.TableStructure("ROADS").RecordCount, n - n / 3);
  EXPECT_EQ(f.Exec("DROP TABLE PLAIN"), 0);
  EXPECT_FALSE(f.Table("PLAIN")->Exists());
}

TEST(BdeQuery, StatementsItCannotRunRaiseClearErrors) {
  TFolder f;
  MakeRoads(f);
  auto err = [&](const std::string& sql, TDBErrorKind kind) {
    return ErrorOf([&] { f.Exec(sql); }, kind);
  };
  std::string m = err("SELECT * FROM ROADS WHERE ID == 1", TDBErrorKind::Syntax);
  EXPECT_NE(m.find("SELECT * FROM ROADS WHERE ID == 1"), std::string::npos) << m;
  EXPECT_NE(m.find("позиция 31"_ansi), std::string::npos) << m;
  m = err("SELECT * FROM my roads", TDBErrorKind::Syntax);
  EXPECT_NE(m.find("двойные кавычки"_ansi), std::string::npos) << m;
  EXPECT_NE(m.find("SELECT * FROM my roads"), std::string::npos) << m;
  m = err("SELECT road name FROM ROADS", TDBErrorKind::Syntax);
  EXPECT_NE(m.find("двойные кавычки"_ansi), std::string::npos) << m;
  m = err("INSERT INTO my table (A) VALUES (1)", TDBErrorKind::Syntax);
  EXPECT_NE(m.find("двойные кавычки"_ansi), std::string::npos) << m;
  err("SELECT * FROM ROADS WHERE NAME = 'open", TDBErrorKind::Syntax);
  err("MERGE INTO ROADS", TDBErrorKind::Syntax);
  err("", TDBErrorKind::Syntax);
  err("SELECT COUNT(*), ID FROM ROADS", TDBErrorKind::Syntax);
  err("INSERT INTO ROADS (ID, NAME) VALUES (1)", TDBErrorKind::Syntax);
  m = err("SELECT NOPE FROM ROADS", TDBErrorKind::NotFound);
  EXPECT_NE(m.find("NOPE"), std::string::npos) << m;
  err("SELECT OTHER.ID FROM ROADS", TDBErrorKind::NotFound);
  err("UPDATE ROADS SET NAME = 'a', NAME = 'b'", TDBErrorKind::NotFound);
  m = err("SELECT * FROM NOWHERE", TDBErrorKind::NotFound);
  EXPECT_NE(m.find("NOWHERE"), std::string::npos) << m;
  err("SELECT * FROM ROADS WHERE ID = 'abc'", TDBErrorKind::Value);  // ExecSQL runs a SELECT too
  err("INSERT INTO ROADS (ID, KIND) VALUES (1, 70000)", TDBErrorKind::Value);
  f.Exec("INSERT INTO ROADS (ID) VALUES (1)");
  err("INSERT INTO ROADS (ID) VALUES (1)", TDBErrorKind::KeyViolation);
  auto ins = f.Query("INSERT INTO ROADS (ID) VALUES (2)");
  EXPECT_EQ(ErrorOf([&] { ins->Open(); }, TDBErrorKind::Unsupported).find("Open runs a SELECT"), 0u);
  auto sel = f.Query("SELECT * FROM ROADS");
  EXPECT_THROW(sel->Next(), EDBEngineError);  // not open
  sel->Open();
  EXPECT_THROW(sel->Fields(7), EDBEngineError);
  EXPECT_THROW(sel->FieldByName("nope"), EDBEngineError);
  // A changed text unprepares the query and rebuilds its parameters, keeping values by name.
  auto q = f.Query("SELECT ID FROM ROADS WHERE ID = :A");
  q->Params()[0].SetAsInteger(1);
  q->Prepare();
  q->SQL().SetText("SELECT ID FROM ROADS WHERE ID = :B OR ID = :A");
  EXPECT_FALSE(q->Prepared());
  ASSERT_EQ(q->ParamCount(), 2);
  EXPECT_FALSE(q->Params()[0].Bound());
  EXPECT_EQ(q->ParamByName("a").Value(), Variant(int32_t(1)));
}

TEST(BdeQuery, ATextChangedBetweenExecutionsIsReadAgain) {
  // Every way of changing the lines of a prepared INSERT that has written a row: the next
  // execution runs the new text ("" where the new text cannot run), and a field the new text
  // leaves out is Null rather than the last execution's value.
  const std::vector<std::string> lines = {"INSERT INTO ROADS (ID, NAME, KIND)", "VALUES (:ID, :NAME, :KIND)"};
  struct Case {
    const char* name;
    std::function<void(TStrings&)> change;
    std::string row;  // the row with ID 2 afterwards, "" for none
  };
  const Case cases[] = {
      {"SetStrings", [](TStrings& l) { l.SetStrings(1, "VALUES (:ID, :NAME, 7)"); }, "2|b|7"},
      {"SetText", [](TStrings& l) { l.SetText("INSERT INTO ROADS (ID, NAME) VALUES (:ID, :NAME)"); }, "2|b|<null>"},
      {"Delete", [](TStrings& l) { l.Delete(1); }, ""},
      {"Add", [](TStrings& l) { l.Add("WHERE ID = 1"); }, ""},
      {"Insert", [](TStrings& l) { l.Insert(0, "DELETE FROM ROADS"); }, ""},
      {"Exchange", [](TStrings& l) { l.Exchange(0, 1); }, ""},
      {"Move", [](TStrings& l) { l.Move(1, 0); }, ""},
      {"Clear", [](TStrings& l) { l.Clear(); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFolder f;
    MakeRoads(f);
    auto q = f.Query("");
    for (const std::string& line : lines) q->SQL().Add(line);
    q->ParamByName("ID").SetAsInteger(1);
    q->ParamByName("NAME").SetAsString("a");
    q->ParamByName("KIND").SetAsInteger(5);
    q->ExecSQL();
    c.change(q->SQL());
    bool ran = true;
    try {
      for (auto [name, value] : {std::pair{"ID", 2}, {"KIND", 6}})
        if (TParam* p = q->Params().FindParam(name)) p->SetAsInteger(value);
      if (TParam* p = q->Params().FindParam("NAME")) p->SetAsString("b");
      q->ExecSQL();
    } catch (const EDBEngineError&) {
      ran = false;
    }
    q.reset();
    EXPECT_EQ(ran, !c.row.empty());
    std::vector<std::string> expected = {"1|a|5"};
    if (!c.row.empty()) expected.push_back(c.row);
    EXPECT_EQ(f.Rows("SELECT ID, NAME, KIND FROM ROADS ORDER BY ID"), expected);
  }
}

TEST(BdeQuery, ReadsTheSampleTables) {
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/CUSTOMER.MB");
  TSession s;
  s.SetSessionName("ReadsTheSampleTables");
  TDatabase d;
  d.SetDatabaseName("Samples");
  d.SetSessionName("ReadsTheSampleTables");
  d.SetDriverName("STANDARD");
  d.Params().Add("PATH=" + Samples("db"));
  d.SetConnected(true);
  TQuery q;
  q.SetSessionName("ReadsTheSampleTables");
  q.SetDatabaseName("Samples");
  q.SQL().SetText("SELECT Count(*) FROM CUSTOMER");
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), 20);
  q.SQL().SetText("SELECT CUSTOMER.CustNo, FirstName, City, \"CUSTOMER\".\"Zip/Postal Code\" FROM CUSTOMER WHERE City = :C ORDER BY CustNo DESC");
  q.Params()[0].SetAsString("Santa Cruz");
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.Fields(0).DataType(), ftAutoInc);
  int last = 1000;
  int count = 0;
  for (; !q.Eof(); q.Next(), ++count) {
    EXPECT_LT(q.Fields(0).AsInteger(), last);
    last = q.Fields(0).AsInteger();
    EXPECT_EQ(q.FieldByName("City").AsString(), "Santa Cruz");
  }
  EXPECT_EQ(count, 5);
  EXPECT_EQ(last, 1);
  q.SQL().SetText("SELECT Comments FROM CUSTOMER WHERE CustNo = 4");
  q.Open();
  EXPECT_EQ(q.Fields(0).DataType(), ftMemo);
  EXPECT_EQ(q.CreateBlobStream(q.Fields(0), bmRead)->Size(), 56864);
}

TEST(BdeQuery, ProtectedSampleOpensOnlyWithTheSessionPassword) {
  REQUIRE_SAMPLES("encrypt/encrypted.db");
  TSession s;
  s.SetSessionName("ProtectedSample");
  TQuery q;
  q.SetSessionName("ProtectedSample");
  q.SetDatabaseName(Samples("encrypt"));
  q.SQL().SetText("SELECT * FROM encrypted");
  std::string m = ErrorOf([&] { q.Open(); }, TDBErrorKind::Password);
  EXPECT_NE(m.find("encrypted"), std::string::npos) << m;
  s.AddPassword("wrong");
  EXPECT_THROW(q.Open(), EDBEngineError);
  s.AddPassword("123");
  q.Open();
  std::vector<std::string> values;
  for (; !q.Eof(); q.Next()) values.push_back(q.Fields(1).AsString());
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0], "Value 1");
  EXPECT_EQ(values[3], "Last one");
  TTable t;
  t.SetSessionName("ProtectedSample");
  t.SetDatabaseName(Samples("encrypt"));
  t.SetTableName("encrypted");
  t.FieldDefs().Update();
  EXPECT_EQ(t.FieldDefs().Count(), 2);
  s.RemoveAllPasswords();
  EXPECT_THROW(t.FieldDefs().Update(), EDBEngineError);
}

TEST(BdeQuery, QuotedAndCyrillicNames) {
  TFolder f;
  auto t = f.Table("my table");
  t->FieldDefs().Add("Код"_ansi, ftInteger);
  t->FieldDefs().Add("Название улицы"_ansi, ftString, 40);
  t->IndexDefs().Add("", "Код"_ansi, {ixPrimary, ixUnique});
  t->CreateTable();
  EXPECT_TRUE(std::filesystem::exists(f.Dir.Path() / "my table.DB"));
  f.Exec("INSERT INTO \"my table\" (\"my table\".Код, \"Название улицы\") VALUES (1, 'Ленина')"_ansi);
  f.Exec("INSERT INTO \"MY TABLE.db\" VALUES (2, 'Мира')"_ansi);
  EXPECT_EQ(f.Rows("SELECT \"Название улицы\" FROM \"my table\" WHERE код > 1"_ansi), std::vector<std::string>{"Мира"_ansi});
  auto cyr = f.Table("Дороги"_ansi);
  cyr->FieldDefs().Add("Ид"_ansi, ftInteger);
  cyr->CreateTable();
  EXPECT_TRUE(std::filesystem::exists(f.Dir.Path() / "Дороги.DB"));
  EXPECT_EQ(f.Exec("INSERT INTO Дороги VALUES (7)"_ansi), 1);
  EXPECT_EQ(f.Scalar("SELECT Дороги.Ид FROM Дороги"_ansi), 7);
  EXPECT_EQ(f.Exec("DROP TABLE \"my table\""), 0);
  EXPECT_FALSE(t->Exists());
}

TEST(BdeQuery, EveryCutOfAStatementParsesOrRaisesASyntaxError) {
  const std::string statements[] = {
      "SELECT T.A, \"B c\" AS X, Count(*) FROM \"T\" WHERE (A = :P1 OR NOT B <> 'it''s') AND C IS NOT NULL ORDER BY 1 DESC, T.A",
      "INSERT INTO T (T.A, B) VALUES (:A, -12.5e3)",
      "UPDATE \"T\" SET \"T\".\"A\"=NULL, B=TRUE WHERE (\"T\".\"ID\"=:PARAM0);",
      "DELETE FROM T.DB WHERE A >= 1 AND B <= 2 OR C != 3",
      "DROP TABLE \"x\"\"y\""};
  int parsed = 0;
  for (const std::string& s : statements) {
    for (size_t n = 0; n <= s.size(); ++n) {
      std::string cut = s.substr(0, n);
      try {
        bde::sql::Parse(cut);
        ++parsed;
      } catch (const EDBEngineError& e) {
        ASSERT_EQ(int(e.Kind()), int(TDBErrorKind::Syntax)) << e.what();
        ASSERT_NE(e.Message().find(cut), std::string::npos) << e.what();
      }
    }
    EXPECT_NO_THROW(bde::sql::Parse(s)) << s;
  }
  EXPECT_GE(parsed, 5);
  auto st = bde::sql::Parse(statements[0]);
  EXPECT_EQ(st.ParamCount, 1);
  EXPECT_EQ(bde::sql::ParamNames("SELECT ':no', \":no\" FROM T WHERE A=:yes AND B=:also2"),
            (std::vector<std::string>{"yes", "also2"}));
}

// An UPDATE that moves a row's key to a later block keeps the row whatever file operation fails,
// or wherever the process stops: the table holds it under its old key or its new one.
TEST(BdeQuery, AnUpdateThatMovesAKeyKeepsTheRowWhateverFails) {
  TFolder made;
  {
    auto t = made.Table("M");
    t->FieldDefs().Add("ID", ftInteger, 0, true);
    t->FieldDefs().Add("PAD", ftString, 200);
    t->IndexDefs().Add("", "ID", {ixPrimary, ixUnique});
    t->CreateTable();
    auto ins = made.Query("INSERT INTO M VALUES (:ID, 'row')");
    for (int i = 1; i <= 39; ++i) {
      ins->Params()[0].SetAsInteger(i);
      ins->ExecSQL();
    }
  }
  testsupport::TFaultEnv env;
  auto run = [&](const testsupport::TFaultEnv::TFault& fault) {
    TFolder f;
    for (const auto& e : std::filesystem::directory_iterator(made.Dir.Path()))
      std::filesystem::copy_file(e.path(), f.Dir.Path() / e.path().filename());
    env.Set(fault);
    paradox::SetProcessEnv(&env);
    try {
      auto q = f.Query("UPDATE M SET ID=1000 WHERE ID=1");
      q->ExecSQL();
      q->Close();
    } catch (const std::exception&) {
    }
    paradox::SetProcessEnv(nullptr);
    paradox::TPdxDatabase files(f.Dir.Path().string());
    std::vector<int> ids;
    for (auto c = files.OpenCursor("M"); c->Next();) ids.push_back(c->Value(0).ToInt32());
    EXPECT_EQ(ids.size(), 39u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 1) + std::count(ids.begin(), ids.end(), 1000), 1);
    EXPECT_EQ(files.CheckIntegrity("M"), std::vector<std::string>{});
    return env.Count();
  };
  const int64_t count = run({});
  ASSERT_GT(count, 5);
  for (int64_t at = 1; at <= count; ++at)
    for (bool stop : {false, true}) {
      SCOPED_TRACE((stop ? "stopped at " : "failed at ") + std::to_string(at) + " of " + std::to_string(count));
      testsupport::TFaultEnv::TFault fault;
      fault.FailAt = at;
      fault.Stop = stop;
      run(fault);
    }
}
