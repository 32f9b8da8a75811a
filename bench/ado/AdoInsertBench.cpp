// One INSERT per row into SQLite: through the ADO-shaped layer (a Command with parameters,
// reused, and a new Command with new parameters per row as the database back-end does it)
// against the same inserts made straight through ODBC with one prepared statement bound once.
// Arg 0: all rows in one transaction; arg 1: autocommit, each row committed on its own.
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <filesystem>
#include <string>

#include "platform/ado/Ado.h"

namespace {

struct TempDb {
  std::filesystem::path path;
  explicit TempDb(const char* name) {
    path = std::filesystem::temp_directory_path() / (std::string("copyorvel-bench-") + name + ".db");
    std::filesystem::remove(path);
  }
  ~TempDb() { std::filesystem::remove(path); }
  std::string ConnectionString() const { return "DRIVER=SQLite3;Database=" + path.string(); }
};

const char* kCreate = "CREATE TABLE rows (id INTEGER, name VARCHAR(40), amount DOUBLE PRECISION)";
const char* kInsert = "INSERT INTO rows (id, name, amount) VALUES (?, ?, ?)";

std::string RowName(int64_t i) { return "Строка номер "_ansi + std::to_string(i); }

void AdoReusedCommand(benchmark::State& state) {
  TempDb db("ado-reused");
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
  TempDb db("ado-per-row");
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

void Check(SQLRETURN rc, const char* what) {
  if (!SQL_SUCCEEDED(rc)) throw std::runtime_error(what);
}

void OdbcPrepared(benchmark::State& state) {
  TempDb db("odbc");
  {  // the table, made the same way
    RefPtr<_Connection> c(new _Connection);
    c->Open(db.ConnectionString());
    c->Execute(kCreate);
  }
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  Check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "env");
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "dbc");
  std::u16string cs = AnsiToUtf16(db.ConnectionString());
  Check(SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()), SQL_NTS, nullptr, 0,
                          nullptr, SQL_DRIVER_NOPROMPT),
        "connect");
  const bool autocommit = state.range(0) != 0;
  if (!autocommit)
    SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st), "stmt");
  std::u16string sql = AnsiToUtf16(kInsert);
  Check(SQLPrepareW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), "prepare");
  SQLINTEGER id = 0;
  double amount = 0;
  char16_t name[64];
  SQLLEN idInd = 0, nameInd = 0, amountInd = 0;
  Check(SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id, 0, &idInd), "bind");
  Check(SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 40, 0, name, sizeof(name),
                         &nameInd),
        "bind");
  Check(SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &amount, 0,
                         &amountInd),
        "bind");
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
BENCHMARK(AdoReusedCommand)->Arg(0)->Arg(1)->ArgName("autocommit");
BENCHMARK(AdoCommandPerRow)->Arg(0)->Arg(1)->ArgName("autocommit");
