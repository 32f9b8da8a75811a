// Paradox connections made on two threads at once: a connection the window gave up on goes on
// alone on its thread while the window connects and reads other folders. Worth running under
// ThreadSanitizer too: a build with CMAKE_CXX_FLAGS and CMAKE_EXE_LINKER_FLAGS set to
// -fsanitize=thread, then gisdb_tests --gtest_filter='ParadoxThreads.*'.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "copier/WaitingWork.h"
#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbs.h"
#include "tests/support/Engines.h"
#include "tests/support/ParadoxFaults.h"

namespace {

// A Paradox folder holding ORVEL_DBINFO with its caption.
IConnParamsPtr CaptionedFolder(testsupport::TempDir& dir, const std::string& caption) {
  IConnParamsPtr params = testsupport::NewDatabase(testsupport::TEngine::ParadoxFolder, dir, caption);
  IOrvDbPtr db = ConnectDb(params.get(), true);
  CreateSysTable(db.get(), "ORVEL_DBINFO", DbInfoFields, DbInfoIndexes);
  BuildInsertSQL(db.get(), "ORVEL_DBINFO", {"DBID", "DBCAPTION"})->Execute({StrParam("1"), StrParam(caption)});
  return params;
}

// Rounds that connect as the wizard does and, every tenth, read the caption: how many found their
// folder, and what went wrong first otherwise.
struct TTally {
  int Right = 0;
  std::string Wrong;
  void Round(IConnParams* params, const std::string& caption, int round) {
    std::string found = caption;
    try {
      IOrvDbPtr db = ConnectDb(params, true);
      if (!db->TableExists("ORVEL_DBINFO")) found = "no ORVEL_DBINFO";
      if (round % 10 == 0) {
        IOrvDbSQLPtr sql = OpenTableSQL(db.get(), "ORVEL_DBINFO");
        found = sql->AsString(Variant("DBCAPTION"));
        sql->Close();
      }
    } catch (const std::exception& e) {
      found = AnsiToUtf8(ExceptionMessage(e));
    }
    if (found == caption)
      ++Right;
    else if (Wrong.empty())
      Wrong = found;
  }
};

}  // namespace

// The given-up connection is held at its first file call until the window has given up on it;
// then both connect, read and close again and again, and the window now and then changes a table
// in the other's folder. Each finds its own folder every time: no session or database of one is
// lost, doubled or named alike by the other's (under ThreadSanitizer: no race on what they share).
TEST(ParadoxThreads, AGivenUpConnectionAndTheWindowEachFindTheirOwnFolder) {
  constexpr int kRounds = 5000;
  testsupport::TempDir dir;
  IConnParamsPtr slow = CaptionedFolder(dir, "slow");
  IConnParamsPtr other[] = {CaptionedFolder(dir, "first"), CaptionedFolder(dir, "second")};

  std::mutex mu;
  std::condition_variable changed;
  bool givenUp = false;
  testsupport::TFaultEnv files;
  testsupport::TFaultEnv::TFault stall;
  stall.Ops = testsupport::TFaultEnv::opOpen;
  stall.FailAt = 1;
  stall.Error = 0;  // held, then let through
  stall.OnFault = [&] {
    std::unique_lock lock(mu);
    changed.wait(lock, [&] { return givenUp; });
  };
  files.Set(stall);
  paradox::SetProcessEnv(&files);

  TTally gone, window;
  auto state = std::make_shared<TWaitingWork>();
  TWaitingWork::Start(state, [&](TWaitingWork&) {
    for (int i = 0; i < kRounds; ++i) gone.Round(slow.get(), "slow", i);
  });
  EXPECT_FALSE(state->WaitFor(std::chrono::milliseconds(100)));
  IOrvDb* asked = nullptr;
  EXPECT_TRUE(state->Abandon(asked));
  {
    std::lock_guard lock(mu);
    givenUp = true;
  }
  changed.notify_all();

  for (int i = 0; i < kRounds; ++i) {
    window.Round(other[i % 2].get(), i % 2 ? "second" : "first", i);
    if (i % 100 == 0) {
      // A table made and dropped in the folder the given-up connection reads: its database is
      // told to forget what it knows of the table.
      IOrvDbPtr db = ConnectDb(slow.get(), true);
      CreateSysTable(db.get(), "SCRATCH", {{"ID", dftInt32, 0, true}}, {});
      db->DropTable("SCRATCH");
    }
  }
  for (int i = 0; i < 3000 && RunningWaitThreads() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(RunningWaitThreads(), 0);
  paradox::SetProcessEnv(nullptr);
  EXPECT_TRUE(files.Fired());
  EXPECT_EQ(window.Right, kRounds) << window.Wrong;
  EXPECT_EQ(gone.Right, kRounds) << gone.Wrong;
}
