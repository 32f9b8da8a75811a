// The ODBC back-end. Calls into platform/ado, in ADO's terms:
//
//   provider types      OpenSchema(adSchemaProviderTypes), once per connection
//   TableExists         OpenSchema(adSchemaTables, {Empty, owner, name, "TABLE"})
//   Load                OpenSchema(adSchemaColumns, {Empty, Empty, name, Empty}) and
//                       OpenSchema(adSchemaIndexes, {Empty, Empty, Empty, Empty, name})
//   CreateTable         _Connection::Execute of each DDL text, adCmdText
//   Execute             a _Command with positional Parameters, made once and kept while the text
//                       and the elements' Nulls and field types stay the same (it keeps its
//                       prepared driver statement, so a statement run once per row is prepared
//                       and bound once)
//   transactions        BeginTrans / CommitTrans / RollbackTrans
//   identity            Properties "DBMS Name" picks DbIdentity's question: PostgreSQL's and
//                       SQLite's through statements, else "Current Catalog"
#include "gisdb/AdoOrvelDbs.h"

#include <algorithm>
#include <limits>

#include "foundation/ArrayUtils.h"
#include "gisdb/DbIdentity.h"

namespace {

Variant Restrictions(std::vector<Variant> items) { return Variant(std::move(items)); }

Variant FieldValue(_Recordset* rs, const char* name) { return rs->Fields().Item(name)->Value(); }

// The integer as the narrowest Variant of the column's kind that holds it exactly: the column's
// own width when the value fits, else 32 or 64 bits.
Variant ExactInteger(const Variant& v, TOrvDbFieldType type) {
  if (v.VarType() == varUInt64) {
    const uint64_t u = v.ToUInt64();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return v;
  }
  const int64_t i = v.ToInt64();
  auto in = [i](int64_t lo, int64_t hi) { return i >= lo && i <= hi; };
  switch (type) {
    case dftInt8: if (in(INT8_MIN, INT8_MAX)) return Variant(static_cast<int8_t>(i)); break;
    case dftUInt8: if (in(0, UINT8_MAX)) return Variant(static_cast<uint8_t>(i)); break;
    case dftInt16: if (in(INT16_MIN, INT16_MAX)) return Variant(static_cast<int16_t>(i)); break;
    case dftUInt16: if (in(0, UINT16_MAX)) return Variant(static_cast<uint16_t>(i)); break;
    case dftUInt32: if (in(0, UINT32_MAX)) return Variant(static_cast<uint32_t>(i)); break;
    default: break;
  }
  if (in(INT32_MIN, INT32_MAX)) return Variant(static_cast<int32_t>(i));
  return Variant(i);
}

}  // namespace

// --- small readers ---------------------------------------------------------------------------

int32_t VarToIntDef(const Variant& v, int32_t def) {
  if (v.IsEmpty() || v.IsNull()) return def;
  return v.ToInt32();
}

bool VarToBoolDef(const Variant& v, bool def) {
  if (v.IsEmpty() || v.IsNull()) return def;
  return v.ToBool();
}

int32_t TimeoutParam(IConnParams* params, const char* key, int32_t otherwise) {
  int64_t v = 0;
  if (!params->HasParam(key) || !TryStrToInt64(GetConnParam(params, key, ""), v) || v < INT32_MIN || v > INT32_MAX)
    return otherwise;
  return static_cast<int32_t>(v);
}

int32_t FindRecordsetField(_Recordset* recordset, const std::string& name) {
  AdoFields& fields = recordset->Fields();
  for (int32_t i = 0; i < fields.Count(); ++i)
    if (AnsiSameText(fields.Item(i)->Name(), name)) return i;
  return -1;
}

Variant SchemaOwnerRestriction(_Connection* connection) {
  if (AnsiUpperCase(connection->Provider()).find("ORACLE") == std::string::npos) return Variant();
  Variant user = connection->Properties().Item("USER NAME").Value;
  return user.IsNull() ? Variant() : user;
}

bool AdoTableExists(_Connection* connection, const std::string& name) {
  RefPtr<_Recordset> rs = connection->OpenSchema(
      adSchemaTables, Restrictions({Variant(), SchemaOwnerRestriction(connection), Variant(name), Variant("TABLE")}));
  return !rs->Eof();
}

// --- type mapping ------------------------------------------------------------------------------

TOrvDbFieldType AdoToFieldType(int32_t dataType, bool isLong, int32_t precision, int32_t scale) {
  switch (dataType) {
    case adSmallInt: return dftInt16;
    case adInteger: return dftInt32;
    case adSingle: return dftSingle;
    case adDouble: return dftDouble;
    case adCurrency: return dftCurrency;
    case adDate: case adDBDate: case adDBTime: case adDBTimeStamp: return dftDateTime;
    case adBoolean: return dftBoolean;
    case adDecimal: case adNumeric: case adVarNumeric:
      if (scale <= 0 && precision - scale <= 5) return dftInt16;
      if (scale <= 0 && precision - scale <= 10) return dftInt32;
      if (scale == 4 && precision == 20) return dftCurrency;
      return dftDouble;
    case adTinyInt: return dftInt8;
    case adUnsignedTinyInt: return dftUInt8;
    case adUnsignedSmallInt: return dftUInt16;
    case adUnsignedInt: return dftUInt32;
    case adBigInt: return dftInt64;
    case adUnsignedBigInt: return dftUInt64;
    case adBinary: case adVarBinary: case adLongVarBinary: return dftBlob;
    // The wide variable-length text of ODBC's Unicode drivers reads as the narrow one.
    case adBSTR: case adChar: case adWChar: case adVarChar: case adVarWChar:
      return isLong ? dftMemo : dftString;
    case adLongVarChar: case adLongVarWChar: return dftMemo;
    default: return dftUnknown;
  }
}

void LoadProviderTypes(TAdoTypes& types, _Connection* connection) {
  types.Clear();
  RefPtr<_Recordset> rs = connection->OpenSchema(adSchemaProviderTypes);
  for (; !rs->Eof(); rs->MoveNext()) {
    auto t = std::make_unique<TAdoType>();
    t->DataType = FieldValue(rs.get(), "DATA_TYPE").ToInt32();
    if (FieldValue(rs.get(), "IS_LONG").ToBool()) t->Flags |= atfLong;
    if (FieldValue(rs.get(), "IS_FIXEDLENGTH").ToBool()) t->Flags |= atfFixedLength;
    t->TypeName = FieldValue(rs.get(), "TYPE_NAME").ToString();
    t->ColumnSize = VarToIntDef(FieldValue(rs.get(), "COLUMN_SIZE"), 0);
    t->BestMatch = VarToBoolDef(FieldValue(rs.get(), "BEST_MATCH"), false);
    t->MinimumScale = VarToIntDef(FieldValue(rs.get(), "MINIMUM_SCALE"), -1);
    t->MaximumScale = VarToIntDef(FieldValue(rs.get(), "MAXIMUM_SCALE"), -1);
    types.Add(std::move(t));
  }
}

TTypeCandidate MakeTypeCandidate(int32_t adoType, TAdoTypeFlags mask, TAdoTypeFlags value) {
  return TTypeCandidate{adoType, mask, value};
}

TAdoType* FindProviderType(const TAdoTypes& types, const std::vector<TTypeCandidate>& candidates) {
  for (const TTypeCandidate& c : candidates)
    for (int i = 0; i < types.Count(); ++i) {
      TAdoType* t = types.Items(i);
      if (t->DataType == c.AdoType && (t->Flags & c.Mask) == c.Value) return t;
    }
  return nullptr;
}

TAdoType* ChooseProviderType(const TAdoTypes& types, TOrvDbFieldType fieldType) {
  auto any = [](std::initializer_list<int32_t> codes) {
    std::vector<TTypeCandidate> out;
    for (int32_t code : codes) out.push_back(MakeTypeCandidate(code, 0, 0));
    return out;
  };
  auto text = [](TAdoTypeFlags mask, TAdoTypeFlags value) {
    return std::vector<TTypeCandidate>{MakeTypeCandidate(adChar, mask, value), MakeTypeCandidate(adWChar, mask, value),
                                       MakeTypeCandidate(adBSTR, mask, value)};
  };
  // Built once: a choice is made for every bound parameter.
  static const std::vector<TTypeCandidate> lists[] = {
      {},                                                                                        // dftUnknown
      any({adBoolean}),                                                                          // dftBoolean
      any({adTinyInt, adSmallInt, adUnsignedSmallInt, adInteger, adUnsignedInt, adBigInt, adUnsignedBigInt, adDecimal,
           adNumeric}),                                                                          // dftInt8
      any({adUnsignedTinyInt, adUnsignedSmallInt, adSmallInt, adUnsignedInt, adInteger, adUnsignedBigInt, adBigInt,
           adDecimal, adNumeric}),                                                               // dftUInt8
      any({adSmallInt, adInteger, adUnsignedInt, adBigInt, adUnsignedBigInt, adDecimal, adNumeric}),  // dftInt16
      any({adUnsignedSmallInt, adUnsignedInt, adInteger, adUnsignedBigInt, adBigInt, adDecimal, adNumeric}),  // dftUInt16
      any({adInteger, adBigInt, adUnsignedBigInt, adDecimal, adNumeric}),                        // dftInt32
      any({adUnsignedInt, adUnsignedBigInt, adBigInt, adDecimal, adNumeric}),                    // dftUInt32
      any({adBigInt}),                                                                           // dftInt64
      any({adUnsignedBigInt}),                                                                   // dftUInt64
      any({adSingle, adDouble}),                                                                 // dftSingle
      any({adDouble}),                                                                           // dftDouble
      any({adCurrency, adDouble, adSingle}),                                                     // dftCurrency
      // adDate first, then the ODBC timestamp: never a date-only or time-only type.
      any({adDate, adDBTimeStamp}),                                                              // dftDateTime
      text(atfLong | atfFixedLength, 0),                                                         // dftString
      text(atfLong | atfFixedLength, atfLong),                                                   // dftMemo
      {MakeTypeCandidate(adBinary, atfLong, atfLong)},                                           // dftBlob
  };
  if (fieldType == dftUnknown || fieldType > dftBlob) return nullptr;
  return FindProviderType(types, lists[fieldType]);
}

// --- the database ------------------------------------------------------------------------------

TAdoOrvDb::TAdoOrvDb() : FConnection(new _Connection) { FConnection->SetCommandTimeout(600); }

TAdoOrvDb::~TAdoOrvDb() {
  FConnection = nullptr;
  FTypes.reset();
}

TOrvDbTableDef* TAdoOrvDb::CreateTableDef() { return new TAdoOrvDbTableDef(this); }

void TAdoOrvDb::Open(IConnParams* params) {
  TOrvDb::Open(params);
  FLeftQuote = params->HasParam("LEFTQUOTEMARK") ? GetConnParam(params, "LEFTQUOTEMARK", "") : "[";
  FRightQuote = params->HasParam("RIGHTQUOTEMARK") ? GetConnParam(params, "RIGHTQUOTEMARK", "") : "]";
  FConnection->SetConnectionTimeout(TimeoutParam(params, "CONNECTION_TIMEOUT", FConnection->ConnectionTimeout()));
  FConnection->SetCommandTimeout(TimeoutParam(params, "COMMAND_TIMEOUT", FConnection->CommandTimeout()));
  ForgetCommands();
  FConnection->Open(GetConnParam(params, "CONNECTIONSTRING", ""), GetConnParam(params, "USER", ""),
                    GetConnParam(params, "PASSWORD", ""), adOptionUnspecified);
}

void TAdoOrvDb::Close() {
  ForgetCommands();
  FConnection->Close();
  FTypes.reset();
}

void TAdoOrvDb::ForgetCommands() {
  for (TOrvDbObject* obj : Objects())
    if (auto* sql = dynamic_cast<TAdoOrvDbSQL*>(obj)) sql->ForgetCommand();
}

void TAdoOrvDb::StartTransaction() { FConnection->BeginTrans(); }

void TAdoOrvDb::Commit() { EndBracket(true); }
void TAdoOrvDb::Rollback() { EndBracket(false); }

// The brackets are the connection's own levels, so that a commit or rollback the data source
// refuses cannot leave a count that says otherwise: the connection ends the level (a refused
// commit rolling its work back) before the error passes on.
void TAdoOrvDb::EndBracket(bool commit) {
  for (TOrvDbObject* obj : Objects())
    if (auto* sql = dynamic_cast<TAdoOrvDbSQL*>(obj)) sql->ReleaseRecordset();
  if (commit)
    FConnection->CommitTrans();
  else
    FConnection->RollbackTrans();
}

namespace {

std::string ConnectionProperty(_Connection& connection, const char* name) {
  return connection.Properties().Item(name).Value.ToString();
}

}  // namespace

std::string TAdoOrvDb::ConnectionToken() {
  const std::string family = DbmsFamily(ConnectionProperty(*FConnection, "DBMS Name"));
  if (family == "postgresql") return PostgresToken(*this);
  if (family == "sqlite") return FileToken(family, SqliteMainFile(*this));
  return CatalogToken(family, ConnectionProperty(*FConnection, "Current Catalog"));
}

TOrvDbAttachment TAdoOrvDb::IsAttached(const std::string& token) {
  const std::string family = DbmsFamily(ConnectionProperty(*FConnection, "DBMS Name"));
  const TDbToken other = ParseDbToken(token);
  if (family == "postgresql") return PostgresAttachment(*this, other);
  if (family == "sqlite") return FileAttachment(family, SqliteMainFile(*this), other);
  return CatalogAttachment(family, ConnectionProperty(*FConnection, "Current Catalog"), other);
}

IOrvDbSQLPtr TAdoOrvDb::CreateSQL(const std::string& sql) {
  IOrvDbSQLPtr result(new TAdoOrvDbSQL(this));
  result->SetSQL(sql);
  return result;
}

bool TAdoOrvDb::TableExists(const std::string& name) {
  if (name.empty()) return false;
  return AdoTableExists(FConnection.get(), name);
}

void TAdoOrvDb::DropTable(const std::string& name) {
  if (!TableExists(name)) return;
  CreateSQL("DROP TABLE [" + name + "]")->Execute({});
}

TAdoTypes& TAdoOrvDb::GetProviderTypes() {
  if (!FTypes) {
    FTypes = std::make_unique<TAdoTypes>();
    LoadProviderTypes(*FTypes, FConnection.get());
  }
  return *FTypes;
}

// --- table definitions -------------------------------------------------------------------------

namespace {

// One index gathered from the rows of the indexes rowset: entry i of Columns names the column at
// key position i + 1 ("" for a position no row filled).
struct TIndexInfo {
  std::string Name;
  TOrvDbIndexOptions Options = 0;
  std::vector<std::string> Columns;

  TIndexInfo(const std::string& name, _Recordset* row) : Name(name) {
    if (VarToBoolDef(FieldValue(row, "PRIMARY_KEY"), false)) Options |= dioPrimary;
    if (FieldValue(row, "UNIQUE").ToBool()) Options |= dioUnique;
    AddColumn(row);
  }
  void AddColumn(_Recordset* row) {
    const int32_t p = VarToIntDef(FieldValue(row, "ORDINAL_POSITION"), static_cast<int32_t>(Columns.size()) + 1) - 1;
    if (p < 0) throw Exception("Ошибка чтения индекса "_ansi + Name + ": некорректная позиция поля"_ansi);
    while (static_cast<int32_t>(Columns.size()) <= p) Columns.emplace_back();
    Columns[static_cast<std::size_t>(p)] = FieldValue(row, "COLUMN_NAME").ToString();
  }
  TOrvDbIndexDef GetDef() const {
    TOrvDbIndexDef d;
    d.Name = Name;
    d.Options = Options;
    for (std::size_t i = 0; i < Columns.size(); ++i) d.Fields += (i ? ";" : "") + Columns[i];
    return d;
  }
};

// Refuses a name longer than the data source keeps: it would be cut short without a word, and
// the table would be made under a name nothing refers to.
void CheckNameLength(_Connection* connection, const char* limitProperty, const std::string& what,
                     const std::string& name) {
  const int32_t limit = VarToIntDef(connection->Properties().Item(limitProperty).Value, 0);
  const int64_t size = connection->NameSize(name);
  if (limit > 0 && size > limit)
    throw Exception(Format("Ошибка создания таблицы: имя %s \"%s\" слишком длинное для базы данных (байт: %d, допустимо не более %d)"_ansi,
                           {what, name, static_cast<long long>(size), static_cast<long long>(limit)}));
}

void ExecuteSQL(_Connection* connection, const std::string& text) {
  try {
    connection->Execute(text, nullptr, adCmdText);
  } catch (Exception& e) {
    e.SetMessage(e.Message() + "\r\nSQL: " + text);
    throw;
  }
}

}  // namespace

void TAdoOrvDbTableDef::Load(const std::string& name) {
  Clear();
  _Connection* connection = FAdoDb->Connection();
  FOriginalName = name;
  FTableName = name;
  if (!name.empty()) {
    LoadAdoColumns(connection, name);
    LoadAdoIndexes(connection, name);
  }
  FChanges = 0;
}

void TAdoOrvDbTableDef::LoadAdoColumns(_Connection* connection, const std::string& name) {
  RefPtr<_Recordset> rs =
      connection->OpenSchema(adSchemaColumns, Restrictions({Variant(), Variant(), Variant(name), Variant()}));
  // Columns by ordinal position; a position no row fills stays empty and closes up at the end.
  std::vector<std::unique_ptr<TOrvDbFieldDef>> byPosition;
  for (; !rs->Eof(); rs->MoveNext()) {
    auto f = std::make_unique<TOrvDbFieldDef>();
    _Recordset* row = rs.get();
    f->Name = FieldValue(row, "COLUMN_NAME").ToString();
    f->FieldType = AdoToFieldType(VarToIntDef(FieldValue(row, "DATA_TYPE"), 0),
                                  (VarToIntDef(FieldValue(row, "COLUMN_FLAGS"), 0) & adFldLong) != 0,
                                  VarToIntDef(FieldValue(row, "NUMERIC_PRECISION"), 0),
                                  VarToIntDef(FieldValue(row, "NUMERIC_SCALE"), 0));
    f->Size = VarToIntDef(FieldValue(row, "CHARACTER_MAXIMUM_LENGTH"), 0);
    const Variant nullable = FieldValue(row, "IS_NULLABLE");
    f->Required = !nullable.IsNull() && !nullable.ToBool();
    const int32_t p = VarToIntDef(FieldValue(row, "ORDINAL_POSITION"), static_cast<int32_t>(byPosition.size()) + 1) - 1;
    if (p < 0) throw Exception("Ошибка чтения структуры таблицы "_ansi + name + ": некорректная позиция поля"_ansi);
    while (static_cast<int32_t>(byPosition.size()) <= p) byPosition.emplace_back();
    auto& slot = byPosition[static_cast<std::size_t>(p)];
    // Two rows at one position (tables of this name in two schemas): the earlier column moves
    // behind everything placed so far.
    if (slot) byPosition.push_back(std::move(slot));
    slot = std::move(f);
  }
  for (auto& f : byPosition)
    if (f) AddField(*f);
}

void TAdoOrvDbTableDef::LoadAdoIndexes(_Connection* connection, const std::string& name) {
  RefPtr<_Recordset> rs = connection->OpenSchema(
      adSchemaIndexes, Restrictions({Variant(), Variant(), Variant(), Variant(), Variant(name)}));
  std::vector<TIndexInfo> found;
  for (; !rs->Eof(); rs->MoveNext()) {
    const Variant indexName = FieldValue(rs.get(), "INDEX_NAME");
    if (indexName.IsNull()) continue;
    const std::string n = indexName.ToString();
    auto it = std::find_if(found.begin(), found.end(), [&n](const TIndexInfo& x) { return AnsiSameText(x.Name, n); });
    if (it != found.end())
      it->AddColumn(rs.get());
    else
      found.emplace_back(n, rs.get());
  }
  for (const TIndexInfo& x : found) AddIndex(x.GetDef());
}

std::string TAdoOrvDbTableDef::QuoteIdentifier(const std::string& name) const {
  IConnParams* p = FAdoDb->Params();
  return GetConnParam(p, "LEFTQUOTEMARK", "") + name + GetConnParam(p, "RIGHTQUOTEMARK", "");
}

std::string TAdoOrvDbTableDef::ColumnDDL(const TOrvDbFieldDef& field, bool full) {
  TAdoType* t = ChooseProviderType(FAdoDb->GetProviderTypes(), field.FieldType);
  if (t == nullptr) throw Exception("Ошибка создания таблицы: база данных не поддерживает тип поля"_ansi);
  std::string text = QuoteIdentifier(field.Name) + " " + t->TypeName;
  if (field.FieldType == dftString) {
    text += '(';
    text += IntToStr(std::min(field.Size, t->ColumnSize));
    text += ')';
  } else if (t->DataType == adDecimal || t->DataType == adNumeric) {
    switch (field.FieldType) {
      case dftInt8: case dftUInt8: text += "(3,0)"; break;
      case dftInt16: case dftUInt16: text += "(5,0)"; break;
      case dftInt32: case dftUInt32: text += "(10, 0)"; break;
      default: break;
    }
  }
  if (full && field.Required) text += " NOT NULL";
  return text;
}

std::string TAdoOrvDbTableDef::IndexDDL(const TOrvDbIndexDef& index, const std::string& tableName) {
  IConnParams* p = FAdoDb->Params();
  TStrArray names;
  names.Split(index.Fields, ";");
  std::string columns = "(";
  columns += names.Join(",", GetConnParam(p, "LEFTQUOTEMARK", "") + "%s" + GetConnParam(p, "RIGHTQUOTEMARK", ""));
  columns += ')';
  if (index.Options & dioPrimary) return std::string("PRIMARY KEY ").append(columns);
  return std::string("CREATE") + ((index.Options & dioUnique) ? " UNIQUE" : "") + " INDEX " +
         QuoteIdentifier(index.Name) + " ON " + QuoteIdentifier(tableName) + " " + columns;
}

void TAdoOrvDbTableDef::CreateTable(const std::string& name, bool full) {
  if (GetFieldCount() == 0) throw Exception("Ошибка создания таблицы: не задан список полей"_ansi);
  _Connection* connection = FAdoDb->Connection();
  TOrvDbIndexInfo* primary = PrimaryIndex();
  CheckNameLength(connection, "Maximum Table Name Length", "таблицы"_ansi, name);
  for (int i = 0; i < GetFieldCount(); ++i)
    CheckNameLength(connection, "Maximum Column Name Length", "поля"_ansi, GetField(i).Name);
  for (int i = 0; full && i < Indexes().Count(); ++i)
    if (Indexes().Items(i) != primary)
      CheckNameLength(connection, "Maximum Index Name Length", "индекса"_ansi, Indexes().Items(i)->Current.Name);
  std::string text = "CREATE TABLE " + QuoteIdentifier(name) + " (";
  for (int i = 0; i < GetFieldCount(); ++i) text += (i ? ", " : "") + ColumnDDL(GetField(i), full);
  if (full && primary != nullptr) text += ", " + IndexDDL(primary->Current, name);
  text += ")";
  ExecuteSQL(connection, text);
  if (!full) return;
  for (int i = 0; i < Indexes().Count(); ++i) {
    TOrvDbIndexInfo* index = Indexes().Items(i);
    if (index != primary) ExecuteSQL(connection, IndexDDL(index->Current, name));
  }
}

// --- statements --------------------------------------------------------------------------------

std::string SubstituteNullParams(const std::string& text, const TOrvDbParams& params) {
  std::size_t n = 0;
  return ReplaceOutsideLiterals(text, "?", [&](char mark) {
    if (n >= params.size()) CheckParamCount(CountParamMarks(text), params.size());
    return params[n++].Value.IsNull() ? std::string("NULL") : std::string(1, mark);
  });
}

TAdoOrvDbSQL::~TAdoOrvDbSQL() { FRecordset = nullptr; }

bool TAdoOrvDbSQL::CommandFits(const TOrvDbParams& params) const {
  if (!FCommand || FShape.size() != params.size()) return false;
  for (std::size_t i = 0; i < params.size(); ++i)
    if (FShape[i] != ShapeOf(params[i])) return false;
  return true;
}

void TAdoOrvDbSQL::MakeCommand(const TOrvDbParams& params) {
  ForgetCommand();
  RefPtr<_Command> command(new _Command);
  command->SetActiveConnection(RefPtr<_Connection>(FAdoDb->Connection()));
  command->SetCommandText(SubstituteNullParams(FQuoted, params));
  // Every non-Null element is bound, in order: the markers left in the text pair up with them.
  // An element without a field type goes by its value's own type.
  for (const TOrvDbParam& p : params) {
    FShape.push_back(ShapeOf(p));
    if (p.Value.IsNull()) continue;
    int32_t type = -1;
    if (p.DataType != dftUnknown) {
      if (TAdoType* t = ChooseProviderType(FAdoDb->GetProviderTypes(), p.DataType)) type = t->DataType;
    }
    RefPtr<Parameter> param = command->CreateParameter("", type, adParamInput, -1, Variant());
    if (p.DataType == dftBlob) param->SetAttributes(param->Attributes() | adParamLong);
    command->Parameters().Append(param);
    FBound.push_back(param);
  }
  FCommand = command;
}

void TAdoOrvDbSQL::ForgetCommand() {
  FCommand = nullptr;
  FBound.clear();
  FShape.clear();
}

IOrvDbSQLPtr TAdoOrvDbSQL::Execute(const TOrvDbParams& params) {
  if (FQuotedFor != FSQL || FQuotedFor.empty()) {
    FQuoted = ReplaceQuoteMarks(FSQL, "[]", {FAdoDb->LeftQuote(), FAdoDb->RightQuote()});
    FQuotedFor = FSQL;
    FQuotedMarks = CountParamMarks(FQuoted);
    ForgetCommand();
  }
  CheckParamCount(FQuotedMarks, params.size());
  if (!CommandFits(params)) MakeCommand(params);
  FCommand->SetCommandTimeout(FAdoDb->Connection()->CommandTimeout());
  auto bound = FBound.begin();
  for (const TOrvDbParam& p : params) {
    if (p.Value.IsNull()) continue;
    Parameter& param = **bound++;
    int64_t size = -1;
    if (p.DataType == dftString) {
      const std::size_t length = p.Value.IsString() ? p.Value.StrRef().size() : p.Value.ToString().size();
      if (length > 0) size = static_cast<int64_t>(length);
    }
    param.SetSize(size);
    if (p.DataType == dftBlob)
      param.SetValue(p.Value.IsString() ? p.Value : Variant(p.Value.ToString()));
    else
      param.SetValue(p.Value);
  }
  // The parameters' copies of the values go once the statement has run, whatever its end.
  auto letGo = [this] {
    for (const RefPtr<Parameter>& param : FBound) param->SetValue(Variant());
  };
  Variant affected;
  RefPtr<_Recordset> rs;
  try {
    rs = FCommand->Execute(&affected, nullptr, adCmdText);
  } catch (...) {
    letGo();
    throw;
  }
  letGo();
  FRecordset = rs;
  FLongReads.NewRow();
  FRowsAffected = VarToIntDef(affected, 0);
  return IOrvDbSQLPtr(this);
}

void TAdoOrvDbSQL::CheckRecordsetOpen() const {
  if (!FRecordset) throw Exception("Ошибка доступа к данным: таблица закрыта"_ansi);
}

RefPtr<Field> TAdoOrvDbSQL::GetField(const Variant& column) {
  CheckRecordsetOpen();
  return FRecordset->Fields().Item(column);
}

TOrvDbFieldType TAdoOrvDbSQL::TypeOf(Field& f) {
  return AdoToFieldType(f.Type(), (f.Attributes() & adFldLong) != 0, f.Precision(), f.NumericScale());
}

RefPtr<Field> TAdoOrvDbSQL::ReadField(const Variant& column, TOrvDbFieldType& type) {
  RefPtr<Field> f = GetField(column);
  type = TypeOf(*f);
  if (type == dftMemo || type == dftBlob) FLongReads.Take(f.get(), f->Name());
  return f;
}

Variant TAdoOrvDbSQL::RawValue(const Variant& column) { return GetField(column)->Value(); }

bool TAdoOrvDbSQL::Eof() {
  CheckRecordsetOpen();
  return FRecordset->Eof();
}

int TAdoOrvDbSQL::FieldCount() {
  CheckRecordsetOpen();
  return FRecordset->Fields().Count();
}

int TAdoOrvDbSQL::FieldIndex(const std::string& name) {
  CheckRecordsetOpen();
  return FindRecordsetField(FRecordset.get(), name);
}

std::string TAdoOrvDbSQL::FieldName(int index) {
  CheckRecordsetOpen();
  return FRecordset->Fields().Item(static_cast<int32_t>(index))->Name();
}

TOrvDbFieldType TAdoOrvDbSQL::FieldType(const Variant& column) { return TypeOf(*GetField(column)); }

Variant TAdoOrvDbSQL::GetValue(const Variant& column) {
  TOrvDbFieldType type = dftUnknown;
  RefPtr<Field> f = ReadField(column, type);
  if (type == dftBlob || type == dftMemo) {
    // Read in one piece without asking for the value first, so that no copy of it stays with the
    // row: a blob's size is known beforehand, a memo is asked for all there is.
    const int64_t n = type == dftBlob ? f->ActualSize() : std::numeric_limits<int64_t>::max();
    if (n == 0) return f->Value().IsNull() ? Variant::Null() : Variant(std::string());
    return LongValue(*f, n);
  }
  Variant v = f->Value();
  // SQL NULL stays Null whatever the column's type: a copy must not turn it into 0 or "".
  if (v.IsNull()) return v;
  switch (type) {
    case dftBoolean: return Variant(v.ToBool());
    // The value as stored, never cut to the column type's width: a NUMERIC(5,0) reads as
    // dftInt16 and an SQLite smallint holds anything.
    case dftInt8: case dftUInt8: case dftInt16: case dftUInt16: case dftInt32: case dftUInt32:
      return ExactInteger(v, type);
    case dftSingle: return Variant(static_cast<double>(static_cast<float>(v.ToDouble())));
    case dftDouble: return Variant(v.ToDouble());
    case dftDateTime: return Variant::FromDateTime(v.ToDateTime());
    default: return v;
  }
}

std::string TAdoOrvDbSQL::AsString(const Variant& column) {
  TOrvDbFieldType type = dftUnknown;
  Variant v = ReadField(column, type)->Value();
  return v.IsNull() ? std::string() : v.ToString();
}

std::string TAdoOrvDbSQL::AsBlob(const Variant& column) {
  TOrvDbFieldType type = dftUnknown;
  RefPtr<Field> f = ReadField(column, type);
  const int64_t n = f->ActualSize();
  return n == 0 ? std::string() : LongValue(*f, n).StrRef();
}

Variant TAdoOrvDbSQL::LongValue(Field& f, int64_t size) {
  // The first piece is the whole value, handed on as it came; further pieces, until GetChunk says
  // the value has ended, are for a driver that said less than there was.
  constexpr int64_t kPiece = 1 << 20;
  auto next = [&f](int64_t length) {
    Variant chunk = f.GetChunk(length);
    if (!chunk.IsString() && !chunk.IsNull() && !chunk.IsEmpty())
      throw Exception("Ошибка чтения BLOB-а: некорректный тип"_ansi);
    return chunk;
  };
  Variant first = next(size);
  // Nothing at all: a Null, or a value this row has handed on already (Value raises for that).
  if (!first.IsString()) return f.Value();
  // GetChunk gives less than asked for only where the value ends.
  if (static_cast<int64_t>(first.StrRef().size()) < size) return first;
  Variant more = next(kPiece);
  if (!more.IsString()) return first;
  std::string whole = first.StrRef();
  for (; more.IsString(); more = next(kPiece)) whole += more.StrRef();
  return Variant(std::move(whole));
}

bool TAdoOrvDbSQL::AsBoolean(const Variant& column) {
  Variant v = RawValue(column);
  return v.IsNull() ? false : v.ToBool();
}

int32_t TAdoOrvDbSQL::AsInt32(const Variant& column) {
  Variant v = RawValue(column);
  return v.IsNull() ? 0 : v.ToInt32();
}

uint32_t TAdoOrvDbSQL::AsUInt32(const Variant& column) { return static_cast<uint32_t>(AsInt32(column)); }

double TAdoOrvDbSQL::AsDouble(const Variant& column) {
  Variant v = RawValue(column);
  return v.IsNull() ? 0.0 : v.ToDouble();
}

float TAdoOrvDbSQL::AsSingle(const Variant& column) { return static_cast<float>(AsDouble(column)); }

TDateTime TAdoOrvDbSQL::AsDateTime(const Variant& column) {
  Variant v = RawValue(column);
  return v.IsNull() ? 0.0 : v.ToDateTime();
}

void TAdoOrvDbSQL::Next() {
  CheckRecordsetOpen();
  FLongReads.NewRow();
  FRecordset->MoveNext();
}
