#include "tests/support/ParadoxFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <tuple>

namespace testsupport {

namespace detail = paradox::detail;

TRawFile::TRawFile(const std::string& path, uint32_t checksum) {
  std::ifstream f(path, std::ios::binary);
  Bytes.assign(std::istreambuf_iterator<char>(f), {});
  H = detail::ParseHeader(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size(), path);
  if (checksum)  // an encrypted table's file: decrypt every block
    for (size_t at = H.HeaderSize, n = 1; at + H.BlockSize <= Bytes.size(); at += H.BlockSize, ++n)
      detail::DecryptDbBlock(reinterpret_cast<uint8_t*>(&Bytes[at]), H.BlockSize, checksum, uint32_t(n));
}

const uint8_t* TRawFile::Block(uint32_t n) const {
  return reinterpret_cast<const uint8_t*>(Bytes.data()) + H.HeaderSize + size_t(n - 1) * H.BlockSize;
}

int TRawFile::Count(uint32_t n) const {
  int16_t last = int16_t(detail::Get16(Block(n) + 4));
  return last < 0 ? 0 : last / H.RecordSize + 1;
}

std::vector<std::string> TRawFile::ChainRecords() const {
  std::vector<std::string> out;
  for (uint32_t n = H.FirstBlock; n; n = detail::Get16(Block(n))) {
    for (int i = 0; i < Count(n); ++i)
      out.emplace_back(reinterpret_cast<const char*>(Block(n) + 6 + i * H.RecordSize), H.RecordSize);
    if (out.size() > 10000000) break;
  }
  return out;
}

void CheckTree(const std::string& treePath, const TRawFile& data, int keyLen, uint32_t checksum) {
  TRawFile px(treePath, checksum);
  ASSERT_EQ(px.H.RecordSize, keyLen + 6) << treePath;
  std::vector<std::tuple<std::string, uint32_t, uint32_t>> leaves;
  std::function<void(uint32_t, int)> walk = [&](uint32_t n, int level) {
    for (int i = 0; i < px.Count(n); ++i) {
      const uint8_t* e = px.Block(n) + 6 + i * px.H.RecordSize;
      uint32_t blk = uint16_t(detail::GetShort(e + keyLen));
      uint32_t cnt = uint16_t(detail::GetShort(e + keyLen + 2));
      if (level == 1) leaves.emplace_back(std::string(reinterpret_cast<const char*>(e), keyLen), blk, cnt);
      else walk(blk, level - 1);
    }
  };
  if (px.H.RootBlock) walk(px.H.RootBlock, px.H.Levels);
  std::vector<std::tuple<std::string, uint32_t, uint32_t>> want;
  for (uint32_t n = data.H.FirstBlock; n; n = detail::Get16(data.Block(n)))
    if (data.Count(n) > 0)
      want.emplace_back(std::string(reinterpret_cast<const char*>(data.Block(n) + 6), keyLen), n, data.Count(n));
  ASSERT_EQ(leaves.size(), want.size()) << treePath;
  EXPECT_TRUE(leaves == want) << treePath;
}

}  // namespace testsupport
