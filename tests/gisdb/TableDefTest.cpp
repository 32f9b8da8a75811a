#include <gtest/gtest.h>

#include "gisdb/OrvelDbUtils.h"
#include "tests/support/MemoryDb.h"

using testsupport::TMemDb;

namespace {

RefPtr<TMemDb> DbWithMaps() {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  def->SetTableName("ORVEL_MAPS");
  def->AddField({"ID", dftInt32, 0, true});
  def->AddField({"NAME", dftString, 40, false});
  def->AddIndex({"PK_MAPS", "ID", dioPrimary | dioUnique});
  def->ApplyChanges();
  return db;
}

}  // namespace

TEST(TableDef, NewDefinitionIsEmptyAndUnchanged) {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  EXPECT_EQ(def->GetFieldCount(), 0);
  EXPECT_EQ(def->GetIndexCount(), 0);
  EXPECT_EQ(def->GetTableName(), "");
  EXPECT_FALSE(def->GetModified());
  def->CancelChanges();
  EXPECT_EQ(def->GetFieldCount(), 0);
  EXPECT_FALSE(def->GetModified());
}

TEST(TableDef, ChangeFlagsFollowRealChangesOnly) {
  auto db = DbWithMaps();
  auto def = db->GetTableDef("ORVEL_MAPS");
  auto* self = static_cast<TOrvDbTableDef*>(def.get());
  ASSERT_EQ(def->GetFieldCount(), 2);
  EXPECT_FALSE(def->GetModified());

  def->SetField(1, def->GetField(1));
  def->MoveField(1, 1);
  def->SetTableName("ORVEL_MAPS");
  EXPECT_FALSE(def->GetModified());

  TOrvDbFieldDef f = def->GetField(1);
  f.Required = true;
  def->SetField(1, f);
  EXPECT_EQ(self->Changes(), tcFields);
  EXPECT_EQ(self->Fields().Items(1)->Original.Required, false) << "Original never changes";

  def->SetTableName("orvel_maps");
  EXPECT_EQ(self->Changes(), tcFields | tcName) << "a change of letter case counts";
  def->AddIndex({"IX_NAME", "NAME", 0});
  EXPECT_EQ(self->Changes(), tcFields | tcName | tcIndexes);

  def->CancelChanges();
  EXPECT_FALSE(def->GetModified());
  EXPECT_EQ(def->GetTableName(), "ORVEL_MAPS");
  EXPECT_EQ(def->GetIndexCount(), 1);
  EXPECT_FALSE(def->GetField(1).Required);
}

TEST(TableDef, LookupsMoveAndPrimaryIndex) {
  auto db = DbWithMaps();
  auto def = db->GetTableDef("ORVEL_MAPS");
  auto* self = static_cast<TOrvDbTableDef*>(def.get());
  EXPECT_EQ(def->IndexOfField("name"), 1);
  EXPECT_EQ(def->IndexOfField("missing"), -1);
  EXPECT_EQ(def->IndexOfIndex("pk_maps"), 0);
  def->MoveField(0, 1);
  EXPECT_EQ(def->GetField(0).Name, "NAME");
  EXPECT_TRUE(def->GetModified());
  EXPECT_THROW(def->GetField(5), EListError);
  EXPECT_THROW(def->DeleteIndex(-1), EListError);

  ASSERT_NE(self->PrimaryIndex(), nullptr);
  def->SetIndex(0, {"UQ", "ID", dioUnique});
  EXPECT_EQ(self->PrimaryIndex(), nullptr) << "a unique index is no primary key";
  def->DeleteIndex(0);
  EXPECT_EQ(def->GetIndexCount(), 0);
}

TEST(TableDef, OnChangeSeesTheSender) {
  RefPtr<TMemDb> db(new TMemDb);
  auto def = db->GetTableDef("");
  auto* self = static_cast<TOrvDbTableDef*>(def.get());
  std::vector<TObject*> senders;
  self->OnChange = [&](TObject* s) { senders.push_back(s); };
  def->AddField({"A", dftInt32, 0, false});
  def->SetField(0, {"B", dftInt32, 0, false});
  def->SetTableName("T");
  ASSERT_EQ(senders.size(), 3u);
  EXPECT_EQ(senders[0], &self->Fields());
  EXPECT_EQ(senders[1], self->Fields().Items(0));
  EXPECT_EQ(senders[2], self);
}

TEST(DatabaseObjects, ADatabaseLivesWhileAnythingItMadeIsHeld) {
  bool destroyed = false;
  struct TProbeDb : TMemDb {
    bool* Flag = nullptr;
    ~TProbeDb() override { *Flag = true; }
  };
  auto* raw = new TProbeDb;
  raw->Flag = &destroyed;
  IOrvDbPtr db(raw);
  IOrvDbSQLPtr sql = db->CreateSQL("SELECT * FROM [X]");
  IOrvDbTableDefPtr def = db->GetTableDef("");
  EXPECT_EQ(raw->Objects().size(), 2u);
  db.reset();
  EXPECT_FALSE(destroyed);
  sql.reset();
  EXPECT_EQ(raw->Objects().size(), 1u);
  EXPECT_FALSE(destroyed);
  def.reset();
  EXPECT_TRUE(destroyed);
}

TEST(DatabaseObjects, ADatabaseDestroyedWithObjectsStillRegisteredDetachesThem) {
  auto* db = new TMemDb;
  db->_AddRef();
  IOrvDbSQLPtr sql = db->CreateSQL("SELECT * FROM [X]");
  auto* obj = dynamic_cast<TOrvDbObject*>(sql.get());
  ASSERT_NE(obj, nullptr);
  delete db;  // destroyed outright, as a failing constructor or an owner's teardown would
  EXPECT_EQ(obj->Db(), nullptr);
  sql.reset();  // must not touch the database again
}
