// The journal against what lies outside one process: a second process that opens a table while its
// writer is in the middle of a change, and journals that are not the table's own unfinished change
// (a folder restored from a copy, another table's journal copied beside it). Reading never changes
// a file; a journal is played back only by a writer, and only onto the change it guards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "platform/paradox/Paradox.h"
#include "tests/paradox/CrashScenarios.h"
#include "tests/support/ParadoxFaults.h"
#include "tests/support/TestSupport.h"

using namespace paradox;
using testsupport::TFaultEnv;
namespace fs = std::filesystem;

namespace {

std::multiset<std::string> Rows(TPdxDatabase& db, const std::string& table) {
  std::multiset<std::string> rows;
  for (auto c = db.OpenCursor(table); c->Next();) rows.insert(c->Value(0).ToString() + "|" + c->Value(1).ToString());
  return rows;
}

// Every file of a folder, by name, with its bytes.
std::map<std::string, std::string> Files(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream f(e.path(), std::ios::binary);
    out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(f), {});
  }
  return out;
}

// A keyed table of `n` records with a secondary index.
void MakeTable(const fs::path& dir, int n) {
  TPdxDatabase db(dir.string());
  pdxcrash::MakeKeyed(db, "T", n, 1024);
}

// A batch of odd keys: they go between the table's records, rewriting its blocks.
void Batch(TPdxDatabase& db, unsigned variant) {
  auto t = db.OpenTable("T");
  t->BeginBatch();
  std::mt19937 rng(variant);
  for (int i = 0; i < 400; ++i) t->Append({Variant(int32_t(rng() % 60000) * 2 + 1), Variant("w")});
  t->EndBatch();
}

// Runs the batch until its `writes`-th write to T.DB, where the process "dies": the folder holds
// the table half changed and the journal that guards the change.
void DieInTheMiddle(const fs::path& dir, unsigned variant, int writes) {
  TFaultEnv env;
  TFaultEnv::TFault fault;
  fault.FilePrefix = "T.DB";
  fault.Ops = TFaultEnv::opWrite;
  fault.FailAt = writes;
  fault.Stop = true;
  env.Set(fault);
  TPdxDatabase db(dir.string(), {}, &env);
  try {
    Batch(db, variant);
  } catch (const EPdxError&) {
  }
  ASSERT_TRUE(env.Fired());
  ASSERT_TRUE(fs::exists(dir / "T.JNL"));
}

// The next writer's open takes the table over: it holds `rows`, sound, and no journal is left.
void ExpectTheWriterFinds(const fs::path& dir, const std::multiset<std::string>& rows) {
  TPdxDatabase db(dir.string());
  ASSERT_NO_THROW(db.OpenTable("T"));
  EXPECT_EQ(Rows(db, "T"), rows);
  EXPECT_EQ(db.CheckIntegrity("T"), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(dir / "T.JNL"));
}

bool HasSetAside(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".JNL.") != std::string::npos) return true;
  return false;
}

}  // namespace

// A second process finds the writer in the middle of a change: its open for writing is refused, a
// read waits for the writer and, once the writer died, reads the table as it stood before the
// change, changing no file; the next writer takes the change back.
TEST(ParadoxJournal, ASecondProcessNeverPlaysBackALiveJournal) {
  testsupport::TempDir dir;
  MakeTable(dir.Path(), 3000);
  std::multiset<std::string> before;
  {
    TPdxDatabase db(dir.Path().string());
    before = Rows(db, "T");
  }
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    // The writer is stuck for good at its fifth write to the .DB (a disk that does not answer).
    TFaultEnv env;
    TFaultEnv::TFault fault;
    fault.FilePrefix = "T.DB";
    fault.Ops = TFaultEnv::opWrite;
    fault.FailAt = 5;
    fault.OnFault = [&] {
      const char c = 1;
      (void)!write(ready[1], &c, 1);
      for (;;) pause();
    };
    env.Set(fault);
    TPdxDatabase db(dir.Path().string(), {}, &env);
    Batch(db, 9);
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1) << "the writer never got to the middle of its change";
  close(ready[0]);
  const auto files = Files(dir.Path());
  try {
    TPdxDatabase(dir.Path().string()).OpenTable("T");
    ADD_FAILURE() << "a second writer was let in";
  } catch (const EPdxError& e) {
    EXPECT_NE(e.Message().find("открыта для записи другой программой"_ansi), std::string::npos) << AnsiToUtf8(e.Message());
  }
  // The reader waits while the writer lives; the writer dies meanwhile.
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(writer, SIGKILL);
  });
  std::multiset<std::string> read;
  {
    TPdxDatabase db(dir.Path().string());
    EXPECT_NO_THROW(read = Rows(db, "T"));
    EXPECT_EQ(db.CheckIntegrity("T"), std::vector<std::string>{});
  }
  killer.join();
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(read, before);
  EXPECT_TRUE(Files(dir.Path()) == files) << "a read changed the files";
  ExpectTheWriterFinds(dir.Path(), before);
}

// A journal is played back only onto the change it guards. Others are never played: a reader reads
// the table as it is, changing no file, and the next writer sets the journal aside.
TEST(ParadoxJournal, OnlyTheTablesOwnUnfinishedChangeIsTakenBack) {
  testsupport::TempDir made;
  MakeTable(made.Path(), 3000);
  // A genuine journal, in the folder it was made in.
  testsupport::TempDir died;
  fs::copy(made.Path(), died.Path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  DieInTheMiddle(died.Path(), 9, 5);
  std::string journal;
  {
    std::ifstream f(died / "T.JNL", std::ios::binary);
    journal.assign(std::istreambuf_iterator<char>(f), {});
  }
  struct TCase {
    const char* Name;
    std::function<void(const fs::path&)> Make;  // the folder, before the journal goes in
    bool Own;                                   // the journal guards this folder's change
  } cases[] = {
      {"its own change, half written", [&](const fs::path& d) { fs::copy(died.Path(), d, fs::copy_options::recursive | fs::copy_options::overwrite_existing); }, true},
      {"a change finished since, and the table changed after it",
       [&](const fs::path& d) {
         fs::copy(died.Path(), d, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
         TPdxDatabase db(d.string());
         db.OpenTable("T");
         Batch(db, 11);
       },
       false},
      {"the journal of another table of the same structure",
       [&](const fs::path& d) {
         MakeTable(d, 2500);
       },
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testsupport::TempDir dir;
    c.Make(dir.Path());
    fs::remove(dir / "T.JNL");
    std::multiset<std::string> before;
    {
      TPdxDatabase db(dir.Path().string());
      before = Rows(db, "T");
    }
    if (c.Own) {
      TPdxDatabase db(made.Path().string());
      before = Rows(db, "T");
    }
    std::ofstream(dir / "T.JNL", std::ios::binary) << journal;
    const auto files = Files(dir.Path());
    {
      TPdxDatabase db(dir.Path().string());
      EXPECT_EQ(Rows(db, "T"), before);
      EXPECT_EQ(db.CheckIntegrity("T"), std::vector<std::string>{});
    }
    EXPECT_TRUE(Files(dir.Path()) == files) << "a read changed the files";
    ExpectTheWriterFinds(dir.Path(), before);
    EXPECT_EQ(HasSetAside(dir.Path()), !c.Own);
  }
}
