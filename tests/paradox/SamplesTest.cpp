// Reads every sample table (../shared/paradox/samples) and checks the values they hold.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "platform/paradox/Paradox.h"
#include "tests/support/TestSupport.h"

using namespace paradox;

namespace {

std::string Samples(const std::string& sub) {
  return (testsupport::SamplesDir() / sub).string();
}

std::vector<std::vector<Variant>> ReadAll(const TPdxDatabase& db, const std::string& table) {
  std::vector<std::vector<Variant>> rows;
  auto c = db.OpenCursor(table);
  while (c->Next()) rows.push_back(c->Values());
  return rows;
}

TDateTime Dt(int y, int m, int d) { return EncodeDate(y, m, d); }
TDateTime Tm(int h, int n, int s) { return EncodeTime(h, n, s, 0); }

std::string FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(ParadoxSamples, ListsTables) {
  REQUIRE_SAMPLES("db/AREACODES.DB", "db/CUSTOMER.DB", "db/DECIMAL.DB", "db/GENERAL.DB", "db/ROMAN8.db");
  TPdxDatabase db(Samples("db"));
  auto names = db.TableNames();
  std::vector<std::string> want{"AREACODES", "CUSTOMER", "DECIMAL", "GENERAL", "ROMAN8"};
  EXPECT_EQ(names, want);
  EXPECT_TRUE(db.TableExists("customer"));
  EXPECT_FALSE(db.TableExists("nothing"));
}

TEST(ParadoxSamples, Bcd) {
  REQUIRE_SAMPLES("fields/bcd.db");
  TPdxDatabase db(Samples("fields"));
  auto def = db.TableStructure("bcd");
  ASSERT_EQ(def.Fields.size(), 3u);
  EXPECT_EQ(def.Fields[0].Type, TPdxFieldType::BCD);
  EXPECT_EQ(def.Fields[0].Size, 2);
  EXPECT_EQ(def.Fields[2].Size, 32);
  auto rows = ReadAll(db, "bcd");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], Variant::FromCurrencyScaled(12300));
  EXPECT_EQ(rows[1][0], Variant::FromCurrencyScaled(-12300));
  EXPECT_EQ(rows[0][1], Variant::FromCurrencyScaled(10000));
  EXPECT_EQ(rows[1][1], Variant::FromCurrencyScaled(-10000));
  EXPECT_NEAR(rows[0][2].ToDouble(), 0.123, 1e-12);
  EXPECT_NEAR(rows[1][2].ToDouble(), -0.123, 1e-12);
  EXPECT_TRUE(rows[2][1].IsNull());
  EXPECT_NEAR(rows[2][2].ToDouble(), 0.9999, 1e-12);
}

TEST(ParadoxSamples, BytesDatesTimes) {
  REQUIRE_SAMPLES("fields/bytes.db", "fields/date35.db", "fields/date4.db", "fields/date7.db", "fields/time.db",
                  "fields/timestamp.db");
  TPdxDatabase db(Samples("fields"));
  auto b = ReadAll(db, "bytes");
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(b[0][0].StrRef().size(), 255u);
  EXPECT_EQ(b[0][0].StrRef().substr(0, 6), std::string("1\0" "2\0" "3\0", 6));
  for (const char* t : {"date35", "date4"}) {
    auto r = ReadAll(db, t);
    ASSERT_EQ(r.size(), 3u) << t;
    EXPECT_EQ(r[0][0], Variant::FromDateTime(Dt(2018, 1, 1))) << t;
    EXPECT_EQ(r[1][0], Variant::FromDateTime(Dt(2018, 2, 1))) << t;
    EXPECT_EQ(r[2][0], Variant::FromDateTime(Dt(2018, 1, 2))) << t;
  }
  EXPECT_EQ(db.TableStructure("date35").VersionId, 4);
  auto d7 = ReadAll(db, "date7");
  ASSERT_EQ(d7.size(), 5u);
  EXPECT_NEAR(d7[0][1].ToDateTime(), Tm(10, 0, 0), 1e-9);
  EXPECT_NEAR(d7[2][1].ToDateTime(), Tm(9, 25, 25), 1e-9);
  EXPECT_TRUE(d7[3][0].IsNull());
  EXPECT_TRUE(d7[4][1].IsNull());
  auto t = ReadAll(db, "time");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_NEAR(t[0][0].ToDateTime(), Tm(1, 0, 1), 1e-9);
  EXPECT_TRUE(t[1][0].IsNull());
  EXPECT_NEAR(t[2][0].ToDateTime(), Tm(3, 0, 3), 1e-9);
  auto ts = ReadAll(db, "timestamp");
  ASSERT_EQ(ts.size(), 2u);
  EXPECT_TRUE(ts[0][0].IsNull());
  EXPECT_NEAR(ts[1][0].ToDateTime(), Dt(2020, 2, 1) + Tm(1, 0, 1), 1e-8);
}

TEST(ParadoxSamples, LogicalLongAutoinc) {
  REQUIRE_SAMPLES("fields/logical.db", "fields/long.db");
  TPdxDatabase db(Samples("fields"));
  auto l = ReadAll(db, "logical");
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[0][0], Variant(true));
  EXPECT_EQ(l[1][0], Variant(false));
  auto def = db.TableStructure("long");
  EXPECT_EQ(def.KeyFieldCount, 1);
  EXPECT_EQ(def.Fields[0].Type, TPdxFieldType::Autoinc);
  EXPECT_EQ(def.Fields[1].Type, TPdxFieldType::Long);
  auto r = ReadAll(db, "long");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0][0], Variant(int32_t(1)));
  EXPECT_EQ(r[1][1], Variant(int32_t(2)));
  EXPECT_TRUE(r[2][1].IsNull());
}

TEST(ParadoxSamples, Blobs) {
  REQUIRE_SAMPLES("fields/memo.db", "fields/memo.mb", "fields/fmemo.db", "fields/fmemo.mb", "fields/graphic240.db",
                  "fields/graphic240.mb", "fields/ole.db", "fields/ole.mb");
  TPdxDatabase db(Samples("fields"));
  auto def = db.TableStructure("memo");
  EXPECT_EQ(def.Fields[1].Type, TPdxFieldType::Memo);
  EXPECT_EQ(def.Fields[1].Size, 240);
  auto m = ReadAll(db, "memo");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0][1].StrRef().size(), 555u);  // in a suballocated .MB block
  EXPECT_EQ(m[0][1].StrRef().substr(0, 12), "012345678900");
  EXPECT_EQ(m[1][1], Variant("01234567890\n"));  // whole in the leader
  auto f = ReadAll(db, "fmemo");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0][1].StrRef().size(), 169u);
  EXPECT_EQ(f[1][1].StrRef().size(), 726u);
  auto g = ReadAll(db, "graphic240");
  ASSERT_EQ(g.size(), 1u);
  ASSERT_EQ(g[0][1].StrRef().size(), 20078u);  // the 8-byte prefix removed
  EXPECT_EQ(g[0][1].StrRef().substr(0, 2), "BM");
  auto o = ReadAll(db, "ole");
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0][1].StrRef().size(), 365920u);  // a single-blob block
}

TEST(ParadoxSamples, Encrypted) {
  REQUIRE_SAMPLES("encrypt/encrypted.db", "encrypt/encrypted35.db", "encrypt/encryptedmemo.db",
                  "encrypt/encryptedmemo.mb");
  EXPECT_EQ(TPdxDatabase::PasswordChecksum("123"), 0x0A25E09Au);
  TPdxDatabase nopw(Samples("encrypt"));
  try {
    nopw.OpenCursor("encrypted");
    FAIL() << "opened without a password";
  } catch (const EPdxPassword& e) {
    EXPECT_NE(e.Message().find("encrypted.db"), std::string::npos) << e.Message();
  }
  TPdxDatabase wrong(Samples("encrypt"), {"1234"});
  EXPECT_THROW(wrong.OpenCursor("encrypted35"), EPdxPassword);
  TPdxDatabase db(Samples("encrypt"), {"x", "123"});
  auto r = ReadAll(db, "encrypted");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0][1], Variant("Value 1"));
  EXPECT_EQ(r[3][1], Variant("Last one"));
  EXPECT_TRUE(db.TableStructure("encrypted").Encrypted);
  auto r35 = ReadAll(db, "encrypted35");
  ASSERT_EQ(r35.size(), 2u);
  EXPECT_EQ(r35[0][0], Variant(1.0));
  EXPECT_EQ(r35[0][1], Variant("Test 1"));
  EXPECT_EQ(r35[1][1], Variant("Test2"));
  auto m = ReadAll(db, "encryptedmemo");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0][0].StrRef().size(), 55855u);
  EXPECT_NE(m[0][0].StrRef().find("The PARADOX File Structure"), std::string::npos);
  EXPECT_EQ(m[1][0].StrRef().size(), 494832u);
}

TEST(ParadoxSamples, CustomerStructureAndValues) {
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/CUSTOMER.MB", "db/CUSTOMER.X06");
  TPdxDatabase db(Samples("db"));
  auto def = db.TableStructure("CUSTOMER");
  EXPECT_EQ(def.VersionId, 12);
  ASSERT_EQ(def.Fields.size(), 10u);
  EXPECT_EQ(def.KeyFieldCount, 1);
  EXPECT_EQ(def.Fields[0].Name, "CustNo");
  EXPECT_EQ(def.Fields[0].Type, TPdxFieldType::Autoinc);
  EXPECT_EQ(def.Fields[1].Size, 51);
  EXPECT_EQ(def.Fields[8].Type, TPdxFieldType::Memo);
  EXPECT_EQ(def.Fields[8].Size, 100);
  ASSERT_EQ(def.Indexes.size(), 1u);
  EXPECT_EQ(def.Indexes[0].Name, "City");
  EXPECT_EQ(def.Indexes[0].Fields, std::vector<int>{5});
  EXPECT_FALSE(def.Indexes[0].Composite);
  EXPECT_FALSE(def.Indexes[0].Unique);
  auto all = def.AllIndexes();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(all[0].Primary);
  EXPECT_TRUE(all[0].Unique);
  EXPECT_EQ(all[0].Fields, std::vector<int>{0});
  auto r = ReadAll(db, "CUSTOMER");
  ASSERT_EQ(r.size(), 20u);
  EXPECT_EQ(r[0][1], Variant("Luke"));
  EXPECT_EQ(r[0][5], Variant("Santa Cruz"));
  EXPECT_EQ(r[0][8], Variant("Small comment (less 100 symbols)"));
  EXPECT_EQ(r[0][9], Variant::FromDateTime(Dt(1996, 2, 2)));
  EXPECT_EQ(r[3][8].StrRef().size(), 56864u);
  EXPECT_TRUE(r[5][8].IsNull());
  for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i][0], Variant(int32_t(i + 1)));
}

TEST(ParadoxSamples, AreaCodesCompositeIndexAndBigBlocks) {
  REQUIRE_SAMPLES("db/AREACODES.DB", "db/AREACODES.XG0");
  TPdxDatabase db(Samples("db"));
  auto def = db.TableStructure("AREACODES");
  EXPECT_EQ(def.BlockSize, 16384);
  ASSERT_EQ(def.Indexes.size(), 1u);
  EXPECT_EQ(def.Indexes[0].Name, "ste");
  EXPECT_TRUE(def.Indexes[0].Composite);
  EXPECT_EQ(def.Indexes[0].Fields, std::vector<int>{1});
  auto r = ReadAll(db, "AREACODES");
  ASSERT_EQ(r.size(), 370u);
  EXPECT_EQ(r[1][0], Variant("202"));
  EXPECT_EQ(r[1][1], Variant("DC"));
  EXPECT_EQ(r[1][2], Variant("Washington D.C."));
  for (size_t i = 1; i < r.size(); ++i) EXPECT_LT(r[i - 1][0].StrRef(), r[i][0].StrRef());
}

TEST(ParadoxSamples, CodePagesAndNumbers) {
  REQUIRE_SAMPLES("db/GENERAL.DB", "db/DECIMAL.DB", "db/ROMAN8.db");
  TPdxDatabase db(Samples("db"));
  auto g = ReadAll(db, "GENERAL");  // labelled cp936: bytes pass through
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(g[2][0], Variant(int32_t(333333333)));
  EXPECT_EQ(g[2][1], Variant("Elizabet"));
  EXPECT_EQ(g[1][2], Variant(150.0));
  auto d = ReadAll(db, "DECIMAL");
  ASSERT_EQ(d.size(), 9u);
  EXPECT_EQ(d[0][0], Variant(-200.0));
  EXPECT_EQ(d[2][0], Variant(-1.0));
  EXPECT_EQ(d[5][0], Variant(200.0));
  auto r8 = ReadAll(db, "ROMAN8");
  ASSERT_EQ(r8.size(), 1u);
  EXPECT_EQ(r8[0][0].StrRef().size(), 4u);
}

TEST(ParadoxSamples, SecondaryIndexesOfJoins) {
  REQUIRE_SAMPLES("joins/C.DB", "joins/C.X02", "joins/C.X03", "joins/case.db", "joins/case.x01");
  TPdxDatabase db(Samples("joins"));
  auto c = db.TableStructure("C");
  ASSERT_EQ(c.Indexes.size(), 2u);
  EXPECT_EQ(c.Indexes[0].Name, "A");
  EXPECT_EQ(c.Indexes[1].Name, "B");
  EXPECT_EQ(c.Indexes[1].Fields, std::vector<int>{2});
  auto cs = db.TableStructure("case");
  EXPECT_EQ(cs.KeyFieldCount, 0);
  ASSERT_EQ(cs.Indexes.size(), 1u);
  EXPECT_EQ(cs.Indexes[0].Fields, std::vector<int>{0});
  auto r = ReadAll(db, "case");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0][0], Variant("case"));
}

TEST(ParadoxSamples, ReadingChangesNoByte) {
  REQUIRE_SAMPLES("db/CUSTOMER.DB", "db/CUSTOMER.MB");
  std::string before = FileBytes(Samples("db/CUSTOMER.DB")) + FileBytes(Samples("db/CUSTOMER.MB"));
  {
    TPdxDatabase db(Samples("db"));
    ReadAll(db, "CUSTOMER");
    db.TableStructure("CUSTOMER");
  }
  EXPECT_EQ(before, FileBytes(Samples("db/CUSTOMER.DB")) + FileBytes(Samples("db/CUSTOMER.MB")));
}

// A Paradox 3.0-style file: the header only as long as its contents (not 2048) and the blocks
// right after it. Made from the v3.5 sample by cutting its header short.
TEST(ParadoxSamples, HeaderShorterThan2048) {
  REQUIRE_SAMPLES("fields/date35.db");
  std::string b = FileBytes(Samples("fields/date35.db"));
  ASSERT_GT(b.size(), 2048u);
  uint16_t used = uint16_t(uint8_t(b[0x51]) | (uint8_t(b[0x52]) << 8));
  ASSERT_GT(used, 0x58);
  ASSERT_LT(used, 2048);
  std::string v3 = b.substr(0, used) + b.substr(2048);
  v3[2] = char(used & 0xFF);
  v3[3] = char(used >> 8);
  v3[0x39] = 3;
  testsupport::TempDir dir;
  {
    std::ofstream f(dir / "v3.db", std::ios::binary);
    f.write(v3.data(), std::streamsize(v3.size()));
  }
  TPdxDatabase db(dir.Path().string());
  auto def = db.TableStructure("v3");
  EXPECT_EQ(def.VersionId, 3);
  auto r = ReadAll(db, "v3");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2][0], Variant::FromDateTime(Dt(2018, 1, 2)));
}
