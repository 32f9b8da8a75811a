// One INSERT per row into SQLite through the ODBC back-end (an IOrvDb statement executed once
// per row with three parameters, as the copier does it; and a statement made anew for every row),
// against the same inserts made straight through ODBC with one statement prepared and bound once.
// Arg 0: every row in one transaction; arg 1: autocommit, each row committed on its own.
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "gisdb/OrvelDbs.h"

namespace {

struct TempDb {
  std::filesystem::path path;
  explicit TempDb(const char* name) {
    path = std::filesystem::temp_directory_path() / (std::string("copyorvel-bench-adodb-") + name + ".db");
    std::filesystem::remove(path);
  }
  ~TempDb() { std::filesystem::remove(path); }
  std::string ConnectionString() const { return "DRIVER=SQLite3;Database=" + path.string(); }
};

std::string RowName(int64_t i) { return "Строка номер "_ansi + std::to_string(i); }

IOrvDbPtr OpenDb(const TempDb& file) {
  auto params = CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", file.ConnectionString()});
  IOrvDbPtr db = ConnectDb(params.get(), true);
  db->CreateSQL("CREATE TABLE [ROWS] ([ID] integer, [NAME] varchar(40), [AMOUNT] double)")->Execute({});
  return db;
}

void Rows(benchmark::State& state, bool statementPerRow) {
  TempDb file(statementPerRow ? "per-row" : "reused");
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

void Check(SQLRETURN rc, const char* what) {
  if (!SQL_SUCCEEDED(rc)) throw std::runtime_error(what);
}

void OdbcPrepared(benchmark::State& state) {
  TempDb file("odbc");
  OpenDb(file);  // the same table, made the same way
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  Check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "env");
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "dbc");
  std::u16string cs = AnsiToUtf16(file.ConnectionString());
  Check(SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()), SQL_NTS, nullptr, 0, nullptr,
                          SQL_DRIVER_NOPROMPT),
        "connect");
  const bool autocommit = state.range(0) != 0;
  if (!autocommit) SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st), "stmt");
  std::u16string sql = AnsiToUtf16("INSERT INTO [ROWS] ([ID],[NAME],[AMOUNT]) VALUES(?,?,?)");
  Check(SQLPrepareW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), "prepare");
  SQLINTEGER id = 0;
  double amount = 0;
  char16_t name[64];
  SQLLEN idInd = 0, nameInd = 0, amountInd = 0;
  Check(SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id, 0, &idInd), "bind");
  Check(SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 40, 0, name, sizeof(name), &nameInd),
        "bind");
  Check(SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &amount, 0, &amountInd), "bind");
  int64_t i = 0;
  for (auto _ : state) {
    id = static_cast<SQLINTEGER>(i);
    std::u16string w = AnsiToUtf16(RowName(i));
    std::copy(w.begin(), w.end(), name);
    nameInd = static_cast<SQLLEN>(w.size() * sizeof(char16_t));
    amount = i * 0.5;
    Check(SQLExecute(st), "execute");
    ++i;
  }
  if (!autocommit) SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(OdbcPrepared)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(OrvDbStatement)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(OrvDbStatementPerRow)->Arg(0)->Arg(1)->ArgName("autocommit");
