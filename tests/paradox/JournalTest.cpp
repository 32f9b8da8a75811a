// The journal against what lies outside one process: a second process that opens a table while its
// writer is in the middle of a change, and journals that are not the table's own unfinished change
// (a folder restored from a copy, another table's journal copied beside it, a damaged one). Reading
// never changes a file; a journal is played back only by a writer, and only onto the change it
// guards; one that is not played is never removed.
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

std::string ReadFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The table in `made`, and a copy of it in `died` whose writer died in the middle of a batch;
// answers the genuine journal it left.
std::string MadeAndDied(const fs::path& made, const fs::path& died) {
  MakeTable(made, 3000);
  fs::copy(made, died, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  DieInTheMiddle(died, 9, 5);
  return ReadFile(died / "T.JNL");
}

// The next writer's open takes the table over: it holds `rows`, sound, and no journal is left.
void ExpectTheWriterFinds(const fs::path& dir, const std::multiset<std::string>& rows) {
  TPdxDatabase db(dir.string());
  ASSERT_NO_THROW(db.OpenTable("T"));
  EXPECT_EQ(Rows(db, "T"), rows);
  EXPECT_EQ(db.CheckIntegrity("T"), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(dir / "T.JNL"));
}

// The journal set aside in `dir` ("<journal>.N"), empty when there is none.
std::string SetAsideIn(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (UpperCase(e.path().filename().string()).find(".JNL.") != std::string::npos) return ReadFile(e.path());
  return {};
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
  testsupport::TempDir made, died;
  const std::string journal = MadeAndDied(made.Path(), died.Path());
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

// Another table's genuine journal beside a sound table, for pairings of the sample tables: it is
// never played, the table reads as it is and opens for writing, and the writer sets the journal
// aside whole.
TEST(ParadoxJournal, AnotherTablesJournalNeverLocksATableOut) {
  const std::vector<std::string> tables = {"db/CUSTOMER.DB", "db/AREACODES.DB", "db/DECIMAL.DB",
                                           "joins/C.DB", "fields/long.db", "fields/memo.db"};
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/AREACODES.DB", "db/DECIMAL.DB", "joins/C.DB", "fields/long.db", "fields/memo.db");
  // A table's family copied into `to`.
  auto copyFamily = [](const fs::path& db, const fs::path& to) {
    for (const auto& e : fs::directory_iterator(db.parent_path()))
      if (UpperCase(e.path().stem().string()) == UpperCase(db.stem().string())) fs::copy_file(e.path(), to / e.path().filename());
  };
  auto journalOf = [](const fs::path& db) { return fs::path(db).replace_extension(db.extension() == ".db" ? ".jnl" : ".JNL"); };
  // Each table's journal: a change that stops at its first sync of the .DB, its blocks overwritten.
  std::map<std::string, std::string> journals;
  for (const std::string& t : tables) {
    const fs::path sample = testsupport::SamplesDir() / t;
    testsupport::TempDir dir;
    copyFamily(sample, dir.Path());
    TFaultEnv env;
    TPdxDatabase db(dir.Path().string(), {}, &env);
    auto table = db.OpenTable(sample.stem().string());
    TPdxRecordPos first;
    {
      auto c = table->OpenCursor();
      ASSERT_TRUE(c->Next()) << t;
      first = c->Position();
    }
    TFaultEnv::TFault fault;
    fault.FilePrefix = sample.filename().string();
    fault.Ops = TFaultEnv::opSync;
    fault.FailAt = 1;
    fault.Stop = true;
    env.Set(fault);
    try {
      table->Delete(first);
    } catch (const EPdxError&) {
    }
    ASSERT_TRUE(env.Fired()) << t;
    journals[t] = ReadFile(journalOf(dir.Path() / sample.filename()));
    ASSERT_FALSE(journals[t].empty()) << t;
  }
  for (const std::string& own : tables)
    for (const std::string& other : tables) {
      if (own == other) continue;
      SCOPED_TRACE(other + "'s journal beside " + own);
      const fs::path sample = testsupport::SamplesDir() / own;
      const std::string name = sample.stem().string();
      testsupport::TempDir dir;
      copyFamily(sample, dir.Path());
      std::multiset<std::string> before;
      {
        TPdxDatabase db(dir.Path().string());
        before = pdxcrash::ReadRows(db, name);
      }
      std::ofstream(journalOf(dir.Path() / sample.filename()), std::ios::binary) << journals[other];
      const auto files = Files(dir.Path());
      try {
        TPdxDatabase db(dir.Path().string());
        EXPECT_EQ(pdxcrash::ReadRows(db, name), before);
        EXPECT_TRUE(Files(dir.Path()) == files) << "a read changed the files";
        db.OpenTable(name);
        EXPECT_EQ(pdxcrash::ReadRows(db, name), before);
      } catch (const EPdxError& e) {
        ADD_FAILURE() << AnsiToUtf8(e.Message());
      }
      EXPECT_FALSE(fs::exists(journalOf(dir.Path() / sample.filename())));
      EXPECT_EQ(SetAsideIn(dir.Path()), journals[other]);
    }
}

// A journal cut short, bit-flipped or of the older format, beside the table its change overwrote in
// part or beside the table before the change: it is never played and never removed. The table
// reads as it is, and where it is damaged the error names the journal; the next writer sets the
// journal aside whole.
TEST(ParadoxJournal, ADamagedJournalIsNeverRemoved) {
  testsupport::TempDir made, died;
  const std::string journal = MadeAndDied(made.Path(), died.Path());
  ASSERT_GT(journal.size(), 1000u);
  std::multiset<std::string> before;
  {
    TPdxDatabase db(made.Path().string());
    before = Rows(db, "T");
  }
  auto flipped = [&](size_t at) {
    std::string j = journal;
    j[at] ^= 0x10;
    return j;
  };
  const std::pair<const char*, std::string> damaged[] = {
      {"cut to its first byte", journal.substr(0, 1)},
      {"cut to its header", journal.substr(0, 72)},
      {"cut in its entries", journal.substr(0, journal.size() / 2)},
      {"a bit flipped in its header", flipped(20)},
      {"a bit flipped in its first entry", flipped(72 + 40)},
      {"a bit flipped in its last entry", flipped(journal.size() - 3)},
      {"of the older format", "PDXJRNL1" + journal.substr(8)},
  };
  for (const auto& [what, bytes] : damaged)
    for (const bool overwritten : {false, true}) {
      SCOPED_TRACE(std::string(what) + (overwritten ? ", the table overwritten in part" : ", the table as before"));
      testsupport::TempDir dir;
      fs::copy(overwritten ? died.Path() : made.Path(), dir.Path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
      std::ofstream(dir / "T.JNL", std::ios::binary) << bytes;
      const auto files = Files(dir.Path());
      // Either the rows, or an error that names the journal.
      auto tried = [&](const char* step, const std::function<void()>& fn) {
        try {
          fn();
        } catch (const EPdxError& e) {
          EXPECT_TRUE(overwritten) << step << ": " << AnsiToUtf8(e.Message());
          EXPECT_NE(e.Message().find("T.JNL"), std::string::npos) << step << ": " << AnsiToUtf8(e.Message());
        }
      };
      tried("read", [&] {
        TPdxDatabase db(dir.Path().string());
        const auto rows = Rows(db, "T");
        if (!overwritten) {
          EXPECT_EQ(rows, before);
        }
      });
      EXPECT_TRUE(Files(dir.Path()) == files) << "a read changed the files";
      tried("open for writing", [&] {
        TPdxDatabase db(dir.Path().string());
        db.OpenTable("T");
        if (!overwritten) {
          EXPECT_EQ(Rows(db, "T"), before);
        }
      });
      EXPECT_EQ(fs::exists(dir / "T.JNL") ? ReadFile(dir / "T.JNL") : SetAsideIn(dir.Path()), bytes) << "the journal is lost";
    }
}
