// Tables through the components: creating from field and index definitions and reading them back,
// renaming, deleting, name checks, and the structure of the sample tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/paradox/Paradox.h"
#include "tests/bde/BdeTestSupport.h"

using namespace bde;
using bdetest::TFolder;

namespace {

std::string Samples(const std::string& sub) {
  return Utf8ToAnsi((testsupport::SamplesDir() / sub).string());
}

void ExpectKind(const std::function<void()>& f, TDBErrorKind kind, const std::string& part = {}) {
  try {
    f();
    ADD_FAILURE() << "no error";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(int(e.Kind()), int(kind)) << e.what();
    if (!part.empty()) {
      EXPECT_NE(e.Message().find(part), std::string::npos) << e.what();
    }
  }
}

}  // namespace

TEST(BdeTable, CreatesFromDefinitionsAndReadsThemBack) {
  TFolder f;
  auto t = f.Table("Parcels");
  auto& fd = t->FieldDefs();
  fd.Add("ID", ftInteger, 0, true);
  fd.Add("PART", ftSmallint, 0, true);
  fd.Add("NAME", ftString, 40, true);
  fd.Add("LONGNAME", ftString, 300);
  fd.Add("BIG", ftLargeint);
  fd.Add("FLAG", ftBoolean);
  fd.Add("AREA", ftFloat);
  fd.Add("PRICE", ftCurrency);
  fd.Add("STAMP", ftDateTime);
  fd.Add("DAY", ftDate);
  fd.Add("HOUR", ftTime);
  fd.Add("NOTE", ftMemo, 500);
  fd.Add("SHAPE", ftBlob, 0);
  auto& ix = t->IndexDefs();
  ix.Add("Parcels_I0", "ID;PART", {ixPrimary, ixUnique});
  ix.Add("ByName", "NAME", {ixUnique});
  ix.Add("AreaPrice", "AREA;PRICE", {});
  EXPECT_FALSE(t->Exists());
  t->CreateTable();
  EXPECT_TRUE(t->Exists());

  auto r = f.Table("PARCELS.DB");  // the extension and the letter case do not matter
  r->FieldDefs().Update();
  const TFieldDefs& got = r->FieldDefs();
  ASSERT_EQ(got.Count(), 13);
  TFieldType types[] = {ftInteger, ftSmallint, ftString, ftString, ftFloat, ftBoolean, ftFloat,
                        ftCurrency, ftDateTime, ftDate, ftTime, ftMemo, ftBlob};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(got[i].DataType, types[i]) << got[i].Name;
  EXPECT_EQ(got[2].Name, "NAME");
  EXPECT_EQ(got[2].Size, 40);
  EXPECT_EQ(got[3].Size, 255);   // text sizes above 255 are cut to 255
  EXPECT_EQ(got[11].Size, 240);  // memo leader capped
  EXPECT_EQ(got[12].Size, 0);
  EXPECT_TRUE(got[0].Required);
  EXPECT_TRUE(got[2].Required);
  EXPECT_FALSE(got[3].Required);

  r->IndexDefs().Update();
  const TIndexDefs& idx = r->IndexDefs();
  ASSERT_EQ(idx.Count(), 3);
  EXPECT_EQ(idx[0].Name, "");  // the primary index has no name
  EXPECT_EQ(idx[0].Fields, "ID;PART");
  EXPECT_EQ(idx[0].Options, TIndexOptions({ixPrimary, ixUnique}));
  EXPECT_EQ(idx[1].Name, "NAME");  // single-field indexes are named after their field
  EXPECT_EQ(idx[1].Fields, "NAME");
  EXPECT_EQ(idx[1].Options, TIndexOptions({ixUnique}));
  EXPECT_EQ(idx[2].Name, "AreaPrice");
  EXPECT_EQ(idx[2].Fields, "AREA;PRICE");
  EXPECT_TRUE(idx[2].Options.Empty());
}

TEST(BdeTable, CreationErrors) {
  TFolder f;
  auto t = f.Table("T");
  t->FieldDefs().Add("A", ftString, 10);
  t->FieldDefs().Add("B", ftInteger);
  t->IndexDefs().Add("", "B", {ixPrimary});
  ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::Value, "первых полей"_ansi);
  t->IndexDefs().Clear();
  t->IndexDefs().Add("X", "NOPE", {});
  ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::Value, "NOPE");
  t->IndexDefs().Clear();
  t->FieldDefs().Add("C", ftUnknown);
  ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::Value, "ftUnknown");
  t->FieldDefs().Clear();
  t->FieldDefs().Add("A", ftString, 0);
  ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::Value, "\"A\"");
  EXPECT_FALSE(t->Exists());
  t->FieldDefs().Clear();
  t->FieldDefs().Add("A", ftString, 10);
  t->CreateTable();
  ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::Exists);  // an existing table is never replaced
  auto missing = f.Table("Missing");
  ExpectKind([&] { missing->FieldDefs().Update(); }, TDBErrorKind::NotFound, "Missing");
  ExpectKind([&] { missing->DeleteTable(); }, TDBErrorKind::NotFound);
}

TEST(BdeTable, RenamesAndDeletes) {
  TFolder f;
  auto t = f.Table("Old");
  t->FieldDefs().Add("ID", ftInteger);
  t->IndexDefs().Add("", "ID", {ixPrimary, ixUnique});
  t->CreateTable();
  f.Exec("INSERT INTO Old (ID) VALUES (1)");
  t->RenameTable("New");
  EXPECT_EQ(t->TableName(), "New");
  EXPECT_FALSE(f.Table("Old")->Exists());
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM New"), 1);
  t->DeleteTable();
  EXPECT_FALSE(t->Exists());
  EXPECT_TRUE(std::filesystem::is_empty(f.Dir.Path()));  // the whole family of files is gone
}

// A table's structure, once read, is answered again only while the table stays as it was: made
// again after a DROP TABLE, or by the engine alone as another program would, it is read afresh; an
// encrypted one is refused once the session has lost its password.
TEST(BdeTable, AStructureReadBeforeTheTableChangedIsNotAnsweredAgain) {
  auto def = [](int fields, const char* password) {
    paradox::TPdxTableDef d;
    for (int i = 0; i < fields; ++i) d.Fields.push_back({std::string(1, char('A' + i)), paradox::TPdxFieldType::Alpha, 10});
    d.Password = password;
    return d;
  };
  struct TCase {
    const char* how;
    std::function<void(TFolder&, paradox::TPdxDatabase&)> change;
    bool refused;  // reading afterwards raises Password; else the table has fields A and B
  };
  const TCase cases[] = {
      {"dropped by a statement and made again",
       [&](TFolder& f, paradox::TPdxDatabase& raw) {
         f.Exec("DROP TABLE T");
         raw.CreateTable("T", def(2, ""));
       },
       false},
      {"made again by the engine alone",
       [&](TFolder&, paradox::TPdxDatabase& raw) {
         raw.DeleteTable("T");
         raw.CreateTable("T", def(2, ""));
         raw.OpenTable("T")->Append({Variant("a"), Variant("b")});
       },
       false},
      {"encrypted, its password gone from the session",
       [&](TFolder& f, paradox::TPdxDatabase&) { f.Session.RemovePassword("secret"); }, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.how);
    TFolder f;
    paradox::TPdxDatabase raw(f.Dir.Path().string(), {"secret"});
    f.Session.AddPassword("secret");
    raw.CreateTable("T", def(1, c.refused ? "secret" : ""));
    f.Table("T")->FieldDefs().Update();
    f.Table("T")->IndexDefs().Update();
    f.Query("SELECT A FROM T")->Prepare();
    c.change(f, raw);
    auto after = f.Table("T");
    if (c.refused) {
      ExpectKind([&] { after->FieldDefs().Update(); }, TDBErrorKind::Password);
      ExpectKind([&] { f.Query("SELECT A FROM T")->Prepare(); }, TDBErrorKind::Password);
      continue;
    }
    after->FieldDefs().Update();
    EXPECT_EQ(after->FieldDefs().Count(), 2);
    f.Query("SELECT B FROM T")->Prepare();
  }
}

TEST(BdeTable, RefusesNamesThatAreNoPlainFileNames) {
  TFolder f;
  std::filesystem::create_directory(f.Dir.Path() / "sub");
  auto outside = f.Dir.Path().parent_path() / "Escaped.DB";
  for (std::string name : {std::string("sub/T"), std::string("..\\T"), std::string("."), std::string(".."),
                           std::string("../Escaped"), std::string("A\0B", 3), std::string(""), std::string("..DB")}) {
    auto t = f.Table(name);
    t->FieldDefs().Add("A", ftInteger);
    ExpectKind([&] { t->CreateTable(); }, TDBErrorKind::BadName, "Недопустимое имя таблицы"_ansi);
    ExpectKind([&] { t->Exists(); }, TDBErrorKind::BadName);
    ExpectKind([&] { t->DeleteTable(); }, TDBErrorKind::BadName);
  }
  auto good = f.Table("Good");
  good->FieldDefs().Add("A", ftInteger);
  good->CreateTable();
  ExpectKind([&] { good->RenameTable("../Escaped"); }, TDBErrorKind::BadName);
  ExpectKind([&] { f.Exec("DROP TABLE \"../Escaped\""); }, TDBErrorKind::BadName, "DROP TABLE");
  ExpectKind([&] { f.Exec("SELECT * FROM \"sub/T\""); }, TDBErrorKind::BadName);
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_TRUE(std::filesystem::is_empty(f.Dir.Path() / "sub"));
  EXPECT_TRUE(good->Exists());
}

TEST(BdeTable, SampleStructures) {
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/CUSTOMER.X06");
  TSession s;
  s.SetSessionName("SampleStructures");
  TTable t;
  t.SetSessionName("SampleStructures");
  t.SetDatabaseName(Samples("db"));  // a folder as database name opens a temporary database
  t.SetTableName("CUSTOMER");
  ASSERT_TRUE(t.Exists());
  t.FieldDefs().Update();
  ASSERT_EQ(t.FieldDefs().Count(), 10);
  EXPECT_EQ(t.FieldDefs()[0].Name, "CustNo");
  EXPECT_EQ(t.FieldDefs()[0].DataType, ftAutoInc);
  EXPECT_EQ(t.FieldDefs()[1].DataType, ftString);
  EXPECT_EQ(t.FieldDefs()[1].Size, 51);
  EXPECT_EQ(t.FieldDefs()[8].DataType, ftMemo);
  EXPECT_EQ(t.FieldDefs()[8].Size, 100);
  t.IndexDefs().Update();
  ASSERT_EQ(t.IndexDefs().Count(), 2);
  EXPECT_EQ(t.IndexDefs()[0].Name, "");
  EXPECT_EQ(t.IndexDefs()[0].Fields, "CustNo");
  EXPECT_EQ(t.IndexDefs()[1].Name, "City");
  EXPECT_TRUE(t.IndexDefs()[1].Options.Empty());

  TTable area;
  area.SetSessionName("SampleStructures");
  area.SetDatabaseName(Samples("db"));
  area.SetTableName("AREACODES");
  area.IndexDefs().Update();
  ASSERT_EQ(area.IndexDefs().Count(), 2);
  EXPECT_EQ(area.IndexDefs()[1].Name, "ste");

  TTable kinds;
  kinds.SetSessionName("SampleStructures");
  kinds.SetDatabaseName(Samples("fields"));
  struct {
    const char* table;
    int field;
    TFieldType type;
  } expected[] = {{"bcd", 0, ftBCD},     {"bytes", 0, ftBytes},  {"date7", 0, ftDate},
                  {"time", 0, ftTime},   {"timestamp", 0, ftDateTime}, {"logical", 0, ftBoolean},
                  {"fmemo", 1, ftFmtMemo}, {"graphic240", 1, ftGraphic}, {"ole", 1, ftParadoxOle}};
  for (auto& e : expected) {
    kinds.SetTableName(e.table);
    kinds.FieldDefs().Update();
    ASSERT_GT(kinds.FieldDefs().Count(), e.field) << e.table;
    EXPECT_EQ(kinds.FieldDefs()[e.field].DataType, e.type) << e.table << " " << FieldTypeName(kinds.FieldDefs()[e.field].DataType);
  }
}

TEST(BdeTable, ReadOnlyFilesAreNeverWritten) {
  namespace fs = std::filesystem;
  TFolder f;
  auto t = f.Table("Locked");
  t->FieldDefs().Add("ID", ftInteger);
  t->IndexDefs().Add("", "ID", {ixPrimary, ixUnique});
  t->CreateTable();
  f.Exec("INSERT INTO Locked VALUES (1)");
  for (auto& e : fs::directory_iterator(f.Dir.Path())) fs::permissions(e.path(), fs::perms(0444));
  auto stamp = fs::last_write_time(f.Dir.Path() / "Locked.DB");
  // The mode bits decide, also for a user whom the system would let write.
  ExpectKind([&] { f.Exec("INSERT INTO Locked VALUES (2)"); }, TDBErrorKind::Unsupported, "только для чтения"_ansi);
  ExpectKind([&] { f.Exec("DELETE FROM Locked"); }, TDBErrorKind::Unsupported, "Locked");
  ExpectKind([&] { f.Exec("DROP TABLE Locked"); }, TDBErrorKind::Unsupported);
  ExpectKind([&] { t->DeleteTable(); }, TDBErrorKind::Unsupported);
  ExpectKind([&] { t->RenameTable("Other"); }, TDBErrorKind::Unsupported);
  EXPECT_EQ(f.Scalar("SELECT COUNT(*) FROM Locked"), 1);  // reading still works
  EXPECT_EQ(fs::last_write_time(f.Dir.Path() / "Locked.DB"), stamp);
  fs::permissions(f.Dir.Path(), fs::perms(0555));
  auto n = f.Table("New");
  n->FieldDefs().Add("ID", ftInteger);
  ExpectKind([&] { n->CreateTable(); }, TDBErrorKind::Unsupported, "Папка"_ansi);
  fs::permissions(f.Dir.Path(), fs::perms(0755));
}
