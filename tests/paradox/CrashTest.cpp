// Faults swept over the engine's file operations. For each change of CrashScenarios.h, the n-th
// operation fails (and the work goes on, as the wizard's "ignore" does) or the process stops there;
// for a batch, the disk also fills at some byte and stays full. The table is then opened afresh
// from its files. It must hold every record it held before the change, intact, and no record never
// accepted; a single change is all or nothing; in a batch, the records stored are those accepted
// less those the errors said were lost, as RecordCount and the errors' counts say; and the table
// passes the consistency check, opened for reading and then for writing.
// The suite fails every operation but a sample of the writes, and fills the disk at a sample of
// bytes; COPYORVEL_LONG_SWEEP=1 sweeps every write, and more bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/paradox/CrashScenarios.h"
#include "tests/support/TestSupport.h"

using namespace paradox;
using namespace pdxcrash;
namespace fs = std::filesystem;

namespace {

int Failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

// Runs the change with the fault, then opens the table afresh, as the next process would, and
// checks it against the records before and after the change.
void RunWithFault(const TScenario& sc, const fs::path& made, TFaultEnv& env, const TFaultEnv::TFault& fault,
                  const TRows& before, const TRows& after) {
  testsupport::TempDir dir;
  CopyFolder(made, dir.Path());
  env.Set(fault);
  TPdxDatabase db(dir.Path().string(), {}, &env);
  TRun run(db, &env);
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
  // Once the disk is full nothing more reaches the table: the last error's count is final.
  if (fault.StaysFull && run.Held >= 0) {
    EXPECT_EQ(run.Held, int64_t(stored.size())) << "the count the last error gave";
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
    if (!sc.Faults) continue;
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
    int64_t bytes = 0;
    {
      testsupport::TempDir dir;
      CopyFolder(made.Path(), dir.Path());
      env.Set({});
      TPdxDatabase db(dir.Path().string(), {}, &env);
      TRun run(db, &env);
      sc.Change(run);
      ops = env.Counted();
      bytes = env.Bytes();
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
    // The disk fills at a sample of the bytes a batch writes, and stays full.
    const int64_t fills = sc.Batch ? (longSweep ? 8 : 1) * sc.Fills : 0;
    const int fullFailures = Failures();
    for (int64_t i = 1; i <= fills && Failures() == fullFailures; ++i) {
      TFaultEnv::TFault fault;
      fault.ByteLimit = bytes * i / (fills + 1);
      fault.StaysFull = true;
      SCOPED_TRACE("the disk full from byte " + std::to_string(fault.ByteLimit) + " of " + std::to_string(bytes));
      RunWithFault(sc, made.Path(), env, fault, before, after);
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
