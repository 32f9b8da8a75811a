// Keyed appends inside a batch: the records wait in a bounded buffer, their keys checked at once
// (against the buffer, and against the blocks through a key filter that spares most looks), and go
// into their blocks together in key order, each block rewritten once however many records it takes.
//
// Design. A batch is how a table is loaded in bulk: a copy appends every record of a source table
// in one. Each structure below earns its place in a benchmark: paradox_bench (named here without
// "BM_") or copier_bench's WholeCopy/ToParadox.
//  - The buffer (TBatch, 16 MB of records back to back, in the order they came). Its records go
//    into the blocks together, in key order, so that each block is rewritten once however many
//    records it takes, not once a record (AppendKeyedWithIndex/1000000/1). Invariant: every
//    waiting key is distinct and in no block, and nothing reads or changes the blocks while
//    records wait (MergeWaiting comes first).
//  - Keys in order above every other, as a copy of a keyed table brings them: such a key needs no
//    lookup and no hash, and a full buffer of them goes straight to the end of the chain
//    (AppendKeyedWithIndex/1000000/0 and /2000000/0, WholeCopy/ToParadox). Invariant: while the
//    buffer says so (InOrderAbove), its records rise and the first is above every key of the
//    blocks and of the runs.
//  - Runs (TRunFile, shared with the rebuild of a secondary index): a full buffer out of order is
//    sorted into a file beside the table and merged with the others once at the end, so that
//    memory stays bounded however large the batch (AppendKeyedWithIndex/1000000/1, its
//    maxrss_mb). A run keeps every Stride-th key, so that a lookup reads one stretch of it, and
//    its top key, for the test above.
//  - The key filter (TTableKeys over TKeyFilter, 16 bits a key): out of order nearly every key is
//    new, and the filter says so without a look at the blocks or a read of a run
//    (AppendKeyedWithIndex/1000000/1). Invariant: while it is on, every key of the blocks, the
//    buffer and the runs has passed through it. Keys join the table only through AddWaiting and
//    InsertAt, which pass them in; it goes on only for an empty table or by a pass over every
//    key; a run is written only while it is on (its keys are found through it alone).
//  - Tags (16 bits of each waiting record's key hash, kept once the buffer's records come out of
//    order): a key the filter lets through, most often a wrong "perhaps", is sought among the tags,
//    compared 64 at a time, rather than among the buffer's records (AppendKeyedWithIndex/1000000/1
//    takes a third longer comparing the records).
//  - The record set (TRecordSet): while the filter is off (a batch into a table that holds
//    records, until the lookups have paid for one pass over it), every key is sought in the
//    buffer, in one probe of a hash set of its records. No benchmark loads a table that holds
//    records already; without it such a batch compares every key with every waiting record.
//  - The merge (TRunMerge): the buffer put in order by a radix sort of its keys' first eight bytes,
//    the sources compared by the same bytes taken as a number (AppendKeyedWithIndex/1000000/1,
//    the share of EndBatch).
//  - The unique-value filters (TUniqueValues, 48 bits a record): the values of a unique secondary
//    index are sought in the table only when its filter may have seen them
//    (AppendWithUniqueIndex/1000000/1; a pass over the table for every record otherwise).
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "platform/paradox/PdxTableState.h"

namespace paradox {

namespace detail {

namespace {
// So that a wrong "perhaps" from the filter is seldom a tag match too.
uint16_t Tag(uint64_t h) { return TKeyFilter::Spare(h); }
}  // namespace

size_t TBatch::Count() const {
  size_t n = InMemory();
  for (const TRun& run : FRuns) n += run.File->Count();
  return n;
}

bool TBatch::Holds(const TKeyLook& look, bool fewLooks) {
  const uint8_t* key = look.Key();
  const size_t rs = FSize, count = InMemory();
  auto same = [&](size_t r) { return std::memcmp(&FRecords[r * rs], key, FKeyLen) == 0; };
  auto inMemory = [&] {
    if (!FSorted && fewLooks) {
      // Tags compared a stretch at a time (which the compiler does many to an instruction), the
      // records looked at only in a stretch that has the tag.
      const uint16_t tag = Tag(look.Hash());
      const uint16_t* tags = FTags.data();
      constexpr size_t kStretch = 64;
      size_t from = 0;
      for (; from + kStretch <= count; from += kStretch) {
        uint16_t hits = 0;
        for (size_t j = 0; j < kStretch; ++j) hits |= uint16_t(tags[from + j] == tag);
        if (hits)
          for (size_t r = from; r < from + kStretch; ++r)
            if (tags[r] == tag && same(r)) return true;
      }
      for (; from < count; ++from)
        if (tags[from] == tag && same(from)) return true;
      return false;
    }
    if (!FSorted) {
      for (; FIndexed < count; ++FIndexed) FKeys.Insert(KeyHash(&FRecords[FIndexed * rs], int(FKeyLen)), uint32_t(FIndexed));
      return FKeys.Find(look.Hash(), [&](uint32_t r) { return same(r); });
    }
    size_t lo = 0, hi = count;
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      int c = std::memcmp(&FRecords[mid * rs], key, FKeyLen);
      if (c == 0) return true;
      if (c < 0) lo = mid + 1; else hi = mid;
    }
    return false;
  };
  return inMemory() || RunsHold(key);
}

// Records that come in key order (the usual bulk load) need no tags: they are searched by halving.
// The tags are made when the first record comes out of order.
void TBatch::Add(const uint8_t* rec, const TKeyLook& look) {
  const size_t rs = FSize;
  if (FRecords.empty()) {
    FRecords.reserve(kPendingBytes + rs);
    FTags.clear();
    FIndexed = 0;
    FSorted = true;
    FAbove = look.Above;
  }
  if (FSorted && !FRecords.empty() && std::memcmp(&FRecords[FRecords.size() - rs], rec, FKeyLen) > 0) {
    FSorted = false;
    FTags.reserve(kPendingBytes / rs + 1);
    for (size_t r = 0; r < InMemory(); ++r) FTags.push_back(Tag(KeyHash(&FRecords[r * rs], int(FKeyLen))));
  }
  if (!FSorted) FTags.push_back(Tag(look.Hash()));
  FRecords.insert(FRecords.end(), rec, rec + rs);
}

void TBatch::Spill(TPdxEnv& env, const std::string& prefix) {
  const size_t rs = FSize;
  const std::vector<uint32_t> order = Order();
  TRun run;
  run.File = std::make_unique<TRunFile>(env, prefix + std::to_string(FRuns.size()), rs);
  // A key looked up in the run reads the stretch between two kept keys: 4 KB for short keys,
  // longer ones up to 16 KB so that the kept keys stay within 1/256 of the run.
  run.Stride = uint32_t(std::max<size_t>(1, std::clamp<size_t>(256 * FKeyLen, 4u << 10, 16u << 10) / rs));
  uint32_t n = 0;
  for (uint32_t r : order) {
    const uint8_t* rec = &FRecords[size_t(r) * rs];
    if (n++ % run.Stride == 0) run.Keys.append(reinterpret_cast<const char*>(rec), FKeyLen);
    run.File->Append(rec);
  }
  run.File->Finish();
  run.Top.assign(reinterpret_cast<const char*>(&FRecords[size_t(order.back()) * rs]), FKeyLen);
  FRuns.push_back(std::move(run));
  Clear(false, true);
}

void TBatch::Merge(TRunMerge& merge, bool withRuns) const {
  if (withRuns)
    for (const TRun& run : FRuns) merge.Add(*run.File);
  merge.Add(FRecords.data(), Order());
}

void TBatch::ForEach(const std::function<void(const uint8_t*)>& fn) const {
  const size_t rs = FSize;
  for (size_t off = 0; off < FRecords.size(); off += rs) fn(&FRecords[off]);
  std::vector<uint8_t> piece;
  const uint32_t step = uint32_t(std::max<size_t>(1, (64u << 10) / rs));
  for (const TRun& run : FRuns) {
    const uint32_t count = run.File->Count();
    for (uint32_t from = 0; from < count; from += step) {
      const uint32_t n = std::min(step, count - from);
      piece.resize(size_t(n) * rs);
      run.File->Read(from, n, piece.data());
      for (uint32_t i = 0; i < n; ++i) fn(&piece[i * rs]);
    }
  }
}

void TBatch::Clear(bool withRuns, bool keepRoom) {
  FRecords.clear();
  if (!keepRoom) std::vector<uint8_t>().swap(FRecords);
  FKeys.Clear(keepRoom);
  if (withRuns) FRuns.clear();
}

bool TBatch::AboveRuns(const uint8_t* key) const {
  for (const TRun& run : FRuns)
    if (std::memcmp(key, run.Top.data(), FKeyLen) <= 0) return false;
  return true;
}

// Whether a run holds a record with this key: the run's kept keys give the stretch to read.
bool TBatch::RunsHold(const uint8_t* key) const {
  const size_t rs = FSize, kl = FKeyLen;
  std::vector<uint8_t> stretch;
  for (const TRun& run : FRuns) {
    const size_t kept = run.Keys.size() / kl;
    size_t lo = 0, hi = kept;  // the first kept key above `key`
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      if (std::memcmp(run.Keys.data() + mid * kl, key, kl) <= 0) lo = mid + 1; else hi = mid;
    }
    if (lo == 0) continue;
    const uint32_t from = uint32_t(lo - 1) * run.Stride, n = std::min(run.Stride, run.File->Count() - from);
    stretch.resize(size_t(n) * rs);
    run.File->Read(from, n, stretch.data());
    for (uint32_t i = 0; i < n; ++i)
      if (std::memcmp(&stretch[i * rs], key, kl) == 0) return true;
  }
  return false;
}

// Sorted by the keys' first eight bytes taken as a number, the rest compared only where those
// agree.
std::vector<uint32_t> TBatch::Order() const {
  const size_t count = InMemory(), rs = FSize;
  std::vector<uint32_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = uint32_t(i);
  if (FSorted) return order;
  struct TItem {
    uint64_t Prefix;
    uint32_t Rec;
  };
  const size_t head = std::min<size_t>(8, FKeyLen);
  std::vector<TItem> items, spare(count);
  items.reserve(count);
  // Every byte's counts in one pass over the keys.
  std::vector<std::array<size_t, 257>> start(8);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t p = KeyPrefix(&FRecords[i * rs], head);
    items.push_back({p, uint32_t(i)});
    for (size_t b = 8 - head; b < 8; ++b) ++start[b][((p >> (8 * b)) & 0xFF) + 1];
  }
  // By the prefix a byte at a time, lowest first; a byte that all prefixes share is skipped.
  for (size_t b = 8 - head; b < 8; ++b) {
    auto& at = start[b];
    if (std::find(at.begin(), at.end(), count) != at.end()) continue;
    for (int v = 0; v < 256; ++v) at[v + 1] += at[v];
    const int shift = int(8 * b);
    for (const TItem& it : items) spare[at[(it.Prefix >> shift) & 0xFF]++] = it;
    items.swap(spare);
  }
  // Keys longer than the prefix: those that share it are put in order by the rest.
  if (FKeyLen > head)
    for (size_t i = 0, j; i < count; i = j) {
      for (j = i + 1; j < count && items[j].Prefix == items[i].Prefix; ++j) {}
      if (j - i > 1)
        std::sort(items.begin() + ptrdiff_t(i), items.begin() + ptrdiff_t(j), [&](const TItem& a, const TItem& b) {
          return std::memcmp(&FRecords[a.Rec * rs + head], &FRecords[b.Rec * rs + head], FKeyLen - head) < 0;
        });
    }
  for (size_t i = 0; i < count; ++i) order[i] = items[i].Rec;
  return order;
}

void TUniqueValues::Take(const TPdxTableDef& def, const std::vector<int>& offsets, const std::vector<int>& widths) {
  FIndexes.clear();
  for (const TPdxIndexDef& ix : def.Indexes) {
    if (!ix.Unique) continue;
    TIndex& u = FIndexes.emplace_back();
    u.Name = ix.Name;
    for (int f : ix.Fields) u.Fields.emplace_back(offsets[f], widths[f]);
  }
}

bool TUniqueValues::Hash(const TIndex& ix, const uint8_t* rec, uint64_t& h) {
  bool blank = true;
  h = 0;
  for (const auto& [off, width] : ix.Fields) {
    if (!AllZero(rec + off, width)) blank = false;
    h = (h ^ KeyHash(rec + off, width)) * 0x9E3779B97F4A7C15ull;
  }
  h ^= h >> 29;
  return !blank;
}

bool TUniqueValues::Same(size_t u, const uint8_t* a, const uint8_t* b) const {
  for (const auto& [off, width] : FIndexes[u].Fields)
    if (std::memcmp(a + off, b + off, width) != 0) return false;
  return true;
}

TUniqueValues::TProbe TUniqueValues::Probe(const uint8_t* rec, const uint8_t* old) const {
  TProbe probe;
  probe.Values.resize(FIndexes.size());
  for (size_t u = 0; u < FIndexes.size(); ++u) {
    TProbe::TValues& v = probe.Values[u];
    const bool kept = old && Same(u, old, rec);
    v.Filled = Hash(FIndexes[u], rec, v.Hash) && !kept;
    if (v.Filled && FIndexes[u].Seen.MayHold(v.Hash)) probe.Suspects.push_back(u);
  }
  return probe;
}

void TUniqueValues::Add(const TProbe& probe) {
  for (size_t u = 0; u < FIndexes.size(); ++u)
    if (probe.Values[u].Filled) FIndexes[u].Seen.Add(probe.Values[u].Hash);
}

}  // namespace detail

using namespace detail;

// Whether a record with this key is in the table (in its blocks or waiting in the batch).
TKeyLook TPdxTableState::KeyTaken(const uint8_t* key) {
  TKeyLook look(key, KeyLen);
  // Keys that come in order above every other (the usual bulk load) are free without a look, and
  // the filter is not kept for them (it stays while there are runs: their keys are found only
  // through it).
  look.Above = Waiting.Above(key, [&] { return AboveTable(key); });
  if (look.Above) {
    if (!Waiting.HasRuns()) Keys.Drop();
    return look;
  }
  if (!Keys.Covers()) {
    if (H.NumRecords == 0 && Waiting.InMemory() == 0) Keys.StartEmpty();
    else if (Keys.WorthCovering(H.NumRecords)) CoverKeys();
  }
  if (!Keys.MayHold(look)) return look;
  if (Waiting.Holds(look, Keys.Covers())) {
    look.Taken = true;
    return look;
  }
  TKeyPlace at;
  look.Taken = Locate(key, at) && at.Found;
  if (!Keys.Covers() && at.FromFile) Keys.NoteUncoveredRead();
  return look;
}

// Whether `key` is above every key of the table's blocks.
bool TPdxTableState::AboveTable(const uint8_t* key) {
  TKeyPlace at;
  return !Locate(key, at) || (at.Entry + 1 == Map.size() && at.Slot == Map.back().Count);
}

// Passes every key of the table through the filter: one pass over the blocks and the batch.
void TPdxTableState::CoverKeys() {
  Keys.Cover([&](auto add) { ForEachRecord([&](const uint8_t* rec) { add(KeyHash(rec, KeyLen)); }); });
}

// A record joins the batch, its key looked up by KeyTaken.
void TPdxTableState::AddWaiting(const std::vector<uint8_t>& rec, const TKeyLook& look) {
  Waiting.Add(rec.data(), look);
  Keys.Add(look);
}

// Puts the waiting records (with the runs' when `withRuns`) into the blocks in one pass in key
// order: each block that takes some is rewritten once with its records and the new ones, split
// into as many blocks as they need. A failure leaves the table as its files hold it (the waiting
// records are gone).
void TPdxTableState::MergeWaiting(bool withRuns) {
  if (Waiting.InMemory() == 0 && (!withRuns || !Waiting.HasRuns())) return;
  CheckUsable();
  ++Changes;
  // The blocks written meanwhile are parts of the change that the merge's flush completes.
  struct TMerging {
    bool& Flag;
    explicit TMerging(bool& flag) : Flag(flag) { Flag = true; }
    ~TMerging() { Flag = false; }
  } merging(Merging);
  try {
    TRunMerge source(H.RecordSize, size_t(KeyLen));
    Waiting.Merge(source, withRuns);
    source.Start();
    LoadMap();
    if (Map.empty()) {
      // No record yet: the chain's first block (blocks emptied by deletes stay in the chain).
      uint32_t first = H.FirstBlock;
      if (!first) {
        first = AllocBlock();
        H.FirstBlock = H.LastBlock = uint16_t(first);
      }
      Map.push_back({std::string(size_t(KeyLen), '\0'), first, 0});
    }
    auto below = [&](const uint8_t* key, const TMapEntry& e) { return std::memcmp(key, e.Key.data(), KeyLen) < 0; };
    std::vector<TMapEntry> merged;
    merged.reserve(Map.size() + Waiting.InMemory() / size_t(PerBlock) + 1);
    size_t entry = 0;
    while (const uint8_t* key = source.Peek()) {
      // The block that takes the next record: the last whose first key is not above it.
      size_t at = size_t(std::upper_bound(Map.begin() + ptrdiff_t(entry) + 1, Map.end(), key, below) - Map.begin()) - 1;
      for (; entry < at; ++entry) merged.push_back(std::move(Map[entry]));
      MergeIntoBlock(Map[at], source, at + 1 < Map.size() ? &Map[at + 1].Key : nullptr, merged);
      entry = at + 1;
      if (Dirty.size() > gDirtyBlocks) WriteDirty();
    }
    for (; entry < Map.size(); ++entry) merged.push_back(std::move(Map[entry]));
    Map.swap(merged);
    IndexDirty = true;
    // The buffer keeps its room while the batch goes on.
    Waiting.Clear(withRuns, Batch > 0);
  } catch (...) {
    Reload();
    throw;
  }
}

// A full buffer: records that came in order above every other go straight to the end of the
// chain; others are sorted into a run beside the table, to be merged once at the end. A run that
// cannot be written is dropped again and the buffer keeps its records.
void TPdxTableState::MakeRoom() {
  if (Waiting.InOrderAbove()) {
    MergeWaiting(false);
    return;
  }
  // The runs' keys are found only through the filter: it must hold every key.
  if (!Keys.Covers()) CoverKeys();
  Waiting.Spill(*Env, DbPath + ".run");
}

// Calls fn for every record of the table: those in the blocks, then the waiting ones.
void TPdxTableState::ForEachRecord(const std::function<void(const uint8_t*)>& fn) {
  ForEachBlock([&](uint32_t, const uint8_t* b, int count) {
    for (int i = 0; i < count; ++i) fn(b + kBlockData + size_t(i) * H.RecordSize);
  });
  Waiting.ForEach(fn);
}

// Takes a new block into the chain right after block `n`; returns its number.
uint32_t TPdxTableState::LinkBlockAfter(uint32_t n) {
  uint32_t added = AllocBlock();
  uint32_t next = Get16(BlockForWrite(n).data());
  auto& nb = Dirty[added];
  Put16(&nb[kBlockNext], next);
  Put16(&nb[kBlockPrev], n);
  Put16(&BlockForWrite(n)[kBlockNext], added);
  if (next) Put16(&BlockForWrite(next)[kBlockPrev], added); else H.LastBlock = uint16_t(added);
  return added;
}

// Rewrites one block with its records and the waiting records that belong before `limit` (the
// next block's first key; null for the last block), taken from `source`, adding the entries of the
// block and of the blocks split off it to `out`. Blocks are filled to the brim. Once the block's own
// records are all placed, the chain and the header agree at every block, so that the blocks may be
// written meanwhile.
void TPdxTableState::MergeIntoBlock(const TMapEntry& entry, TRunMerge& source, const std::string* limit,
                                    std::vector<TMapEntry>& out) {
  const size_t rs = H.RecordSize, per = size_t(PerBlock);
  uint32_t n = entry.Block;
  const auto& first = BlockForWrite(n);
  const size_t have = size_t(CountIn(first.data(), n));
  const std::vector<uint8_t> own(first.begin() + 6, first.begin() + 6 + ptrdiff_t(have * rs));
  auto waiting = [&]() -> const uint8_t* {
    const uint8_t* w = source.Peek();
    return w && (!limit || std::memcmp(w, limit->data(), KeyLen) < 0) ? w : nullptr;
  };
  size_t i = 0, added = 0, counted = 0;  // own records placed, waiting records placed and counted
  bool more = true;
  for (size_t k = 0; more; ++k) {
    if (k > 0) n = LinkBlockAfter(n);
    auto& blk = BlockForWrite(n);
    size_t take = 0;
    for (; take < per; ++take) {
      const uint8_t* w = waiting();
      if (i == have && !w) break;
      if (w && (i == have || std::memcmp(&own[i * rs], w, KeyLen) >= 0)) {
        std::memcpy(&blk[kBlockData + take * rs], w, rs);
        source.Pop();
        ++added;
      } else {
        std::memcpy(&blk[kBlockData + take * rs], &own[i++ * rs], rs);
      }
    }
    std::memset(&blk[kBlockData + take * rs], 0, H.BlockSize - kBlockData - take * rs);
    Put16(&blk[kBlockLast], uint16_t(int(take - 1) * int(rs)));
    out.push_back({std::string(reinterpret_cast<const char*>(&blk[kBlockData]), KeyLen), n, uint32_t(take)});
    more = i < have || waiting();
    if (i == have && Dirty.size() > gDirtyBlocks) {
      H.NumRecords += uint32_t(added - counted);
      counted = added;
      HeaderDirty = true;
      WriteDirty();
    }
  }
  H.NumRecords += uint32_t(added - counted);
  HeaderDirty = true;
}

}  // namespace paradox
