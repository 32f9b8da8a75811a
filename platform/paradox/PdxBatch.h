// Internal to the Paradox engine: the keyed records a batch holds back, and the filters that
// spare most lookups of a key. Their design, and the benchmark that justifies each structure, is
// described at the top of PdxBatch.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxRuns.h"

namespace paradox::detail {

// The hash of a key's bytes, its bits spread evenly.
inline uint64_t KeyHash(const uint8_t* key, int len) {
  uint64_t h = std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key), size_t(len)));
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

// Answers "perhaps" for every key hash added to it and "no" for nearly every other (with 16 bits a
// key, about one answer in a thousand is a wrong "perhaps" for each full stage; with 48, about one
// in a million). A key sets one bit in each word of one 64-byte line, so that a look reads one
// line of each stage. It grows in stages, each holding twice the keys of the one before, so that
// it never needs the keys again.
class TKeyFilter {
 public:
  explicit TKeyFilter(size_t bitsPerKey = 16) : FBitsPerKey(bitsPerKey) {}
  void Clear() { FStages.clear(); }
  void Add(uint64_t h) {
    if (FStages.empty() || FStages.back().Count == FStages.back().Capacity) {
      size_t capacity = FStages.empty() ? kFirstCapacity : FStages.back().Capacity * 2;
      FStages.push_back({std::vector<TLine>(capacity * FBitsPerKey / 512), 0, capacity});
    }
    TStage& s = FStages.back();
    TLine& line = s.Lines[LineOf(s, h)];
    const uint64_t m = Mix(h);
    for (int i = 0; i < 8; ++i) line.W[i] |= Bit(m, i);
    ++s.Count;
  }
  bool MayHold(uint64_t h) const {
    const uint64_t m = Mix(h);
    for (const TStage& s : FStages) {
      const TLine& line = s.Lines[LineOf(s, h)];
      uint64_t miss = 0;
      for (int i = 0; i < 8; ++i) miss |= Bit(m, i) & ~line.W[i];
      if (!miss) return true;
    }
    return false;
  }
  // Bits of a hash that neither place a key nor set its bits while a stage of 16 bits a key holds
  // up to 2^21 keys.
  static uint16_t Spare(uint64_t h) { return uint16_t(h >> 32); }

 private:
  struct alignas(64) TLine {
    uint64_t W[8] = {};
  };
  struct TStage {
    std::vector<TLine> Lines;
    size_t Count = 0, Capacity = 0;
  };
  static inline constexpr size_t kFirstCapacity = size_t(1) << 18;
  // The line from the hash's high half; the bits from its low half, spread by one product.
  static size_t LineOf(const TStage& s, uint64_t h) { return size_t(((h >> 32) * s.Lines.size()) >> 32); }
  static uint64_t Mix(uint64_t h) { return uint64_t(uint32_t(h)) * 0x9E3779B97F4A7C15ull; }
  static uint64_t Bit(uint64_t m, int i) { return uint64_t(1) << ((m >> (16 + 6 * i)) & 63); }
  size_t FBitsPerKey;
  std::vector<TStage> FStages;
};

// An open-addressing set of record numbers, found by their keys' hashes; the records themselves
// are kept by the caller, who says whether a record holds the key sought.
class TRecordSet {
 public:
  // Empties the set; with `keep` it keeps its room for as many records again.
  void Clear(bool keep) {
    if (keep) std::fill(FSlots.begin(), FSlots.end(), TSlot{}); else FSlots = {};
    FCount = 0;
  }
  template <class TSame> bool Find(uint64_t h, TSame same) const {
    if (FSlots.empty()) return false;
    const size_t mask = FSlots.size() - 1;
    for (size_t i = uint32_t(h) & mask; FSlots[i].Rec; i = (i + 1) & mask)
      if (FSlots[i].Hash == uint32_t(h) && same(FSlots[i].Rec - 1)) return true;
    return false;
  }
  void Insert(uint64_t h, uint32_t rec) {
    if ((FCount + 1) * 2 > FSlots.size()) Grow();
    Put({uint32_t(h), rec + 1});
    ++FCount;
  }

 private:
  struct TSlot {
    uint32_t Hash = 0;  // the hash's low half, which also places the slot
    uint32_t Rec = 0;   // the record's number + 1; 0: the slot is free
  };
  void Put(const TSlot& slot) {
    const size_t mask = FSlots.size() - 1;
    size_t i = slot.Hash & mask;
    while (FSlots[i].Rec) i = (i + 1) & mask;
    FSlots[i] = slot;
  }
  void Grow() {
    std::vector<TSlot> old(std::max<size_t>(1024, FSlots.size() * 2));
    old.swap(FSlots);
    for (const TSlot& slot : old)
      if (slot.Rec) Put(slot);
  }
  std::vector<TSlot> FSlots;
  size_t FCount = 0;
};

// What a lookup of a key found: whether the table holds it, and whether it comes above every key
// of the table (then no lookup was needed). Its hash is made once, when first asked for.
class TKeyLook {
 public:
  TKeyLook(const uint8_t* key, int keyLen) : FKey(key), FKeyLen(keyLen) {}
  const uint8_t* Key() const { return FKey; }
  uint64_t Hash() const {
    if (!FHashed) {
      FHash = KeyHash(FKey, FKeyLen);
      FHashed = true;
    }
    return FHash;
  }
  bool Taken = false;
  bool Above = false;

 private:
  const uint8_t* FKey;
  int FKeyLen;
  mutable uint64_t FHash = 0;
  mutable bool FHashed = false;
};

// The key filter of a keyed table. While it is on, every key of the table (in its blocks and
// waiting in its batch) has passed through it, so that a key it has not seen is not in the table;
// off, it answers "perhaps" for every key. It goes on for a table without records, or by one
// pass over the table once lookups outside it have read enough blocks to pay for that pass.
class TTableKeys {
 public:
  bool Covers() const { return FOn; }
  // Off, its memory freed: keys coming in order above every other need no filter.
  void Drop() {
    FFilter.Clear();
    FOn = false;
  }
  // On, for a table that holds no record.
  void StartEmpty() {
    FFilter.Clear();
    FOn = true;
  }
  // On: eachKey(add) calls add(hash) for every key of the table.
  template <class TEach> void Cover(TEach eachKey) {
    FFilter.Clear();
    eachKey([&](uint64_t h) { FFilter.Add(h); });
    FOn = true;
    FUncoveredReads = 0;
  }
  // A key that joins the table: kept while the filter is on.
  void Add(const TKeyLook& key) {
    if (FOn) FFilter.Add(key.Hash());
  }
  // Whether the table may hold the key: always while off.
  bool MayHold(const TKeyLook& key) const { return !FOn || FFilter.MayHold(key.Hash()); }
  // A lookup while off read a block from the file; once they are one for every 64 records, one
  // pass over the table costs less than the lookups to come.
  void NoteUncoveredRead() { ++FUncoveredReads; }
  bool WorthCovering(uint64_t records) const { return FUncoveredReads * 64 >= records; }

 private:
  TKeyFilter FFilter;
  bool FOn = false;
  uint64_t FUncoveredReads = 0;
};

// The values of a table's unique secondary indexes, each index's through a filter of its own (48
// bits a record: a wrong "perhaps" costs a pass over the table), so that a record's values are
// sought in the table only when the filter may have seen them. Records whose values of an index
// are all blank stay out: blanks repeat freely. The filters take every record of the table at
// their first use, and every record stored after it.
class TUniqueValues {
 public:
  // A record's values of each unique index, hashed, and the indexes whose filters may have seen
  // them (by their place among the unique indexes).
  struct TProbe {
    struct TValues {
      uint64_t Hash = 0;
      bool Filled = false;  // not all blank, and for an update changed
    };
    std::vector<TValues> Values;
    std::vector<size_t> Suspects;
  };
  bool Covered() const { return FCovered; }
  // Forgets the filters: the next use takes the table again.
  void Reset() {
    FIndexes.clear();
    FCovered = false;
  }
  // Takes the unique indexes of `def` (its fields at `offsets`, `widths` bytes long) and passes
  // every record that eachRecord(fn) gives through their filters.
  template <class TEach>
  void Cover(const TPdxTableDef& def, const std::vector<int>& offsets, const std::vector<int>& widths, TEach eachRecord) {
    Take(def, offsets, widths);
    if (!FIndexes.empty())
      eachRecord([&](const uint8_t* rec) {
        uint64_t h;
        for (TIndex& ix : FIndexes)
          if (Hash(ix, rec, h)) ix.Seen.Add(h);
      });
    FCovered = true;
  }
  bool Empty() const { return FIndexes.empty(); }
  // The probe of `rec`; `old`, the record it replaces (an update), makes the indexes whose values
  // it keeps no suspects: the record it replaces can never be its twin.
  TProbe Probe(const uint8_t* rec, const uint8_t* old) const;
  // The probe's values join the filters (should the record not be stored after all, they only
  // make a wrong "perhaps").
  void Add(const TProbe& probe);
  // Whether two records hold the same values of unique index u.
  bool Same(size_t u, const uint8_t* a, const uint8_t* b) const;
  const std::string& Name(size_t u) const { return FIndexes[u].Name; }

 private:
  struct TIndex {
    std::string Name;
    std::vector<std::pair<int, int>> Fields;  // offset and width in the record
    TKeyFilter Seen{48};
  };
  void Take(const TPdxTableDef& def, const std::vector<int>& offsets, const std::vector<int>& widths);
  // The hash of a record's values of an index; false when they are all blank.
  static bool Hash(const TIndex& ix, const uint8_t* rec, uint64_t& h);

  std::vector<TIndex> FIndexes;
  bool FCovered = false;
};

// The bytes of keyed records a batch holds in memory before they go into the blocks or a run.
inline constexpr size_t kPendingBytes = size_t(16) << 20;

// The keyed records a batch holds back, not yet in the table's blocks: in memory, back to back in
// the order they came, and, each time that buffer filled with keys out of order, in a run sorted
// into a file beside the table. Every waiting key is distinct and in no block.
class TBatch {
 public:
  // Records of `recordSize` bytes whose first `keyLen` bytes are their key.
  void Bind(size_t recordSize, size_t keyLen) {
    FSize = recordSize;
    FKeyLen = keyLen;
  }
  size_t InMemory() const { return FRecords.size() / FSize; }
  // The waiting records, in memory and in the runs.
  size_t Count() const;
  bool HasRuns() const { return !FRuns.empty(); }
  // Whether one more record finds the buffer full.
  bool Full() const { return FRecords.size() + FSize > kPendingBytes; }
  // Whether the records in memory came in key order, the first above every key of the table and
  // of the runs: they can go to the end of the chain as they are.
  bool InOrderAbove() const { return FSorted && FAbove; }
  // Whether `key` comes above every waiting key and every key of the blocks (aboveBlocks() says the
  // latter, asked only while no record waits in memory). A buffer whose records came out of order
  // stays so until its next first record: nothing is above it.
  template <class TFn> bool Above(const uint8_t* key, TFn aboveBlocks) const {
    if (!FSorted) return false;
    if (FRecords.empty()) return aboveBlocks() && AboveRuns(key);
    return FAbove && std::memcmp(&FRecords[FRecords.size() - FSize], key, FKeyLen) < 0;
  }
  // Whether a waiting record has the key. `fewLooks`: the table's key filter is on, so that few
  // lookups come here.
  bool Holds(const TKeyLook& key, bool fewLooks);
  // Adds a record whose key is in no block and not waiting (`look` is its lookup).
  void Add(const uint8_t* rec, const TKeyLook& look);
  // Sorts the records in memory into a new run "<prefix>N" (N: the runs before it); the buffer is
  // then empty. A run that cannot be written is removed again, and the buffer keeps its records.
  void Spill(TPdxEnv& env, const std::string& prefix);
  // Gives `merge` the records in memory and, with `withRuns`, the runs; the batch must stay as it
  // is while the merge lasts.
  void Merge(TRunMerge& merge, bool withRuns) const;
  // Calls fn for every waiting record: those in memory, then the runs' (read a piece at a time).
  void ForEach(const std::function<void(const uint8_t*)>& fn) const;
  // Forgets the records in memory and, `withRuns`, the runs (their files go); `keepRoom` keeps
  // the buffer's memory for the records to come.
  void Clear(bool withRuns, bool keepRoom);
  // Forgets every waiting record, its memory and its files.
  void Reset() { Clear(true, false); }

 private:
  struct TRun {
    std::unique_ptr<TRunFile> File;
    uint32_t Stride = 0;  // every Stride-th record's key is kept in Keys, to find a record
    std::string Keys;
    std::string Top;      // the highest key
  };
  // The records in memory, by number, in key order.
  std::vector<uint32_t> Order() const;
  bool AboveRuns(const uint8_t* key) const;
  bool RunsHold(const uint8_t* key) const;

  size_t FSize = 1, FKeyLen = 0;
  std::vector<uint8_t> FRecords;
  bool FSorted = true;  // the records in memory came in key order: they are searched by halving
  bool FAbove = false;  // and the first was above every key of the blocks and of the runs
  // Out of order, a key is sought among 16 bits of each record's key hash (FTags, one per
  // record) while the key filter sends few keys here; else through FKeys, which takes the
  // records [0, FIndexed) and catches up at each look.
  std::vector<uint16_t> FTags;
  TRecordSet FKeys;
  size_t FIndexed = 0;
  std::vector<TRun> FRuns;
};

}  // namespace paradox::detail
