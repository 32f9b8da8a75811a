// TIBTable: the catalogue queries behind Exists, FieldDefs.Update and IndexDefs.Update, and the
// DDL behind CreateTable, DeleteTable and EmptyTable.
//
// Catalogue names are CHAR columns padded with blanks; names read from them are trimmed on the
// right. Names are compared through a VARCHAR cast of the parameter, so that a name longer than
// the catalogue allows simply matches nothing.
#include "platform/ibx/IBTable.h"

#include <ibase.h>

#include "platform/ibx/IBInternal.h"
#include "platform/ibx/IBSQL.h"

using namespace ibx_internal;

namespace {

const char* const kExistsSQL =
    "SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = CAST(? AS VARCHAR(252))";

const char* const kFieldsSQL =
    "SELECT RF.RDB$FIELD_NAME, F.RDB$FIELD_TYPE, F.RDB$FIELD_SUB_TYPE, F.RDB$FIELD_LENGTH, "
    "F.RDB$FIELD_SCALE, F.RDB$FIELD_PRECISION, F.RDB$CHARACTER_LENGTH, RF.RDB$NULL_FLAG, "
    "F.RDB$NULL_FLAG "
    "FROM RDB$RELATION_FIELDS RF JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE "
    "WHERE RF.RDB$RELATION_NAME = CAST(? AS VARCHAR(252)) "
    "ORDER BY RF.RDB$FIELD_POSITION";

const char* const kIndexesSQL =
    "SELECT I.RDB$INDEX_NAME, I.RDB$UNIQUE_FLAG, I.RDB$INDEX_TYPE, I.RDB$EXPRESSION_SOURCE, "
    "RC.RDB$CONSTRAINT_TYPE, S.RDB$FIELD_NAME "
    "FROM RDB$INDICES I "
    "LEFT JOIN RDB$INDEX_SEGMENTS S ON S.RDB$INDEX_NAME = I.RDB$INDEX_NAME "
    "LEFT JOIN RDB$RELATION_CONSTRAINTS RC ON RC.RDB$INDEX_NAME = I.RDB$INDEX_NAME "
    "WHERE I.RDB$RELATION_NAME = CAST(? AS VARCHAR(252)) "
    "ORDER BY I.RDB$INDEX_ID, S.RDB$FIELD_POSITION";

// Catalogue type codes (RDB$FIELDS.RDB$FIELD_TYPE).
enum {
  blr_short_ = 7, blr_long_ = 8, blr_quad_ = 9, blr_float_ = 10, blr_d_float_ = 11,
  blr_sql_date_ = 12, blr_sql_time_ = 13, blr_text_ = 14, blr_int64_ = 16, blr_bool_ = 23,
  blr_double_ = 27, blr_timestamp_ = 35, blr_varying_ = 37, blr_cstring_ = 40, blr_blob_ = 261
};


// The column type CreateTable writes for a field type, or "" when it has none.
std::string ColumnType(const TFieldDef& def) {
  switch (def.DataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      return "VARCHAR(" + std::to_string(def.Size) + ")";
    case ftSmallint:
    case ftBoolean:
      return "SMALLINT";
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      return "INTEGER";
    case ftLargeint:
      return "BIGINT";
    case ftCurrency:
      return "NUMERIC(18,4)";
    case ftBCD:
    case ftFMTBcd:
      if (def.Precision >= 1 && def.Precision <= 18 && def.Size >= 0 && def.Size <= def.Precision)
        return "NUMERIC(" + std::to_string(def.Precision) + "," + std::to_string(def.Size) + ")";
      return "DOUBLE PRECISION";
    case ftFloat:
      return "DOUBLE PRECISION";
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      return "TIMESTAMP";
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      return "BLOB SUB_TYPE 1";
    case ftBlob:
    case ftBytes:
    case ftVarBytes:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
      return "BLOB SUB_TYPE 0";
    default:
      return "";
  }
}

}  // namespace

TIBTable::TIBTable()
    : FFieldDefs([this](TFieldDefs& defs) { UpdateFieldDefs(defs); }),
      FIndexDefs([this](TIndexDefs& defs) { UpdateIndexDefs(defs); }) {}

int TIBTable::Dialect() const { return CheckDatabase().SQLDialect(); }

bool TIBTable::Exists() {
  TIBSQL q;
  q.SetDatabase(&CheckDatabase());
  q.SetTransaction(&CheckTransaction());
  q.SQL().SetText(kExistsSQL);
  q.Params()[0].SetAsString(CatalogueName(Dialect(), FTableName));
  q.ExecQuery();
  return !q.Eof();
}

void TIBTable::UpdateFieldDefs(TFieldDefs& defs) {
  TIBSQL q;
  q.SetDatabase(&CheckDatabase());
  q.SetTransaction(&CheckTransaction());
  q.SQL().SetText(kFieldsSQL);
  q.Params()[0].SetAsString(CatalogueName(Dialect(), FTableName));
  q.ExecQuery();
  defs.Clear();
  for (; !q.Eof(); q.Next()) {
    TFieldDef def;
    def.Name = TrimRight(q.Fields(0).AsString());
    int type = q.Fields(1).AsLong();
    int subtype = q.Fields(2).AsLong();
    int scale = q.Fields(4).AsLong();
    int chars = q.Fields(6).IsNull() ? q.Fields(3).AsLong() : q.Fields(6).AsLong();
    def.Required = q.Fields(7).AsLong() == 1 || q.Fields(8).AsLong() == 1;
    switch (type) {
      case blr_short_:
      case blr_long_:
      case blr_int64_:
        if (scale < 0) {
          def.DataType = ftBCD;
          def.Size = -scale;
          def.Precision = q.Fields(5).AsLong();
        } else {
          def.DataType = type == blr_short_ ? ftSmallint : type == blr_long_ ? ftInteger : ftLargeint;
        }
        break;
      case blr_quad_: def.DataType = ftLargeint; break;
      case blr_float_:
      case blr_d_float_:
      case blr_double_: def.DataType = ftFloat; break;
      case blr_sql_date_: def.DataType = ftDate; break;
      case blr_sql_time_: def.DataType = ftTime; break;
      case blr_timestamp_: def.DataType = ftDateTime; break;
      case blr_text_: def.DataType = ftFixedChar; def.Size = chars; break;
      case blr_varying_:
      case blr_cstring_: def.DataType = ftString; def.Size = chars; break;
      case blr_bool_: def.DataType = ftBoolean; break;
      case blr_blob_: def.DataType = subtype == 1 ? ftMemo : ftBlob; break;
      default: def.DataType = ftUnknown; break;
    }
    defs.Add(def);
  }
}

void TIBTable::UpdateIndexDefs(TIndexDefs& defs) {
  TIBSQL q;
  q.SetDatabase(&CheckDatabase());
  q.SetTransaction(&CheckTransaction());
  q.SQL().SetText(kIndexesSQL);
  q.Params()[0].SetAsString(CatalogueName(Dialect(), FTableName));
  q.ExecQuery();
  defs.Clear();
  std::string current;
  std::string fields;
  TIndexOptions options;
  auto flush = [&] {
    if (!current.empty()) defs.Add(current, fields, options);
  };
  for (; !q.Eof(); q.Next()) {
    std::string name = TrimRight(q.Fields(0).AsString());
    if (name != current) {
      flush();
      current = name;
      fields.clear();
      options = TIndexOptions();
      if (q.Fields(1).AsLong() == 1) options.Include(ixUnique);
      if (q.Fields(2).AsLong() == 1) options.Include(ixDescending);
      std::string constraint = TrimRight(q.Fields(4).AsString());
      if (constraint == "PRIMARY KEY") options.Include(ixPrimary), options.Include(ixUnique);
      if (constraint == "UNIQUE") options.Include(ixUnique);
      if (!q.Fields(3).IsNull()) {
        options.Include(ixExpression);
        fields = Trim(q.Fields(3).AsString());
      }
    }
    if (!q.Fields(5).IsNull()) {
      if (!fields.empty()) fields += ';';
      fields += TrimRight(q.Fields(5).AsString());
    }
  }
  flush();
}

std::vector<std::string> TIBTable::CreateTableSQL() {
  int dialect = Dialect();
  if (FTableName.empty()) throw EIBClientError("Не задано имя таблицы"_ansi);
  if (FFieldDefs.Count() == 0)
    throw EIBClientError(Format("Ошибка создания таблицы %s: не задан список полей"_ansi, {FTableName}));
  std::string table = QuoteIdentifier(dialect, FTableName);

  const TIndexDef* primary = nullptr;
  for (int i = 0; i < FIndexDefs.Count(); ++i) {
    if (!FIndexDefs[i].Options.Contains(ixPrimary)) continue;
    if (primary)
      throw EIBClientError(
          Format("Ошибка создания таблицы %s: задано больше одного первичного индекса"_ansi, {FTableName}));
    primary = &FIndexDefs[i];
  }
  std::vector<std::string> keyFields;
  if (primary) keyFields = SplitFieldList(primary->Fields);

  std::string sql = "CREATE TABLE " + table + " (";
  for (int i = 0; i < FFieldDefs.Count(); ++i) {
    const TFieldDef& def = FFieldDefs[i];
    std::string type = ColumnType(def);
    if (type.empty())
      throw EIBClientError(Format("Ошибка создания таблицы %s: база данных не поддерживает тип поля %s"_ansi,
                                  {FTableName, def.Name}));
    bool key = false;
    for (const auto& k : keyFields) key = key || AnsiSameText(k, def.Name);
    if (i > 0) sql += ", ";
    sql += QuoteIdentifier(dialect, def.Name) + " " + type;
    // Key columns must be NOT NULL in a primary key.
    if (def.Required || key) sql += " NOT NULL";
  }
  auto fieldList = [&](const std::vector<std::string>& fields) {
    std::string s;
    for (const auto& f : fields) s += (s.empty() ? "" : ", ") + QuoteIdentifier(dialect, f);
    return s;
  };
  if (primary) {
    sql += ", ";
    if (!primary->Name.empty()) sql += "CONSTRAINT " + QuoteIdentifier(dialect, primary->Name) + " ";
    sql += "PRIMARY KEY (" + fieldList(keyFields) + ")";
  }
  sql += ")";

  std::vector<std::string> statements{sql};
  for (int i = 0; i < FIndexDefs.Count(); ++i) {
    const TIndexDef& def = FIndexDefs[i];
    if (&def == primary) continue;
    std::string s = "CREATE ";
    if (def.Options.Contains(ixUnique)) s += "UNIQUE ";
    if (def.Options.Contains(ixDescending)) s += "DESCENDING ";
    s += "INDEX " + QuoteIdentifier(dialect, def.Name) + " ON " + table;
    if (def.Options.Contains(ixExpression))
      s += " COMPUTED BY (" + def.Fields + ")";
    else
      s += " (" + fieldList(SplitFieldList(def.Fields)) + ")";
    statements.push_back(s);
  }
  return statements;
}

void TIBTable::ExecuteDDL(const std::string& sql) {
  TIBDatabase& db = CheckDatabase();
  TIBTransaction& tr = CheckTransaction();
  ISC_STATUS_ARRAY status;
  IBX_CHECK(isc_dsql_execute_immediate(status, db.Handle(), tr.Handle(), 0, sql.c_str(),
                                       static_cast<unsigned short>(db.SQLDialect()), nullptr));
}

void TIBTable::CreateTable() {
  for (const auto& sql : CreateTableSQL()) ExecuteDDL(sql);
}

void TIBTable::DeleteTable() {
  if (FTableName.empty()) throw EIBClientError("Не задано имя таблицы"_ansi);
  ExecuteDDL("DROP TABLE " + QuoteIdentifier(Dialect(), FTableName));
}

void TIBTable::EmptyTable() {
  if (FTableName.empty()) throw EIBClientError("Не задано имя таблицы"_ansi);
  ExecuteDDL("DELETE FROM " + QuoteIdentifier(Dialect(), FTableName));
}
