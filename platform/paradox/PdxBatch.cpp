// Keyed appends inside a batch: the records wait in a bounded buffer, their keys checked at once
// (against the buffer, and against the blocks through a key filter that spares most looks), and go
// into their blocks together in key order, each block rewritten once however many records it takes.
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "platform/paradox/PdxTableState.h"

namespace paradox {

using namespace detail;

// Whether a record with this key is in the table (in its blocks or waiting in Pending).
bool TPdxTableState::KeyTaken(const uint8_t* key) {
  // Keys that come in order above every other (the usual bulk load) are free without a look, and
  // the filter is not kept for them (it stays while there are runs: their keys are found only
  // through it).
  const uint32_t rs = H.RecordSize;
  KeyAbove = PendingSorted && (Pending.empty() ? AboveTable(key) && AboveRuns(key)
                                               : PendingAbove && std::memcmp(&Pending[Pending.size() - rs], key, KeyLen) < 0);
  if (KeyAbove) {
    if (Runs.empty()) {
      if (KeysCover) Keys.Clear();
      KeysCover = false;
    }
    return false;
  }
  const uint64_t h = KeyTakenHash = KeyHash(key, KeyLen);
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
  if (PendingHolds(key, h) || RunsHold(key)) return true;
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

namespace {
// So that a wrong "perhaps" from the filter is seldom a tag match too.
uint16_t PendingTag(uint64_t h) { return TKeyFilter::Spare(h); }
}  // namespace

bool TPdxTableState::PendingHolds(const uint8_t* key, uint64_t h) {
  const size_t rs = H.RecordSize, count = PendingCount();
  auto same = [&](size_t r) { return std::memcmp(&Pending[r * rs], key, KeyLen) == 0; };
  if (!PendingSorted && KeysCover) {
    // Tags compared a stretch at a time (which the compiler does many to an instruction), the
    // records looked at only in a stretch that has the tag.
    const uint16_t tag = PendingTag(h);
    const uint16_t* tags = PendingTags.data();
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
  if (!PendingSorted) {
    for (; PendingIndexed < count; ++PendingIndexed)
      PendingKeys.Insert(KeyHash(&Pending[PendingIndexed * rs], KeyLen), uint32_t(PendingIndexed));
    return PendingKeys.Find(h, [&](uint32_t r) { return same(r); });
  }
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
  ForEachRecord([&](const uint8_t* rec) { Keys.Add(KeyHash(rec, KeyLen)); });
  KeysCover = true;
  UncoveredReads = 0;
}

// Records that come in key order (the usual bulk load) need no tags: they are searched by halving.
// The tags are made when the first record comes out of order. The key's hash is KeyTaken's, made
// only for a key that was not above every other.
void TPdxTableState::AddPending(const std::vector<uint8_t>& rec) {
  const uint32_t rs = H.RecordSize;
  auto hash = [&] { return KeyAbove ? KeyHash(rec.data(), KeyLen) : KeyTakenHash; };
  if (Pending.empty()) {
    Pending.reserve(kPendingBytes + rs);
    PendingTags.clear();
    PendingIndexed = 0;
    PendingSorted = true;
    PendingAbove = KeyAbove;
  }
  if (PendingSorted && !Pending.empty() && std::memcmp(&Pending[Pending.size() - rs], rec.data(), KeyLen) > 0) {
    PendingSorted = false;
    PendingTags.reserve(kPendingBytes / rs + 1);
    for (size_t r = 0; r < PendingCount(); ++r) PendingTags.push_back(PendingTag(KeyHash(&Pending[r * rs], KeyLen)));
  }
  if (!PendingSorted) PendingTags.push_back(PendingTag(hash()));
  Pending.insert(Pending.end(), rec.begin(), rec.end());
  if (KeysCover) Keys.Add(hash());
}

namespace detail {

// Reads records [from, from + n) of a run.
void ReadRun(const TPdxTableState::TWaitingRun& run, size_t recordSize, uint32_t from, uint32_t n, void* out) {
  const size_t bytes = size_t(n) * recordSize;
  if (run.File->ReadAt(uint64_t(from) * recordSize, out, bytes) != bytes)
    throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(run.Path) + ": файл обрезан"_ansi);
}

// The waiting records in key order: Pending's (through its sorted order) and, when asked, those of
// the runs, merged. Peek gives the next record, null at the end. The sources meet in a tournament:
// each match is won by the lower key, compared by the keys' first eight bytes taken as a number
// (the rest only where those agree), and taking the winner's next record replays only the matches
// on its way to the top.
class TWaitingRecords {
 public:
  TWaitingRecords(const TPdxTableState& s, bool withRuns)
      : FState(s), FOrder(s.PendingOrder()), FSize(s.H.RecordSize), FKeyLen(size_t(s.KeyLen)) {
    if (withRuns)
      for (const auto& run : s.Runs) FSources.push_back(TSource{&run, 0, {}, 0, nullptr, 0, false});
    FSources.emplace_back();  // Pending
    const size_t count = FSources.size();
    FSources.emplace_back();  // the player of the empty places, always done
    FSources.back().Done = true;
    while (FLeaves < count) FLeaves *= 2;
    FTree.assign(2 * FLeaves, count);
    for (size_t i = 0; i < count; ++i) {
      FTree[FLeaves + i] = i;
      Advance(i);
    }
    for (size_t node = FLeaves - 1; node >= 1; --node) FTree[node] = Winner(FTree[2 * node], FTree[2 * node + 1]);
    Settle();
  }
  const uint8_t* Peek() const { return FCur; }
  void Pop() {
    const size_t src = FTree[1];
    Advance(src);
    for (size_t node = (FLeaves + src) / 2; node >= 1; node /= 2)
      FTree[node] = Winner(FTree[2 * node], FTree[2 * node + 1]);
    Settle();
  }

 private:
  // A run read back a piece at a time, or Pending (Run null).
  struct TSource {
    const TPdxTableState::TWaitingRun* Run = nullptr;
    uint32_t Read = 0;
    std::string Buf;
    size_t At = 0;
    const uint8_t* Cur = nullptr;
    uint64_t Prefix = 0;
    bool Done = false;
  };
  size_t Winner(size_t a, size_t b) const {
    const TSource &x = FSources[a], &y = FSources[b];
    if (x.Done || y.Done) return x.Done ? b : a;
    if (x.Prefix != y.Prefix) return x.Prefix < y.Prefix ? a : b;
    return FKeyLen > 8 && std::memcmp(y.Cur + 8, x.Cur + 8, FKeyLen - 8) < 0 ? b : a;
  }
  void Advance(size_t i) {
    TSource& r = FSources[i];
    if (r.Done) return;
    if (!r.Run) {
      if (FNext == FOrder.size()) {
        r.Done = true;
        return;
      }
      r.Cur = &FState.Pending[size_t(FOrder[FNext++]) * FSize];
    } else {
      if (r.At + FSize > r.Buf.size()) {
        if (r.Read == r.Run->Count) {
          r.Done = true;
          return;
        }
        const uint32_t n = std::min<uint32_t>(r.Run->Count - r.Read, uint32_t(std::max<size_t>(1, (256u << 10) / FSize)));
        r.Buf.resize(size_t(n) * FSize);
        ReadRun(*r.Run, FSize, r.Read, n, r.Buf.data());
        r.Read += n;
        r.At = 0;
      }
      r.Cur = reinterpret_cast<const uint8_t*>(r.Buf.data()) + r.At;
      r.At += FSize;
    }
    if (FLeaves > 1) r.Prefix = KeyPrefix(r.Cur, FKeyLen);  // a lone source plays no match
  }
  void Settle() {
    const TSource& w = FSources[FTree[1]];
    FCur = w.Done ? nullptr : w.Cur;
  }

  const TPdxTableState& FState;
  std::vector<uint32_t> FOrder;
  size_t FNext = 0, FSize, FKeyLen;
  std::vector<TSource> FSources;
  size_t FLeaves = 1;
  std::vector<size_t> FTree;  // FTree[n]: the source that won the match at node n; leaves from FLeaves
  const uint8_t* FCur = nullptr;
};

}  // namespace detail

// Puts the waiting records (with the runs' when `withRuns`) into the blocks in one pass in key
// order: each block that takes some is rewritten once with its records and the new ones, split
// into as many blocks as they need. A failure leaves the table as its files hold it (the waiting
// records are gone).
void TPdxTableState::MergeWaiting(bool withRuns) {
  if (Pending.empty() && (!withRuns || Runs.empty())) return;
  CheckUsable();
  try {
    TWaitingRecords source(*this, withRuns);
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
    merged.reserve(Map.size() + PendingCount() / size_t(PerBlock) + 1);
    size_t entry = 0;
    while (const uint8_t* key = source.Peek()) {
      // The block that takes the next record: the last whose first key is not above it.
      size_t at = size_t(std::upper_bound(Map.begin() + ptrdiff_t(entry) + 1, Map.end(), key, below) - Map.begin()) - 1;
      for (; entry < at; ++entry) merged.push_back(std::move(Map[entry]));
      MergeIntoBlock(Map[at], source, at + 1 < Map.size() ? &Map[at + 1].Key : nullptr, merged);
      entry = at + 1;
      if (Dirty.size() > kDirtyBlocks) WriteDirty();
    }
    for (; entry < Map.size(); ++entry) merged.push_back(std::move(Map[entry]));
    Map.swap(merged);
    IndexDirty = true;
    // The buffer keeps its room while the batch goes on.
    Pending.clear();
    PendingKeys.Clear(Batch > 0);
    if (Batch == 0) std::vector<uint8_t>().swap(Pending);
    if (withRuns) DropRuns();
  } catch (...) {
    Reload();
    throw;
  }
}

// A full buffer: records that came in order above every other go straight to the end of the
// chain; others are sorted into a run beside the table, to be merged once at the end. A run that
// cannot be written is dropped again and the buffer keeps its records.
void TPdxTableState::PendingFull() {
  if (PendingSorted && PendingAbove) {
    MergeWaiting(false);
    return;
  }
  const size_t runs = Runs.size();
  try {
    // The runs' keys are found only through the filter: it must hold every key.
    if (!KeysCover) CoverKeys();
    const size_t rs = H.RecordSize;
    const std::vector<uint32_t> order = PendingOrder();
    TWaitingRun& run = Runs.emplace_back();  // its file goes with the others should this fail
    run.Path = DbPath + ".run" + std::to_string(Runs.size() - 1);
    // A key looked up in the run reads the stretch between two kept keys: 4 KB for short keys,
    // longer ones up to 16 KB so that the kept keys stay within 1/256 of the run.
    run.Stride = uint32_t(std::max<size_t>(1, std::clamp<size_t>(256 * size_t(KeyLen), 4u << 10, 16u << 10) / rs));
    run.File = std::make_unique<TFile>();
    TFile& f = *run.File;
    f.Create(*Env, run.Path);
    std::string buf;
    uint64_t at = 0;
    uint32_t n = 0;
    for (uint32_t r : order) {
      const char* rec = reinterpret_cast<const char*>(&Pending[size_t(r) * rs]);
      if (n++ % run.Stride == 0) run.Keys.append(rec, size_t(KeyLen));
      buf.append(rec, rs);
      if (buf.size() >= (1u << 20)) {
        f.WriteAt(at, buf.data(), buf.size());
        at += buf.size();
        buf.clear();
      }
    }
    f.WriteAt(at, buf.data(), buf.size());
    run.Count = n;
    run.Top.assign(reinterpret_cast<const char*>(&Pending[size_t(order.back()) * rs]), size_t(KeyLen));
    Pending.clear();
    PendingKeys.Clear(true);
  } catch (...) {
    if (Runs.size() > runs) {
      Runs.back().File.reset();
      Env->Remove(Runs.back().Path);
      Runs.pop_back();
    }
    throw;
  }
}

// Whether a run holds a record with this key: the run's kept keys give the stretch to read.
bool TPdxTableState::RunsHold(const uint8_t* key) {
  const size_t rs = H.RecordSize, kl = size_t(KeyLen);
  std::vector<uint8_t> stretch;
  for (const auto& run : Runs) {
    const size_t kept = run.Keys.size() / kl;
    size_t lo = 0, hi = kept;  // the first kept key above `key`
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      if (std::memcmp(run.Keys.data() + mid * kl, key, kl) <= 0) lo = mid + 1; else hi = mid;
    }
    if (lo == 0) continue;
    const uint32_t from = uint32_t(lo - 1) * run.Stride, n = std::min(run.Stride, run.Count - from);
    stretch.resize(size_t(n) * rs);
    ReadRun(run, rs, from, n, stretch.data());
    for (uint32_t i = 0; i < n; ++i)
      if (std::memcmp(&stretch[i * rs], key, kl) == 0) return true;
  }
  return false;
}

// Forgets the runs and removes their files.
void TPdxTableState::DropRuns() {
  for (auto& run : Runs) {
    run.File.reset();
    Env->Remove(run.Path);
  }
  Runs.clear();
}

// Whether `key` is above every key of the runs.
bool TPdxTableState::AboveRuns(const uint8_t* key) const {
  for (const auto& run : Runs)
    if (std::memcmp(key, run.Top.data(), KeyLen) <= 0) return false;
  return true;
}

// Calls fn for every record of the table: those in the blocks, then the waiting ones.
void TPdxTableState::ForEachRecord(const std::function<void(const uint8_t*)>& fn) {
  ForEachBlock([&](uint32_t, const uint8_t* b, int count) {
    for (int i = 0; i < count; ++i) fn(b + 6 + size_t(i) * H.RecordSize);
  });
  ForEachWaiting(fn);
}

// Calls fn for every waiting record: Pending's, then the runs' (read a piece at a time).
void TPdxTableState::ForEachWaiting(const std::function<void(const uint8_t*)>& fn) {
  const size_t rs = H.RecordSize;
  for (size_t off = 0; off < Pending.size(); off += rs) fn(&Pending[off]);
  std::vector<uint8_t> piece;
  for (const auto& run : Runs) {
    const uint32_t step = uint32_t(std::max<size_t>(1, (64u << 10) / rs));
    for (uint32_t from = 0; from < run.Count; from += step) {
      const uint32_t n = std::min(step, run.Count - from);
      piece.resize(size_t(n) * rs);
      ReadRun(run, rs, from, n, piece.data());
      for (uint32_t i = 0; i < n; ++i) fn(&piece[i * rs]);
    }
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
  std::vector<TItem> items, spare(count);
  items.reserve(count);
  // Every byte's counts in one pass over the keys.
  std::vector<std::array<size_t, 257>> start(8);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t p = KeyPrefix(&Pending[i * rs], head);
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
  if (size_t(KeyLen) > head)
    for (size_t i = 0, j; i < count; i = j) {
      for (j = i + 1; j < count && items[j].Prefix == items[i].Prefix; ++j) {}
      if (j - i > 1)
        std::sort(items.begin() + ptrdiff_t(i), items.begin() + ptrdiff_t(j), [&](const TItem& a, const TItem& b) {
          return std::memcmp(&Pending[a.Rec * rs + head], &Pending[b.Rec * rs + head], KeyLen - head) < 0;
        });
    }
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

// Rewrites one block with its records and the waiting records that belong before `limit` (the
// next block's first key; null for the last block), taken from `source`, adding the entries of the
// block and of the blocks split off it to `out`. Blocks are filled to the brim. Once the block's own
// records are all placed, the chain and the header agree at every block, so that the blocks may be
// written meanwhile.
void TPdxTableState::MergeIntoBlock(const TMapEntry& entry, TWaitingRecords& source, const std::string* limit,
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
        std::memcpy(&blk[6 + take * rs], w, rs);
        source.Pop();
        ++added;
      } else {
        std::memcpy(&blk[6 + take * rs], &own[i++ * rs], rs);
      }
    }
    std::memset(&blk[6 + take * rs], 0, H.BlockSize - 6 - take * rs);
    Put16(&blk[4], uint16_t(int(take - 1) * int(rs)));
    out.push_back({std::string(reinterpret_cast<const char*>(&blk[6]), KeyLen), n, uint32_t(take)});
    more = i < have || waiting();
    if (i == have && Dirty.size() > kDirtyBlocks) {
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
