// libFuzzer target for the Paradox writer on damaged tables: the input is a .DB file (seeded
// with the sample tables at run time, never copied into the project); the target opens it for
// writing and appends, updates and deletes a few records, then reads them and checks the table's
// consistency. Any EPdxError is fine; a crash, a sanitizer report or a hang is a finding.
//   ./paradox_write_fuzz -max_len=65536 corpus/ ../shared/paradox/samples/fields
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paradox/Paradox.h"

namespace fs = std::filesystem;
using namespace paradox;

static const fs::path& Folder() {
  static fs::path dir = [] {
    fs::path p = fs::temp_directory_path() / ("pdxwfuzz-" + std::to_string(::getpid()));
    fs::create_directories(p);
    return p;
  }();
  return dir;
}

// A plausible value for a field of the given type, varied by `k`.
static Variant Sample(const TPdxFieldDef& f, int k) {
  switch (f.Type) {
    case TPdxFieldType::Alpha: return Variant(std::string(size_t(std::min(f.Size, 1 + k % 7)), char('a' + k % 26)));
    case TPdxFieldType::Short: return Variant(int16_t(k * 31));
    case TPdxFieldType::Long: case TPdxFieldType::Autoinc: return Variant(int32_t(k * 7919 + 1));
    case TPdxFieldType::Date: case TPdxFieldType::Timestamp: return Variant::FromDateTime(40000.25 + k);
    case TPdxFieldType::Time: return Variant::FromDateTime(0.5);
    case TPdxFieldType::Logical: return Variant(bool(k & 1));
    case TPdxFieldType::Bytes: return Variant(std::string(size_t(std::min(f.Size, 3)), char(k)));
    case TPdxFieldType::Memo: case TPdxFieldType::Blob: case TPdxFieldType::FmtMemo:
    case TPdxFieldType::OLE: case TPdxFieldType::Graphic:
      return Variant(std::string(size_t(k * 997 % 5000), char('m' + k % 5)));
    default: return Variant(double(k) / 3);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& dir = Folder();
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) fs::remove(e.path(), ec);
  {
    std::ofstream f(dir / "w.db", std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  try {
    TPdxDatabase db(dir.string(), {"123"});
    auto t = db.OpenTable("w");
    const auto& def = t->Def();
    for (int k = 0; k < 3; ++k) {
      std::vector<Variant> row;
      for (auto& f : def.Fields) row.push_back(Sample(f, k + int(size % 13)));
      try { t->Append(row); } catch (const EPdxError&) {}
    }
    std::vector<TPdxRecordPos> seen;
    {
      auto c = t->OpenCursor();
      int n = 0;
      while (c->Next() && ++n < 1000) seen.push_back(c->Position());
    }
    if (!seen.empty()) {
      std::vector<Variant> row;
      for (auto& f : def.Fields) row.push_back(Sample(f, 99));
      try { t->Update(seen.front(), row); } catch (const EPdxError&) {}
      try { t->Delete(seen.back()); } catch (const EPdxError&) {}
    }
    auto c = t->OpenCursor();
    int n = 0;
    while (c->Next() && ++n < 100000) c->Values();
    db.CheckIntegrity("w");
  } catch (const EPdxError&) {
  }
  return 0;
}
