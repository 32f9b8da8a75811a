// Tables: existence, structure (field and index definitions), creation, renaming and deletion
// of Paradox tables, and the structures a database keeps between reads.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/bde/BdeInternal.h"
#include "platform/bde/BdeServer.h"

namespace bde {

using detail::Quote;

namespace {

// The Paradox type that holds a field definition; Size is adjusted to what Paradox keeps.
paradox::TPdxFieldDef ToPdxField(const TFieldDef& d, const std::string& table) {
  using P = paradox::TPdxFieldType;
  paradox::TPdxFieldDef f;
  f.Name = d.Name;
  f.Required = d.Required;
  auto fail = [&](const std::string& what) {
    throw EDBEngineError("Нельзя создать таблицу "_ansi + Quote(table) + ": поле "_ansi + Quote(d.Name) + " " + what,
                         TDBErrorKind::Value);
  };
  switch (d.DataType) {
    case ftString: case ftFixedChar: case ftWideString:
      if (d.Size < 1) fail(Format("имеет размер %d, а текстовое поле вмещает от 1 до 255 символов"_ansi, {d.Size}));
      f.Type = P::Alpha;
      f.Size = std::min(d.Size, 255);
      break;
    case ftSmallint: case ftWord: f.Type = P::Short; break;
    case ftInteger: f.Type = P::Long; break;
    case ftAutoInc: f.Type = P::Autoinc; break;
    case ftLargeint: f.Type = P::Int64; break;
    case ftBoolean: f.Type = P::Logical; break;
    case ftFloat: f.Type = P::Number; break;
    case ftCurrency: f.Type = P::Currency; break;
    case ftBCD: f.Type = P::BCD; f.Size = std::clamp(d.Size, 0, 32); break;
    case ftDate: f.Type = P::Date; break;
    case ftTime: f.Type = P::Time; break;
    case ftDateTime: case ftTimeStamp: f.Type = P::Timestamp; break;
    case ftMemo: f.Type = P::Memo; f.Size = std::clamp(d.Size, 1, 240); break;
    case ftFmtMemo: f.Type = P::FmtMemo; f.Size = std::clamp(d.Size, 1, 240); break;
    case ftBlob: case ftTypedBinary: f.Type = P::Blob; f.Size = std::clamp(d.Size, 0, 240); break;
    case ftGraphic: f.Type = P::Graphic; f.Size = std::clamp(d.Size, 0, 240); break;
    case ftParadoxOle: case ftDBaseOle: f.Type = P::OLE; f.Size = std::clamp(d.Size, 0, 240); break;
    case ftBytes: case ftVarBytes:
      if (d.Size < 1 || d.Size > 255) fail(Format("имеет размер %d, а двоичное поле вмещает от 1 до 255 байт"_ansi, {d.Size}));
      f.Type = P::Bytes;
      f.Size = d.Size;
      break;
    default:
      fail("имеет тип "_ansi + FieldTypeName(d.DataType) + ", который таблица Paradox не может хранить"_ansi);
  }
  return f;
}

// The Paradox structure of a new table from its field and index definitions.
paradox::TPdxTableDef ToPdxTable(const TFieldDefs& fieldDefs, const TIndexDefs& indexDefs, const std::string& table) {
  paradox::TPdxTableDef def;
  for (int i = 0; i < fieldDefs.Count(); ++i) def.Fields.push_back(ToPdxField(fieldDefs[i], table));
  auto fail = [&](const std::string& what) {
    throw EDBEngineError("Нельзя создать таблицу "_ansi + Quote(table) + ": " + what, TDBErrorKind::Value);
  };
  bool primarySeen = false;
  for (int i = 0; i < indexDefs.Count(); ++i) {
    const TIndexDef& ix = indexDefs[i];
    std::vector<int> fields;
    for (auto& name : SplitFieldList(ix.Fields)) {
      int f = fieldDefs.IndexOf(name);
      if (f < 0) fail("индекс "_ansi + Quote(ix.Name) + " ссылается на несуществующее поле "_ansi + Quote(name));
      fields.push_back(f);
    }
    if (fields.empty()) fail("в индексе "_ansi + Quote(ix.Name) + " нет полей"_ansi);
    if (ix.Options.Contains(ixPrimary)) {
      if (primarySeen) fail("у таблицы может быть только один первичный индекс"_ansi);
      primarySeen = true;
      for (size_t k = 0; k < fields.size(); ++k)
        if (fields[k] != static_cast<int>(k))
          fail("первичный индекс "_ansi + Quote(ix.Fields) + " должен состоять из первых полей таблицы, в их порядке"_ansi);
      def.KeyFieldCount = static_cast<int>(fields.size());
      continue;
    }
    paradox::TPdxIndexDef sec;
    sec.Fields = fields;
    sec.Unique = ix.Options.Contains(ixUnique);
    sec.Composite = fields.size() > 1;
    if (sec.Composite) {
      if (ix.Name.empty()) fail("индексу по полям "_ansi + Quote(ix.Fields) + " нужно имя"_ansi);
      sec.Name = ix.Name;
    } else {
      sec.Name = def.Fields[static_cast<size_t>(fields[0])].Name;
    }
    def.Indexes.push_back(sec);
  }
  return def;
}

// The field and index definitions that a Paradox table's structure reports.
void ReadFieldDefs(const paradox::TPdxTableDef& def, TFieldDefs& defs) {
  defs.Clear();
  for (auto& f : def.Fields) defs.Add(detail::ToFieldDef(f));
}

void ReadIndexDefs(const paradox::TPdxTableDef& def, TIndexDefs& defs) {
  defs.Clear();
  auto names = [&](const std::vector<int>& fields) {
    std::string s;
    for (int f : fields) s += (s.empty() ? "" : ";") + def.Fields[static_cast<size_t>(f)].Name;
    return s;
  };
  if (def.KeyFieldCount > 0) {
    std::vector<int> key;
    for (int i = 0; i < def.KeyFieldCount; ++i) key.push_back(i);
    defs.Add("", names(key), {ixPrimary, ixUnique});
  }
  for (auto& ix : def.Indexes) {
    TIndexOptions options;
    if (ix.Unique) options.Include(ixUnique);
    defs.Add(ix.Name, names(ix.Fields), options);
  }
}

// Runs a table operation where the table's database is: on the server, or in the Paradox folder
// (given the table's name as a file name). A failure ends with the context in its message.
template <class R, class OnServer, class InFolder>
R Run(const TTable& table, const std::string& context, OnServer onServer, InFolder inFolder) {
  try {
    if (table.OnServer()) return onServer();
    return inFolder(CheckTableName(table.TableName()));
  } catch (...) {
    detail::RethrowAsEngineError(context);
  }
}

}  // namespace

namespace detail {

bool TKnownStructures::StampOf(const std::string& path, TStamp& stamp) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  stamp = {uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
  return true;
}

paradox::TPdxTableDef TKnownStructures::Get(const paradox::TPdxDatabase& engine,
                                            const std::vector<std::string>& passwords, const std::string& table) {
  // The stamp is taken before the table is read: a change in between makes the next call read
  // again. A name whose file has other capitals is read every time, as the engine finds it.
  TStamp stamp;
  const bool seen = StampOf((std::filesystem::path(engine.Folder()) / (FsPath(table) + ".DB")).string(), stamp);
  uint64_t forgotten = 0;
  {
    std::lock_guard lock(FLock);
    auto known = FKnown.find(table);
    if (known != FKnown.end()) {
      const TKnown& k = known->second;
      if (seen && k.Stamp == stamp && k.Passwords == passwords) return k.Def;
      FKnown.erase(known);
    }
    forgotten = FForgotten;
  }
  paradox::TPdxTableDef def = engine.TableStructure(table);
  std::lock_guard lock(FLock);
  // A table changing while it was read (Forget) may have been read as it was before.
  if (seen && forgotten == FForgotten) FKnown[table] = TKnown{stamp, passwords, def};
  return def;
}

void TKnownStructures::Forget(const std::string& table) {
  std::lock_guard lock(FLock);
  ++FForgotten;
  std::erase_if(FKnown, [&](const auto& known) { return AnsiSameText(known.first, table); });
}

void TKnownStructures::Clear() {
  std::lock_guard lock(FLock);
  ++FForgotten;
  FKnown.clear();
}

void CheckWritable(const std::string& folder, const std::string& table) {
  auto writable = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  };
  if (!writable(folder))
    throw EDBEngineError("Папка "_ansi + Quote(Utf8ToAnsi(folder, '?')) + " доступна только для чтения"_ansi,
                         TDBErrorKind::Unsupported);
  auto refuse = [&](const std::filesystem::path& file) {
    throw EDBEngineError("Таблица "_ansi + Quote(table) + " доступна только для чтения (файл "_ansi +
                             Quote(Utf8ToAnsi(file.string(), '?')) + " защищён от записи)"_ansi,
                         TDBErrorKind::Unsupported);
  };
  // The file the engine writes: the one of the name as given when it is there, else one whose
  // name differs in capitals only.
  const std::string name = FsPath(table) + ".DB";
  const std::filesystem::path exact = std::filesystem::path(folder) / name;
  std::error_code ec;
  if (std::filesystem::is_regular_file(exact, ec)) {
    if (!writable(exact.string())) refuse(exact);
    return;
  }
  const std::string want = UpperCase(name);
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    if (UpperCase(it->path().filename().string()) != want) continue;
    if (!writable(it->path().string())) refuse(it->path());
  }
}

}  // namespace detail

std::string CheckTableName(const std::string& name) {
  auto bad = [&](const std::string& why) {
    std::string shown;
    for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    throw EDBEngineError("Недопустимое имя таблицы "_ansi + Quote(shown) + ": " + why, TDBErrorKind::BadName);
  };
  if (name.empty()) bad("имя пустое"_ansi);
  if (name.find('\0') != std::string::npos) bad("имя таблицы не может содержать символ NUL"_ansi);
  if (name.find_first_of("/\\") != std::string::npos)
    bad("имя таблицы — это имя файла в папке базы данных, разделителя папок в нём быть не может"_ansi);
  std::string base = name;
  if (base.size() > 3 && SameText(base.substr(base.size() - 3), ".DB")) base.resize(base.size() - 3);
  if (name == "." || name == ".." || base == "." || base == ".." || base.empty())
    bad("\".\" и \"..\" не могут быть именами таблиц"_ansi);
  return base;
}

TTable::TTable()
    : FFieldDefs([this](TFieldDefs& defs) {
        Run<void>(*this, "чтение полей таблицы "_ansi + Quote(FTableName),
                  [&] { detail::ServerFieldDefs(Database().Server(), FTableName, defs); },
                  [&](const std::string& base) { ReadFieldDefs(Database().TableStructure(base), defs); });
      }),
      FIndexDefs([this](TIndexDefs& defs) {
        Run<void>(*this, "чтение индексов таблицы "_ansi + Quote(FTableName),
                  [&] { detail::ServerIndexDefs(Database().Server(), FTableName, defs); },
                  [&](const std::string& base) { ReadIndexDefs(Database().TableStructure(base), defs); });
      }) {}

bool TTable::Exists() const {
  return Run<bool>(*this, "таблица "_ansi + Quote(FTableName),
                   [&] { return detail::ServerTableExists(Database().Server(), FTableName); },
                   [&](const std::string& base) { return Database().Engine().TableExists(base); });
}

void TTable::CreateTable() {
  Run<void>(*this, "создание таблицы "_ansi + Quote(FTableName),
            [&] { detail::ServerCreateTable(Database().Server(), FTableName, FFieldDefs, FIndexDefs); },
            [&](const std::string& base) {
              paradox::TPdxTableDef def = ToPdxTable(FFieldDefs, FIndexDefs, FTableName);
              TDatabase& db = Database();
              detail::CheckWritable(db.Directory(), base);
              db.EndWriteBatches(base);
              db.TableChanging(base);
              db.Engine().CreateTable(base, def);
            });
}

void TTable::RenameTable(const std::string& newName) {
  Run<void>(*this, "переименование таблицы "_ansi + Quote(FTableName) + " в "_ansi + Quote(newName),
            [&] {
              throw EDBEngineError("Нельзя переименовать таблицу "_ansi + Quote(FTableName) + " в "_ansi + Quote(newName) +
                                       ": в базе данных InterBase нет оператора, который переименовывает таблицу"_ansi,
                                   TDBErrorKind::Unsupported);
            },
            [&](const std::string& base) {
              std::string to = CheckTableName(newName);
              TDatabase& db = Database();
              detail::CheckWritable(db.Directory(), base);
              db.EndWriteBatches(base);
              db.TableChanging(base);
              db.TableChanging(to);
              db.Engine().RenameTable(base, to);
            });
  FTableName = newName;
}

void TTable::DeleteTable() {
  Run<void>(*this, "удаление таблицы "_ansi + Quote(FTableName),
            [&] { detail::ServerDeleteTable(Database().Server(), FTableName); },
            [&](const std::string& base) {
              TDatabase& db = Database();
              detail::CheckWritable(db.Directory(), base);
              db.EndWriteBatches(base);
              db.TableChanging(base);
              db.Engine().DeleteTable(base);
            });
}

}  // namespace bde
