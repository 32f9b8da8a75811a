// The rollback journal of a table. Before a change overwrites a part of the .DB, the old bytes
// (and the new) go to "<table>.JNL" beside it, and the journal is made durable; the journal is
// emptied once the change is whole and synced. A change written in parts (a batch's flushes) adds
// each part's entries after the last's, the header covering them all. The order of the writes it
// guards is stated at the top of PdxFiles.cpp.
//
// Layout (little-endian):
//   header, 72 bytes: "PDXJRNL2", u32 salt (new for every change), u32 entry count, u64 bytes of
//     entries, u64 their hash (each entry's started from the one before, the first from the salt),
//     u64 the .DB's size before the change and u64 after it, u64 the .MB's size before it (0: the
//     change leaves the .MB alone), u64 the table's mark, u64 hash of the 64 bytes before it. An
//     emptied journal has its first bytes zero (or nothing at all, where the disk is too full).
//   entries, back to back: u64 offset in the .DB, u32 length n, the n old bytes, the n bytes the
//     change writes there.
// Hashes start from the salt, so that entries left in the file by an earlier change never
// check out. The header is written last and the journal synced before the first overwrite: a
// journal whose header or entries do not check out guarded no overwrite, and is ignored.
//
// A journal is played back only onto the change it guards. The table's mark (its header's
// structure) says which table it is for; the new bytes say which state: every byte the change
// overwrites must hold its old value or its new one (a power cut may leave any mix of the disk's
// sectors, a failed write any prefix of what it wrote, a failed playback any part of the old
// bytes back). A journal of another table, or of a change that finished long ago (a folder
// restored from a copy), fails that test; it is set aside by the next writer, never played.
//
// The lock: a writer holds a lock on its .DB (TPdxFile::Lock) from the moment it opens the table
// for writing until it lets the table go, so a journal whose table is locked belongs to a live
// writer. Only the next writer plays back a journal whose writer is gone; a reader never changes
// a file: it reads the table as it stood before the change (the old bytes over the file), or
// waits while a live writer finishes its change.
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
  std::vector<uint8_t> j;
  {
    TFile f;
    f.Open(env, path, false);
    const uint64_t size = f.Size();
    if (size > kLargestJournal) {
      image.Kind = TImage::jForeign;
      return image;
    }
    j.resize(size_t(size));
    j.resize(f.ReadAt(0, j.data(), j.size()));
  }
  // Emptied, or never written whole: the change it was for never overwrote anything.
  if (j.empty() || j[0] == 0) return image;
  if (j.size() < sizeof kMagic || std::memcmp(j.data(), kMagic, sizeof kMagic) != 0) {
    image.Kind = TImage::jForeign;
    return image;
  }
  if (j.size() < kHeaderSize || Get64(&j[64]) != Hash(j.data(), 64, 0)) return image;
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

bool TJournal::Belongs(const TImage& image, TFile& db, uint64_t table) {
  if (image.Kind != TImage::jChange || image.Table != table) return false;
  const uint64_t size = db.Size();
  if (size < image.DbBefore || size > std::max(image.DbAfter, image.DbBefore)) return false;
  std::string now;
  for (const auto& [offset, entries] : ByOffset(image)) {
    // What the change appended is cut off whatever it holds.
    if (offset >= image.DbBefore) continue;
    const size_t n = entries[0]->Old.size();
    if (offset + n > image.DbBefore) return false;
    now.resize(n);
    if (db.ReadAt(offset, now.data(), n) != n) return false;
    for (size_t i = 0; i < n; ++i) {
      bool known = now[i] == entries[0]->Old[i] || Unmarked(offset, i);
      for (size_t k = 0; k < entries.size() && !known; ++k) known = entries[k]->New.size() == n && now[i] == entries[k]->New[i];
      if (!known) return false;
    }
  }
  return true;
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
// each part's entries follow the last part's, and the header, rewritten, covers them all.
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
    FDbBefore = FNow.Db;
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
