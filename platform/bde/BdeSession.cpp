// Sessions, databases and the name registries that let tables and queries find them.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>

#include "platform/bde/BdeAliases.h"
#include "platform/bde/BdeInternal.h"
#include "platform/bde/BdeServer.h"

namespace bde {

namespace detail {

TFieldType ToFieldType(paradox::TPdxFieldType type) {
  using P = paradox::TPdxFieldType;
  switch (type) {
    case P::Alpha: return ftString;
    case P::Short: return ftSmallint;
    case P::Long: return ftInteger;
    case P::Autoinc: return ftAutoInc;
    case P::Number: case P::Int64: return ftFloat;
    case P::Currency: return ftCurrency;
    case P::BCD: return ftBCD;
    case P::Date: return ftDate;
    case P::Time: return ftTime;
    case P::Timestamp: return ftDateTime;
    case P::Logical: return ftBoolean;
    case P::Memo: return ftMemo;
    case P::FmtMemo: return ftFmtMemo;
    case P::Blob: return ftBlob;
    case P::Graphic: return ftGraphic;
    case P::OLE: return ftParadoxOle;
    case P::Bytes: return ftBytes;
  }
  return ftUnknown;
}

TFieldDef ToFieldDef(const paradox::TPdxFieldDef& f) {
  TFieldDef d;
  d.Name = f.Name;
  d.DataType = ToFieldType(f.Type);
  d.Required = f.Required;
  switch (f.Type) {
    case paradox::TPdxFieldType::Alpha: case paradox::TPdxFieldType::Bytes:
    case paradox::TPdxFieldType::Memo: case paradox::TPdxFieldType::FmtMemo:
    case paradox::TPdxFieldType::Blob: case paradox::TPdxFieldType::Graphic:
    case paradox::TPdxFieldType::OLE:
      d.Size = f.Size;
      break;
    case paradox::TPdxFieldType::BCD:
      d.Size = f.Size;
      d.Precision = 32;
      break;
    default:
      break;
  }
  return d;
}

namespace {

// Firebird says that an object already exists (or, beside its SQL codes, is missing) only in its
// messages; the Paradox engine raises classes of their own for both.
TDBErrorKind KindByMessage(const std::string& message, TDBErrorKind otherwise) {
  if (message.find("does not exist") != std::string::npos) return TDBErrorKind::NotFound;
  if (message.find("already exists") != std::string::npos) return TDBErrorKind::Exists;
  return otherwise;
}

}  // namespace

void RethrowAsEngineError(const std::string& context) {
  auto with = [&](const std::string& msg) { return context.empty() ? msg : msg + "; " + context; };
  try {
    throw;
  } catch (const EDBEngineError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const paradox::EPdxPassword& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Password);
  } catch (const paradox::EPdxKeyViolation& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::KeyViolation);
  } catch (const paradox::EPdxRequired& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Value);
  } catch (const paradox::EPdxValue& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Value);
  } catch (const paradox::EPdxNotFound& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::NotFound);
  } catch (const paradox::EPdxExists& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Exists);
  } catch (const paradox::EPdxError& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::General);
  } catch (const EIBError& e) {
    // The server's SQL codes that tell a kind of failure.
    TDBErrorKind kind = TDBErrorKind::General;
    switch (e.SQLCode()) {
      case -803: kind = TDBErrorKind::KeyViolation; break;
      case -204: case -205: kind = TDBErrorKind::NotFound; break;
      case -104: kind = TDBErrorKind::Syntax; break;
      case -413: case -625: case -802: kind = TDBErrorKind::Value; break;
      default: break;
    }
    throw EDBEngineError(with(e.Message()), KindByMessage(e.Message(), kind));
  } catch (const EVariantError& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Value);
  } catch (const EConvertError& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::Value);
  } catch (const Exception& e) {
    throw EDBEngineError(with(e.Message()), TDBErrorKind::General);
  } catch (const std::exception& e) {
    throw EDBEngineError(with(Utf8ToAnsi(e.what(), '?')), TDBErrorKind::General);
  }
}

void TFailures::Catch(const std::string& label) {
  if (!FFirst) {
    FFirst = std::current_exception();
    return;
  }
  std::string message = "неизвестная ошибка"_ansi;
  try {
    throw;
  } catch (const std::exception& e) {
    message = ExceptionMessage(e);
  } catch (...) {
  }
  FLater += "; " + label + message;
}

void TFailures::Raise() {
  if (!FFirst) return;
  if (FLater.empty()) std::rethrow_exception(FFirst);
  try {
    std::rethrow_exception(FFirst);
  } catch (Exception& e) {
    // The first failure keeps its type, so that its kind is told as before.
    e.SetMessage(e.Message() + FLater);
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw EDBEngineError(Utf8ToAnsi(e.what(), '?') + FLater, TDBErrorKind::General);
  }
}

std::string FsPath(const std::string& ansi) { return AnsiToUtf8(ansi); }

bool SameSessionName(const std::string& a, const std::string& b) {
  const std::string& x = a.empty() ? std::string("Default") : a;
  const std::string& y = b.empty() ? std::string("Default") : b;
  return AnsiSameText(x, y);
}

}  // namespace detail

using detail::Quote;

namespace {

// Live sessions and databases, in creation order. A session, with its databases, tables and
// queries, is used by one thread at a time, but the lists are everyone's: a connection that a
// window stopped waiting for goes on on its own thread while the window makes others. RegistryLock
// guards the lists and what other threads read through them: a session's name, and a database's
// names, connected state and folder. It is never held while a file is looked at or a server is
// asked. The lists, and the lock, are never freed, so that the default session, destroyed at exit,
// can still look at them while such a thread ends.
std::mutex RegistryLock;
std::vector<TSession*>& Sessions() {
  static auto* list = new std::vector<TSession*>;
  return *list;
}
std::vector<TDatabase*>& Databases() {
  static auto* list = new std::vector<TDatabase*>;
  return *list;
}

// Counts the changes that can alter what a name finds: a session or database made, freed or
// renamed, a database connected or disconnected. A data set keeps the database it found while
// the count stays the same. Changed under RegistryLock.
std::atomic<uint64_t> RegistryChanges{0};
void RegistryChanged() { ++RegistryChanges; }

// The folder's device and inode, or zeros when it cannot be looked at.
std::pair<uint64_t, uint64_t> FolderIdentity(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return {0, 0};
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

// --- sessions -----------------------------------------------------------------------------------

TSession::TSession() : TSession(std::string()) {}

TSession::TSession(std::string name) : FName(std::move(name)) {
  std::lock_guard lock(RegistryLock);
  Sessions().push_back(this);
  RegistryChanged();
}

TSession::~TSession() {
  try {
    Close();
  } catch (const std::exception& e) {
    ReportLostError(e);
  }
  std::lock_guard lock(RegistryLock);
  auto& list = Sessions();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  RegistryChanged();
}

void TSession::Close() {
  // The databases of this session belong to this thread: they stay while they are closed.
  std::vector<TDatabase*> own;
  {
    std::lock_guard lock(RegistryLock);
    for (TDatabase* db : Databases())
      if (db->FConnected && detail::SameSessionName(db->FSessionName, FName)) own.push_back(db);
  }
  detail::TFailures failures;
  for (TDatabase* db : own) {
    try {
      db->Close();
    } catch (...) {
      failures.Catch("кроме того: "_ansi);
    }
  }
  FTemporary.clear();
  failures.Raise();
}

void TSession::SetSessionName(const std::string& name) {
  const TSession* byDefault = &Session();
  std::lock_guard lock(RegistryLock);
  if (AnsiSameText(name, FName)) {
    FName = name;
    return;
  }
  if (name.empty()) throw EDBEngineError("A session needs a name", TDBErrorKind::Value);
  if (AnsiSameText(name, "Default") && this != byDefault)
    throw EDBEngineError("The session name \"Default\" belongs to the default session", TDBErrorKind::Exists);
  for (TSession* s : Sessions())
    if (s != this && AnsiSameText(s->FName, name))
      throw EDBEngineError("A session named " + Quote(name) + " already exists", TDBErrorKind::Exists);
  FName = name;
  RegistryChanged();
}

void TSession::AddPassword(const std::string& password) {
  if (std::find(FPasswords.begin(), FPasswords.end(), password) == FPasswords.end())
    FPasswords.push_back(password);
}

void TSession::RemovePassword(const std::string& password) {
  FPasswords.erase(std::remove(FPasswords.begin(), FPasswords.end(), password), FPasswords.end());
}

void TSession::GetAliasNames(TStrings& list) const {
  list.Clear();
  for (auto& a : LoadAliases()) list.Add(a.Name);
}

void TSession::GetAliasParams(const std::string& alias, TStrings& list) const {
  TAlias a = AliasByName(alias);
  list.Clear();
  for (auto& [n, v] : a.Params) list.Add(n + "=" + v);
}

std::string TSession::GetAliasDriverName(const std::string& alias) const { return AliasByName(alias).Driver; }

bool TSession::IsAlias(const std::string& name) const {
  TAlias a;
  return FindAlias(name, a);
}

TDatabase* TSession::FindDatabase(const std::string& name) const {
  std::lock_guard lock(RegistryLock);
  for (TDatabase* db : Databases())
    if (!db->FDatabaseName.empty() && AnsiSameText(db->FDatabaseName, name) &&
        detail::SameSessionName(db->FSessionName, FName))
      return db;
  return nullptr;
}

TDatabase& TSession::OpenDatabase(const std::string& name) {
  if (name.empty()) throw EDBEngineError("No database name given (DatabaseName is empty)", TDBErrorKind::NotFound);
  if (TDatabase* db = FindDatabase(name)) {
    if (!db->Connected()) db->Open();
    return *db;
  }
  auto db = std::make_unique<TDatabase>();
  db->FTemporary = true;
  db->SetDatabaseName(name);
  db->SetSessionName(FName);
  std::error_code ec;
  if (IsAlias(name)) {
    db->FAliasName = name;
  } else if (std::filesystem::is_directory(detail::FsPath(name), ec)) {
    db->FDriverName = "STANDARD";
    db->FParams.Add("PATH=" + name);
  } else {
    throw EDBEngineError("Нет ни открытой базы данных, ни псевдонима, ни папки с именем "_ansi + Quote(name),
                         TDBErrorKind::NotFound);
  }
  db->Open();
  FTemporary.push_back(std::move(db));
  return *FTemporary.back();
}

TSession& Session() {
  // Named as it is made: SetSessionName would look for the default session again.
  static TSession session("Default");
  return session;
}

TSession* FindSession(const std::string& name) {
  if (name.empty() || AnsiSameText(name, "Default")) return &Session();
  std::lock_guard lock(RegistryLock);
  for (TSession* s : Sessions())
    if (AnsiSameText(s->SessionName(), name)) return s;
  return nullptr;
}

// --- databases ------------------------------------------------------------------------------------

TDatabase::TDatabase() : FStructures(std::make_unique<detail::TKnownStructures>()) {
  std::lock_guard lock(RegistryLock);
  Databases().push_back(this);
  RegistryChanged();
}

TDatabase::~TDatabase() {
  try {
    Disconnect();
  } catch (const std::exception& e) {
    ReportLostError(e);
  }
  std::lock_guard lock(RegistryLock);
  auto& list = Databases();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  RegistryChanged();
}

void TDatabase::CheckInactive(const char* what) const {
  if (FConnected)
    throw EDBEngineError(Format("Cannot change %s of database \"%s\" while it is connected", {what, FDatabaseName}),
                         TDBErrorKind::Unsupported);
}

void TDatabase::SetDatabaseName(const std::string& name) {
  CheckInactive("the name");
  std::lock_guard lock(RegistryLock);
  FDatabaseName = name;
  RegistryChanged();
}

void TDatabase::SetSessionName(const std::string& name) {
  CheckInactive("the session");
  std::lock_guard lock(RegistryLock);
  FSessionName = name;
  RegistryChanged();
}

void TDatabase::SetDriverName(const std::string& name) {
  CheckInactive("the driver");
  FDriverName = name;
  if (!name.empty()) FAliasName.clear();
}

void TDatabase::SetAliasName(const std::string& name) {
  CheckInactive("the alias");
  FAliasName = name;
  if (!name.empty()) FDriverName.clear();
}

std::string TDatabase::DriverName() const {
  if (FAliasName.empty()) return FDriverName;
  TAlias a;
  return FindAlias(FAliasName, a) ? a.Driver : std::string();
}

bool TDatabase::IsSQLBased() const {
  if (FConnected) return FServer != nullptr;
  std::string driver = DriverName();
  return !driver.empty() && !AnsiSameText(driver, "STANDARD");
}

void TDatabase::SetConnected(bool value) {
  if (value == FConnected) return;
  if (value) Connect(); else Disconnect();
}

void TDatabase::Connect() {
  std::string name = FDatabaseName.empty() ? std::string("(unnamed)") : FDatabaseName;
  TSession* session = FindSession(FSessionName);
  if (!session)
    throw EDBEngineError("Database " + Quote(name) + ": session " + Quote(FSessionName) + " does not exist", TDBErrorKind::NotFound);
  if (!FDatabaseName.empty()) {
    std::lock_guard lock(RegistryLock);
    for (TDatabase* db : Databases())
      if (db != this && db->FConnected && AnsiSameText(db->FDatabaseName, FDatabaseName) &&
          detail::SameSessionName(db->FSessionName, FSessionName))
        throw EDBEngineError("A database named " + Quote(FDatabaseName) + " is already open in session " +
                                 Quote(session->SessionName()), TDBErrorKind::Exists);
  }
  // The messages name what the user chose: the alias, the folder, the server's database.
  const std::string ofAlias = FAliasName.empty() ? std::string() : " (псевдоним "_ansi + Quote(FAliasName) + ")";
  std::string driver = FDriverName, path = FParams.Values("PATH");
  TAlias alias;
  if (!FAliasName.empty()) {
    alias = AliasByName(FAliasName);
    driver = alias.Driver;
    if (FParams.IndexOfName("PATH") < 0) path = alias.Param("PATH");
  }
  if (driver.empty())
    throw EDBEngineError(FAliasName.empty() ? "Не задан ни драйвер, ни псевдоним базы данных"_ansi
                                            : "В псевдониме "_ansi + Quote(FAliasName) + " не задан драйвер (строка DRIVER=)"_ansi,
                         TDBErrorKind::NotFound);
  if (AnsiSameText(driver, "INTRBASE")) {
    ConnectServer(ofAlias, alias.Params);
    return;
  }
  if (!AnsiSameText(driver, "STANDARD"))
    throw EDBEngineError("Драйвер "_ansi + Quote(driver) + " не поддерживается: поддерживаются только папки таблиц "
                             "Paradox (STANDARD) и базы данных InterBase (INTRBASE)"_ansi + ofAlias,
                         TDBErrorKind::Unsupported);
  path = Trim(path);
  if (path.empty())
    throw EDBEngineError("Не задана папка таблиц Paradox: параметр PATH пуст"_ansi + ofAlias, TDBErrorKind::NotFound);
  std::error_code ec;
  const std::string folder = detail::FsPath(path);
  if (!std::filesystem::is_directory(folder, ec))
    throw EDBEngineError("Папка "_ansi + Quote(path) + " не существует"_ansi + ofAlias, TDBErrorKind::NotFound);
  const std::pair<uint64_t, uint64_t> identity = FolderIdentity(folder);
  std::lock_guard lock(RegistryLock);
  FFolder = folder;
  FFolderIdentity = identity;
  FConnected = true;
  RegistryChanged();
}

void TDatabase::ConnectServer(const std::string& ofAlias,
                              const std::vector<std::pair<std::string, std::string>>& aliasParams) {
  // A line of Params wins over the alias's parameter of the same name.
  auto param = [&](const std::string& key) {
    if (FParams.IndexOfName(key) >= 0) return Trim(FParams.Values(key));
    for (auto& [n, v] : aliasParams)
      if (AnsiSameText(n, key)) return Trim(v);
    return std::string();
  };
  std::string server = param("SERVER NAME");
  if (server.empty())
    throw EDBEngineError("Не задана база данных InterBase: параметр SERVER NAME пуст"_ansi + ofAlias,
                         TDBErrorKind::NotFound);
  auto connection = std::make_unique<detail::TServerConnection>();
  TIBDatabase& db = connection->Database;
  std::string charset = param("CHARSET");
  if (charset.empty()) charset = param("LANGDRIVER");
  if (charset.empty()) charset = "WIN1251";
  try {
    db.SetDatabaseName(server);
    const std::pair<const char*, const char*> lines[] = {
        {"user_name", "USER NAME"}, {"password", "PASSWORD"}, {"sql_role", "ROLE NAME"}};
    for (auto& [line, key] : lines)
      if (std::string value = param(key); !value.empty()) db.Params().Add(std::string(line) + "=" + value);
    db.Params().Add("lc_ctype=" + charset);
    db.Open();
    connection->Auto.StartTransaction();
  } catch (...) {
    detail::RethrowAsEngineError("подключение к базе данных "_ansi + Quote(server) + ofAlias);
  }
  std::lock_guard lock(RegistryLock);
  FServer = std::move(connection);
  FConnected = true;
  RegistryChanged();
}

void TDatabase::Disconnect() {
  if (!FConnected) return;
  std::unique_ptr<detail::TServerConnection> connection;
  {
    std::lock_guard lock(RegistryLock);
    FConnected = false;
    RegistryChanged();
    FFolder.clear();
    FFolderIdentity = {0, 0};
    connection = std::move(FServer);
  }
  FStructures->Clear();
  if (connection) {
    try {
      connection->Database.Close();
    } catch (...) {
      detail::RethrowAsEngineError("отключение от базы данных "_ansi + Quote(connection->Database.DatabaseName()));
    }
    return;
  }
  EndWriteBatches("");
}

detail::TServerConnection& TDatabase::Server() {
  if (!FServer)
    throw EDBEngineError("Database " + Quote(FDatabaseName) + " is not connected to an InterBase database",
                         TDBErrorKind::Unsupported);
  return *FServer;
}

std::string TDatabase::ServerName() const { return FServer ? FServer->Database.DatabaseName() : std::string(); }

TIBDatabase* TDatabase::ServerConnection() const { return FServer ? &FServer->Database : nullptr; }

bool TDatabase::InTransactionOf(const TDatabase* db) { return db && db->FServer && db->FServer->Explicit.Active(); }

void TDatabase::StartTransaction() {
  if (!FServer)
    throw EDBEngineError("Database " + Quote(FDatabaseName) + ": a Paradox folder has no transactions",
                         TDBErrorKind::Unsupported);
  if (FServer->Explicit.Active())
    throw EDBEngineError("Database " + Quote(FDatabaseName) + ": a transaction is already active", TDBErrorKind::Unsupported);
  TStringList& tpb = FServer->Explicit.Params();
  tpb.Clear();
  tpb.Add("write");
  if (FTransIsolation == tiRepeatableRead) {
    tpb.Add("concurrency");
  } else {
    tpb.Add("read_committed");
    tpb.Add("rec_version");
  }
  tpb.Add("nowait");
  try {
    FServer->Explicit.StartTransaction();
  } catch (...) {
    detail::RethrowAsEngineError("начало транзакции в базе данных "_ansi + Quote(ServerName()));
  }
}

void TDatabase::Commit() { EndTransaction(true); }

void TDatabase::Rollback() { EndTransaction(false); }

void TDatabase::EndTransaction(bool commit) {
  if (!InTransaction())
    throw EDBEngineError("Database " + Quote(FDatabaseName) + (commit ? ": no transaction to commit" : ": no transaction to roll back"),
                         TDBErrorKind::Unsupported);
  try {
    if (commit)
      FServer->Explicit.Commit();
    else
      FServer->Explicit.Rollback();
  } catch (...) {
    // The transaction stays active after a failed commit; the caller may still roll it back.
    detail::RethrowAsEngineError((commit ? "фиксация"_ansi : "откат"_ansi) + " транзакции в базе данных "_ansi +
                                 Quote(ServerName()));
  }
}

paradox::TPdxDatabase TDatabase::Engine() const {
  if (!FConnected)
    throw EDBEngineError("Database " + Quote(FDatabaseName) + " is not connected", TDBErrorKind::Unsupported);
  if (FServer)
    throw EDBEngineError("Database " + Quote(FDatabaseName) + " is an InterBase database, not a folder of Paradox tables",
                         TDBErrorKind::Unsupported);
  TSession* session = FindSession(FSessionName);
  if (!session)
    throw EDBEngineError("Database " + Quote(FDatabaseName) + ": session " + Quote(FSessionName) + " no longer exists",
                         TDBErrorKind::NotFound);
  return paradox::TPdxDatabase(FFolder, session->Passwords());
}

paradox::TPdxTableDef TDatabase::TableStructure(const std::string& table) {
  const paradox::TPdxDatabase engine = Engine();
  return FStructures->Get(engine, FindSession(FSessionName)->Passwords(), table);
}

void TDatabase::TableChanging(const std::string& table) {
  // The folders are told apart by the identity each had when its database connected, so that no
  // file is looked at while the lists are held.
  const bool known = FFolderIdentity != std::pair<uint64_t, uint64_t>{0, 0};
  std::lock_guard lock(RegistryLock);
  for (TDatabase* db : Databases()) {
    if (!db->FConnected || db->FServer) continue;
    if (db->FFolder == FFolder || (known && db->FFolderIdentity == FFolderIdentity)) db->FStructures->Forget(table);
  }
}

void TDatabase::EndWriteBatches(const std::string& table) {
  detail::TFailures failures;
  for (TQuery* q : std::vector<TQuery*>(FWriters)) {
    if (!table.empty() && !(q->FWriterTable.empty() || AnsiSameText(q->FWriterTable, table))) continue;
    try {
      q->EndWriteBatch();
    } catch (...) {
      failures.Catch("кроме того: "_ansi);
    }
  }
  failures.Raise();
}

// --- data sets --------------------------------------------------------------------------------------

bool TDBDataSet::OnServer() const {
  TSession* session = FindSession(FSessionName);
  if (!session) return false;
  if (TDatabase* db = session->FindDatabase(FDatabaseName)) return db->IsSQLBased();
  TAlias alias;
  return FindAlias(FDatabaseName, alias) && !alias.Driver.empty() && !AnsiSameText(alias.Driver, "STANDARD");
}

TDatabase& TDBDataSet::Database() const {
  // Statements run it once an execution: the names are looked up again only after the registry
  // changed, which a database being disconnected or freed does.
  const uint64_t changes = RegistryChanges;
  if (FFound && FFoundAt == changes) return *FFound;
  TSession* session = FindSession(FSessionName);
  if (!session) throw EDBEngineError("Session " + Quote(FSessionName) + " does not exist", TDBErrorKind::NotFound);
  TDatabase& db = session->OpenDatabase(FDatabaseName);
  FFound = &db;
  FFoundAt = changes;
  return db;
}

void TDBDataSet::SetSessionName(const std::string& name) {
  FSessionName = name;
  FFound = nullptr;
}

void TDBDataSet::SetDatabaseName(const std::string& name) {
  FDatabaseName = name;
  FFound = nullptr;
}

}  // namespace bde
