// Internal to the Paradox engine: the state that every handle on one table file shares within the
// process, and the helpers its parts have in common. The parts: PdxEngine.cpp (loading a table,
// its blocks and blobs, cursors, the table operations, flushing, creation), PdxBatch.cpp (the keyed
// records a batch holds back and puts into their blocks together), PdxIndex.cpp (the B-trees and
// the secondary indexes), PdxFiles.cpp (the environment, files, the family of a table, and the
// order of writes and syncs), PdxJournal.cpp (the rollback journal), PdxCheck.cpp (the consistency
// check).
// The on-disk layout is described once, at the top of PdxFormat.cpp.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxFormat.h"

namespace paradox {

namespace detail {

// Messages: a name (Windows-1251) or a file-system path (UTF-8) in double quotes, and the text of
// a system error code (errno), in Russian for the usual ones.
std::string Quote(const std::string& s);
std::string QuotePath(const std::string& path);
std::string SystemError(int code);

// Case-insensitive lookup of "<base>.<ext>" in a folder; empty when absent.
std::string FindFile(const std::string& folder, const std::string& base, const std::string& ext);
// The extension of a table's rollback journal (see PdxJournal.cpp).
inline constexpr const char* kJournalExt = "JNL";
// Every file of the table's family: .DB .MB .PX .VAL .Xnn .Ynn .XGn .YGn (and .TV/.FAM), and its
// journal. With `scratch`, the table's scratch files too, there: "<family file>.tmp" and
// "<family file>.runN", which live only while a call or a batch runs (any found between those
// were left by a process that died).
std::vector<std::filesystem::path> FamilyFiles(const std::string& folder, const std::string& base,
                                               std::vector<std::filesystem::path>* scratch = nullptr);
// Removes a file; a file already gone is no error.
void RemoveFile(TPdxEnv& env, const std::string& path);

inline bool IsBlobCode(uint8_t t) { return t >= 0x0C && t <= 0x10; }

// One open file, through an environment; every failure raises EPdxError naming the file.
class TFile {
 public:
  TFile() = default;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  void Open(TPdxEnv& env, const std::string& path, bool write);
  void Create(TPdxEnv& env, const std::string& path);  // empty, replacing a file of that name
  void Close();
  bool IsOpen() const { return FFile != nullptr; }
  bool Writable() const { return FWrite; }
  const std::string& Path() const { return FPath; }
  uint64_t Size() const;  // 0 when unknown
  // Reads up to n bytes; fewer only at the end of the file.
  size_t ReadAt(uint64_t off, void* buf, size_t n) const;
  void WriteAt(uint64_t off, const void* buf, size_t n);
  // Makes the written data durable; the disk's own report of a failed write may come only here.
  void Sync();
  void Truncate(uint64_t size);

 private:
  std::unique_ptr<TPdxFile> FFile;
  bool FWrite = false;
  std::string FPath;
};

// A file written under the name "<path>.tmp" and moved over <path> once whole; removed again when
// the work fails before that, so that no temporary file stays behind a failed write.
struct TTempFile {
  TPdxEnv& FEnv;
  std::string Target, Path;
  bool Done = false;
  TTempFile(TPdxEnv& env, std::string target) : FEnv(env), Target(std::move(target)), Path(Target + ".tmp") {}
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  void Replace();
};

// The old content of every part of a table's .DB that one change overwrites, kept in
// "<table>.JNL" beside it from before the first overwrite until the change is whole (the format is
// described in PdxJournal.cpp, the order of the writes it guards at the top of PdxFiles.cpp). A
// change that fails is taken back from it; one that a dead process left half done, by the next
// open of the table.
class TJournal {
 public:
  // The journal's name beside the table file at dbPath.
  static std::string PathFor(const std::string& dbPath);
  // Puts back into the table (the .DB at dbPath and the .MB at mbPath, if any) what the change
  // the journal at `path` guarded had overwritten, cuts off what it appended, and removes the
  // journal. Raises EPdxError naming the file that could not be restored.
  static void PlayBack(TPdxEnv& env, const std::string& path, const std::string& dbPath, const std::string& mbPath);

  bool Active() const { return FFile.IsOpen(); }
  // The .MB's size when the last change was whole, or when the .MB was opened for writing (0:
  // not open for writing): what a change taken back cuts it to.
  void NoteMbSize(uint64_t size) { FMbSize = size; }
  // Starts the journal of a change to `db`, keeping its header and the sizes of both files.
  void Begin(TPdxEnv& env, TFile& db);
  // Keeps the bytes [off, off + n) of `db` as they are on disk.
  void Keep(TFile& db, uint64_t off, size_t n);
  // Makes what was kept durable, before the overwrites it guards.
  void Ready() { FFile.Sync(); }
  // The change is whole: the files it wrote are synced, then the journal is removed.
  void Commit(TFile& db, TFile* mb);
  // Takes the change back (PlayBack).
  void Rollback(const std::string& dbPath, const std::string& mbPath);

 private:
  TPdxEnv* FEnv = nullptr;
  TFile FFile;
  std::string FPath;
  uint64_t FEnd = 0, FMbSize = 0;
};

// The hash of a key's bytes, its bits spread evenly.
inline uint64_t KeyHash(const uint8_t* key, int len) {
  uint64_t h = std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key), size_t(len)));
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

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

// Changed blocks held before a flush writes them.
inline constexpr size_t kDirtyBlocks = 256;
// Blocks kept as last read or written, so that the next change near them need not read them.
inline constexpr size_t kCleanBlocks = 16;
// The bytes of keyed records a batch holds before it puts them into the blocks.
inline constexpr size_t kPendingBytes = size_t(16) << 20;


class TWaitingRecords;

// A field's definition from its header type and stored size.
TPdxFieldDef FieldFromHeader(uint8_t type, uint8_t size, const std::string& name);
// Adds the definition of the secondary index file at `path` (a .Xnn or .XGn) to `out`.
void ParseIndexFile(TPdxEnv& env, const std::string& path, const TPdxTableDef& def, const TCodec& codec,
                    std::vector<TPdxIndexDef>& out);
// A .DB-format header (tables and secondary .X files) at Paradox 7 level.
std::vector<uint8_t> BuildDbHeader(uint8_t fileType, uint32_t blockSize, const std::vector<uint8_t>& types,
                                   const std::vector<uint8_t>& sizes, const std::vector<std::string>& names,
                                   uint16_t keyFields, const std::string& tableName, uint32_t checksum,
                                   const std::vector<uint16_t>& fieldNumbers, const std::string& indexName,
                                   uint8_t sortOrder = 0x8F, uint16_t codePage = 1251,
                                   const std::string& sortId = "ancyrr");

}  // namespace detail

// The table file as this process sees it: its header, its blocks (changed ones held until a flush),
// the map of a keyed table's blocks, the records a batch holds back, and the secondary index files
// kept up to date outside batches. A secondary index's .X file is held as a state of its own.
class TPdxTableState {
 public:
  // Removes the run files of a batch that was never ended; a file that cannot be removed stays.
  ~TPdxTableState() { DropRuns(); }
  TPdxEnv* Env = &TPdxEnv::Default();
  std::string Folder, Base, DbPath, Name;
  detail::TFile Db;
  detail::THeader H;
  std::vector<uint8_t> HeaderBytes;
  TPdxTableDef Def;
  std::vector<int> Offsets, Widths;
  const detail::TCodec* Codec = nullptr;
  uint32_t Checksum = 0;
  bool Encrypted = false;
  uint64_t FileBlocksOnDisk = 0;
  int KeyLen = 0;
  int PerBlock = 0;
  // .MB
  detail::TFile Mb;
  uint32_t MbSubBlock = 0;  // the suballocated block now filling (offset), 0 = none
  std::vector<std::pair<uint32_t, uint32_t>> MbFree;  // freed blob blocks: offset, 4 KB units
  // writing
  std::map<uint32_t, std::vector<uint8_t>> Dirty;   // changed blocks, decrypted
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> Ranges;  // dirty blocks changed only in [lo, hi)
  std::map<uint32_t, std::vector<uint8_t>> Clean;   // a few blocks as last written, decrypted
  bool HeaderDirty = false, IndexDirty = false;
  bool MapLoaded = false;
  struct TMapEntry {
    std::string Key;  // the block's first key
    uint32_t Block = 0;
    uint32_t Count = 0;
  };
  std::vector<TMapEntry> Map;  // every data block of a keyed table, in chain order
  // Where a key sits or would go: the block's entry in Map, the block and the slot.
  struct TKeyPlace {
    size_t Entry = 0;
    uint32_t Block = 0, Slot = 0;
    bool Found = false;
  };
  // Keyed records appended inside a batch wait here, back to back in the order they came, and go
  // into the blocks together, in key order, when the batch ends and before anything reads or
  // changes the blocks (MergePending). A full buffer goes into the blocks when its keys came in
  // order above every other, else it is sorted into a run: a file beside the table, merged with
  // the others at the end, so that each block is rewritten once.
  std::vector<uint8_t> Pending;
  bool PendingSorted = true;  // the records came in key order: they are searched by halving
  bool PendingAbove = false;  // and above every key of the blocks and of the runs
  bool KeyAbove = false;      // KeyTaken's last key was above every other
  uint64_t KeyTakenHash = 0;  // else its hash
  // Out of order, the filter sends few keys to look in Pending: while it covers every key, they
  // are sought among 16 bits of each record's key hash (PendingTags, one per record, back to
  // back); else through PendingKeys, which takes the records [0, PendingIndexed) and catches up
  // at each look.
  std::vector<uint16_t> PendingTags;
  detail::TRecordSet PendingKeys;
  size_t PendingIndexed = 0;
  struct TWaitingRun {
    std::string Path;
    std::unique_ptr<detail::TFile> File;  // open while the run lasts
    uint32_t Count = 0;
    uint32_t Stride = 0;  // every Stride-th record's key is kept in Keys, to find a record
    std::string Keys;
    std::string Top;      // the highest key
  };
  std::vector<TWaitingRun> Runs;
  // With KeysCover, every key in the blocks, in Pending and in the runs has passed through Keys, so
  // that a key the filter has not seen needs no look in the blocks.
  detail::TKeyFilter Keys;
  bool KeysCover = false;
  // The same for the values of each unique secondary index (records whose values are all blank
  // are left out: blanks repeat freely). A wrong "perhaps" costs a pass over the table, so that
  // these filters take 48 bits a record.
  std::vector<const TPdxIndexDef*> UniqueIx;  // the unique indexes, found with the filters
  std::vector<detail::TKeyFilter> UniqueSeen;
  bool UniqueCover = false;
  uint64_t BlockReads = 0, UncoveredReads = 0;  // blocks read from the file to look up a key
  std::vector<uint32_t> PendingFree;                  // MB pointers to free after a flush
  detail::TJournal Journal;
  std::vector<std::filesystem::path> Scratch;  // scratch files of a dead process, seen at Load
  uint64_t Reloads = 0;  // times a failed write made the state take the table as its files hold it
  int Batch = 0;
  bool Dead = false;
  bool Broken = false;      // a failed write left the state unknown: every later use raises
  bool IsIndexFile = false;  // a secondary index's .X held by its table (see XStates)
  // The B-tree file over this one: the .PX of a table, the .Ynn/.YGn of a secondary index.
  std::string TreePath, TreeName;
  uint8_t TreeFileType = 1;
  // Keyed tables: the secondary indexes, kept up to date change by change outside batches.
  std::vector<std::unique_ptr<TPdxTableState>> XStates;
  bool XValid = false, FullRebuild = false;
  uint32_t LastInsertBlock = 0, MovedTo = 0;    // where InsertKeyed put the record / a split's half
  std::vector<std::string> MovedRecs;           // records a split moved to MovedTo

  void Load(const std::string& folder, const std::string& base, const std::string& path);
  void ReadBlock(uint32_t n, uint8_t* out);
  std::vector<uint8_t>& TakeDirty(uint32_t n);
  std::vector<uint8_t>& BlockForWrite(uint32_t n);
  std::vector<uint8_t>& BlockForRange(uint32_t n, uint32_t lo, uint32_t hi);
  const uint8_t* BlockView(uint32_t n);
  std::vector<uint8_t>& KeepClean(uint32_t n, std::vector<uint8_t> block);
  TMapEntry* MapEntry(uint32_t block, const uint8_t* key);
  int CountIn(const uint8_t* block, uint32_t n) const;
  Variant Decode(const uint8_t* rec, int i);
  std::string ReadBlob(const uint8_t* p, int i);
  void OpenMb(bool write);
  [[noreturn]] void Corrupt(const std::string& what) const {
    throw EPdxCorrupt("Файл "_ansi + detail::QuotePath(DbPath) + " повреждён: "_ansi + what);
  }
  // "Таблица "<path>"": how messages name the table (its folder and file).
  std::string TableText() const { return "Таблица "_ansi + detail::QuotePath(DbPath); }
  // writing
  void MakeWritable();
  void EncodeRecord(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old);
  void EncodeValue(int i, const Variant& v, uint8_t* p, const uint8_t* old);
  void WriteBlobs(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old);
  uint32_t WriteBlob(std::string_view head, std::string_view data);
  void FreeBlob(uint32_t ptr);
  uint32_t AllocBlock();
  void FreeBlock(uint32_t n);
  void LoadMap();
  // Calls fn(n, block, count) for every block of the chain, in chain order; `block` (decrypted)
  // holds for the call only.
  template <class TFn> void ForEachBlock(TFn fn) {
    std::vector<uint8_t> b(H.BlockSize);
    size_t guard = 0;
    for (uint32_t n = H.FirstBlock; n; n = detail::Get16(b.data())) {
      if (++guard > FileBlocksOnDisk + Dirty.size() + 1) Corrupt("цепочка блоков зациклена"_ansi);
      ReadBlock(n, b.data());
      fn(n, b.data(), CountIn(b.data(), n));
    }
  }
  void InsertKeyed(const std::vector<uint8_t>& rec);
  void InsertAt(const std::vector<uint8_t>& rec, const TKeyPlace& at);
  void AppendUnkeyed(const std::vector<uint8_t>& rec);
  void RemoveAt(TPdxRecordPos pos);
  bool Locate(const uint8_t* key, TKeyPlace& at);
  bool KeyTaken(const uint8_t* key);
  bool AboveTable(const uint8_t* key);
  void CoverKeys();
  void NoteKey(const uint8_t* key) { if (KeysCover) Keys.Add(detail::KeyHash(key, KeyLen)); }
  size_t PendingCount() const { return Pending.size() / H.RecordSize; }
  size_t WaitingCount() const {
    size_t n = PendingCount();
    for (const auto& run : Runs) n += run.Count;
    return n;
  }
  void AddPending(const std::vector<uint8_t>& rec);  // after KeyTaken for the same record
  bool PendingHolds(const uint8_t* key, uint64_t h);
  void MergePending() { MergeWaiting(true); }
  void MergeWaiting(bool withRuns);
  void PendingFull();
  bool RunsHold(const uint8_t* key);
  bool AboveRuns(const uint8_t* key) const;
  void DropRuns();
  void ForEachWaiting(const std::function<void(const uint8_t*)>& fn);
  void ForEachRecord(const std::function<void(const uint8_t*)>& fn);
  std::vector<uint32_t> PendingOrder() const;
  uint32_t LinkBlockAfter(uint32_t n);
  void MergeIntoBlock(const TMapEntry& entry, detail::TWaitingRecords& source, const std::string* limit,
                      std::vector<TMapEntry>& out);
  void WriteDirty(bool durable = false);
  bool OnlyGrows(uint32_t n, const std::vector<uint8_t>& now);
  void CheckUnique(const std::vector<uint8_t>& rec, const uint8_t* old);
  bool SameValues(const TPdxIndexDef& ix, const uint8_t* a, const uint8_t* b) const;
  bool UniqueHash(const TPdxIndexDef& ix, const uint8_t* rec, uint64_t& h) const;
  void CoverUnique();
  const uint8_t* RecordAt(TPdxRecordPos pos);
  void Flush(bool durable = false);
  void WriteBlocks();
  void WriteHeader();
  void Reload();
  void AgreeWithChain();
  bool ChainEndsAtLastBlock();
  void CheckUsable() const;
  bool HasIndexes() const { return KeyLen != 0 || !Def.Indexes.empty(); }
  bool IndexesOutOfDate() const { return HeaderBytes.size() > 0x4F && HeaderBytes[0x4F] != 0; }
  void MarkIndexesOutOfDate(bool value);
  void WriteIndexes(bool durable);
  void RebuildIndexes(bool durable = false);
  void RebuildTree(bool durable = false);
  void RebuildSecondaries(bool durable);
  // The entries of secondary index `ix` for the records in the blocks, in chain order, back to
  // back: what a rebuild sorts into its .X file.
  std::string SecondaryEntries(const TPdxIndexDef& ix, size_t& entrySize);
  void LoadIndexState(const std::string& path, uint8_t treeType);
  bool PrepareX();
  std::vector<uint8_t> XRecord(size_t i, const uint8_t* rec, uint32_t block) const;
  void XInsertAll(const uint8_t* rec);
  void XRemoveAll(const uint8_t* rec);
  void XRehintAll();
  template <class Fn> void Maintain(Fn fn) {
    if (!XValid || FullRebuild) return;
    try { fn(); } catch (const Exception&) { FullRebuild = true; }
  }
};


}  // namespace paradox
