// Internal to the Paradox engine: the state that every handle on one table file shares within the
// process, and the helpers its parts have in common. The parts: PdxEngine.cpp (loading a table,
// its blocks and blobs, cursors, the table operations, flushing, creation), PdxBatch.cpp (the keyed
// records a batch holds back and puts into their blocks together), PdxRuns.cpp (sorted runs and
// their merge, for the batch and the index rebuild), PdxIndex.cpp (the B-trees and the secondary
// indexes), PdxFiles.cpp (the environment, files, the family of a table, and the order of writes
// and syncs), PdxJournal.cpp (the rollback journal), PdxReaderView.cpp (a reader beside a writer
// in another process), PdxCheck.cpp (the consistency check).
// The on-disk layout is described once, at the top of PdxFormat.cpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxBatch.h"
#include "platform/paradox/PdxFiles.h"
#include "platform/paradox/PdxFormat.h"

namespace paradox {

namespace detail {

// The rollback journal "<table>.JNL" of a writer: the old content of every part of the .DB that
// one change overwrites, kept from before the first overwrite until the change is whole; and the
// lock that says the journal's writer is alive. Its format, the tie to its table and the order of
// writes and syncs are described in PdxJournal.cpp.
class TJournal {
 public:
  // What a journal file holds.
  struct TImage {
    enum TKind {
      jNone,     // no change: no file, or its header zero
      jChange,   // a change whole in the journal (Judge: the table's own, which it is in the middle of)
      jOther,    // (Judge) a change whole in the journal that is not the table's own
      jDamaged,  // a file that cannot be read whole: cut short, a hash that fails, another format
    } Kind = jNone;
    uint64_t DbBefore = 0, DbAfter = 0, MbBefore = 0, Table = 0;
    uint32_t Salt = 0;
    struct TEntry {
      uint64_t Offset = 0;
      std::string Old, New;  // the bytes before the change and after it
    };
    std::vector<TEntry> Entries;
  };
  // The journal's name beside the table file at dbPath.
  static std::string PathFor(const std::string& dbPath);
  // Which table a journal is for: the structure that its table's header gives.
  static uint64_t TableMark(const THeader& h);
  // Reads the journal at `path` (jNone when there is none): jNone, jChange or jDamaged. Raises
  // EPdxError when it cannot be read.
  static TImage Read(TPdxEnv& env, const std::string& path);
  // What the journal at `path` is to the table whose .DB is `db`: jChange when it is the table's
  // own change, which the table is in the middle of (its mark is that of the header `db` holds,
  // and every byte the change overwrites holds its old value or its new one); jOther when it
  // checks out but is not; else as Read says. Raises EPdxError when a file cannot be read.
  static TImage Judge(TPdxEnv& env, const std::string& path, TFile& db);
  // Puts the old bytes back, cuts off what the change appended to the .DB (and to the .MB at
  // mbPath, when the change wrote values there) and syncs both. Raises EPdxError naming the file.
  static void Restore(TPdxEnv& env, const TImage& image, const std::string& dbPath, const std::string& mbPath);
  // Empties the journal at `path` for good: its first bytes zeroed and synced.
  static void EmptyFile(TPdxEnv& env, const std::string& path);

  // The old bytes of every part of the .DB the change overwrote (the first kept of each), by
  // offset: what the table held before it.
  static std::map<uint64_t, std::string> Before(const TImage& image);

  // A writer's journal of the table at dbPath, marked `table`.
  void Bind(TPdxEnv& env, const std::string& dbPath, uint64_t table) {
    FEnv = &env;
    FPath = PathFor(dbPath);
    FTable = table;
  }
  // Whether the journal guards overwrites that are not yet durable.
  bool Active() const { return FStage != sIdle; }
  // Whether a part of a change is being written (Begin .. Settle).
  bool Writing() const { return FStage == sKeeping || FStage == sReady; }
  // The journal file's size while it guards a change.
  uint64_t Size() const { return FStage == sIdle ? 0 : FNow.End; }
  // The .MB's size when the last part was written, or when the .MB was opened for writing (0:
  // not open for writing): what a part taken back cuts it to.
  void NoteMbSize(uint64_t size) { FMbSize = size; }
  // Starts a part of a change to `db`: the first starts the change.
  void Begin(TFile& db);
  // Keeps the bytes [off, off + n) of `db` as they are on disk; `now` are the n bytes the part
  // will write there.
  void Keep(TFile& db, uint64_t off, size_t n, const uint8_t* now);
  // Makes the journal whole and durable before the first overwrite of the part: the part's entries
  // are synced, then the header that covers them (its name too, the first time); `dbAfter` is the
  // .DB's size once the part is written.
  void Ready(uint64_t dbAfter);
  // The part is written; the journal goes on guarding it until Commit.
  void Settle() { FStage = sOpen; }
  // The change is whole: the files are synced, then the journal is emptied and synced.
  void Commit(TFile& db, TFile* mb);
  // After a failure: takes back the part being written and makes the parts before it durable
  // (or, when that fails or the failure was Commit's, takes back the whole change), and empties
  // the journal; parts written whole stay when no part was being written. `db` is the table's
  // .DB, also at dbPath. `takenBack` runs once old bytes are back, before the journal is emptied.
  void Rollback(TFile& db, const std::string& dbPath, const std::string& mbPath, const std::function<void()>& takenBack);
  // The writer is done: an empty journal goes. One that guards overwrites not yet durable stays,
  // for the next open to take the change back.
  void Close();

 private:
  // Where the journal stands: its entries, their bytes (with the header) and hash, the .DB's
  // size after them, and the .DB's and .MB's sizes when they began.
  struct TState {
    uint32_t Count = 0;
    uint64_t End = 0, Hash = 0, Db = 0, DbAfter = 0, Mb = 0;
  };
  void WriteHeader(const TState& state);
  void Empty();
  enum TStage { sIdle, sOpen, sKeeping, sReady, sCommitting };
  TPdxEnv* FEnv = nullptr;
  TFile FFile;
  std::string FPath;
  uint64_t FTable = 0, FMbSize = 0, FDbBefore = 0, FMbBefore = 0;
  uint32_t FSalt = 0;
  TState FNow, FPart;  // the journal now, and before the part being written
  bool FNewName = false;
  TStage FStage = sIdle;
};

// The journal file beside a table as a reader found it (see PdxReaderView.cpp).
struct TJournalLook {
  bool Present = false;
  uint64_t Size = 0;
  std::string Head;  // its first bytes
  // A change was begun and not finished: the journal's first byte is not zero.
  bool Begun() const { return !Head.empty() && Head[0] != 0; }
  bool operator==(const TJournalLook&) const = default;
};

// What a reader outside the table's writer saw as it began to read (see PdxReaderView.cpp).
struct TReadStart {
  TJournalLook Journal;
  std::vector<uint8_t> Header;  // the .DB's fixed header as the file held it, byte 4F zeroed
  bool Overlay = false;         // the table was read through a dead writer's journal
};

// Changed blocks held before a flush writes them (tests make it small, to write a change in many
// parts).
inline size_t gDirtyBlocks = 256;
// A batch whose journal is begun makes what it wrote durable once the journal, or the blocks it
// wrote since it last did, pass these sizes (and at its end): bounding the journal, and what a
// failed write takes back. A batch that overwrites nothing is durable at its end alone.
inline constexpr uint64_t kJournalCommit = uint64_t(32) << 20;
inline constexpr uint64_t kDataCommit = uint64_t(64) << 20;
// Blocks kept as last read or written, so that the next change near them need not read them.
inline constexpr size_t kCleanBlocks = 16;


// Writes the values of a table's .MB (laid out as the top of PdxFormat.cpp describes): a small
// value into the free room of the block of small values now filling, else of a new one past the
// end; a large one into a block freed in this session that is large enough, else past the end.
// Nothing a record points at is overwritten, and a block is marked taken only once its content
// is whole.
class TMbWriter {
 public:
  explicit TMbWriter(TFile& mb) : FMb(mb) {}
  // The table's values are encrypted with `checksum` (0: plain); `table` names it in messages.
  void Bind(uint32_t checksum, std::string table) {
    FChecksum = checksum;
    FTable = std::move(table);
  }
  // Writes head then data as one value into the .MB, open for writing; returns its pointer for the
  // record. A failed write cuts off what it appended.
  uint32_t Write(std::string_view head, std::string_view data);
  // Marks the value at `ptr` free; a large value's block is kept to be written again.
  void Free(uint32_t ptr);
  // Forgets the block of small values now filling and the blocks freed: the .MB was emptied, or
  // a change taken back.
  void Reset() {
    FSubBlock = 0;
    FFree.clear();
  }

 private:
  TFile& FMb;
  uint32_t FChecksum = 0;
  std::string FTable;
  uint32_t FSubBlock = 0;                             // the block of small values now filling (offset), 0: none
  std::vector<std::pair<uint32_t, uint32_t>> FFree;   // blocks freed: offset, 4 KB units
};

// The name of the B-tree file (.Ynn/.YGn) over a secondary index file named `name` (.Xnn/.XGn).
std::string YName(std::string name);
// A field's definition from its header type and stored size.
TPdxFieldDef FieldFromHeader(uint8_t type, uint8_t size, const std::string& name);
// Adds the definition of the secondary index file at `path` (a .Xnn or .XGn) of the table whose
// header is `table` to `out`. Raises EPdxCorrupt naming the file when it, or its B-tree file
// (.Ynn/.YGn, when there is one that can be read), is not laid out for this table's fields.
void ParseIndexFile(TPdxEnv& env, const std::string& path, const THeader& table, const TPdxTableDef& def, const TCodec& codec,
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
  TPdxTableState() = default;
  TPdxTableState(const TPdxTableState&) = delete;
  TPdxTableState& operator=(const TPdxTableState&) = delete;
  // A writer lets the table go: its indexes are made durable and marked current, its journal goes.
  ~TPdxTableState();
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
  detail::TMbWriter MbWriter{Mb};
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
    bool FromFile = false;  // the block was read from the file to look
  };
  // Keyed records appended inside a batch wait here and go into the blocks together, in key
  // order, when the batch ends and before anything reads or changes the blocks (MergePending).
  detail::TBatch Waiting;
  detail::TTableKeys Keys;       // a keyed table's keys, through a filter
  detail::TUniqueValues Unique;  // the values of its unique secondary indexes, through filters
  std::vector<uint32_t> PendingFree;                  // MB pointers to free after a flush
  detail::TJournal Journal;
  std::vector<std::filesystem::path> Scratch;  // scratch files of a dead process, seen at Load
  uint64_t Mark = 0;        // the table's mark in its journal (TJournal::TableMark)
  bool Writer = false;      // opened for writing: holds the writer's lock and the journal
  // A reader's view of a table whose writer died in the middle of a change: the old bytes of what
  // the change overwrote, by offset, over the file, cut at the size before the change.
  std::map<uint64_t, std::string> Overlay;
  uint64_t OverlaySize = 0;
  uint64_t Reloads = 0;  // times a failed write made the state take the table as its files hold it
  uint64_t Changes = 0;  // changes made through this state, so that a cursor knows it was alone
  detail::TReadStart Start;  // what the files said when this state last read them (not a writer)
  std::mutex LoadMu;         // held while the state is loaded, or brought up to date, for a handle
  bool Loaded = false;
  uint64_t WrittenSinceDurable = 0;  // bytes of blocks written since the table was last synced
  bool Merging = false;     // a batch's waiting records are going into the blocks
  bool HeaderSynced = true; // the header on disk is durable (see WriteChange)
  bool SyncPending = false; // a change is written, its last sync waits for its indexes (WriteDirty)
  bool HoldHeader = false;  // the part being written keeps the header for the indexes (WriteDirty)
  bool Creating = false;    // the table is being made under a temporary name
  std::vector<std::string> ToSync;  // while Creating: files written that its maker syncs
  int Batch = 0;
  bool Dead = false;
  bool Broken = false;      // a failed write left the state unknown: every later use raises
  bool CountKnown = true;   // after a failed write, H holds what a fresh open of the files finds
  // The index files hold what the table holds, though the header's byte still says otherwise
  // (it is cleared when the files are made durable: at the end of a batch, or when the writer
  // lets the table go).
  bool IndexesCurrent = false;
  // The index files are written over the old ones (see WriteIndexes); an .X held by its table
  // takes its table's.
  bool IndexesInPlace = false;
  // The count of the .DB's syncs (TFile::Syncs) from which on its header's flag "indexes out of
  // date", as set, is durable: the flag is taken to be durable only once this handle synced it.
  uint64_t OutOfDateSynced = 1;
  bool IsIndexFile = false;  // a secondary index's .X held by its table (see XStates)
  // The B-tree file over this one: the .PX of a table, the .Ynn/.YGn of a secondary index.
  std::string TreePath, TreeName;
  uint8_t TreeFileType = 1;
  // Keyed tables: the secondary indexes, kept up to date change by change outside batches.
  std::vector<std::unique_ptr<TPdxTableState>> XStates;
  bool XValid = false, FullRebuild = false;

  // Reads the table's files; a `reader` waits while another program writes a change.
  void Load(const std::string& folder, const std::string& base, const std::string& path, bool reader = true);
  void ReadFiles(bool reader);
  void LookAtJournal(const std::string& path, bool reader);
  // The reader's view beside a writer in another process (PdxReaderView.cpp).
  std::string JournalPath() const;
  // The journal file at `path` as it is now (not there: Present false).
  detail::TJournalLook LookAtJournalFile(const std::string& path) const;
  // Waits while another process holds the table's lock and the journal at `journal` is begun (3 s
  // at most, then raises); answers whether the lock is held, and gives the journal as last seen.
  bool WaitForWriter(const std::string& journal, detail::TJournalLook* seen = nullptr);
  // The .DB's fixed header as the file holds it now, byte 4F zeroed.
  std::vector<uint8_t> StampedHeader() const;
  // Whether another process changed the table, or is changing it, since a read began at `start`.
  bool ChangedOutside(const detail::TReadStart& start);
  [[noreturn]] void ChangedWhileRead() const;
  // ReadFiles for a state no handle of this process writes: a read that met a change under way
  // reads again.
  void ReadOutside(bool reader);
  // Whether another process changed the files since this state read them (a reader's state; waits
  // while another process is changing them).
  bool Stale();
  // The writer's change stamp: raised in HeaderBytes before the header of a change goes out.
  void NextStamp();
  // Writes, outside the journal, a stamp above the one the file holds (and HeaderBytes): when a
  // change is taken back, before its journal is emptied or goes.
  void RaiseStamp();
  bool RecoverJournal();
  void SetAside(const std::string& journal, bool damaged);
  void ReleaseWriter();
  void FinishIndexes();
  bool IndexFileUnsound(bool unlessEmpty) const;
  // The problems of the index files against the records, as CheckIntegrity finds them, whatever
  // the header says of them (PdxCheck.cpp).
  std::vector<std::string> IndexProblems();
  void ReadBlock(uint32_t n, uint8_t* out);
  std::vector<uint8_t>& TakeDirty(uint32_t n);
  std::vector<uint8_t>& BlockForWrite(uint32_t n);
  std::vector<uint8_t>& BlockForRange(uint32_t n, uint32_t lo, uint32_t hi);
  const uint8_t* BlockView(uint32_t n, bool* fromFile = nullptr);
  std::vector<uint8_t>& KeepClean(uint32_t n, std::vector<uint8_t> block);
  TMapEntry* MapEntry(uint32_t block, const uint8_t* key);
  int CountIn(const uint8_t* block, uint32_t n) const;
  Variant Decode(const uint8_t* rec, int i);
  std::string ReadBlob(const uint8_t* p, int i);
  void OpenMb(bool write);
  [[noreturn]] void Corrupt(const std::string& what) const {
    throw EPdxCorrupt("Файл "_ansi + detail::QuotePath(DbPath) + " повреждён: "_ansi + what + JournalNote);
  }
  // Said after an error that the table is damaged, when a journal that was not played back lies
  // beside it or was set aside: it may hold bytes the table lost.
  std::string JournalNote;
  // "Таблица "<path>"": how messages name the table (its folder and file).
  std::string TableText() const { return "Таблица "_ansi + detail::QuotePath(DbPath); }
  // writing
  void MakeWritable();
  void EncodeRecord(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old);
  void EncodeValue(int i, const Variant& v, uint8_t* p, const uint8_t* old);
  void WriteBlobs(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old);
  uint32_t AllocBlock();
  void FreeBlock(uint32_t n);
  void LoadMap();
  // Calls fn(n, block, count) for every block of the chain, in chain order; `block` (decrypted)
  // holds for the call only.
  template <class TFn> void ForEachBlock(TFn fn) {
    std::vector<uint8_t> b(H.BlockSize);
    size_t guard = 0;
    for (uint32_t n = H.FirstBlock, prev = 0; n; prev = n, n = detail::Get16(b.data())) {
      if (++guard > FileBlocksOnDisk + Dirty.size() + 1) Corrupt("цепочка блоков зациклена"_ansi);
      ReadBlock(n, b.data());
      CheckLink(n, b.data(), prev);
      fn(n, b.data(), CountIn(b.data(), n));
    }
  }
  // Block n, reached from block `prev` (0: the chain's first), links back to it.
  void CheckLink(uint32_t n, const uint8_t* block, uint32_t prev) const;
  // The chain ended at block `last` with `records` records, fewer than the header counts.
  [[noreturn]] void ShortChain(uint32_t last, uint32_t records) const;
  // Records a change moved to another block (a split, or the first block refilled from the next):
  // their secondary index entries stay, only the block number in them changes.
  struct TMoved {
    uint32_t To = 0;
    std::vector<std::string> Records;
  };
  // The block an insert put its record in, and what it moved to make room.
  struct TPlaced {
    uint32_t Block = 0;
    TMoved Moved;
  };
  TPlaced InsertKeyed(const std::vector<uint8_t>& rec);
  TPlaced InsertAt(const std::vector<uint8_t>& rec, const TKeyPlace& at);
  void AppendUnkeyed(const std::vector<uint8_t>& rec);
  TMoved RemoveAt(TPdxRecordPos pos);
  bool Locate(const uint8_t* key, TKeyPlace& at);
  detail::TKeyLook KeyTaken(const uint8_t* key);
  bool AboveTable(const uint8_t* key);
  void CoverKeys();
  void AddWaiting(const std::vector<uint8_t>& rec, const detail::TKeyLook& look);
  void MergePending() { MergeWaiting(true); }
  void MergeWaiting(bool withRuns);
  void MakeRoom();
  void ForEachRecord(const std::function<void(const uint8_t*)>& fn);
  uint32_t LinkBlockAfter(uint32_t n);
  void MergeIntoBlock(const TMapEntry& entry, detail::TRunMerge& source, const std::string* limit,
                      std::vector<TMapEntry>& out);
  void WriteDirty(bool durable = false);
  void WritePart(bool whole);
  void MakeDurable();
  void CheckUnique(const std::vector<uint8_t>& rec, const uint8_t* old);
  const uint8_t* RecordAt(TPdxRecordPos pos);
  void Flush(bool durable = false);
  void WriteBlocks(uint32_t keep = 0, bool onlyNew = false);
  void WriteChange(bool whole);
  const uint8_t* NewHeader();
  void WriteHeader();
  void Reload();
  void Forget();
  void AgreeWithChain();
  void VerifyChain();
  bool ChainEndsAtLastBlock();
  void CheckUsable() const;
  bool HasIndexes() const { return KeyLen != 0 || !Def.Indexes.empty(); }
  bool IndexesOutOfDate() const { return HeaderBytes.size() > detail::kHdrIndexesOutOfDate && HeaderBytes[detail::kHdrIndexesOutOfDate] != 0; }
  // The index files do not hold what the table holds: the header says so, and no writer here
  // has brought them up to date since.
  bool IndexesBehind() const { return IndexesOutOfDate() && !IndexesCurrent; }
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
  void XInsertAll(const uint8_t* rec, const TPlaced& placed);
  void XRemoveAll(const uint8_t* rec);
  void XRehintAll(const TMoved& moved);
  template <class Fn> void Maintain(Fn fn) {
    if (!XValid || FullRebuild) return;
    try { fn(); } catch (const Exception&) { FullRebuild = true; }
  }
};


}  // namespace paradox
