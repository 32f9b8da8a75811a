// The Paradox table engine: reads and writes Paradox 3.0 - 7 table files (.DB with its .MB, .PX,
// .Xnn/.Ynn, .XGn/.YGn and .VAL family) directly, standing in for the BDE's Paradox driver.
//
//   TPdxDatabase db("/data/gis", {"secret"});        // a folder; passwords for encrypted tables
//   for (auto& name : db.TableNames()) ...            // "CUSTOMER", ... (no extension)
//   TPdxTableDef def = db.TableStructure("CUSTOMER");  // fields, primary key, secondary indexes
//   auto cur = db.OpenCursor("CUSTOMER");              // forward-only, streams block by block
//   while (cur->Next()) use(cur->Value(0));
//   auto tab = db.OpenTable("CUSTOMER");               // writes
//   tab->Append({Variant(int32_t(7)), Variant("Иванов"_ansi)});
//
// Values cross the API as Variant: Alpha as string, Short as int16, Long/Autoinc as int32,
// Number/Currency as double, Date/Time/Timestamp as date-time (TDateTime), Logical as bool,
// BCD as currency (up to 4 decimals) or double, memo/blob/bytes as byte strings, NULL as
// Variant::Null(). Texts are Windows-1251. Folder paths are file-system (UTF-8) paths; table
// names are Windows-1251 and become UTF-8 file names.
//
// Every error raises EPdxError (an Exception) whose message, in Russian, names the table or the file
// (with its folder) and what is wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Variant.h"

namespace paradox {

class EPdxError : public Exception { using Exception::Exception; };
// A damaged, truncated or hostile file.
class EPdxCorrupt : public EPdxError { using EPdxError::EPdxError; };
// The table is encrypted and none of the session's passwords opens it.
class EPdxPassword : public EPdxError { using EPdxError::EPdxError; };
// A duplicate value in the primary key or in a unique secondary index.
class EPdxKeyViolation : public EPdxError { using EPdxError::EPdxError; };
// A required field left empty.
class EPdxRequired : public EPdxError { using EPdxError::EPdxError; };
// A value that the field cannot hold exactly (too long, out of range, the blank encoding).
class EPdxValue : public EPdxError { using EPdxError::EPdxError; };
// A table that is not in the folder.
class EPdxNotFound : public EPdxError { using EPdxError::EPdxError; };
// A table that is in the folder already.
class EPdxExists : public EPdxError { using EPdxError::EPdxError; };

enum class TPdxFieldType : uint8_t {
  Alpha = 0x01, Date = 0x02, Short = 0x03, Long = 0x04, Currency = 0x05, Number = 0x06,
  Logical = 0x09, Memo = 0x0C, Blob = 0x0D, FmtMemo = 0x0E, OLE = 0x0F, Graphic = 0x10,
  Time = 0x14, Timestamp = 0x15, Autoinc = 0x16, BCD = 0x17, Bytes = 0x18,
  // Only at creation: a 64-bit integer field, created as Number (values beyond 2^53 refused).
  Int64 = 0xF0,
};

// The type's one-letter Paradox code ("A", "N", "$", "+", ...) and its name ("Alpha", ...).
const char* FieldTypeCode(TPdxFieldType type);
const char* FieldTypeName(TPdxFieldType type);
bool IsBlobType(TPdxFieldType type);

struct TPdxFieldDef {
  std::string Name;  // at most 25 characters
  TPdxFieldType Type = TPdxFieldType::Alpha;
  // Alpha: characters (1..255); Bytes: bytes (1..255); memo/blob types: leader bytes kept in
  // the record (0..240; memos at least 1); BCD: decimals (0..32); other types: 0.
  int Size = 0;
  bool Required = false;
};

struct TPdxIndexDef {
  std::string Name;         // primary: empty; single-field secondary: the field's name
  std::vector<int> Fields;  // 0-based field numbers, in key order
  bool Primary = false;
  bool Unique = false;
  bool Composite = false;   // .XGn/.YGn (named) rather than .Xnn/.Ynn (one field)
  std::string FileName;     // the .Xnn/.XGn file (file-system name), empty for the primary
};

struct TPdxTableDef {
  std::vector<TPdxFieldDef> Fields;
  int KeyFieldCount = 0;                // the primary key is the first KeyFieldCount fields
  std::vector<TPdxIndexDef> Indexes;    // secondary indexes
  // Creation options (read back from the file by TableStructure).
  int BlockSize = 4096;                 // 1024 .. 32768, a multiple of 1024
  std::string Password;                 // creation only: encrypts the new table when non-empty
  // Read back only.
  int VersionId = 12;                   // header byte 0x39: 3 .. 12
  int CodePage = 1251;                  // the header's code page (0 when the header has none)
  std::string SortOrderId;              // "ancyrr", "ascii", ...
  bool Encrypted = false;
  int64_t RecordCount = 0;

  int FieldIndex(std::string_view name) const;  // case-insensitive; -1 when absent
  // The primary index (when keyed: unnamed, unique, the first KeyFieldCount fields) followed by
  // the secondary indexes.
  std::vector<TPdxIndexDef> AllIndexes() const;
};

// Where a record sits, as a cursor reports it; valid until the next write to the table.
struct TPdxRecordPos {
  uint32_t Block = 0;  // 1-based data block
  uint32_t Slot = 0;   // 0-based record in the block
};

// One open file of the engine. Every call answers 0 or the errno code of its failure.
class TPdxFile {
 public:
  virtual ~TPdxFile() = default;
  // Reads up to n bytes at `off`; `got` is less than n only at the end of the file.
  virtual int Read(uint64_t off, void* buf, size_t n, size_t& got) = 0;
  // Writes n bytes at `off`; a failed write may have written any part of them.
  virtual int Write(uint64_t off, const void* buf, size_t n) = 0;
  // Makes the data written so far durable.
  virtual int Sync() = 0;
  // Starts writing the data written so far to the disk, so that a Sync to come has less to wait
  // for; a hint, which may do nothing.
  virtual int StartSync() { return 0; }
  virtual int Truncate(uint64_t size) = 0;
  virtual int Size(uint64_t& size) = 0;
  // The lock a table's writer holds on its .DB while it has the table open for writing (see
  // PdxJournal.cpp). It belongs to this open file, not to the process, so that another open of
  // the file sees it, in this process too. lkTake answers 0, or EAGAIN while another open file
  // holds it (a file open for writing only); lkRelease gives it up; lkProbe answers 0 when no
  // other open file holds it and EAGAIN when one does. A file system without such locks answers
  // ENOLCK or EINVAL.
  enum TLockOp { lkTake, lkRelease, lkProbe };
  virtual int Lock(TLockOp op) = 0;
};

// Every file operation of the engine goes through an environment: the default one talks to the
// operating system, and a test's may fail any operation (or every one from some moment on, as a
// process that was killed). Every call answers 0 or the errno code of its failure. Folders are
// listed directly, not through it.
class TPdxEnv {
 public:
  virtual ~TPdxEnv() = default;
  virtual int Open(const std::string& path, bool write, std::unique_ptr<TPdxFile>& file) = 0;
  // Creates the file empty, replacing a file of that name, open for reading and writing.
  virtual int Create(const std::string& path, std::unique_ptr<TPdxFile>& file) = 0;
  // Moves a file to another name, replacing a file there.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Gives a file a second name; EEXIST when the name is taken.
  virtual int Link(const std::string& from, const std::string& to) = 0;
  virtual int Remove(const std::string& path) = 0;
  // Makes the names created, renamed and removed in the folder so far durable.
  virtual int SyncFolder(const std::string& folder) = 0;
  // The operating system's.
  static TPdxEnv& Default();
};

// The environment of every TPdxDatabase made without one of its own: the default, or the one a
// test put in place (null puts the default back). The caller keeps `env` alive while in use.
TPdxEnv& ProcessEnv();
void SetProcessEnv(TPdxEnv* env);

class TPdxTableState;  // shared per table file within the process
namespace detail { struct TReadStart; }

// A forward-only cursor. Holds one block at a time; reads go through the same process-wide
// table state as writers, so writes made through any handle are seen at once. A walk of a table
// that another program changed meanwhile ends with an error saying so (Next raises, at the latest
// where it would answer false, or reading a value does) instead of giving rows of no state the
// table was in.
class TPdxCursor {
 public:
  ~TPdxCursor();
  TPdxCursor(const TPdxCursor&) = delete;
  TPdxCursor& operator=(const TPdxCursor&) = delete;
  const TPdxTableDef& Def() const;
  // Moves to the next record; false at the end.
  bool Next();
  const std::vector<Variant>& Values();  // the current record, decoded (blobs read on demand)
  Variant Value(int field);
  TPdxRecordPos Position() const { return FPos; }
  // The current record's raw bytes (decrypted, as on disk).
  const uint8_t* RawRecord() const;

 private:
  friend class TPdxDatabase;
  friend class TPdxTable;
  TPdxCursor(std::shared_ptr<TPdxTableState> state);
  bool NextBlock();
  // Raises when another program changed the table since the walk began.
  void CheckAlone();
  std::shared_ptr<TPdxTableState> FState;
  std::unique_ptr<detail::TReadStart> FStart;  // what the files said as the walk began (a reader)
  bool FEnded = false;
  std::vector<uint8_t> FBlock;
  uint32_t FNextBlock = 0;
  int FCountInBlock = 0;
  int FSlot = -1;
  uint32_t FVisited = 0;
  uint32_t FSeen = 0;      // records in the blocks read so far
  uint64_t FChanges = 0;   // the state's changes when the cursor started
  TPdxRecordPos FPos;
  std::vector<Variant> FValues;
  bool FDecoded = false;
};

// Write access to one table. Every method leaves the table as it was when it raises, except when
// writing its files fails (a full disk, an I/O error, a failed sync), the process dies or the power
// fails: a single change outside a batch is then in whole or not at all (in when only its indexes
// failed), and of a batch, what it had written since it was last made durable (at its start and,
// once it overwrote blocks the file held, each 64 MB of blocks) is taken back; the error then says
// how many records the table holds and how many records it had accepted are lost, as RecordCount
// does, and as a fresh open finds. A change that overwrites what the .DB holds is kept in a journal
// "<table>.JNL" beside it until it is whole and synced; the next writer to open the table plays
// back a journal that a dead writer left (one that is damaged, or not the table's own, it sets
// aside unplayed).
// Outside a batch every change is written through at once and is durable when the call returns: the
// data blocks first, then the header, then the indexes (each file written over the old one, the
// header saying meanwhile that they are out of date); but appends to a table without a primary key
// are held, as in a batch, until the block cache fills, the next other change, the end of a batch,
// or the last handle of the table goes (a failure then goes to standard error), so that each does
// not cost a sync. A keyed table's .PX and secondary indexes are updated change by change; an
// unkeyed table's secondary indexes are rebuilt from a scan. Inside a batch (BeginBatch/EndBatch)
// blocks are written when the block cache fills (a batch that only adds records keeps the header,
// the chain's last block and the blocks the file held that it changed for its end, so that the
// files on disk stay the table as it was) and at EndBatch, which rebuilds the indexes once (sorting
// in bounded memory) and makes the table durable; a keyed table's new records wait in a bounded
// buffer (their keys checked at once) and go into their blocks together in key order at EndBatch
// and before anything reads the table (a full buffer of keys out of order waits sorted in a file
// "<table>.DB.runN" beside the table, removed at the end; a record that finds the buffer full when
// no run can be written is refused). Use batches for bulk loads, and end them with EndBatch, which
// raises when the batch cannot be written (the batch is ended all the same). While data is on disk
// ahead of its indexes the table's header says so; indexes (or a header) that a failed write left
// behind are rebuilt, and scratch files a dead process left are removed, when the table is next
// opened for writing.
// One process at a time writes a table: the first to open it for writing holds a lock on it until
// its last handle goes, and another program's open for writing is refused meanwhile (a reader waits
// while a change is being written). Handles are not thread-safe. Close a table's handles before
// renaming or deleting it.
class TPdxTable {
 public:
  // Ends a batch left open; a failure there has no caller to reach and goes to standard error.
  ~TPdxTable();
  TPdxTable(const TPdxTable&) = delete;
  TPdxTable& operator=(const TPdxTable&) = delete;
  const TPdxTableDef& Def() const;
  // Appends (unkeyed) or inserts in key order (keyed). values.size() must equal the field count;
  // a Null Autoinc value takes the next number.
  void Append(const std::vector<Variant>& values);
  // Positions come from a cursor and hold until the next write. To delete several records a
  // cursor found, delete them in the reverse of the cursor's order. An update that changes the
  // primary key moves the record, like a delete and an insert.
  void Update(TPdxRecordPos pos, const std::vector<Variant>& values);
  void Delete(TPdxRecordPos pos);
  // Removes every record (and every blob), keeping the structure and the indexes' files.
  void EmptyTable();
  // Keyed tables: the record with this primary key, if any.
  bool FindKey(const std::vector<Variant>& key, TPdxRecordPos& pos);
  // The values of the record at a position (from a cursor or FindKey).
  std::vector<Variant> Read(TPdxRecordPos pos);
  std::unique_ptr<TPdxCursor> OpenCursor();
  void BeginBatch();
  void EndBatch();
  int64_t RecordCount() const;

 private:
  friend class TPdxDatabase;
  explicit TPdxTable(std::shared_ptr<TPdxTableState> state);
  std::shared_ptr<TPdxTableState> FState;
  int FBatch = 0;
};

// A folder of Paradox tables.
class TPdxDatabase {
 public:
  // Without an environment of its own, the database takes the process's (ProcessEnv) at creation.
  explicit TPdxDatabase(std::string folder, std::vector<std::string> passwords = {}, TPdxEnv* env = nullptr);
  const std::string& Folder() const { return FFolder; }
  TPdxEnv& Env() const { return *FEnv; }
  void AddPassword(const std::string& password) { FPasswords.push_back(password); }

  std::vector<std::string> TableNames() const;  // base names of the .DB files, sorted
  bool TableExists(const std::string& name) const;
  TPdxTableDef TableStructure(const std::string& name) const;
  // The records the table holds as its readers in this process see them (those a batch holds back
  // included), from the table's header: no block is read.
  int64_t RecordCount(const std::string& name) const;
  // Reading changes no file: a table whose writer died in the middle of a change is read as it
  // stood before the change.
  std::unique_ptr<TPdxCursor> OpenCursor(const std::string& name) const;
  std::unique_ptr<TPdxTable> OpenTable(const std::string& name) const;

  // Creates the table (Paradox 7 level, Windows-1251 language driver). Raises when it exists. A
  // power cut leaves it whole or not there until a change to it is durable (the end of its first
  // batch, say) or its writer lets it go.
  void CreateTable(const std::string& name, const TPdxTableDef& def);
  // Removes the table's files, its scratch files and journal with them. Refused while another
  // program has the table open for writing; likewise RenameTable.
  void DeleteTable(const std::string& name);
  // Whatever fails, the table stays whole under one of its names (files of the new name that
  // belong to no table are replaced).
  void RenameTable(const std::string& oldName, const std::string& newName);

  // Checks the table as its readers see it: the block chain and the free list against the header,
  // the key order, the .MB values its records point at and, unless the header says they are being
  // brought up to date, its indexes against its records. Returns every problem found, each naming
  // its file; empty when the table is sound.
  std::vector<std::string> CheckIntegrity(const std::string& name) const;

  // The password's checksum as Paradox stores it (0 for the empty password).
  static uint32_t PasswordChecksum(const std::string& password);

 private:
  std::shared_ptr<TPdxTableState> Acquire(const std::string& name, bool reader = true) const;
  EPdxNotFound NotFound(const std::string& name) const;
  EPdxExists Exists(const std::string& name) const;
  std::string FFolder;
  std::vector<std::string> FPasswords;
  TPdxEnv* FEnv;
};

}  // namespace paradox
