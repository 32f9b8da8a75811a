// The semantic copy: the catalogue read from the GIS database, the names converted, the tables
// copied by the engine, and the catalogue rewritten with the new names. Every question to a
// database goes through the engine's Ask.
#include "copier/CopySemTables.h"

#include <QLabel>
#include <memory>
#include <utility>

#include "copier/FormConvertList.h"
#include "copier/WaitingWork.h"
#include "copier/SemTables.h"
#include "gisdb/OrvelDbUtils.h"
#include "platform/ui/UiText.h"

TCopySemTablesFrame::TCopySemTablesFrame(QWidget* owner)
    : TCopyBaseFrame(owner),
      TableConvert(std::make_unique<TConvert>()),
      FieldConvert(std::make_unique<TConvert>()),
      IndexConvert(std::make_unique<TConvert>()) {
  lblCaption->setText(ToQString("Копирование семантических таблиц"_ansi));
  ItemClass = [](const std::string& name) -> std::unique_ptr<TCopyTableInfo> {
    return std::make_unique<TCopySemTableInfo>(name);
  };
  SetConvertEnabled(false);
}

TCopySemTablesFrame::~TCopySemTablesFrame() { LetGo(std::move(GisDb)); }

void TCopySemTablesFrame::InitSemCopy(const std::string& caption, const IOrvDbPtr& gisDb, const IOrvDbPtr& source,
                                      const IOrvDbPtr& destination) {
  Init(caption, source, destination);
  LetGo(std::exchange(GisDb, gisDb));
}

void TCopySemTablesFrame::LetGoDatabases() {
  TCopyBaseFrame::LetGoDatabases();
  LetGo(std::move(GisDb));
}

bool TCopySemTablesFrame::AnyConvertEnabled() const {
  return TableConvert->Enabled || FieldConvert->Enabled || IndexConvert->Enabled;
}

void TCopySemTablesFrame::SetConvertEnabled(bool value) {
  TableConvert->Enabled = value;
  FieldConvert->Enabled = value;
  IndexConvert->Enabled = value;
}

TCopySemTableInfo* TCopySemTablesFrame::GetItem(int index) const {
  auto* item = dynamic_cast<TCopySemTableInfo*>(GetTable(index));
  if (!item) throw Exception(Format("Элемент %d списка таблиц не является семантической таблицей"_ansi, {index}));
  return item;
}

// --- reading ---------------------------------------------------------------------------------

void TCopySemTablesFrame::ReadCatalogue(const std::string& table, const std::string& nameColumn, bool refBooks) {
  struct TEntry {
    std::string Table, ID, Display;
  };
  struct TCatalogue {
    int32_t Rows = 0;
    std::vector<TEntry> Entries;
  };
  // A catalogue is small: it is read whole in one question.
  const TCatalogue catalogue = Ask([db = GisDb, table, nameColumn](TCopyRun&) {
    TCatalogue answer;
    IOrvDbSQLPtr count = db->CreateSQL(Format("SELECT Count(*) FROM [%s]", {table}));
    count->Execute({});
    answer.Rows = count->AsInt32(Variant(int32_t(0)));
    count->Close();
    IOrvDbSQLPtr cursor = OpenTableSQL(db.get(), table);
    while (!cursor->Eof()) {
      TEntry entry;
      entry.Display = cursor->AsString(Variant(nameColumn));
      entry.Table = cursor->AsString(Variant("TABLENAME"));
      entry.ID = cursor->AsString(Variant("ID")).substr(0, 12);
      answer.Entries.push_back(std::move(entry));
      cursor->Next();
    }
    cursor->Close();
    return answer;
  });
  BeginRowsProgress(refBooks ? "Считывание информаци о справочниках"_ansi
                             : "Считывание информации о семантических таблицах"_ansi,
                    catalogue.Rows);
  for (const TEntry& entry : catalogue.Entries) {
    const std::string description =
        refBooks ? Format("Ошибка записи в справочник \"%s\""_ansi, {entry.Display})
                 : Format("Ошибка записи в  семантическую таблицу \"%s\""_ansi, {entry.Display});
    const int index = AddTable(entry.Table, description, false);
    TCopySemTableInfo* item = GetItem(index);
    item->IsRefBook = refBooks;
    item->ID = entry.ID;
    item->DisplayName = entry.Display;
    StepRows();
  }
}

void TCopySemTablesFrame::ReadInfo() {
  BeginTablesProgress(2, "Иниациализация"_ansi);
  ReadCatalogue("ORVEL_REFBOOKS", "REFBOOKNAME", true);
  StepTables();
  ReadCatalogue("ORVEL_SEMTABLS", "SEMTABLENAME", false);
  TCopyBaseFrame::ReadInfo();
}

std::string TCopySemTablesFrame::CheckTableName(const std::string& name) const {
  // Table names come from catalogue rows and reach statements and, on Paradox, file names.
  bool bad = name == "." || name == ".." || name.find_first_of(std::string("[]/\\\0", 5)) != std::string::npos;
  for (IOrvDb* db : {Source.get(), Destination.get()}) {
    auto* orvDb = db ? dynamic_cast<TOrvDb*>(db) : nullptr;
    if (!orvDb || !orvDb->Params()) continue;
    for (const char* key : {"LEFTQUOTEMARK", "RIGHTQUOTEMARK"}) {
      const std::string mark = GetConnParam(orvDb->Params(), key, "");
      if (!mark.empty() && name.find(mark) != std::string::npos) bad = true;
    }
  }
  return bad ? Format("Недопустимое имя таблицы \"%s\": имя не должно содержать скобок, кавычек, разделителей папок"_ansi,
                      {name})
             : std::string();
}

void TCopySemTablesFrame::ReadTableInfo(TCopyTableInfo* base) {
  auto* item = static_cast<TCopySemTableInfo*>(base);
  try {
    const std::string bad = CheckTableName(item->SrcName);
    if (!bad.empty()) {
      item->Errors->Clear();
      throw Exception(bad);
    }
    TCopyBaseFrame::ReadTableInfo(item);
  } catch (const EWaitAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    item->Errors->Add(Format("Ошибка копирования таблицы \"%s\""_ansi, {item->DisplayName}));
    item->Errors->Add(ExceptionMessage(e));
    item->Failed = true;
  }
}

void TCopySemTablesFrame::CreateTable(TCopyTableInfo* base) {
  auto* item = static_cast<TCopySemTableInfo*>(base);
  if (item->Failed) return;
  try {
    TCopyBaseFrame::CreateTable(item);
  } catch (const EWaitAbandoned&) {
    throw;
  } catch (const std::exception& e) {
    item->Errors->Add(ExceptionMessage(e));
    item->Failed = true;
  }
}

void TCopySemTablesFrame::CopyTable(TCopyTableInfo* base) {
  auto* item = static_cast<TCopySemTableInfo*>(base);
  if (!item->Failed) TCopyBaseFrame::CopyTable(item);
}

// --- name conversion -------------------------------------------------------------------------

namespace {

std::string ConvertUnique(const TStringList& used, const std::string& name, const TConvert& converter) {
  std::string r = converter.Convert(name);
  while (used.IndexOf(r) >= 0) r = converter.MakeUnique(r);
  return r;
}

}  // namespace

void TCopySemTablesFrame::BeforeCreateTables() {
  if (!AnyConvertEnabled()) return;
  TStringList used;
  auto makeIndexName = [this](const TCopySemTableInfo* item, int n) {
    const int length = std::max(1, IndexConvert->MaxLength - 3);
    return item->DstName.substr(0, static_cast<std::size_t>(length)) + "_I" + std::to_string(n);
  };
  if (TableConvert->Enabled) {
    for (int i = 0; i < TableCount(); ++i) {
      TCopySemTableInfo* item = GetItem(i);
      if (item->Failed) continue;
      item->DstName = ConvertUnique(used, item->DstName, *TableConvert);
      used.Add(item->DstName);
    }
  }
  if (FieldConvert->Enabled) {
    for (int i = 0; i < TableCount(); ++i) {
      TCopySemTableInfo* item = GetItem(i);
      if (item->Failed) continue;
      used.Clear();
      for (int j = 0; j < item->FieldMapCount(); ++j) {
        try {
          const std::string target = ConvertUnique(used, item->GetFieldTarget(Variant(int32_t(j))), *FieldConvert);
          item->SetFieldTarget(Variant(int32_t(j)), target);
          used.Add(target);
        } catch (const std::exception& e) {
          throw Exception(Format("Ошибка преобразования имени поля \"%s\" таблицы \"%s\".\r\nОшибка: %s"_ansi,
                                 {item->GetFieldSource(Variant(int32_t(j))), item->SrcName, ExceptionMessage(e)}));
        }
      }
    }
  }
  used.Clear();
  if (IndexConvert->Enabled) {
    for (int i = 0; i < TableCount(); ++i) {
      TCopySemTableInfo* item = GetItem(i);
      if (item->Failed) continue;
      if (!UniqueIndexes) used.Clear();
      int n = 0;
      for (int j = 0; j < item->IndexMapCount(); ++j) {
        try {
          const std::string target = ConvertUnique(used, makeIndexName(item, n), *IndexConvert);
          item->SetIndexTarget(Variant(int32_t(j)), target);
          used.Add(target);
          ++n;
        } catch (const std::exception& e) {
          throw Exception(Format("Ошибка преобразования имени индекса \"%s\" таблицы \"%s\".\r\nОшибка: %s"_ansi,
                                 {item->GetIndexSource(Variant(int32_t(j))), item->SrcName, ExceptionMessage(e)}));
        }
      }
    }
  }
  if (!EditConvertNames) return;
  TStringList tables, fields, indexes;
  for (int i = 0; i < TableCount(); ++i) {
    TCopySemTableInfo* item = GetItem(i);
    tables.SetValues(item->DstName, item->SrcName);
    for (int j = 0; j < item->FieldMapCount(); ++j)
      fields.SetValues(item->GetFieldTarget(Variant(int32_t(j))), item->GetFieldSource(Variant(int32_t(j))));
    for (int j = 0; j < item->IndexMapCount(); ++j)
      indexes.SetValues(item->GetIndexTarget(Variant(int32_t(j))), item->GetIndexSource(Variant(int32_t(j))));
  }
  std::vector<TConvertListData> groups = {{"Таблицы"_ansi, &tables, TableConvert.get()},
                                          {"Поля"_ansi, &fields, FieldConvert.get()},
                                          {"Индексы"_ansi, &indexes, IndexConvert.get()}};
  if (!ShowConvertList(groups)) return;
  for (int i = 0; i < TableCount(); ++i) {
    TCopySemTableInfo* item = GetItem(i);
    item->DstName = tables.Values(item->DstName);
    // Entries are set from the end: a target cleared to "" deletes its entry.
    for (int j = item->FieldMapCount() - 1; j >= 0; --j)
      item->SetFieldTarget(Variant(int32_t(j)), fields.Values(item->GetFieldTarget(Variant(int32_t(j)))));
    for (int j = item->IndexMapCount() - 1; j >= 0; --j)
      item->SetIndexTarget(Variant(int32_t(j)), indexes.Values(item->GetIndexTarget(Variant(int32_t(j)))));
  }
}

// --- the catalogue rewrite -------------------------------------------------------------------
// Each UPDATE is closed where it runs, so that a row an engine holds back is written, or fails,
// inside the rewrite and not in a destructor that cannot report it.

void TCopySemTablesFrame::CopyTables() {
  TCopyBaseFrame::CopyTables();
  if (!AnyConvertEnabled()) return;
  Lock();
  try {
    BeginTablesProgress(TableCount(), "Вносим изменения в пространственные таблицы"_ansi);
    for (int i = 0; State != csStopped && i < TableCount(); ++i) {
      TCopySemTableInfo* item = GetItem(i);
      if (!item->Failed) {
        if (item->IsRefBook)
          UpdateRefBookNames(item);
        else
          UpdateSemTableNames(item);
      }
      StepTables();
    }
    // The rewritten rows are made durable as a copy run's rows are.
    CommitCatalogue();
  } catch (...) {
    // Rows rewritten before the failure stay rewritten: they are made durable before the error is
    // shown, not left pending in the connection while the wizard stays open. A failure of this
    // commit leaves the first error to be reported.
    try {
      CommitCatalogue();
    } catch (...) {
    }
    Unlock();
    throw;
  }
  Unlock();
}

void TCopySemTablesFrame::CommitCatalogue() {
  Ask([db = GisDb](TCopyRun&) {
    db->StartTransaction();
    db->Commit();
  });
}

void TCopySemTablesFrame::UpdateRefBookNames(TCopySemTableInfo* item) {
  Ask([db = GisDb, name = item->DstName, id = item->ID](TCopyRun&) {
    BuildUpdateSQL(db.get(), "ORVEL_REFBOOKS", {"TABLENAME"}, {"ID"})->Execute({StrParam(name), StrParam(id)})->Close();
  });
}

bool TCopySemTablesFrame::FindItemByID(const std::string& id, TCopySemTableInfo*& found) const {
  for (int i = 0; i < TableCount(); ++i) {
    TCopySemTableInfo* item = GetItem(i);
    if (item->ID == id) {
      found = item;
      return true;
    }
  }
  return false;
}

void TCopySemTablesFrame::UpdateSemTableNames(TCopySemTableInfo* item) {
  TTableInfo structure;
  const std::string stored = Ask([db = GisDb, id = item->ID](TCopyRun&) {
    std::string value;
    IOrvDbSQLPtr select = BuildSelectSQL(db.get(), "ORVEL_SEMTABLS", {"REFBOOKFIELD"}, {"ID"});
    select->Execute({StrParam(id)});
    // A row that has disappeared meanwhile counts as an empty structure value.
    if (!select->Eof()) value = select->AsBlob(Variant(int32_t(0)));
    select->Close();
    return value;
  });
  TMemoryStream stream(stored);
  bool loaded = false;
  try {
    structure.LoadFromStream(stream);
    loaded = true;
    for (int k = structure.Count() - 1; k >= 0; --k) {
      TFieldInfo* f = structure.Fields(k);
      f->Name = item->GetFieldTarget(Variant(f->Name));
      if (f->Name2.empty()) f->Name2 = item->GetFieldSource(Variant(f->Name));
      if (!f->RefBookID.empty()) {
        TCopySemTableInfo* book = nullptr;
        if (FindItemByID(f->RefBookID, book)) {
          f->RefName = book->GetFieldTarget(Variant(f->RefName));
          for (int v = 0; v < f->Values.Count(); ++v)
            f->Values.SetStrings(v, book->GetFieldTarget(Variant(f->Values.Strings(v))));
        } else {
          // Taken out of the table, the field is this function's to free.
          structure.Remove(f);
          const std::unique_ptr<TFieldInfo> dropped(f);
        }
      }
    }
  } catch (const std::exception&) {
    // A renaming that stops half-way keeps what it did; the value is still written back.
  }
  if (!loaded) {
    // A value that cannot be read is kept as it was stored, so no reference-book link is lost;
    // only the table's name is rewritten.
    item->Errors->Add(Format("Предупреждение: структура таблицы \"%s\" в каталоге не прочитана и оставлена без изменений"_ansi,
                             {item->DisplayName}));
    Ask([db = GisDb, name = item->DstName, id = item->ID](TCopyRun&) {
      BuildUpdateSQL(db.get(), "ORVEL_SEMTABLS", {"TABLENAME"}, {"ID"})->Execute({StrParam(name), StrParam(id)})->Close();
    });
    return;
  }
  for (int j = 0; j < item->FieldMapCount(); ++j) {
    const std::string target = item->GetFieldTarget(Variant(int32_t(j)));
    if (structure.FindField(target)) continue;
    auto f = std::make_unique<TFieldInfo>();
    f->Name = target;
    f->Name2 = item->GetFieldSource(Variant(int32_t(j)));
    // The table owns the field once Add has returned; a field it refuses is freed here.
    structure.Add(f.get());
    f.release();
  }
  TMemoryStream out;
  structure.SaveToStream(out);
  Ask([db = GisDb, name = item->DstName, value = out.DataString(), id = item->ID](TCopyRun&) {
    BuildUpdateSQL(db.get(), "ORVEL_SEMTABLS", {"TABLENAME", "REFBOOKFIELD"}, {"ID"})
        ->Execute({StrParam(name), BlobParam(value), StrParam(id)})
        ->Close();
  });
}
