// Paradox files read byte by byte, apart from the engine, for checks of what it wrote: a data or
// index file's records in chain order, and a B-tree (.PX, .Ynn) checked against its data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/paradox/PdxFormat.h"

namespace testsupport {

// A DB-format or PX-format file, read whole; an encrypted table's blocks decrypted.
struct TRawFile {
  paradox::detail::THeader H;
  std::string Bytes;
  explicit TRawFile(const std::string& path, uint32_t checksum = 0);
  const uint8_t* Block(uint32_t n) const;  // 1-based
  int Count(uint32_t n) const;             // records in block n
  std::vector<std::string> ChainRecords() const;
};

// Walks a PX/Y tree from its root and checks that the leaf level names every data block of
// `data` in chain order with its first key and record count.
void CheckTree(const std::string& treePath, const TRawFile& data, int keyLen, uint32_t checksum = 0);

}  // namespace testsupport
