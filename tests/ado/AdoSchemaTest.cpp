#include "tests/ado/AdoEngines.h"

#include <map>
#include <set>

using AdoSchema = AdoEngineTest;
INSTANTIATE_ENGINES(AdoSchema);

namespace {

struct TypeRow {
  std::string name;
  int32_t dataType;
  bool isLong, isFixed;
  Variant columnSize;
};

std::vector<TypeRow> ProviderTypes(_Connection& c, Variant restrictions = Variant()) {
  std::vector<TypeRow> out;
  auto rs = c.OpenSchema(adSchemaProviderTypes, restrictions);
  for (; !rs->Eof(); rs->MoveNext())
    out.push_back({Val(rs, "TYPE_NAME").ToString(), Val(rs, "DATA_TYPE").ToInt32(),
                   Val(rs, "IS_LONG").ToBool(), Val(rs, "IS_FIXEDLENGTH").ToBool(),
                   Val(rs, "COLUMN_SIZE")});
  return out;
}

const TypeRow* First(const std::vector<TypeRow>& rows, int32_t dataType, bool isLong, bool isFixed) {
  for (const auto& r : rows)
    if (r.dataType == dataType && r.isLong == isLong && r.isFixed == isFixed) return &r;
  return nullptr;
}

}  // namespace

TEST_P(AdoSchema, ProviderTypesUseAdoCodesWithTheOdbc3DateTypesFirst) {
  auto types = ProviderTypes(*FConnection);
  ASSERT_FALSE(types.empty());
  std::set<int32_t> codes;
  for (const auto& t : types) codes.insert(t.dataType);
  for (int32_t c : {adInteger, adSmallInt, adDouble, adDBDate, adDBTime, adDBTimeStamp, adChar,
                    adBinary})
    EXPECT_TRUE(codes.count(c)) << "no row of type " << c;
  // Dates never appear as adDate, and no ODBC code survives unmapped.
  for (int32_t c : {adDate, 9, 10, 91, 92, 93, 1, 12, -1, -4}) EXPECT_FALSE(codes.count(c)) << c;

  // psqlODBC lists date, time and timestamp once more under their ODBC 2 codes; those rows
  // come last, behind the ODBC 3 rows that a choice by code must find first.
  std::vector<size_t> dateRows;
  for (size_t i = 0; i < types.size(); ++i)
    if (types[i].dataType == adDBDate || types[i].dataType == adDBTime ||
        types[i].dataType == adDBTimeStamp)
      dateRows.push_back(i);
  if (IsPg()) {
    ASSERT_EQ(dateRows.size(), 6u);
    EXPECT_EQ(dateRows[3], types.size() - 3);
    EXPECT_EQ(types[dateRows[3]].dataType, adDBDate);
    EXPECT_EQ(types[dateRows[5]].dataType, adDBTimeStamp);
    EXPECT_LT(dateRows[2], types.size() - 3);
  } else {
    EXPECT_EQ(dateRows.size(), 3u);
  }

  // Strings: a plain variable-length type, a long one; blobs: a long binary type.
  const TypeRow* varchar = First(types, adChar, false, false);
  ASSERT_NE(varchar, nullptr);
  EXPECT_EQ(varchar->name, "varchar");
  EXPECT_EQ(varchar->columnSize.ToInt32(), IsPg() ? 8000 : 255);
  ASSERT_NE(First(types, adChar, true, false), nullptr);
  EXPECT_EQ(First(types, adChar, true, false)->name, IsPg() ? "text" : "text");
  const TypeRow* blob = First(types, adBinary, true, false);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->name, IsPg() ? "bytea" : "longvarbinary");
  EXPECT_GT(blob->columnSize.ToInt32(), 0);
  ASSERT_NE(First(types, adChar, false, true), nullptr);
  EXPECT_EQ(First(types, adChar, false, true)->name, "char");
  if (IsPg()) {
    const TypeRow* wide = First(types, adWChar, false, false);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->name, "varchar");
    ASSERT_NE(First(types, adNumeric, false, false), nullptr);
  }

  auto onlyTimestamps = ProviderTypes(*FConnection, Restrict({Variant(int32_t(adDBTimeStamp))}));
  ASSERT_FALSE(onlyTimestamps.empty());
  for (const auto& t : onlyTimestamps) EXPECT_EQ(t.dataType, adDBTimeStamp);
  EXPECT_EQ(onlyTimestamps.front().name, IsPg() ? "timestamptz" : "timestamp");
}

TEST_P(AdoSchema, TablesAndColumnsTakeNamesLiterally) {
  Exec("CREATE TABLE t_1 (a INTEGER)");
  Exec("CREATE TABLE t11 (b INTEGER, c INTEGER)");
  Exec("CREATE TABLE tx1 (d INTEGER)");
  Exec("CREATE VIEW v_1 AS SELECT a FROM t_1");

  auto tables = Rows(FConnection->OpenSchema(adSchemaTables,
                                             Restrict({Variant(), Variant(), Variant("t_1"), Variant()})),
                     {"TABLE_NAME", "TABLE_TYPE"});
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0][1].ToString(), "TABLE");
  EXPECT_TRUE(FConnection->OpenSchema(adSchemaTables,
                                      Restrict({Variant(), Variant(), Variant("v_1"), Variant("TABLE")}))
                  ->Eof());
  EXPECT_FALSE(FConnection->OpenSchema(adSchemaTables,
                                       Restrict({Variant(), Variant(), Variant("v_1"), Variant("VIEW")}))
                   ->Eof());
  EXPECT_TRUE(FConnection->OpenSchema(adSchemaTables,
                                      Restrict({Variant(), Variant(), Variant("t%"), Variant()}))
                  ->Eof());
  std::set<std::string> all;
  for (const auto& r : Rows(FConnection->OpenSchema(adSchemaTables,
                                                    Restrict({Variant(), Variant(), Variant(), Variant("TABLE")})),
                            {"TABLE_NAME"}))
    all.insert(r[0].ToString());
  EXPECT_TRUE(all.count("t_1") && all.count("t11") && all.count("tx1"));

  auto columns = Rows(FConnection->OpenSchema(adSchemaColumns,
                                              Restrict({Variant(), Variant(), Variant("t_1"), Variant()})),
                      {"TABLE_NAME", "COLUMN_NAME"});
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0][1].ToString(), "a");
  auto one = Rows(FConnection->OpenSchema(adSchemaColumns,
                                          Restrict({Variant(), Variant(), Variant("t11"), Variant("c")})),
                  {"COLUMN_NAME", "ORDINAL_POSITION"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0][1].ToInt32(), 2);
}

TEST_P(AdoSchema, ColumnsCarryTypesSizesNullabilityAndLongFlags) {
  Exec("CREATE TABLE cols (id INTEGER NOT NULL, name VARCHAR(50) NOT NULL, code CHAR(4), memo TEXT, "
       "data " + BlobType() + ", d DATE, tm TIME, ts TIMESTAMP, price NUMERIC(12,3), "
       "f DOUBLE PRECISION, s SMALLINT, b BIGINT)");
  auto rs = FConnection->OpenSchema(adSchemaColumns,
                                    Restrict({Variant(), Variant(), Variant("cols"), Variant()}));
  struct Col {
    int32_t position, dataType, flags;
    bool nullable;
    Variant maxLength, precision, scale;
  };
  std::map<std::string, Col> cols;
  for (; !rs->Eof(); rs->MoveNext())
    cols[Val(rs, "COLUMN_NAME").ToString()] = {
        Val(rs, "ORDINAL_POSITION").ToInt32(), Val(rs, "DATA_TYPE").ToInt32(),
        Val(rs, "COLUMN_FLAGS").ToInt32(), Val(rs, "IS_NULLABLE").ToBool(),
        Val(rs, "CHARACTER_MAXIMUM_LENGTH"), Val(rs, "NUMERIC_PRECISION"), Val(rs, "NUMERIC_SCALE")};
  ASSERT_EQ(cols.size(), 12u);
  const int32_t text = IsPg() ? adWChar : adChar;

  EXPECT_EQ(cols["id"].position, 1);
  EXPECT_EQ(cols["id"].dataType, adInteger);
  EXPECT_FALSE(cols["id"].nullable);
  EXPECT_EQ(cols["id"].flags & (adFldIsNullable | adFldLong), 0);
  EXPECT_TRUE(cols["id"].maxLength.IsNull());

  EXPECT_EQ(cols["name"].dataType, text);
  EXPECT_EQ(cols["name"].maxLength.ToInt32(), 50);
  EXPECT_FALSE(cols["name"].nullable);
  EXPECT_EQ(cols["name"].flags & (adFldLong | adFldFixed), 0);

  EXPECT_EQ(cols["code"].dataType, text);
  EXPECT_EQ(cols["code"].maxLength.ToInt32(), 4);
  EXPECT_TRUE(cols["code"].nullable);
  if (IsPg()) {  // sqliteodbc reports CHAR(n) as VARCHAR(n)
    EXPECT_NE(cols["code"].flags & adFldFixed, 0);
  }

  EXPECT_EQ(cols["memo"].dataType, text);
  EXPECT_NE(cols["memo"].flags & adFldLong, 0);
  EXPECT_GT(cols["memo"].maxLength.ToInt32(), 50);

  EXPECT_EQ(cols["data"].dataType, adBinary);
  EXPECT_NE(cols["data"].flags & adFldLong, 0);
  EXPECT_EQ(cols["data"].flags & adFldFixed, 0);

  EXPECT_EQ(cols["d"].dataType, adDBDate);
  EXPECT_EQ(cols["tm"].dataType, adDBTime);
  EXPECT_EQ(cols["ts"].dataType, adDBTimeStamp);
  if (IsPg()) {
    EXPECT_EQ(cols["price"].dataType, adNumeric);
    EXPECT_EQ(cols["price"].precision.ToInt32(), 12);
    EXPECT_EQ(cols["price"].scale.ToInt32(), 3);
  } else {
    EXPECT_EQ(cols["price"].dataType, adDouble);  // sqliteodbc reports NUMERIC as SQL_DOUBLE
  }
  EXPECT_EQ(cols["f"].dataType, adDouble);
  EXPECT_EQ(cols["s"].dataType, adSmallInt);
  EXPECT_EQ(cols["s"].precision.ToInt32(), 5);
  EXPECT_EQ(cols["b"].dataType, adBigInt);
  EXPECT_EQ(cols["b"].position, 12);
}

TEST_P(AdoSchema, IndexesReportPrimaryAndUniqueKeys) {
  Exec("CREATE TABLE ix_1 (id INTEGER NOT NULL, code VARCHAR(10) NOT NULL, name VARCHAR(20), "
       "CONSTRAINT ix_1_pk PRIMARY KEY (id, code))");
  Exec("CREATE UNIQUE INDEX ix_1_name ON ix_1 (name)");
  Exec("CREATE INDEX ix_1_code_name ON ix_1 (code, name)");
  Exec("CREATE TABLE ix11 (x INTEGER)");
  Exec("CREATE INDEX ix11_x ON ix11 (x)");
  Exec("CREATE TABLE rowid_key (id INTEGER PRIMARY KEY, v INTEGER)");

  auto read = [&](const std::string& table) {
    std::map<std::string, std::vector<std::vector<Variant>>> byIndex;
    auto rs = FConnection->OpenSchema(
        adSchemaIndexes, Restrict({Variant(), Variant(), Variant(), Variant(), Variant(table)}));
    for (auto& row : Rows(rs, {"INDEX_NAME", "PRIMARY_KEY", "UNIQUE", "ORDINAL_POSITION",
                               "COLUMN_NAME", "TABLE_NAME"})) {
      EXPECT_EQ(row[5].ToString(), table);
      byIndex[row[0].ToString()].push_back(row);
    }
    return byIndex;
  };

  auto ix = read("ix_1");
  ASSERT_EQ(ix.size(), 3u);
  std::string pk;
  for (const auto& [name, rows] : ix)
    if (rows[0][1].ToBool()) pk = name;
  if (IsPg()) { EXPECT_EQ(pk, "ix_1_pk"); }
  ASSERT_FALSE(pk.empty());
  ASSERT_EQ(ix[pk].size(), 2u);
  EXPECT_EQ(ix[pk][0][4].ToString(), "id");
  EXPECT_EQ(ix[pk][1][4].ToString(), "code");
  EXPECT_TRUE(ix[pk][0][2].ToBool());
  EXPECT_TRUE(ix["ix_1_name"][0][2].ToBool());
  EXPECT_FALSE(ix["ix_1_name"][0][1].ToBool());
  ASSERT_EQ(ix["ix_1_code_name"].size(), 2u);
  EXPECT_FALSE(ix["ix_1_code_name"][0][2].ToBool());
  EXPECT_EQ(ix["ix_1_code_name"][1][3].ToInt32(), 2);
  EXPECT_EQ(ix["ix_1_code_name"][1][4].ToString(), "name");

  auto other = read("ix11");
  ASSERT_EQ(other.size(), 1u);
  EXPECT_TRUE(other.count("ix11_x"));

  auto rowid = read("rowid_key");
  ASSERT_EQ(rowid.size(), 1u);
  const auto& key = rowid.begin()->second;
  EXPECT_TRUE(key[0][1].ToBool());
  EXPECT_EQ(key[0][4].ToString(), "id");

  auto named = Rows(FConnection->OpenSchema(adSchemaIndexes,
                                            Restrict({Variant(), Variant(), Variant("ix_1_name"),
                                                      Variant(), Variant("ix_1")})),
                    {"INDEX_NAME"});
  ASSERT_EQ(named.size(), 1u);
}

TEST_P(AdoSchema, CyrillicNamesCrossTheCatalogue) {
  Exec("CREATE TABLE \"таблица_1\" (\"поле\" INTEGER)"_ansi);
  auto tables = Rows(FConnection->OpenSchema(adSchemaTables, Restrict({Variant(), Variant(),
                                                                       Variant("таблица_1"_ansi),
                                                                       Variant("TABLE")})),
                     {"TABLE_NAME"});
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0][0].ToString(), "таблица_1"_ansi);
  auto columns = Rows(FConnection->OpenSchema(adSchemaColumns,
                                              Restrict({Variant(), Variant(), Variant("таблица_1"_ansi)})),
                      {"COLUMN_NAME", "DATA_TYPE"});
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0][0].ToString(), "поле"_ansi);
  auto rs = FConnection->Execute("SELECT \"поле\" FROM \"таблица_1\""_ansi);
  EXPECT_EQ(rs->Fields().Item(0)->Name(), "поле"_ansi);
  EXPECT_EQ(rs->Fields().Item("ПОЛЕ"_ansi)->Name(), "поле"_ansi);
}
