// Speed and memory of the query layer over Paradox tables: one prepared INSERT per row into a
// keyed table, and SELECT * streamed over large tables (peak resident memory while scanning).
//
//   build/bench/bde/bde_bench
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

#include "platform/bde/Bde.h"
#include "tests/support/TestSupport.h"

using namespace bde;

namespace {

// A Paradox folder opened through its own session and database.
struct TBenchFolder {
  testsupport::TempDir Dir;
  TSession Session;
  TDatabase Db;
  explicit TBenchFolder(const std::string& name) {
    Session.SetSessionName(name);
    Db.SetSessionName(name);
    Db.SetDatabaseName("BenchDb");
    Db.SetDriverName("STANDARD");
    Db.Params().Add("PATH=" + Utf8ToAnsi(Dir.Path().string()));
    Db.SetConnected(true);
  }
  std::unique_ptr<TQuery> Query(const std::string& text) {
    auto q = std::make_unique<TQuery>();
    q->SetSessionName(Session.SessionName());
    q->SetDatabaseName("BenchDb");
    q->SetRequestLive(true);
    q->SetUniDirectional(true);
    q->SQL().SetText(text);
    return q;
  }
  void CreateRoads() {
    TTable t;
    t.SetSessionName(Session.SessionName());
    t.SetDatabaseName("BenchDb");
    t.SetTableName("ROADS");
    t.FieldDefs().Add("ID", ftInteger, 0, true);
    t.FieldDefs().Add("NAME", ftString, 30);
    t.FieldDefs().Add("LEN", ftFloat);
    t.FieldDefs().Add("KIND", ftSmallint);
    t.IndexDefs().Add("", "ID", {ixPrimary, ixUnique});
    t.CreateTable();
  }
  // Inserts rows 1..n the way the row copier does: one prepared statement, ExecSQL per row.
  void Fill(int64_t n) {
    auto q = Query("INSERT INTO ROADS (ROADS.ID,ROADS.NAME,ROADS.LEN,ROADS.KIND) VALUES(:PARAM0,:PARAM1,:PARAM2,:PARAM3)");
    q->Prepare();
    TParams& p = q->Params();
    p[0].SetDataType(ftInteger);
    p[1].SetDataType(ftString);
    p[2].SetDataType(ftFloat);
    p[3].SetDataType(ftSmallint);
    for (int64_t i = 1; i <= n; ++i) {
      p[0].SetValue(Variant(int32_t(i)));
      p[1].SetValue(Variant("road number " + std::to_string(i)));
      p[2].SetValue(Variant(double(i) * 0.25));
      p[3].SetValue(Variant(int16_t(i % 7)));
      q->ExecSQL();
    }
    q->UnPrepare();  // ends the write batch: the index files are written
  }
};

long StatusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  return -1;
}

void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_PreparedInsertPerRow(benchmark::State& state) {
  int64_t rows = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    auto f = std::make_unique<TBenchFolder>("InsertBench");
    f->CreateRoads();
    state.ResumeTiming();
    f->Fill(rows);
    state.PauseTiming();
    f.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_PreparedInsertPerRow)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_SelectStarStreams(benchmark::State& state) {
  int64_t rows = state.range(0);
  TBenchFolder f("SelectBench");
  f.CreateRoads();
  f.Fill(rows);
  long before = 0, peak = 0;
  for (auto _ : state) {
    before = StatusKb("VmRSS:");
    ResetPeakRss();
    auto q = f.Query("SELECT * FROM ROADS ");
    int64_t seen = 0;
    double sum = 0;
    for (q->Open(); !q->Eof(); q->Next()) {
      for (int i = 0; i < q->FieldCount(); ++i) benchmark::DoNotOptimize(q->Fields(i).AsVariant());
      sum += q->Fields(2).AsFloat();
      ++seen;
    }
    if (seen != rows) state.SkipWithError("row count mismatch");
    benchmark::DoNotOptimize(sum);
    peak = StatusKb("VmHWM:");
  }
  state.SetItemsProcessed(state.iterations() * rows);
  state.counters["rss_before_MB"] = double(before) / 1024;
  state.counters["peak_rss_during_MB"] = double(peak) / 1024;
  state.counters["growth_MB"] = double(peak - before) / 1024;
}
BENCHMARK(BM_SelectStarStreams)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
