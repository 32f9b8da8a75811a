#include <gtest/gtest.h>

#include "copier/CopyOrvelBases.h"
#include "copier/CopySemTables.h"
#include "copier/FormConvertList.h"
#include "copier/Main.h"
#include "foundation/XListView.h"
#include "platform/ui/Dialogs.h"
#include "copier/SemTables.h"
#include "gisdb/CreateSysTables.h"
#include "tests/support/DemoGisDb.h"
#include "tests/support/Engines.h"
#include "tests/support/MemoryDb.h"

using testsupport::TEngine;
using testsupport::TMemDb;

namespace {

std::string Cell(IOrvDb* db, const std::string& table, const std::string& column, const std::string& id) {
  IOrvDbSQLPtr sql = BuildSelectSQL(db, table, {column}, {"ID"});
  sql->Execute({StrParam(id)});
  std::string value = sql->Eof() ? std::string() : sql->AsBlob(Variant(int32_t(0)));
  sql->Close();
  return value;
}

std::unique_ptr<TTableInfo> Structure(IOrvDb* db, const std::string& id) {
  auto info = std::make_unique<TTableInfo>();
  TMemoryStream stream(Cell(db, "ORVEL_SEMTABLS", "REFBOOKFIELD", id));
  info->LoadFromStream(stream);
  return info;
}

// A demo GIS database (source) and its system tables copied into a destination.
struct TSemFixture : ::testing::TestWithParam<std::pair<TEngine, TEngine>> {
  void SetUp() override {
    REQUIRE_ENGINE(GetParam().first);
    REQUIRE_ENGINE(GetParam().second);
    Src = ConnectDb(testsupport::NewDatabase(GetParam().first, Dir, "src").get(), true);
    Dst = ConnectDb(testsupport::NewDatabase(GetParam().second, Dir, "dst").get(), true);
    testsupport::TDemoOptions options;
    options.LargeRows = 50;
    options.BlobBytes = 1000;
    testsupport::BuildDemoGisDb(Src.get(), options);
    TCopyOrvelBaseFrame base;
    base.Init("К"_ansi, Src, Dst);
    base.Execute();
    ASSERT_EQ(base.State, csFinished);
  }
  testsupport::TempDir Dir;
  IOrvDbPtr Src, Dst;
};

}  // namespace

TEST_P(TSemFixture, ConvertedTablesArriveAndTheCataloguesNameThem) {
  TCopySemTablesFrame frame;
  frame.InitSemCopy("Копирование семантических таблиц"_ansi, Dst, Src, Dst);
  frame.SetConvertEnabled(true);
  for (TConvert* c : {frame.TableConvert.get(), frame.FieldConvert.get(), frame.IndexConvert.get()}) c->MaxLength = 30;
  frame.UniqueIndexes = true;
  frame.AutoDelete = true;
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  ASSERT_EQ(frame.TableCount(), 6);
  std::map<std::string, TCopySemTableInfo*> byId;
  for (int i = 0; i < frame.TableCount(); ++i) {
    TCopySemTableInfo* item = frame.GetItem(i);
    SCOPED_TRACE(AnsiToUtf8(item->SrcName));
    EXPECT_FALSE(item->Failed) << (item->Errors->Count() ? AnsiToUtf8(item->Errors->Text()) : "");
    EXPECT_EQ(item->Copied, item->RowCount);
    byId[item->ID] = item;
  }
  EXPECT_TRUE(frame.GetItem(0)->IsRefBook);
  EXPECT_FALSE(frame.GetItem(5)->IsRefBook);
  TCopySemTableInfo* network = byId["N00000000003"];
  ASSERT_NE(network, nullptr);
  EXPECT_EQ(network->DisplayName, "Дорожная сеть"_ansi);
  EXPECT_TRUE(Dst->TableExists(network->DstName));
  EXPECT_TRUE(frame.TableConvert->Check(network->DstName, true));
  // The catalogues name the new tables.
  EXPECT_EQ(Cell(Dst.get(), "ORVEL_SEMTABLS", "TABLENAME", "N00000000003"), network->DstName);
  EXPECT_EQ(Cell(Dst.get(), "ORVEL_REFBOOKS", "TABLENAME", "B00000000003"), byId["B00000000003"]->DstName);
  // The stored structure loads back with the new field names and the reference book's new names.
  auto s = Structure(Dst.get(), "N00000000003");
  const std::string city = network->GetFieldTarget(Variant("Город"_ansi));
  ASSERT_NE(s->FindField(city), nullptr);
  EXPECT_EQ(s->FindField(city)->Name2, "Город"_ansi);
  EXPECT_EQ(s->FindField(city)->RefName, byId["B00000000003"]->GetFieldTarget(Variant("Название"_ansi)));
  EXPECT_NE(s->FindField(network->GetFieldTarget(Variant("Заметки"_ansi))), nullptr) << "mapped fields are added";
  // A structure stored in the older layout comes back in the current one with every field.
  EXPECT_EQ(Structure(Dst.get(), "N00000000002")->Count(), 2);
  // Every row arrived.
  std::vector<std::string> srcColumns, dstColumns;
  for (int j = 0; j < network->FieldMapCount(); ++j) {
    srcColumns.push_back(network->GetFieldSource(Variant(int32_t(j))));
    dstColumns.push_back(network->GetFieldTarget(Variant(int32_t(j))));
  }
  EXPECT_EQ(testsupport::CanonicalRows(Src.get(), network->SrcName, srcColumns, true),
            testsupport::CanonicalRows(Dst.get(), network->DstName, dstColumns, true));
}

TEST_P(TSemFixture, WithoutConversionNamesAndCataloguesStay) {
  testsupport::TempDir other;
  IOrvDbPtr semDst = ConnectDb(testsupport::NewDatabase(GetParam().second, other, "sem").get(), true);
  const std::string before = Cell(Dst.get(), "ORVEL_SEMTABLS", "REFBOOKFIELD", "N00000000001");
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, Dst, Src, semDst);
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  for (int i = 0; i < frame.TableCount(); ++i) EXPECT_EQ(frame.GetItem(i)->DstName, frame.GetItem(i)->SrcName);
  EXPECT_TRUE(semDst->TableExists("Дорожная сеть"_ansi));
  EXPECT_EQ(Cell(Dst.get(), "ORVEL_SEMTABLS", "REFBOOKFIELD", "N00000000001"), before);
}

INSTANTIATE_TEST_SUITE_P(Engines, TSemFixture,
                         ::testing::Values(std::make_pair(TEngine::ParadoxFolder, TEngine::FirebirdEmbedded),
                                           std::make_pair(TEngine::ParadoxFolder, TEngine::ParadoxFolder),
                                           std::make_pair(TEngine::FirebirdEmbedded, TEngine::FirebirdEmbedded)),
                         [](const auto& p) {
                           return testsupport::EngineName(p.param.first) + "_to_" + testsupport::EngineName(p.param.second);
                         });

namespace {
using TSemNameLimit = TSemFixture;
}  // namespace

// A reference book whose name is longer than the destination keeps fails alone, with a message
// naming it and the limit; the other tables arrive.
TEST_P(TSemNameLimit, ANameTooLongForTheDestinationFailsItsTableAlone) {
  const std::string name = "Очень длинное имя справочника номер 32"_ansi;
  BuildInsertSQL(Dst.get(), "ORVEL_REFBOOKS", {"ID", "REFBOOKNAME", "TABLENAME"})
      ->Execute({StrParam("B00000000032"), StrParam(name), StrParam(name)});
  CreateSysTable(Src.get(), name, {{"Код"_ansi, dftInt32, 0, true}}, {});
  BuildInsertSQL(Src.get(), name, {"Код"_ansi})->Execute({IntParam(1)});
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, Dst, Src, Dst);
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  ASSERT_EQ(frame.TableCount(), 7);
  for (int i = 0; i < frame.TableCount(); ++i) {
    TCopySemTableInfo* item = frame.GetItem(i);
    SCOPED_TRACE(AnsiToUtf8(item->SrcName));
    const std::string errors = item->Errors->Text();
    if (item->SrcName == name) {
      EXPECT_TRUE(item->Failed);
      EXPECT_NE(errors.find("имя таблицы \""_ansi + name + "\""), std::string::npos) << AnsiToUtf8(errors);
      EXPECT_NE(errors.find("не более 63"_ansi), std::string::npos) << AnsiToUtf8(errors);
    } else {
      EXPECT_FALSE(item->Failed) << AnsiToUtf8(errors);
      EXPECT_TRUE(Dst->TableExists(item->DstName));
      EXPECT_EQ(item->Copied, item->RowCount);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, TSemNameLimit,
                         ::testing::Values(std::make_pair(TEngine::SqliteOdbc, TEngine::PostgresOdbc)),
                         [](const auto& p) {
                           return testsupport::EngineName(p.param.first) + "_to_" + testsupport::EngineName(p.param.second);
                         });

namespace {
using TSemTwiceListed = ::testing::TestWithParam<TEngine>;
}  // namespace

// Two catalogue rows name one table: both become items, the second's rows all collide with the
// first's, and it counts none of them; the summary shows it short of rows.
TEST_P(TSemTwiceListed, AnItemCountsOnlyTheRowsItWrote) {
  REQUIRE_ENGINE(GetParam());
  testsupport::TempDir dir;
  IOrvDbPtr src = ConnectDb(testsupport::NewDatabase(TEngine::ParadoxFolder, dir, "src").get(), true);
  IOrvDbPtr dst = ConnectDb(testsupport::NewDatabase(GetParam(), dir, "dst").get(), true);
  testsupport::TDemoOptions options;
  options.LargeRows = 10;
  options.BlobBytes = 100;
  testsupport::BuildDemoGisDb(src.get(), options);
  IOrvDbSQLPtr again = BuildInsertSQL(src.get(), "ORVEL_SEMTABLS", {"ID", "SEMTABLENAME", "TABLENAME"});
  again->Execute({StrParam("N00000000009"), StrParam("Дороги ещё раз"_ansi), StrParam("SEM_ROADS")});
  again->Close();

  TCopyOrvel form;
  TCopySemTablesFrame& frame = *form.CopySemTables;
  frame.InitSemCopy("К"_ansi, src, src, dst);
  frame.AutoDelete = true;
  frame.HideWarnings = true;
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  std::vector<int> roads;
  for (int i = 0; i < frame.TableCount(); ++i)
    if (frame.GetItem(i)->SrcName == "SEM_ROADS") roads.push_back(i);
  ASSERT_EQ(roads.size(), 2u);
  TCopySemTableInfo* first = frame.GetItem(roads[0]);
  TCopySemTableInfo* second = frame.GetItem(roads[1]);
  EXPECT_EQ(first->RowCount, 30);
  EXPECT_EQ(first->Copied, 30);
  EXPECT_EQ(first->Errors->Count(), 0);
  EXPECT_EQ(second->RowCount, 30);
  EXPECT_EQ(second->Copied, 0);
  EXPECT_EQ(second->Errors->Count(), 30);

  form.ShowSummary();
  auto row = [&](int index) { return form.InfoList->topLevelItem(index); };
  EXPECT_EQ(row(roads[0])->text(1).toStdString(), "100%");
  EXPECT_EQ(row(roads[0])->data(0, Qt::UserRole).toInt(), 0) << "all its rows arrived";
  EXPECT_EQ(row(roads[1])->text(1).toStdString(), "0%");
  EXPECT_EQ(row(roads[1])->data(0, Qt::UserRole).toInt(), 1) << "a warning: short of rows";
  EXPECT_NE(form.Details->Strings(roads[1]).find("Всего записей: 30\r\nСкопировано: 0"_ansi), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Engines, TSemTwiceListed,
                         ::testing::Values(TEngine::SqliteOdbc, TEngine::FirebirdEmbedded, TEngine::ParadoxFolder),
                         [](const auto& p) { return testsupport::EngineName(p.param); });

// --- the rules, on the memory database -------------------------------------------------------

namespace {

// A GIS catalogue (ORVEL_REFBOOKS, ORVEL_SEMTABLS) and the tables it lists, in one database.
void CreateCatalogue(IOrvDb* db) {
  CreateSysTable(db, "ORVEL_REFBOOKS",
                 {{"ID", dftString, 12, true}, {"REFBOOKNAME", dftString, 65, false}, {"TABLENAME", dftString, 65, false}}, {});
  CreateSysTable(db, "ORVEL_SEMTABLS",
                 {{"ID", dftString, 12, true}, {"SEMTABLENAME", dftString, 65, false}, {"TABLENAME", dftString, 65, false},
                  {"REFBOOKFIELD", dftBlob, 0, false}},
                 {});
}

RefPtr<TMemDb> Catalogue() {
  RefPtr<TMemDb> db(new TMemDb);
  CreateCatalogue(db.get());
  return db;
}

void AddSemTable(IOrvDb* db, const std::string& id, const std::string& table, const std::vector<TOrvDbFieldDef>& fields,
                 const std::vector<TOrvDbIndexDef>& indexes) {
  BuildInsertSQL(db, "ORVEL_SEMTABLS", {"ID", "SEMTABLENAME", "TABLENAME", "REFBOOKFIELD"})
      ->Execute({StrParam(id), StrParam(table), StrParam(table), {dftBlob, Variant::Null()}});
  if (!fields.empty()) CreateSysTable(db, table, fields, indexes);
}

}  // namespace

TEST(SemanticCopy, GeneratedIndexNamesAndTheirUniqueness) {
  const std::vector<TOrvDbFieldDef> fields = {{"Код"_ansi, dftInt32, 0, true}, {"Имя"_ansi, dftString, 20, false}};
  const std::vector<TOrvDbIndexDef> indexes = {{"ключ"_ansi, "Код"_ansi, dioPrimary | dioUnique},
                                               {"имя"_ansi, "Имя"_ansi, 0}};
  for (bool unique : {false, true}) {
    auto db = Catalogue();  // the rewrite renames its rows: a fresh one for each run
    AddSemTable(db.get(), "S1", "Таблица один"_ansi, fields, indexes);
    AddSemTable(db.get(), "S2", "Таблица два"_ansi, fields, indexes);
    AddSemTable(db.get(), "S3", "Нет такой"_ansi, {}, {});
    RefPtr<TMemDb> dst(new TMemDb);
    TCopySemTablesFrame frame;
    frame.InitSemCopy("К"_ansi, db, db, dst);
    frame.SetConvertEnabled(true);
    frame.IndexConvert->MaxLength = 4;
    frame.UniqueIndexes = unique;
    frame.Execute();
    ASSERT_EQ(frame.State, csFinished);
    TCopySemTableInfo* one = frame.GetItem(0);
    TCopySemTableInfo* two = frame.GetItem(1);
    EXPECT_EQ(one->DstName, "Tablitsa_odin");
    EXPECT_EQ(one->GetIndexTarget(Variant(int32_t(0))), "T_I0");
    EXPECT_EQ(one->GetIndexTarget(Variant(int32_t(1))), "T_I1");
    if (unique) {
      EXPECT_NE(two->GetIndexTarget(Variant(int32_t(0))), "T_I0");
    } else {
      EXPECT_EQ(two->GetIndexTarget(Variant(int32_t(0))), "T_I0");
    }
    // A table the source lacks fails alone; the others copy.
    TCopySemTableInfo* missing = frame.GetItem(2);
    EXPECT_TRUE(missing->Failed);
    EXPECT_EQ(missing->Errors->Strings(0), "Ошибка копирования таблицы \"Нет такой\""_ansi);
    EXPECT_TRUE(dst->TableExists("Tablitsa_dva"));
  }
}

TEST(SemanticCopy, ANameThatCannotBeConvertedEndsTheRun) {
  auto db = Catalogue();
  AddSemTable(db.get(), "S1", "T1", {{"ъъ"_ansi, dftInt32, 0, false}}, {});
  RefPtr<TMemDb> dst(new TMemDb);
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, db, db, dst);
  frame.SetConvertEnabled(true);
  try {
    frame.Execute();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка преобразования имени поля \"ъъ\" таблицы \"T1\".\r\nОшибка: "_ansi, 0), 0u);
  }
  EXPECT_EQ(frame.State, csStopped);
  EXPECT_FALSE(dst->TableExists("T1"));
}

TEST(SemanticCopy, UnsafeTableNamesFailBeforeAnyStatement) {
  auto db = Catalogue();
  for (const char* name : {"../etc", "a]b", ".", "x\\y"}) AddSemTable(db.get(), name, name, {}, {});
  AddSemTable(db.get(), "OK", "OK", {{"A", dftInt32, 0, false}}, {});
  RefPtr<TMemDb> dst(new TMemDb);
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, db, db, dst);
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(frame.GetItem(i)->Failed) << frame.GetItem(i)->SrcName;
    EXPECT_NE(frame.GetItem(i)->Errors->Strings(1).find("Недопустимое имя таблицы"_ansi), std::string::npos);
  }
  EXPECT_FALSE(frame.GetItem(4)->Failed);
}

TEST(SemanticCopy, AStructureThatCannotBeReadIsKeptAndTheTableIsStillRenamed) {
  auto db = Catalogue();
  AddSemTable(db.get(), "S1", "Сеть"_ansi, {{"Поле"_ansi, dftInt32, 0, false}}, {});
  // A value with the signature whose first record is cut short.
  std::string broken = std::string(1, '\x15') + "Дополнительные данные"_ansi + std::string(9, '\0') + std::string("\x1C\x01\x01\x00\x05", 5) + "ab";
  db->Table("ORVEL_SEMTABLS").Rows[0][3] = Variant(broken);
  RefPtr<TMemDb> dst(new TMemDb);
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, db, db, dst);
  frame.SetConvertEnabled(true);
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  EXPECT_EQ(db->Table("ORVEL_SEMTABLS").Rows[0][2].ToString(), frame.GetItem(0)->DstName);
  EXPECT_NE(frame.GetItem(0)->DstName, "Сеть"_ansi);
  EXPECT_EQ(db->Table("ORVEL_SEMTABLS").Rows[0][3], Variant(broken)) << "kept as stored";
  EXPECT_NE(frame.GetItem(0)->Errors->Text().find("Предупреждение"_ansi), std::string::npos);
}

TEST(SemanticCopy, TheReviewedNamesAreTheOnesCreated) {
  auto db = Catalogue();
  AddSemTable(db.get(), "S1", "Дороги"_ansi, {{"Код"_ansi, dftInt32, 0, true}, {"Имя"_ansi, dftString, 20, false}},
              {{"ключ"_ansi, "Код"_ansi, dioPrimary | dioUnique}});
  RefPtr<TMemDb> dst(new TMemDb);
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, db, db, dst);
  frame.SetConvertEnabled(true);
  frame.EditConvertNames = true;
  TDialogScript script;
  script.ExpectDialog("TConvertList", [](const TModalInfo&, QDialog& d) -> std::optional<TModalResult> {
    auto& list = static_cast<TConvertList&>(d);
    EXPECT_EQ(list.Groups.size(), 3u);
    EXPECT_EQ(list.Groups[0].Items->Strings(0), "Dorogi=Dorogi") << "while the window is open the value is the new name";
    EXPECT_TRUE(list.SetConvertName(list.Groups[0], 0, "ROADS", false));
    EXPECT_TRUE(list.SetConvertName(list.Groups[1], 1, "NAME", false));
    ClickButton(d, "Ok");
    return std::nullopt;
  });
  frame.Execute();
  ASSERT_EQ(frame.State, csFinished);
  EXPECT_EQ(frame.GetItem(0)->DstName, "ROADS");
  EXPECT_EQ(frame.GetItem(0)->GetFieldTarget(Variant("Имя"_ansi)), "NAME");
  EXPECT_TRUE(dst->TableExists("ROADS"));
  EXPECT_EQ(db->Table("ORVEL_SEMTABLS").Rows[0][2], Variant("ROADS")) << "the catalogue names the reviewed table";
}

// On Firebird the rewrite runs in the connection's one transaction: the rows it rewrote before a
// failure are committed before the error leaves, while the connection stays open.
TEST(SemanticCopy, ARewriteThatFailsMidwayKeepsTheRowsItRewrote) {
  testsupport::TempDir dir;
  IConnParamsPtr gisParams = testsupport::NewDatabase(TEngine::FirebirdEmbedded, dir, "gis");
  IOrvDbPtr gis = ConnectDb(gisParams.get(), true);
  CreateCatalogue(gis.get());
  IOrvDbPtr src = ConnectDb(testsupport::NewDatabase(TEngine::ParadoxFolder, dir, "src").get(), true);
  IOrvDbPtr dst = ConnectDb(testsupport::NewDatabase(TEngine::ParadoxFolder, dir, "dst").get(), true);
  // The second name converts to 80 characters, longer than the catalogue's TABLENAME column.
  const std::string tooLong = RepeatStr("щ"_ansi, 20, "");
  for (const auto& [id, table] : {std::pair{"S1", "Дороги"_ansi}, std::pair{"S2", tooLong}}) {
    AddSemTable(gis.get(), id, table, {}, {});
    CreateSysTable(src.get(), table, {{"Код"_ansi, dftInt32, 0, false}}, {});
  }
  gis->StartTransaction();
  gis->Commit();
  TCopySemTablesFrame frame;
  frame.InitSemCopy("К"_ansi, gis, src, dst);
  frame.SetConvertEnabled(true);
  frame.TableConvert->MaxLength = 100;
  EXPECT_THROW(frame.Execute(), Exception);
  IOrvDbPtr other = ConnectDb(gisParams.get(), true);
  EXPECT_EQ(Cell(other.get(), "ORVEL_SEMTABLS", "TABLENAME", "S1"), "Dorogi");
  EXPECT_EQ(Cell(other.get(), "ORVEL_SEMTABLS", "TABLENAME", "S2"), tooLong);
}
