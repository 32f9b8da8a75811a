// The four schema rowsets, built from the driver's catalogue functions and held in memory
// (a catalogue answer for one table is small):
//
//   provider types  SQLGetTypeInfo(SQL_ALL_TYPES); the ODBC 2 date and time rows (codes 9, 10,
//                   11) that some drivers list beside the ODBC 3 ones go last, so that a choice
//                   of "the first row of type 135" finds the ODBC 3 timestamp
//   tables          SQLTables
//   columns         SQLColumns; the unsigned flag comes from the type's SQLGetTypeInfo row
//   indexes         SQLTables for the table list, then SQLStatistics and SQLPrimaryKeys per
//                   table; without a primary-key name (sqliteodbc) the primary index is the
//                   unique index on exactly the key's columns
//
// Restrictions are literal names. SQLTables and SQLColumns take search patterns, so the names
// are escaped with the driver's escape character and every row is compared with the
// restrictions again afterwards: "T_1" never brings back "T11".
#include <algorithm>
#include <map>

#include "platform/ado/AdoOdbc.h"

using namespace adoodbc;

namespace {

using Text = std::optional<std::string>;

// A catalogue call's result, read row by row.
class CatalogCursor {
 public:
  explicit CatalogCursor(_Connection::Impl& d) : FHandle(d.NewCatalogStatement()) {}
  ~CatalogCursor() { SQLFreeHandle(SQL_HANDLE_STMT, FHandle); }
  CatalogCursor(const CatalogCursor&) = delete;
  CatalogCursor& operator=(const CatalogCursor&) = delete;

  SQLHSTMT Handle() const { return FHandle; }
  void Check(SQLRETURN rc, std::string_view what) const {
    adoodbc::Check(rc, SQL_HANDLE_STMT, FHandle, what);
  }
  bool Next() {
    SQLRETURN rc = SQLFetch(FHandle);
    if (rc == SQL_NO_DATA) return false;
    Check(rc, "Ошибка чтения описания базы данных"_ansi);
    return true;
  }
  Text Str(SQLUSMALLINT col) const {
    std::u16string out;
    if (!ReadWideText(FHandle, col, out)) return std::nullopt;
    try {
      return Utf16ToAnsi(out);
    } catch (const EConvertError&) {
      throw EAdoError("Описание базы данных содержит символы, которых нет в кодировке Windows-1251: "_ansi +
                      Utf8ToAnsi(Utf16ToUtf8(out), '?'));
    }
  }
  std::optional<int64_t> Int(SQLUSMALLINT col) const {
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    Check(SQLGetData(FHandle, col, SQL_C_SBIGINT, &v, sizeof(v), &ind), "Ошибка чтения описания базы данных"_ansi);
    if (ind == SQL_NULL_DATA) return std::nullopt;
    return v;
  }

 private:
  SQLHSTMT FHandle;
};

// --- values and columns of the rowsets --------------------------------------------------------

Variant V(const Text& t) { return t ? Variant(*t) : Variant::Null(); }
// Catalogue and schema names: the empty string some drivers give stands for "none".
Variant Name(const Text& t) { return t && !t->empty() ? Variant(*t) : Variant::Null(); }
Variant I(std::optional<int64_t> v) { return v ? Variant(static_cast<int32_t>(*v)) : Variant::Null(); }
Variant I(int64_t v) { return Variant(static_cast<int32_t>(v)); }
Variant B(bool v) { return Variant(v); }

ColumnDesc Col(const char* name, DataTypeEnum type) {
  ColumnDesc c;
  c.name = name;
  c.type.fieldType = c.type.schemaType = type;
  c.attributes = adFldIsNullable | adFldMayBeNull;
  return c;
}

std::vector<ColumnDesc> Columns(std::initializer_list<std::pair<const char*, DataTypeEnum>> list) {
  std::vector<ColumnDesc> out;
  for (const auto& [name, type] : list) out.push_back(Col(name, type));
  return out;
}

// --- restrictions ---------------------------------------------------------------------------

struct Restrictions {
  std::vector<Variant> items;
  bool Has(size_t i) const {
    return i < items.size() && !items[i].IsEmpty() && !items[i].IsNull();
  }
  std::string Str(size_t i) const { return Has(i) ? items[i].ToString() : std::string(); }
  // True when the restriction is absent or the text equals it (the engines' names compare
  // without case where the catalogue functions do).
  bool Matches(size_t i, const Text& value) const {
    if (!Has(i)) return true;
    return AnsiSameText(value.value_or(std::string()), Str(i));
  }
};

// Arguments of a catalogue call: a null pointer leaves the argument out.
struct WideArg {
  std::u16string text;
  bool given = false;
  SQLWCHAR* Ptr() { return given ? W(text) : nullptr; }
  SQLSMALLINT Len() const { return given ? static_cast<SQLSMALLINT>(text.size()) : 0; }
};
WideArg Literal(const Restrictions& r, size_t i) {
  WideArg a;
  if (r.Has(i)) {
    a.text = Wide(r.Str(i));
    a.given = true;
  }
  return a;
}
WideArg PatternArg(_Connection::Impl& d, const Restrictions& r, size_t i) {
  WideArg a;
  if (r.Has(i)) {
    a.text = d.Pattern(r.Str(i));
    a.given = true;
  }
  return a;
}

// --- provider types --------------------------------------------------------------------------

bool IsOdbc2DateTime(SQLSMALLINT t) { return t == SQL_DATE || t == SQL_TIME || t == SQL_TIMESTAMP; }

RefPtr<_Recordset> ProviderTypes(_Connection& connection, const Restrictions& r) {
  _Connection::Impl& d = connection.GetImpl();
  const auto& types = d.DriverTypes();
  std::vector<const DriverType*> ordered;
  for (const auto& t : types)
    if (!IsOdbc2DateTime(t.sqlType)) ordered.push_back(&t);
  for (const auto& t : types)
    if (IsOdbc2DateTime(t.sqlType)) ordered.push_back(&t);

  auto columns = Columns({{"TYPE_NAME", adVarChar}, {"DATA_TYPE", adUnsignedSmallInt},
                          {"COLUMN_SIZE", adUnsignedInt}, {"LITERAL_PREFIX", adVarChar},
                          {"LITERAL_SUFFIX", adVarChar}, {"CREATE_PARAMS", adVarChar},
                          {"IS_NULLABLE", adBoolean}, {"CASE_SENSITIVE", adBoolean},
                          {"SEARCHABLE", adUnsignedInt}, {"UNSIGNED_ATTRIBUTE", adBoolean},
                          {"FIXED_PREC_SCALE", adBoolean}, {"AUTO_UNIQUE_VALUE", adBoolean},
                          {"LOCAL_TYPE_NAME", adVarChar}, {"MINIMUM_SCALE", adSmallInt},
                          {"MAXIMUM_SCALE", adSmallInt}, {"GUID", adGUID}, {"TYPELIB", adVarChar},
                          {"VERSION", adVarChar}, {"IS_LONG", adBoolean}, {"BEST_MATCH", adBoolean},
                          {"IS_FIXEDLENGTH", adBoolean}});
  std::vector<std::vector<Variant>> rows;
  std::vector<std::tuple<DataTypeEnum, bool, bool>> seen;  // for BEST_MATCH
  for (const DriverType* t : ordered) {
    SQLLEN size = t->columnSize ? static_cast<SQLLEN>(*t->columnSize) : 0;
    AdoTypeInfo info = MapSqlType(t->sqlType, size, t->isUnsigned);
    auto key = std::make_tuple(info.schemaType, info.isLong, info.isFixed);
    bool best = std::find(seen.begin(), seen.end(), key) == seen.end();
    if (best) seen.push_back(key);
    Variant columnSize = Variant::Null();
    if (t->columnSize && *t->columnSize > 0)
      columnSize = I(std::min<int64_t>(*t->columnSize, 0x7FFFFFFF));
    else if (info.isLong)
      columnSize = I(0x7FFFFFFF);
    if (r.Has(0) && r.items[0].ToInt32() != info.schemaType) continue;
    if (r.Has(1) && r.items[1].ToBool() != best) continue;
    auto opt = [](const std::string& s) { return s.empty() ? Variant::Null() : Variant(s); };
    rows.push_back({Variant(t->name), I(info.schemaType), columnSize, opt(t->prefix),
                    opt(t->suffix), opt(t->createParams), B(t->nullable), B(t->caseSensitive),
                    I(t->searchable), B(t->isUnsigned), B(t->fixedPrecScale), B(t->autoUnique),
                    opt(t->localName), t->minScale ? I(*t->minScale) : Variant::Null(),
                    t->maxScale ? I(*t->maxScale) : Variant::Null(), Variant::Null(),
                    Variant::Null(), Variant::Null(), B(info.isLong), B(best), B(info.isFixed)});
  }
  return MakeMemoryRecordset(connection, std::move(columns), std::move(rows));
}

// --- tables --------------------------------------------------------------------------------

struct TableRow {
  Text catalog, schema, name, type, remarks;
};

std::vector<TableRow> ListTables(_Connection::Impl& d, const Restrictions& r) {
  std::vector<TableRow> out;
  CatalogCursor cur(d);
  WideArg cat = Literal(r, 0), schema = PatternArg(d, r, 1), name = PatternArg(d, r, 2);
  WideArg type = Literal(r, 3);
  cur.Check(SQLTablesW(cur.Handle(), cat.Ptr(), cat.Len(), schema.Ptr(), schema.Len(), name.Ptr(),
                       name.Len(), type.Ptr(), type.Len()),
            "Ошибка чтения списка таблиц"_ansi);
  while (cur.Next()) {
    TableRow t{cur.Str(1), cur.Str(2), cur.Str(3), cur.Str(4), cur.Str(5)};
    if (r.Matches(0, t.catalog) && r.Matches(1, t.schema) && r.Matches(2, t.name) &&
        r.Matches(3, t.type))
      out.push_back(std::move(t));
  }
  return out;
}

RefPtr<_Recordset> Tables(_Connection& connection, const Restrictions& r) {
  auto columns = Columns({{"TABLE_CATALOG", adVarChar}, {"TABLE_SCHEMA", adVarChar},
                          {"TABLE_NAME", adVarChar}, {"TABLE_TYPE", adVarChar},
                          {"TABLE_GUID", adGUID}, {"DESCRIPTION", adVarChar},
                          {"TABLE_PROPID", adUnsignedInt}, {"DATE_CREATED", adDate},
                          {"DATE_MODIFIED", adDate}});
  std::vector<std::vector<Variant>> rows;
  for (const TableRow& t : ListTables(connection.GetImpl(), r))
    rows.push_back({Name(t.catalog), Name(t.schema), V(t.name), V(t.type), Variant::Null(),
                    V(t.remarks), Variant::Null(), Variant::Null(), Variant::Null()});
  return MakeMemoryRecordset(connection, std::move(columns), std::move(rows));
}

// --- columns -------------------------------------------------------------------------------

RefPtr<_Recordset> TableColumns(_Connection& connection, const Restrictions& r) {
  _Connection::Impl& d = connection.GetImpl();
  d.DriverTypes();  // before the columns cursor opens: one statement at a time
  auto columns = Columns({{"TABLE_CATALOG", adVarChar}, {"TABLE_SCHEMA", adVarChar},
                          {"TABLE_NAME", adVarChar}, {"COLUMN_NAME", adVarChar},
                          {"COLUMN_GUID", adGUID}, {"COLUMN_PROPID", adUnsignedInt},
                          {"ORDINAL_POSITION", adUnsignedInt}, {"COLUMN_HASDEFAULT", adBoolean},
                          {"COLUMN_DEFAULT", adVarChar}, {"COLUMN_FLAGS", adUnsignedInt},
                          {"IS_NULLABLE", adBoolean}, {"DATA_TYPE", adUnsignedSmallInt},
                          {"TYPE_GUID", adGUID}, {"CHARACTER_MAXIMUM_LENGTH", adUnsignedInt},
                          {"CHARACTER_OCTET_LENGTH", adUnsignedInt},
                          {"NUMERIC_PRECISION", adUnsignedSmallInt},
                          {"NUMERIC_SCALE", adSmallInt}, {"DATETIME_PRECISION", adUnsignedInt},
                          {"DESCRIPTION", adVarChar}, {"TYPE_NAME", adVarChar}});
  std::vector<std::vector<Variant>> rows;
  CatalogCursor cur(d);
  WideArg cat = Literal(r, 0), schema = PatternArg(d, r, 1), table = PatternArg(d, r, 2);
  // Every column of the table is listed and the column restriction applied here: psqlODBC
  // numbers ORDINAL_POSITION within what it returns.
  WideArg column;
  cur.Check(SQLColumnsW(cur.Handle(), cat.Ptr(), cat.Len(), schema.Ptr(), schema.Len(),
                        table.Ptr(), table.Len(), column.Ptr(), column.Len()),
            "Ошибка чтения списка полей таблицы "_ansi + r.Str(2));
  while (cur.Next()) {
    Text tCat = cur.Str(1), tSchema = cur.Str(2), tName = cur.Str(3), cName = cur.Str(4);
    auto sqlType = static_cast<SQLSMALLINT>(cur.Int(5).value_or(SQL_UNKNOWN_TYPE));
    Text typeName = cur.Str(6);
    auto size = cur.Int(7);
    cur.Int(8);
    auto digits = cur.Int(9);
    cur.Int(10);
    auto nullable = cur.Int(11).value_or(SQL_NULLABLE_UNKNOWN);
    Text remarks = cur.Str(12), def = cur.Str(13);
    if (def && AnsiSameText(Trim(*def), "NULL")) def.reset();  // sqliteodbc's "no default"
    cur.Int(14);
    cur.Int(15);
    auto octets = cur.Int(16);
    auto ordinal = cur.Int(17);
    if (!(r.Matches(0, tCat) && r.Matches(1, tSchema) && r.Matches(2, tName) &&
          r.Matches(3, cName)))
      continue;
    const DriverType* dt = d.FindDriverType(typeName.value_or(std::string()), sqlType);
    SQLLEN known = size && *size > 0 && *size <= 0x7FFFFFFF ? static_cast<SQLLEN>(*size) : 0;
    AdoTypeInfo info = MapSqlType(sqlType, known, dt != nullptr && dt->isUnsigned);
    int32_t flags = adFldUnknownUpdatable;
    if (info.isLong) flags |= adFldLong;
    if (info.isFixed) flags |= adFldFixed;
    bool isNullable = nullable != SQL_NO_NULLS;
    if (isNullable) flags |= adFldIsNullable | adFldMayBeNull;
    bool isChar = info.kind == ReadKind::Text || info.kind == ReadKind::Binary;
    Variant maxLength = Variant::Null(), octetLength = Variant::Null();
    if (isChar) {
      maxLength = I(known > 0 ? known : 0x7FFFFFFF);
      octetLength = octets && *octets > 0 && *octets <= 0x7FFFFFFF ? I(*octets) : maxLength;
    }
    Variant precision = Variant::Null(), scale = Variant::Null(), dtPrecision = Variant::Null();
    switch (info.kind) {
      case ReadKind::Numeric:
        precision = I(known > 0 ? known : info.precision);
        scale = I(digits.value_or(0));
        break;
      case ReadKind::Signed: case ReadKind::Unsigned: case ReadKind::Single:
      case ReadKind::Double: case ReadKind::Bool:
        precision = I(info.precision);
        break;
      case ReadKind::Timestamp: case ReadKind::Time:
        dtPrecision = I(digits.value_or(0));
        break;
      default: break;
    }
    rows.push_back({Name(tCat), Name(tSchema), V(tName), V(cName), Variant::Null(),
                    Variant::Null(), ordinal ? I(*ordinal) : Variant::Null(), B(def.has_value()),
                    V(def), I(flags), B(isNullable), I(info.schemaType), Variant::Null(),
                    maxLength, octetLength, precision, scale, dtPrecision, V(remarks),
                    V(typeName)});
  }
  return MakeMemoryRecordset(connection, std::move(columns), std::move(rows));
}

// --- indexes -------------------------------------------------------------------------------

struct IndexColumn {
  int64_t ordinal = 0;
  Text column;
  Text ascOrDesc;
};
struct IndexInfo {
  std::string name;
  bool unique = false;
  int64_t type = SQL_INDEX_OTHER;
  std::optional<int64_t> cardinality, pages;
  Text filter;
  std::vector<IndexColumn> columns;
  bool primary = false;
};

std::vector<IndexInfo> ReadIndexes(_Connection::Impl& d, const TableRow& t) {
  auto arg = [](const Text& s) {
    WideArg a;
    if (s) {
      a.text = Wide(*s);
      a.given = true;
    }
    return a;
  };
  WideArg cat = arg(t.catalog), schema = arg(t.schema), name = arg(t.name);

  std::vector<std::pair<int64_t, std::string>> keyColumns;
  Text pkName;
  {
    CatalogCursor cur(d);
    cur.Check(SQLPrimaryKeysW(cur.Handle(), cat.Ptr(), cat.Len(), schema.Ptr(), schema.Len(),
                              name.Ptr(), name.Len()),
              "Ошибка чтения первичного ключа таблицы "_ansi + t.name.value_or(std::string()));
    while (cur.Next()) {
      Text column = cur.Str(4);
      auto seq = cur.Int(5);
      Text pk = cur.Str(6);
      if (column) keyColumns.emplace_back(seq.value_or(static_cast<int64_t>(keyColumns.size()) + 1), *column);
      if (pk && !pk->empty()) pkName = pk;
    }
    std::sort(keyColumns.begin(), keyColumns.end());
  }

  std::vector<IndexInfo> indexes;
  {
    CatalogCursor cur(d);
    cur.Check(SQLStatisticsW(cur.Handle(), cat.Ptr(), cat.Len(), schema.Ptr(), schema.Len(),
                             name.Ptr(), name.Len(), SQL_INDEX_ALL, SQL_QUICK),
              "Ошибка чтения индексов таблицы "_ansi + t.name.value_or(std::string()));
    while (cur.Next()) {
      cur.Str(1);
      cur.Str(2);
      cur.Str(3);
      auto nonUnique = cur.Int(4);
      cur.Str(5);
      Text indexName = cur.Str(6);
      auto type = cur.Int(7).value_or(SQL_TABLE_STAT);
      auto ordinal = cur.Int(8);
      Text column = cur.Str(9), ascOrDesc = cur.Str(10);
      auto cardinality = cur.Int(11), pages = cur.Int(12);
      Text filter = cur.Str(13);
      if (type == SQL_TABLE_STAT || !indexName) continue;
      auto it = std::find_if(indexes.begin(), indexes.end(),
                             [&](const IndexInfo& i) { return i.name == *indexName; });
      if (it == indexes.end()) {
        IndexInfo info;
        info.name = *indexName;
        info.unique = nonUnique.value_or(1) == 0;
        info.type = type;
        info.cardinality = cardinality;
        info.pages = pages;
        info.filter = filter;
        indexes.push_back(std::move(info));
        it = indexes.end() - 1;
      }
      it->columns.push_back({ordinal.value_or(static_cast<int64_t>(it->columns.size()) + 1),
                             column, ascOrDesc});
    }
  }

  if (!keyColumns.empty()) {
    IndexInfo* primary = nullptr;
    if (pkName) {
      for (auto& i : indexes)
        if (i.name == *pkName) primary = &i;
    }
    if (primary == nullptr) {
      // No name to go by: the unique index on exactly the key's columns, in the key's order.
      for (auto& i : indexes) {
        if (!i.unique || i.columns.size() != keyColumns.size()) continue;
        auto cols = i.columns;
        std::sort(cols.begin(), cols.end(),
                  [](const IndexColumn& a, const IndexColumn& b) { return a.ordinal < b.ordinal; });
        bool same = true;
        for (size_t k = 0; k < cols.size() && same; ++k)
          same = AnsiSameText(cols[k].column.value_or(std::string()), keyColumns[k].second);
        if (same) {
          primary = &i;
          break;
        }
      }
    }
    if (primary == nullptr) {
      // The engine keeps the key without an index of its own (an integer row-id key).
      IndexInfo info;
      info.name = pkName ? *pkName : "PK_" + t.name.value_or(std::string());
      info.unique = true;
      for (size_t k = 0; k < keyColumns.size(); ++k)
        info.columns.push_back({static_cast<int64_t>(k) + 1, keyColumns[k].second, std::nullopt});
      indexes.insert(indexes.begin(), std::move(info));
      primary = &indexes.front();
    }
    primary->primary = true;
  }
  return indexes;
}

RefPtr<_Recordset> Indexes(_Connection& connection, const Restrictions& r) {
  _Connection::Impl& d = connection.GetImpl();
  auto columns = Columns({{"TABLE_CATALOG", adVarChar}, {"TABLE_SCHEMA", adVarChar},
                          {"TABLE_NAME", adVarChar}, {"INDEX_CATALOG", adVarChar},
                          {"INDEX_SCHEMA", adVarChar}, {"INDEX_NAME", adVarChar},
                          {"PRIMARY_KEY", adBoolean}, {"UNIQUE", adBoolean},
                          {"CLUSTERED", adBoolean}, {"TYPE", adUnsignedSmallInt},
                          {"FILL_FACTOR", adInteger}, {"INITIAL_SIZE", adInteger},
                          {"NULLS", adInteger}, {"SORT_BOOKMARKS", adBoolean},
                          {"AUTO_UPDATE", adBoolean}, {"NULL_COLLATION", adInteger},
                          {"ORDINAL_POSITION", adUnsignedInt}, {"COLUMN_NAME", adVarChar},
                          {"COLUMN_GUID", adGUID}, {"COLUMN_PROPID", adUnsignedInt},
                          {"COLLATION", adSmallInt}, {"CARDINALITY", adUnsignedBigInt},
                          {"PAGES", adInteger}, {"FILTER_CONDITION", adVarChar},
                          {"INTEGRATED", adBoolean}});
  // The table list: restrictions 0, 1 and 4 are the table's catalogue, schema and name.
  Restrictions tableRestrictions;
  tableRestrictions.items = {r.Has(0) ? r.items[0] : Variant(), r.Has(1) ? r.items[1] : Variant(),
                             r.Has(4) ? r.items[4] : Variant(), Variant("TABLE")};
  std::vector<std::vector<Variant>> rows;
  for (const TableRow& t : ListTables(d, tableRestrictions)) {
    for (const IndexInfo& i : ReadIndexes(d, t)) {
      if (r.Has(2) && !AnsiSameText(i.name, r.Str(2))) continue;
      // OLE DB index types: 1 B-tree, 2 hash, 4 other.
      int32_t type = i.type == SQL_INDEX_CLUSTERED ? 1 : i.type == SQL_INDEX_HASHED ? 2 : 4;
      if (r.Has(3) && r.items[3].ToInt32() != type) continue;
      for (const IndexColumn& c : i.columns) {
        Variant collation = Variant::Null();
        if (c.ascOrDesc && *c.ascOrDesc == "A") collation = I(1);
        if (c.ascOrDesc && *c.ascOrDesc == "D") collation = I(2);
        rows.push_back({Name(t.catalog), Name(t.schema), V(t.name), Name(t.catalog),
                        Name(t.schema), Variant(i.name), B(i.primary), B(i.unique),
                        B(i.type == SQL_INDEX_CLUSTERED), I(type), Variant::Null(),
                        Variant::Null(), Variant::Null(), B(false), B(true), Variant::Null(),
                        I(c.ordinal), V(c.column), Variant::Null(), Variant::Null(), collation,
                        i.cardinality ? Variant(*i.cardinality) : Variant::Null(),
                        I(i.pages), V(i.filter), Variant::Null()});
      }
    }
  }
  return MakeMemoryRecordset(connection, std::move(columns), std::move(rows));
}

}  // namespace

// --- the driver's type list -----------------------------------------------------------------

const std::vector<DriverType>& _Connection::Impl::DriverTypes() {
  if (typesLoaded) return types;
  std::vector<DriverType> list;
  {
    CatalogCursor cur(*this);
    cur.Check(SQLGetTypeInfoW(cur.Handle(), SQL_ALL_TYPES), "Ошибка чтения списка типов данных"_ansi);
    while (cur.Next()) {
      DriverType t;
      t.name = cur.Str(1).value_or(std::string());
      t.sqlType = static_cast<SQLSMALLINT>(cur.Int(2).value_or(SQL_UNKNOWN_TYPE));
      t.columnSize = cur.Int(3);
      t.prefix = cur.Str(4).value_or(std::string());
      t.suffix = cur.Str(5).value_or(std::string());
      t.createParams = cur.Str(6).value_or(std::string());
      t.nullable = cur.Int(7).value_or(SQL_NULLABLE) != SQL_NO_NULLS;
      t.caseSensitive = cur.Int(8).value_or(0) != 0;
      t.searchable = static_cast<int32_t>(cur.Int(9).value_or(0));
      t.isUnsigned = cur.Int(10).value_or(0) != 0;
      t.fixedPrecScale = cur.Int(11).value_or(0) != 0;
      t.autoUnique = cur.Int(12).value_or(0) != 0;
      t.localName = cur.Str(13).value_or(std::string());
      if (auto v = cur.Int(14)) t.minScale = static_cast<int32_t>(*v);
      if (auto v = cur.Int(15)) t.maxScale = static_cast<int32_t>(*v);
      list.push_back(std::move(t));
    }
  }
  types = std::move(list);
  typesLoaded = true;
  return types;
}

const DriverType* _Connection::Impl::FindDriverType(const std::string& name, SQLSMALLINT sqlType) {
  for (const auto& t : DriverTypes())
    if (t.sqlType == sqlType && AnsiSameText(t.name, name)) return &t;
  for (const auto& t : DriverTypes())
    if (AnsiSameText(t.name, name)) return &t;
  return nullptr;
}

RefPtr<_Recordset> OpenSchemaRowset(_Connection& connection, SchemaEnum schema,
                                    const std::vector<Variant>& restrictions) {
  Restrictions r{restrictions};
  switch (schema) {
    case adSchemaProviderTypes: return ProviderTypes(connection, r);
    case adSchemaTables: return Tables(connection, r);
    case adSchemaColumns: return TableColumns(connection, r);
    case adSchemaIndexes: return Indexes(connection, r);
    default:
      throw EAdoError("Схема не поддерживается: "_ansi + IntToStr(schema));
  }
}
