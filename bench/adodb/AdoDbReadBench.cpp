// Long values read through the ODBC back-end as the copier reads them (GetValue), with the
// process's peak resident memory (the kernel's high-water mark, reset before each measured
// part) reported as counters:
//   PgRows        24 rows of 4 MiB bytea from PostgreSQL: memory should follow one row, not the
//                 result set (peak_MB).
//   PgShortRows   200,000 short rows from PostgreSQL through the back-end (GetValue), beside
//   PgRawShortRows  the same rows read straight through ODBC by a driver that holds the whole
//                 result (psqlODBC's default), one SQLGetData a value.
//   SqliteText    one long text of N MiB from SQLite: time should grow linearly with N.
//   LongValue     one value of 200 MB inserted and read back (engine 0: SQLite, 1: PostgreSQL,
//                 2: a Paradox folder, for comparison): peak memory of each part in multiples of
//                 the value's size (insert_x, read_x), the caller's own copy included.
//   LongMemo      one memo of 100 M characters read back (engine 0: SQLite, 1: PostgreSQL): the
//                 peak of the read (read_x) and what stays resident while the caller holds the
//                 value and the row is still current (held_x), in multiples of the value's size.
// The PostgreSQL cases need COPYORVEL_PG_PORT (a server on 127.0.0.1 with user postgres).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/support/SqliteInserts.h"
#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbs.h"

namespace {

using namespace benchsupport;

// Resets the high-water mark to the current resident size.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A line of the process's status in bytes: "VmHWM:" the high-water mark since the last reset,
// "VmRSS:" the resident size now.
double StatusBytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) * 1024;
  return 0;
}

double PeakBytes() { return StatusBytes("VmHWM:"); }

std::string PgPort() {
  const char* port = std::getenv("COPYORVEL_PG_PORT");
  return port != nullptr ? port : "";
}

std::string PgConnectionString(const std::string& database) {
  return "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=" + PgPort() + ";Database=" + database +
         ";Uid=postgres;Pwd=;";
}

// A PostgreSQL database of the run, made anew and dropped afterwards.
struct TempPgDb {
  std::string name;
  explicit TempPgDb(const std::string& n) : name("copyorvel_bench_" + n) {
    Admin("DROP DATABASE IF EXISTS " + name);
    Admin("CREATE DATABASE " + name + " ENCODING 'UTF8'");
  }
  ~TempPgDb() { Admin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)"); }
  static void Admin(const std::string& sql) {
    IOrvDbPtr db = ConnectDb(CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", PgConnectionString("postgres")}).get(), true);
    db->CreateSQL(sql)->Execute({});
  }
  std::string ConnectionString() const { return PgConnectionString(name); }
};

// Brackets in statements stand for the data source's quote marks: double quotes where the
// string names PostgreSQL.
IOrvDbPtr Open(const std::string& connectionString) {
  const bool pg = connectionString.find("PostgreSQL") != std::string::npos;
  return ConnectDb(CreateConnParams({"ENGINE", "OLEDB", "CONNECTIONSTRING", connectionString, "LEFTQUOTEMARK",
                                     pg ? "\"" : "[", "RIGHTQUOTEMARK", pg ? "\"" : "]"})
                       .get(),
                   true);
}

std::string Bytes(std::size_t n, unsigned salt) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((i + salt) * 2654435761u) >> 13);
  return s;
}

void PgRows(benchmark::State& state) {
  if (PgPort().empty()) return state.SkipWithError("COPYORVEL_PG_PORT is not set");
  constexpr int kRows = 24;
  constexpr std::size_t kRowBytes = std::size_t(4) << 20;
  TempPgDb file("rows");
  IOrvDbPtr db = Open(file.ConnectionString());
  db->CreateSQL("CREATE TABLE big (id int4, data bytea)")->Execute({});
  {
    IOrvDbSQLPtr insert = db->CreateSQL("INSERT INTO big VALUES (?, ?)");
    for (int i = 0; i < kRows; ++i) insert->Execute({{dftInt32, Variant(int32_t(i))}, {dftBlob, Variant(Bytes(kRowBytes, i))}});
  }
  double peak = 0;
  for (auto _ : state) {
    ResetPeak();
    IOrvDbSQLPtr q = db->CreateSQL("SELECT id, data FROM big ORDER BY id");
    q->Execute({});
    std::size_t total = 0;
    for (; !q->Eof(); q->Next()) total += q->GetValue(Variant("data")).StrRef().size();
    if (total != kRows * kRowBytes) return state.SkipWithError("rows arrived short");
    q->Close();
    peak = std::max(peak, PeakBytes());
  }
  state.counters["peak_MB"] = peak / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRows * kRowBytes));
}

// Many short rows from PostgreSQL: what streaming costs where the result set would fit anyway.
constexpr int kShortRows = 200000;
const char* const kShortRowsQuery = "SELECT id, name, amount FROM small";

void MakeShortRows(IOrvDb* db) {
  db->CreateSQL("CREATE TABLE small AS SELECT g AS id, 'строка ' || g AS name, g * 0.5 AS amount "
                "FROM generate_series(1, " + std::to_string(kShortRows) + ") g"_ansi)->Execute({});
}

void PgShortRows(benchmark::State& state) {
  if (PgPort().empty()) return state.SkipWithError("COPYORVEL_PG_PORT is not set");
  TempPgDb file("short_rows");
  IOrvDbPtr db = Open(file.ConnectionString());
  MakeShortRows(db.get());
  for (auto _ : state) {
    IOrvDbSQLPtr q = db->CreateSQL(kShortRowsQuery);
    q->Execute({});
    int rows = 0;
    for (; !q->Eof(); q->Next(), ++rows) {
      q->GetValue(Variant("id"));
      q->GetValue(Variant("name"));
      q->GetValue(Variant("amount"));
    }
    if (rows != kShortRows) return state.SkipWithError("rows are missing");
  }
  state.SetItemsProcessed(state.iterations() * kShortRows);
}

void PgRawShortRows(benchmark::State& state) {
  if (PgPort().empty()) return state.SkipWithError("COPYORVEL_PG_PORT is not set");
  TempPgDb file("raw_short_rows");
  MakeShortRows(Open(file.ConnectionString()).get());
  SQLHENV env;
  SQLHDBC dbc;
  CheckOdbc(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "env");
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  CheckOdbc(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "dbc");
  std::u16string cs = AnsiToUtf16(file.ConnectionString());
  CheckOdbc(SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()), SQL_NTS, nullptr, 0, nullptr,
                              SQL_DRIVER_NOPROMPT),
            "connect");
  std::u16string sql = AnsiToUtf16(kShortRowsQuery);
  for (auto _ : state) {
    SQLHSTMT st;
    CheckOdbc(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st), "stmt");
    CheckOdbc(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), "select");
    int rows = 0;
    for (; SQL_SUCCEEDED(SQLFetch(st)); ++rows) {
      SQLINTEGER id = 0;
      char16_t name[64];
      char amount[64];
      SQLLEN ind = 0;
      CheckOdbc(SQLGetData(st, 1, SQL_C_SLONG, &id, 0, &ind), "id");
      CheckOdbc(SQLGetData(st, 2, SQL_C_WCHAR, name, sizeof(name), &ind), "name");
      CheckOdbc(SQLGetData(st, 3, SQL_C_CHAR, amount, sizeof(amount), &ind), "amount");
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (rows != kShortRows) return state.SkipWithError("rows are missing");
  }
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  state.SetItemsProcessed(state.iterations() * kShortRows);
}

void SqliteText(benchmark::State& state) {
  const std::size_t chars = static_cast<std::size_t>(state.range(0)) << 20;
  TempSqliteDb file("long-text");
  IOrvDbPtr db = Open(file.ConnectionString());
  db->CreateSQL("CREATE TABLE [T] ([ID] integer, [M] text)")->Execute({});
  std::string text(chars, 'a');
  for (std::size_t i = 0; i < chars; i += 100) text[i] = '\xE6';  // Cyrillic: conversion on the way
  db->CreateSQL("INSERT INTO [T] VALUES (?, ?)")->Execute({{dftInt32, Variant(int32_t(1))}, {dftMemo, Variant(text)}});
  for (auto _ : state) {
    IOrvDbSQLPtr q = db->CreateSQL("SELECT [M] FROM [T]");
    q->Execute({});
    if (q->GetValue(Variant("M")).StrRef().size() != chars) return state.SkipWithError("the text arrived short");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chars));
}

void LongValue(benchmark::State& state) {
  const int engine = static_cast<int>(state.range(0));
  if (engine == 1 && PgPort().empty()) return state.SkipWithError("COPYORVEL_PG_PORT is not set");
  constexpr std::size_t kBytes = 200'000'000;
  TempSqliteDb sqlite("long-value");
  std::unique_ptr<TempPgDb> postgres;
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "copyorvel-bench-long-value";
  IOrvDbPtr db;
  if (engine == 0) {
    db = Open(sqlite.ConnectionString());
  } else if (engine == 1) {
    postgres = std::make_unique<TempPgDb>("value");
    db = Open(postgres->ConnectionString());
  } else {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    db = ConnectDb(CreateConnParams({"ENGINE", "PDOX", "FOLDER", folder.string()}).get(), true);
  }
  CreateSysTable(db.get(), "V", {{"ID", dftInt32, 0, false}, {"DATA", dftBlob, 0, false}}, {});
  double insertPeak = 0, readPeak = 0;
  for (auto _ : state) {
    db->CreateSQL("DELETE FROM [V]")->Execute({});
    ResetPeak();
    {
      TOrvDbParams params = {{dftInt32, Variant(int32_t(1))}, {dftBlob, Variant(Bytes(kBytes, 1))}};
      BuildInsertSQL(db.get(), "V", {"ID", "DATA"})->Execute(params);
    }
    insertPeak = std::max(insertPeak, PeakBytes());
    ResetPeak();
    {
      IOrvDbSQLPtr q = OpenTableSQL(db.get(), "V");
      if (q->GetValue(Variant("DATA")).StrRef().size() != kBytes) return state.SkipWithError("the value arrived short");
    }
    readPeak = std::max(readPeak, PeakBytes());
  }
  db = nullptr;
  std::filesystem::remove_all(folder);
  state.counters["insert_x"] = insertPeak / kBytes;
  state.counters["read_x"] = readPeak / kBytes;
}

void LongMemo(benchmark::State& state) {
  const bool pg = state.range(0) == 1;
  if (pg && PgPort().empty()) return state.SkipWithError("COPYORVEL_PG_PORT is not set");
  constexpr std::size_t kChars = 100'000'000;
  TempSqliteDb sqlite("long-memo");
  std::unique_ptr<TempPgDb> postgres;
  if (pg) postgres = std::make_unique<TempPgDb>("memo");
  IOrvDbPtr db = Open(pg ? postgres->ConnectionString() : sqlite.ConnectionString());
  CreateSysTable(db.get(), "V", {{"ID", dftInt32, 0, false}, {"DATA", dftMemo, 0, false}}, {});
  {
    std::string text(kChars, 'a');
    for (std::size_t i = 0; i < kChars; i += 100) text[i] = '\xE6';  // Cyrillic: conversion on the way
    BuildInsertSQL(db.get(), "V", {"ID", "DATA"})->Execute({{dftInt32, Variant(int32_t(1))}, {dftMemo, Variant(std::move(text))}});
  }
  double readPeak = 0, held = 0;
  for (auto _ : state) {
    const double before = StatusBytes("VmRSS:");
    ResetPeak();
    IOrvDbSQLPtr q = OpenTableSQL(db.get(), "V");
    const Variant value = q->GetValue(Variant("DATA"));
    if (value.StrRef().size() != kChars) return state.SkipWithError("the memo arrived short");
    held = std::max(held, StatusBytes("VmRSS:") - before);
    readPeak = std::max(readPeak, PeakBytes() - before);
  }
  state.counters["read_x"] = readPeak / kChars;
  state.counters["held_x"] = held / kChars;
}

}  // namespace

BENCHMARK(PgRows)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(PgShortRows)->Unit(benchmark::kMillisecond);
BENCHMARK(PgRawShortRows)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteText)->Arg(1)->Arg(4)->Arg(16)->ArgName("MiB")->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(LongValue)->Arg(0)->Arg(1)->Arg(2)->ArgName("engine")->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(LongMemo)->Arg(0)->Arg(1)->ArgName("engine")->Unit(benchmark::kMillisecond)->Iterations(1);
