// libFuzzer target for the Paradox writer on damaged tables: the input is a table's files (a bare
// .DB, or a .DB with any of its .MB, .PX, .Xnn/.Ynn, .VAL and journal, packed as PdxFuzzInput.h
// describes; given at run time, never copied into the project); the target opens the table for
// writing and appends, updates and deletes a few records, then reads them and checks the table's
// consistency. Any EPdxError is fine; a crash, a sanitizer report or a hang is a finding.
//   TMPDIR=/dev/shm ./paradox_write_fuzz -max_len=65536 corpus/ start/ ../shared/paradox/samples/fields
#include "fuzz/paradox/PdxFuzzInput.h"

using namespace paradox;
using namespace pdxfuzz;

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
  static const fs::path dir = Folder("pdxwfuzz");
  const TFiles files = Unpack(data, size);
  if (files.empty()) return 0;
  Lay(dir, files);
  try {
    TPdxDatabase db(dir.string(), {"123"});
    auto t = db.OpenTable(kTable);
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
    ReadAll(*t->OpenCursor());
    db.CheckIntegrity(kTable);
  } catch (const EPdxError&) {
  }
  return 0;
}
