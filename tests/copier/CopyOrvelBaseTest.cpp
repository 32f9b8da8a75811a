#include "copier/CopyOrvelBases.h"

#include <gtest/gtest.h>

#include "gisdb/CreateSysTables.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/MemoryDb.h"

using testsupport::TMemDb;

namespace {

RefPtr<TMemDb> DemoSource(int largeRows = 300) {
  RefPtr<TMemDb> db(new TMemDb);
  testsupport::TDemoOptions options;
  options.LargeRows = largeRows;
  options.BlobBytes = 5000;
  testsupport::BuildDemoGisDb(db.get(), options);
  return db;
}

std::vector<std::string> Columns(IOrvDb* db, const std::string& table) {
  std::vector<std::string> out;
  auto def = db->GetTableDef(table);
  for (int i = 0; i < def->GetFieldCount(); ++i) out.push_back(def->GetField(i).Name);
  return out;
}

std::vector<Variant> Column(TMemDb* db, const std::string& table, const std::string& column) {
  std::vector<Variant> out;
  auto& t = db->Table(table);
  for (std::size_t c = 0; c < t.Fields.size(); ++c)
    if (t.Fields[c].Name == column)
      for (const auto& row : t.Rows) out.push_back(row[c]);
  return out;
}

// Replaces ORVEL_IDMAPER's rows by (IDCLASS, LOCALID) pairs.
void SetIdMaper(TMemDb* db, const std::vector<std::pair<int, int>>& rows) {
  auto& t = db->Table("ORVEL_IDMAPER");
  t.Rows.clear();
  for (auto [cls, local] : rows)
    t.Rows.push_back({Variant(int32_t(cls)), Variant(int32_t(local)), Variant("{" + std::to_string(cls * 100 + local) + "}")});
}

}  // namespace

TEST(WholeDatabaseCopy, EveryRowAndColumnArrives) {
  auto src = DemoSource();
  RefPtr<TMemDb> dst(new TMemDb);
  TCopyOrvelBaseFrame frame;
  frame.Init("Копирование базы"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  ASSERT_EQ(frame.TableCount(), 24);
  for (int i = 0; i < frame.TableCount(); ++i) {
    TCopyTableInfo* item = frame.GetTable(i);
    SCOPED_TRACE(item->SrcName);
    EXPECT_EQ(item->SrcName, TCopyOrvelBaseFrame::SysTables()[static_cast<std::size_t>(i)].Name);
    EXPECT_EQ(item->Critical, TCopyOrvelBaseFrame::SysTables()[static_cast<std::size_t>(i)].Critical);
    EXPECT_EQ(item->Copied, item->RowCount);
    EXPECT_EQ(item->IndexMapCount(), 0);
    EXPECT_EQ(testsupport::CompareTables(src.get(), item->SrcName, dst.get(), item->DstName,
                                         Columns(src.get(), item->SrcName)),
              "");
  }
  EXPECT_EQ(frame.GetTable(0)->Description, "Ошибка может привести к нарушению в работе Гис"_ansi);
  EXPECT_NE(frame.GetTable(3)->Description.find("можно продолжить копирование"_ansi), std::string::npos);
  // The destination's structure is the catalogue's, not the source's.
  EXPECT_EQ(dst->Table("ORVEL_RASTERS").Fields[4].Size, 256);
}

TEST(WholeDatabaseCopy, OnlyTheCatalogueColumnsAreCopiedUnderTheCatalogueSpelling) {
  RefPtr<TMemDb> src(new TMemDb);
  for (const auto& t : TCopyOrvelBaseFrame::SysTables()) {
    if (std::string(t.Name) == "ORVEL_MAPS") continue;
    auto def = src->GetTableDef("");
    def->SetTableName(t.Name);
    def->AddField({"X", dftInt32, 0, false});
    def->ApplyChanges();
  }
  CreateSysTable(src.get(), "ORVEL_MAPS",
                 {{"id", dftString, 12, true}, {"MapName", dftString, 65, false}, {"EXTRA", dftInt32, 0, false}}, {});
  BuildInsertSQL(src.get(), "ORVEL_MAPS", {"id", "MapName", "EXTRA"})->Execute({StrParam("M1"), StrParam("Карта"_ansi), IntParam(7)});
  RefPtr<TMemDb> dst(new TMemDb);
  TCopyOrvelBaseFrame frame;
  frame.Init("К"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  EXPECT_EQ(Column(dst.get(), "ORVEL_MAPS", "ID"), std::vector<Variant>{Variant("M1")});
  EXPECT_EQ(Column(dst.get(), "ORVEL_MAPS", "MAPNAME"), std::vector<Variant>{Variant("Карта"_ansi)});
  EXPECT_EQ(Column(dst.get(), "ORVEL_MAPS", "GPID"), std::vector<Variant>{Variant::Null()});
  TCopyTableInfo* maps = frame.GetTable(14);
  EXPECT_EQ(maps->FieldMapCount(), 2);
  EXPECT_EQ(maps->GetFieldTarget(Variant("MapName")), "MAPNAME");
}

TEST(WholeDatabaseCopy, MissingSourceTableEndsTheRun) {
  auto src = DemoSource(10);
  src->Tables.erase("ORVEL_LINKS");
  RefPtr<TMemDb> dst(new TMemDb);
  TCopyOrvelBaseFrame frame;
  frame.Init("К"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
  EXPECT_THROW(frame.Execute(), Exception);
  EXPECT_EQ(frame.GetTable(23)->Errors->Strings(0), "Не найдена таблица \"ORVEL_LINKS\""_ansi);
}

TEST(IndependentCopy, FirstFreeLocalIdAndANewIdentity) {
  const std::vector<std::pair<std::vector<std::pair<int, int>>, int>> cases = {
      {{{0, 1}, {0, 2}, {1, 4}}, 3}, {{}, 1}, {{{0, 2}, {0, 3}}, 1}, {{{0, 1}, {1, 1}}, 2}};
  for (const auto& [rows, expected] : cases) {
    auto src = DemoSource(10);
    SetIdMaper(src.get(), rows);
    auto& info = src->Table("ORVEL_DBINFO");
    info.Rows.push_back(info.Rows[0]);
    info.Rows[1][0] = Variant("second");
    RefPtr<TMemDb> dst(new TMemDb);
    TCopyOrvelBaseFrame frame;
    frame.Init("К"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
    frame.Unfasten = true;
    frame.Execute();
    EXPECT_TRUE(frame.Unfasten);
    auto locals = Column(dst.get(), "ORVEL_IDMAPER", "LOCALID");
    ASSERT_EQ(locals.size(), rows.size() + 1);
    EXPECT_EQ(locals.back(), Variant(int32_t(expected)));
    std::string guid = Column(dst.get(), "ORVEL_IDMAPER", "GLOBALID").back().ToString();
    EXPECT_EQ(guid.size(), 38u);
    auto dbids = Column(dst.get(), "ORVEL_DBINFO", "DBID");
    ASSERT_EQ(dbids.size(), 2u);
    EXPECT_EQ(dbids[0], dbids[1]) << "every row gets the same identity";
    EXPECT_NE(dbids[0].ToString(), guid);
    EXPECT_EQ(Column(dst.get(), "ORVEL_DBINFO", "IDGROUP")[1], Variant(int32_t(expected)));
    EXPECT_EQ(Column(dst.get(), "ORVEL_DBINFO", "IDNUMBER")[0], Variant(int32_t(1000)));
  }
}

TEST(IndependentCopy, AFailureKeepsTheIdentityAndSaysWhyInTheSummary) {
  auto src = DemoSource(10);
  SetIdMaper(src.get(), {{0, 1}, {1, 1}, {0, 2}});  // N = 2, and (0, 2) is taken
  const Variant original = src->Table("ORVEL_DBINFO").Rows[0][0];
  RefPtr<TMemDb> dst(new TMemDb);
  TCopyOrvelBaseFrame frame;
  frame.Init("К"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
  frame.Unfasten = true;
  frame.Execute();
  EXPECT_EQ(frame.State, csFinished);
  EXPECT_FALSE(frame.Unfasten);
  EXPECT_EQ(Column(dst.get(), "ORVEL_DBINFO", "DBID")[0], original);
  ASSERT_EQ(frame.GetTable(0)->Errors->Count(), 1);
  EXPECT_NE(frame.GetTable(0)->Errors->Strings(0).find("key violation"), std::string::npos);
}

TEST(IndependentCopy, RunsAfterAStopToo) {
  auto src = DemoSource(10);
  RefPtr<TMemDb> dst(new TMemDb);
  TCopyOrvelBaseFrame frame;
  frame.Init("К"_ansi, IOrvDbPtr(src.get()), IOrvDbPtr(dst.get()));
  frame.Unfasten = true;
  dst->Fault = [&](const std::string& op, const std::string& table) {
    if (op == "insert" && table == "ORVEL_USERS") frame.Stop();
  };
  frame.Execute();
  dst->Fault = nullptr;
  EXPECT_EQ(frame.State, csStopped);
  EXPECT_TRUE(frame.Unfasten);
  EXPECT_EQ(Column(dst.get(), "ORVEL_DBINFO", "IDNUMBER")[0], Variant(int32_t(1000)));
}
