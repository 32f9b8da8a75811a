// The back-end for a Paradox folder, an alias and an InterBase database: one class, TVCLOrvDb,
// serves the three kinds of connection (TVCLDbKind; VCLOrvelDbs.h says what it promises). A folder
// and an alias go through platform/bde (a session, a database, TTable and TQuery objects);
// InterBase goes through platform/ibx (a TIBDatabase with one TIBTransaction open from Open to
// Close, TIBTable, TIBSQL). Most methods branch once on the kind.
//
// Where to look first:
//   type maps        at the top: FieldTypeToVCL and VCLToFieldType for the data-access field
//                    types, IBColumnToFieldType (catalogue codes) and IBResultToFieldType
//                    (result columns) for InterBase
//   connecting       TVCLOrvDb::Open, then CreateSession or OpenInterBase; IBDatabaseName builds
//                    the InterBase connection string
//   transactions     StartTransaction and EndBracket: InterBase counts brackets over its one
//                    transaction, UndoInterBaseWork rolls back after a refused commit or rollback
//   table structure  TVCLOrvDbTableDef: LoadBDE and LoadInterBase read it (InterBase from the
//                    catalogue, with the scale that tells a NUMERIC from an integer), CreateTable
//                    writes it through FillDefinitions
//   statements       SetSQL rewrites the text (ConvertParamMarks, then ReplaceQuoteMarks) and
//                    Execute binds by position: TVCLOrvDbSQL over a local query, TIBOrvDbSQL over
//                    an InterBase statement
//   identity         ConnectionToken and IsAttached ask DbIdentity's Firebird question of the
//                    InterBase attachment (ServerAttachment), or its file question of the folder
#include "gisdb/VCLOrvelDbs.h"

#include <atomic>
#include <exception>
#include <functional>

#include "gisdb/DbIdentity.h"
#include "platform/bde/Bde.h"
#include "platform/ibx/IBDatabase.h"
#include "platform/ibx/IBSQL.h"
#include "platform/ibx/IBTable.h"

// --- maps ----------------------------------------------------------------------------------

TFieldType FieldTypeToVCL(TOrvDbFieldType type) {
  switch (type) {
    case dftBoolean: return ftBoolean;
    case dftInt8: case dftUInt8: case dftInt16: case dftUInt16: return ftSmallint;
    case dftInt32: case dftUInt32: return ftInteger;
    case dftInt64: case dftUInt64: return ftLargeint;
    case dftSingle: case dftDouble: return ftFloat;
    case dftCurrency: return ftCurrency;
    case dftDateTime: return ftDateTime;
    case dftString: return ftString;
    case dftMemo: return ftMemo;
    case dftBlob: return ftBlob;
    default: return ftUnknown;
  }
}

TOrvDbFieldType VCLToFieldType(TFieldType type) {
  switch (type) {
    case ftString: case ftFixedChar: case ftWideString: return dftString;
    case ftSmallint: case ftWord: return dftInt16;
    case ftInteger: case ftAutoInc: return dftInt32;
    case ftLargeint: return dftInt64;
    case ftBoolean: return dftBoolean;
    case ftFloat: return dftDouble;
    case ftCurrency: return dftCurrency;
    case ftDate: case ftTime: case ftDateTime: return dftDateTime;
    case ftMemo: return dftMemo;
    case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftFmtMemo: case ftParadoxOle:
    case ftDBaseOle: case ftTypedBinary: case ftOraBlob: case ftOraClob:
      return dftBlob;
    default: return dftUnknown;
  }
}

// The catalogue code alone does not tell a NUMERIC from a plain integer: a scaled SMALLINT,
// INTEGER or 64-bit column holds fractions and reads as currency (scales -1 to -4) or double.
bool IBColumnToFieldType(int code, int scale, TOrvDbFieldType& type) {
  switch (code) {
    case 7: case 8: case 16:
      if (scale < 0) {
        type = scale >= -4 ? dftCurrency : dftDouble;
        return true;
      }
      type = code == 7 ? dftInt16 : code == 8 ? dftInt32 : dftInt64;
      return true;
    case 9: type = dftInt64; return true;
    case 10: type = dftSingle; return true;
    case 11: case 27: type = dftDouble; return true;
    case 12: case 13: case 35: type = dftDateTime; return true;
    case 14: case 37: type = dftString; return true;
    case 261: type = dftBlob; return true;
    default: return false;
  }
}

TOrvDbFieldType IBResultToFieldType(int sqlType, int scale) {
  switch (sqlType) {
    case IBSQLType::Varying: case IBSQLType::Text: return dftString;
    case IBSQLType::Double: case IBSQLType::DFloat: return dftDouble;
    case IBSQLType::Float: return dftSingle;
    case IBSQLType::Long: case IBSQLType::Short:
      return scale == 0 ? dftInt32 : scale >= -4 ? dftCurrency : dftDouble;
    case IBSQLType::Timestamp: case IBSQLType::TypeTime: case IBSQLType::TypeDate: return dftDateTime;
    case IBSQLType::Blob: case IBSQLType::Array: return dftBlob;
    case IBSQLType::Int64:
      // A 64-bit integer column at scale 0 reads as what it is.
      return scale == 0 ? dftInt64 : scale >= -4 ? dftCurrency : dftDouble;
    default: return dftUnknown;
  }
}

std::string ConvertParamMarks(const std::string& text) {
  int n = 0;
  return ReplaceOutsideLiterals(text, "?", [&n](char) { return ":PARAM" + std::to_string(n++); });
}

bool IsColumnPosition(const Variant& column) {
  switch (column.VarType()) {
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
      return true;
    default:
      return false;
  }
}

const std::string& BlobParamMessage() {
  return "Ошибка обновления данных: параметр типа BLOB должен задаваться в виде строки"_ansi;
}

// --- the database ---------------------------------------------------------------------------

TVCLOrvDb::TVCLOrvDb() = default;

TVCLOrvDb::~TVCLOrvDb() {
  try {
    Close();
  } catch (const std::exception& e) {
    ReportLostError(e);
  }
}

TOrvDbTableDef* TVCLOrvDb::CreateTableDef() { return new TVCLOrvDbTableDef(this); }

void TVCLOrvDb::Open(IConnParams* params) {
  Close();
  TOrvDb::Open(params);
  const std::string engine = GetConnParam(params, "ENGINE", "");
  if (AnsiSameText(engine, "IB")) {
    OpenInterBase();
  } else if (AnsiSameText(engine, "PDOX")) {
    FKind = vkParadoxFolder;
    CreateSession();
    FDatabase->SetAliasName("");
    FDatabase->SetDriverName("STANDARD");
    FDatabase->Params().Add("PATH=" + GetConnParam(params, "FOLDER", ""));
    FDatabase->SetTransIsolation(bde::tiDirtyRead);
    FDatabase->SetConnected(true);
  } else if (AnsiSameText(engine, "BDE")) {
    FKind = vkAlias;
    CreateSession();
    FDatabase->SetDriverName("");
    FDatabase->SetAliasName(GetConnParam(params, "ALIAS", ""));
    FDatabase->SetLoginPrompt(false);
    const std::string user = GetConnParam(params, "USER", "");
    const std::string password = GetConnParam(params, "PASSWORD", "");
    if (!user.empty()) FDatabase->Params().Add("USER NAME=" + user);
    if (!password.empty()) FDatabase->Params().Add("PASSWORD=" + password);
    if (!FDatabase->IsSQLBased()) FDatabase->SetTransIsolation(bde::tiDirtyRead);
    FDatabase->SetConnected(true);
  } else {
    throw Exception("Ошибка создания базы данных: не задан тип соединения"_ansi);
  }
}

namespace {
// Numbers the sessions of a run; it only grows, so no two connections share a session name, even
// when they are made on two threads at once.
std::atomic<int32_t> SessionCounter{0};
}  // namespace

void TVCLOrvDb::CreateSession() {
  const int32_t n = ++SessionCounter;
  FSession = std::make_unique<bde::TSession>();
  FSession->SetSessionName("OrvelSession" + std::to_string(n));
  if (FKind == vkParadoxFolder) FSession->AddPassword("Kavob");
  FDatabase = std::make_unique<bde::TDatabase>();
  FDatabase->SetDatabaseName("OrvelDb" + std::to_string(n));
  FDatabase->SetSessionName(FSession->SessionName());
  FDatabase->Params().Clear();
  FDatabase->SetLoginPrompt(false);
}

std::string IBDatabaseName(IConnParams* p) {
  const std::string server = GetConnParam(p, "SERVER", "");
  const std::string database = GetConnParam(p, "DATABASE", "");
  if (server.empty()) return database;
  const std::string protocol = GetConnParam(p, "PROTOCOL", "");
  if (AnsiSameText(protocol, "TCP")) return server + ":" + database;
  if (AnsiSameText(protocol, "NamedPipe")) return "\\\\" + server + "\\" + database;
  if (AnsiSameText(protocol, "SPX")) return server + "@" + database;
  throw Exception("Ошибка открытия базы данных InterBase: некорректный протокол"_ansi);
}

void TVCLOrvDb::OpenInterBase() {
  IConnParams* p = Params();
  FKind = vkInterBase;
  FIBDatabase = std::make_unique<TIBDatabase>();
  FIBDatabase->SetLoginPrompt(false);
  FIBDatabase->SetDatabaseName(IBDatabaseName(p));
  const std::pair<const char*, const char*> lines[] = {
      {"user_name", "USER"}, {"password", "PASSWORD"}, {"sql_role", "SQLROLE"}, {"lc_ctype", "CTYPE"}};
  for (const auto& [line, key] : lines) {
    const std::string value = GetConnParam(p, key, "");
    if (!value.empty()) FIBDatabase->Params().Add(std::string(line) + "=" + value);
  }
  FIBTransaction = std::make_unique<TIBTransaction>();
  FIBDatabase->SetDefaultTransaction(FIBTransaction.get());
  FTransCount = 0;
  FIBDatabase->SetConnected(true);
  FIBDatabase->SetSQLDialect(FIBDatabase->DBSQLDialect());
  FIBTransaction->StartTransaction();
}

void TVCLOrvDb::Close() {
  if (FKind == vkInterBase) {
    if (FIBDatabase) {
      // Disconnecting ends the open transaction by its default action, a commit: work written
      // outside a closed bracket is kept.
      FIBDatabase->SetConnected(false);
      FIBDatabase.reset();
      FIBTransaction.reset();
    }
  } else if (FDatabase) {
    // Both go whatever the disconnection says; its failure is told once both are closed.
    std::unique_ptr<bde::TDatabase> database = std::move(FDatabase);
    std::unique_ptr<bde::TSession> session = std::move(FSession);
    std::exception_ptr failure;
    try {
      database->Close();
    } catch (...) {
      failure = std::current_exception();
    }
    try {
      session->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
  }
}

void TVCLOrvDb::StartTransaction() {
  if (FKind == vkInterBase)
    ++FTransCount;
  else if (FDatabase && FDatabase->IsSQLBased())
    FDatabase->StartTransaction();
}

void TVCLOrvDb::Commit() { EndBracket(true); }
void TVCLOrvDb::Rollback() { EndBracket(false); }

namespace {

// Ends a transaction's work through end, a commit or a rollback; when the engine refuses either,
// undo runs before the error passes on.
void EndWork(bool commit, const std::function<void(bool commit)>& end, const std::function<void()>& undo) {
  try {
    end(commit);
  } catch (...) {
    undo();
    throw;
  }
}

}  // namespace

// InterBase counts the brackets and ends the engine's work at depth 0 only; an alias of a server
// ends its one transaction (raising without one); a Paradox folder has nothing to end. A commit
// the engine refuses (Firebird refuses a DROP of a table still in use only when it commits) rolls
// the work back before the error passes on: nothing of it stays pending for a later bracket or
// the disconnect to make permanent, and the connection stays usable.
void TVCLOrvDb::EndBracket(bool commit) {
  if (FKind == vkInterBase) {
    if (FTransCount == 0) return;
    --FTransCount;
    if (FTransCount > 0 || !FIBTransaction || !FIBTransaction->Active()) return;
    EndWork(
        commit, [this](bool c) { c ? FIBTransaction->CommitRetaining() : FIBTransaction->RollbackRetaining(); },
        [this] { UndoInterBaseWork(); });
  } else if (FDatabase && FDatabase->IsSQLBased()) {
    EndWork(
        commit, [this](bool c) { c ? FDatabase->Commit() : FDatabase->Rollback(); },
        [this] {
          try {
            if (FDatabase->InTransaction()) FDatabase->Rollback();
          } catch (...) {
          }
        });
  }
}

void TVCLOrvDb::UndoInterBaseWork() {
  try {
    FIBTransaction->RollbackRetaining();
    return;
  } catch (...) {
  }
  // Not even a rollback with retaining: the transaction ends and a new one takes its place.
  try {
    if (FIBTransaction->Active()) FIBTransaction->Rollback();
  } catch (...) {
  }
  try {
    if (!FIBTransaction->Active() && FIBDatabase->Connected()) FIBTransaction->StartTransaction();
  } catch (...) {
  }
}

bool TVCLOrvDb::InTransaction() {
  if (FKind == vkInterBase) return FTransCount >= 1;
  // A database that was never opened has no bracket open.
  return FDatabase && FDatabase->InTransaction();
}

bool TVCLOrvDb::IsLocal() {
  if (FKind == vkParadoxFolder) return true;
  if (FKind == vkAlias) return FDatabase && FDatabase->DriverName() == "STANDARD";
  return false;
}

void TVCLOrvDb::CheckBDEOpen() const {
  if (!FSession || !FDatabase) throw Exception("Операция недопустима: база данных закрыта"_ansi);
}

std::unique_ptr<bde::TTable> TVCLOrvDb::CreateBDETableObject(const std::string& name) {
  CheckBDEOpen();
  auto table = std::make_unique<bde::TTable>();
  table->SetSessionName(FSession->SessionName());
  table->SetDatabaseName(FDatabase->DatabaseName());
  table->SetTableName(name);
  table->SetCacheBlobs(false);
  return table;
}

std::unique_ptr<TIBTable> TVCLOrvDb::CreateIBTableObject(const std::string& name) {
  auto table = std::make_unique<TIBTable>();
  table->SetDatabase(FIBDatabase.get());
  table->SetTableName(name);
  table->SetTransaction(FIBTransaction.get());
  return table;
}

IOrvDbSQLPtr TVCLOrvDb::CreateSQL(const std::string& sql) {
  IOrvDbSQLPtr result;
  if (FKind != vkInterBase) {
    CheckBDEOpen();
    auto query = std::make_unique<bde::TQuery>();
    query->SetSessionName(FSession->SessionName());
    query->SetDatabaseName(FDatabase->DatabaseName());
    query->SetRequestLive(true);
    query->SetUniDirectional(true);
    query->SetCacheBlobs(false);
    query->SetParamCheck(true);
    result = IOrvDbSQLPtr(new TVCLOrvDbSQL(this, std::move(query)));
  } else {
    auto statement = std::make_unique<TIBSQL>();
    statement->SetDatabase(FIBDatabase.get());
    statement->SetTransaction(FIBTransaction.get());
    statement->SetParamCheck(true);
    result = IOrvDbSQLPtr(new TIBOrvDbSQL(this, std::move(statement)));
  }
  result->SetSQL(sql);
  return result;
}

TIBDatabase* TVCLOrvDb::ServerAttachment() const {
  if (FKind == vkInterBase) {
    if (!FIBDatabase) throw Exception("Операция недопустима: база данных закрыта"_ansi);
    return FIBDatabase.get();
  }
  CheckBDEOpen();
  return FDatabase->ServerConnection();
}

std::string TVCLOrvDb::ConnectionToken() {
  if (TIBDatabase* server = ServerAttachment()) return FirebirdToken(*server);
  return FileToken("paradox", FDatabase->Directory());
}

TOrvDbAttachment TVCLOrvDb::IsAttached(const std::string& token) {
  const TDbToken other = ParseDbToken(token);
  if (TIBDatabase* server = ServerAttachment()) return FirebirdAttachment(*server, other);
  return FileAttachment("paradox", FDatabase->Directory(), other);
}

bool TVCLOrvDb::TableExists(const std::string& name) {
  if (name.empty()) return false;
  if (FKind != vkInterBase) return CreateBDETableObject(name)->Exists();
  return CreateIBTableObject(name)->Exists();
}

void TVCLOrvDb::DropTable(const std::string& name) {
  if (FKind != vkInterBase) {
    auto table = CreateBDETableObject(name);
    if (table->Exists()) table->DeleteTable();
    return;
  }
  auto table = CreateIBTableObject(name);
  RunInBracket(this, [&] {
    if (table->Exists()) table->DeleteTable();
  });
}

// --- table definitions ------------------------------------------------------------------------

void TVCLOrvDbTableDef::Load(const std::string& name) {
  Clear();
  FOriginalName = name;
  FTableName = name;
  if (!name.empty()) {
    if (FVCLDb->Kind() == vkInterBase)
      LoadInterBase(name);
    else
      LoadBDE(name);
  }
  FChanges = 0;
}

void TVCLOrvDbTableDef::LoadBDE(const std::string& name) {
  auto table = FVCLDb->CreateBDETableObject(name);
  TFieldDefs& defs = table->FieldDefs();
  defs.Update();
  for (int i = 0; i < defs.Count(); ++i) {
    const TFieldDef& d = defs[i];
    AddField({d.Name, VCLToFieldType(d.DataType), d.Size, d.Required});
  }
  LoadIndexes(table->IndexDefs());
}

void TVCLOrvDbTableDef::LoadIndexes(TIndexDefs& defs) {
  defs.Update();
  int n = 0;
  for (int i = 0; i < defs.Count(); ++i) {
    const TIndexDef& d = defs[i];
    TOrvDbIndexDef index;
    index.Name = d.Name;
    if (index.Name.empty()) {
      index.Name = Format("%s_I%d", {FTableName, n});
      while (defs.IndexOf(index.Name) >= 0) index.Name = Format("%s_I%d", {FTableName, ++n});
      ++n;
    }
    index.Fields = d.Fields;
    index.Options = (d.Options.Contains(ixPrimary) ? dioPrimary : 0) | (d.Options.Contains(ixUnique) ? dioUnique : 0);
    AddIndex(index);
  }
}

void TVCLOrvDbTableDef::LoadInterBase(const std::string& name) {
  IOrvDbSQLPtr sql = Db()->CreateSQL(
      "SELECT \tRDB$RELATION_FIELDS.RDB$FIELD_NAME, \tRDB$FIELDS.RDB$FIELD_TYPE, \tRDB$FIELDS.RDB$FIELD_LENGTH, "
      "\tRDB$RELATION_FIELDS.RDB$NULL_FLAG FROM \tRDB$RELATION_FIELDS \tLEFT JOIN RDB$FIELDS ON "
      "\t\tRDB$FIELDS.RDB$FIELD_NAME=RDB$RELATION_FIELDS.RDB$FIELD_SOURCE WHERE "
      "\tUPPER(RDB$RELATION_NAME)=UPPER(?)");
  // The scale of each column, read beside the query above: the type code alone would read a
  // NUMERIC column as an integer and cut every fraction off.
  IOrvDbSQLPtr scales = Db()->CreateSQL(
      "SELECT RF.RDB$FIELD_NAME, F.RDB$FIELD_SCALE FROM RDB$RELATION_FIELDS RF LEFT JOIN RDB$FIELDS F ON "
      "F.RDB$FIELD_NAME=RF.RDB$FIELD_SOURCE WHERE UPPER(RF.RDB$RELATION_NAME)=UPPER(?)");
  std::vector<std::pair<std::string, int>> scaleOf;
  scales->Execute({StrParam(name)});
  while (!scales->Eof()) {
    scaleOf.emplace_back(Trim(scales->AsString(Variant(int32_t(0)))), scales->AsInt32(Variant(int32_t(1))));
    scales->Next();
  }
  scales->Close();
  sql->Execute({StrParam(name)});
  while (!sql->Eof()) {
    TOrvDbFieldDef f;
    f.Name = Trim(sql->AsString(Variant(int32_t(0))));
    const int code = sql->AsInt32(Variant(int32_t(1)));
    int scale = 0;
    for (const auto& [field, s] : scaleOf)
      if (field == f.Name) scale = s;
    if (!IBColumnToFieldType(code, scale, f.FieldType))
      throw Exception(Format("Ошибка получения структуры таблицы InterBase: неизвестный тип поля (%s.%s)."_ansi,
                             {name, f.Name}));
    f.Size = (f.FieldType == dftString || f.FieldType == dftBlob) ? sql->AsInt32(Variant(int32_t(2))) : 0;
    f.Required = sql->AsInt32(Variant(int32_t(3))) == 1;
    AddField(f);
    sql->Next();
  }
  sql->Close();
  auto table = FVCLDb->CreateIBTableObject(name);
  LoadIndexes(table->IndexDefs());
}

namespace {

template <class TTableObject>
void FillDefinitions(TTableObject& table, TOrvDbTableDef& def, bool full, bool paradoxIndexNames) {
  for (int i = 0; i < def.GetFieldCount(); ++i) {
    TOrvDbFieldDef f = def.GetField(i);
    table.FieldDefs().Add(f.Name, FieldTypeToVCL(f.FieldType), f.Size, full && f.Required);
  }
  if (!full) return;
  for (int i = 0; i < def.GetIndexCount(); ++i) {
    TOrvDbIndexDef x = def.GetIndex(i);
    TIndexOptions options;
    if (x.Options & dioPrimary) options.Include(ixPrimary);
    if (x.Options & dioUnique) options.Include(ixUnique);
    const bool singleField = x.Fields.find(';') == std::string::npos;
    table.IndexDefs().Add(paradoxIndexNames && singleField ? x.Fields : x.Name, x.Fields, options);
  }
}

}  // namespace

void TVCLOrvDbTableDef::CreateTable(const std::string& name, bool full) {
  TVCLOrvDb* db = FVCLDb;
  if (db->Kind() != vkInterBase) {
    auto table = db->CreateBDETableObject(name);
    FillDefinitions(*table, *this, full, db->Kind() == vkParadoxFolder);
    table->CreateTable();
    return;
  }
  RunInBracket(db, [&] {
    auto table = db->CreateIBTableObject(name);
    FillDefinitions(*table, *this, full, false);
    table->CreateTable();
  });
}

bool TVCLOrvDbTableDef::RenameTable(const std::string& oldName, const std::string& newName) {
  if (FVCLDb->Kind() != vkInterBase) {
    FVCLDb->CreateBDETableObject(oldName)->RenameTable(newName);
    return true;
  }
  IOrvDbSQLPtr sql = Db()->CreateSQL("UPDATE RDB$RELATIONS SET RDB$RELATION_NAME=? WHERE RDB$RELATION_NAME=?");
  try {
    sql->Execute({StrParam(newName), StrParam(oldName)});
  } catch (...) {
    sql->Close();
    throw;
  }
  sql->Close();
  return true;
}

// --- Paradox and alias statements --------------------------------------------------------------

TVCLOrvDbSQL::TVCLOrvDbSQL(TVCLOrvDb* db, std::unique_ptr<bde::TQuery> query)
    : TOrvDbObject(db), FQuery(std::move(query)) {}

TVCLOrvDbSQL::~TVCLOrvDbSQL() { FQuery.reset(); }

bool TVCLOrvDbSQL::IsSelect(const std::string& sql) {
  const std::string t = Trim(sql);
  return t.size() >= 6 && AnsiSameText(std::string_view(t).substr(0, 6), "SELECT");
}

void TVCLOrvDbSQL::SetSQL(const std::string& sql) {
  FSQL = sql;
  FIsSelect = IsSelect(sql);
  std::string text = ConvertParamMarks(sql);
  IConnParams* params = Db()->Params();
  const std::string left = GetConnParam(params, "LEFTQUOTEMARK", "");
  const std::string right = GetConnParam(params, "RIGHTQUOTEMARK", "");
  text = ReplaceQuoteMarks(text, "[]", {left, right});
  FColumns.clear();
  if (FQuery->Prepared()) FQuery->UnPrepare();
  FQuery->SQL().SetText(text);
}

IOrvDbSQLPtr TVCLOrvDbSQL::Execute(const TOrvDbParams& params) {
  FColumns.clear();
  // The query keeps the values of an earlier run: a missing parameter would take its old value.
  bde::TParams& marks = FQuery->Params();
  CheckParamCount(marks.Count(), params.size());
  const int n = std::min(static_cast<int>(params.size()), marks.Count());
  for (int i = 0; i < n; ++i) {
    bde::TParam& p = marks[i];
    const TOrvDbParam& value = params[static_cast<std::size_t>(i)];
    if (value.DataType == dftBlob) {
      // An empty blob of a Paradox source arrives as Null: it binds a null blob. Anything else
      // that is no byte string is refused.
      if (value.Value.IsNull()) {
        p.SetDataType(ftBlob);
        p.SetValue(Variant::Null());
      } else if (value.Value.IsString()) {
        p.SetAsBlob(value.Value.StrRef());
      } else {
        throw Exception(BlobParamMessage());
      }
      continue;
    }
    p.SetDataType(FieldTypeToVCL(value.DataType));
    p.SetValue(value.Value);
  }
  if (!FQuery->Prepared()) FQuery->Prepare();
  FLongReads.NewRow();
  if (FIsSelect)
    FQuery->Open();
  else
    FQuery->ExecSQL();
  return IOrvDbSQLPtr(this);
}

bde::TField& TVCLOrvDbSQL::Column(const Variant& column) {
  // A copy asks by an Integer position for every value it reads.
  if (column.VarType() == varInteger) return FQuery->Fields(static_cast<int>(column.RawInt()));
  if (IsColumnPosition(column)) return FQuery->Fields(column.ToInt32());
  return FQuery->FieldByName(column.ToString());
}

namespace {

bool IsLongField(const bde::TField& field) {
  const TOrvDbFieldType type = VCLToFieldType(field.DataType());
  return type == dftMemo || type == dftBlob;
}

}  // namespace

bde::TField& TVCLOrvDbSQL::Read(const Variant& column) {
  bde::TField& field = Column(column);
  if (IsLongField(field)) FLongReads.Take(&field, field.FieldName());
  return field;
}

bool TVCLOrvDbSQL::Eof() { return FQuery->Eof(); }
int TVCLOrvDbSQL::RowsAffected() { return FQuery->RowsAffected(); }
int TVCLOrvDbSQL::FieldCount() { return FQuery->FieldCount(); }

int TVCLOrvDbSQL::FieldIndex(const std::string& name) {
  bde::TField* f = FQuery->FindField(name);
  return f ? f->Index() : -1;
}

std::string TVCLOrvDbSQL::FieldName(int index) { return FQuery->Fields(index).FieldName(); }
TOrvDbFieldType TVCLOrvDbSQL::FieldType(const Variant& column) { return VCLToFieldType(Column(column).DataType()); }
Variant TVCLOrvDbSQL::GetValue(const Variant& column) {
  if (column.VarType() == varInteger && FQuery->Active()) {
    if (FColumns.empty())
      for (int i = 0; i < FQuery->FieldCount(); ++i) {
        bde::TField& field = FQuery->Fields(i);
        FColumns.push_back({&field, IsLongField(field)});
      }
    const int64_t i = column.RawInt();
    if (i >= 0 && i < static_cast<int64_t>(FColumns.size())) {
      const TColumn& c = FColumns[static_cast<std::size_t>(i)];
      if (c.Long) FLongReads.Take(c.Field, c.Field->FieldName());
      return c.Field->AsVariant();
    }
  }
  return Read(column).AsVariant();
}
std::string TVCLOrvDbSQL::AsString(const Variant& column) { return Read(column).AsString(); }

std::string TVCLOrvDbSQL::AsBlob(const Variant& column) {
  std::unique_ptr<TStream> stream = FQuery->CreateBlobStream(Read(column), bde::bmRead);
  std::string bytes(static_cast<std::size_t>(stream->Size()), '\0');
  if (!bytes.empty()) stream->ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

bool TVCLOrvDbSQL::AsBoolean(const Variant& column) { return Column(column).AsBoolean(); }
int32_t TVCLOrvDbSQL::AsInt32(const Variant& column) { return Column(column).AsInteger(); }
uint32_t TVCLOrvDbSQL::AsUInt32(const Variant& column) { return static_cast<uint32_t>(Column(column).AsInteger()); }
float TVCLOrvDbSQL::AsSingle(const Variant& column) { return static_cast<float>(Column(column).AsFloat()); }
double TVCLOrvDbSQL::AsDouble(const Variant& column) { return Column(column).AsFloat(); }
TDateTime TVCLOrvDbSQL::AsDateTime(const Variant& column) { return Column(column).AsDateTime(); }
void TVCLOrvDbSQL::Next() {
  FLongReads.NewRow();
  FQuery->Next();
}

void TVCLOrvDbSQL::Close() {
  FLongReads.NewRow();
  FColumns.clear();
  FQuery->Close();
}

// --- InterBase statements ---------------------------------------------------------------------

TIBOrvDbSQL::TIBOrvDbSQL(TVCLOrvDb* db, std::unique_ptr<TIBSQL> sql) : TOrvDbObject(db), FIBSQL(std::move(sql)) {}

TIBOrvDbSQL::~TIBOrvDbSQL() { FIBSQL.reset(); }

void TIBOrvDbSQL::SetSQL(const std::string& sql) {
  FSQL = sql;
  std::string text = ConvertParamMarks(sql);
  IConnParams* params = Db()->Params();
  const std::string left = GetConnParam(params, "LEFTQUOTEMARK", "\"");
  const std::string right = GetConnParam(params, "RIGHTQUOTEMARK", "\"");
  FIBSQL->SQL().SetText(ReplaceQuoteMarks(text, "[]", {left, right}));
}

IOrvDbSQLPtr TIBOrvDbSQL::Execute(const TOrvDbParams& params) {
  TIBXSQLDA& marks = FIBSQL->Params();
  CheckParamCount(marks.Count(), params.size());
  const int n = std::min(static_cast<int>(params.size()), marks.Count());
  for (int i = 0; i < n; ++i) {
    TIBXSQLVAR& p = marks[i];
    const Variant& v = params[static_cast<std::size_t>(i)].Value;
    if (v.IsNull()) {
      p.SetAsVariant(v);
      continue;
    }
    switch (params[static_cast<std::size_t>(i)].DataType) {
      case dftBoolean: p.SetAsVariant(v); break;
      // A value wider than the parameter's type goes as it is: the engine refuses what the
      // column cannot hold instead of storing its low bits.
      case dftInt8: case dftUInt8: case dftInt16: case dftUInt16: {
        const int64_t whole = v.ToInt64();
        if (whole >= INT16_MIN && whole <= INT16_MAX)
          p.SetAsShort(static_cast<int16_t>(whole));
        else
          p.SetAsInt64(whole);
        break;
      }
      case dftInt32: case dftUInt32: {
        const int64_t whole = v.ToInt64();
        if (whole >= INT32_MIN && whole <= INT32_MAX)
          p.SetAsLong(static_cast<int32_t>(whole));
        else
          p.SetAsInt64(whole);
        break;
      }
      case dftInt64: case dftUInt64: p.SetAsInt64(v.ToInt64()); break;
      case dftSingle: p.SetAsFloat(static_cast<float>(v.ToDouble())); break;
      case dftDouble: p.SetAsDouble(v.ToDouble()); break;
      case dftCurrency: p.SetAsCurrency(v.ToCurrencyScaled()); break;
      case dftDateTime: p.SetAsDateTime(v.ToDateTime()); break;
      case dftString: case dftMemo: p.SetAsString(v.ToString()); break;
      case dftBlob: {
        if (!v.IsString()) throw Exception(BlobParamMessage());
        TStringStream stream(v.StrRef());
        p.LoadFromStream(stream);
        break;
      }
      default: break;
    }
  }
  FLongReads.NewRow();
  FIBSQL->ExecQuery();
  return IOrvDbSQLPtr(this);
}

TIBXSQLVAR& TIBOrvDbSQL::Column(const Variant& column) {
  if (IsColumnPosition(column)) return FIBSQL->Fields(column.ToInt32());
  return FIBSQL->FieldByName(column.ToString());
}

bool TIBOrvDbSQL::Eof() { return FIBSQL->Eof(); }
int TIBOrvDbSQL::RowsAffected() { return FIBSQL->RowsAffected(); }
int TIBOrvDbSQL::FieldCount() { return FIBSQL->Current().Count(); }
int TIBOrvDbSQL::FieldIndex(const std::string& name) { return FIBSQL->FieldIndex(name); }
std::string TIBOrvDbSQL::FieldName(int index) { return FIBSQL->Fields(index).Name(); }

TOrvDbFieldType TIBOrvDbSQL::FieldType(const Variant& column) {
  TIBXSQLVAR& c = Column(column);
  return IBResultToFieldType(c.SQLType(), c.SQLScale());
}

TIBXSQLVAR& TIBOrvDbSQL::Read(const Variant& column) {
  TIBXSQLVAR& c = Column(column);
  const TOrvDbFieldType type = IBResultToFieldType(c.SQLType(), c.SQLScale());
  if (type == dftMemo || type == dftBlob) FLongReads.Take(&c, c.Name());
  return c;
}

Variant TIBOrvDbSQL::GetValue(const Variant& column) {
  TIBXSQLVAR& c = Read(column);
  const TOrvDbFieldType type = IBResultToFieldType(c.SQLType(), c.SQLScale());
  if (type == dftMemo || type == dftBlob) {
    if (c.IsNull()) return Variant::Null();
    TStringStream stream;
    c.SaveToStream(stream);
    return Variant(stream.DataString());
  }
  return c.AsVariant();
}

std::string TIBOrvDbSQL::AsString(const Variant& column) { return Read(column).AsString(); }

std::string TIBOrvDbSQL::AsBlob(const Variant& column) {
  TStringStream stream;
  Read(column).SaveToStream(stream);
  return stream.DataString();
}

bool TIBOrvDbSQL::AsBoolean(const Variant& column) { return Column(column).AsVariant().ToBool(); }
int32_t TIBOrvDbSQL::AsInt32(const Variant& column) { return Column(column).AsLong(); }
uint32_t TIBOrvDbSQL::AsUInt32(const Variant& column) { return static_cast<uint32_t>(Column(column).AsLong()); }
float TIBOrvDbSQL::AsSingle(const Variant& column) { return Column(column).AsFloat(); }
double TIBOrvDbSQL::AsDouble(const Variant& column) { return Column(column).AsDouble(); }
TDateTime TIBOrvDbSQL::AsDateTime(const Variant& column) { return Column(column).AsDateTime(); }
void TIBOrvDbSQL::Next() {
  FLongReads.NewRow();
  FIBSQL->Next();
}

void TIBOrvDbSQL::Close() {
  FLongReads.NewRow();
  FIBSQL->Close();
}
