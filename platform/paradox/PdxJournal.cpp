// The rollback journal of a table: before a change overwrites a part of the .DB that held data, the
// old bytes go to "<table>.JNL" beside it; the journal goes when the change is whole. An open that
// finds a journal plays it back first (the order of the writes is stated at the top of PdxFiles.cpp).
//
// Layout (little-endian):
//   header, 32 bytes: "PDXJRNL1", u64 the .DB's size and u64 the .MB's size before the change
//     (0: the change leaves the .MB alone), u32 0, u32 checksum of the 28 bytes before it.
//   entries, back to back: u64 offset in the .DB, u32 length, the old bytes, u32 checksum of the
//     offset, the length and the bytes.
// Entries are written before the overwrites they guard and synced with them; an entry that does
// not check out was being written when the process died, so its overwrite (and every later one)
// never happened: playback stops there. The checksum is FNV-1a of 32 bits.
#include <cerrno>

#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox::detail {

namespace {

constexpr char kMagic[8] = {'P', 'D', 'X', 'J', 'R', 'N', 'L', '1'};
constexpr size_t kHeaderSize = 32;
constexpr uint32_t kLargestEntry = 65536;

uint32_t Fnv(const uint8_t* p, size_t n, uint32_t h = 2166136261u) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, uint32_t(v));
  Put32(p + 4, uint32_t(v >> 32));
}

}  // namespace

std::string TJournal::PathFor(const std::string& dbPath) {
  fs::path p(dbPath);
  const std::string ext = p.extension().string();
  const bool lower = ext.size() > 1 && std::islower(uint8_t(ext[1]));
  return p.replace_extension(lower ? ".jnl" : "." + std::string(kJournalExt)).string();
}

void TJournal::Begin(TPdxEnv& env, TFile& db) {
  FEnv = &env;
  FPath = PathFor(db.Path());
  FFile.Create(env, FPath);
  uint8_t h[kHeaderSize] = {};
  std::memcpy(h, kMagic, sizeof kMagic);
  Put64(h + 8, db.Size());
  Put64(h + 16, FMbSize);
  Put32(h + 28, Fnv(h, 28));
  FFile.WriteAt(0, h, sizeof h);
  FEnd = sizeof h;
  Keep(db, 0, kHdrFixedSize);
}

void TJournal::Keep(TFile& db, uint64_t off, size_t n) {
  std::vector<uint8_t> e(12 + n + 4);
  Put64(&e[0], off);
  Put32(&e[8], uint32_t(n));
  if (db.ReadAt(off, &e[12], n) != n) throw EPdxCorrupt("Файл "_ansi + QuotePath(db.Path()) + " повреждён: он короче, чем указано в заголовке"_ansi);
  Put32(&e[12 + n], Fnv(e.data(), 12 + n));
  FFile.WriteAt(FEnd, e.data(), e.size());
  FEnd += e.size();
}

// The journal stays open until it is removed, so that a failure to remove it still takes the
// change back (a journal left behind would take it back at the next open, after later changes).
void TJournal::Commit(TFile& db, TFile* mb) {
  db.Sync();
  if (mb) mb->Sync();
  RemoveFile(*FEnv, FPath);
  FFile.Close();
}

void TJournal::Rollback(const std::string& dbPath, const std::string& mbPath) {
  FFile.Close();
  PlayBack(*FEnv, FPath, dbPath, mbPath);
}

void TJournal::PlayBack(TPdxEnv& env, const std::string& path, const std::string& dbPath, const std::string& mbPath) {
  std::vector<uint8_t> j;
  {
    TFile f;
    f.Open(env, path, false);
    j.resize(f.Size());
    j.resize(f.ReadAt(0, j.data(), j.size()));
  }
  // A journal whose header never got whole guards no overwrite.
  if (j.size() >= kHeaderSize && std::memcmp(j.data(), kMagic, sizeof kMagic) == 0 && Get32(&j[28]) == Fnv(j.data(), 28)) {
    const uint64_t dbSize = Get64(&j[8]), mbSize = Get64(&j[16]);
    TFile db;
    db.Open(env, dbPath, true);
    for (size_t at = kHeaderSize; at + 12 <= j.size();) {
      const uint64_t off = Get64(&j[at]);
      const uint32_t n = Get32(&j[at + 8]);
      if (n > kLargestEntry || at + 12 + n + 4 > j.size() || off + n > dbSize) break;
      if (Get32(&j[at + 12 + n]) != Fnv(&j[at], 12 + n)) break;
      db.WriteAt(off, &j[at + 12], n);
      at += 12 + n + 4;
    }
    if (db.Size() > dbSize) db.Truncate(dbSize);
    db.Sync();
    if (mbSize && !mbPath.empty()) {
      TFile mb;
      mb.Open(env, mbPath, true);
      if (mb.Size() > mbSize) {
        mb.Truncate(mbSize);
        mb.Sync();
      }
    }
  }
  RemoveFile(env, path);
}

}  // namespace paradox::detail
