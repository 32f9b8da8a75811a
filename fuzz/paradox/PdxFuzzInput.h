// The inputs of the Paradox fuzz targets: the files of one table, "T", unpacked into a folder of
// the process's own.
//
// An input is a bare .DB file, or the table's files packed as the magic "PDXF" followed by records
// back to back: u8 kind, u32 length (little-endian), that many bytes (a record cut short by the end
// of the input keeps what there is). The kind says which file the bytes are:
//   'D' T.DB   'M' T.MB   'P' T.PX   'V' T.VAL   'J' T.JNL (the table's rollback journal)
//   0x80 + n   T.Xnn, the secondary index on field n + 1 (nn in hex), for n < 48; T.XGk for n = 48 + k
//   0xC0 + n   the same index's T.Ynn or T.YGk
// Other kinds are skipped; of two records of one kind the later wins. A packed input without a
// .DB is no table, and is skipped.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "platform/paradox/Paradox.h"

namespace pdxfuzz {

namespace fs = std::filesystem;

inline constexpr const char* kTable = "T";
inline constexpr char kMagic[4] = {'P', 'D', 'X', 'F'};

// Files by name, with their bytes.
using TFiles = std::map<std::string, std::string>;

// The extension (upper case) of the file a kind names; empty when it names none.
inline std::string ExtOf(uint8_t kind) {
  switch (kind) {
    case 'D': return "DB";
    case 'M': return "MB";
    case 'P': return "PX";
    case 'V': return "VAL";
    case 'J': return "JNL";
  }
  if (kind < 0x80) return {};
  const int n = kind & 0x3F;
  char ext[8];
  if (n < 48) std::snprintf(ext, sizeof ext, "%c%02X", kind & 0x40 ? 'Y' : 'X', n + 1);
  else std::snprintf(ext, sizeof ext, "%cG%X", kind & 0x40 ? 'Y' : 'X', n - 48);
  return ext;
}

// A folder of this process's own under the temporary folder (put TMPDIR on a tmpfs: writers sync).
inline fs::path Folder(const std::string& prefix) {
  fs::path p = fs::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()));
  fs::create_directories(p);
  return p;
}

// The regular files of a folder.
inline TFiles Snapshot(const fs::path& dir) {
  TFiles files;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) {
    if (!e.is_regular_file(ec)) continue;
    std::ifstream f(e.path(), std::ios::binary);
    files[e.path().filename().string()].assign(std::istreambuf_iterator<char>(f), {});
  }
  return files;
}

// Empties the folder, then writes the files into it.
inline void Lay(const fs::path& dir, const TFiles& files) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
  for (auto& [name, bytes] : files) std::ofstream(dir / name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// The table's files that an input holds; none without a .DB.
inline TFiles Unpack(const uint8_t* data, size_t size) {
  TFiles files;
  const std::string base = std::string(kTable) + ".";
  if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
    files[base + "DB"].assign(reinterpret_cast<const char*>(data), size);
    return files;
  }
  for (size_t at = sizeof kMagic; size - at >= 5;) {
    const uint8_t kind = data[at];
    const size_t n = std::min<size_t>(uint32_t(data[at + 1] | data[at + 2] << 8 | data[at + 3] << 16 | uint32_t(data[at + 4]) << 24),
                                      size - at - 5);
    if (const std::string ext = ExtOf(kind); !ext.empty()) files[base + ext].assign(reinterpret_cast<const char*>(data + at + 5), n);
    at += 5 + n;
  }
  if (!files.count(base + "DB")) files.clear();
  return files;
}

// An input holding the files of one table (of any name), each by its extension; files that no
// kind names are left out.
inline std::string Pack(const TFiles& files) {
  std::string out(kMagic, sizeof kMagic);
  for (auto& [name, bytes] : files) {
    std::string ext = fs::path(name).extension().string();
    for (auto& c : ext) c = char(std::toupper(uint8_t(c)));
    for (int kind = 0; kind < 256; ++kind) {
      if (ext.size() < 2 || ExtOf(uint8_t(kind)) != ext.substr(1)) continue;
      const uint32_t n = uint32_t(bytes.size());
      const char head[5] = {char(kind), char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
      out.append(head, sizeof head).append(bytes);
      break;
    }
  }
  return out;
}

// Reads every record of the cursor, decoding every value.
inline void ReadAll(paradox::TPdxCursor& cur) {
  for (size_t rows = 0; cur.Next() && ++rows < 100000;)
    for (auto& v : cur.Values()) (void)v.IsNull();
}

}  // namespace pdxfuzz
