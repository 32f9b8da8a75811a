// Faults swept over the engine's file operations. For each change below, the n-th operation fails
// (and the work goes on, as the wizard's "ignore" does) or the process stops there; the table is
// then opened afresh from its files. It must hold every record it held before the change, intact,
// and no record never accepted; a single change is all or nothing; in a batch, the records stored
// are those accepted less those the errors said were lost, as RecordCount says; and the table
// passes the consistency check, opened for reading and then for writing.
// The suite fails every operation but a sample of the writes; COPYORVEL_LONG_SWEEP=1 sweeps every
// write too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>

#include "platform/paradox/Paradox.h"
#include "tests/support/ParadoxFaults.h"
#include "tests/support/TestSupport.h"

using namespace paradox;
using testsupport::TFaultEnv;
namespace fs = std::filesystem;

namespace {

using TRow = std::vector<Variant>;
using TRows = std::multiset<std::string>;

// A record as text: its values joined, a Null as "~".
std::string Canon(const TRow& row) {
  std::string s;
  for (const Variant& v : row) s += (v.IsNull() ? std::string("~") : v.ToString()) + "|";
  return s;
}

TRows ReadRows(TPdxDatabase& db, const std::string& table) {
  TRows rows;
  for (auto c = db.OpenCursor(table); c->Next();) rows.insert(Canon(c->Values()));
  return rows;
}

bool Includes(const TRows& big, const TRows& small) { return std::includes(big.begin(), big.end(), small.begin(), small.end()); }

void CopyFolder(const fs::path& from, const fs::path& to) {
  for (const auto& e : fs::directory_iterator(from)) fs::copy_file(e.path(), to / e.path().filename());
}

// One run of a change through the faulty environment: what it was told.
struct TRun {
  TRun(TPdxDatabase& db, TFaultEnv& env) : Db(db), Env(env) {}
  TPdxDatabase& Db;
  TFaultEnv& Env;
  TRows Accepted;       // records written without an error
  TRows Tried;          // every record the change tried to write
  int64_t Lost = 0;     // accepted records the errors said were lost
  int64_t Reported = -1;  // RecordCount at the end of a batch that was not stopped

  // Runs one call, noting its error; false once the process has stopped.
  bool Call(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const EPdxError& e) {
      std::smatch m;
      const std::string text = AnsiToUtf8(e.Message());
      if (std::regex_search(text, m, std::regex("не записано: (\\d+)"))) Lost += std::stoll(m[1]);
      return !Env.Stopped();
    }
    return true;
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
      if (Env.Stopped()) break;
    }
    Call([&] { t->EndBatch(); });
    if (!Env.Stopped()) Reported = t->RecordCount();
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
};

// A keyed table of `n` records with random even keys below 20 n, and a secondary index.
void MakeKeyed(TPdxDatabase& db, const std::string& name, int n, int blockSize) {
  TPdxTableDef d;
  d.Fields = {{"K", TPdxFieldType::Long}, {"V", TPdxFieldType::Alpha, 40}};
  d.KeyFieldCount = 1;
  d.BlockSize = blockSize;
  TPdxIndexDef byV;
  byV.Fields = {1};
  d.Indexes.push_back(byV);
  db.CreateTable(name, d);
  auto t = db.OpenTable(name);
  std::mt19937 rng(5);
  t->BeginBatch();
  std::set<int32_t> keys;
  while (int(keys.size()) < n) keys.insert(int32_t(rng() % uint32_t(10 * n)));
  for (int32_t k : keys) t->Append({Variant(2 * k), Variant("v" + std::to_string(k % 17))});
  t->EndBatch();
}

TRow KeyedRow(int32_t k) { return {Variant(k), Variant("w" + std::to_string(k % 13))}; }

// Deletes the records whose keys fall in [from, to).
void DeleteStretch(TPdxDatabase& db, const std::string& name, int32_t from, int32_t to) {
  auto t = db.OpenTable(name);
  std::vector<TPdxRecordPos> doomed;
  for (auto c = t->OpenCursor(); c->Next();) {
    int32_t k = c->Value(0).ToInt32();
    if (k >= from && k < to) doomed.push_back(c->Position());
  }
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) t->Delete(*it);
}

TRow BlobRow(int32_t k, size_t size) {
  return {Variant(k), Variant("t" + std::to_string(k % 5)), Variant(std::string(size, char('a' + k % 26))),
          Variant(std::string(size / 3 + 1, char('A' + k % 26)))};
}

// A keyed table with a memo and a blob, a required field (.VAL) and a secondary index: every
// file of a family.
void MakeBlobs(TPdxDatabase& db, const std::string& name) {
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

// A single change to the table, on a handle of its own.
void Single(TRun& run, const std::string& table, const std::function<void(TPdxTable&)>& change) {
  std::unique_ptr<TPdxTable> t;
  if (run.Call([&] { t = run.Db.OpenTable(table); })) run.Call([&] { change(*t); });
}

// The position of the first record outside block `skip` (0: the very first record).
TPdxRecordPos FirstOutside(TPdxTable& t, uint32_t skip) {
  auto c = t.OpenCursor();
  while (c->Next() && c->Position().Block == skip) {}
  return c->Position();
}

std::vector<TScenario> Scenarios() {
  std::vector<TScenario> out;
  auto add = [&](const char* name, std::string table, std::function<void(TPdxDatabase&)> make, std::function<void(TRun&)> change) -> TScenario& {
    out.emplace_back();
    out.back().Name = name;
    out.back().Table = std::move(table);
    out.back().Make = std::move(make);
    out.back().Change = std::move(change);
    return out.back();
  };
  add("a batch into a table with free blocks", "F",
      [](TPdxDatabase& db) {
        MakeKeyed(db, "F", 3000, 1024);
        DeleteStretch(db, "F", 2 * 12000, 2 * 18000);
      },
      [](TRun& run) {
        std::vector<TRow> rows;
        std::mt19937 rng(9);
        for (int i = 0; i < 800; ++i) rows.push_back(KeyedRow(int32_t(rng() % 60000) * 2 + 1));
        run.Batch("F", rows);
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
  return out;
}

int Failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

// Runs the change with the fault, then opens the table afresh, as the next process would, and
// checks it against the records before and after the change.
void RunWithFault(const TScenario& sc, const fs::path& made, TFaultEnv& env, const TFaultEnv::TFault& fault,
                  const TRows& before, const TRows& after) {
  testsupport::TempDir dir;
  CopyFolder(made, dir.Path());
  env.Set(fault);
  TPdxDatabase db(dir.Path().string(), {}, &env);
  TRun run(db, env);
  sc.Change(run);
  ASSERT_TRUE(env.Fired());
  TPdxDatabase next(dir.Path().string());
  std::string table = sc.Table;
  if (!sc.Renamed.empty() && !next.TableExists(sc.Table)) table = sc.Renamed;
  ASSERT_TRUE(next.TableExists(table));
  TRows stored;
  ASSERT_NO_THROW(stored = ReadRows(next, table));
  EXPECT_EQ(next.CheckIntegrity(table), std::vector<std::string>{});
  ASSERT_NO_THROW(next.OpenTable(table));
  EXPECT_EQ(next.CheckIntegrity(table), std::vector<std::string>{});
  for (const auto& e : fs::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name.find(".tmp") == std::string::npos && name.find(".run") == std::string::npos) << name;
  }
  if (!sc.Batch) {
    EXPECT_TRUE(stored == before || stored == after) << stored.size() << " records, " << before.size() << " before";
    return;
  }
  EXPECT_TRUE(Includes(stored, before)) << stored.size() << " records, " << before.size() << " before";
  // A stopped process never heard whether the record it was writing is in.
  TRows allowed = before;
  const TRows& written = fault.Stop ? run.Tried : run.Accepted;
  allowed.insert(written.begin(), written.end());
  EXPECT_TRUE(Includes(allowed, stored)) << "a record never accepted is stored";
  if (fault.Stop) return;
  EXPECT_EQ(int64_t(stored.size()), int64_t(before.size() + run.Accepted.size()) - run.Lost) << "records lost in silence";
  if (run.Reported >= 0) {
    EXPECT_EQ(run.Reported, int64_t(stored.size()));
  }
}

// The first opening of a file whose name begins with `prefix` fails.
TFaultEnv::TFault FirstOpenFails(const std::string& prefix) {
  TFaultEnv::TFault fault;
  fault.FilePrefix = prefix;
  fault.Ops = TFaultEnv::opOpen;
  fault.FailAt = 1;
  return fault;
}

}  // namespace

TEST(ParadoxCrash, EveryFailingOrStoppingOperationLeavesTheTableWhole) {
  const bool longSweep = std::getenv("COPYORVEL_LONG_SWEEP") != nullptr;
  TFaultEnv env;
  for (const TScenario& sc : Scenarios()) {
    SCOPED_TRACE(sc.Name);
    testsupport::TempDir made;
    TRows before, after;
    {
      TPdxDatabase db(made.Path().string());
      sc.Make(db);
      before = ReadRows(db, sc.Table);
    }
    // A run without a fault counts the operations and gives the table after the change.
    std::vector<TFaultEnv::TOp> ops;
    {
      testsupport::TempDir dir;
      CopyFolder(made.Path(), dir.Path());
      env.Set({});
      TPdxDatabase db(dir.Path().string(), {}, &env);
      TRun run(db, env);
      sc.Change(run);
      ops = env.Counted();
      TPdxDatabase plain(dir.Path().string());
      after = ReadRows(plain, sc.Renamed.empty() ? sc.Table : sc.Renamed);
    }
    ASSERT_FALSE(ops.empty());
    ASSERT_TRUE(before != after || !sc.Renamed.empty());
    // Every operation other than a write (they are few), and the writes: all of them in a long
    // sweep, else a sample.
    const int64_t count = int64_t(ops.size()), writes = std::count(ops.begin(), ops.end(), TFaultEnv::opWrite);
    const int64_t step = longSweep ? 1 : std::max<int64_t>(1, writes / sc.Points);
    std::vector<int64_t> points;
    for (int64_t i = 0, w = 0; i < count; ++i)
      if (ops[size_t(i)] != TFaultEnv::opWrite || w++ % step == 0) points.push_back(i + 1);
    const int failures = Failures();
    for (size_t p = 0; p < points.size() && Failures() == failures; ++p) {
      const int64_t at = points[p];
      for (bool stop : {false, true}) {
        SCOPED_TRACE(std::string(stop ? "stopped" : "failed") + " at operation " + std::to_string(at) + " of " + std::to_string(count));
        TFaultEnv::TFault fault;
        fault.FailAt = at;
        fault.Stop = stop;
        fault.Error = at % 2 ? 5 /* EIO */ : 28 /* ENOSPC */;
        RunWithFault(sc, made.Path(), env, fault, before, after);
      }
    }
  }
}

// Scratch files a dead process left beside a table go with the next open for writing, with the
// table when it is deleted, and when a table of that name is made again (a later copy); files of
// other tables stay.
TEST(ParadoxCrash, ScratchFilesOfADeadProcessGo) {
  const std::vector<std::string> scratch = {"T.DB.run0", "T.DB.run12", "T.PX.tmp", "T.X02.run3", "t.Y02.tmp"};
  const std::vector<std::string> others = {"T2.DB.run0", "T.DB.runX", "T.NOTES.tmp", "TX.tmp"};
  struct TCase {
    const char* Name;
    std::function<void(TPdxDatabase&)> Step;
  } cases[] = {
      {"an open for writing", [](TPdxDatabase& db) { db.OpenTable("T"); }},
      {"a delete", [](TPdxDatabase& db) { db.DeleteTable("T"); }},
      {"a table made again", [](TPdxDatabase& db) {
         fs::remove(fs::path(db.Folder()) / "T.DB");
         TPdxTableDef d;
         d.Fields = {{"K", TPdxFieldType::Long}};
         db.CreateTable("T", d);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testsupport::TempDir dir;
    TPdxDatabase db(dir.Path().string());
    MakeKeyed(db, "T", 100, 1024);
    for (const auto& name : scratch) std::ofstream(dir / name) << "x";
    for (const auto& name : others) std::ofstream(dir / name) << "x";
    c.Step(db);
    for (const auto& name : scratch) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto& name : others) EXPECT_TRUE(fs::exists(dir / name)) << name;
  }
}

// A secondary index that cannot be read is an error of its table that names the file: a table is
// never taken without one of its indexes.
TEST(ParadoxCrash, AnIndexThatCannotBeReadIsAnErrorOfItsTable) {
  testsupport::TempDir dir;
  {
    TPdxDatabase db(dir.Path().string());
    MakeKeyed(db, "T", 100, 1024);
  }
  TFaultEnv env;
  env.Set(FirstOpenFails("T.X02"));
  TPdxDatabase db(dir.Path().string(), {}, &env);
  try {
    db.TableStructure("T");
    FAIL() << "the table was read without its index";
  } catch (const EPdxError& e) {
    EXPECT_NE(e.Message().find("T.X02"), std::string::npos) << AnsiToUtf8(e.Message());
  }
}

// A .VAL that cannot be read, cut anywhere or naming a field the table lacks is an error of its
// table that names the file: the table is never taken without the checks it holds.
TEST(ParadoxCrash, AValidityFileThatCannotBeReadIsAnErrorOfItsTable) {
  testsupport::TempDir dir;
  const fs::path val = dir / "T.VAL";
  std::string whole;
  {
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef d;
    d.Fields = {{"K", TPdxFieldType::Long}, {"A", TPdxFieldType::Alpha, 8, true}, {"B", TPdxFieldType::Long, 0, true}};
    db.CreateTable("T", d);
    std::ifstream f(val, std::ios::binary);
    whole.assign(std::istreambuf_iterator<char>(f), {});
  }
  auto required = [](const TPdxTableDef& def) { return std::vector<bool>{def.Fields[0].Required, def.Fields[1].Required, def.Fields[2].Required}; };
  // Opens the table with the .VAL as `bytes`: the structure, or the error's text.
  auto open = [&](const std::string& bytes, TPdxEnv* env, TPdxTableDef& def) -> std::string {
    std::ofstream(val, std::ios::binary | std::ios::trunc) << bytes;
    try {
      def = TPdxDatabase(dir.Path().string(), {}, env).TableStructure("T");
      return {};
    } catch (const EPdxError& e) {
      return AnsiToUtf8(e.Message());
    }
  };
  TPdxTableDef def;
  ASSERT_EQ(open(whole, nullptr, def), "");
  ASSERT_EQ(required(def), (std::vector<bool>{false, true, true}));
  std::string badField = whole;
  badField[0x35] = char(7);
  std::vector<std::pair<std::string, std::string>> cases = {{"a field the table lacks", badField}};
  for (size_t cut = 0; cut < whole.size(); ++cut) cases.emplace_back("cut at " + std::to_string(cut), whole.substr(0, cut));
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const std::string error = open(bytes, nullptr, def);
    if (error.empty()) EXPECT_EQ(required(def), (std::vector<bool>{false, true, true}));
    else EXPECT_NE(error.find("T.VAL"), std::string::npos) << error;
  }
  TFaultEnv env;
  env.Set(FirstOpenFails("T.VAL"));
  EXPECT_NE(open(whole, &env, def).find("T.VAL"), std::string::npos);
  fs::remove(val);
  ASSERT_NO_THROW(def = TPdxDatabase(dir.Path().string()).TableStructure("T"));
  EXPECT_EQ(required(def), (std::vector<bool>{false, false, false}));
}
