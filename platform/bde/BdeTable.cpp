// Tables: existence, structure (field and index definitions), creation, renaming and deletion
// of Paradox tables.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/bde/BdeInternal.h"
#include "platform/bde/BdeServer.h"

namespace bde {

namespace {

std::string Q(const std::string& s) { return "\"" + s + "\""; }

std::vector<std::string> SplitFields(const std::string& fields) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t semi = fields.find(';', start);
    std::string part = Trim(fields.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (!part.empty()) out.push_back(part);
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return out;
}

// The Paradox type that holds a field definition; Size is adjusted to what Paradox keeps.
paradox::TPdxFieldDef ToPdxField(const TFieldDef& d, const std::string& table) {
  using P = paradox::TPdxFieldType;
  paradox::TPdxFieldDef f;
  f.Name = d.Name;
  f.Required = d.Required;
  auto fail = [&](const std::string& what) {
    throw EDBEngineError("Cannot create table " + Q(table) + ": field " + Q(d.Name) + " " + what, TDBErrorKind::Value);
  };
  switch (d.DataType) {
    case ftString: case ftFixedChar: case ftWideString:
      if (d.Size < 1) fail(Format("has the size %d; a text field needs 1 to 255 characters", {d.Size}));
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
      if (d.Size < 1 || d.Size > 255) fail(Format("has the size %d; a bytes field holds 1 to 255 bytes", {d.Size}));
      f.Type = P::Bytes;
      f.Size = d.Size;
      break;
    default:
      fail(std::string("has the type ") + FieldTypeName(d.DataType) + ", which a Paradox table cannot hold");
  }
  return f;
}

}  // namespace

namespace detail {

void CheckWritable(const std::string& folder, const std::string& table) {
  auto writable = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  };
  if (!writable(folder))
    throw EDBEngineError("The folder " + Q(Utf8ToAnsi(folder, '?')) + " is read-only", TDBErrorKind::Unsupported);
  std::string want = UpperCase(FsPath(table) + ".DB");
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    if (UpperCase(it->path().filename().string()) != want) continue;
    if (!writable(it->path().string()))
      throw EDBEngineError("Table " + Q(table) + " is read-only (its file " + Q(Utf8ToAnsi(it->path().string(), '?')) +
                               " may not be written)", TDBErrorKind::Unsupported);
  }
}

}  // namespace detail

std::string CheckTableName(const std::string& name) {
  auto bad = [&](const std::string& why) {
    std::string shown;
    for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    throw EDBEngineError("Bad table name " + Q(shown) + ": " + why, TDBErrorKind::BadName);
  };
  if (name.empty()) bad("the name is empty");
  if (name.find('\0') != std::string::npos) bad("a table name cannot hold a NUL character");
  if (name.find_first_of("/\\") != std::string::npos)
    bad("a table name is a file name in the database's folder and cannot hold a path separator");
  std::string base = name;
  if (base.size() > 3 && SameText(base.substr(base.size() - 3), ".DB")) base.resize(base.size() - 3);
  if (name == "." || name == ".." || base == "." || base == ".." || base.empty())
    bad("\".\" and \"..\" are no table names");
  return base;
}

TTable::TTable()
    : FFieldDefs([this](TFieldDefs& defs) {
        if (OnServer()) {
          try {
            detail::ServerFieldDefs(Database().Server(), FTableName, defs);
          } catch (...) {
            detail::RethrowAsEngineError("reading the fields of table " + Q(FTableName));
          }
          return;
        }
        std::string base = CheckTableName(FTableName);
        try {
          auto def = Database().Engine().TableStructure(base);
          defs.Clear();
          for (auto& f : def.Fields) defs.Add(detail::ToFieldDef(f));
        } catch (...) {
          detail::RethrowAsEngineError("reading the fields of table " + Q(FTableName));
        }
      }),
      FIndexDefs([this](TIndexDefs& defs) {
        if (OnServer()) {
          try {
            detail::ServerIndexDefs(Database().Server(), FTableName, defs);
          } catch (...) {
            detail::RethrowAsEngineError("reading the indexes of table " + Q(FTableName));
          }
          return;
        }
        std::string base = CheckTableName(FTableName);
        try {
          auto def = Database().Engine().TableStructure(base);
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
        } catch (...) {
          detail::RethrowAsEngineError("reading the indexes of table " + Q(FTableName));
        }
      }) {}

bool TTable::Exists() const {
  if (OnServer()) {
    try {
      return detail::ServerTableExists(Database().Server(), FTableName);
    } catch (...) {
      detail::RethrowAsEngineError("table " + Q(FTableName));
    }
  }
  std::string base = CheckTableName(FTableName);
  try {
    return Database().Engine().TableExists(base);
  } catch (...) {
    detail::RethrowAsEngineError("table " + Q(FTableName));
  }
}

void TTable::CreateTable() {
  if (OnServer()) {
    try {
      detail::ServerCreateTable(Database().Server(), FTableName, FFieldDefs, FIndexDefs);
    } catch (...) {
      detail::RethrowAsEngineError("creating table " + Q(FTableName));
    }
    return;
  }
  std::string base = CheckTableName(FTableName);
  paradox::TPdxTableDef def;
  for (int i = 0; i < FFieldDefs.Count(); ++i) def.Fields.push_back(ToPdxField(FFieldDefs[i], FTableName));
  auto fail = [&](const std::string& what) {
    throw EDBEngineError("Cannot create table " + Q(FTableName) + ": " + what, TDBErrorKind::Value);
  };
  bool primarySeen = false;
  for (int i = 0; i < FIndexDefs.Count(); ++i) {
    const TIndexDef& ix = FIndexDefs[i];
    std::vector<int> fields;
    for (auto& name : SplitFields(ix.Fields)) {
      int f = FFieldDefs.IndexOf(name);
      if (f < 0) fail("index " + Q(ix.Name) + " names the unknown field " + Q(name));
      fields.push_back(f);
    }
    if (fields.empty()) fail("index " + Q(ix.Name) + " has no fields");
    if (ix.Options.Contains(ixPrimary)) {
      if (primarySeen) fail("a table has one primary index");
      primarySeen = true;
      for (size_t k = 0; k < fields.size(); ++k)
        if (fields[k] != static_cast<int>(k))
          fail("the primary index " + Q(ix.Fields) + " must cover the leading fields of the table, in table order");
      def.KeyFieldCount = static_cast<int>(fields.size());
      continue;
    }
    paradox::TPdxIndexDef sec;
    sec.Fields = fields;
    sec.Unique = ix.Options.Contains(ixUnique);
    sec.Composite = fields.size() > 1;
    if (sec.Composite) {
      if (ix.Name.empty()) fail("the index over " + Q(ix.Fields) + " needs a name");
      sec.Name = ix.Name;
    } else {
      sec.Name = def.Fields[static_cast<size_t>(fields[0])].Name;
    }
    def.Indexes.push_back(sec);
  }
  try {
    TDatabase& db = Database();
    detail::CheckWritable(db.Directory(), base);
    db.EndWriteBatches(base);
    db.Engine().CreateTable(base, def);
  } catch (...) {
    detail::RethrowAsEngineError("creating table " + Q(FTableName));
  }
}

void TTable::RenameTable(const std::string& newName) {
  if (OnServer())
    throw EDBEngineError("Cannot rename table " + Q(FTableName) + " to " + Q(newName) +
                             ": an InterBase database has no statement that renames a table",
                         TDBErrorKind::Unsupported);
  std::string base = CheckTableName(FTableName);
  std::string to = CheckTableName(newName);
  try {
    TDatabase& db = Database();
    detail::CheckWritable(db.Directory(), base);
    db.EndWriteBatches(base);
    db.Engine().RenameTable(base, to);
  } catch (...) {
    detail::RethrowAsEngineError("renaming table " + Q(FTableName) + " to " + Q(newName));
  }
  FTableName = newName;
}

void TTable::DeleteTable() {
  if (OnServer()) {
    try {
      detail::ServerDeleteTable(Database().Server(), FTableName);
    } catch (...) {
      detail::RethrowAsEngineError("deleting table " + Q(FTableName));
    }
    return;
  }
  std::string base = CheckTableName(FTableName);
  try {
    TDatabase& db = Database();
    detail::CheckWritable(db.Directory(), base);
    db.EndWriteBatches(base);
    db.Engine().DeleteTable(base);
  } catch (...) {
    detail::RethrowAsEngineError("deleting table " + Q(FTableName));
  }
}

}  // namespace bde
