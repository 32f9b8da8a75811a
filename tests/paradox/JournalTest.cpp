// The journal against what lies outside one process: a second process that opens a table while its
// writer is in the middle of a change, a reader whose walk another process's change overlaps, and
// journals that are not the table's own unfinished change (a folder restored from a copy, another
// table's journal copied beside it, a damaged one). Reading never changes a file; a journal is
// played back only by a writer, and only onto the change it guards; one that is not played is
// never removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
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

// A keyed table of `n` records with a secondary index; answers its rows.
std::multiset<std::string> MakeTable(const fs::path& dir, int n) {
  TPdxDatabase db(dir.string());
  pdxcrash::MakeKeyed(db, "T", n, 1024);
  return Rows(db, "T");
}

// A batch of odd keys: they go between the table's records, rewriting its blocks.
void Batch(TPdxTable& t, unsigned variant) {
  t.BeginBatch();
  std::mt19937 rng(variant);
  for (int i = 0; i < 400; ++i) t.Append({Variant(int32_t(rng() % 60000) * 2 + 1), Variant("w")});
  t.EndBatch();
}
void Batch(TPdxDatabase& db, unsigned variant) { Batch(*db.OpenTable("T"), variant); }

// Stops a process at its fifth write to T.DB, in the middle of a change: its journal is written
// and synced, some of the blocks it guards are overwritten.
TFaultEnv::TFault StallInTheMiddle() {
  TFaultEnv::TFault fault;
  fault.FilePrefix = "T.DB";
  fault.Ops = TFaultEnv::opWrite;
  fault.FailAt = 5;
  return fault;
}

// Another process that writes table T of a folder: once told to go, it opens T for writing and makes
// `change` to it, then keeps it open, as it is, until the object goes. With a fault, it is stuck
// for good where the fault comes (a disk that does not answer).
class TOtherWriter {
 public:
  TOtherWriter(const fs::path& dir, std::function<void(TPdxTable&)> change, std::optional<TFaultEnv::TFault> stall = {}) {
    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) throw std::runtime_error("pipe");
    FPid = fork();
    if (FPid != 0) {
      close(go[0]);
      close(done[1]);
      FGo = go[1];
      FDone = done[0];
      return;
    }
    char c = 0;
    auto say = [&](char what) { (void)!write(done[1], &what, 1); };
    if (read(go[0], &c, 1) != 1) _exit(1);
    try {
      TFaultEnv env;
      TPdxDatabase db(dir.string(), {}, &env);
      auto t = db.OpenTable("T");
      if (stall) {
        stall->OnFault = [&] {
          say('s');
          for (;;) pause();
        };
        env.Set(*stall);
      }
      change(*t);
      say('d');
    } catch (...) {
      say('x');
    }
    for (;;) pause();
  }
  ~TOtherWriter() {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    close(FGo);
    close(FDone);
  }
  // Lets it make its change; answers once it has made it ('d') or is stuck in it ('s').
  char Go() {
    char c = 1;
    if (write(FGo, &c, 1) != 1 || read(FDone, &c, 1) != 1) return 0;
    return c;
  }

 private:
  pid_t FPid = -1;
  int FGo = -1, FDone = -1;
};

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
  const std::multiset<std::string> before = MakeTable(dir.Path(), 3000);
  auto writer = std::make_unique<TOtherWriter>(dir.Path(), [](TPdxTable& t) { Batch(t, 9); }, StallInTheMiddle());
  ASSERT_EQ(writer->Go(), 's') << "the writer never got to the middle of its change";
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
    writer.reset();
  });
  std::multiset<std::string> read;
  {
    TPdxDatabase db(dir.Path().string());
    EXPECT_NO_THROW(read = Rows(db, "T"));
    EXPECT_EQ(db.CheckIntegrity("T"), std::vector<std::string>{});
  }
  killer.join();
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

namespace {

// A keyed table of `n` records of 44 bytes in 1 KB blocks, each with a memo kept in the .MB: of 30
// bytes, or of 3,000 (a block of its own) in every 50th record from the 50th.
std::string Memo(int32_t k) { return std::string(k % 50 == 49 ? 3000 : 30, char('a' + k % 26)); }
void MakeMemos(const fs::path& dir, int n) {
  TPdxDatabase db(dir.string());
  TPdxTableDef d;
  d.Fields = {{"K", TPdxFieldType::Long}, {"V", TPdxFieldType::Alpha, 20}, {"N", TPdxFieldType::Memo, 10}};
  d.KeyFieldCount = 1;
  d.BlockSize = 1024;
  db.CreateTable("T", d);
  auto t = db.OpenTable("T");
  t->BeginBatch();
  for (int32_t k = 0; k < n; ++k) t->Append({Variant(2 * k), Variant("v" + std::to_string(k)), Variant(Memo(k))});
  t->EndBatch();
}

// The positions of the table's records in chain order.
std::vector<TPdxRecordPos> Positions(TPdxTable& t) {
  std::vector<TPdxRecordPos> out;
  for (auto c = t.OpenCursor(); c->Next();) out.push_back(c->Position());
  return out;
}

void Rewrite(TPdxTable& t, TPdxRecordPos pos, std::optional<std::string> memo = {}) {
  std::vector<Variant> row = t.Read(pos);
  row[1] = Variant("changed");
  if (memo) row[2] = Variant(*memo);
  t.Update(pos, row);
}

const char* const kChangedWhileRead = "изменена другой программой во время чтения";

}  // namespace

// 2,000 records between the table's.
void InsertBatch(TPdxTable& t) {
  t.BeginBatch();
  for (int32_t k = 0; k < 2000; ++k) t.Append({Variant(40 * k + 1), Variant("new"), Variant::Null()});
  t.EndBatch();
}

// A reader walks a table of 20,000 records (870 blocks) while another process changes it: it reads
// the rows of one state the table was in, or ends with an error saying that another program changed
// the table while it was being read; never rows of two states, nor "damaged" for a sound table.
// The other process acts when the reader has read 49 records and stands on the 50th.
TEST(ParadoxJournal, AWalkThatAnotherProcessChangesEndsWithAnError) {
  testsupport::TempDir made;
  MakeMemos(made.Path(), 20000);
  struct TCase {
    const char* Name;
    std::function<void(TPdxTable&)> Change;
    std::optional<TFaultEnv::TFault> Stall;
    bool BeforeTheWalk = false;  // the change is made, and the table held open, before the walk
    bool TakenBack = false;      // the stuck writer dies, and the next one takes its change back
  } cases[] = {
      {"a record already read and the last record updated",
       [](TPdxTable& t) {
         const auto at = Positions(t);
         Rewrite(t, at[9]);
         Rewrite(t, at.back());
       },
       {}},
      {"the records ahead of the reader deleted, their blocks freed",
       [](TPdxTable& t) {
         const auto at = Positions(t);
         t.BeginBatch();
         for (size_t i = at.size(); i-- > 10000;) t.Delete(at[i]);
         t.EndBatch();
       },
       {}},
      {"the table emptied", [](TPdxTable& t) { t.EmptyTable(); }, {}},
      {"the record the reader stands on deleted, its memo freed", [](TPdxTable& t) { t.Delete(Positions(t)[49]); }, {}},
      {"the large memo of the record the reader stands on freed and written over by another record's",
       [](TPdxTable& t) {
         const auto at = Positions(t);
         Rewrite(t, at[49], "short");
         Rewrite(t, at[100], std::string(3000, '#'));
       },
       {}},
      {"a batch stuck in the middle of its writing", InsertBatch, StallInTheMiddle()},
      {"a batch stuck in the middle of its writing, then taken back by the next writer", InsertBatch, StallInTheMiddle(), false, true},
      {"a change finished before the walk, its writer idle", [](TPdxTable& t) { Rewrite(t, Positions(t)[9]); }, {}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testsupport::TempDir dir;
    pdxcrash::CopyFolder(made.Path(), dir.Path());
    auto writer = std::make_unique<TOtherWriter>(dir.Path(), c.Change, c.Stall);
    const char acted = c.Stall ? 's' : 'd';
    if (c.BeforeTheWalk) {
      ASSERT_EQ(writer->Go(), acted);
    }
    TPdxDatabase db(dir.Path().string());
    pdxcrash::TRows rows;
    std::string error;
    std::unique_ptr<TPdxCursor> cursor;
    try {
      cursor = db.OpenCursor("T");
      for (int i = 0; cursor->Next(); ++i) {
        if (i == 49 && !c.BeforeTheWalk) {
          ASSERT_EQ(writer->Go(), acted);
          if (c.TakenBack) {
            writer.reset();
            writer = std::make_unique<TOtherWriter>(dir.Path(), [](TPdxTable&) {});
            ASSERT_EQ(writer->Go(), 'd');
          }
        }
        rows.insert(pdxcrash::Canon(cursor->Values()));
      }
    } catch (const EPdxError& e) {
      error = AnsiToUtf8(e.Message());
    }
    if (!c.BeforeTheWalk) {
      EXPECT_NE(error.find(kChangedWhileRead), std::string::npos) << error;
      // A walk begun after the change, while the first one's cursor is still open, reads the
      // table as the change left it.
      if (!c.Stall || c.TakenBack) {
        size_t again = 0;
        EXPECT_NO_THROW(again = pdxcrash::ReadRows(db, "T").size());
        EXPECT_EQ(again, size_t(db.RecordCount("T")));
      }
      continue;
    }
    EXPECT_EQ(error, "");
    EXPECT_EQ(rows, pdxcrash::ReadRows(db, "T"));
    EXPECT_EQ(rows.count("0|v0|" + Memo(0) + "|"), 1u);
  }
}

// A reader that finds another process in the middle of writing a change waits for it, and refuses
// once it has waited 3 s, whatever the journal reads as at that moment: what a reader may read of a
// journal whose header is being rewritten, of one whose header already counts entries not yet
// read, or of a journal of a format it does not know. The three wait side by side.
TEST(ParadoxJournal, AReaderWaitsForAChangeBeingWrittenWhateverItsJournalReadsAs) {
  testsupport::TempDir made;
  const std::multiset<std::string> before = MakeTable(made.Path(), 3000);
  const std::function<void(std::string&)> tears[] = {
      [](std::string& j) {
        for (size_t i = 1; i < 72; ++i) j[i] = char(j[i] ^ 0x5A);
      },
      [](std::string& j) { j.resize(100); },
      [](std::string& j) { j[7] = char(j[7] + 1); },
  };
  const size_t n = std::size(tears);
  std::vector<std::unique_ptr<testsupport::TempDir>> dirs;
  std::vector<std::unique_ptr<TOtherWriter>> writers;
  std::vector<std::string> journals, messages(n);
  std::vector<std::map<std::string, std::string>> files;
  for (size_t i = 0; i < n; ++i) {
    dirs.push_back(std::make_unique<testsupport::TempDir>());
    pdxcrash::CopyFolder(made.Path(), dirs[i]->Path());
    writers.push_back(std::make_unique<TOtherWriter>(dirs[i]->Path(), [](TPdxTable& t) { Batch(t, 9); }, StallInTheMiddle()));
    ASSERT_EQ(writers[i]->Go(), 's');
    files.push_back(Files(dirs[i]->Path()));
    journals.push_back(files[i]["T.JNL"]);
    std::string torn = journals[i];
    tears[i](torn);
    std::ofstream(*dirs[i] / "T.JNL", std::ios::binary | std::ios::trunc) << torn;
  }
  std::vector<std::thread> readers;
  for (size_t i = 0; i < n; ++i)
    readers.emplace_back([&, i] {
      try {
        TPdxDatabase db(dirs[i]->Path().string());
        Rows(db, "T");
      } catch (const EPdxError& e) {
        messages[i] = AnsiToUtf8(e.Message());
      }
    });
  for (auto& r : readers) r.join();
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(messages[i].find("сейчас изменяется другой программой"), std::string::npos) << messages[i];
    std::ofstream(*dirs[i] / "T.JNL", std::ios::binary | std::ios::trunc) << journals[i];
    EXPECT_TRUE(Files(dirs[i]->Path()) == files[i]) << "a read changed the files";
    writers[i].reset();
    ExpectTheWriterFinds(dirs[i]->Path(), before);
  }
}

// Waiting for another process's change holds up no other open: while a reader waits for a busy
// table, a table in another folder opens at once.
TEST(ParadoxJournal, AnOpenWaitingForAnotherProcessHoldsUpNoOtherOpen) {
  testsupport::TempDir busy, other;
  MakeTable(busy.Path(), 3000);
  MakeTable(other.Path(), 10);
  auto writer = std::make_unique<TOtherWriter>(busy.Path(), [](TPdxTable& t) { Batch(t, 9); }, StallInTheMiddle());
  ASSERT_EQ(writer->Go(), 's');
  std::atomic<bool> waited{false};
  std::thread waiting([&] {
    try {
      TPdxDatabase db(busy.Path().string());
      db.OpenCursor("T");
    } catch (const EPdxError&) {
    }
    waited = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TPdxDatabase db(other.Path().string());
  EXPECT_EQ(Rows(db, "T").size(), 10u);
  EXPECT_FALSE(waited) << "the other table's open waited for the busy one";
  writer.reset();
  waiting.join();
}
