// Truncated, corrupt and hostile files: every one raises an error that names the file, and
// none crashes, hangs or reads out of bounds (run under the sanitizers in the fuzz build).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/paradox/Paradox.h"
#include "tests/paradox/CrashScenarios.h"
#include "tests/support/TestSupport.h"

using namespace paradox;
namespace fs = std::filesystem;

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
void Put(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

// Reads the whole table; returns the error message or "" when it read.
std::string TryRead(const std::string& folder, const std::string& table) {
  try {
    TPdxDatabase db(folder, {"123"});
    db.TableStructure(table);
    auto c = db.OpenCursor(table);
    int guard = 0;
    while (c->Next() && ++guard < 1000000) c->Values();
    return "";
  } catch (const EPdxError& e) {
    return e.Message();
  }
}

}  // namespace

TEST(ParadoxRobustness, TruncatedAndFlippedSamples) {
  std::vector<fs::path> tables;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(testsupport::SamplesDir(), ec)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".db" || ext == ".DB") tables.push_back(e.path());
  }
  if (tables.empty()) GTEST_SKIP() << "no sample tables in " << testsupport::SamplesDir().string();
  std::mt19937 rng(1);
  for (const fs::path& table : tables) {
    const std::string ext = table.extension().string();
    std::string bytes = FileBytes(table.string());
    std::string mb = FileBytes(fs::path(table).replace_extension(ext == ".db" ? ".mb" : ".MB").string());
    for (int round = 0; round < 40; ++round) {
      testsupport::TempDir dir;
      std::string b = bytes;
      if (round < 10) {
        b.resize(rng() % b.size());
      } else {
        for (int k = 0; k < 1 + round % 8; ++k) b[rng() % b.size()] = char(rng());
      }
      Put(dir / "t.db", b);
      if (!mb.empty()) {
        std::string m = mb;
        if (round % 3 == 0) for (int k = 0; k < 8; ++k) m[rng() % m.size()] = char(rng());
        if (round % 5 == 0) m.resize(rng() % m.size());
        Put(dir / "t.mb", m);
      }
      std::string msg = TryRead(dir.Path().string(), "t");
      if (!msg.empty()) {
        EXPECT_NE(msg.find("t."), std::string::npos) << msg;
      }
    }
  }
}

// Damage to the block chain or the header, or records pointing into an .MB that is gone, is an
// error that names the file, for readers and, the same error, for a writer's open, whether or not
// it rebuilds the indexes from the chain: a table is never read, or written, as a shorter one.
TEST(ParadoxRobustness, ADamagedChainIsAnErrorOfItsTable) {
  testsupport::TempDir dir;
  {
    TPdxDatabase db(dir.Path().string());
    TPdxTableDef keyed;
    keyed.Fields = {{"N", TPdxFieldType::Long}};
    keyed.KeyFieldCount = 1;
    keyed.BlockSize = 1024;
    db.CreateTable("loop", keyed);
    TPdxTableDef flat;
    flat.Fields = {{"N", TPdxFieldType::Long}, {"M", TPdxFieldType::Memo, 1}};
    flat.BlockSize = 1024;
    db.CreateTable("flat", flat);
    for (const std::string name : {"loop", "flat"}) {
      auto t = db.OpenTable(name);
      t->BeginBatch();
      for (int i = 0; i < 1000; ++i)
        t->Append(name == "loop" ? std::vector<Variant>{Variant(int32_t(i))} : std::vector<Variant>{Variant(int32_t(i)), Variant(std::string(20, 'm'))});
      t->EndBatch();
    }
  }
  for (const std::string table : {"loop", "flat"}) {
    SCOPED_TRACE(table);
    const std::string b = FileBytes(dir / (table + ".DB"));
    const size_t hs = 2048, bs = 1024, blocks = (b.size() - hs) / bs;
    auto block = [&](size_t n) { return hs + (n - 1) * bs; };
    struct TCase {
      const char* Name;
      size_t At;
      std::string Bytes;
      const char* Says;
    } cases[] = {
        {"a next link back to block 1", block(3), std::string("\x01\x00", 2), "блок 1 ссылается назад"},
        {"a count past the block", block(1) + 4, "\xF0\x7F", ".DB"},
        {"an unknown block size", 5, "\x63", "размера блока"},
        {"the first block zeroed", block(1), std::string(bs, '\0'), "цепочка блоков кончается блоком 1"},
        {"a middle block zeroed", block(blocks / 2), std::string(bs, '\0'), "ссылается назад"},
        {"the last block zeroed", block(blocks), std::string(bs, '\0'), "ссылается назад"},
        {"more records in the header", 6, "\xE8\x07\x01", "по заголовку"},
        {"records in the header, no first block", 0x0E, std::string(2, '\0'), "по заголовку"},
        {"the .MB gone", 0, "", "не найден"},
    };
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Name);
      const bool mb = c.Bytes.empty();
      if (mb && table != "flat") continue;
      testsupport::TempDir d2;
      for (const auto& e : fs::directory_iterator(dir.Path()))
        if (e.path().stem() == table) fs::copy_file(e.path(), d2.Path() / e.path().filename());
      if (mb) fs::remove(d2 / (table + ".MB"));
      std::string damaged = b;
      damaged.replace(c.At, c.Bytes.size(), c.Bytes);
      Put(d2 / (table + ".DB"), damaged);
      const std::string msg = TryRead(d2.Path().string(), table);
      EXPECT_NE(msg.find(Utf8ToAnsi(c.Says)), std::string::npos) << AnsiToUtf8(msg);
      EXPECT_NE(msg.find(table + ".DB"), std::string::npos) << AnsiToUtf8(msg);
      // "Indexes out of date" as it is, and set: the next writer then rebuilds them from the chain.
      for (char outOfDate : {damaged[0x4F], '\x01'}) {
        damaged[0x4F] = outOfDate;
        Put(d2 / (table + ".DB"), damaged);
        try {
          TPdxDatabase(d2.Path().string()).OpenTable(table);
          ADD_FAILURE() << "a writer opened the table";
        } catch (const EPdxError& e) {
          EXPECT_EQ(AnsiToUtf8(e.Message()), AnsiToUtf8(msg));
        }
        EXPECT_EQ(FileBytes(d2 / (table + ".DB")), damaged);
      }
    }
  }
}

// A keyed table's .PX or secondary .Ynn that a process killed while making it left missing, or an
// empty new table's (made without a sync) that a power cut left missing or with its blocks lost,
// is made again at the next open for writing.
TEST(ParadoxRobustness, AMissingIndexFileComesBackWithTheNextWriter) {
  struct TCase {
    const char* File;
    int Records;
    bool Torn;  // there, its blocks zeroed
  } cases[] = {{"K.PX", 500, false}, {"K.Y02", 500, false}, {"K.PX", 0, false},
               {"K.Y02", 0, false},  {"K.PX", 0, true},     {"K.Y02", 0, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.File) + (c.Records ? " of a full table" : " of an empty table") + (c.Torn ? ", torn" : ", missing"));
    testsupport::TempDir dir;
    {
      TPdxDatabase db(dir.Path().string());
      if (c.Records) pdxcrash::MakeKeyed(db, "K", c.Records, 4096);
      else db.CreateTable("K", pdxcrash::KeyedDef(4096));
    }
    if (c.Torn) {
      const std::string bytes = FileBytes(dir / c.File);
      Put(dir / c.File, bytes.substr(0, 2048) + std::string(bytes.size() - 2048, '\0'));
    } else {
      fs::remove(dir / c.File);
    }
    TPdxDatabase db(dir.Path().string());
    db.OpenTable("K");
    EXPECT_TRUE(fs::exists(dir / c.File));
    EXPECT_EQ(db.CheckIntegrity("K"), std::vector<std::string>{});
  }
}

// A secondary index file of another table (its B-tree file with it, or alone) is an error naming
// that file when the table's structure is read, rather than an index on other fields than its own.
TEST(ParadoxRobustness, AnIndexFileOfAnotherTableIsAnErrorNamingIt) {
  testsupport::TempDir made, others;
  {
    TPdxDatabase db(made.Path().string());
    pdxcrash::MakeKeyed(db, "T", 50, 1024);  // K Long, V Alpha 40; an index on V: T.X02, T.Y02
    TPdxDatabase odb(others.Path().string());
    TPdxTableDef d;
    d.Fields = {{"K", TPdxFieldType::Long}, {"W", TPdxFieldType::Long}};
    d.KeyFieldCount = 1;
    TPdxIndexDef onW, both;
    onW.Fields = {1};
    both.Name = "KW";
    both.Fields = {0, 1};
    d.Indexes = {onW, both};  // U.X02, U.Y02, U.XG0, U.YG0
    odb.CreateTable("U", d);
  }
  struct TCase {
    std::vector<std::string> Taken;  // U's files put in as T's
    const char* Named;
  } cases[] = {{{"X02", "Y02"}, "T.X02"}, {{"Y02"}, "T.Y02"}, {{"XG0", "YG0"}, "T.XG0"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Named);
    testsupport::TempDir dir;
    pdxcrash::CopyFolder(made.Path(), dir.Path());
    for (const std::string& ext : c.Taken) fs::copy_file(others / ("U." + ext), dir / ("T." + ext), fs::copy_options::overwrite_existing);
    try {
      TPdxDatabase(dir.Path().string()).TableStructure("T");
      ADD_FAILURE() << "the structure was read";
    } catch (const EPdxError& e) {
      const std::string msg = AnsiToUtf8(e.Message());
      EXPECT_NE(msg.find(std::string(c.Named) + "\" повреждён или взят от другой таблицы"), std::string::npos) << msg;
    }
  }
}

namespace {

// Writes `bytes` at `at` in the file.
void Patch(const std::string& path, size_t at, const std::string& bytes) {
  std::string b = FileBytes(path);
  b.replace(at, bytes.size(), bytes);
  Put(path, b);
}

std::string U16(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }

}  // namespace

// Each kind of damage to a sound keyed table with blobs, a free block and a secondary index is
// found by the consistency check, whose problem names the damaged file.
TEST(ParadoxRobustness, IntegrityCheckFindsEachDamage) {
  testsupport::TempDir made;
  {
    TPdxDatabase db(made.Path().string());
    TPdxTableDef d;
    d.Fields = {{"K", TPdxFieldType::Long}, {"Name", TPdxFieldType::Alpha, 12}, {"Note", TPdxFieldType::Memo, 1}};
    d.KeyFieldCount = 1;
    d.BlockSize = 1024;
    TPdxIndexDef byName;
    byName.Fields = {1};
    d.Indexes.push_back(byName);
    db.CreateTable("t", d);
    auto t = db.OpenTable("t");
    for (int32_t k = 0; k < 120; ++k)
      t->Append({Variant(k), Variant("n" + std::to_string(k % 7)), Variant(std::string(20 + k % 3 * 3000, char('a' + k % 26)))});
    for (int32_t k = 37; k < 80; ++k) {  // empties the second block: it goes to the free list
      TPdxRecordPos pos;
      ASSERT_TRUE(t->FindKey({Variant(k)}, pos));
      t->Delete(pos);
    }
    ASSERT_EQ(db.CheckIntegrity("t"), std::vector<std::string>{});
  }
  const std::string table = FileBytes(made / "t.DB");
  const size_t hs = 2048, bs = 1024, rs = 4 + 12 + 11;
  auto block = [&](uint32_t n) { return hs + (n - 1) * bs; };
  const uint16_t second = uint16_t(uint8_t(table[block(1)]) | uint8_t(table[block(1) + 1]) << 8);
  const uint16_t firstFree = uint16_t(uint8_t(table[0x4D]) | uint8_t(table[0x4E]) << 8);
  ASSERT_NE(firstFree, 0);
  const std::string memo = table.substr(block(1) + 6 + 4 + 12, 11);
  struct TCase {
    const char* Name;
    const char* File;
    size_t At;
    std::string Bytes;
    const char* Found;
    const char* Named = nullptr;  // the file the problem names, when not the damaged one
  } cases[] = {
      {"two keys swapped", "t.DB", block(1) + 6, table.substr(block(1) + 6 + rs, 4) + table.substr(block(1) + 6 + 4, rs - 4) + table.substr(block(1) + 6, 4),
       "не больше предыдущего"},
      {"a record count in the header", "t.DB", 0x06, U16(7), "в заголовке записей"},
      {"a block pointing back wrongly", "t.DB", block(second) + 2, U16(second), "ссылается назад"},
      {"a loop in the chain", "t.DB", block(second), U16(1), "зациклена"},
      {"a free block in the chain", "t.DB", 0x4D, U16(second), "в списке свободных"},
      {"two records sharing a value", "t.DB", block(1) + 6 + rs + 16, memo, "ссылаются две записи", "t.MB"},
      {"a value pointer into the header unit", "t.DB", block(1) + 6 + 16 + 1, std::string("\xFF\0\0\0", 4), "не является", "t.MB"},
      {"a value block overwritten", "t.MB", 4096, std::string(1, '\x04'), "не является"},
      {"a key in the primary index", "t.PX", 2048 + 6, std::string(4, '\x7F'), "первичный индекс не совпадает"},
      {"an entry of the secondary index", "t.X02", 2048 + 6, "zz", "не совпадает с записями"},
      {"a block of the secondary index's tree", "t.Y02", 2048 + 6, "zz", "дерево индекса не совпадает"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testsupport::TempDir dir;
    for (const auto& e : fs::directory_iterator(made.Path())) fs::copy_file(e.path(), dir.Path() / e.path().filename());
    Patch(dir / c.File, c.At, c.Bytes);
    TPdxDatabase db(dir.Path().string());
    std::vector<std::string> problems;
    ASSERT_NO_THROW(problems = db.CheckIntegrity("t"));
    std::string all;
    for (auto& p : problems) all += AnsiToUtf8(p) + "\n";
    EXPECT_NE(all.find(c.Found), std::string::npos) << all;
    EXPECT_NE(all.find(c.Named ? c.Named : c.File), std::string::npos) << all;
  }
}
