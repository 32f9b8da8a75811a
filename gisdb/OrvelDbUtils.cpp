#include "gisdb/OrvelDbUtils.h"

#include <algorithm>

#include "foundation/LongOperations.h"

std::string ReplaceQuoteMarks(const std::string& text, const std::string& marks,
                              const std::vector<std::string>& replacements) {
  return ReplaceOutsideLiterals(text, marks, [&](char mark) {
    const std::size_t m = marks.find(mark);
    return m < replacements.size() ? replacements[m] : std::string(1, mark);
  });
}

// --- TOrvDb and TOrvDbObject ------------------------------------------------------------------

TOrvDb::~TOrvDb() {
  for (TOrvDbObject* obj : FObjects) {
    obj->FDb = nullptr;
    obj->FDbIntf.release();
  }
  FObjects.clear();
}

void TOrvDb::Open(IConnParams* params) { FParams = IConnParamsPtr(params); }

IOrvDbTableDefPtr TOrvDb::GetTableDef(const std::string& tableName) {
  TOrvDbTableDef* obj = CreateTableDef();
  IOrvDbTableDefPtr def(obj);
  obj->Load(tableName);
  return def;
}

TOrvDbObject::TOrvDbObject(TOrvDb* db) : FDb(db), FDbIntf(static_cast<IOrvDb*>(db)) {
  db->FObjects.push_back(this);
}

TOrvDbObject::~TOrvDbObject() {
  if (FDb) {
    auto& objects = FDb->FObjects;
    objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
    FDb = nullptr;
  }
  FDbIntf.reset();
}

// --- items and lists -----------------------------------------------------------------------

void TOrvDbTableItem::Changed() {
  if (OnChange) OnChange(this);
}

TOrvDbTableItemList::~TOrvDbTableItemList() { Clear(); }

void TOrvDbTableItemList::ItemAdded(TObject* item) {
  static_cast<TOrvDbTableItem*>(item)->OnChange = [this](TObject* sender) { ItemChanged(sender); };
  if (OnChange) OnChange(this);
}

void TOrvDbTableItemList::ItemRemoved(TObject* item) {
  static_cast<TOrvDbTableItem*>(item)->OnChange = nullptr;
  if (OnChange) OnChange(this);
}

void TOrvDbTableItemList::ItemChanged(TObject* sender) {
  if (OnChange) OnChange(sender);
}

void TOrvDbFieldInfo::SetDef(const TOrvDbFieldDef& def) {
  if (SameFieldDef(def, Current)) return;
  Current = def;
  Changed();
}

void TOrvDbIndexInfo::SetDef(const TOrvDbIndexDef& def) {
  if (SameIndexDef(def, Current)) return;
  Current = def;
  Changed();
}

// --- TOrvDbTableDef ----------------------------------------------------------------------

TOrvDbTableDef::TOrvDbTableDef(TOrvDb* db)
    : TOrvDbObject(db), FFields(std::make_unique<TOrvDbFieldList>()), FIndexes(std::make_unique<TOrvDbIndexList>()) {
  FFields->OnChange = [this](TObject* sender) { ItemsChanged(sender); };
  FIndexes->OnChange = [this](TObject* sender) { ItemsChanged(sender); };
}

TOrvDbTableDef::~TOrvDbTableDef() {
  FFields->OnChange = nullptr;
  FIndexes->OnChange = nullptr;
  FFields.reset();
  FIndexes.reset();
}

bool TOrvDbTableDef::RenameTable(const std::string&, const std::string&) { return false; }

void TOrvDbTableDef::ItemsChanged(TObject* sender) {
  if (sender == FFields.get() || dynamic_cast<TOrvDbFieldInfo*>(sender))
    FChanges |= tcFields;
  else if (sender == FIndexes.get() || dynamic_cast<TOrvDbIndexInfo*>(sender))
    FChanges |= tcIndexes;
  if (OnChange) OnChange(sender);
}

int TOrvDbTableDef::AddField(const TOrvDbFieldDef& def) { return FFields->Add(std::make_unique<TOrvDbFieldInfo>(def)); }

void TOrvDbTableDef::DeleteField(int index) { std::unique_ptr<TObject>(FFields->Extract(index)); }

int TOrvDbTableDef::IndexOfField(const std::string& name) {
  for (int i = 0; i < FFields->Count(); ++i)
    if (AnsiSameText(FFields->Items(i)->Current.Name, name)) return i;
  return -1;
}

void TOrvDbTableDef::MoveField(int from, int to) {
  if (from == to) return;
  FFields->Move(from, to);
  FFields->ItemChanged(FFields.get());
}

int TOrvDbTableDef::AddIndex(const TOrvDbIndexDef& def) { return FIndexes->Add(std::make_unique<TOrvDbIndexInfo>(def)); }

void TOrvDbTableDef::DeleteIndex(int index) { std::unique_ptr<TObject>(FIndexes->Extract(index)); }

int TOrvDbTableDef::IndexOfIndex(const std::string& name) {
  for (int i = 0; i < FIndexes->Count(); ++i)
    if (AnsiSameText(FIndexes->Items(i)->Current.Name, name)) return i;
  return -1;
}

void TOrvDbTableDef::SetTableName(const std::string& name) {
  if (name == FTableName) return;
  FTableName = name;
  FChanges |= tcName;
  if (OnChange) OnChange(this);
}

void TOrvDbTableDef::CancelChanges() {
  std::string name = FOriginalName;
  Clear();
  if (!name.empty()) Load(name);
  FChanges = 0;
}

void TOrvDbTableDef::Clear() {
  FOriginalName.clear();
  FTableName.clear();
  FFields->Clear();
  FIndexes->Clear();
}

TOrvDbIndexInfo* TOrvDbTableDef::PrimaryIndex() const {
  for (int i = 0; i < FIndexes->Count(); ++i)
    if (FIndexes->Items(i)->Current.Options & dioPrimary) return FIndexes->Items(i);
  return nullptr;
}

// --- row transfer ------------------------------------------------------------------------

TTransfer::TTransfer(IOrvDb* db, const std::string& source, TOrvDbTableDef* fieldMap, const std::string& target) {
  std::vector<std::string> names;
  FSource = OpenTableSQL(db, source);
  FTarget = OpenTableSQL(db, target);  // only to look the target's columns up
  auto append = [&](int32_t sourceColumn, const std::string& name, TOrvDbFieldType type) {
    FSourceFields.push_back(sourceColumn);
    names.push_back(name);
    TOrvDbParam p;
    p.DataType = type;
    FParams.push_back(p);
  };
  if (fieldMap) {
    for (int i = 0; i < fieldMap->Fields().Count(); ++i) {
      const TOrvDbFieldInfo* f = fieldMap->Fields().Items(i);
      if (f->Original.Name.empty()) continue;
      int s = FSource->FieldIndex(f->Original.Name);
      int t = FTarget->FieldIndex(f->Current.Name);
      if (s != -1 && t != -1) append(s, f->Current.Name, f->Current.FieldType);
    }
  } else {
    IOrvDbTableDefPtr def = db->GetTableDef(target);
    for (int i = 0; i < def->GetFieldCount(); ++i) {
      TOrvDbFieldDef f = def->GetField(i);
      int s = FSource->FieldIndex(f.Name);
      if (s != -1) append(s, f.Name, f.FieldType);
    }
  }
  FTarget->Close();
  FTarget = names.empty() ? nullptr : BuildInsertSQL(db, target, names);
}

int64_t TTransfer::Run() {
  if (!FTarget) return -1;
  int64_t rows = 0;
  try {
    while (!FSource->Eof()) {
      for (std::size_t i = 0; i < FParams.size(); ++i) FParams[i].Value = FSource->GetValue(Variant(FSourceFields[i]));
      FTarget->Execute(FParams);
      ++rows;
      FSource->Next();
    }
  } catch (Exception& failure) {
    try {
      FTarget->Close();
    } catch (const std::exception& e) {
      failure.SetMessage(failure.Message() + "\r\n" + ExceptionMessage(e));
    }
    throw;
  } catch (...) {
    // Rows held back are written (or fail) here, not in a destructor that can only print; the
    // first failure is the one that passes on.
    try {
      FTarget->Close();
    } catch (...) {
    }
    throw;
  }
  FSource->Close();
  FTarget->Close();
  return rows;
}

int64_t CopyTableData(IOrvDb* db, const std::string& source, const std::string& target, TOrvDbTableDef* fieldMap) {
  TTransfer transfer(db, source, fieldMap, target);
  return transfer.Run();
}

void RunInBracket(IOrvDb* db, const std::function<void()>& work) {
  db->StartTransaction();
  try {
    work();
  } catch (...) {
    try {
      db->Rollback();
    } catch (...) {
    }
    throw;
  }
  db->Commit();
}

void TLongValueReads::Take(const void* column, const std::string& name) {
  if (std::find(FRead.begin(), FRead.end(), column) != FRead.end())
    throw Exception(Format("Ошибка чтения данных: значение поля %s в этой строке уже прочитано"_ansi, {name}));
  FRead.push_back(column);
}

int64_t CountTableRows(IOrvDb* db, const std::string& table) {
  IOrvDbSQLPtr sql = db->CreateSQL("SELECT COUNT(*) FROM [" + table + "]");
  sql->Execute({});
  int64_t n = sql->GetValue(Variant(int32_t(0))).ToInt64();
  sql->Close();
  return n;
}

// --- restructuring -----------------------------------------------------------------------

namespace {

// Closes the long-operation bracket however the work ends.
class TLongOperationScope {
 public:
  explicit TLongOperationScope(bool canTerminate) { BeginLongOperation(canTerminate); }
  ~TLongOperationScope() { EndLongOperation(); }
  TLongOperationScope(const TLongOperationScope&) = delete;
  TLongOperationScope& operator=(const TLongOperationScope&) = delete;
};

[[noreturn]] void RowCountMismatch(const std::string& from, const std::string& to, int64_t expected, int64_t got) {
  throw Exception(Format("Ошибка перестройки таблицы: в таблицу %s перенесено строк %d из %d таблицы %s"_ansi,
                         {to, static_cast<long long>(got), static_cast<long long>(expected), from}));
}

// Whether the table is there and holds that many rows, as the engine answers; an error while
// asking counts as no.
bool HoldsRows(IOrvDb* db, const std::string& table, int64_t rows) {
  try {
    return db->TableExists(table) && CountTableRows(db, table) == rows;
  } catch (...) {
    return false;
  }
}

// Called while an error of a rebuild is in flight. When the table under its old name holds every
// row, the temporary copy of them is dropped (a failing drop does not hide the error). Otherwise
// the copy may be all that is left of the rows: it stays, and the error says where they are.
void SettleTemporaryCopy(IOrvDb* db, const std::string& table, const std::string& temp, bool tableHoldsRows) {
  if (tableHoldsRows) {
    try {
      db->DropTable(temp);
    } catch (...) {
    }
    return;
  }
  try {
    throw;
  } catch (Exception& first) {
    first.SetMessage(first.Message() +
                     Format("\r\nСтроки таблицы %s сохранены во временной таблице %s"_ansi, {table, temp}));
  } catch (...) {
  }
}

// A row copy of a rebuild, committed before the next step relies on it: on an engine that keeps
// work pending until a bracket closes, a later commit that the engine refuses would otherwise
// undo these rows along with the refused step.
int64_t CopyCommitted(IOrvDb* db, const std::string& source, const std::string& target, TOrvDbTableDef* fieldMap) {
  int64_t rows = 0;
  RunInBracket(db, [&] { rows = CopyTableData(db, source, target, fieldMap); });
  return rows;
}

}  // namespace

void TOrvDbTableDef::ApplyChanges() {
  TLongOperationScope bracket(false);
  IOrvDb* db = Db();
  if (!db->TableExists(FOriginalName)) {
    CreateTable(FTableName, true);
    return;
  }
  if (FChanges == tcName && RenameTable(FOriginalName, FTableName)) return;
  RestructureTable();
}

void TOrvDbTableDef::RestructureTable() {
  IOrvDb* db = Db();
  const std::string temp = "tmp_" + FOriginalName;

  // A temporary table left by an earlier rebuild that was interrupted after it dropped the old
  // table holds the only copy of that table's rows: it is dropped only when empty.
  if (db->TableExists(temp) && CountTableRows(db, temp) != 0)
    throw Exception(Format("Ошибка перестройки таблицы %s: временная таблица %s уже есть и не пуста; в ней могут быть "
                           "строки прерванной перестройки таблицы"_ansi,
                           {FOriginalName, temp}));

  // Backup: the old structure as columns only under the temporary name, the rows copied into it
  // and counted, and only then the old table dropped. A drop that fails part-way may have taken
  // the table with it, so from then on the copy goes only while the old table is seen whole.
  RefPtr<TOrvDbTableDef> old(Db()->CreateTableDef());
  int64_t expected = 0;
  bool dropping = false;
  try {
    old->Load(FOriginalName);
    db->DropTable(temp);
    old->CreateTable(temp, false);
    CopyCommitted(db, FOriginalName, temp, nullptr);
    expected = CountTableRows(db, FOriginalName);
    int64_t kept = CountTableRows(db, temp);
    if (kept != expected) RowCountMismatch(FOriginalName, temp, expected, kept);
    dropping = true;
    db->DropTable(FOriginalName);
  } catch (...) {
    SettleTemporaryCopy(db, FOriginalName, temp, !dropping || HoldsRows(db, FOriginalName, expected));
    throw;
  }

  // The new table, filled from the temporary copy column by column. The temporary table is not
  // written from here on: it holds the `expected` rows until it is dropped.
  try {
    CreateTable(FTableName, true);
    try {
      // A new structure that shares no column with the old one keeps no rows, by design.
      if (CopyCommitted(db, temp, FTableName, this) >= 0) {
        int64_t copied = CountTableRows(db, FTableName);
        if (copied != expected) RowCountMismatch(temp, FTableName, expected, copied);
      }
    } catch (...) {
      try {
        db->DropTable(FTableName);
      } catch (...) {
      }
      throw;
    }
  } catch (...) {
    // Put the old table back under its old name with its old structure and rows; until that has
    // worked the temporary table holds the only copy of the rows.
    bool restored = false;
    try {
      old->CreateTable(FOriginalName, true);
      CopyCommitted(db, temp, FOriginalName, nullptr);
      restored = HoldsRows(db, FOriginalName, expected);
    } catch (...) {
    }
    SettleTemporaryCopy(db, FOriginalName, temp, restored);
    throw;
  }

  // Every row is in the rebuilt table: a temporary table that cannot be removed leaves the rebuild
  // done, and the error says so rather than that the rebuild failed.
  try {
    db->DropTable(temp);
  } catch (const std::exception& e) {
    throw Exception(Format("Таблица %s перестроена, но её временную таблицу %s не удалось удалить: %s"_ansi,
                           {FTableName, temp, ExceptionMessage(e)}));
  }
}
