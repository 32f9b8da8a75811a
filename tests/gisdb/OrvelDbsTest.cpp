#include "gisdb/OrvelDbs.h"

#include <gtest/gtest.h>

#include "gisdb/OrvelDbUtils.h"

namespace {

// A database that only remembers the statements made through it, so that the builders' texts
// can be read back exactly.
class TTextDb : public TInterfacedObject, public IOrvDb {
 public:
  explicit TTextDb(bool local) : FLocal(local) {}
  std::vector<std::string> Made;
  std::vector<std::string> Executed;

  void Open(IConnParams*) override {}
  void Close() override {}
  void StartTransaction() override {}
  void Commit() override {}
  void Rollback() override {}
  bool InTransaction() override { return false; }
  bool IsLocal() override { return FLocal; }
  IOrvDbSQLPtr CreateSQL(const std::string& sql) override;
  bool TableExists(const std::string&) override { return false; }
  IOrvDbTableDefPtr GetTableDef(const std::string&) override { return nullptr; }
  void DropTable(const std::string&) override {}
  std::string ConnectionToken() override { return {}; }
  TOrvDbAttachment IsAttached(const std::string&) override { return oaUnknown; }

 private:
  bool FLocal;
};

class TTextSQL : public TInterfacedObject, public IOrvDbSQL {
 public:
  TTextSQL(TTextDb* db, std::string sql) : FDb(db), FSQL(std::move(sql)) {}
  std::string GetSQL() override { return FSQL; }
  void SetSQL(const std::string& sql) override { FSQL = sql; }
  IOrvDbSQLPtr Execute(const TOrvDbParams&) override {
    FDb->Executed.push_back(FSQL);
    return IOrvDbSQLPtr(this);
  }
  bool Eof() override { return true; }
  int RowsAffected() override { return 0; }
  int FieldCount() override { return 0; }
  int FieldIndex(const std::string&) override { return -1; }
  std::string FieldName(int) override { return {}; }
  TOrvDbFieldType FieldType(const Variant&) override { return dftUnknown; }
  Variant GetValue(const Variant&) override { return {}; }
  std::string AsString(const Variant&) override { return {}; }
  std::string AsBlob(const Variant&) override { return {}; }
  bool AsBoolean(const Variant&) override { return false; }
  int32_t AsInt32(const Variant&) override { return 0; }
  uint32_t AsUInt32(const Variant&) override { return 0; }
  float AsSingle(const Variant&) override { return 0; }
  double AsDouble(const Variant&) override { return 0; }
  TDateTime AsDateTime(const Variant&) override { return 0; }
  void Next() override {}
  void Close() override {}

 private:
  TTextDb* FDb;
  std::string FSQL;
};

IOrvDbSQLPtr TTextDb::CreateSQL(const std::string& sql) {
  Made.push_back(sql);
  return IOrvDbSQLPtr(new TTextSQL(this, sql));
}

}  // namespace

TEST(Builders, ByteExactTexts) {
  RefPtr<TTextDb> remote(new TTextDb(false)), local(new TTextDb(true));
  EXPECT_EQ(BuildInsertSQL(remote.get(), "ORVEL_MAPS", {"ID", "GPID"})->GetSQL(),
            "INSERT INTO [ORVEL_MAPS] ([ID],[GPID]) VALUES(?,?)");
  EXPECT_EQ(BuildInsertSQL(local.get(), "ORVEL_MAPS", {"ID", "GPID"})->GetSQL(),
            "INSERT INTO [ORVEL_MAPS] ([ORVEL_MAPS].[ID],[ORVEL_MAPS].[GPID]) VALUES(?,?)");
  EXPECT_EQ(BuildInsertSQL(remote.get(), "T", {"F"})->GetSQL(), "INSERT INTO [T] ([F]) VALUES(?)");
  EXPECT_EQ(BuildUpdateSQL(remote.get(), "ORVEL_MAPS", {"GPID"}, {"ID"})->GetSQL(),
            "UPDATE [ORVEL_MAPS] SET [GPID]=? WHERE ([ORVEL_MAPS].[ID]=?)");
  EXPECT_EQ(BuildUpdateSQL(remote.get(), "T", {"A", "B"}, {})->GetSQL(), "UPDATE [T] SET [A]=?,[B]=? ");
  EXPECT_EQ(BuildUpdateSQL(remote.get(), "T", {"A"}, {"K1", "K2"})->GetSQL(),
            "UPDATE [T] SET [A]=? WHERE ([T].[K1]=?) AND ([T].[K2]=?)");
  EXPECT_EQ(BuildSelectSQL(remote.get(), "ORVEL_MAPS", {"ID", "GPID"}, {"ID"})->GetSQL(),
            "SELECT [ORVEL_MAPS].[ID],[ORVEL_MAPS].[GPID] FROM [ORVEL_MAPS] WHERE ([ORVEL_MAPS].[ID]=?)");
  EXPECT_EQ(BuildSelectSQL(remote.get(), "T", {}, {})->GetSQL(), "SELECT * FROM [T] ");
  EXPECT_EQ(BuildSelectSQL(remote.get(), "T", {}, {"K"})->GetSQL(), "SELECT * FROM [T] WHERE ([T].[K]=?)");
  EXPECT_EQ(BuildSelectSQL(remote.get(), "100%", {"F"}, {})->GetSQL(), "SELECT [100%].[F] FROM [100%] ");
  EXPECT_EQ(BuildSelectSQL(remote.get(), "Карты"_ansi, {"Код"_ansi}, {})->GetSQL(),
            "SELECT [Карты].[Код] FROM [Карты] "_ansi);
  remote->Made.clear();
  OpenTableSQL(remote.get(), "ORVEL_MAPS");
  EXPECT_EQ(remote->Made, std::vector<std::string>{"SELECT * FROM [ORVEL_MAPS] "});
  EXPECT_EQ(remote->Executed, std::vector<std::string>{"SELECT * FROM [ORVEL_MAPS] "});
}

TEST(Builders, ListHelpers) {
  EXPECT_EQ(FormatList({}, "[%s]", ","), "");
  EXPECT_EQ(FormatList({"a", "b"}, "[%s]", ", "), "[a], [b]");
  EXPECT_EQ(RepeatStr("?", 0, ","), "");
  EXPECT_EQ(RepeatStr("?", -1, ","), "");
  EXPECT_EQ(RepeatStr("?", 3, ","), "?,?,?");
}

TEST(Records, ParameterMakersAndDefinitionEquality) {
  TOrvDbParam p = IntParam(-1);
  EXPECT_EQ(p.DataType, dftInt32);
  EXPECT_EQ(p.Value, Variant(int32_t(-1)));
  EXPECT_EQ(StrParam("x").DataType, dftString);
  EXPECT_EQ(StrParam("x").Value.VarType(), varString);
  TOrvDbParam blob = BlobParam(std::string("\0\xFF", 2));
  EXPECT_EQ(blob.DataType, dftBlob);
  EXPECT_EQ(blob.Value.StrRef(), std::string("\0\xFF", 2));

  TOrvDbFieldDef a{"Name", dftString, 40, true}, b = a;
  EXPECT_TRUE(SameFieldDef(a, b));
  b.Name = "NAME";
  EXPECT_FALSE(SameFieldDef(a, b));
  b = a;
  b.Required = false;
  EXPECT_FALSE(SameFieldDef(a, b));
  TOrvDbIndexDef i{"PK", "ID;GPID", dioPrimary | dioUnique}, j = i;
  EXPECT_TRUE(SameIndexDef(i, j));
  j.Fields = "id;GPID";
  EXPECT_FALSE(SameIndexDef(i, j));
}

TEST(ReplaceQuoteMarks, LiteralsStayAsTheyAre) {
  const std::vector<std::string> dq = {"\"", "\""};
  EXPECT_EQ(ReplaceQuoteMarks("SELECT [T].[F] FROM [T] WHERE [F]='[x]'", "[]", dq),
            "SELECT \"T\".\"F\" FROM \"T\" WHERE \"F\"='[x]'");
  EXPECT_EQ(ReplaceQuoteMarks("'a\"[b]' [c] \"[d]'\" [e]", "[]", {"<", ">"}), "'a\"[b]' <c> \"[d]'\" <e>");
  EXPECT_EQ(ReplaceQuoteMarks("[T]", "[]", {"", ""}), "T");
  EXPECT_EQ(ReplaceQuoteMarks("'open [x]", "[]", {"", ""}), "'open [x]");
}

// Every rewrite of a statement text (quote marks, parameter marks, Null markers) goes by this one
// reading of the literals.
TEST(ReplaceOutsideLiterals, OneReadingOfLiterals) {
  const struct {
    const char* text;
    const char* marks;
    const char* expected;
  } cases[] = {
      {"A=? AND B='?' AND \"C?\"=?", "?", "A=# AND B='?' AND \"C?\"=#"},
      {"'it''s ?' ?", "?", "'it''s ?' #"},            // a doubled quote stays inside the literal
      {"\"say \"\"?\"\"\" ?", "?", "\"say \"\"?\"\"\" #"},
      {"'a\"?' \"b'?\" ?", "?", "'a\"?' \"b'?\" #"},   // the other kind of quote is text
      {"? 'open ?", "?", "# 'open ?"},               // an open literal runs to the end
      {"'x' \"y\" ?", "'\"?", "'x' \"y\" #"},          // the quotes are never marks themselves
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReplaceOutsideLiterals(c.text, c.marks, [](char) { return std::string("#"); }), c.expected) << c.text;
}
