// The classes both back-ends derive from, and table restructuring.
//
// TOrvDb is the base of every open database. Every object a database hands out (statements,
// table definitions) derives from TOrvDbObject: it registers with its database and holds a
// counted reference to it, so a database lives as long as anything it made. A database destroyed
// with objects still registered detaches them.
//
// TOrvDbTableDef is the editable structure of one table: field and index items, each with the
// definition it was loaded with (Original) and the one edited since (Current), and change flags.
// ApplyChanges creates the table, renames it, or rebuilds it through a temporary copy named
// "tmp_" + the old name, carrying each column from its Original name to its Current name. A
// temporary table of that name that holds rows is never dropped: it may be all that is left of an
// interrupted rebuild, and the rebuild is refused instead. A rebuild that fails drops its own
// temporary table only while the table under its old name holds every row; otherwise the error
// says that the rows are kept in the temporary table. When only the temporary table cannot be
// removed at the end, the table is rebuilt and the error says so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ObjectLists.h"
#include "gisdb/OrvelDbs.h"

// Replaces each mark character outside quoted literals (as ReplaceOutsideLiterals reads them) by
// the replacement at the same position; an empty replacement removes the character, and a mark
// without a replacement stays.
std::string ReplaceQuoteMarks(const std::string& text, const std::string& marks,
                              const std::vector<std::string>& replacements);

// A notification with the object it concerns.
using TNotifyEvent = std::function<void(TObject* sender)>;

class TOrvDbObject;
class TOrvDbTableDef;

class TOrvDb : public TInterfacedObject, public IOrvDb {
 public:
  TOrvDb() = default;
  // Detaches every object still registered (without releasing their references: the database is
  // already going).
  ~TOrvDb() override;

  // A new, empty table definition of the back-end's class.
  virtual TOrvDbTableDef* CreateTableDef() = 0;
  // Keeps the parameters; a back-end calls this first and then connects.
  void Open(IConnParams* params) override;
  // Creates a definition through CreateTableDef and loads it from the named table.
  IOrvDbTableDefPtr GetTableDef(const std::string& tableName) final;

  IConnParams* Params() const { return FParams.get(); }
  // The live objects this database made, in the order they were made.
  const std::vector<TOrvDbObject*>& Objects() const { return FObjects; }

 private:
  friend class TOrvDbObject;
  std::vector<TOrvDbObject*> FObjects;
  IConnParamsPtr FParams;
};

class TOrvDbObject : public TInterfacedObject {
 public:
  explicit TOrvDbObject(TOrvDb* db);
  // Unregisters, then releases the database (which may then go).
  ~TOrvDbObject() override;
  TOrvDb* Db() const { return FDb; }

 private:
  friend class TOrvDb;
  TOrvDb* FDb = nullptr;
  IOrvDbPtr FDbIntf;
};

// The memo and blob columns of a statement's current row that have been read, by the column's
// object in the engine layer: each such value is handed out once a row (IOrvDbSQL::GetValue).
class TLongValueReads {
 public:
  // A new row, or none: every column may be read again.
  void NewRow() { FRead.clear(); }
  // Marks the column read; raises "Ошибка чтения данных: значение поля <name> в этой строке уже
  // прочитано" when it was read before in this row.
  void Take(const void* column, const std::string& name);

 private:
  std::vector<const void*> FRead;
};

// One field or index of a definition; Changed tells the list it is in.
class TOrvDbTableItem : public TObject {
 public:
  TNotifyEvent OnChange;
  void Changed();
};

// The owning list of items: every item added, removed or changed is reported through OnChange
// (the list itself as sender for additions and removals, the item for changes).
class TOrvDbTableItemList : public TObjectList {
 public:
  ~TOrvDbTableItemList() override;
  TNotifyEvent OnChange;
  void ItemChanged(TObject* sender);

 protected:
  void ItemAdded(TObject* item) override;
  void ItemRemoved(TObject* item) override;
};

class TOrvDbFieldInfo : public TOrvDbTableItem {
 public:
  explicit TOrvDbFieldInfo(const TOrvDbFieldDef& def) : Original(def), Current(def) {}
  // Takes the definition as Current when it differs, and reports the change.
  void SetDef(const TOrvDbFieldDef& def);
  const TOrvDbFieldDef Original;
  TOrvDbFieldDef Current;
};

class TOrvDbIndexInfo : public TOrvDbTableItem {
 public:
  explicit TOrvDbIndexInfo(const TOrvDbIndexDef& def) : Original(def), Current(def) {}
  void SetDef(const TOrvDbIndexDef& def);
  const TOrvDbIndexDef Original;
  TOrvDbIndexDef Current;
};

class TOrvDbFieldList : public TOrvDbTableItemList {
 public:
  TOrvDbFieldInfo* Items(int index) const { return static_cast<TOrvDbFieldInfo*>(TList::Items(index)); }
};

class TOrvDbIndexList : public TOrvDbTableItemList {
 public:
  TOrvDbIndexInfo* Items(int index) const { return static_cast<TOrvDbIndexInfo*>(TList::Items(index)); }
};

// Change flags of a definition.
inline constexpr uint8_t tcName = 1;
inline constexpr uint8_t tcFields = 2;
inline constexpr uint8_t tcIndexes = 4;

class TOrvDbTableDef : public TOrvDbObject, public IOrvDbTableDef {
 public:
  explicit TOrvDbTableDef(TOrvDb* db);
  ~TOrvDbTableDef() override;

  // Back-end operations.
  // Clear; both names := name; when the name is not empty, read the table's fields and indexes
  // and append them with AddField and AddIndex; finally no change flags.
  virtual void Load(const std::string& name) = 0;
  // Creates a table of that name from the current definitions; without Full only the columns
  // (no NOT NULL, no indexes).
  virtual void CreateTable(const std::string& name, bool full) = 0;
  // Renames a table in place; false (the default) when the back-end cannot, and then
  // ApplyChanges rebuilds the table instead.
  virtual bool RenameTable(const std::string& oldName, const std::string& newName);
  virtual TOrvDbTableDef* GetSelf() { return this; }

  // IOrvDbTableDef
  int GetFieldCount() override { return FFields->Count(); }
  TOrvDbFieldDef GetField(int index) override { return FFields->Items(index)->Current; }
  void SetField(int index, const TOrvDbFieldDef& def) override { FFields->Items(index)->SetDef(def); }
  int AddField(const TOrvDbFieldDef& def) override;
  void DeleteField(int index) override;
  int IndexOfField(const std::string& name) override;
  void MoveField(int from, int to) override;
  int GetIndexCount() override { return FIndexes->Count(); }
  TOrvDbIndexDef GetIndex(int index) override { return FIndexes->Items(index)->Current; }
  void SetIndex(int index, const TOrvDbIndexDef& def) override { FIndexes->Items(index)->SetDef(def); }
  int AddIndex(const TOrvDbIndexDef& def) override;
  void DeleteIndex(int index) override;
  int IndexOfIndex(const std::string& name) override;
  std::string GetTableName() override { return FTableName; }
  void SetTableName(const std::string& name) override;
  bool GetModified() override { return FChanges != 0; }
  void ApplyChanges() override;
  void CancelChanges() override;

  // Empties both names and both lists (the items are freed); the change flags stay.
  void Clear();
  // The first index whose current options hold dioPrimary, or null.
  TOrvDbIndexInfo* PrimaryIndex() const;

  TOrvDbFieldList& Fields() const { return *FFields; }
  TOrvDbIndexList& Indexes() const { return *FIndexes; }
  const std::string& OriginalName() const { return FOriginalName; }
  const std::string& TableName() const { return FTableName; }
  uint8_t Changes() const { return FChanges; }

  // Called after every change, with the changed item, list or definition as sender.
  TNotifyEvent OnChange;

 protected:
  void ItemsChanged(TObject* sender);
  std::string FOriginalName;
  std::string FTableName;
  uint8_t FChanges = 0;

 private:
  void RestructureTable();
  std::unique_ptr<TOrvDbFieldList> FFields;
  std::unique_ptr<TOrvDbIndexList> FIndexes;
};

// Copies every row of one table into another of the same database, one INSERT per row through a
// forward-only cursor. With a field map each column goes from the map's Original name in the
// source to its Current name in the target; without one, target columns are fed from source
// columns of the same name. Columns missing on either side are skipped.
class TTransfer : public TObject {
 public:
  TTransfer(IOrvDb* db, const std::string& source, TOrvDbTableDef* fieldMap, const std::string& target);
  // Copies every row; a failing INSERT stops at that row. The INSERT statement is closed at the
  // end, so that rows an engine holds back are written or their failure raised (after a failed
  // row, with that row's message). Returns the number of rows copied, or -1 when the tables share
  // no column (nothing is read then).
  int64_t Run();

 private:
  IOrvDbSQLPtr FSource;
  IOrvDbSQLPtr FTarget;
  std::vector<int32_t> FSourceFields;
  TOrvDbParams FParams;
};

// A TTransfer from source to target on the database, run and freed. Returns the rows copied, or
// -1 when the tables share no column.
int64_t CopyTableData(IOrvDb* db, const std::string& source, const std::string& target,
                      TOrvDbTableDef* fieldMap);

// The number of rows of a table (SELECT COUNT(*)).
int64_t CountTableRows(IOrvDb* db, const std::string& table);

// Runs work in a bracket of its own and commits it; when work raises, the bracket is rolled back
// and work's error passes on (a failing rollback does not hide it). A refused commit raises as
// Commit does.
void RunInBracket(IOrvDb* db, const std::function<void()>& work);
