// Internal to the Paradox engine: sorted runs. Records of one size, put in key order in memory,
// are written to a scratch file beside a table, read back a piece at a time and merged in key
// order with other runs and with records still in memory. A batch's waiting records
// (PdxBatch.cpp) and the entries of a secondary index being rebuilt (PdxIndex.cpp) go through
// them, so that either needs memory for one run only, however many records it sorts.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paradox/PdxFiles.h"

namespace paradox::detail {

// A key's first eight bytes (zeros past its end) as a number: keys whose numbers differ compare
// as their numbers do.
inline uint64_t KeyPrefix(const uint8_t* key, size_t len) {
  if (len >= 8) {
    uint64_t p;
    std::memcpy(&p, key, 8);
    if constexpr (std::endian::native == std::endian::little) p = __builtin_bswap64(p);
    return p;
  }
  uint64_t p = 0;
  for (size_t b = 0; b < 8; ++b) p = (p << 8) | (b < len ? key[b] : 0);
  return p;
}

// One run: a scratch file of records written in key order. The file goes with the object (one
// that cannot be removed stays until the table's next open for writing removes it).
class TRunFile {
 public:
  // Creates the file at `path` for records of `recordSize` bytes; raises EPdxError naming it when
  // it cannot be made.
  TRunFile(TPdxEnv& env, std::string path, size_t recordSize);
  ~TRunFile();
  TRunFile(const TRunFile&) = delete;
  TRunFile& operator=(const TRunFile&) = delete;
  // Adds the next record (written a megabyte at a time); Finish writes the rest and frees the
  // buffer. Raises when a write fails.
  void Append(const void* rec);
  void Finish();
  uint32_t Count() const { return FCount; }
  size_t RecordSize() const { return FSize; }
  const std::string& Path() const { return FPath; }
  // Reads records [from, from + n) of a finished run; raises when the file holds fewer.
  void Read(uint32_t from, uint32_t n, void* out) const;

 private:
  void Flush();

  TPdxEnv& FEnv;
  std::string FPath;
  size_t FSize;
  TFile FFile;
  std::string FBuf;
  uint64_t FWritten = 0;
  uint32_t FCount = 0;
};

// Records of one size from several sources, each in key order, given back in key order. The
// sources meet in a tournament: each match is won by the lower key, compared by the keys' first
// eight bytes taken as a number (the rest only where those agree), and taking the winner's next
// record replays only the matches on its way to the top. Runs are read 256 KB at a time.
class TRunMerge {
 public:
  // Records of `recordSize` bytes ordered by their first `keyLen` bytes (keys are distinct).
  TRunMerge(size_t recordSize, size_t keyLen) : FSize(recordSize), FKeyLen(keyLen) {}
  TRunMerge(const TRunMerge&) = delete;
  TRunMerge& operator=(const TRunMerge&) = delete;
  // Adds a finished run, which must outlive the merge.
  void Add(const TRunFile& run);
  // Adds records in memory: record order[i] of those back to back at `base`, for i = 0, 1, ...;
  // `base` must stay as it is while the merge lasts.
  void Add(const uint8_t* base, std::vector<uint32_t> order);
  // Plays the first matches, once every source is added.
  void Start();
  // The lowest record not yet taken (valid until Pop); null at the end.
  const uint8_t* Peek() const { return FCur; }
  void Pop();

 private:
  struct TSource {
    const TRunFile* Run = nullptr;  // a run, else records in memory
    const uint8_t* Base = nullptr;
    std::vector<uint32_t> Order;
    uint32_t Next = 0;              // the next record to take: of Order, or of the run
    std::string Buf;                // the run's piece read back
    size_t At = 0;
    const uint8_t* Cur = nullptr;
    uint64_t Prefix = 0;
    bool Done = false;
  };
  size_t Winner(size_t a, size_t b) const;
  void Advance(size_t i);
  void Settle();

  size_t FSize, FKeyLen;
  std::vector<TSource> FSources;
  size_t FLeaves = 1;
  std::vector<size_t> FTree;  // FTree[n]: the source that won the match at node n; leaves from FLeaves
  const uint8_t* FCur = nullptr;
};

}  // namespace paradox::detail
