// Connections, statements and table operations on an InterBase database (driver INTRBASE).
#include "platform/bde/BdeServer.h"

#include <algorithm>

#include "platform/bde/BdeInternal.h"

namespace bde::detail {

// --- connection -------------------------------------------------------------------------------

TServerConnection::TServerConnection() {
  Database.SetLoginPrompt(false);
  Database.SetDefaultTransaction(&Auto);
  Explicit.SetDefaultDatabase(&Database);
  // Work of the automatic transaction is committed statement by statement; what an explicit
  // transaction holds when the connection goes was never committed by its owner.
  Auto.SetDefaultAction(TACommit);
  Explicit.SetDefaultAction(TARollback);
}

TServerConnection::~TServerConnection() {
  for (TServerStatement* s : Statements) s->Connection = nullptr;
}

void TServerConnection::AutoCommit() {
  if (Explicit.Active() || !Auto.Active()) return;
  try {
    Auto.CommitRetaining();
  } catch (...) {
    // A commit that fails (a table still in use, a deferred constraint) must not leave the work
    // pending, or every later statement would try to commit it again.
    RethrowAfterAutoRollback();
  }
}

void TServerConnection::RethrowAfterAutoRollback() {
  TFailures failures;
  failures.Catch({});
  if (!Explicit.Active() && Auto.Active()) {
    try {
      Auto.RollbackRetaining();
    } catch (...) {
      failures.Catch("отменить изменения не удалось: "_ansi);
    }
  }
  failures.Raise();
  throw;  // not reached: Raise raises the failure caught first
}

void TServerConnection::ReleaseIdleStatements(const TServerStatement* except) {
  for (TServerStatement* s : Statements)
    if (s != except && !s->SQL.Open()) s->SQL.FreeHandle();
}

// --- statements -------------------------------------------------------------------------------

TServerStatement::~TServerStatement() {
  if (Connection) std::erase(Connection->Statements, this);
}

void TServerStatement::Attach(TServerConnection& connection) {
  if (Connection != &connection) {
    if (Connection) std::erase(Connection->Statements, this);
    Connection = &connection;
    connection.Statements.push_back(this);
  }
  // Both calls do nothing when the statement is tied to these already.
  SQL.SetDatabase(&connection.Database);
  SQL.SetTransaction(&connection.Current());
}

TServerResult::~TServerResult() {
  try {
    FSQL.Close();
  } catch (...) {
  }
}

bool TServerResult::Fetch() {
  // Eof also when the cursor was closed because its transaction ended.
  if (FSQL.Eof()) return false;
  return FSQL.Next() != nullptr;
}

Variant TServerResult::Value(int column) {
  if (FSQL.Eof())
    throw EDBEngineError("Курсор закрыт: транзакция, в которой он был открыт, завершилась"_ansi,
                         TDBErrorKind::Unsupported);
  return FSQL.Fields(column).AsVariant();
}

// --- types and names ----------------------------------------------------------------------------

TFieldType ServerFieldType(const TIBXSQLVAR& column) {
  const int scale = column.SQLScale();
  switch (column.SQLType()) {
    case IBSQLType::Varying: case IBSQLType::Text: return ftString;
    case IBSQLType::Short: case IBSQLType::Long: case IBSQLType::Int64:
      if (scale < 0) return scale >= -4 ? ftCurrency : ftFloat;
      return column.SQLType() == IBSQLType::Short ? ftSmallint
             : column.SQLType() == IBSQLType::Long ? ftInteger : ftLargeint;
    case IBSQLType::Float: case IBSQLType::Double: case IBSQLType::DFloat: return ftFloat;
    case IBSQLType::Timestamp: return ftDateTime;
    case IBSQLType::TypeDate: return ftDate;
    case IBSQLType::TypeTime: return ftTime;
    case IBSQLType::Blob: return column.SQLSubtype() == 1 ? ftMemo : ftBlob;
    case IBSQLType::Boolean: return ftBoolean;
    default: return ftUnknown;
  }
}

TFieldDef ServerFieldDef(const TFieldDef& def) {
  TFieldDef d = def;
  if (d.DataType == ftBCD || d.DataType == ftFMTBcd) {
    // Exact decimals become currency where currency holds them exactly.
    d.DataType = d.Size <= 4 ? ftCurrency : ftFloat;
    d.Size = 0;
    d.Precision = 0;
  }
  return d;
}

std::string ServerIdentifier(const std::string& name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') return name;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  bool plain = !name.empty() && letter(name[0]);
  for (char c : name) plain = plain && (letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '$');
  return plain ? UpperCase(name) : name;
}

std::string ServerFieldList(const std::string& fields) {
  std::string out;
  for (const std::string& part : SplitFieldList(fields)) out += (out.empty() ? "" : ";") + ServerIdentifier(part);
  return out;
}

void BindServerParam(TIBXSQLVAR& target, const TParam& source) {
  if (source.IsNull()) {
    target.Clear();
    return;
  }
  const Variant& v = source.Value();
  switch (source.DataType()) {
    case ftString: case ftFixedChar: case ftWideString:
    case ftMemo: case ftFmtMemo: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob: case ftBytes: case ftVarBytes:
      // A blob parameter receives the bytes as a blob, any other one a text the server converts.
      target.SetAsString(v.IsString() ? v.StrRef() : v.ToString());
      break;
    case ftSmallint: case ftWord: case ftInteger: case ftAutoInc:
      target.SetAsLong(v.ToInt32());
      break;
    case ftLargeint:
      target.SetAsInt64(v.ToInt64());
      break;
    case ftFloat:
      target.SetAsDouble(v.ToDouble());
      break;
    case ftCurrency: case ftBCD: case ftFMTBcd:
      target.SetAsCurrency(v.ToCurrencyScaled());
      break;
    case ftDate: case ftTime: case ftDateTime: case ftTimeStamp:
      target.SetAsDateTime(v.ToDateTime());
      break;
    case ftBoolean:
      // Tables made here keep Booleans in SMALLINT columns, which take 0 and 1.
      if (target.SQLType() == IBSQLType::Boolean)
        target.SetAsBoolean(v.ToBool());
      else
        target.SetAsShort(v.ToBool() ? 1 : 0);
      break;
    default:
      target.SetAsVariant(v);
      break;
  }
}

// --- tables ---------------------------------------------------------------------------------------

namespace {

void SetUp(TIBTable& table, TServerConnection& connection, const std::string& name) {
  if (name.empty()) CheckTableName(name);  // raises BadName
  table.SetDatabase(&connection.Database);
  table.SetTransaction(&connection.Current());
  table.SetTableName(ServerIdentifier(name));
}

}  // namespace

bool ServerTableExists(TServerConnection& connection, const std::string& name) {
  TIBTable table;
  SetUp(table, connection, name);
  return table.Exists();
}

void ServerFieldDefs(TServerConnection& connection, const std::string& name, TFieldDefs& defs) {
  TIBTable table;
  SetUp(table, connection, name);
  table.FieldDefs().Update();
  defs.Clear();
  for (int i = 0; i < table.FieldDefs().Count(); ++i) defs.Add(ServerFieldDef(table.FieldDefs()[i]));
}

void ServerIndexDefs(TServerConnection& connection, const std::string& name, TIndexDefs& defs) {
  TIBTable table;
  SetUp(table, connection, name);
  table.IndexDefs().Update();
  defs.Clear();
  for (int i = 0; i < table.IndexDefs().Count(); ++i) {
    const TIndexDef& d = table.IndexDefs()[i];
    defs.Add(d.Name, d.Fields, d.Options);
  }
}

void ServerCreateTable(TServerConnection& connection, const std::string& name, const TFieldDefs& fields,
                       const TIndexDefs& indexes) {
  TIBTable table;
  SetUp(table, connection, name);
  for (int i = 0; i < fields.Count(); ++i) {
    TFieldDef d = fields[i];
    d.Name = ServerIdentifier(d.Name);
    table.FieldDefs().Add(d);
  }
  for (int i = 0; i < indexes.Count(); ++i) {
    const TIndexDef& d = indexes[i];
    table.IndexDefs().Add(d.Name.empty() ? d.Name : ServerIdentifier(d.Name),
                          d.Options.Contains(ixExpression) ? d.Fields : ServerFieldList(d.Fields), d.Options);
  }
  try {
    table.CreateTable();
  } catch (...) {
    connection.RethrowAfterAutoRollback();
  }
  connection.AutoCommit();
}

void ServerDeleteTable(TServerConnection& connection, const std::string& name) {
  TIBTable table;
  SetUp(table, connection, name);
  connection.ReleaseIdleStatements(nullptr);
  try {
    table.DeleteTable();
  } catch (...) {
    connection.RethrowAfterAutoRollback();
  }
  connection.AutoCommit();
}

}  // namespace bde::detail
