#include "platform/ado/AdoOdbc.h"

#include <gtest/gtest.h>

using adoodbc::MapSqlType;

TEST(AdoTypeMap, CharacterAndBinaryFamiliesCarryLongAndFixedFlags) {
  struct Case {
    SQLSMALLINT sql;
    SQLLEN size;
    DataTypeEnum schema, field;
    bool isLong, isFixed;
  };
  const Case cases[] = {
      {SQL_CHAR, 10, adChar, adChar, false, true},
      {SQL_VARCHAR, 50, adChar, adVarChar, false, false},
      {SQL_VARCHAR, 0, adChar, adLongVarChar, true, false},  // no known bound
      {SQL_LONGVARCHAR, 65536, adChar, adLongVarChar, true, false},
      {SQL_WCHAR, 4, adWChar, adChar, false, true},
      {SQL_WVARCHAR, 8000, adWChar, adVarChar, false, false},
      {SQL_WLONGVARCHAR, 8190, adWChar, adLongVarChar, true, false},
      {SQL_BINARY, 16, adBinary, adBinary, false, true},
      {SQL_BINARY, 0, adBinary, adLongVarBinary, true, false},  // sqliteodbc's BLOB
      {SQL_VARBINARY, -4, adBinary, adLongVarBinary, true, false},  // psqlODBC's bytea
      {SQL_LONGVARBINARY, 65536, adBinary, adLongVarBinary, true, false},
  };
  for (const Case& c : cases) {
    auto t = MapSqlType(c.sql, c.size, false);
    EXPECT_EQ(t.schemaType, c.schema) << c.sql << "/" << c.size;
    EXPECT_EQ(t.fieldType, c.field) << c.sql << "/" << c.size;
    EXPECT_EQ(t.isLong, c.isLong) << c.sql << "/" << c.size;
    EXPECT_EQ(t.isFixed, c.isFixed) << c.sql << "/" << c.size;
  }
}

TEST(AdoTypeMap, NumbersDatesAndUnsignedTypes) {
  EXPECT_EQ(MapSqlType(SQL_TINYINT, 3, false).fieldType, adTinyInt);
  EXPECT_EQ(MapSqlType(SQL_TINYINT, 3, true).fieldType, adUnsignedTinyInt);
  EXPECT_EQ(MapSqlType(SQL_SMALLINT, 5, true).fieldType, adUnsignedSmallInt);
  EXPECT_EQ(MapSqlType(SQL_INTEGER, 10, false).fieldType, adInteger);
  EXPECT_EQ(MapSqlType(SQL_INTEGER, 10, true).fieldType, adUnsignedInt);
  EXPECT_EQ(MapSqlType(SQL_BIGINT, 19, true).fieldType, adUnsignedBigInt);
  EXPECT_EQ(MapSqlType(SQL_BIT, 1, false).fieldType, adBoolean);
  EXPECT_EQ(MapSqlType(SQL_REAL, 7, false).fieldType, adSingle);
  EXPECT_EQ(MapSqlType(SQL_FLOAT, 15, false).fieldType, adDouble);
  EXPECT_EQ(MapSqlType(SQL_DECIMAL, 12, false).fieldType, adNumeric);
  EXPECT_EQ(MapSqlType(SQL_NUMERIC, 12, false).precision, 12);
  for (SQLSMALLINT t : {SQL_TYPE_DATE, SQL_DATE}) EXPECT_EQ(MapSqlType(t, 10, false).schemaType, adDBDate);
  for (SQLSMALLINT t : {SQL_TYPE_TIME, SQL_TIME}) EXPECT_EQ(MapSqlType(t, 8, false).schemaType, adDBTime);
  for (SQLSMALLINT t : {SQL_TYPE_TIMESTAMP, SQL_TIMESTAMP})
    EXPECT_EQ(MapSqlType(t, 23, false).schemaType, adDBTimeStamp);
  EXPECT_EQ(MapSqlType(SQL_GUID, 36, false).fieldType, adGUID);
  EXPECT_EQ(MapSqlType(SQL_INTERVAL_DAY, 0, false).fieldType, adVarChar);
}
