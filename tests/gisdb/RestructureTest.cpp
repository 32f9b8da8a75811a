#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "gisdb/CreateSysTables.h"
#include "gisdb/OrvelDbUtils.h"
#include "platform/paradox/Paradox.h"
#include "tests/support/Engines.h"
#include "tests/support/MemoryDb.h"
#include "tests/support/ParadoxFaults.h"

using testsupport::TMemDb;
using testsupport::TMemTable;

namespace {

const std::vector<std::vector<Variant>> kRows = {
    {Variant(int32_t(1)), Variant("Москва"_ansi), Variant(1.5)},
    {Variant(int32_t(2)), Variant::Null(), Variant(2.5)},
    {Variant(int32_t(3)), Variant("Тверь"_ansi), Variant::Null()},
};

// ORVEL_MAPS (ID NOT NULL primary, NAME, SCALE) with three rows.
RefPtr<TMemDb> MakeDb() {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  def->SetTableName("ORVEL_MAPS");
  def->AddField({"ID", dftInt32, 0, true});
  def->AddField({"NAME", dftString, 40, false});
  def->AddField({"SCALE", dftDouble, 0, false});
  def->AddIndex({"PK_MAPS", "ID", dioPrimary | dioUnique});
  def->ApplyChanges();
  auto ins = BuildInsertSQL(db.get(), "ORVEL_MAPS", {"ID", "NAME", "SCALE"});
  for (const auto& row : kRows) ins->Execute({{dftInt32, row[0]}, {dftString, row[1]}, {dftDouble, row[2]}});
  db->Log.clear();
  return db;
}

// The usual edit: NAME renamed to CAPTION and widened, SCALE dropped, NOTE added, an index added.
void Edit(IOrvDbTableDef* def) {
  def->SetField(1, {"CAPTION", dftString, 80, false});
  def->DeleteField(2);
  def->AddField({"NOTE", dftMemo, 0, false});
  def->AddIndex({"IX_CAPTION", "CAPTION", 0});
}

// The column's values, none when the table or the column is missing.
std::vector<Variant> Column(TMemDb* db, const std::string& table, const std::string& column) {
  std::vector<Variant> out;
  const TMemTable* t = db->Find(table);
  for (std::size_t c = 0; t && c < t->Fields.size(); ++c)
    if (t->Fields[c].Name == column)
      for (const auto& row : t->Rows) out.push_back(row[c]);
  return out;
}

std::vector<Variant> Expected(int column) {
  std::vector<Variant> out;
  for (const auto& row : kRows) out.push_back(row[static_cast<std::size_t>(column)]);
  return out;
}

}  // namespace

TEST(Restructure, RebuildCarriesEachColumnFromItsOriginalName) {
  auto db = MakeDb();
  auto def = db->GetTableDef("ORVEL_MAPS");
  Edit(def.get());
  def->ApplyChanges();
  auto& t = db->Table("ORVEL_MAPS");
  ASSERT_EQ(t.Fields.size(), 3u);
  EXPECT_EQ(t.Fields[1].Name, "CAPTION");
  EXPECT_TRUE(t.Fields[0].Required) << "NOT NULL comes back with the full creation";
  EXPECT_EQ(t.Indexes.size(), 2u);
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "ID"), Expected(0));
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "CAPTION"), Expected(1));
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "NOTE"), std::vector<Variant>(3, Variant::Null()));
  EXPECT_EQ(db->Find("tmp_ORVEL_MAPS"), nullptr);
}

TEST(Restructure, NameOnlyChangeRenamesInPlaceOrRebuilds) {
  auto db = MakeDb();
  auto def = db->GetTableDef("ORVEL_MAPS");
  def->SetTableName("MAPS2");
  def->ApplyChanges();
  EXPECT_EQ(db->Log, std::vector<std::string>{"rename ORVEL_MAPS"});
  EXPECT_EQ(Column(db.get(), "MAPS2", "NAME"), Expected(1));

  auto db2 = MakeDb();
  db2->CanRename = false;
  auto def2 = db2->GetTableDef("ORVEL_MAPS");
  def2->SetTableName("MAPS2");
  def2->ApplyChanges();
  EXPECT_EQ(Column(db2.get(), "MAPS2", "NAME"), Expected(1));
  EXPECT_EQ(db2->Find("ORVEL_MAPS"), nullptr);
  EXPECT_EQ(db2->Find("tmp_ORVEL_MAPS"), nullptr);
}

TEST(Restructure, LeftoverTemporaryTableIsDroppedAndUnsharedColumnsCopyNothing) {
  auto db = MakeDb();
  auto stale = db->GetTableDef("");
  stale->SetTableName("tmp_ORVEL_MAPS");
  stale->AddField({"JUNK", dftInt32, 0, false});
  stale->ApplyChanges();
  auto def = db->GetTableDef("ORVEL_MAPS");
  while (def->GetFieldCount() > 0) def->DeleteField(0);
  def->DeleteIndex(0);
  def->AddField({"OTHER", dftInt32, 0, false});
  def->ApplyChanges();
  EXPECT_EQ(db->Table("ORVEL_MAPS").Rows.size(), 0u);
  EXPECT_EQ(db->Find("tmp_ORVEL_MAPS"), nullptr);
  auto other = db->GetTableDef("");
  other->SetTableName("JUNK_T");
  other->AddField({"JUNK", dftInt32, 0, false});
  other->ApplyChanges();
  EXPECT_EQ(CopyTableData(db.get(), "ORVEL_MAPS", "JUNK_T", nullptr), -1) << "no column in common";
}

// A leftover temporary table with rows may be all that is left of a table whose rebuild was
// interrupted: the rebuild is refused and both tables stay as they are.
TEST(Restructure, LeftoverTemporaryTableWithRowsIsKept) {
  auto db = MakeDb();
  auto stale = db->GetTableDef("");
  stale->SetTableName("tmp_ORVEL_MAPS");
  stale->AddField({"JUNK", dftInt32, 0, false});
  stale->ApplyChanges();
  BuildInsertSQL(db.get(), "tmp_ORVEL_MAPS", {"JUNK"})->Execute({{dftInt32, Variant(int32_t(7))}});
  auto def = db->GetTableDef("ORVEL_MAPS");
  Edit(def.get());
  try {
    def->ApplyChanges();
    FAIL() << "the rebuild went on";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("tmp_ORVEL_MAPS"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(Column(db.get(), "tmp_ORVEL_MAPS", "JUNK"), std::vector<Variant>{Variant(int32_t(7))});
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "NAME"), Expected(1));
}

TEST(Restructure, NewDefinitionIsCreatedStraightAway) {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  def->SetTableName("T");
  def->AddField({"A", dftInt32, 0, true});
  def->ApplyChanges();
  EXPECT_EQ(db->Log, std::vector<std::string>{"create T"});
  EXPECT_TRUE(db->Table("T").Fields[0].Required);
}

// A failure injected at every step of a rebuild, once or for good from that step on, with a drop
// that refuses or one that takes the table and then raises (files removed only in part): the rows
// are never lost. Either the rebuild finished (an error may say only that its temporary table
// stays), or the old table is back with its rows, or the error says which temporary table holds
// them.
TEST(Restructure, RowsSurviveAFailureAtEveryStep) {
  auto reference = MakeDb();
  {
    auto def = reference->GetTableDef("ORVEL_MAPS");
    Edit(def.get());
    def->ApplyChanges();
  }
  const std::size_t steps = reference->Log.size();
  ASSERT_GT(steps, 8u);
  for (int mode = 0; mode < 4; ++mode) {
    const bool persistent = mode & 1, dropsHalfway = mode & 2;
    for (std::size_t k = 0; k < steps + 4; ++k) {
      SCOPED_TRACE((persistent ? "failing from step " : "failing at step ") + std::to_string(k) +
                   (dropsHalfway ? ", drops half done" : ""));
      auto db = MakeDb();
      auto def = db->GetTableDef("ORVEL_MAPS");
      Edit(def.get());
      std::size_t calls = 0;
      db->Fault = [&](const std::string& op, const std::string& table) {
        std::size_t n = calls++;
        if (n != k && !(persistent && n > k)) return;
        if (dropsHalfway && op == "drop") db->Tables.erase(AnsiUpperCase(table));
        throw Exception("injected failure of " + op + " " + table);
      };
      std::string error;
      try {
        def->ApplyChanges();
      } catch (const Exception& e) {
        error = e.Message();
      }
      db->Fault = nullptr;
      if (error.empty() || error.rfind("Таблица ORVEL_MAPS перестроена"_ansi, 0) == 0) {
        EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "CAPTION"), Expected(1));
        continue;
      }
      EXPECT_EQ(error.rfind("injected failure", 0), 0u) << "the first error is reported: " << error;
      const bool kept = error.find("сохранены во временной таблице tmp_ORVEL_MAPS"_ansi) != std::string::npos;
      if (kept) {
        EXPECT_EQ(Column(db.get(), "tmp_ORVEL_MAPS", "NAME"), Expected(1));
        continue;
      }
      if (!persistent) {
        EXPECT_EQ(db->Find("tmp_ORVEL_MAPS"), nullptr) << "no temporary table left behind";
      }
      // Any other error leaves the old table as it was: a rebuild that got through is not
      // reported as failed.
      EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "NAME"), Expected(1)) << "the old table is back: " << error;
      EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "SCALE"), Expected(2));
      EXPECT_TRUE(db->Find("ORVEL_MAPS") && db->Table("ORVEL_MAPS").Fields[0].Required);
    }
  }
}

TEST(Restructure, ACopyThatLosesRowsStopsBeforeTheOriginalIsDropped) {
  auto db = MakeDb();
  db->LoseInsertsInto = "tmp_ORVEL_MAPS";
  auto def = db->GetTableDef("ORVEL_MAPS");
  Edit(def.get());
  EXPECT_THROW(def->ApplyChanges(), Exception);
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "NAME"), Expected(1));
  EXPECT_EQ(db->Find("tmp_ORVEL_MAPS"), nullptr);

  auto db2 = MakeDb();
  db2->LoseInsertsInto = "ORVEL_MAPS";  // the new table and the restored one both lose rows
  auto def2 = db2->GetTableDef("ORVEL_MAPS");
  Edit(def2.get());
  try {
    def2->ApplyChanges();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("сохранены во временной таблице tmp_ORVEL_MAPS"_ansi), std::string::npos);
  }
  EXPECT_EQ(Column(db2.get(), "tmp_ORVEL_MAPS", "NAME"), Expected(1));
}

TEST(Restructure, AKeyViolationInTheNewStructureRestoresTheOldTable) {
  auto db = MakeDb();
  auto def = db->GetTableDef("ORVEL_MAPS");
  def->AddIndex({"UQ_SCALE_NULLS", "CAPTION_MISSING", dioUnique});  // every row has the same (empty) key
  EXPECT_THROW(def->ApplyChanges(), Exception);
  EXPECT_EQ(Column(db.get(), "ORVEL_MAPS", "NAME"), Expected(1));
  EXPECT_EQ(db->Table("ORVEL_MAPS").Indexes.size(), 1u);
  EXPECT_EQ(db->Find("tmp_ORVEL_MAPS"), nullptr);
}

// An unlink that fails at each point of a rebuild on a Paradox folder (an I/O error, a file of
// another owner), alone or with every operation after it: a drop that fails may have taken the
// table's .DB already. At every point the rebuilt table, the old one, or the temporary table the
// error names holds every row.
TEST(Restructure, RowsSurviveAFailedUnlinkAtEveryPointOfAParadoxRebuild) {
  namespace fs = std::filesystem;
  using testsupport::TFaultEnv;
  testsupport::TempDir dir;
  const int64_t rows = 3000;
  {
    IOrvDbPtr db = ConnectDb(testsupport::NewDatabase(testsupport::TEngine::ParadoxFolder, dir, "made").get(), true);
    CreateSysTable(db.get(), "R", {{"ID", dftInt32, 0, true}, {"NAME", dftString, 40, false}, {"NOTE", dftMemo, 0, false}},
                   {{"PK_R", "ID", dioPrimary | dioUnique}, {"IX_NAME", "NAME", 0}});
    auto ins = BuildInsertSQL(db.get(), "R", {"ID", "NAME", "NOTE"});
    RunInBracket(db.get(), [&] {
      for (int32_t id = 1; id <= rows; ++id)
        ins->Execute({{dftInt32, Variant(id)}, {dftString, Variant("N" + std::to_string(id % 97))},
                      {dftMemo, Variant(std::string(id % 10 ? 0 : 300, 'm'))}});
    });
    ins->Close();
    db->Close();
  }
  auto count = [](const paradox::TPdxDatabase& files, const std::string& table) {
    int64_t n = 0;
    if (files.TableExists(table))
      for (auto c = files.OpenCursor(table); c->Next();) ++n;
    return n;
  };
  TFaultEnv env;
  for (bool stop : {false, true}) {
    int64_t failAt = 0;
    do {
      ++failAt;
      SCOPED_TRACE("unlink " + std::to_string(failAt) + (stop ? " fails, and everything after it" : " fails"));
      const std::string name = (stop ? "stop" : "once") + std::to_string(failAt);
      IConnParamsPtr params = testsupport::NewDatabase(testsupport::TEngine::ParadoxFolder, dir, name);
      for (const auto& f : fs::directory_iterator(dir.Path() / "made"))
        fs::copy_file(f.path(), dir.Path() / name / f.path().filename());
      env.Set({"", TFaultEnv::opRemove, failAt, EIO, stop});
      paradox::SetProcessEnv(&env);
      std::string error;
      try {
        IOrvDbPtr db = ConnectDb(params.get(), true);
        auto def = db->GetTableDef("R");
        def->AddField({"CODE", dftInt32, 0, false});
        def->ApplyChanges();
        db->Close();
      } catch (const std::exception& e) {
        error = ExceptionMessage(e);
      }
      paradox::SetProcessEnv(nullptr);
      paradox::TPdxDatabase files((dir.Path() / name).string());
      if (error.find("сохранены во временной таблице tmp_R"_ansi) != std::string::npos) {
        EXPECT_EQ(count(files, "tmp_R"), rows) << error;
        continue;
      }
      EXPECT_EQ(count(files, "R"), rows) << error;
      // The new structure exactly when the rebuild is reported done.
      const bool rebuilt = error.empty() || error.rfind("Таблица R перестроена"_ansi, 0) == 0;
      if (files.TableExists("R")) {
        EXPECT_EQ(files.TableStructure("R").Fields.size(), rebuilt ? 4u : 3u) << error;
      }
    } while (env.Fired());
    EXPECT_GT(failAt, 5) << "the sweep reached the drops of both tables";
  }
}
