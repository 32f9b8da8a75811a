// The engines the ADO-shaped layer is tested on: SQLite through its ODBC driver (always) and
// PostgreSQL through "PostgreSQL Unicode" when COPYORVEL_PG_PORT names a running server. Each
// PostgreSQL test gets a database of its own, created through the database "postgres" and
// dropped afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ado/Ado.h"
#include "tests/support/TestSupport.h"

enum class EngineKind { SQLite, PostgreSQL };

class AdoEngineTest : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool IsPg() const { return GetParam() == EngineKind::PostgreSQL; }
  // The connection string of this test's database.
  const std::string& ConnectionString() const { return FConnectionString; }
  // A new open connection to it.
  RefPtr<_Connection> Connect();
  void Exec(const std::string& sql) { FConnection->Execute(sql); }
  // Engine-specific type names for DDL.
  std::string BlobType() const { return IsPg() ? "BYTEA" : "BLOB"; }
  std::string BoolType() const { return IsPg() ? "BOOLEAN" : "INTEGER"; }

  RefPtr<_Connection> FConnection;

 private:
  std::unique_ptr<testsupport::TempDir> FDir;
  std::string FConnectionString;
  std::string FPgDatabase;
};

// "PostgreSQL" or "SQLite", for the test names.
std::string EngineName(const ::testing::TestParamInfo<EngineKind>& info);

#define INSTANTIATE_ENGINES(Suite)                                                   \
  INSTANTIATE_TEST_SUITE_P(Engines, Suite,                                           \
                           ::testing::Values(EngineKind::SQLite, EngineKind::PostgreSQL), \
                           EngineName)

// Restrictions for OpenSchema: an array Variant, Empty elements leaving columns open.
Variant Restrict(std::vector<Variant> items);
// A field's value of the current row, by name.
Variant Val(const RefPtr<_Recordset>& rs, const std::string& name);
// Every row of a rowset as values of the named columns.
std::vector<std::vector<Variant>> Rows(const RefPtr<_Recordset>& rs,
                                       const std::vector<std::string>& names);
