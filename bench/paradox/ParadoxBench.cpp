// Paradox engine throughput: reading a 10-field table from the page cache, appending to an
// unkeyed table, and inserting into a keyed table with one secondary index, unique or not. The "maxrss_mb"
// counter shows the process's peak memory, to see that it stays flat as the row count grows.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <random>

#include "platform/paradox/Paradox.h"

using namespace paradox;
namespace fs = std::filesystem;

namespace {

// A scratch folder under the temporary folder, removed at exit.
struct TBenchFolder {
  fs::path Path;
  TBenchFolder() {
    Path = fs::temp_directory_path() / ("pdxbench-" + std::to_string(::getpid()));
    fs::create_directories(Path);
  }
  ~TBenchFolder() { std::error_code ec; fs::remove_all(Path, ec); }
};
fs::path BenchDir() {
  static TBenchFolder folder;
  return folder.Path;
}

double MaxRssMb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_maxrss) / 1024.0;
}

TPdxFieldDef F(const char* name, TPdxFieldType t, int size = 0) {
  TPdxFieldDef f;
  f.Name = name;
  f.Type = t;
  f.Size = size;
  return f;
}

TPdxTableDef TenFields(int keys) {
  TPdxTableDef d;
  d.Fields = {F("Id", TPdxFieldType::Long), F("Name", TPdxFieldType::Alpha, 30),
              F("City", TPdxFieldType::Alpha, 20), F("Born", TPdxFieldType::Date),
              F("Age", TPdxFieldType::Short), F("Salary", TPdxFieldType::Currency),
              F("Score", TPdxFieldType::Number), F("Active", TPdxFieldType::Logical),
              F("Stamp", TPdxFieldType::Timestamp), F("Code", TPdxFieldType::Alpha, 8)};
  d.KeyFieldCount = keys;
  d.BlockSize = 32768;
  return d;
}

std::vector<Variant> Row(int32_t id, std::mt19937& rng) {
  static const char* cities[] = {"Москва", "Тверь", "Омск", "Казань"};
  return {Variant(id), Variant("Name " + std::to_string(rng() % 100000)),
          Variant(Utf8ToAnsi(cities[rng() % 4])), Variant::FromDateTime(30000.0 + rng() % 20000),
          Variant(int16_t(rng() % 100)), Variant(double(rng() % 100000) / 100),
          Variant(double(rng()) / 7), Variant(bool(rng() & 1)),
          Variant::FromDateTime(40000.5 + rng() % 1000), Variant("C" + std::to_string(rng() % 1000))};
}

void MakeReadTable(const std::string& name, int rows) {
  TPdxDatabase db(BenchDir().string());
  if (db.TableExists(name)) return;
  db.CreateTable(name, TenFields(0));
  auto t = db.OpenTable(name);
  std::mt19937 rng(1);
  t->BeginBatch();
  for (int i = 0; i < rows; ++i) t->Append(Row(i + 1, rng));
  t->EndBatch();
}

void BM_ReadTenFields(benchmark::State& state) {
  int rows = int(state.range(0));
  std::string name = "read" + std::to_string(rows);
  MakeReadTable(name, rows);
  TPdxDatabase db(BenchDir().string());
  int64_t n = 0;
  for (auto _ : state) {
    auto c = db.OpenCursor(name);
    while (c->Next()) {
      benchmark::DoNotOptimize(c->Values().data());
      ++n;
    }
  }
  state.SetItemsProcessed(n);
  state.counters["maxrss_mb"] = MaxRssMb();
}
BENCHMARK(BM_ReadTenFields)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_AppendUnkeyed(benchmark::State& state) {
  int rows = int(state.range(0));
  bool batch = state.range(1) != 0;
  int64_t n = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TPdxDatabase db(BenchDir().string());
    std::string name = "app" + std::to_string(round++);
    db.CreateTable(name, TenFields(0));
    auto t = db.OpenTable(name);
    std::mt19937 rng(2);
    std::vector<std::vector<Variant>> sample;
    for (int i = 0; i < 1024; ++i) sample.push_back(Row(i, rng));
    state.ResumeTiming();
    if (batch) t->BeginBatch();
    for (int i = 0; i < rows; ++i) t->Append(sample[i & 1023]);
    if (batch) t->EndBatch();
    n += rows;
    state.PauseTiming();
    t.reset();
    db.DeleteTable(name);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(n);
  state.counters["maxrss_mb"] = MaxRssMb();
}
BENCHMARK(BM_AppendUnkeyed)->Args({200000, 1})->Args({1000000, 1})->Args({200000, 0})->Unit(benchmark::kMillisecond)->Iterations(1);

// Keyed appends in one batch, the keys 1..rows in order or shuffled; a secondary index on City, or
// with `unique` a unique one on Name (every record's Name then differs).
void AppendKeyed(benchmark::State& state, int rows, bool randomKeys, bool unique) {
  int64_t n = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TPdxDatabase db(BenchDir().string());
    std::string name = "key" + std::to_string(round++);
    TPdxTableDef d = TenFields(1);
    TPdxIndexDef ix;
    ix.Fields = {unique ? 1 : 2};
    ix.Unique = unique;
    if (unique) ix.Name = "ByName";
    d.Indexes.push_back(ix);
    db.CreateTable(name, d);
    auto t = db.OpenTable(name);
    std::mt19937 rng(3);
    std::vector<std::vector<Variant>> sample;
    for (int i = 0; i < 1024; ++i) sample.push_back(Row(i, rng));
    std::vector<int32_t> keys(rows);
    for (int i = 0; i < rows; ++i) keys[i] = i + 1;
    if (randomKeys) std::shuffle(keys.begin(), keys.end(), rng);
    state.ResumeTiming();
    t->BeginBatch();
    for (int i = 0; i < rows; ++i) {
      auto& r = sample[i & 1023];
      r[0] = Variant(keys[i]);
      if (unique) r[1] = Variant("Name " + std::to_string(keys[i]));
      t->Append(r);
    }
    t->EndBatch();  // writes the .PX and the secondary index
    n += rows;
    state.PauseTiming();
    t.reset();
    db.DeleteTable(name);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(n);
  state.counters["maxrss_mb"] = MaxRssMb();
}

void BM_AppendKeyedWithIndex(benchmark::State& state) {
  AppendKeyed(state, int(state.range(0)), state.range(1) != 0, false);
}
BENCHMARK(BM_AppendKeyedWithIndex)->Args({100000, 0})->Args({100000, 1})->Args({1000000, 0})->Args({1000000, 1})->Args({2000000, 0})->Unit(benchmark::kMillisecond)->Iterations(1);

// The same with a unique secondary index: each record's Name must differ from every other's.
void BM_AppendWithUniqueIndex(benchmark::State& state) {
  AppendKeyed(state, int(state.range(0)), state.range(1) != 0, true);
}
BENCHMARK(BM_AppendWithUniqueIndex)->Args({10000, 0})->Args({100000, 0})->Args({100000, 1})->Args({1000000, 1})->Unit(benchmark::kMillisecond)->Iterations(1);

// Single changes outside a batch on a keyed table of 100,000 records with one secondary index:
// each insert (and each delete) updates the .PX and the secondary index at once.
void BM_SingleChangesKeyedWithIndex(benchmark::State& state) {
  TPdxDatabase db(BenchDir().string());
  std::string name = "single";
  if (!db.TableExists(name)) {
    TPdxTableDef d = TenFields(1);
    TPdxIndexDef ix;
    ix.Fields = {2};
    d.Indexes.push_back(ix);
    db.CreateTable(name, d);
    auto t = db.OpenTable(name);
    std::mt19937 rng(4);
    t->BeginBatch();
    for (int i = 0; i < 100000; ++i) t->Append(Row(2 * i, rng));
    t->EndBatch();
  }
  auto t = db.OpenTable(name);
  std::mt19937 rng(5);
  int64_t n = 0;
  for (auto _ : state) {
    int32_t k = int32_t(rng() % 100000) * 2 + 1;
    TPdxRecordPos pos;
    if (t->FindKey({Variant(k)}, pos)) t->Delete(pos);
    else t->Append(Row(k, rng));
    ++n;
  }
  state.SetItemsProcessed(n);
}
BENCHMARK(BM_SingleChangesKeyedWithIndex)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
