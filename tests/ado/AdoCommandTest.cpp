#include "tests/ado/AdoEngines.h"

#include <map>
#include <random>

using AdoCommand = AdoEngineTest;
INSTANTIATE_ENGINES(AdoCommand);

namespace {

RefPtr<_Command> NewCommand(const RefPtr<_Connection>& c, const std::string& text) {
  RefPtr<_Command> cmd(new _Command);
  cmd->SetActiveConnection(c);
  cmd->SetCommandText(text);
  cmd->SetCommandTimeout(c->CommandTimeout());
  return cmd;
}

void Add(_Command& cmd, DataTypeEnum type, const Variant& value, int64_t size = -1) {
  RefPtr<Parameter> p = cmd.CreateParameter("", type, adParamInput, size, Variant());
  if (type == adLongVarBinary || type == adBinary) p->SetAttributes(p->Attributes() | adParamLong);
  p->SetValue(value);
  cmd.Parameters().Append(p);
}

std::string RandomBytes(size_t n, unsigned salt) {
  std::mt19937 gen(salt);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

}  // namespace

TEST_P(AdoCommand, ParametersRoundTripEveryTypeAndNull) {
  Exec("CREATE TABLE vals (id INTEGER, i INTEGER, s SMALLINT, b BIGINT, flag " + BoolType() +
       ", f DOUBLE PRECISION, r REAL, price NUMERIC(12,3), d DATE, tm TIME, ts TIMESTAMP, "
       "name VARCHAR(40), memo TEXT, data " + BlobType() + ")");
  const std::string insert = "INSERT INTO vals VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
  const std::string memo = std::string(5000, 'x') + "Конец"_ansi;
  const TDateTime ts = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 7, 0);
  {
    auto cmd = NewCommand(FConnection, insert);
    Add(*cmd, adInteger, Variant(int32_t(1)));
    Add(*cmd, adInteger, Variant(int32_t(-2000000000)));
    Add(*cmd, adSmallInt, Variant(int16_t(-32000)));
    Add(*cmd, adBigInt, Variant(int64_t(9000000000000000000)));
    Add(*cmd, adBoolean, Variant(true));
    Add(*cmd, adDouble, Variant(3.25e100));
    Add(*cmd, adSingle, Variant(1.5f));
    Add(*cmd, adNumeric, Variant(1234.567));
    Add(*cmd, adDBDate, Variant::FromDateTime(EncodeDate(1999, 12, 31)));
    Add(*cmd, adDBTime, Variant::FromDateTime(EncodeTime(23, 59, 58, 0)));
    Add(*cmd, adDBTimeStamp, Variant::FromDateTime(ts));
    Add(*cmd, adVarChar, Variant("Привет, мир"_ansi), 11);
    Add(*cmd, adLongVarChar, Variant(memo));
    Add(*cmd, adLongVarBinary, Variant(std::string("\0\x01\xFF", 3)));
    Variant affected;
    EXPECT_EQ(cmd->Execute(&affected)->State(), adStateClosed);
    EXPECT_EQ(affected.ToInt32(), 1);
    // The same command again, every value Null but the key.
    for (int32_t i = 1; i < cmd->Parameters().Count(); ++i) cmd->Parameters().Item(i)->SetValue(Variant::Null());
    cmd->Parameters().Item(0)->SetValue(Variant(int32_t(2)));
    cmd->Execute(&affected);
    EXPECT_EQ(affected.ToInt32(), 1);
  }

  auto select = NewCommand(FConnection, "SELECT * FROM vals WHERE id = ?");
  Add(*select, adInteger, Variant(int32_t(1)));
  auto rs = select->Execute();
  ASSERT_FALSE(rs->Eof());
  AdoFields& f = rs->Fields();
  ASSERT_EQ(f.Count(), 14);
  EXPECT_EQ(f.Item("i")->Type(), adInteger);
  EXPECT_EQ(f.Item("i")->Value().ToInt32(), -2000000000);
  EXPECT_EQ(f.Item("s")->Type(), adSmallInt);
  EXPECT_EQ(f.Item("s")->Value().ToInt32(), -32000);
  EXPECT_EQ(f.Item("b")->Type(), adBigInt);
  EXPECT_EQ(f.Item("b")->Value().ToInt64(), 9000000000000000000);
  EXPECT_TRUE(f.Item("flag")->Value().ToBool());
  if (IsPg()) { EXPECT_EQ(f.Item("flag")->Type(), adBoolean); }
  EXPECT_DOUBLE_EQ(f.Item("f")->Value().ToDouble(), 3.25e100);
  EXPECT_FLOAT_EQ(static_cast<float>(f.Item("r")->Value().ToDouble()), 1.5f);
  EXPECT_DOUBLE_EQ(f.Item("price")->Value().ToDouble(), 1234.567);
  if (IsPg()) {
    EXPECT_EQ(f.Item("price")->Type(), adNumeric);
    EXPECT_EQ(f.Item("price")->Precision(), 12);
    EXPECT_EQ(f.Item("price")->NumericScale(), 3);
  }
  EXPECT_EQ(f.Item("d")->Type(), adDBDate);
  EXPECT_DOUBLE_EQ(f.Item("d")->Value().ToDateTime(), EncodeDate(1999, 12, 31));
  EXPECT_EQ(f.Item("tm")->Type(), adDBTime);
  EXPECT_NEAR(f.Item("tm")->Value().ToDateTime(), EncodeTime(23, 59, 58, 0), 1e-9);
  EXPECT_EQ(f.Item("ts")->Type(), adDBTimeStamp);
  EXPECT_NEAR(f.Item("ts")->Value().ToDateTime(), ts, 1e-8);
  EXPECT_EQ(f.Item("name")->Value().ToString(), "Привет, мир"_ansi);
  EXPECT_EQ(f.Item("name")->Attributes() & adFldLong, 0);
  EXPECT_EQ(f.Item("memo")->Value().ToString(), memo);
  EXPECT_NE(f.Item("memo")->Attributes() & adFldLong, 0);
  EXPECT_EQ(f.Item("memo")->Type(), adLongVarChar);
  EXPECT_EQ(f.Item("data")->Value().ToString(), std::string("\0\x01\xFF", 3));
  EXPECT_EQ(f.Item(Variant(int32_t(0)))->Name(), "id");
  EXPECT_THROW(f.Item("no_such_field"), EAdoError);
  EXPECT_THROW(f.Item(14), EAdoError);
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_THROW(f.Item("i")->Value(), EAdoError);

  select->Parameters().Item(0)->SetValue(Variant(int32_t(2)));
  rs = select->Execute();
  ASSERT_FALSE(rs->Eof());
  for (int32_t i = 1; i < rs->Fields().Count(); ++i)
    EXPECT_TRUE(rs->Fields().Item(i)->Value().IsNull()) << rs->Fields().Item(i)->Name();
  EXPECT_EQ(rs->Fields().Item("data")->ActualSize(), 0);
  EXPECT_TRUE(rs->Fields().Item("data")->GetChunk(10).IsNull());
}

TEST_P(AdoCommand, ParameterArraysAndChangingTextsReuseTheCommand) {
  Exec("CREATE TABLE t (id INTEGER, name VARCHAR(20))");
  auto cmd = NewCommand(FConnection, "INSERT INTO t VALUES (?, ?)");
  for (int32_t i = 0; i < 50; ++i) {
    Variant params(std::vector<Variant>{Variant(i), Variant("строка "_ansi + IntToStr(i))});
    cmd->Execute(nullptr, &params);
  }
  cmd->SetCommandText("SELECT COUNT(*) AS n, MAX(id) AS top FROM t WHERE id >= ?");
  Variant params(std::vector<Variant>{Variant(int32_t(10))});
  auto rs = cmd->Execute(nullptr, &params);
  EXPECT_EQ(Val(rs, "n").ToInt32(), 40);
  EXPECT_EQ(Val(rs, "top").ToInt32(), 49);
  // A second execution while the first result is still held.
  Variant more(std::vector<Variant>{Variant(int32_t(45))});
  auto rs2 = cmd->Execute(nullptr, &more);
  EXPECT_EQ(Val(rs2, "n").ToInt32(), 5);
  EXPECT_EQ(Val(rs, "n").ToInt32(), 40);
  cmd->SetCommandText("DELETE FROM t WHERE name = ?");
  Variant affected;
  Variant name(std::vector<Variant>{Variant("строка 7"_ansi)});
  cmd->Execute(&affected, &name);
  EXPECT_EQ(affected.ToInt32(), 1);
  cmd->SetCommandText("SELEKT");
  EXPECT_THROW(cmd->Execute(), EAdoError);
  cmd->SetCommandText("SELECT COUNT(*) AS n FROM t");
  EXPECT_EQ(Val(cmd->Execute(), "n").ToInt32(), 49);
}

TEST_P(AdoCommand, TextOutsideWindows1251IsAnErrorForThatRow) {
  Exec("CREATE TABLE t (id INTEGER, name VARCHAR(20))");
  Exec("INSERT INTO t VALUES (1, 'Ёжик')"_ansi);
  // U+4F60 and U+20AC: the first has no place in Windows-1251, the euro sign has one.
  Exec(IsPg() ? "INSERT INTO t VALUES (2, chr(20320))" : "INSERT INTO t VALUES (2, char(20320))");
  Exec(IsPg() ? "INSERT INTO t VALUES (3, chr(8364))" : "INSERT INTO t VALUES (3, char(8364))");
  auto rs = FConnection->Execute("SELECT id, name FROM t ORDER BY id");
  EXPECT_EQ(Val(rs, "name").ToString(), "Ёжик"_ansi);
  rs->MoveNext();
  try {
    Val(rs, "name");
    FAIL() << "a character outside Windows-1251 was read";
  } catch (const EAdoError& e) {
    EXPECT_NE(e.Message().find("name"), std::string::npos) << e.what();
    EXPECT_NE(e.Message().find(" 2 "), std::string::npos) << e.what();
    EXPECT_NE(e.Message().find("Windows-1251"), std::string::npos) << e.what();
  }
  rs->MoveNext();
  EXPECT_EQ(Val(rs, "name").ToString(), "\x88");
}

TEST_P(AdoCommand, BlobsStreamInChunks) {
  Exec("CREATE TABLE blobs (id INTEGER, data " + BlobType() + ", memo TEXT)");
  const std::string big = RandomBytes(6 * 1024 * 1024 + 123, 7);
  auto cmd = NewCommand(FConnection, "INSERT INTO blobs VALUES (?, ?, ?)");
  Add(*cmd, adInteger, Variant(int32_t(1)));
  Add(*cmd, adLongVarBinary, Variant(std::string()));
  Add(*cmd, adLongVarChar, Variant(std::string()));
  cmd->Execute();
  cmd->Parameters().Item(0)->SetValue(Variant(int32_t(2)));
  cmd->Parameters().Item(1)->SetValue(Variant(big));
  cmd->Parameters().Item(2)->SetValue(Variant(std::string(100000, '\xE6')));  // Cyrillic "ж"
  cmd->Execute();
  cmd->Parameters().Item(0)->SetValue(Variant(int32_t(3)));
  cmd->Execute();

  auto rs = FConnection->Execute("SELECT id, data, memo FROM blobs ORDER BY id");
  RefPtr<Field> data = rs->Fields().Item("data");
  EXPECT_NE(data->Attributes() & adFldLong, 0);
  // Empty blob: no bytes and no chunk.
  EXPECT_EQ(data->ActualSize(), 0);
  Variant empty = data->GetChunk(0);
  EXPECT_TRUE(empty.IsNull() || empty.ToString().empty());
  rs->MoveNext();

  // The whole blob in one chunk of its actual size, then nothing more.
  int64_t n = data->ActualSize();
  ASSERT_EQ(n, static_cast<int64_t>(big.size()));
  Variant whole = data->GetChunk(n);
  EXPECT_TRUE(whole.ToString() == big);
  EXPECT_TRUE(data->GetChunk(10).IsNull());
  // Text in chunks of characters.
  RefPtr<Field> memo = rs->Fields().Item("memo");
  std::string text;
  for (Variant part = memo->GetChunk(30000); !part.IsNull(); part = memo->GetChunk(30000))
    text += part.ToString();
  EXPECT_EQ(text, std::string(100000, '\xE6'));
  rs->MoveNext();

  // The same blob in pieces of 64 KiB.
  std::string pieces;
  for (Variant part = data->GetChunk(65536); !part.IsNull(); part = data->GetChunk(65536)) {
    ASSERT_LE(part.ToString().size(), 65536u);
    pieces += part.ToString();
  }
  EXPECT_TRUE(pieces == big);
  EXPECT_THROW(data->Value(), EAdoError);  // already handed out in chunks
}
// PostgreSQL's result sets stream through server cursors unless the user's connection string
// says otherwise, as the driver reads it ("false" and "no" are 0 to it); a failed statement ends
// such a cursor, and its recordset then raises rather than ending early. Cached results and
// SQLite's read on to the last row.
TEST_P(AdoCommand, AFailedStatementNeverEndsAnotherResultEarly) {
  Exec("CREATE TABLE t (id INTEGER PRIMARY KEY)");
  for (int i = 1; i <= 20; ++i) Exec("INSERT INTO t VALUES (" + std::to_string(i) + ")");
  const std::pair<std::string, bool> cases[] = {
      {"", true}, {";UseDeclareFetch=0", false}, {";UseDeclareFetch=false", false}, {";B6=no", false},
      {";UseDeclareFetch= 1", true}};
  for (const auto& [extra, streams] : cases) {
    SCOPED_TRACE(extra);
    RefPtr<_Connection> c(new _Connection);
    c->Open(ConnectionString() + extra);
    auto rs = c->Execute("SELECT id FROM t ORDER BY id");
    int seen = 0;
    for (; seen < 6; ++seen) rs->MoveNext();
    EXPECT_THROW(c->Execute("INSERT INTO t VALUES (1)"), EAdoError);
    bool raised = false;
    try {
      for (; !rs->Eof(); rs->MoveNext()) ++seen;
    } catch (const EAdoError&) {
      raised = true;
    }
    if (IsPg() && streams) {
      EXPECT_TRUE(raised);
    } else {
      EXPECT_FALSE(raised);
      EXPECT_EQ(seen, 20);
    }
  }
}

// A result read through a server cursor sizes each fetch by what its rows proved to hold: many
// short rows at a time, few once long values come. However the size moves, every row
// arrives once and in order, also while another result of the connection is read in turns.
using AdoServerCursor = AdoEngineTest;
INSTANTIATE_TEST_SUITE_P(Engines, AdoServerCursor, ::testing::Values(EngineKind::PostgreSQL), EngineName);

TEST_P(AdoServerCursor, ResizedFetchesBringEveryRowOnceInOrder) {
  constexpr int kRows = 3000;
  Exec("CREATE TABLE t (id INTEGER, memo TEXT)");
  Exec("INSERT INTO t SELECT g, 'к' || g FROM generate_series(1, "_ansi + std::to_string(kRows) + ") g");
  // Long values first, where fetches have grown, and last; two longer than a fetch's whole budget.
  const std::map<int, int> longRows = {{1, 100000}, {700, 100000}, {701, 2200000}, {702, 100000},
                                       {2000, 2200000}, {kRows, 100000}};
  for (const auto& [id, length] : longRows)
    Exec("UPDATE t SET memo = repeat('ж', "_ansi + std::to_string(length) + ") WHERE id = " + std::to_string(id));
  auto expectedLength = [&](int id) {
    auto it = longRows.find(id);
    return it != longRows.end() ? it->second : 1 + static_cast<int>(std::to_string(id).size());
  };
  enum class Read { Value, Chunks, IdAlone, InTurns };
  for (Read how : {Read::Value, Read::Chunks, Read::IdAlone, Read::InTurns}) {
    SCOPED_TRACE(static_cast<int>(how));
    auto rs = FConnection->Execute("SELECT id, memo FROM t ORDER BY id");
    RefPtr<_Recordset> other;
    int otherId = kRows + 1;
    if (how == Read::InTurns) other = FConnection->Execute("SELECT id FROM t ORDER BY id DESC");
    int id = 0;
    for (; !rs->Eof(); rs->MoveNext()) {
      ASSERT_EQ(Val(rs, "id").ToInt32(), ++id);
      int64_t length = 0;
      if (how == Read::Chunks) {
        RefPtr<Field> memo = rs->Fields().Item("memo");
        for (Variant part = memo->GetChunk(65536); !part.IsNull(); part = memo->GetChunk(65536))
          length += static_cast<int64_t>(part.StrRef().size());
      } else if (how != Read::IdAlone) {
        length = static_cast<int64_t>(Val(rs, "memo").StrRef().size());
      }
      if (how != Read::IdAlone) { ASSERT_EQ(length, expectedLength(id)) << id; }
      if (other) {
        ASSERT_FALSE(other->Eof());
        ASSERT_EQ(Val(other, "id").ToInt32(), --otherId);
        other->MoveNext();
      }
    }
    EXPECT_EQ(id, kRows);
    if (other) { EXPECT_TRUE(other->Eof()); }
  }
}
