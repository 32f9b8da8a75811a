// Speed and memory of the back-ends and of whole-database copies, through the system's own
// interfaces. Run by hand:
//   build/bench/copier/copier_bench --benchmark_filter=Insert
//   build/bench/copier/copier_bench --benchmark_filter='WholeCopy/.*/10000'    (one size per run,
//   build/bench/copier/copier_bench --benchmark_filter='WholeCopy/.*/1000000'   so peak_rss is its own)
//   build/bench/copier/copier_bench --benchmark_filter='(WholeCopy/ToParadox|EngineOnlyCopy)/1000000'
//     (the copy into Paradox beside the engine alone copying the same tables)
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>

#include "copier/CopyOrvelBases.h"
#include "foundation/LongOperations.h"
#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbs.h"
#include "platform/paradox/Paradox.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/Engines.h"

using testsupport::TEngine;

namespace {

double PeakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// One prepared INSERT per row into a keyed table, through IOrvDbSQL.
void BM_InsertPerRow(benchmark::State& state, TEngine engine) {
  testsupport::TempDir dir;
  IOrvDbPtr db = ConnectDb(testsupport::NewDatabase(engine, dir, "bench").get(), true);
  CreateSysTable(db.get(), "T",
                 {{"ID", dftInt32, 0, true}, {"NAME", dftString, 40, false}, {"X", dftDouble, 0, false}},
                 {{"T_PK", "ID", dioPrimary | dioUnique}, {"T_NAME", "NAME", 0}});
  IOrvDbSQLPtr insert = BuildInsertSQL(db.get(), "T", {"ID", "NAME", "X"});
  TOrvDbParams params = {IntParam(0), StrParam(""), {dftDouble, Variant(0.0)}};
  int32_t id = 0;
  for (auto _ : state) {
    params[0].Value = Variant(++id);
    params[1].Value = Variant("Строка "_ansi + std::to_string(id % 1000));
    params[2].Value = Variant(id * 0.5);
    insert->Execute(params);
  }
  state.SetItemsProcessed(state.iterations());
}

// SELECT * over a table of range(0) rows, every column read: memory must not grow with the rows.
void BM_SelectAll(benchmark::State& state, TEngine engine) {
  testsupport::TempDir dir;
  IOrvDbPtr db = ConnectDb(testsupport::NewDatabase(engine, dir, "bench").get(), true);
  CreateSysTable(db.get(), "T", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 40, false}, {"X", dftDouble, 0, false}},
                 {{"T_PK", "ID", dioPrimary | dioUnique}});
  {
    IOrvDbSQLPtr insert = BuildInsertSQL(db.get(), "T", {"ID", "NAME", "X"});
    for (int32_t i = 0; i < state.range(0); ++i)
      insert->Execute({IntParam(i), StrParam("Строка "_ansi + std::to_string(i)), {dftDouble, Variant(i * 0.5)}});
  }
  db->StartTransaction();
  db->Commit();
  const double before = PeakRssMb();
  for (auto _ : state) {
    IOrvDbSQLPtr cursor = OpenTableSQL(db.get(), "T");
    int64_t n = 0;
    while (!cursor->Eof()) {
      for (int c = 0; c < 3; ++c) benchmark::DoNotOptimize(cursor->GetValue(Variant(int32_t(c))));
      cursor->Next();
      ++n;
    }
    cursor->Close();
    if (n != state.range(0)) state.SkipWithError("row count differs");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["peak_rss_mb"] = PeakRssMb();
  state.counters["rss_growth_mb"] = PeakRssMb() - before;
}

// The demo database with `largeRows` rows in its large table, in the Paradox folder dir/src.
IOrvDbPtr BenchSource(testsupport::TempDir& dir, int largeRows) {
  IOrvDbPtr src = ConnectDb(testsupport::NewDatabase(TEngine::ParadoxFolder, dir, "src").get(), true);
  testsupport::TDemoOptions options;
  options.LargeRows = largeRows;
  options.BlobBytes = 20000;
  testsupport::BuildDemoGisDb(src.get(), options);
  return src;
}

// A whole-database copy of the demo database with range(0) rows in its large table, from a
// Paradox folder into the destination engine; `connectionOptions` are added to an ODBC
// destination's connection string (e.g. SQLite's synchronous mode).
void BM_WholeCopy(benchmark::State& state, TEngine destination, const char* connectionOptions) {
  testsupport::TempDir dir;
  IOrvDbPtr src = BenchSource(dir, static_cast<int>(state.range(0)));
  int64_t rows = 0;
  int run = 0;
  const double before = PeakRssMb();
  for (auto _ : state) {
    state.PauseTiming();
    IConnParamsPtr params = testsupport::NewDatabase(destination, dir, "dst" + std::to_string(++run));
    if (*connectionOptions)
      params->SetValue("CONNECTIONSTRING", GetConnParam(params.get(), "CONNECTIONSTRING", "") + ";" + connectionOptions);
    IOrvDbPtr dst = ConnectDb(params.get(), true);
    TCopyOrvelBaseFrame frame;
    frame.Init("bench", src, dst);
    state.ResumeTiming();
    frame.Execute();
    if (frame.State != csFinished) state.SkipWithError("the copy did not finish");
    for (int i = 0; i < frame.TableCount(); ++i) rows += frame.GetTable(i)->Copied;
  }
  state.SetItemsProcessed(rows);
  state.counters["peak_rss_mb"] = PeakRssMb();
  state.counters["rss_growth_mb"] = PeakRssMb() - before;
}

// Every table of `from` created in `to` with the same structure, its records appended in one
// batch straight from a cursor; returns the records copied.
int64_t CopyWithEngineAlone(const paradox::TPdxDatabase& from, paradox::TPdxDatabase& to) {
  int64_t rows = 0;
  for (const std::string& name : from.TableNames()) {
    to.CreateTable(name, from.TableStructure(name));
    std::unique_ptr<paradox::TPdxCursor> cursor = from.OpenCursor(name);
    std::unique_ptr<paradox::TPdxTable> table = to.OpenTable(name);
    table->BeginBatch();
    while (cursor->Next()) {
      table->Append(cursor->Values());
      ++rows;
    }
    table->EndBatch();
  }
  return rows;
}

// What BM_WholeCopy/ToParadox costs the Paradox engine alone, on the same source. The whole
// copy's CPU over this one's is what our layers add.
void BM_EngineOnlyCopy(benchmark::State& state) {
  testsupport::TempDir dir;
  IOrvDbPtr src = BenchSource(dir, static_cast<int>(state.range(0)));
  const paradox::TPdxDatabase from((dir.Path() / "src").string());
  int64_t rows = 0;
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::filesystem::path folder = dir.Path() / ("engine" + std::to_string(++run));
    std::filesystem::create_directories(folder);
    paradox::TPdxDatabase to(folder.string());
    state.ResumeTiming();
    rows += CopyWithEngineAlone(from, to);
  }
  state.SetItemsProcessed(rows);
  state.counters["peak_rss_mb"] = PeakRssMb();
}

// The engine's own cost per copied row, without a database: the row bar's step, the remaining-time
// estimate and the message pump, on a frame that is shown.
void BM_StepRows(benchmark::State& state) {
  TCopyBaseFrame frame;
  frame.show();
  frame.Progress2->show();
  frame.AppraisalTime->show();
  frame.BeginRowsProgress("bench", static_cast<int>(state.max_iterations));
  for (auto _ : state) frame.StepRows();
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_StepRows)->Unit(benchmark::kNanosecond)->Iterations(1000000);
BENCHMARK_CAPTURE(BM_InsertPerRow, Paradox, TEngine::ParadoxFolder)->Unit(benchmark::kMicrosecond)->Iterations(100000);
BENCHMARK_CAPTURE(BM_InsertPerRow, FirebirdEmbedded, TEngine::FirebirdEmbedded)->Unit(benchmark::kMicrosecond)->Iterations(100000);
BENCHMARK_CAPTURE(BM_SelectAll, Paradox, TEngine::ParadoxFolder)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
// The copy asks its databases on a thread of its own: its CPU time is the process's.
BENCHMARK_CAPTURE(BM_WholeCopy, ToParadox, TEngine::ParadoxFolder, "")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK(BM_EngineOnlyCopy)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_WholeCopy, ToFirebirdEmbedded, TEngine::FirebirdEmbedded, "")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
// Every INSERT of a copy stands by itself: SQLite's default synchronous mode syncs the disk for each.
BENCHMARK_CAPTURE(BM_WholeCopy, ToSqlite, TEngine::SqliteOdbc, "")->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_WholeCopy, ToSqliteWal, TEngine::SqliteOdbc, "SyncPragma=OFF;JournalMode=WAL")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_InsertPerRow, Sqlite, TEngine::SqliteOdbc)->Unit(benchmark::kMicrosecond)->Iterations(20000);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  LongOperationMode = 2;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
