// The rollback journal of a table. Before a change overwrites a part of the .DB, the old bytes
// (and the new) go to "<table>.JNL" beside it, and the journal is made durable; the journal is
// emptied once the change is whole and synced. The order of the writes it guards is stated at the
// top of PdxFiles.cpp.
//
// Layout (little-endian):
//   header, 72 bytes: "PDXJRNL2", u32 salt (new for every change), u32 entry count, u64 bytes of
//     entries, u64 their hash (each entry's started from the one before, the first from the salt),
//     u64 the .DB's size before the change (as last synced: blocks that parts before the first
//     journaled one added lie past it) and u64 after the parts journaled so far, u64 the .MB's size
//     before it (0: the change leaves the .MB alone), u64 the table's mark, u64 hash of the 64
//     bytes before it. An emptied journal has its header zero (or nothing at all, where the disk is
//     too full).
//   entries, back to back: u64 offset in the .DB, u32 length n, the n old bytes, the n bytes the
//     change writes there.
// Hashes start from the salt, so that entries left in the file by an earlier change never
// check out.
//
// The order. A change is written in parts (a batch's flushes); each part that overwrites what the
// .DB holds appends its entries after the last part's and syncs them, then rewrites the header (one
// sector, in place) to cover them and syncs it, the folder too when the file is new, and only then
// overwrites anything. So the header only ever covers entries already on the disk, and at every
// instant the journal on disk guards every overwrite that may have reached the .DB. A power cut
// leaves a header that is zero, or that covers entries which check out; nothing else.
//
// What a journal beside a table is (Judge), and what is done with it:
//  - none: no file, or its header zero (emptied, or cut off before it had one). It guards nothing:
//    a reader reads the table as it is, a writer removes it.
//  - damaged: it cannot be read whole: its header or its entries do not check out, it is cut
//    short, or it is of an older format or not this engine's at all. Its entries may be the only
//    copy of bytes a change overwrote, so it is never played and never removed: a reader reads the
//    table as it is, the next writer renames it "<journal>.N" and says so, and an error that the
//    table is damaged names the journal beside it, or where it was set aside.
//  - the table's own change: it checks out, its mark is that of the table's header as the .DB
//    holds it (a change never writes the bytes the mark is made of), and every byte the change
//    overwrites holds its old value or its new one (a power cut may leave any mix of the disk's
//    sectors, a failed write any prefix of what it wrote, a failed playback any part of the old
//    bytes back). While its writer lives (the lock is held) the change is being written: a reader
//    waits for its end. Once its writer is gone, a reader reads the table as it stood before the
//    change (the old bytes over the file, cut at the size before it), writing nothing, and the next
//    writer plays it back, empties and removes it.
//  - another's: it checks out but is not the table's own change: another table's journal, or that
//    of a change that finished long ago (a folder restored from a copy). It is never played and
//    never removed: treated as a damaged one.
//
// The lock: a writer holds a lock on its .DB (TPdxFile::Lock) from the moment it opens the table
// for writing until it lets the table go, so a journal whose table is locked belongs to a live
// writer. A reader asks the lock before it reads the journal: while the lock is held, a journal
// whose first byte is not zero is a change being written, whatever the rest reads as at that
// moment (the writer may be rewriting it), and the reader waits for its end (PdxReaderView.cpp).
#include <cerrno>
#include <map>
#include <mutex>
#include <random>

#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox::detail {

namespace {

constexpr char kMagic[8] = {'P', 'D', 'X', 'J', 'R', 'N', 'L', '2'};
constexpr size_t kHeaderSize = 72;
constexpr uint32_t kLargestEntry = 1u << 20;
constexpr uint64_t kLargestJournal = uint64_t(1) << 30;

uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, uint32_t(v));
  Put32(p + 4, uint32_t(v >> 32));
}

// A 64-bit hash of n bytes, eight at a time.
uint64_t Hash(const uint8_t* p, size_t n, uint64_t h) {
  constexpr uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xC2B2AE3D27D4EB4Full;
  h ^= uint64_t(n) * k2;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    h ^= Get64(p + i) * k1;
    h = ((h << 31) | (h >> 33)) * k2;
  }
  uint64_t tail = 0;
  for (size_t k = 0; i + k < n; ++k) tail |= uint64_t(p[i + k]) << (8 * k);
  h ^= tail * k1;
  h ^= h >> 33;
  h *= k2;
  h ^= h >> 29;
  return h;
}

// The header's byte "indexes out of date" is written outside the journal (it only ever asks for a
// rebuild), and so is its change stamp (which only ever grows): any value of them belongs.
bool Unmarked(uint64_t off, size_t i) { return off + i == kHdrIndexesOutOfDate || InChangeStamp(off + i); }

uint32_t NewSalt() {
  static std::mutex mu;
  static std::mt19937 rng(std::random_device{}());
  std::lock_guard<std::mutex> lock(mu);
  uint32_t s;
  do s = rng(); while (s == 0);
  return s;
}

}  // namespace

std::string TJournal::PathFor(const std::string& dbPath) {
  fs::path p(dbPath);
  const std::string ext = p.extension().string();
  const bool lower = ext.size() > 1 && std::islower(uint8_t(ext[1]));
  return p.replace_extension(lower ? ".jnl" : "." + std::string(kJournalExt)).string();
}

uint64_t TJournal::TableMark(const THeader& h) {
  std::vector<uint8_t> b(12);
  Put16(&b[0], h.HeaderSize);
  Put16(&b[2], h.RecordSize);
  Put32(&b[4], h.BlockSize);
  b[8] = h.FileType;
  Put16(&b[9], h.NumFields);
  b.insert(b.end(), h.Types.begin(), h.Types.end());
  b.insert(b.end(), h.Sizes.begin(), h.Sizes.end());
  return Hash(b.data(), b.size(), 0x50445854u);
}

namespace {

// Parses `count` entries from [p, end), chaining their hashes from `hash`; false when they do not
// check out (a journal written in part).
bool ParseEntries(const uint8_t* p, const uint8_t* end, uint32_t count, uint64_t& hash, std::vector<TJournal::TImage::TEntry>& out) {
  for (uint32_t i = 0; i < count; ++i) {
    if (end - p < 12) return false;
    TJournal::TImage::TEntry e;
    e.Offset = Get64(p);
    const uint32_t n = Get32(p + 8);
    const size_t size = 12 + 2 * size_t(n);
    if (n == 0 || n > kLargestEntry || size_t(end - p) < size) return false;
    e.Old.assign(reinterpret_cast<const char*>(p + 12), n);
    e.New.assign(reinterpret_cast<const char*>(p + 12 + n), n);
    hash = Hash(p, size, hash);
    p += size;
    out.push_back(std::move(e));
  }
  return p == end;
}

// The entries of each offset the change overwrote, in the order they were kept.
std::map<uint64_t, std::vector<const TJournal::TImage::TEntry*>> ByOffset(const TJournal::TImage& image) {
  std::map<uint64_t, std::vector<const TJournal::TImage::TEntry*>> out;
  for (const auto& e : image.Entries) out[e.Offset].push_back(&e);
  return out;
}

}  // namespace

TJournal::TImage TJournal::Read(TPdxEnv& env, const std::string& path) {
  TImage image;
  std::error_code ec;
  if (!fs::exists(path, ec)) return image;
  image.Kind = TImage::jDamaged;
  std::vector<uint8_t> j;
  {
    TFile f;
    f.Open(env, path, false);
    const uint64_t size = f.Size();
    if (size > kLargestJournal) return image;
    j.resize(size_t(size));
    j.resize(f.ReadAt(0, j.data(), j.size()));
  }
  if (AllZero(j.data(), std::min(j.size(), kHeaderSize))) {
    image.Kind = TImage::jNone;
    return image;
  }
  if (j.size() < kHeaderSize || std::memcmp(j.data(), kMagic, sizeof kMagic) != 0 || Get64(&j[64]) != Hash(j.data(), 64, 0))
    return image;
  const uint32_t salt = Get32(&j[8]);
  const uint64_t bytes = Get64(&j[16]);
  if (bytes > j.size() - kHeaderSize) return image;
  std::vector<TImage::TEntry> entries;
  uint64_t hash = salt;
  const uint8_t* p = &j[kHeaderSize];
  if (!ParseEntries(p, p + bytes, Get32(&j[12]), hash, entries) || hash != Get64(&j[24])) return image;
  image.Salt = salt;
  image.DbBefore = Get64(&j[32]);
  image.DbAfter = Get64(&j[40]);
  image.MbBefore = Get64(&j[48]);
  image.Table = Get64(&j[56]);
  image.Entries = std::move(entries);
  image.Kind = TImage::jChange;
  return image;
}

// The mark comes from the .DB's header as the file holds it, never mixed with the journal's old
// bytes: the bytes it is made of are no change's to write, so a journal of this table has the mark
// of the header whatever the change did to its counts, and one of another table is told apart
// before anything of it is laid over the file.
TJournal::TImage TJournal::Judge(TPdxEnv& env, const std::string& path, TFile& db) {
  TImage image = Read(env, path);
  if (image.Kind != TImage::jChange) return image;
  image.Kind = TImage::jOther;
  uint64_t mark = 0;
  try {
    std::vector<uint8_t> header(std::min<uint64_t>(db.Size(), 65536));
    header.resize(db.ReadAt(0, header.data(), header.size()));
    mark = TableMark(ParseHeader(header.data(), header.size(), db.Path()));
  } catch (const EPdxCorrupt&) {
    // A header that cannot be read tells no table: the journal is not known to be its.
    return image;
  }
  if (image.Table != mark) return image;
  // What the change appended is cut off whatever it holds (parts that only add blocks write no
  // entry, so the file may be longer than the last part journaled says).
  if (db.Size() < image.DbBefore) return image;
  std::string now;
  for (const auto& [offset, entries] : ByOffset(image)) {
    if (offset >= image.DbBefore) continue;
    const size_t n = entries[0]->Old.size();
    if (offset + n > image.DbBefore) return image;
    now.resize(n);
    if (db.ReadAt(offset, now.data(), n) != n) return image;
    for (size_t i = 0; i < n; ++i) {
      bool known = now[i] == entries[0]->Old[i] || Unmarked(offset, i);
      for (size_t k = 0; k < entries.size() && !known; ++k) known = entries[k]->New.size() == n && now[i] == entries[k]->New[i];
      if (!known) return image;
    }
  }
  image.Kind = TImage::jChange;
  return image;
}

std::map<uint64_t, std::string> TJournal::Before(const TImage& image) {
  std::map<uint64_t, std::string> out;
  for (const auto& [offset, entries] : ByOffset(image))
    if (offset + entries[0]->Old.size() <= image.DbBefore) out[offset] = entries[0]->Old;
  return out;
}

// Writes `old` at `off` unless the file holds it already: a change cut off before its overwrites
// is taken back without a write (a full disk may refuse every one). The change stamp is left as it
// is, so that it never goes back to an older value (PdxReaderView.cpp).
static void PutBack(TFile& db, uint64_t off, std::string old) {
  std::string now(old.size(), '\0');
  const bool read = db.ReadAt(off, now.data(), now.size()) == now.size();
  if (read)
    for (size_t i = 0; i < old.size(); ++i)
      if (InChangeStamp(off + i)) old[i] = now[i];
  if (!read || now != old) db.WriteAt(off, old.data(), old.size());
}

void TJournal::Restore(TPdxEnv& env, const TImage& image, const std::string& dbPath, const std::string& mbPath) {
  TFile db;
  db.Open(env, dbPath, true);
  for (const auto& [offset, old] : Before(image)) PutBack(db, offset, old);
  if (db.Size() > image.DbBefore) db.Truncate(image.DbBefore);
  db.Sync();
  if (image.MbBefore && !mbPath.empty()) {
    TFile mb;
    mb.Open(env, mbPath, true);
    if (mb.Size() > image.MbBefore) {
      mb.Truncate(image.MbBefore);
      mb.Sync();
    }
  }
}

// The file stays open from the first change to Close: later changes write over the emptied one,
// so that its name is made durable once. A change may be written in parts (a batch's flushes):
// each part's entries follow the last part's, and the header, rewritten once they are synced,
// covers them all.
void TJournal::Begin(TFile& db) {
  if (FStage == sIdle) {
    if (!FFile.IsOpen()) {
      std::error_code ec;
      if (fs::exists(FPath, ec)) {
        FFile.Open(*FEnv, FPath, true);
      } else {
        FFile.Create(*FEnv, FPath);
        FNewName = true;
      }
    }
    FSalt = NewSalt();
    FNow = {};
    FNow.Hash = FSalt;
    FNow.End = kHeaderSize;
    FNow.Db = FNow.DbAfter = db.Size();
    // Parts that only added blocks may have gone before: what they wrote since the file was last
    // synced may not be on the disk, and is cut off with the rest of what the change appended.
    FDbBefore = db.SyncedSize();
    FMbBefore = FMbSize;
  }
  FPart = FNow;
  FPart.Db = db.Size();
  FPart.Mb = FMbSize;
  FStage = sKeeping;
}

void TJournal::Keep(TFile& db, uint64_t off, size_t n, const uint8_t* now) {
  std::vector<uint8_t> e(12 + 2 * n);
  Put64(&e[0], off);
  Put32(&e[8], uint32_t(n));
  if (db.ReadAt(off, &e[12], n) != n) throw EPdxCorrupt("Файл "_ansi + QuotePath(db.Path()) + " повреждён: он короче, чем указано в заголовке"_ansi);
  std::memcpy(&e[12 + n], now, n);
  FFile.WriteAt(FNow.End, e.data(), e.size());
  FNow.Hash = Hash(e.data(), e.size(), FNow.Hash);
  FNow.End += e.size();
  ++FNow.Count;
}

void TJournal::WriteHeader(const TState& state) {
  uint8_t h[kHeaderSize] = {};
  std::memcpy(h, kMagic, sizeof kMagic);
  Put32(h + 8, FSalt);
  Put32(h + 12, state.Count);
  Put64(h + 16, state.End - kHeaderSize);
  Put64(h + 24, state.Hash);
  Put64(h + 32, FDbBefore);
  Put64(h + 40, state.DbAfter);
  Put64(h + 48, FMbBefore);
  Put64(h + 56, FTable);
  Put64(h + 64, Hash(h, 64, 0));
  FFile.WriteAt(0, h, sizeof h);
}

void TJournal::Ready(uint64_t dbAfter) {
  FNow.DbAfter = std::max(FNow.DbAfter, dbAfter);
  // The entries first: the header covers only entries on the disk, so that a journal whose header
  // checks out and whose entries do not was damaged after it was written.
  FFile.Sync();
  WriteHeader(FNow);
  FFile.Sync();
  if (FNewName) {
    SyncFolder(*FEnv, fs::path(FPath).parent_path().string());
    FNewName = false;
  }
  FStage = sReady;
}

void TJournal::Commit(TFile& db, TFile* mb) {
  FStage = sCommitting;
  db.Sync();
  if (mb) mb->SyncWritten();
  Empty();
  FStage = sIdle;
}

// Zeroes the header, or, where even that write is refused (a full disk), cuts the file to nothing.
static void EmptyJournal(TFile& f) {
  const uint8_t zero[kHeaderSize] = {};
  try {
    f.WriteAt(0, zero, sizeof zero);
  } catch (const EPdxError&) {
    f.Truncate(0);
  }
  f.Sync();
}

void TJournal::Empty() { EmptyJournal(FFile); }

void TJournal::EmptyFile(TPdxEnv& env, const std::string& path) {
  TFile f;
  f.Open(env, path, true);
  EmptyJournal(f);
}

// The part being written goes back, and the parts before it are made durable; when that fails, or
// making them durable was what failed, the whole change goes back, so that the table is what the
// next open of its files finds. Parts written whole stay guarded when something else failed.
void TJournal::Rollback(TFile& db, const std::string& dbPath, const std::string& mbPath, const std::function<void()>& takenBack) {
  if (FStage == sIdle || FStage == sOpen) return;
  if (FStage == sKeeping || FStage == sReady) {
    try {
      if (FStage == sReady) {
        std::vector<uint8_t> part(FNow.End - FPart.End);
        if (FFile.ReadAt(FPart.End, part.data(), part.size()) != part.size())
          throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(FPath) + ": файл короче, чем записано"_ansi);
        std::vector<TImage::TEntry> entries;
        uint64_t hash = FPart.Hash;
        ParseEntries(part.data(), part.data() + part.size(), FNow.Count - FPart.Count, hash, entries);
        TFile file;
        file.Open(*FEnv, dbPath, true);
        for (const auto& e : entries) PutBack(file, e.Offset, e.Old);
        if (file.Size() > FPart.Db) file.Truncate(FPart.Db);
        file.Sync();
      }
      if (FPart.Mb && !mbPath.empty()) {
        TFile mb;
        mb.Open(*FEnv, mbPath, true);
        if (mb.Size() > FPart.Mb) mb.Truncate(FPart.Mb);
        mb.Sync();
      }
      FNow = FPart;
      takenBack();
      Commit(db, nullptr);
      return;
    } catch (const EPdxError&) {
      // Then the whole change goes.
    }
  }
  const TImage image = Read(*FEnv, FPath);
  if (image.Kind == TImage::jChange && image.Salt == FSalt) {
    Restore(*FEnv, image, dbPath, mbPath);
    takenBack();
    Empty();
  }
  FStage = sIdle;
}

void TJournal::Close() {
  if (FStage != sIdle || !FFile.IsOpen()) return;
  FFile.Close();
  FEnv->Remove(FPath);
}

}  // namespace paradox::detail
