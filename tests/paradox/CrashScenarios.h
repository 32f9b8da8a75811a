// Changes to Paradox tables that the crash tests interrupt: each makes its tables, then changes
// them through a TRun, which notes what the change was told (the records it tried and had
// accepted, the losses its errors reported). The fault sweep (CrashTest.cpp) fails their file
// operations; the power-loss sweep (PowerLossTest.cpp) cuts the power in the middle of them.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxTableState.h"
#include "tests/support/ParadoxFaults.h"

namespace pdxcrash {

using paradox::EPdxError;
using paradox::TPdxDatabase;
using paradox::TPdxFieldType;
using paradox::TPdxIndexDef;
using paradox::TPdxRecordPos;
using paradox::TPdxTable;
using paradox::TPdxTableDef;
using testsupport::TFaultEnv;

using TRow = std::vector<Variant>;
using TRows = std::multiset<std::string>;

// A record as text: its values joined, a Null as "~".
inline std::string Canon(const TRow& row) {
  std::string s;
  for (const Variant& v : row) s += (v.IsNull() ? std::string("~") : v.ToString()) + "|";
  return s;
}

inline TRows ReadRows(TPdxDatabase& db, const std::string& table) {
  TRows rows;
  for (auto c = db.OpenCursor(table); c->Next();) rows.insert(Canon(c->Values()));
  return rows;
}

inline bool Includes(const TRows& big, const TRows& small) { return std::includes(big.begin(), big.end(), small.begin(), small.end()); }

inline void CopyFolder(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (const auto& e : std::filesystem::directory_iterator(from)) std::filesystem::copy_file(e.path(), to / e.path().filename());
}

// One run of a change, through a faulty environment or not: what it was told.
struct TRun {
  explicit TRun(TPdxDatabase& db, TFaultEnv* faults = nullptr) : Db(db), Faults(faults) {}
  TPdxDatabase& Db;
  TFaultEnv* Faults;      // the environment that fails operations, if any
  TRows Accepted;         // records written without an error
  TRows Tried;            // every record the change tried to write
  int64_t Lost = 0;       // accepted records the errors said were lost
  int64_t Held = -1;      // the records the table holds, as the last error that said so put it
  int64_t Reported = -1;  // RecordCount at the end of a batch that was not stopped

  bool Stopped() const { return Faults && Faults->Stopped(); }
  // Runs one call, noting its error; false once the process has stopped.
  bool Call(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const EPdxError& e) {
      std::smatch m;
      const std::string text = AnsiToUtf8(e.Message());
      if (std::regex_search(text, m, std::regex("не записано: (\\d+)"))) Lost += std::stoll(m[1]);
      if (std::regex_search(text, m, std::regex("в таблице записей: (\\d+)"))) Held = std::stoll(m[1]);
      return !Stopped();
    }
    return true;
  }
  void Create(const std::string& table, const TPdxTableDef& def) {
    Call([&] { Db.CreateTable(table, def); });
  }
  void Append(TPdxTable& t, const TRow& row) {
    Tried.insert(Canon(row));
    bool ok = false;
    Call([&] { t.Append(row); ok = true; });
    if (ok) Accepted.insert(Canon(row));
  }
  // Appends the rows in a batch and ends it, going on past errors until the process stops.
  void Batch(const std::string& table, const std::vector<TRow>& rows) {
    std::unique_ptr<TPdxTable> t;
    if (!Call([&] { t = Db.OpenTable(table); })) return;
    if (!t) return;
    t->BeginBatch();
    for (const TRow& row : rows) {
      Append(*t, row);
      if (Stopped()) break;
    }
    Call([&] { t->EndBatch(); });
    if (!Stopped()) Reported = t->RecordCount();
  }
};

struct TScenario {
  const char* Name;
  std::string Table;
  std::function<void(TPdxDatabase&)> Make;  // the tables before the change
  std::function<void(TRun&)> Change;
  bool Batch = false;                       // appends only, which may keep part of their records
  std::string Renamed;                      // the table's name after the change, when it renames
  int64_t Points = 12;                      // writes swept in the suite
  int64_t Fills = 12;                       // bytes at which the disk fills, swept in the suite (batches)
  bool Faults = true;                       // swept by failing operations (the table is there before and after)
  bool PowerLoss = true;                    // swept by power cuts (its files are small)
};

// A keyed table of a long key and an Alpha value, with a secondary index on the value.
inline TPdxTableDef KeyedDef(int blockSize) {
  TPdxTableDef d;
  d.Fields = {{"K", TPdxFieldType::Long}, {"V", TPdxFieldType::Alpha, 40}};
  d.KeyFieldCount = 1;
  d.BlockSize = blockSize;
  TPdxIndexDef byV;
  byV.Fields = {1};
  d.Indexes.push_back(byV);
  return d;
}

// A keyed table of `n` records with random even keys below 20 n, and a secondary index.
inline void MakeKeyed(TPdxDatabase& db, const std::string& name, int n, int blockSize) {
  db.CreateTable(name, KeyedDef(blockSize));
  auto t = db.OpenTable(name);
  std::mt19937 rng(5);
  t->BeginBatch();
  std::set<int32_t> keys;
  while (int(keys.size()) < n) keys.insert(int32_t(rng() % uint32_t(10 * n)));
  for (int32_t k : keys) t->Append({Variant(2 * k), Variant("v" + std::to_string(k % 17))});
  t->EndBatch();
}

inline TRow KeyedRow(int32_t k) { return {Variant(k), Variant("w" + std::to_string(k % 13))}; }

// Deletes the records whose keys fall in [from, to).
inline void DeleteStretch(TPdxDatabase& db, const std::string& name, int32_t from, int32_t to) {
  auto t = db.OpenTable(name);
  std::vector<TPdxRecordPos> doomed;
  for (auto c = t->OpenCursor(); c->Next();) {
    int32_t k = c->Value(0).ToInt32();
    if (k >= from && k < to) doomed.push_back(c->Position());
  }
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) t->Delete(*it);
}

inline TRow BlobRow(int32_t k, size_t size) {
  return {Variant(k), Variant("t" + std::to_string(k % 5)), Variant(std::string(size, char('a' + k % 26))),
          Variant(std::string(size / 3 + 1, char('A' + k % 26)))};
}

// A keyed table with a memo and a blob, a required field (.VAL) and a secondary index: every
// file of a family.
inline void MakeBlobs(TPdxDatabase& db, const std::string& name) {
  TPdxTableDef d;
  d.Fields = {{"K", TPdxFieldType::Long}, {"Tag", TPdxFieldType::Alpha, 8, true}, {"Note", TPdxFieldType::Memo, 10},
              {"Pic", TPdxFieldType::Blob}};
  d.KeyFieldCount = 1;
  d.BlockSize = 1024;
  TPdxIndexDef byTag;
  byTag.Fields = {1};
  d.Indexes.push_back(byTag);
  db.CreateTable(name, d);
  auto t = db.OpenTable(name);
  t->BeginBatch();
  for (int32_t k = 0; k < 60; ++k) t->Append(BlobRow(2 * k, k % 3 ? 30 : 5000));
  t->EndBatch();
}

// A block cache of `blocks` while it lives: a change to a small table is then written in many parts.
struct TSmallCache {
  size_t Old;
  explicit TSmallCache(size_t blocks) : Old(paradox::detail::gDirtyBlocks) { paradox::detail::gDirtyBlocks = blocks; }
  ~TSmallCache() { paradox::detail::gDirtyBlocks = Old; }
  TSmallCache(const TSmallCache&) = delete;
  TSmallCache& operator=(const TSmallCache&) = delete;
};

// A single change to the table, on a handle of its own.
inline void Single(TRun& run, const std::string& table, const std::function<void(TPdxTable&)>& change) {
  std::unique_ptr<TPdxTable> t;
  if (run.Call([&] { t = run.Db.OpenTable(table); })) run.Call([&] { change(*t); });
}

// The position of the first record outside block `skip` (0: the very first record).
inline TPdxRecordPos FirstOutside(TPdxTable& t, uint32_t skip) {
  auto c = t.OpenCursor();
  while (c->Next() && c->Position().Block == skip) {}
  return c->Position();
}

inline std::vector<TScenario> Scenarios() {
  std::vector<TScenario> out;
  auto add = [&](const char* name, std::string table, std::function<void(TPdxDatabase&)> make, std::function<void(TRun&)> change) -> TScenario& {
    out.emplace_back();
    out.back().Name = name;
    out.back().Table = std::move(table);
    out.back().Make = std::move(make);
    out.back().Change = std::move(change);
    return out.back();
  };
  // A keyed table with free blocks, and a batch of `n` random odd keys into it.
  auto withFreeBlocks = [](TPdxDatabase& db) {
    MakeKeyed(db, "F", 3000, 1024);
    DeleteStretch(db, "F", 2 * 12000, 2 * 18000);
  };
  auto oddKeys = [](TRun& run, unsigned draw, int n) {
    std::vector<TRow> rows;
    std::mt19937 rng(draw);
    for (int i = 0; i < n; ++i) rows.push_back(KeyedRow(int32_t(rng() % 60000) * 2 + 1));
    run.Batch("F", rows);
  };
  add("a batch into a table with free blocks", "F", withFreeBlocks, [=](TRun& run) { oddKeys(run, 9, 800); }).Batch = true;
  add("a batch into a table with free blocks, written in parts", "F", withFreeBlocks, [=](TRun& run) {
    TSmallCache cache(12);
    oddKeys(run, 4, 120);
  }).Batch = true;
  // The last block of an unkeyed table of 44-byte records in 1 KB blocks has room for 2 more.
  add("a batch that only appends, into a last block with room", "U",
      [](TPdxDatabase& db) {
        TPdxTableDef d;
        d.Fields = {{"K", TPdxFieldType::Long}, {"V", TPdxFieldType::Alpha, 40}};
        d.BlockSize = 1024;
        db.CreateTable("U", d);
        auto t = db.OpenTable("U");
        t->BeginBatch();
        for (int32_t k = 0; k < 1010; ++k) t->Append(KeyedRow(k));
        t->EndBatch();
      },
      [](TRun& run) {
        TSmallCache cache(4);
        std::vector<TRow> rows;
        for (int32_t k = 0; k < 200; ++k) rows.push_back(KeyedRow(5000 + k));
        run.Batch("U", rows);
      }).Batch = true;
  TScenario& spill = add("a batch of random keys that spills runs", "S",
      [](TPdxDatabase& db) {
        TPdxTableDef d;
        d.Fields = {{"K", TPdxFieldType::Long}, {"P", TPdxFieldType::Alpha, 255}, {"Q", TPdxFieldType::Alpha, 255},
                    {"R", TPdxFieldType::Alpha, 255}, {"T", TPdxFieldType::Alpha, 255}};
        d.KeyFieldCount = 1;
        d.BlockSize = 32768;
        db.CreateTable("S", d);
      },
      [](TRun& run) {
        std::vector<int32_t> keys(20000);  // 20 MB of records: one run beside the table
        for (int32_t i = 0; i < 20000; ++i) keys[i] = i;
        std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
        std::vector<TRow> rows;
        for (int32_t k : keys) rows.push_back({Variant(k), Variant("p" + std::to_string(k)), Variant::Null(), Variant("r"), Variant::Null()});
        run.Batch("S", rows);
      });
  spill.Batch = true;
  spill.Points = 6;
  spill.Fills = 1;
  spill.PowerLoss = false;
  add("a batch of small and large values", "B", [](TPdxDatabase& db) { MakeBlobs(db, "B"); },
      [](TRun& run) {
        std::vector<TRow> rows;
        for (int32_t k = 0; k < 80; ++k) rows.push_back(BlobRow(2 * k + 1, k % 4 ? 40 + k : 6000 + 100 * k));
        run.Batch("B", rows);
      }).Batch = true;
  add("an update of a small value to a large one", "B", [](TPdxDatabase& db) { MakeBlobs(db, "B"); },
      [](TRun& run) { Single(run, "B", [](TPdxTable& t) { t.Update(FirstOutside(t, 0), BlobRow(0, 9000)); }); });
  add("an update that moves a key to a later block", "M", [](TPdxDatabase& db) { MakeKeyed(db, "M", 300, 1024); },
      [](TRun& run) { Single(run, "M", [](TPdxTable& t) { t.Update(FirstOutside(t, 0), KeyedRow(5999)); }); });
  add("a delete that frees a block", "D",
      [](TPdxDatabase& db) {
        MakeKeyed(db, "D", 300, 1024);
        DeleteStretch(db, "D", 0, 2 * 1000);
        // The chain's second block keeps one record.
        auto t = db.OpenTable("D");
        std::vector<TPdxRecordPos> second;
        for (auto c = t->OpenCursor(); c->Next();)
          if (c->Position().Block != 1 && (second.empty() || c->Position().Block == second[0].Block)) second.push_back(c->Position());
        for (size_t i = second.size(); i-- > 1;) t->Delete(second[i]);
      },
      [](TRun& run) { Single(run, "D", [](TPdxTable& t) { t.Delete(FirstOutside(t, 1)); }); });
  add("a rename", "R", [](TPdxDatabase& db) { MakeBlobs(db, "R"); },
      [](TRun& run) { run.Call([&] { run.Db.RenameTable("R", "R2"); }); }).Renamed = "R2";
  // The semantic copy's way of making a table: created with its index, then filled in a batch.
  TScenario& create = add("a keyed table made and filled in a batch", "C", [](TPdxDatabase&) {},
      [](TRun& run) {
        run.Create("C", KeyedDef(1024));
        std::vector<TRow> rows;
        for (int32_t k = 0; k < 2000; ++k) rows.push_back(KeyedRow(k));
        run.Batch("C", rows);
      });
  create.Batch = true;
  create.Faults = false;
  add("a table deleted", "X", [](TPdxDatabase& db) { MakeBlobs(db, "X"); },
      [](TRun& run) { run.Call([&] { run.Db.DeleteTable("X"); }); }).Faults = false;
  return out;
}

}  // namespace pdxcrash
