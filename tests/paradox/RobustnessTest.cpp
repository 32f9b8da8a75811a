// Truncated, corrupt and hostile files: every one raises an error that names the file, and
// none crashes, hangs or reads out of bounds (run under the sanitizers in the fuzz build).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/paradox/Paradox.h"
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

TEST(ParadoxRobustness, LoopingChainAndBadCounts) {
  testsupport::TempDir dir;
  TPdxDatabase db(dir.Path().string());
  TPdxTableDef d;
  TPdxFieldDef f;
  f.Name = "N";
  f.Type = TPdxFieldType::Long;
  d.Fields = {f};
  d.BlockSize = 1024;
  db.CreateTable("loop", d);
  auto t = db.OpenTable("loop");
  for (int i = 0; i < 1000; ++i) t->Append({Variant(int32_t(i))});
  t.reset();
  std::string b = FileBytes(dir / "loop.DB");
  size_t hs = 2048;
  std::string looped = b;
  looped[hs + 1024 * 2] = 1;  // block 3's next points back to block 1
  looped[hs + 1024 * 2 + 1] = 0;
  testsupport::TempDir d2;
  Put(d2 / "loop.DB", looped);
  std::string msg = TryRead(d2.Path().string(), "loop");
  EXPECT_NE(msg.find("цепочка блоков зациклена"_ansi), std::string::npos) << AnsiToUtf8(msg);
  std::string badCount = b;
  badCount[hs + 4] = char(0xF0);
  badCount[hs + 5] = char(0x7F);
  Put(d2 / "loop.DB", badCount);
  msg = TryRead(d2.Path().string(), "loop");
  EXPECT_NE(msg.find("loop.DB"), std::string::npos) << msg;
  std::string badHeader = b;
  badHeader[5] = 99;
  Put(d2 / "loop.DB", badHeader);
  msg = TryRead(d2.Path().string(), "loop");
  EXPECT_NE(msg.find("размера блока"_ansi), std::string::npos) << AnsiToUtf8(msg);
}
