// Creating, writing and indexing tables: round trips of every type, the format's limits, key
// violations, encryption, code pages, the family of files, and index consistency after many
// random changes (every index checked against a full scan).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxFormat.h"
#include "tests/support/ParadoxFiles.h"
#include "tests/support/TestSupport.h"

using namespace paradox;
using testsupport::CheckTree;
using testsupport::TRawFile;
namespace fs = std::filesystem;

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::vector<Variant>> ReadAll(const TPdxDatabase& db, const std::string& table) {
  std::vector<std::vector<Variant>> rows;
  auto c = db.OpenCursor(table);
  while (c->Next()) rows.push_back(c->Values());
  return rows;
}

TPdxFieldDef F(const std::string& name, TPdxFieldType t, int size = 0, bool req = false) {
  TPdxFieldDef f;
  f.Name = name;
  f.Type = t;
  f.Size = size;
  f.Required = req;
  return f;
}

TPdxTableDef AllTypes() {
  TPdxTableDef d;
  d.Fields = {F("Id", TPdxFieldType::Autoinc), F("Name", TPdxFieldType::Alpha, 40),
              F("D", TPdxFieldType::Date), F("S", TPdxFieldType::Short), F("L", TPdxFieldType::Long),
              F("Cur", TPdxFieldType::Currency), F("Num", TPdxFieldType::Number),
              F("Flag", TPdxFieldType::Logical), F("Memo", TPdxFieldType::Memo, 20),
              F("Bin", TPdxFieldType::Blob, 0), F("Fmt", TPdxFieldType::FmtMemo, 10),
              F("Ole", TPdxFieldType::OLE, 10), F("Pic", TPdxFieldType::Graphic, 10),
              F("T", TPdxFieldType::Time), F("TS", TPdxFieldType::Timestamp),
              F("Bcd", TPdxFieldType::BCD, 2), F("Raw", TPdxFieldType::Bytes, 8)};
  d.KeyFieldCount = 1;
  return d;
}

}  // namespace

TEST(ParadoxWrite, EveryTypeRoundTrips) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  db.CreateTable("types", AllTypes());
  auto def = db.TableStructure("types");
  EXPECT_EQ(def.VersionId, 12);
  EXPECT_EQ(def.CodePage, 1251);
  EXPECT_EQ(def.SortOrderId, "ancyrr");
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + (i >> 9));
  std::string mid(1500, 'm');
  std::string cyr = "Привет, мир! Ёлка"_ansi;
  auto tab = db.OpenTable("types");
  TDateTime ts = EncodeDate(2024, 2, 29) + EncodeTime(13, 14, 15, 678);
  std::vector<Variant> full{Variant::Null(), Variant(cyr), Variant::FromDateTime(EncodeDate(1812, 9, 7)),
                            Variant(int16_t(-32767)), Variant(int32_t(2147483647)), Variant(-12.5),
                            Variant(3.14159), Variant(true), Variant(cyr + std::string(50, 'x')),
                            Variant(big), Variant(mid), Variant(std::string("ole-data-1234")),
                            Variant(std::string("BMpicture-bytes")), Variant::FromDateTime(EncodeTime(23, 59, 59, 999)),
                            Variant::FromDateTime(ts), Variant::FromCurrencyScaled(-1234500),
                            Variant(std::string("\x01\x02\x00\x04", 4))};
  tab->Append(full);
  std::vector<Variant> nulls(full.size(), Variant::Null());
  tab->Append(nulls);
  std::vector<Variant> small = full;
  small[0] = Variant(int32_t(10));
  small[1] = Variant("x");
  small[7] = Variant(false);
  small[8] = Variant(std::string("short"));
  small[9] = Variant(std::string(""));
  small[3] = Variant(int16_t(0));
  small[4] = Variant(int32_t(0));
  small[6] = Variant(0.0);
  tab->Append(small);
  auto rows = ReadAll(db, "types");
  ASSERT_EQ(rows.size(), 3u);
  auto& r = rows[0];
  EXPECT_EQ(r[0], Variant(int32_t(1)));
  EXPECT_EQ(r[1], Variant(cyr));
  EXPECT_EQ(r[2], Variant::FromDateTime(EncodeDate(1812, 9, 7)));
  EXPECT_EQ(r[3], Variant(int16_t(-32767)));
  EXPECT_EQ(r[4], Variant(int32_t(2147483647)));
  EXPECT_EQ(r[5], Variant(-12.5));
  EXPECT_EQ(r[6], Variant(3.14159));
  EXPECT_EQ(r[7], Variant(true));
  EXPECT_EQ(r[8], Variant(cyr + std::string(50, 'x')));
  EXPECT_TRUE(r[9] == Variant(big));
  EXPECT_EQ(r[10], Variant(mid));
  EXPECT_EQ(r[11], Variant(std::string("ole-data-1234")));
  EXPECT_EQ(r[12], Variant(std::string("BMpicture-bytes")));
  EXPECT_NEAR(r[13].ToDateTime(), EncodeTime(23, 59, 59, 999), 1e-10);
  EXPECT_NEAR(r[14].ToDateTime(), ts, 1e-9);
  EXPECT_EQ(r[15], Variant::FromCurrencyScaled(-1234500));
  {
    // BCD takes whole numbers and doubles too.
    auto t2 = db.OpenTable("types");
    TPdxRecordPos pos;
    ASSERT_TRUE(t2->FindKey({Variant(int32_t(1))}, pos));
    auto v = t2->Read(pos);
    v[15] = Variant(int64_t(123456789012LL));
    t2->Update(pos, v);
    EXPECT_EQ(t2->Read(pos)[15], Variant::FromCurrencyScaled(1234567890120000LL));
    v[15] = Variant(-0.5);
    t2->Update(pos, v);
    EXPECT_EQ(t2->Read(pos)[15], Variant::FromCurrencyScaled(-5000));
  }
  EXPECT_EQ(r[16].StrRef(), std::string("\x01\x02\x00\x04\0\0\0\0", 8));
  EXPECT_EQ(rows[1][0], Variant(int32_t(2)));  // Autoinc fills the null
  for (size_t i = 1; i < rows[1].size(); ++i) EXPECT_TRUE(rows[1][i].IsNull()) << i;
  EXPECT_EQ(rows[2][0], Variant(int32_t(10)));
  EXPECT_EQ(rows[2][3], Variant(int16_t(0)));
  EXPECT_EQ(rows[2][4], Variant(int32_t(0)));
  EXPECT_EQ(rows[2][6], Variant(0.0));
  EXPECT_EQ(rows[2][7], Variant(false));
  EXPECT_TRUE(rows[2][9].IsNull());  // an empty blob reads back as null, as in Paradox
  EXPECT_EQ(db.TableStructure("types").RecordCount, 3);
}

TEST(ParadoxWrite, BlobsUpdateAndDelete) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("M", TPdxFieldType::Memo, 5), F("B", TPdxFieldType::Blob, 0)};
  db.CreateTable("blobs", d);
  auto t = db.OpenTable("blobs");
  std::mt19937 rng(7);
  std::vector<std::string> memos, bins;
  for (int i = 0; i < 200; ++i) {
    memos.push_back(std::string(rng() % 3000, char('a' + i % 26)));
    std::string b(rng() % 9000, '\0');
    for (auto& c : b) c = char(rng());
    bins.push_back(b);
    t->Append({Variant(int32_t(i + 1)), Variant(memos.back()), Variant(bins.back())});
  }
  // Update every third record, delete every fifth.
  auto c = t->OpenCursor();
  std::vector<TPdxRecordPos> del;
  int i = 0;
  std::vector<std::pair<TPdxRecordPos, int>> upd;
  while (c->Next()) {
    if (i % 3 == 0) upd.push_back({c->Position(), i});
    if (i % 5 == 0) del.push_back(c->Position());
    ++i;
  }
  for (auto& [pos, k] : upd) {
    memos[k] = "updated " + std::to_string(k);
    t->Update(pos, {Variant(int32_t(k + 1)), Variant(memos[k]), Variant(bins[k])});
  }
  for (auto it = del.rbegin(); it != del.rend(); ++it) t->Delete(*it);
  auto rows = ReadAll(db, "blobs");
  size_t n = 0;
  for (int k = 0; k < 200; ++k) {
    if (k % 5 == 0) continue;
    ASSERT_LT(n, rows.size());
    EXPECT_EQ(rows[n][0], Variant(int32_t(k + 1)));
    if (memos[k].empty()) EXPECT_TRUE(rows[n][1].IsNull()); else EXPECT_EQ(rows[n][1].StrRef(), memos[k]) << k;
    if (bins[k].empty()) EXPECT_TRUE(rows[n][2].IsNull()); else EXPECT_TRUE(rows[n][2].StrRef() == bins[k]) << k;
    ++n;
  }
  EXPECT_EQ(n, rows.size());
}

TEST(ParadoxWrite, LimitsRaiseClearErrors) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("A", TPdxFieldType::Alpha, 256), F("M", TPdxFieldType::Memo, 250),
              F("Req", TPdxFieldType::Alpha, 5, true), F("S", TPdxFieldType::Short),
              F("L", TPdxFieldType::Long), F("Big", TPdxFieldType::Int64)};
  db.CreateTable("lim", d);
  auto def = db.TableStructure("lim");
  EXPECT_EQ(def.Fields[0].Size, 255);
  EXPECT_EQ(def.Fields[1].Size, 240);
  EXPECT_EQ(def.Fields[5].Type, TPdxFieldType::Number);
  EXPECT_TRUE(def.Fields[2].Required);
  auto t = db.OpenTable("lim");
  auto row = [](Variant a, Variant req, Variant s, Variant l, Variant big) {
    return std::vector<Variant>{a, Variant::Null(), req, s, l, big};
  };
  EXPECT_THROW(t->Append(row(Variant(std::string(256, 'a')), Variant("r"), Variant::Null(), Variant::Null(), Variant::Null())), EPdxValue);
  try {
    t->Append(row(Variant("a"), Variant(""), Variant::Null(), Variant::Null(), Variant::Null()));
    FAIL();
  } catch (const EPdxRequired& e) {
    EXPECT_NE(e.Message().find("Req"), std::string::npos);
    EXPECT_NE(e.Message().find("lim.DB"), std::string::npos);
  }
  EXPECT_THROW(t->Append(row(Variant("a"), Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null())), EPdxRequired);
  EXPECT_THROW(t->Append(row(Variant("a"), Variant("r"), Variant(int16_t(-32768)), Variant::Null(), Variant::Null())), EPdxValue);
  EXPECT_THROW(t->Append(row(Variant("a"), Variant("r"), Variant(int32_t(40000)), Variant::Null(), Variant::Null())), EPdxValue);
  EXPECT_THROW(t->Append(row(Variant("a"), Variant("r"), Variant::Null(), Variant(int32_t(INT32_MIN)), Variant::Null())), EPdxValue);
  EXPECT_THROW(t->Append(row(Variant("a"), Variant("r"), Variant::Null(), Variant::Null(), Variant(int64_t((1ll << 53) + 1)))), EPdxValue);
  EXPECT_EQ(ReadAll(db, "lim").size(), 0u);  // nothing half-written
  t->Append(row(Variant(std::string(255, 'a')), Variant("r"), Variant(int16_t(-32767)), Variant(int32_t(INT32_MIN + 1)), Variant(int64_t(1ll << 53))));
  auto rows = ReadAll(db, "lim");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].StrRef().size(), 255u);
  EXPECT_EQ(rows[0][5], Variant(double(1ll << 53)));

  TPdxTableDef longName;
  longName.Fields = {F("ABCDEFGHIJKLMNOPQRSTUVWXYZ", TPdxFieldType::Long)};
  EXPECT_THROW(db.CreateTable("ln", longName), EPdxValue);
  TPdxTableDef badKey;
  badKey.Fields = {F("A", TPdxFieldType::Long), F("B", TPdxFieldType::Long)};
  TPdxIndexDef pk;
  pk.Primary = true;
  pk.Fields = {1};
  badKey.Indexes.push_back(pk);
  EXPECT_THROW(db.CreateTable("bk", badKey), EPdxError);
  EXPECT_FALSE(db.TableExists("ln"));
  EXPECT_FALSE(db.TableExists("bk"));
}

TEST(ParadoxWrite, KeyViolationLeavesTableAsItWas) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Alpha, 10), F("V", TPdxFieldType::Long)};
  d.KeyFieldCount = 1;
  db.CreateTable("kv", d);
  auto t = db.OpenTable("kv");
  for (int i = 0; i < 100; ++i) t->Append({Variant("k" + std::to_string(1000 + i)), Variant(int32_t(i))});
  std::string before = FileBytes(dir / "kv.DB") + FileBytes(dir / "kv.PX");
  EXPECT_THROW(t->Append({Variant("k1050"), Variant(int32_t(1))}), EPdxKeyViolation);
  TPdxRecordPos pos;
  ASSERT_TRUE(t->FindKey({Variant("k1010")}, pos));
  EXPECT_THROW(t->Update(pos, {Variant("k1011"), Variant(int32_t(5))}), EPdxKeyViolation);
  EXPECT_EQ(before, FileBytes(dir / "kv.DB") + FileBytes(dir / "kv.PX"));
  EXPECT_EQ(t->Read(pos)[1], Variant(int32_t(10)));
  t->Update(pos, {Variant("a0"), Variant(int32_t(-1))});
  auto rows = ReadAll(db, "kv");
  ASSERT_EQ(rows.size(), 100u);
  EXPECT_EQ(rows[0][0], Variant("a0"));
  EXPECT_FALSE(t->FindKey({Variant("k1010")}, pos));
}

// Errors speak Russian and name the table's file with its folder (a Cyrillic path arrives in
// Windows-1251 like the rest of the text), with a class that tells a missing or existing table.
TEST(ParadoxWrite, ErrorsNameTheTableAndItsFolder) {
  testsupport::TempDir dir;
  const fs::path folder = dir / "Данные";
  fs::create_directories(folder);
  TPdxDatabase db(folder.string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("Имя"_ansi, TPdxFieldType::Alpha, 10, true)};
  d.KeyFieldCount = 1;
  db.CreateTable("Дороги"_ansi, d);
  auto t = db.OpenTable("Дороги"_ansi);
  t->Append({Variant(int32_t(1)), Variant("a")});
  const std::string table = "Таблица \""_ansi + Utf8ToAnsi((folder / "Дороги.DB").string()) + "\"";
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const EPdxError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  struct TCase {
    std::function<void()> Run;
    std::string Want;
  } cases[] = {
      {[&] { db.OpenTable("Мосты"_ansi); }, "Таблица \"Мосты\" не найдена в папке \""_ansi + Utf8ToAnsi(folder.string()) + "\""},
      {[&] { db.CreateTable("Дороги"_ansi, d); }, "Таблица \"Дороги\" уже есть в папке \""_ansi + Utf8ToAnsi(folder.string()) + "\""},
      {[&] { t->Append({Variant(int32_t(1)), Variant("b")}); }, table + ": нарушение ключа"_ansi},
      {[&] { t->Append({Variant(int32_t(2)), Variant::Null()}); }, table + ": поле \"Имя\" должно быть заполнено"_ansi},
  };
  for (const TCase& c : cases) {
    const std::string m = message(c.Run);
    EXPECT_NE(m.find(c.Want), std::string::npos) << AnsiToUtf8(m);
  }
  EXPECT_THROW(db.OpenTable("Мосты"_ansi), EPdxNotFound);
  EXPECT_THROW(db.CreateTable("Дороги"_ansi, d), EPdxExists);
}

TEST(ParadoxWrite, EncryptedTableRoundTrips) {
  testsupport::TempDir dir;
  TPdxTableDef d;
  d.Fields = {F("N", TPdxFieldType::Long), F("M", TPdxFieldType::Memo, 10)};
  d.Password = "s3cret";
  {
    TPdxDatabase db(dir.Path().string(), {"s3cret"});
    db.CreateTable("enc", d);
    auto t = db.OpenTable("enc");
    for (int i = 0; i < 300; ++i) t->Append({Variant(int32_t(i)), Variant(std::string(i * 20, char('A' + i % 26)))});
  }
  EXPECT_EQ(FileBytes(dir / "enc.DB").find("AAAAAAAAAA"), std::string::npos);
  EXPECT_EQ(FileBytes(dir / "enc.MB").find("AAAAAAAAAA"), std::string::npos);
  TPdxDatabase nopw(dir.Path().string());
  EXPECT_THROW(nopw.OpenCursor("enc"), EPdxPassword);
  TPdxDatabase db(dir.Path().string(), {"s3cret"});
  auto rows = ReadAll(db, "enc");
  ASSERT_EQ(rows.size(), 300u);
  EXPECT_EQ(rows[299][1].StrRef(), std::string(299 * 20, char('A' + 299 % 26)));
}

namespace {

// Rewrites `size` bytes of a file at `at`.
void PatchFile(const std::string& path, size_t at, const char* bytes, size_t size) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  f.write(bytes, std::streamsize(size));
}

// Relabels a new table as DOS Russian (language driver "cyrr", code page 866).
void RelabelAsDosRussian(const std::string& path) {
  size_t at = FileBytes(path).find("ancyrr");
  ASSERT_NE(at, std::string::npos);
  const char cp[2] = {char(866 & 0xFF), char(866 >> 8)};
  PatchFile(path, 0x6A, cp, 2);
  PatchFile(path, at, "cyrr\0\0", 6);
}

}  // namespace

TEST(ParadoxWrite, DosCodePageIsTranslated) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("Имя"_ansi, TPdxFieldType::Alpha, 20)};
  db.CreateTable("dos", d);
  RelabelAsDosRussian(dir / "dos.DB");
  TPdxDatabase db2(dir.Path().string());
  auto def = db2.TableStructure("dos");
  EXPECT_EQ(def.CodePage, 866);
  EXPECT_NE(def.Fields[0].Name, "Имя"_ansi);  // the name's bytes were 1251, now read as 866
  db2.OpenTable("dos")->Append({Variant("Привет"_ansi)});
  std::string raw = FileBytes(dir / "dos.DB");
  const char oem[] = "\x8F\xE0\xA8\xA2\xA5\xE2";  // "Привет" in cp866
  EXPECT_NE(raw.find(oem), std::string::npos);
  auto rows = ReadAll(db2, "dos");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], Variant("Привет"_ansi));
}

// Text the code page cannot hold is refused, naming the field, in a text and in a memo; a value
// read from the table is written back byte for byte, even where it held characters Windows-1251
// lacks (they read as '?').
TEST(ParadoxWrite, DosCodePageRefusesWhatItCannotHoldAndKeepsWhatItRead) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("Name", TPdxFieldType::Alpha, 20), F("Note", TPdxFieldType::Memo, 10), F("N", TPdxFieldType::Long)};
  db.CreateTable("dos", d);
  RelabelAsDosRussian(dir / "dos.DB");
  TPdxDatabase dos(dir.Path().string());
  struct TRefused { std::vector<Variant> Row; const char* Field; };
  for (const TRefused& c : {TRefused{{Variant("Ёлка «зимняя»"_ansi), Variant::Null(), Variant(int32_t(1))}, "\"Name\""},
                            TRefused{{Variant("Ёлка"_ansi), Variant("цена 5€"_ansi), Variant(int32_t(1))}, "\"Note\""}}) {
    try {
      dos.OpenTable("dos")->Append(c.Row);
      ADD_FAILURE() << c.Field << " took a character code page 866 lacks";
    } catch (const EPdxValue& e) {
      EXPECT_NE(e.Message().find(c.Field), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("866"), std::string::npos) << e.Message();
    }
  }
  EXPECT_TRUE(ReadAll(dos, "dos").empty());

  // Box-drawing characters (0xB0 0xB1 in code page 866) put into a stored text and memo.
  dos.OpenTable("dos")->Append({Variant("Ёлка"_ansi), Variant(std::string("abc")), Variant(int32_t(1))});
  std::string raw = FileBytes(dir / "dos.DB");
  size_t name = raw.find("\xF0\xAB\xAA\xA0"), note = raw.find("abc");  // "Ёлка" in code page 866
  ASSERT_NE(name, std::string::npos);
  ASSERT_NE(note, std::string::npos);
  PatchFile(dir / "dos.DB", name + 1, "\xB0", 1);
  PatchFile(dir / "dos.DB", note + 1, "\xB1", 1);
  const std::string before = FileBytes(dir / "dos.DB");
  TPdxDatabase again(dir.Path().string());
  auto t = again.OpenTable("dos");
  auto c = t->OpenCursor();
  ASSERT_TRUE(c->Next());
  std::vector<Variant> row = c->Values();
  EXPECT_EQ(row[0], Variant("Ё?ка"_ansi));
  TPdxRecordPos pos = c->Position();
  c.reset();
  row[2] = Variant(int32_t(2));
  t->Update(pos, row);
  const std::string after = FileBytes(dir / "dos.DB");
  EXPECT_EQ(after.substr(name, 4), before.substr(name, 4));
  EXPECT_EQ(after.substr(note, 3), before.substr(note, 3));
  EXPECT_EQ(t->Read(pos)[2], Variant(int32_t(2)));
}

TEST(ParadoxWrite, RenameAndDeleteTakeTheFamily) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long, 0, true), F("Name", TPdxFieldType::Alpha, 10), F("M", TPdxFieldType::Memo, 1)};
  d.KeyFieldCount = 1;
  TPdxIndexDef ix;
  ix.Fields = {1};
  d.Indexes.push_back(ix);
  TPdxIndexDef comp;
  comp.Name = "byNameK";
  comp.Fields = {1, 0};
  d.Indexes.push_back(comp);
  db.CreateTable("fam", d);
  db.OpenTable("fam")->Append({Variant(int32_t(1)), Variant("one"), Variant(std::string(100, 'z'))});
  std::set<std::string> files;
  for (auto& e : fs::directory_iterator(dir.Path())) files.insert(e.path().filename().string());
  std::set<std::string> want{"fam.DB", "fam.MB", "fam.PX", "fam.VAL", "fam.X02", "fam.Y02", "fam.XG0", "fam.YG0"};
  EXPECT_EQ(files, want);
  auto def = db.TableStructure("fam");
  ASSERT_EQ(def.Indexes.size(), 2u);
  EXPECT_EQ(def.Indexes[0].FileName, "fam.X02");
  EXPECT_EQ(def.Indexes[0].Name, "Name");
  EXPECT_EQ(def.Indexes[1].Name, "byNameK");
  EXPECT_EQ(def.Indexes[1].Fields, (std::vector<int>{1, 0}));
  db.RenameTable("fam", "family");
  EXPECT_FALSE(db.TableExists("fam"));
  auto rows = ReadAll(db, "family");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][2].StrRef(), std::string(100, 'z'));
  EXPECT_EQ(db.TableStructure("family").Indexes.size(), 2u);
  db.DeleteTable("family");
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(ParadoxWrite, TwoHandlesSeeEachOthersWrites) {
  testsupport::TempDir dir;
  TPdxDatabase a(dir.Path().string()), b(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("N", TPdxFieldType::Long)};
  a.CreateTable("t", d);
  auto ta = a.OpenTable("t");
  auto tb = b.OpenTable("t");
  ta->Append({Variant(int32_t(1))});
  EXPECT_EQ(ReadAll(b, "t").size(), 1u);
  tb->Append({Variant(int32_t(2))});
  EXPECT_EQ(ReadAll(a, "t").size(), 2u);
  ta->BeginBatch();
  ta->Append({Variant(int32_t(3))});
  EXPECT_EQ(ReadAll(b, "t").size(), 3u);  // the batch's blocks are shared in the process
  ta->EndBatch();
  EXPECT_EQ(b.TableStructure("t").RecordCount, 3);
}

TEST(ParadoxWrite, HeaderLooksLikeTheBdesForTheSameStructure) {
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/CUSTOMER.MB");
  std::string sample = (testsupport::SamplesDir() / "db/CUSTOMER.DB").string();
  TPdxDatabase src((testsupport::SamplesDir() / "db").string());
  TPdxTableDef d = src.TableStructure("CUSTOMER");
  d.BlockSize = 2048;
  d.Indexes.clear();
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  db.CreateTable("CUSTOMER", d);
  std::string mine = FileBytes(dir / "CUSTOMER.DB"), theirs = FileBytes(sample);
  auto h1 = detail::ParseHeader(reinterpret_cast<const uint8_t*>(mine.data()), mine.size(), "mine");
  auto h2 = detail::ParseHeader(reinterpret_cast<const uint8_t*>(theirs.data()), theirs.size(), "theirs");
  EXPECT_EQ(h1.RecordSize, h2.RecordSize);
  EXPECT_EQ(h1.HeaderSize, h2.HeaderSize);
  EXPECT_EQ(h1.FileType, h2.FileType);
  EXPECT_EQ(h1.BlockSize, h2.BlockSize);
  EXPECT_EQ(h1.NumFields, h2.NumFields);
  EXPECT_EQ(h1.KeyFields, h2.KeyFields);
  EXPECT_EQ(h1.Version, h2.Version);
  EXPECT_EQ(h1.Encryption1, h2.Encryption1);
  EXPECT_EQ(h1.Types, h2.Types);
  EXPECT_EQ(h1.Sizes, h2.Sizes);
  EXPECT_EQ(h1.Names, h2.Names);
  EXPECT_EQ(h1.FieldNumbers, h2.FieldNumbers);
  for (int off : {0x38, 0x3E, 0x3F, 0x56, 0x58, 0x59, 0x5A, 0x5B, 0x64, 0x6C, 0x6D})
    EXPECT_EQ(mine[off], theirs[off]) << "header byte " << off;
  // The used part of the header ends where the sort order ID ends (0x51), as in the BDE's file
  // (whose ID "ANSII850" is two bytes longer than "ancyrr").
  EXPECT_EQ(detail::Get16(reinterpret_cast<const uint8_t*>(mine.data()) + 0x51) + 2,
            detail::Get16(reinterpret_cast<const uint8_t*>(theirs.data()) + 0x51));
  // The .MB header's constants.
  std::string mb = FileBytes(dir / "CUSTOMER.MB");
  std::string theirMb = FileBytes((testsupport::SamplesDir() / "db/CUSTOMER.MB").string());
  ASSERT_GE(mb.size(), 4096u);
  EXPECT_EQ(mb.substr(0, 3), theirMb.substr(0, 3));
  EXPECT_EQ(mb.substr(5, 0x10), theirMb.substr(5, 0x10));
  EXPECT_EQ(mb.substr(0x29, 2), theirMb.substr(0x29, 2));
}

namespace {

// Random inserts, updates and deletes on a table with a primary key and secondary indexes,
// checked against a model and against the index files after every round.
void RandomOps(bool keyed, int ops, int blockSize, bool batches = false, int cityLen = 12) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("City", TPdxFieldType::Alpha, cityLen), F("N", TPdxFieldType::Number)};
  d.KeyFieldCount = keyed ? 1 : 0;
  d.BlockSize = blockSize;
  TPdxIndexDef ix;
  ix.Fields = {1};
  d.Indexes.push_back(ix);
  TPdxIndexDef comp;
  comp.Name = "CityN";
  comp.Fields = {1, 2};
  d.Indexes.push_back(comp);
  db.CreateTable("r", d);
  auto t = db.OpenTable("r");
  std::mt19937 rng(keyed ? 42 : 43);
  std::map<int32_t, std::pair<std::string, double>> model;
  auto check = [&]() {
    auto rows = ReadAll(db, "r");
    ASSERT_EQ(rows.size(), model.size());
    std::map<int32_t, std::pair<std::string, double>> seen;
    for (auto& r : rows) seen[r[0].ToInt32()] = {r[1].IsNull() ? "" : r[1].StrRef(), r[2].ToDouble()};
    ASSERT_TRUE(seen == model);
    if (keyed) {
      for (size_t i = 1; i < rows.size(); ++i) ASSERT_LT(rows[i - 1][0].ToInt32(), rows[i][0].ToInt32());
    }
    ASSERT_EQ(db.CheckIntegrity("r"), std::vector<std::string>{});
    // (Appends to an unkeyed table are held until the end of a batch: an empty one writes them.)
    t->BeginBatch();
    t->EndBatch();
    TRawFile data(dir / "r.DB");
    ASSERT_EQ(data.H.NumRecords, model.size());
    if (!model.empty()) {
      ASSERT_EQ(data.H.FirstBlock, 1);  // block 1 is never freed
    }
    auto recs = data.ChainRecords();
    if (keyed) CheckTree(dir / "r.PX", data, 4);
    // Each secondary index holds one entry per record, sorted, pointing at the record's block.
    for (const char* xn : {"r.X02", "r.XG0"}) {
      TRawFile x(dir / xn);
      auto entries = x.ChainRecords();
      ASSERT_EQ(entries.size(), model.size()) << xn;
      ASSERT_TRUE(std::is_sorted(entries.begin(), entries.end())) << xn;
      std::multiset<std::string> want, got;
      int fieldsLen = std::string(xn) == "r.X02" ? cityLen : cityLen + 8;
      for (auto& rec : recs) want.insert(rec.substr(4, fieldsLen));
      for (auto& e : entries) got.insert(e.substr(0, fieldsLen));
      ASSERT_TRUE(want == got) << xn;
      if (keyed) {
        // Each entry's block number names the block that holds its record.
        std::map<std::string, uint32_t> blockOf;
        for (uint32_t bn = data.H.FirstBlock; bn; bn = detail::Get16(data.Block(bn)))
          for (int s = 0; s < data.Count(bn); ++s)
            blockOf[std::string(reinterpret_cast<const char*>(data.Block(bn) + 6 + s * data.H.RecordSize), 4)] = bn;
        for (auto& e : entries) {
          uint32_t hint = uint16_t(detail::GetShort(reinterpret_cast<const uint8_t*>(e.data()) + e.size() - 2));
          ASSERT_EQ(blockOf[e.substr(fieldsLen, 4)], hint) << xn;
        }
      }
      CheckTree(std::string(dir / xn).replace(std::string(dir / xn).size() - 3, 1, "Y"), x, x.H.RecordSize - 2);
    }
  };
  const char* cities[] = {"Москва", "Тверь", "Омск", "Berlin", "Paris", "Рим"};
  for (int i = 0; i < ops; ++i) {
    // With batches, every other run of 100 changes goes through one batch.
    if (batches && i % 100 == 0 && (i / 100) % 2 == 1) t->BeginBatch();
    int op = int(rng() % 10);
    int32_t k = int32_t(rng() % 5000) + 1;
    std::string city = Utf8ToAnsi(cities[rng() % 6]);
    double n = double(int(rng() % 1000)) / 4;
    if (op < 6 || model.empty()) {
      bool dup = keyed && model.count(k);
      if (!keyed) while (model.count(k)) k = int32_t(rng() % 100000) + 1;
      if (dup) {
        EXPECT_THROW(t->Append({Variant(k), Variant(city), Variant(n)}), EPdxKeyViolation);
      } else {
        t->Append({Variant(k), Variant(city), Variant(n)});
        model[k] = {city, n};
      }
    } else {
      // Pick the j-th record through a cursor.
      size_t j = rng() % model.size();
      auto c = t->OpenCursor();
      for (size_t s = 0; s <= j; ++s) ASSERT_TRUE(c->Next());
      int32_t key = c->Value(0).ToInt32();
      TPdxRecordPos pos = c->Position();
      c.reset();
      if (op < 8) {
        t->Delete(pos);
        model.erase(key);
      } else {
        int32_t nk = (keyed && op == 9) ? int32_t(rng() % 5000) + 1 : key;
        if (nk != key && model.count(nk)) {
          EXPECT_THROW(t->Update(pos, {Variant(nk), Variant(city), Variant(n)}), EPdxKeyViolation);
        } else {
          t->Update(pos, {Variant(nk), Variant(city), Variant(n)});
          model.erase(key);
          model[nk] = {city, n};
        }
      }
    }
    if (batches && i % 100 == 99 && (i / 100) % 2 == 1) t->EndBatch();
    if (i % 500 == 499) { check(); if (::testing::Test::HasFatalFailure()) return; }
  }
  check();
}

}  // namespace

TEST(ParadoxIndexes, KeyedTableStaysConsistentUnderRandomChanges) { RandomOps(true, 3000, 1024); }
TEST(ParadoxIndexes, UnkeyedTableStaysConsistentUnderRandomChanges) { RandomOps(false, 3000, 1024); }
TEST(ParadoxIndexes, KeyedTableWithBatchesStaysConsistent) { RandomOps(true, 3000, 1024, true); }

// Batches of keyed records larger than the engine holds before putting them into their blocks
// (about 40 MB of records): keys in order, in reverse, at random, between the keys of a table that
// has records already, and at random with text keys alike in their first eight bytes. Duplicates
// of the key or of the unique index are refused whether their twin is in a block, in a sorted run
// beside the table or still waiting, reads in the middle of the batch see every record, no run
// file stays, and the indexes agree at the end.
TEST(ParadoxIndexes, LargeKeyedBatchesStayConsistent) {
  const int32_t n = 40000;
  std::mt19937 rng(7);
  std::vector<int32_t> up(n), down(n), shuffled(n), odd(n);
  for (int32_t i = 0; i < n; ++i) up[i] = i, down[i] = n - i, shuffled[i] = i, odd[i] = 2 * i + 1;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::shuffle(odd.begin(), odd.end(), rng);
  struct TCase {
    const char* Name;
    int32_t Existing;  // records with the keys 0, 2, 4, ... before the batch
    const std::vector<int32_t>& Keys;
    bool TextKeys = false;
  } cases[] = {{"ascending", 0, up},    {"descending", 0, down},           {"random", 0, shuffled},
               {"between", n, odd},     {"random text", 0, shuffled, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testsupport::TempDir dir;
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef d;
    const int keyLen = c.TextKeys ? 20 : 4;
    d.Fields = {c.TextKeys ? F("K", TPdxFieldType::Alpha, keyLen) : F("K", TPdxFieldType::Long),
                F("Tag", TPdxFieldType::Alpha, 8), F("P1", TPdxFieldType::Alpha, 255),
                F("P2", TPdxFieldType::Alpha, 255), F("P3", TPdxFieldType::Alpha, 255), F("P4", TPdxFieldType::Alpha, 250)};
    d.KeyFieldCount = 1;
    d.BlockSize = 32768;
    TPdxIndexDef ix;
    ix.Fields = {1};
    d.Indexes.push_back(ix);
    TPdxIndexDef byP1;  // unique, and its entries too many to sort in memory at once
    byP1.Name = "ByP1";
    byP1.Fields = {2};
    byP1.Unique = true;
    d.Indexes.push_back(byP1);
    db.CreateTable("b", d);
    auto key = [&](int32_t k) {
      return c.TextKeys ? Variant(std::string("key of ") + char('A' + k % 3) + std::to_string(1000000 + k)) : Variant(k);
    };
    // P1 differs from record to record in more than 32 places.
    auto p1 = [](int32_t k) { return "p" + std::to_string(k) + std::string(40, char('a' + k % 26)); };
    auto row = [&](int32_t k) {
      return std::vector<Variant>{key(k), Variant("t" + std::to_string(k % 97)), Variant(p1(k)), Variant::Null(),
                                  Variant("x"), Variant::Null()};
    };
    if (c.Existing) {
      auto t = db.OpenTable("b");
      t->BeginBatch();
      for (int32_t i = 0; i < c.Existing; ++i) t->Append(row(2 * i));
      t->EndBatch();
    }
    auto t = db.OpenTable("b");  // a fresh handle: the table's keys are not known yet
    t->BeginBatch();
    for (int32_t i = 0; i < n; ++i) {
      if (i == n / 2) {
        const int64_t count = t->RecordCount();
        EXPECT_EQ(count, c.Existing + i);
        EXPECT_THROW(t->Append(row(c.Keys[0])), EPdxKeyViolation);      // put into a block by now
        EXPECT_THROW(t->Append(row(c.Keys[i - 1])), EPdxKeyViolation);  // still waiting
        if (c.Existing) {
          EXPECT_THROW(t->Append(row(2 * (c.Existing / 3))), EPdxKeyViolation);
        }
        for (int32_t twin : {c.Keys[0], c.Keys[i - 1], c.Existing ? 2 * (c.Existing / 3) : c.Keys[i / 2]}) {
          auto r = row(10 * n);
          r[2] = Variant(p1(twin));
          EXPECT_THROW(t->Append(r), EPdxKeyViolation) << twin;
        }
        EXPECT_EQ(t->RecordCount(), count);
      }
      if (i == 3 * n / 4) {
        TPdxRecordPos pos;
        ASSERT_TRUE(t->FindKey({key(c.Keys[i - 1])}, pos));
        EXPECT_EQ(t->Read(pos)[2], Variant(p1(c.Keys[i - 1])));
      }
      t->Append(row(c.Keys[i]));
    }
    t->EndBatch();
    for (const auto& e : fs::directory_iterator(dir.Path()))
      EXPECT_EQ(e.path().filename().string().find(".run"), std::string::npos) << e.path();
    std::vector<Variant> want;
    for (int32_t k : c.Keys) want.push_back(key(k));
    for (int32_t i = 0; i < c.Existing; ++i) want.push_back(key(2 * i));
    std::sort(want.begin(), want.end(), [&](const Variant& a, const Variant& b) {
      return c.TextKeys ? a.ToString() < b.ToString() : a.ToInt32() < b.ToInt32();
    });
    std::vector<Variant> got;
    for (auto cur = db.OpenCursor("b"); cur->Next();) got.push_back(cur->Value(0));
    ASSERT_TRUE(got == want);
    EXPECT_EQ(db.CheckIntegrity("b"), std::vector<std::string>{});
    TRawFile data(dir / "b.DB");
    EXPECT_EQ(data.H.NumRecords, want.size());
    EXPECT_EQ(data.H.FirstBlock, 1);
    CheckTree(dir / "b.PX", data, keyLen);
    TRawFile x(dir / "b.X02");
    EXPECT_EQ(x.ChainRecords().size(), want.size());
    CheckTree(dir / "b.Y02", x, x.H.RecordSize - 2);
    TRawFile xg(dir / "b.XG0");
    const auto entries = xg.ChainRecords();
    EXPECT_EQ(entries.size(), want.size());
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
    CheckTree(dir / "b.YG0", xg, xg.H.RecordSize - 2);
  }
}

// Records waiting out of key order, none read back: a duplicate of any of them is refused, the
// earliest as well as the latest, whether the table started empty or not.
TEST(ParadoxIndexes, WaitingOutOfOrderRecordsRefuseTheirDuplicates) {
  const int32_t n = 3000;
  std::vector<int32_t> keys(n);
  for (int32_t i = 0; i < n; ++i) keys[i] = 2 * i + 1;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(11));
  for (int32_t existing : {0, 500}) {
    SCOPED_TRACE(existing);
    testsupport::TempDir dir;
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef d;
    d.Fields = {F("K", TPdxFieldType::Long), F("V", TPdxFieldType::Alpha, 8)};
    d.KeyFieldCount = 1;
    db.CreateTable("w", d);
    auto t = db.OpenTable("w");
    for (int32_t i = 0; i < existing; ++i) t->Append({Variant(2 * i), Variant("e")});
    t = db.OpenTable("w");
    t->BeginBatch();
    for (int32_t k : keys) t->Append({Variant(k), Variant("w")});
    for (int32_t i : {0, 1, 63, 64, 65, 1000, n - 2, n - 1})
      EXPECT_THROW(t->Append({Variant(keys[i]), Variant("d")}), EPdxKeyViolation) << i;
    if (existing) {
      EXPECT_THROW(t->Append({Variant(2 * (existing - 1)), Variant("d")}), EPdxKeyViolation);
    }
    t->EndBatch();
    EXPECT_EQ(t->RecordCount(), existing + n);
  }
}
// Wide records (four to a block): many splits, and block 1 refilled often.
TEST(ParadoxIndexes, WideRecordsStayConsistent) {
  RandomOps(true, 2000, 1024, false, 200);
  RandomOps(false, 1000, 1024, false, 200);
}

TEST(ParadoxIndexes, PrimaryIndexGrowsLevels) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Alpha, 100), F("V", TPdxFieldType::Long)};
  d.KeyFieldCount = 1;
  d.BlockSize = 1024;
  db.CreateTable("deep", d);
  auto t = db.OpenTable("deep");
  t->BeginBatch();
  std::mt19937 rng(5);
  std::set<std::string> keys;
  while (keys.size() < 20000) {
    std::string k = "key" + std::to_string(rng());
    if (!keys.insert(k).second) continue;
    t->Append({Variant(k), Variant(int32_t(keys.size()))});
  }
  t->EndBatch();
  TRawFile data(dir / "deep.DB");
  TRawFile px(dir / "deep.PX");
  EXPECT_GE(px.H.Levels, 3);
  CheckTree(dir / "deep.PX", data, 100);
  auto rows = ReadAll(db, "deep");
  ASSERT_EQ(rows.size(), keys.size());
  size_t i = 0;
  for (auto& k : keys) EXPECT_EQ(rows[i++][0].StrRef(), k);
}

TEST(ParadoxWrite, AnsiDriverPassesBytesWhateverTheLabel) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("Поле"_ansi, TPdxFieldType::Alpha, 20)};
  db.CreateTable("ansi", d);
  db.OpenTable("ansi")->Append({Variant("Щука"_ansi)});
  for (int cp : {1252, 936, 850}) {
    std::string h = FileBytes(dir / "ansi.DB");
    size_t at = h.find("ancyrr");
    if (at == std::string::npos) at = h.find("ANSII850");
    ASSERT_NE(at, std::string::npos);
    {
      std::fstream f(dir / "ansi.DB", std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(0x6A);
      char c[2] = {char(cp & 0xFF), char(cp >> 8)};
      f.write(c, 2);
      f.seekp(std::streamoff(at));
      f.write("ANSII850", 8);  // Windows-1251 text in a table labelled "Pdox ANSI INTL850"
    }
    TPdxDatabase db2(dir.Path().string());
    auto def = db2.TableStructure("ansi");
    EXPECT_EQ(def.Fields[0].Name, "Поле"_ansi) << cp;
    auto rows = ReadAll(db2, "ansi");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], Variant("Щука"_ansi)) << cp;
  }
}

// Writing into tables the BDE made (copies in a temporary folder): a keyed Paradox 7 table with
// memos in both .MB block kinds and a secondary index, and a Paradox 5 table whose .PX has
// larger blocks than its .DB.
TEST(ParadoxWrite, WritesIntoBdeTables) {
  const std::vector<std::string> files = {"db/CUSTOMER.DB",  "db/CUSTOMER.MB", "db/CUSTOMER.PX", "db/CUSTOMER.X06",
                                         "db/CUSTOMER.Y06", "fields/long.db", "fields/long.px"};
  REQUIRE_SAMPLES(files);
  testsupport::TempDir dir;
  for (const std::string& f : files)
    fs::copy_file(testsupport::SamplesDir() / f, dir.Path() / fs::path(f).filename());
  TPdxDatabase db(dir.Path().string());
  {
    auto t = db.OpenTable("CUSTOMER");
    std::vector<Variant> row(10, Variant::Null());
    row[1] = Variant("Иван"_ansi);
    row[5] = Variant("Тверь"_ansi);
    row[8] = Variant(std::string(5000, 'q'));
    t->Append(row);  // CustNo takes the next autoincrement value
    TPdxRecordPos pos;
    ASSERT_TRUE(t->FindKey({Variant(int32_t(4))}, pos));
    t->Delete(pos);
    ASSERT_TRUE(t->FindKey({Variant(int32_t(2))}, pos));
    auto c = t->OpenCursor();
    std::vector<Variant> two;
    while (c->Next()) if (c->Value(0) == Variant(int32_t(2))) two = c->Values();
    two[5] = Variant("Zelenograd");
    t->Update(pos, two);
  }
  auto rows = ReadAll(db, "CUSTOMER");
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(rows.back()[0], Variant(int32_t(45)));  // the header's counter said 44
  EXPECT_EQ(rows.back()[1], Variant("Иван"_ansi));
  EXPECT_EQ(rows.back()[8].StrRef(), std::string(5000, 'q'));
  EXPECT_EQ(rows[1][5], Variant("Zelenograd"));
  EXPECT_EQ(rows[0][8], Variant("Small comment (less 100 symbols)"));
  EXPECT_EQ(rows[2][8].StrRef().size(), 318u);
  TRawFile data(dir / "CUSTOMER.DB");
  CheckTree(dir / "CUSTOMER.PX", data, 4);
  TRawFile x(dir / "CUSTOMER.X06");
  auto entries = x.ChainRecords();
  ASSERT_EQ(entries.size(), 20u);
  std::multiset<std::string> cities, want;
  for (auto& e : entries) cities.insert(e.substr(0, 15));
  for (auto& r : data.ChainRecords()) want.insert(r.substr(4 + 51 + 50 + 100 + 30, 15));
  EXPECT_TRUE(cities == want);
  CheckTree(dir / "CUSTOMER.Y06", x, 19);

  auto t = db.OpenTable("long");
  t->Append({Variant::Null(), Variant(int32_t(77))});
  auto l = ReadAll(db, "long");
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[3][1], Variant(int32_t(77)));
  TRawFile ld(dir / "long.db");
  CheckTree(dir / "long.px", ld, 4);
}

TEST(ParadoxIndexes, FirstBlockStaysBlockOne) {
  for (int keys : {0, 1}) {
    testsupport::TempDir dir;
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef d;
    d.Fields = {F("K", TPdxFieldType::Long), F("Pad", TPdxFieldType::Alpha, 200)};
    d.KeyFieldCount = keys;
    d.BlockSize = 1024;
    TPdxIndexDef ix;
    ix.Fields = {1};
    d.Indexes.push_back(ix);
    db.CreateTable("one", d);
    auto t = db.OpenTable("one");
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 20; ++i) t->Append({Variant(int32_t(i)), Variant("p" + std::to_string(i % 3))});
      // Delete the first records one by one: block 1 refills from the next block.
      for (int i = 0; i < 20; ++i) {
        auto c = t->OpenCursor();
        ASSERT_TRUE(c->Next());
        TPdxRecordPos pos = c->Position();
        c.reset();
        t->Delete(pos);
        TRawFile data(dir / "one.DB");
        if (i < 19) {
          ASSERT_EQ(data.H.FirstBlock, 1) << keys << " " << i;
          if (keys) {
            CheckTree(dir / "one.PX", data, 4);
          }
          TRawFile x(dir / "one.X02");
          ASSERT_EQ(x.ChainRecords().size(), size_t(19 - i));
        } else {
          ASSERT_EQ(data.H.FirstBlock, 0);
        }
      }
      EXPECT_EQ(ReadAll(db, "one").size(), 0u);
    }
  }
}

TEST(ParadoxWrite, RewrittenBlobsReuseTheirSpace) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("B", TPdxFieldType::Blob, 0)};
  db.CreateTable("reuse", d);
  auto t = db.OpenTable("reuse");
  t->Append({Variant(int32_t(1)), Variant(std::string(20000, 'a'))});
  for (int i = 0; i < 50; ++i) {
    auto c = t->OpenCursor();
    ASSERT_TRUE(c->Next());
    TPdxRecordPos pos = c->Position();
    c.reset();
    t->Update(pos, {Variant(int32_t(1)), Variant(std::string(20000 - i, char('b' + i % 20)))});
  }
  EXPECT_LE(fs::file_size(dir / "reuse.MB"), 4096u * 16);
  auto rows = ReadAll(db, "reuse");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1].StrRef(), std::string(20000 - 49, char('b' + 49 % 20)));
}

// A value of several units is written in pieces (the first unit with the block header, the rest
// from the caller's buffer or unit by unit when encrypted); every byte must land in its place.
TEST(ParadoxWrite, ValuesOfManyUnitsReadBackWhole) {
  testsupport::TempDir dir;
  const size_t sizes[] = {4087, 4088, 4096 * 3 - 9, 4096 * 3 + 5, 100000};
  for (const char* password : {"", "pw"}) {
    SCOPED_TRACE(*password ? "encrypted" : "plain");
    TPdxTableDef d;
    d.Fields = {F("K", TPdxFieldType::Long), F("B", TPdxFieldType::Blob, 0), F("G", TPdxFieldType::Graphic, 10)};
    d.Password = password;
    const std::string name = *password ? "enc" : "plain";
    TPdxDatabase db(dir.Path().string(), {"pw"});
    db.CreateTable(name, d);
    std::vector<std::string> values;
    std::mt19937 rng(11);
    {
      auto t = db.OpenTable(name);
      for (size_t size : sizes) {
        std::string v(size, '\0');
        for (auto& c : v) c = char(rng());
        values.push_back(v);
        t->Append({Variant(int32_t(values.size())), Variant(v), Variant(v)});
      }
    }
    auto rows = ReadAll(db, name);
    ASSERT_EQ(rows.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      EXPECT_TRUE(rows[i][1].StrRef() == values[i]) << values[i].size();
      EXPECT_TRUE(rows[i][2].StrRef() == values[i]) << values[i].size();
    }
  }
}

TEST(ParadoxIndexes, EncryptedTableKeepsEncryptedIndexes) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string(), {"pw"});
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("Name", TPdxFieldType::Alpha, 30)};
  d.KeyFieldCount = 1;
  d.BlockSize = 1024;
  d.Password = "pw";
  TPdxIndexDef ix;
  ix.Fields = {1};
  d.Indexes.push_back(ix);
  db.CreateTable("encix", d);
  auto t = db.OpenTable("encix");
  for (int i = 0; i < 300; ++i) t->Append({Variant(int32_t(i * 7 % 300)), Variant("name-" + std::to_string(i % 17))});
  for (int i = 0; i < 100; ++i) {
    TPdxRecordPos pos;
    ASSERT_TRUE(t->FindKey({Variant(int32_t(i * 3))}, pos));
    t->Delete(pos);
  }
  uint32_t cs = TPdxDatabase::PasswordChecksum("pw");
  EXPECT_EQ(FileBytes(dir / "encix.X02").find("name-1"), std::string::npos);
  TRawFile data(dir / "encix.DB", cs);
  EXPECT_EQ(data.ChainRecords().size(), 200u);
  CheckTree(dir / "encix.PX", data, 4, cs);
  TRawFile x(dir / "encix.X02", cs);
  auto entries = x.ChainRecords();
  ASSERT_EQ(entries.size(), 200u);
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
  CheckTree(dir / "encix.Y02", x, x.H.RecordSize - 2, cs);
}

TEST(ParadoxWrite, EmptyTableAndReverseOrderDeletes) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  d.Fields = {F("K", TPdxFieldType::Long), F("M", TPdxFieldType::Memo, 1), F("Tag", TPdxFieldType::Alpha, 4)};
  d.KeyFieldCount = 1;
  d.BlockSize = 1024;
  TPdxIndexDef ix;
  ix.Fields = {2};
  d.Indexes.push_back(ix);
  db.CreateTable("e", d);
  auto t = db.OpenTable("e");
  for (int i = 0; i < 500; ++i) t->Append({Variant(int32_t(i)), Variant(std::string(100 + i, 'x')), Variant("t" + std::to_string(i % 7))});
  // Delete every record whose key is odd: positions from one pass, in reverse order.
  std::vector<TPdxRecordPos> odd;
  auto c = t->OpenCursor();
  while (c->Next()) if (c->Value(0).ToInt32() % 2) odd.push_back(c->Position());
  c.reset();
  for (auto it = odd.rbegin(); it != odd.rend(); ++it) t->Delete(*it);
  auto rows = ReadAll(db, "e");
  ASSERT_EQ(rows.size(), 250u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], Variant(int32_t(2 * i)));
    EXPECT_EQ(rows[i][1].StrRef().size(), 100 + 2 * i);
  }
  t->EmptyTable();
  EXPECT_EQ(ReadAll(db, "e").size(), 0u);
  EXPECT_EQ(fs::file_size(dir / "e.MB"), 4096u);
  t->Append({Variant(int32_t(5)), Variant(std::string(300, 'y')), Variant("t")});
  rows = ReadAll(db, "e");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][1].StrRef(), std::string(300, 'y'));
  TRawFile data(dir / "e.DB");
  EXPECT_EQ(data.H.FirstBlock, 1);
  CheckTree(dir / "e.PX", data, 4);
  EXPECT_EQ(TRawFile(dir / "e.X03").ChainRecords().size(), 1u);
}

// A unique secondary index refuses a repeated value wherever its twin is: written through an
// earlier handle, in a block, waiting in a batch, or given by an update. Blanks repeat freely; a
// value an update or an emptying took away may come again.
TEST(ParadoxWrite, UniqueSecondaryIndex) {
  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "in a batch" : "change by change");
    testsupport::TempDir dir;
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef d;
    d.Fields = {F("K", TPdxFieldType::Long), F("Code", TPdxFieldType::Alpha, 8)};
    d.KeyFieldCount = 1;
    TPdxIndexDef ix;
    ix.Name = "ByCode";
    ix.Fields = {1};
    ix.Unique = true;
    d.Indexes.push_back(ix);
    db.CreateTable("u", d);
    auto def = db.TableStructure("u");
    ASSERT_EQ(def.Indexes.size(), 1u);
    EXPECT_TRUE(def.Indexes[0].Unique);
    EXPECT_TRUE(def.Indexes[0].Composite);  // named otherwise than its field: an .XGn index
    EXPECT_EQ(def.Indexes[0].Name, "ByCode");
    auto row = [](int32_t k, const char* code) {
      return std::vector<Variant>{Variant(k), code ? Variant(code) : Variant::Null()};
    };
    {
      auto t = db.OpenTable("u");
      t->BeginBatch();
      for (int32_t k = 0; k < 3000; ++k) t->Append(row(k, ("c" + std::to_string(k)).c_str()));
      t->EndBatch();
    }
    auto t = db.OpenTable("u");  // a fresh handle: the table's values are not known yet
    if (batch) t->BeginBatch();
    t->Append(row(10000, "A"));
    t->Append(row(10001, nullptr));
    t->Append(row(10002, nullptr));  // blanks do not collide
    EXPECT_THROW(t->Append(row(10003, "A")), EPdxKeyViolation);
    EXPECT_THROW(t->Append(row(10004, "c1234")), EPdxKeyViolation);
    if (batch) t->EndBatch();
    TPdxRecordPos pos;
    ASSERT_TRUE(t->FindKey({Variant(int32_t(10001))}, pos));
    EXPECT_THROW(t->Update(pos, row(10001, "A")), EPdxKeyViolation);
    t->Update(pos, row(10001, "B"));
    EXPECT_THROW(t->Append(row(10005, "B")), EPdxKeyViolation);
    ASSERT_TRUE(t->FindKey({Variant(int32_t(10000))}, pos));
    t->Update(pos, row(10000, "Z"));
    t->Append(row(10006, "A"));
    EXPECT_EQ(ReadAll(db, "u").size(), 3004u);
    t->EmptyTable();
    t->Append(row(1, "Z"));
    EXPECT_EQ(ReadAll(db, "u").size(), 1u);
  }
}
