#include "tests/support/DemoGisDb.h"

#include <gtest/gtest.h>

#include "gisdb/CreateSysTables.h"
#include "tests/support/MemoryDb.h"

// The demo database respects the catalogue's keys and NOT NULL flags (the memory database checks
// both on every INSERT), and the comparer sees a single changed value.
TEST(DemoGisDb, BuildsWithinTheCatalogueAndComparesRowByRow) {
  RefPtr<testsupport::TMemDb> db(new testsupport::TMemDb);
  testsupport::TDemoOptions options;
  options.LargeRows = 500;
  testsupport::BuildDemoGisDb(db.get(), options);
  EXPECT_EQ(db->Table("ORVEL_OBJINFO").Rows.size(), 500u);
  for (const auto& name : SysTableNames) EXPECT_FALSE(db->Table(name).Rows.empty()) << name;
  for (const auto& name : testsupport::DemoSemanticTables()) EXPECT_TRUE(db->TableExists(name)) << name;

  std::vector<std::string> columns;
  for (const auto& f : LayersFields) columns.push_back(f.Name);
  EXPECT_EQ(testsupport::CompareTables(db.get(), "ORVEL_LAYERS", db.get(), "ORVEL_LAYERS", columns), "");
  auto& rows = db->Table("ORVEL_LAYERS").Rows;
  rows[3][4] = Variant(rows[3][4].IsNull() ? 1.0 : rows[3][4].ToDouble() + 1e-9);
  RefPtr<testsupport::TMemDb> other(new testsupport::TMemDb);
  testsupport::BuildDemoGisDb(other.get(), options);
  EXPECT_NE(testsupport::CompareTables(db.get(), "ORVEL_LAYERS", other.get(), "ORVEL_LAYERS", columns), "");
}
