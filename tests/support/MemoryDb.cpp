#include "tests/support/MemoryDb.h"

#include <algorithm>

namespace testsupport {

namespace {

std::string Key(const std::string& name) { return AnsiUpperCase(name); }

// "[A]" -> "A"; "[T].[A]" -> "A".
std::string Unbracket(std::string s) {
  auto dot = s.find("].[");
  if (dot != std::string::npos) s = s.substr(dot + 2);
  if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
  return s;
}

class TMemTableDef : public TOrvDbTableDef {
 public:
  explicit TMemTableDef(TMemDb* db) : TOrvDbTableDef(db), FMem(db) {}

  void Load(const std::string& name) override {
    Clear();
    FOriginalName = name;
    FTableName = name;
    if (!name.empty()) {
      TMemTable& t = FMem->Table(name);
      for (const auto& f : t.Fields) AddField(f);
      for (const auto& i : t.Indexes) AddIndex(i);
    }
    FChanges = 0;
  }

  void CreateTable(const std::string& name, bool full) override {
    FMem->Touch("create", name);
    if (FMem->Find(name)) throw Exception("table exists: " + name);
    TMemTable t;
    t.Name = name;
    for (int i = 0; i < GetFieldCount(); ++i) {
      TOrvDbFieldDef f = GetField(i);
      if (!full) f.Required = false;
      t.Fields.push_back(f);
    }
    if (full)
      for (int i = 0; i < GetIndexCount(); ++i) t.Indexes.push_back(GetIndex(i));
    FMem->Tables[Key(name)] = t;
  }

  bool RenameTable(const std::string& oldName, const std::string& newName) override {
    if (!FMem->CanRename) return false;
    FMem->Touch("rename", oldName);
    TMemTable t = FMem->Table(oldName);
    FMem->Tables.erase(Key(oldName));
    t.Name = newName;
    FMem->Tables[Key(newName)] = t;
    return true;
  }

 private:
  TMemDb* FMem;
};

class TMemSQL : public TOrvDbObject, public IOrvDbSQL {
 public:
  TMemSQL(TMemDb* db, std::string sql) : TOrvDbObject(db), FMem(db), FSQL(std::move(sql)) {}

  std::string GetSQL() override { return FSQL; }
  void SetSQL(const std::string& sql) override { FSQL = sql; }

  IOrvDbSQLPtr Execute(const TOrvDbParams& params) override {
    FRows.clear();
    FColumns.clear();
    FPos = 0;
    FAffected = 0;
    const std::string count = "SELECT COUNT(*) FROM ";
    const std::string all = "SELECT * FROM ";
    const std::string insert = "INSERT INTO ";
    if (AnsiUpperCase(FSQL).rfind(count, 0) == 0) {
      std::string name = Unbracket(Trim(FSQL.substr(count.size())));
      FMem->Touch("count", name);
      FColumns = {"COUNT"};
      FRows.push_back({Variant(static_cast<int32_t>(FMem->Table(name).Rows.size()))});
    } else if (FSQL.rfind("SELECT [", 0) == 0) {
      // SELECT [T].[A],[T].[B] FROM [T] WHERE ([T].[K]=?) AND ...
      auto from = FSQL.find(" FROM ");
      std::string list = FSQL.substr(7, from - 7);
      std::string rest = Trim(FSQL.substr(from + 6));
      std::string where;
      auto w = rest.find(" WHERE ");
      if (w != std::string::npos) {
        where = rest.substr(w + 7);
        rest = rest.substr(0, w);
      }
      std::string name = Unbracket(Trim(rest));
      FMem->Touch("select", name);
      TMemTable& t = FMem->Table(name);
      auto col = [&](const std::string& c) {
        for (std::size_t i = 0; i < t.Fields.size(); ++i)
          if (AnsiSameText(t.Fields[i].Name, c)) return i;
        throw Exception("no column " + c + " in " + name);
      };
      std::vector<std::size_t> shown, keys;
      for (std::size_t from2 = 0;;) {
        auto comma = list.find(',', from2);
        shown.push_back(col(Unbracket(Trim(list.substr(from2, comma - from2)))));
        FColumns.push_back(t.Fields[shown.back()].Name);
        if (comma == std::string::npos) break;
        from2 = comma + 1;
      }
      for (std::size_t from2 = 0; !where.empty();) {
        auto sep = where.find(" AND ", from2);
        std::string part = Trim(where.substr(from2, sep - from2));
        part = part.substr(1, part.size() - 2);
        keys.push_back(col(Unbracket(part.substr(0, part.find("=?")))));
        if (sep == std::string::npos) break;
        from2 = sep + 5;
      }
      if (keys.size() != params.size()) throw Exception("parameter count differs");
      for (const auto& row : t.Rows) {
        bool match = true;
        for (std::size_t k = 0; k < keys.size(); ++k) match = match && row[keys[k]] == params[k].Value;
        if (!match) continue;
        std::vector<Variant> out;
        for (auto c : shown) out.push_back(row[c]);
        FRows.push_back(out);
      }
    } else if (FSQL.rfind(all, 0) == 0) {
      std::string rest = Trim(FSQL.substr(all.size()));
      std::string order;
      auto by = rest.find(" ORDER BY ");
      if (by != std::string::npos) {
        order = Unbracket(Trim(rest.substr(by + 10)));
        rest = rest.substr(0, by);
      }
      std::string name = Unbracket(rest);
      FMem->Touch("select", name);
      TMemTable& t = FMem->Table(name);
      for (const auto& f : t.Fields) FColumns.push_back(f.Name);
      FRows = t.Rows;
      if (!order.empty()) {
        int c = FieldIndex(order);
        if (c < 0) throw Exception("no column " + order);
        std::stable_sort(FRows.begin(), FRows.end(), [c](const auto& a, const auto& b) {
          const Variant& x = a[static_cast<std::size_t>(c)];
          const Variant& y = b[static_cast<std::size_t>(c)];
          if (x.IsNull() || y.IsNull()) return x.IsNull() && !y.IsNull();
          return x.ToDouble() < y.ToDouble();
        });
      }
    } else if (FSQL.rfind("UPDATE ", 0) == 0) {
      // UPDATE [T] SET [A]=?,[B]=? [WHERE ([T].[K]=?) AND ...]
      auto set = FSQL.find(" SET ");
      std::string name = Unbracket(FSQL.substr(7, set - 7));
      std::string rest = FSQL.substr(set + 5);
      std::string where;
      auto w = rest.find(" WHERE ");
      if (w != std::string::npos) {
        where = rest.substr(w + 7);
        rest = rest.substr(0, w);
      }
      auto columnsOf = [](const std::string& text, const std::string& sep) {
        std::vector<std::string> out;
        std::size_t from = 0;
        for (;;) {
          auto at = text.find(sep, from);
          std::string part = Trim(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
          if (!part.empty()) {
            if (part.front() == '(') part = part.substr(1, part.size() - 2);
            out.push_back(Unbracket(part.substr(0, part.find("=?"))));
          }
          if (at == std::string::npos) break;
          from = at + sep.size();
        }
        return out;
      };
      std::vector<std::string> sets = columnsOf(rest, ","), keys = columnsOf(where, " AND ");
      if (sets.size() + keys.size() != params.size()) throw Exception("parameter count differs");
      FMem->Touch("update", name);
      TMemTable& t = FMem->Table(name);
      auto col = [&](const std::string& c) {
        for (std::size_t i = 0; i < t.Fields.size(); ++i)
          if (AnsiSameText(t.Fields[i].Name, c)) return i;
        throw Exception("no column " + c + " in " + name);
      };
      for (auto& row : t.Rows) {
        bool match = true;
        for (std::size_t k = 0; k < keys.size(); ++k) match = match && row[col(keys[k])] == params[sets.size() + k].Value;
        if (!match) continue;
        for (std::size_t k = 0; k < sets.size(); ++k) row[col(sets[k])] = params[k].Value;
        ++FAffected;
      }
    } else if (FSQL.rfind(insert, 0) == 0) {
      auto open = FSQL.find(" (");
      std::string name = Unbracket(FSQL.substr(insert.size(), open - insert.size()));
      auto close = FSQL.find(") VALUES(");
      std::string list = FSQL.substr(open + 2, close - open - 2);
      std::vector<std::string> cols;
      std::size_t from = 0;
      for (;;) {
        auto comma = list.find(',', from);
        cols.push_back(Unbracket(list.substr(from, comma - from)));
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
      if (cols.size() != params.size()) throw Exception("parameter count differs from the column count");
      FMem->Touch("insert", name);
      TMemTable& t = FMem->Table(name);
      std::vector<Variant> row(t.Fields.size(), Variant::Null());
      for (std::size_t c = 0; c < cols.size(); ++c) {
        auto it = std::find_if(t.Fields.begin(), t.Fields.end(),
                               [&](const TOrvDbFieldDef& f) { return AnsiSameText(f.Name, cols[c]); });
        if (it == t.Fields.end()) throw Exception("no column " + cols[c] + " in " + name);
        row[static_cast<std::size_t>(it - t.Fields.begin())] = params[c].Value;
      }
      for (std::size_t c = 0; c < t.Fields.size(); ++c)
        if (t.Fields[c].Required && (row[c].IsNull() || row[c].IsEmpty()))
          throw Exception("column " + t.Fields[c].Name + " of " + name + " may not be null");
      for (const auto& index : t.Indexes) {
        if (!(index.Options & dioUnique)) continue;
        std::vector<std::size_t> keyCols;
        std::size_t f0 = 0;
        for (;;) {
          auto semi = index.Fields.find(';', f0);
          std::string fname = index.Fields.substr(f0, semi - f0);
          for (std::size_t c = 0; c < t.Fields.size(); ++c)
            if (AnsiSameText(t.Fields[c].Name, fname)) keyCols.push_back(c);
          if (semi == std::string::npos) break;
          f0 = semi + 1;
        }
        for (const auto& other : t.Rows) {
          bool same = true;
          for (auto c : keyCols) same = same && other[c] == row[c];
          if (same) throw Exception("key violation in " + index.Name + " of " + name);
        }
      }
      if (!AnsiSameText(FMem->LoseInsertsInto, name)) t.Rows.push_back(row);
      FAffected = 1;
    } else {
      throw Exception("statement not understood: " + FSQL);
    }
    return IOrvDbSQLPtr(this);
  }

  bool Eof() override { return FPos >= FRows.size(); }
  int RowsAffected() override { return FAffected; }
  int FieldCount() override { return static_cast<int>(FColumns.size()); }
  int FieldIndex(const std::string& name) override {
    for (std::size_t i = 0; i < FColumns.size(); ++i)
      if (AnsiSameText(FColumns[i], name)) return static_cast<int>(i);
    return -1;
  }
  std::string FieldName(int index) override { return FColumns.at(static_cast<std::size_t>(index)); }
  TOrvDbFieldType FieldType(const Variant&) override { return dftUnknown; }
  Variant GetValue(const Variant& column) override {
    if (Eof()) throw Exception("no current row");
    int i = column.IsInteger() ? column.ToInt32() : FieldIndex(column.ToString());
    if (i < 0 || i >= FieldCount()) throw Exception("no such column");
    return FRows[FPos][static_cast<std::size_t>(i)];
  }
  std::string AsString(const Variant& c) override { return GetValue(c).ToString(); }
  std::string AsBlob(const Variant& c) override { return GetValue(c).ToString(); }
  bool AsBoolean(const Variant& c) override { return GetValue(c).ToBool(); }
  int32_t AsInt32(const Variant& c) override { return GetValue(c).ToInt32(); }
  uint32_t AsUInt32(const Variant& c) override { return GetValue(c).ToUInt32(); }
  float AsSingle(const Variant& c) override { return static_cast<float>(GetValue(c).ToDouble()); }
  double AsDouble(const Variant& c) override { return GetValue(c).ToDouble(); }
  TDateTime AsDateTime(const Variant& c) override { return GetValue(c).ToDateTime(); }
  void Next() override { ++FPos; }
  void Close() override {
    FRows.clear();
    FPos = 0;
  }

 private:
  TMemDb* FMem;
  std::string FSQL;
  std::vector<std::string> FColumns;
  std::vector<std::vector<Variant>> FRows;
  std::size_t FPos = 0;
  int FAffected = 0;
};

}  // namespace

TOrvDbTableDef* TMemDb::CreateTableDef() { return new TMemTableDef(this); }

IOrvDbSQLPtr TMemDb::CreateSQL(const std::string& sql) { return IOrvDbSQLPtr(new TMemSQL(this, sql)); }

bool TMemDb::TableExists(const std::string& name) { return !name.empty() && Find(name) != nullptr; }

void TMemDb::DropTable(const std::string& name) {
  if (!Find(name)) return;
  Touch("drop", name);
  Tables.erase(Key(name));
}

TMemTable* TMemDb::Find(const std::string& name) {
  auto it = Tables.find(Key(name));
  return it == Tables.end() ? nullptr : &it->second;
}

TMemTable& TMemDb::Table(const std::string& name) {
  TMemTable* t = Find(name);
  if (!t) throw Exception("no table " + name);
  return *t;
}

void TMemDb::Touch(const std::string& op, const std::string& table) {
  Log.push_back(op + " " + table);
  if (Fault) Fault(op, table);
}

}  // namespace testsupport
