// Any bytes as a stored structure value. A load either succeeds or raises the read error; either
// way the version is restored, what it made stays within the input's bytes and the one field
// count and one value count that the older layout may read past its end, what it holds can be
// written, and the written value reads back to the same fields and writes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "copier/SemTables.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// What survives a save: RefName and Values only travel with a reference book.
bool SameStored(const TFieldInfo& a, const TFieldInfo& b) {
  if (a.Name != b.Name || a.Name2 != b.Name2 || a.RefBookID != b.RefBookID) return false;
  if (!a.HasRefBook()) return b.RefName.empty() && b.Values.Count() == 0;
  if (a.RefName != b.RefName || a.Values.Count() != b.Values.Count()) return false;
  for (int i = 0; i < a.Values.Count(); ++i)
    if (a.Values.Strings(i) != b.Values.Strings(i)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream in(std::string(reinterpret_cast<const char*>(data), size));
  TTableInfo table;
  try {
    table.LoadFromStream(in);
  } catch (const EReadError&) {
  }
  Check(SemStructVersion == 284);
  std::size_t made = static_cast<std::size_t>(table.Count());
  for (int i = 0; i < table.Count(); ++i) {
    const TFieldInfo* f = table.Fields(i);
    Check(f->RefBookID.size() <= TFieldInfo::MaxRefBookIDLength);
    made += static_cast<std::size_t>(f->Values.Count());
  }
  Check(made <= size + 2 * static_cast<std::size_t>(TTableInfo::MaxCount));

  TMemoryStream out;
  table.SaveToStream(out);
  TTableInfo back;
  out.SetPosition(0);
  back.LoadFromStream(out);
  Check(back.Count() == table.Count());
  for (int i = 0; i < table.Count(); ++i) Check(SameStored(*table.Fields(i), *back.Fields(i)));
  TMemoryStream again;
  back.SaveToStream(again);
  Check(again.DataString() == out.DataString());
  return 0;
}
