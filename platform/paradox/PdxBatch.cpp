// Keyed appends inside a batch: the records wait in a bounded buffer, their keys checked at once
// (against the buffer, and against the blocks through a key filter that spares most looks), and go
// into their blocks together in key order, each block rewritten once however many records it takes.
#include <algorithm>

#include "platform/paradox/PdxTableState.h"

namespace paradox {

using namespace detail;

// Whether a record with this key is in the table (in its blocks or waiting in Pending).
bool TPdxTableState::KeyTaken(const uint8_t* key) {
  // Keys that come in order above every other (the usual bulk load) are free without a look, and
  // the filter is not kept for them.
  const uint32_t rs = H.RecordSize;
  KeyAbove = PendingSorted && (Pending.empty() ? AboveTable(key)
                                               : PendingAbove && std::memcmp(&Pending[Pending.size() - rs], key, KeyLen) < 0);
  if (KeyAbove) {
    if (KeysCover) Keys.Clear();
    KeysCover = false;
    return false;
  }
  const uint64_t h = KeyHash(key, KeyLen);
  if (!KeysCover) {
    // The filter starts with an empty table, or once lookups have read enough blocks to pay for
    // one pass over the table.
    if (H.NumRecords == 0 && Pending.empty()) {
      Keys.Clear();
      KeysCover = true;
    } else if (UncoveredReads * 64 >= H.NumRecords) {
      CoverKeys();
    }
  }
  if (KeysCover && !Keys.MayHold(h)) return false;
  if (PendingHolds(key, h)) return true;
  const uint64_t reads = BlockReads;
  TKeyPlace at;
  bool found = Locate(key, at) && at.Found;
  if (!KeysCover && BlockReads != reads) ++UncoveredReads;
  return found;
}

// Whether `key` is above every key of the table's blocks.
bool TPdxTableState::AboveTable(const uint8_t* key) {
  TKeyPlace at;
  return !Locate(key, at) || (at.Entry + 1 == Map.size() && at.Slot == Map.back().Count);
}

bool TPdxTableState::PendingHolds(const uint8_t* key, uint64_t h) const {
  const size_t rs = H.RecordSize;
  if (!PendingSorted)
    return PendingKeys.Find(h, [&](uint32_t r) { return std::memcmp(&Pending[r * rs], key, KeyLen) == 0; });
  size_t lo = 0, hi = PendingCount();
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    int c = std::memcmp(&Pending[mid * rs], key, KeyLen);
    if (c == 0) return true;
    if (c < 0) lo = mid + 1; else hi = mid;
  }
  return false;
}

// Passes every key of the table through the filter: one pass over the blocks.
void TPdxTableState::CoverKeys() {
  Keys.Clear();
  ForEachBlock([&](uint32_t, const uint8_t* b, int count) {
    for (int i = 0; i < count; ++i) Keys.Add(KeyHash(b + 6 + size_t(i) * H.RecordSize, KeyLen));
  });
  for (size_t off = 0; off < Pending.size(); off += H.RecordSize) Keys.Add(KeyHash(&Pending[off], KeyLen));
  KeysCover = true;
  UncoveredReads = 0;
}

// Records that come in key order (the usual bulk load) need no set of their keys: they are searched
// by halving. The set is made when the first record comes out of order.
void TPdxTableState::AddPending(const std::vector<uint8_t>& rec) {
  const uint32_t rs = H.RecordSize;
  const uint64_t h = KeyHash(rec.data(), KeyLen);
  if (Pending.empty()) {
    Pending.reserve(kPendingBytes + rs);
    PendingSorted = true;
    PendingAbove = KeyAbove;
  }
  if (PendingSorted && !Pending.empty() && std::memcmp(&Pending[Pending.size() - rs], rec.data(), KeyLen) > 0) {
    PendingSorted = false;
    for (size_t r = 0; r < PendingCount(); ++r) PendingKeys.Insert(KeyHash(&Pending[r * rs], KeyLen), uint32_t(r));
  }
  if (!PendingSorted) PendingKeys.Insert(h, uint32_t(PendingCount()));
  Pending.insert(Pending.end(), rec.begin(), rec.end());
  if (KeysCover) Keys.Add(h);
}

// Puts the waiting records into the blocks in one pass in key order: each block that takes some
// is rewritten once with its records and the new ones, split into as many blocks as they need.
// A failure leaves the table as its files hold it (the waiting records are gone).
void TPdxTableState::MergePending() {
  if (Pending.empty()) return;
  CheckUsable();
  try {
    const uint32_t rs = H.RecordSize;
    const size_t count = PendingCount();
    const std::vector<uint32_t> order = PendingOrder();
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
    auto keyBelow = [&](uint32_t rec, const TMapEntry& e) {
      return std::memcmp(&Pending[size_t(rec) * rs], e.Key.data(), KeyLen) < 0;
    };
    std::vector<TMapEntry> merged;
    merged.reserve(Map.size() + count / size_t(PerBlock) + 1);
    size_t next = 0, entry = 0;
    while (next < count) {
      // The block that takes the next record: the last whose first key is not above it.
      size_t at = size_t(std::upper_bound(Map.begin() + ptrdiff_t(entry) + 1, Map.end(), order[next], keyBelow) - Map.begin()) - 1;
      for (; entry < at; ++entry) merged.push_back(std::move(Map[entry]));
      size_t end = next + 1;
      if (at + 1 == Map.size()) end = count;
      else while (end < count && keyBelow(order[end], Map[at + 1])) ++end;
      MergeIntoBlock(Map[at], &order[next], end - next, merged);
      entry = at + 1;
      next = end;
      if (Dirty.size() > kDirtyBlocks) WriteDirty();
    }
    for (; entry < Map.size(); ++entry) merged.push_back(std::move(Map[entry]));
    Map.swap(merged);
    IndexDirty = true;
    // The buffer keeps its room while the batch goes on.
    Pending.clear();
    PendingKeys.Clear(Batch > 0);
    if (Batch == 0) std::vector<uint8_t>().swap(Pending);
  } catch (...) {
    Reload();
    throw;
  }
}

// The waiting records' numbers in key order. Keys are sorted by their first eight bytes taken as
// a number, the rest compared only where those agree.
std::vector<uint32_t> TPdxTableState::PendingOrder() const {
  const size_t count = PendingCount(), rs = H.RecordSize;
  std::vector<uint32_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = uint32_t(i);
  if (PendingSorted) return order;
  struct TItem {
    uint64_t Prefix;
    uint32_t Rec;
  };
  const size_t head = std::min<size_t>(8, size_t(KeyLen));
  std::vector<TItem> items(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* k = &Pending[i * rs];
    uint64_t p = 0;
    for (size_t b = 0; b < 8; ++b) p = (p << 8) | (b < head ? k[b] : 0);
    items[i] = {p, uint32_t(i)};
  }
  std::sort(items.begin(), items.end(), [&](const TItem& a, const TItem& b) {
    if (a.Prefix != b.Prefix) return a.Prefix < b.Prefix;
    return size_t(KeyLen) > head && std::memcmp(&Pending[a.Rec * rs + head], &Pending[b.Rec * rs + head], KeyLen - head) < 0;
  });
  for (size_t i = 0; i < count; ++i) order[i] = items[i].Rec;
  return order;
}

// Takes a new block into the chain right after block `n`; returns its number.
uint32_t TPdxTableState::LinkBlockAfter(uint32_t n) {
  uint32_t added = AllocBlock();
  uint32_t next = Get16(BlockForWrite(n).data());
  auto& nb = Dirty[added];
  Put16(&nb[0], next);
  Put16(&nb[2], n);
  Put16(&BlockForWrite(n)[0], added);
  if (next) Put16(&BlockForWrite(next)[2], added); else H.LastBlock = uint16_t(added);
  return added;
}

// Rewrites one block with its records and the waiting records `recs` (numbers in Pending, in key
// order, all belonging between this block's first key and the next block's), adding the entries
// of the block and of the blocks split off it to `out`. The chain's last block fills blocks to the
// brim, as records arriving in key order leave them; a block inside the chain splits into evenly
// filled blocks, leaving room for later inserts. Once the block's own records are all placed,
// the chain and the header agree at every block, so that the blocks may be written meanwhile.
void TPdxTableState::MergeIntoBlock(const TMapEntry& entry, const uint32_t* recs, size_t count,
                                    std::vector<TMapEntry>& out) {
  const size_t rs = H.RecordSize, per = size_t(PerBlock);
  uint32_t n = entry.Block;
  const auto& first = BlockForWrite(n);
  const size_t have = size_t(CountIn(first.data(), n));
  const std::vector<uint8_t> own(first.begin() + 6, first.begin() + 6 + ptrdiff_t(have * rs));
  const bool tail = Get16(first.data()) == 0;
  const size_t total = have + count, blocks = (total + per - 1) / per;
  size_t i = 0, j = 0, counted = 0;  // own records placed, waiting records placed and counted
  for (size_t k = 0, done = 0; k < blocks; ++k) {
    const size_t take = tail ? std::min(per, total - done) : total / blocks + (k < total % blocks ? 1 : 0);
    if (k > 0) n = LinkBlockAfter(n);
    auto& blk = BlockForWrite(n);
    for (size_t t = 0; t < take; ++t) {
      const uint8_t* from;
      if (j == count || (i < have && std::memcmp(&own[i * rs], &Pending[recs[j] * rs], KeyLen) < 0))
        from = &own[i++ * rs];
      else
        from = &Pending[recs[j++] * rs];
      std::memcpy(&blk[6 + t * rs], from, rs);
    }
    std::memset(&blk[6 + take * rs], 0, H.BlockSize - 6 - take * rs);
    Put16(&blk[4], uint16_t(int(take - 1) * int(rs)));
    out.push_back({std::string(reinterpret_cast<const char*>(&blk[6]), KeyLen), n, uint32_t(take)});
    done += take;
    if (i == have && Dirty.size() > kDirtyBlocks) {
      H.NumRecords += uint32_t(j - counted);
      counted = j;
      HeaderDirty = true;
      WriteDirty();
    }
  }
  H.NumRecords += uint32_t(count - counted);
  HeaderDirty = true;
}

}  // namespace paradox
