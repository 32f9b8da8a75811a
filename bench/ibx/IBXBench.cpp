// Row inserts into the embedded engine: one prepared INSERT executed per row inside one
// transaction, through TIBSQL and, for comparison, directly through isc_dsql_execute with a
// hand-built XSQLDA. Both write the same four columns with the same values.
#include <benchmark/benchmark.h>
#include <ibase.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/ibx/IBDatabase.h"
#include "platform/ibx/IBSQL.h"

namespace {

const char* const kInsert = "INSERT INTO BENCH (ID, NAME, X, TS) VALUES (?, ?, ?, ?)";

// One database file for the whole run, removed at exit.
struct BenchDb {
  std::string path;
  TIBDatabase db;
  TIBTransaction tr;

  BenchDb() {
    if (geteuid() != 0 && !getenv("FIREBIRD_LOCK")) {
      std::string lock = "/tmp/copyorvel-fblock-" + std::to_string(geteuid());
      std::filesystem::create_directories(lock);
      setenv("FIREBIRD_LOCK", lock.c_str(), 1);
    }
    path = (std::filesystem::temp_directory_path() /
            ("copyorvel-ibx-bench-" + std::to_string(getpid()) + ".fdb")).string();
    db.SetDatabaseName(path);
    db.Params().Add("user_name=SYSDBA");
    db.Params().Add("lc_ctype=WIN1251");
    db.SetDefaultTransaction(&tr);
    db.CreateDatabase();
    tr.StartTransaction();
    TIBSQL ddl;
    ddl.SetDatabase(&db);
    ddl.SQL().SetText("CREATE TABLE BENCH (ID INTEGER, NAME VARCHAR(40), X DOUBLE PRECISION, TS TIMESTAMP)");
    ddl.ExecQuery();
    tr.Commit();
  }
  ~BenchDb() {
    db.Close();
    std::filesystem::remove(path);
  }
  void Empty() {
    tr.StartTransaction();
    TIBSQL del;
    del.SetDatabase(&db);
    del.SQL().SetText("DELETE FROM BENCH");
    del.ExecQuery();
    tr.Commit();
  }
};

BenchDb& Db() {
  static BenchDb db;
  return db;
}

void BM_InsertThroughTIBSQL(benchmark::State& state) {
  BenchDb& b = Db();
  b.Empty();
  b.tr.StartTransaction();
  TIBSQL ins;
  ins.SetDatabase(&b.db);
  ins.SQL().SetText(kInsert);
  ins.Prepare();
  int id = 0;
  char name[40];
  for (auto _ : state) {
    int len = std::snprintf(name, sizeof name, "Object %d", id);
    TIBXSQLDA& p = ins.Params();
    p[0].SetAsLong(id);
    p[1].SetAsString(std::string(name, static_cast<size_t>(len)));
    p[2].SetAsDouble(id * 0.5);
    p[3].SetAsDateTime(45000.25 + id / 86400.0);
    ins.ExecQuery();
    ++id;
  }
  b.tr.Commit();
  state.SetItemsProcessed(state.iterations());
}

void BM_InsertDirect(benchmark::State& state) {
  BenchDb& b = Db();
  b.Empty();
  b.tr.StartTransaction();
  ISC_STATUS_ARRAY status;
  isc_stmt_handle stmt = 0;
  if (isc_dsql_allocate_statement(status, b.db.Handle(), &stmt) ||
      isc_dsql_prepare(status, b.tr.Handle(), &stmt, 0, kInsert, 3, nullptr)) {
    state.SkipWithError("prepare failed");
    return;
  }
  std::unique_ptr<char[]> area(new char[XSQLDA_LENGTH(4)]());
  XSQLDA* da = reinterpret_cast<XSQLDA*>(area.get());
  da->version = SQLDA_VERSION1;
  da->sqln = 4;
  da->sqld = 4;
  int32_t id = 0;
  char name[40];
  double x = 0;
  ISC_TIMESTAMP ts{};
  short ind[4] = {0, 0, 0, 0};
  XSQLVAR* v = da->sqlvar;
  v[0].sqltype = SQL_LONG + 1, v[0].sqllen = 4, v[0].sqldata = reinterpret_cast<char*>(&id);
  v[1].sqltype = SQL_TEXT + 1, v[1].sqldata = name;
  v[1].sqlsubtype = 52;  // WIN1251
  v[2].sqltype = SQL_DOUBLE + 1, v[2].sqllen = 8, v[2].sqldata = reinterpret_cast<char*>(&x);
  v[3].sqltype = SQL_TIMESTAMP + 1, v[3].sqllen = 8, v[3].sqldata = reinterpret_cast<char*>(&ts);
  for (int i = 0; i < 4; ++i) v[i].sqlind = &ind[i];
  for (auto _ : state) {
    v[1].sqllen = static_cast<short>(std::snprintf(name, sizeof name, "Object %d", id));
    x = id * 0.5;
    double dt = 45000.25 + id / 86400.0;
    ts.timestamp_date = static_cast<ISC_DATE>(dt) + 15018;
    ts.timestamp_time = static_cast<ISC_TIME>((dt - static_cast<int>(dt)) * 864000000.0 + 0.5);
    if (isc_dsql_execute(status, b.tr.Handle(), &stmt, 1, da)) {
      state.SkipWithError("execute failed");
      break;
    }
    ++id;
  }
  isc_dsql_free_statement(status, &stmt, DSQL_drop);
  b.tr.Commit();
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_InsertThroughTIBSQL)->Iterations(200000)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertDirect)->Iterations(200000)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
