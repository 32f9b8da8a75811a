// One INSERT per row into SQLite through the ODBC back-end (an IOrvDb statement executed once
// per row with three parameters, as the copier does it; and a statement made anew for every row),
// against the same inserts made straight through ODBC with one statement prepared and bound once.
// Arg 0: every row in one transaction; arg 1: autocommit, each row committed on its own.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/support/SqliteInserts.h"
#include "gisdb/OrvelDbs.h"

namespace {

using namespace benchsupport;

IOrvDbPtr OpenDb(const TempSqliteDb& file) {
  auto params = CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", file.ConnectionString()});
  IOrvDbPtr db = ConnectDb(params.get(), true);
  db->CreateSQL("CREATE TABLE [ROWS] ([ID] integer, [NAME] varchar(40), [AMOUNT] double)")->Execute({});
  return db;
}

void Rows(benchmark::State& state, bool statementPerRow) {
  TempSqliteDb file(statementPerRow ? "adodb-per-row" : "adodb-reused");
  IOrvDbPtr db = OpenDb(file);
  const bool autocommit = state.range(0) != 0;
  if (!autocommit) db->StartTransaction();
  IOrvDbSQLPtr insert = BuildInsertSQL(db.get(), "ROWS", {"ID", "NAME", "AMOUNT"});
  TOrvDbParams params = {{dftInt32, Variant()}, {dftString, Variant()}, {dftDouble, Variant()}};
  int64_t i = 0;
  for (auto _ : state) {
    if (statementPerRow) insert = BuildInsertSQL(db.get(), "ROWS", {"ID", "NAME", "AMOUNT"});
    params[0].Value = Variant(static_cast<int32_t>(i));
    params[1].Value = Variant(RowName(i));
    params[2].Value = Variant(i * 0.5);
    insert->Execute(params);
    ++i;
  }
  if (!autocommit) db->Commit();
  state.SetItemsProcessed(state.iterations());
}

void OrvDbStatement(benchmark::State& state) { Rows(state, false); }
void OrvDbStatementPerRow(benchmark::State& state) { Rows(state, true); }

void OdbcPrepared(benchmark::State& state) {
  TempSqliteDb file("adodb-odbc");
  OpenDb(file);  // the same table, made the same way
  OdbcPreparedInserts(state, file.ConnectionString(), "INSERT INTO [ROWS] ([ID],[NAME],[AMOUNT]) VALUES(?,?,?)");
}

}  // namespace

BENCHMARK(OdbcPrepared)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(OrvDbStatement)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(OrvDbStatementPerRow)->Arg(0)->Arg(1)->ArgName("autocommit");
