// libFuzzer target for the Paradox reader, and for what a writer's open does to a table it finds.
// An input is a table's files (a bare .DB, or a .DB with any of its .MB, .PX, .Xnn/.Ynn, .VAL and
// journal, packed as PdxFuzzInput.h describes). The target reads the structure and every record,
// decoding every value, and checks the table's consistency; reading must have changed no file of
// the folder. Then it opens the table for writing (which plays back or sets aside a journal and
// rebuilds indexes out of date), reads it again and checks it again. Any EPdxError is fine; a
// crash, a sanitizer report, a hang, an exception of another kind or a file changed by reading is
// a finding.
//
// Starting inputs, given at run time (never copied into the project): the sample tables, and what
// paradox_corpus makes:
//   ./paradox_corpus start/
//   TMPDIR=/dev/shm ./paradox_fuzz -max_len=65536 corpus/ start/ ../shared/paradox/samples/fields ../shared/paradox/samples/db
#include <cstdio>
#include <cstdlib>

#include "fuzz/paradox/PdxFuzzInput.h"

using namespace pdxfuzz;

// Aborts, naming the files, when the folder no longer holds `before`.
static void RequireUnchanged(const fs::path& dir, const TFiles& before) {
  const TFiles after = Snapshot(dir);
  if (after == before) return;
  for (auto& [name, bytes] : before)
    if (!after.count(name) || after.at(name) != bytes) std::fprintf(stderr, "reading changed %s\n", name.c_str());
  for (auto& [name, bytes] : after)
    if (!before.count(name)) std::fprintf(stderr, "reading made %s\n", name.c_str());
  std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path dir = Folder("pdxfuzz");
  const TFiles files = Unpack(data, size);
  if (files.empty()) return 0;
  Lay(dir, files);
  const TFiles before = Snapshot(dir);
  try {
    paradox::TPdxDatabase pdx(dir.string(), {"123"});
    pdx.TableStructure(kTable);
    ReadAll(*pdx.OpenCursor(kTable));
    pdx.CheckIntegrity(kTable);
  } catch (const paradox::EPdxError&) {
  }
  RequireUnchanged(dir, before);
  try {
    paradox::TPdxDatabase pdx(dir.string(), {"123"});
    auto table = pdx.OpenTable(kTable);
    ReadAll(*table->OpenCursor());
    pdx.CheckIntegrity(kTable);
  } catch (const paradox::EPdxError&) {
  }
  return 0;
}
