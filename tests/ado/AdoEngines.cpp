#include "tests/ado/AdoEngines.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::string PgPort() {
  const char* port = std::getenv("COPYORVEL_PG_PORT");
  return port != nullptr ? port : "";
}

std::string PgConnectionString(const std::string& database) {
  // MaxVarcharSize: without it the driver reports every varchar as at most 255 long.
  // BoolsAsChar=0: boolean columns come back as SQL_BIT rather than as text.
  return "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + PgPort() + ";Database=" +
         database + ";Uid=postgres;Pwd=;MaxVarcharSize=8000;BoolsAsChar=0";
}

void PgAdmin(const std::string& sql) {
  RefPtr<_Connection> admin(new _Connection);
  admin->Open(PgConnectionString("postgres"));
  admin->Execute(sql);
}

}  // namespace

void AdoEngineTest::SetUp() {
  if (IsPg()) {
    if (PgPort().empty()) GTEST_SKIP() << "COPYORVEL_PG_PORT is not set: no PostgreSQL server to test on";
    static std::atomic<int> counter{0};
    FPgDatabase = "ado_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    PgAdmin("DROP DATABASE IF EXISTS " + FPgDatabase);
    PgAdmin("CREATE DATABASE " + FPgDatabase + " ENCODING 'UTF8'");
    FConnectionString = PgConnectionString(FPgDatabase);
  } else {
    FDir = std::make_unique<testsupport::TempDir>();
    FConnectionString = "DRIVER=SQLite3;Database=" + (*FDir / "test.db");
  }
  FConnection = Connect();
}

void AdoEngineTest::TearDown() {
  FConnection = nullptr;
  if (!FPgDatabase.empty()) PgAdmin("DROP DATABASE IF EXISTS " + FPgDatabase + " WITH (FORCE)");
}

RefPtr<_Connection> AdoEngineTest::Connect() {
  RefPtr<_Connection> c(new _Connection);
  c->Open(FConnectionString);
  return c;
}

std::string EngineName(const ::testing::TestParamInfo<EngineKind>& info) {
  return info.param == EngineKind::PostgreSQL ? "PostgreSQL" : "SQLite";
}

Variant Restrict(std::vector<Variant> items) { return Variant(std::move(items)); }

Variant Val(const RefPtr<_Recordset>& rs, const std::string& name) {
  return rs->Fields().Item(name)->Value();
}

std::vector<std::vector<Variant>> Rows(const RefPtr<_Recordset>& rs,
                                       const std::vector<std::string>& names) {
  std::vector<std::vector<Variant>> out;
  for (; !rs->Eof(); rs->MoveNext()) {
    std::vector<Variant> row;
    for (const auto& n : names) row.push_back(Val(rs, n));
    out.push_back(std::move(row));
  }
  return out;
}
