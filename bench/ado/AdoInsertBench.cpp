// One INSERT per row into SQLite: through the ADO-shaped layer (a Command with parameters,
// reused, and a new Command with new parameters per row as the database back-end does it)
// against the same inserts made straight through ODBC with one prepared statement bound once.
// Arg 0: all rows in one transaction; arg 1: autocommit, each row committed on its own.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/support/SqliteInserts.h"
#include "platform/ado/Ado.h"

namespace {

using namespace benchsupport;

const char* kCreate = "CREATE TABLE rows (id INTEGER, name VARCHAR(40), amount DOUBLE PRECISION)";
const char* kInsert = "INSERT INTO rows (id, name, amount) VALUES (?, ?, ?)";

void AdoReusedCommand(benchmark::State& state) {
  TempSqliteDb db("ado-reused");
  RefPtr<_Connection> c(new _Connection);
  c->Open(db.ConnectionString());
  c->Execute(kCreate);
  const bool autocommit = state.range(0) != 0;
  if (!autocommit) c->BeginTrans();
  RefPtr<_Command> cmd(new _Command);
  cmd->SetActiveConnection(c);
  cmd->SetCommandText(kInsert);
  cmd->Parameters().Append(cmd->CreateParameter("", adInteger, adParamInput, -1, Variant()));
  cmd->Parameters().Append(cmd->CreateParameter("", adVarChar, adParamInput, -1, Variant()));
  cmd->Parameters().Append(cmd->CreateParameter("", adDouble, adParamInput, -1, Variant()));
  int64_t i = 0;
  for (auto _ : state) {
    cmd->Parameters().Item(0)->SetValue(Variant(static_cast<int32_t>(i)));
    cmd->Parameters().Item(1)->SetValue(Variant(RowName(i)));
    cmd->Parameters().Item(2)->SetValue(Variant(i * 0.5));
    cmd->Execute();
    ++i;
  }
  if (!autocommit) c->CommitTrans();
  state.SetItemsProcessed(state.iterations());
}

void AdoCommandPerRow(benchmark::State& state) {
  TempSqliteDb db("ado-per-row");
  RefPtr<_Connection> c(new _Connection);
  c->Open(db.ConnectionString());
  c->Execute(kCreate);
  const bool autocommit = state.range(0) != 0;
  if (!autocommit) c->BeginTrans();
  int64_t i = 0;
  for (auto _ : state) {
    RefPtr<_Command> cmd(new _Command);
    cmd->SetActiveConnection(c);
    cmd->SetCommandText(kInsert);
    cmd->SetCommandTimeout(c->CommandTimeout());
    cmd->Parameters().Append(cmd->CreateParameter("", adInteger, adParamInput, -1, Variant(static_cast<int32_t>(i))));
    std::string name = RowName(i);
    cmd->Parameters().Append(cmd->CreateParameter("", adVarChar, adParamInput,
                                                  static_cast<int64_t>(name.size()), Variant(name)));
    cmd->Parameters().Append(cmd->CreateParameter("", adDouble, adParamInput, -1, Variant(i * 0.5)));
    Variant affected;
    cmd->Execute(&affected);
    ++i;
  }
  if (!autocommit) c->CommitTrans();
  state.SetItemsProcessed(state.iterations());
}

void OdbcPrepared(benchmark::State& state) {
  TempSqliteDb db("odbc");
  {  // the table, made the same way
    RefPtr<_Connection> c(new _Connection);
    c->Open(db.ConnectionString());
    c->Execute(kCreate);
  }
  OdbcPreparedInserts(state, db.ConnectionString(), kInsert);
}

}  // namespace

BENCHMARK(OdbcPrepared)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(AdoReusedCommand)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(AdoCommandPerRow)->Arg(0)->Arg(1)->ArgName("autocommit");
