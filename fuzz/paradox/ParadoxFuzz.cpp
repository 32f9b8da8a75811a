// libFuzzer target for the Paradox reader. An input is a .DB file alone, or, when it starts
// with "MB" or "XI" and a u16 length in KB, a .DB of that length followed by a .MB file or by a
// secondary index file (.X02, read with the table's structure). The target reads the structure
// and every record, decoding every value, and checks the table's consistency. Any EPdxError is fine; a crash, a sanitizer report, a
// hang or an exception of another kind is a finding.
//
// Seeds: the sample tables, given at run time (never copied into the project):
//   ./paradox_fuzz -max_len=65536 corpus/ ../shared/paradox/samples/fields ../shared/paradox/samples/db
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paradox/Paradox.h"

namespace fs = std::filesystem;

static const fs::path& Folder() {
  static fs::path dir = [] {
    fs::path p = fs::temp_directory_path() / ("pdxfuzz-" + std::to_string(::getpid()));
    fs::create_directories(p);
    return p;
  }();
  return dir;
}

static void Put(const fs::path& p, const uint8_t* data, size_t n) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data), std::streamsize(n));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& dir = Folder();
  size_t dbLen = size;
  // A whole sample file given as the starting input is a .DB alone; longer mutated inputs may carry a .MB
  // after the .DB when they start with a split marker "MB" + u16 length in KB.
  const uint8_t* db = data;
  const uint8_t* mb = nullptr;
  size_t mbLen = 0;
  bool index = size > 4 && data[0] == 'X' && data[1] == 'I';
  if (size > 4 && ((data[0] == 'M' && data[1] == 'B') || index)) {
    size_t k = size_t(data[2] | (data[3] << 8)) * 1024;
    db = data + 4;
    dbLen = std::min(k, size - 4);
    mb = db + dbLen;
    mbLen = size - 4 - dbLen;
  }
  Put(dir / "f.db", db, dbLen);
  std::error_code ec;
  fs::remove(dir / "f.mb", ec);
  fs::remove(dir / "f.X02", ec);
  if (mb && mbLen) Put(dir / (index ? "f.X02" : "f.mb"), mb, mbLen);
  for (auto& e : fs::directory_iterator(dir, ec)) {
    auto name = e.path().filename();
    if (name != "f.db" && name != "f.mb" && name != "f.X02") fs::remove(e.path(), ec);
  }
  try {
    paradox::TPdxDatabase pdx(dir.string(), {"123"});
    auto def = pdx.TableStructure("f");
    auto cur = pdx.OpenCursor("f");
    size_t rows = 0;
    while (cur->Next() && ++rows < 100000) {
      for (auto& v : cur->Values()) (void)v.IsNull();
    }
    pdx.CheckIntegrity("f");
  } catch (const paradox::EPdxError&) {
  }
  return 0;
}
