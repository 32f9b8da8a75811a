#include "copier/CopyBases.h"

#include <gtest/gtest.h>

#include "tests/support/MemoryDb.h"

namespace {

void FillFourFields(TCopyTableInfo& item) {
  item.SetFieldTarget(Variant("A"), "a");
  item.SetFieldTarget(Variant("Поле"_ansi), "pole");
  item.SetFieldTarget(Variant("C"), "c");
  item.SetFieldTarget(Variant("D"), "d");
}

}  // namespace

TEST(CopyTableInfo, NewItem) {
  TCopyTableInfo item("ORVEL_MAPS");
  EXPECT_EQ(item.SrcName, "ORVEL_MAPS");
  EXPECT_EQ(item.DstName, "");
  EXPECT_EQ(item.RowCount, -1);
  EXPECT_EQ(item.Copied, 0);
  EXPECT_FALSE(item.Critical);
  EXPECT_EQ(item.FieldMapCount(), 0);
  EXPECT_EQ(item.IndexMapCount(), 0);
}

TEST(CopyTableInfo, MapSettingAndDeletingByPositionOrName) {
  TCopyTableInfo item("T");
  FillFourFields(item);
  item.SetFieldTarget(Variant(int32_t(2)), "");
  ASSERT_EQ(item.FieldMapCount(), 3);
  EXPECT_EQ(item.GetFieldSource(Variant(int32_t(2))), "D");
  item.SetFieldTarget(Variant("a"), "a2");  // replaces, keeps position
  EXPECT_EQ(item.GetFieldTarget(Variant(int16_t(0))), "a2");
  item.SetFieldTarget(Variant("missing"), "");
  EXPECT_EQ(item.FieldMapCount(), 3);
  EXPECT_THROW(item.GetFieldSource(Variant(uint8_t(7))), EListError);
}

TEST(CopyTableInfo, LookupsFoldCaseTheirOwnWay) {
  TCopyTableInfo item("T");
  FillFourFields(item);
  EXPECT_EQ(item.GetFieldTarget(Variant("пОЛЕ"_ansi)), "pole") << "source names fold Cyrillic too";
  EXPECT_EQ(item.GetFieldTarget(Variant("nothing")), "");
  EXPECT_EQ(item.GetFieldSource(Variant("POLE")), "Поле"_ansi) << "destinations fold ASCII";
  item.SetFieldTarget(Variant("E"), "Ёж"_ansi);
  EXPECT_EQ(item.GetFieldSource(Variant("Ёж"_ansi)), "E");
  try {
    item.GetFieldSource(Variant("ёж"_ansi));
    FAIL() << "a destination differing in the case of a Cyrillic letter is not found";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Не найдено соответствия для поля ёж"_ansi);
  }
  item.SetIndexTarget(Variant("PK"), "pk");
  EXPECT_THROW(item.GetIndexSource(Variant("other")), Exception);
}

TEST(CopyTableInfo, WideIntegerKeysAreNames) {
  TCopyTableInfo item("T");
  item.SetFieldTarget(Variant("7"), "seven");
  item.SetFieldTarget(Variant("0"), "zero");
  EXPECT_EQ(item.GetFieldTarget(Variant(int64_t(7))), "seven");
  EXPECT_EQ(item.GetFieldTarget(Variant(uint16_t(0))), "zero");
  EXPECT_EQ(item.GetFieldTarget(Variant(int32_t(0))), "seven") << "a 32-bit integer is a position";
  EXPECT_FALSE(IsOrdinalKey(Variant(uint32_t(0))));
  EXPECT_TRUE(IsOrdinalKey(Variant(uint8_t(0))));
}

TEST(CopyTableInfo, MapFieldListDropsUnmappedItems) {
  TCopyTableInfo item("T");
  item.SetFieldTarget(Variant("A"), "a");
  item.SetFieldTarget(Variant("C"), "c");
  EXPECT_EQ(MapFieldList("A;B;C", item, ';'), "a;c");
  EXPECT_EQ(MapFieldList("A;;C", item, ';'), "a;c");
  EXPECT_EQ(MapFieldList("", item, ';'), "");
  EXPECT_EQ(MapFieldList("B", item, ';'), "");
  EXPECT_EQ(MapFieldList("C;A;", item, ';'), "c;a");
}

TEST(CopyBasesLookups, FieldAndIndexDefinitions) {
  RefPtr<testsupport::TMemDb> db(new testsupport::TMemDb);
  auto def = db->GetTableDef("");
  def->AddField({"ID", dftInt32, 0, true});
  def->AddField({"Name", dftString, 10, false});
  def->AddIndex({"IX_NAME", "NAME;ID", 0});
  def->AddIndex({"PK", "ID", dioPrimary | dioUnique});
  TOrvDbFieldDef f;
  EXPECT_EQ(FindFieldDef(def.get(), "name", f), 1);
  EXPECT_EQ(f.Size, 10);
  try {
    FindFieldDef(def.get(), "nope", f);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка, не найдено соответствующее поле"_ansi);
  }
  TOrvDbIndexDef ix;
  EXPECT_EQ(FindIndexDef(def.get(), "pk", ix), 1);
  try {
    FindIndexDef(def.get(), "nope", ix);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка, не найден соответствующий индекс: \"nope\""_ansi);
  }
  EXPECT_EQ(FindIndexOfField(def.get(), "id", ix), 0) << "the secondary index comes first";
  EXPECT_EQ(ix.Name, "IX_NAME");
  EXPECT_EQ(FindIndexOfField(def.get(), "other", ix), -1);
}
