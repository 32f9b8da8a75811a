// What the SQLite insert benchmarks share: a database file of the run, the rows' text, and the
// baseline they are measured against: the same inserts made straight through ODBC with one
// statement prepared and bound once.
#pragma once

#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/rtl/AnsiText.h"

namespace benchsupport {

// A SQLite database file under the temporary folder, removed before and after the run.
struct TempSqliteDb {
  std::filesystem::path path;
  explicit TempSqliteDb(const std::string& name) {
    path = std::filesystem::temp_directory_path() / ("copyorvel-bench-" + name + ".db");
    std::filesystem::remove(path);
  }
  ~TempSqliteDb() { std::filesystem::remove(path); }
  std::string ConnectionString() const { return "DRIVER=SQLite3;Database=" + path.string(); }
};

inline std::string RowName(int64_t i) { return "Строка номер "_ansi + std::to_string(i); }

inline void CheckOdbc(SQLRETURN rc, const char* what) {
  if (!SQL_SUCCEEDED(rc)) throw std::runtime_error(what);
}

// Inserts one row (integer, text, double) per iteration through ODBC with `insertSql` prepared
// once. state.range(0): 0 puts every row in one transaction, 1 commits each row on its own.
inline void OdbcPreparedInserts(benchmark::State& state, const std::string& connectionString,
                                const std::string& insertSql) {
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  CheckOdbc(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "env");
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  CheckOdbc(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "dbc");
  std::u16string cs = AnsiToUtf16(connectionString);
  CheckOdbc(SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()), SQL_NTS, nullptr, 0, nullptr,
                              SQL_DRIVER_NOPROMPT),
            "connect");
  const bool autocommit = state.range(0) != 0;
  if (!autocommit) SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  CheckOdbc(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st), "stmt");
  std::u16string sql = AnsiToUtf16(insertSql);
  CheckOdbc(SQLPrepareW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), "prepare");
  SQLINTEGER id = 0;
  double amount = 0;
  char16_t name[64];
  SQLLEN idInd = 0, nameInd = 0, amountInd = 0;
  CheckOdbc(SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id, 0, &idInd), "bind");
  CheckOdbc(SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 40, 0, name, sizeof(name), &nameInd),
            "bind");
  CheckOdbc(SQLBindParameter(st, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &amount, 0, &amountInd),
            "bind");
  int64_t i = 0;
  for (auto _ : state) {
    id = static_cast<SQLINTEGER>(i);
    std::u16string w = AnsiToUtf16(RowName(i));
    std::copy(w.begin(), w.end(), name);
    nameInd = static_cast<SQLLEN>(w.size() * sizeof(char16_t));
    amount = static_cast<double>(i) * 0.5;
    CheckOdbc(SQLExecute(st), "execute");
    ++i;
  }
  if (!autocommit) SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace benchsupport
