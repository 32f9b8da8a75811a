// The connection: one ODBC connection handle, the cache of prepared statements, the
// transaction level and the recordsets that a commit, a rollback or Close must close.
#include <langinfo.h>

#include <odbcinst.h>

#include <algorithm>
#include <clocale>
#include <exception>
#include <filesystem>
#include <optional>

#include "platform/ado/AdoOdbc.h"
#include "platform/ado/OdbcConnectionStrings.h"
#include "platform/rtl/AnsiText.h"

using namespace adoodbc;

namespace {

// How many prepared statements a connection keeps for later executions of the same texts.
constexpr size_t kIdleStatements = 32;

std::string InfoString(SQLHDBC dbc, SQLUSMALLINT what) {
  SQLWCHAR buf[512] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, buf, sizeof(buf), &length))) return std::string();
  return NarrowLossy(buf, std::min<size_t>(length / sizeof(SQLWCHAR), std::size(buf) - 1));
}

SQLUSMALLINT InfoShort(SQLHDBC dbc, SQLUSMALLINT what) {
  SQLUSMALLINT v = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, what, &v, sizeof(v), nullptr))) return 0;
  return v;
}

// The first column of the first row of a query, or "" when it fails.
std::string QueryText(SQLHDBC dbc, const char16_t* sql) {
  SQLHSTMT h = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h))) return std::string();
  std::u16string text(sql), out;
  bool ok = SQL_SUCCEEDED(SQLExecDirectW(h, W(text), SQL_NTS)) && SQL_SUCCEEDED(SQLFetch(h));
  try {
    ok = ok && ReadWideText(h, 1, out);
  } catch (const EAdoError&) {
    ok = false;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, h);
  return ok ? NarrowLossy(reinterpret_cast<const SQLWCHAR*>(out.data()), out.size()) : std::string();
}

// PostgreSQL's one-byte server encodings (WIN1251, KOI8R, LATIN1, ISO_8859_5, WIN866, ...): a
// name takes one byte a character there. UTF8, SQL_ASCII (which keeps the client's UTF-8 bytes)
// and the Asian multi-byte sets do not.
bool IsSingleByteServerEncoding(const std::string& name) {
  const std::string n = AnsiUpperCase(name);
  for (const char* prefix : {"WIN", "LATIN", "ISO_8859", "KOI8"})
    if (n.rfind(prefix, 0) == 0) return true;
  return false;
}

// The library file of a registered driver (its "Driver" attribute), or the name itself when no
// driver is registered under it (a library path is allowed there).
std::string DriverLibrary(const std::string& driver) {
  for (const TOdbcDriver& d : OdbcDrivers())
    if (AnsiSameText(d.Name, driver)) return FindOdbcValue(d.Attributes, {"Driver"}).value_or(driver);
  return driver;
}

// The driver registered for a data source name; "" for an unknown one.
std::string DataSourceDriver(const std::string& dsn) {
  for (const TOdbcDataSource& d : OdbcDataSources())
    if (AnsiSameText(d.Name, dsn)) return d.Driver;
  return std::string();
}

// What a connection string reaches: the data source it names, if any, and the file name of the
// driver's library.
struct TTarget {
  std::string Dsn;
  std::string Library;
  bool IsPsqlOdbc() const { return Library.rfind("psqlodbc", 0) == 0; }
};

TTarget TargetOf(const TOdbcPairs& given) {
  TTarget target;
  target.Dsn = FindOdbcValue(given, {"DSN"}).value_or("");
  std::string driver = FindOdbcValue(given, {"DRIVER"}).value_or("");
  if (driver.empty()) driver = DataSourceDriver(target.Dsn.empty() ? "DEFAULT" : target.Dsn);
  target.Library = std::filesystem::path(DriverLibrary(driver)).filename().string();
  return target;
}

// A setting as the driver will see it: the string's last value of one of the keys, else the data
// source's own value of the first key it has.
std::optional<std::string> Setting(const TOdbcPairs& given, const TTarget& target,
                                   std::initializer_list<std::string_view> keys) {
  if (std::optional<std::string> value = FindOdbcValue(given, keys)) return value;
  if (target.Dsn.empty()) return std::nullopt;
  for (std::string_view key : keys) {
    std::u16string section = Wide(target.Dsn), entry = Wide(key), none, ini = u"odbc.ini";
    SQLWCHAR value[1024] = {};
    const int n = SQLGetPrivateProfileStringW(W(section), W(entry), W(none), value,
                                              static_cast<int>(std::size(value)), W(ini));
    if (n > 0) return NarrowLossy(value, std::size(value));
  }
  return std::nullopt;
}

// C's atoi, the way psqlODBC reads its numeric switches: blanks, a sign and digits; 0 when there
// are no digits ("false", "no" and "yes" alike).
long LeadingNumber(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

// psqlODBC's fetch switch as a value of key sets it: UseDeclareFetch (or B6) by LeadingNumber; CX
// as two hexadecimal digits counting the flags' groups (fewer than 4 leave the switch alone) and
// then the flags, bit 14 the switch. nullopt when the value leaves it alone.
std::optional<bool> DeclareFetchSetting(const std::string& key, const std::string& value) {
  if (!SameText(key, "CX")) return LeadingNumber(value) != 0;
  if (value.size() < 2) return std::nullopt;
  char* end = nullptr;
  const std::string groups = value.substr(0, 2);
  const unsigned long count = std::strtoul(groups.c_str(), &end, 16);
  if (end == groups.c_str() || count < 4) return std::nullopt;
  const unsigned long flags = std::strtoul(value.c_str() + 2, &end, 16);
  if (end == value.c_str() + 2) return std::nullopt;
  return (flags & (1ul << 14)) != 0;
}

// The fetch switch the user's string or data source sets, the last setting in the string winning;
// nullopt when neither sets it.
std::optional<bool> UsersDeclareFetch(const TOdbcPairs& given, const TTarget& target) {
  std::optional<bool> on;
  for (const auto& [key, value] : given)
    if (SameText(key, "UseDeclareFetch") || SameText(key, "B6") || SameText(key, "CX"))
      if (std::optional<bool> setting = DeclareFetchSetting(key, value)) on = setting;
  if (on || target.Dsn.empty()) return on;
  for (const char* key : {"UseDeclareFetch", "B6", "CX"})
    if (std::optional<std::string> value = Setting({}, target, {key})) return DeclareFetchSetting(key, *value);
  return std::nullopt;
}

// psqlODBC reads whole result sets into memory unless told otherwise: it then fetches through a
// server cursor, a few rows at a time at first; where the user's string or data source does not
// set that count, each result sizes its fetches by bytes afterwards (_Recordset::Impl::
// RowsPerFetch), so that memory follows the longest rows rather than the table and short rows
// come many at a time. A switch the user's connection string or data source sets is left as it is.
struct Streaming {
  TOdbcPairs attributes;       // to add to the string
  bool cursors = false;        // result sets are read through server cursors
  bool sizesFetches = false;   // the layer sets the rows of each FETCH
};

Streaming ChooseStreaming(const TOdbcPairs& given, const TTarget& target) {
  Streaming out;
  if (!target.IsPsqlOdbc()) return out;
  const std::optional<bool> users = UsersDeclareFetch(given, target);
  out.cursors = users.value_or(true);
  if (users) return out;
  out.attributes.emplace_back("UseDeclareFetch", "1");
  if (!Setting(given, target, {"Fetch", "A7"})) {
    out.attributes.emplace_back("Fetch", std::to_string(kFirstFetchRows));
    out.sizesFetches = true;
  }
  return out;
}

// psqlODBC's own connection attribute for its Fetch setting (SQL_ATTR_PGOPT_FETCH), which the
// driver reads afresh for every FETCH it sends.
constexpr SQLINTEGER kPsqlOdbcFetchRows = 65541;

// The driver manager speaks to a driver without wide entry points (sqliteodbc) through an
// iconv descriptor that it opens at connect time for the locale's character set. Under the C
// locale that is ASCII, and every other character would lose its high byte; a UTF-8 LC_CTYPE
// while connecting makes the conversion exact for the life of the connection.
class Utf8CharacterType {
 public:
  Utf8CharacterType() {
    if (std::string_view(nl_langinfo(CODESET)) == "UTF-8") return;
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    FSaved = current != nullptr ? current : "C";
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (std::setlocale(LC_CTYPE, name) != nullptr) {
        FChanged = true;
        break;
      }
    }
  }
  ~Utf8CharacterType() {
    if (FChanged) std::setlocale(LC_CTYPE, FSaved.c_str());
  }
  Utf8CharacterType(const Utf8CharacterType&) = delete;
  Utf8CharacterType& operator=(const Utf8CharacterType&) = delete;

 private:
  std::string FSaved;
  bool FChanged = false;
};

const char* const kTransactionEnded = "транзакция завершена";
const char* const kConnectionClosed = "соединение с источником данных закрыто";
const char* const kCursorEnded = "другой запрос к тому же источнику данных завершился ошибкой";

// Runs one statement of the layer's own; `fallback` is the message when the driver gives none.
void RunDirect(_Connection::Impl& d, const std::string& sql, std::string_view fallback) {
  SQLHSTMT h = d.NewCatalogStatement();
  std::u16string w = Wide(sql);
  SQLRETURN rc = SQLExecDirectW(h, W(w), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    d.StatementFailed();
    try {
      Raise(SQL_HANDLE_STMT, h, fallback);
    } catch (...) {
      SQLFreeHandle(SQL_HANDLE_STMT, h);
      throw;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, h);
}

std::string SavepointName(int32_t level) { return "savepoint_" + IntToStr(level); }

}  // namespace

// --- statements and recordsets of a connection ------------------------------------------

void _Connection::Impl::CheckOpen() const {
  if (!open) throw EAdoError("Нет соединения с источником данных"_ansi);
}

void _Connection::Impl::SetFetchRows(int32_t rows) {
  if (fetchRows == 0 || fetchRows == rows) return;
  const SQLRETURN rc = SQLSetConnectAttrW(dbc, kPsqlOdbcFetchRows,
                                          reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(rows)), SQL_IS_INTEGER);
  fetchRows = SQL_SUCCEEDED(rc) ? rows : 0;
}

std::unique_ptr<_Command::Statement> _Connection::Impl::Take(const std::u16string& text) {
  for (size_t i = idle.size(); i-- > 0;) {
    if (idle[i]->prepared && idle[i]->text == text) {
      auto s = std::move(idle[i]);
      idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(i));
      return s;
    }
  }
  auto s = std::make_unique<_Command::Statement>();
  s->owner = this;
  statements.push_back(s.get());
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s->handle), SQL_HANDLE_DBC, dbc,
        "Не удалось обратиться к источнику данных"_ansi);
  return s;
}

void _Connection::Impl::GiveBack(std::unique_ptr<_Command::Statement> statement) {
  if (!statement || !open || !statement->prepared) return;  // freed by its destructor
  SQLFreeStmt(statement->handle, SQL_CLOSE);
  idle.push_back(std::move(statement));
  if (idle.size() > kIdleStatements) idle.erase(idle.begin());
}

void _Connection::Impl::DropRecordsets(const char* reason) {
  auto list = recordsets;  // Drop unregisters each one
  for (_Recordset* rs : list) rs->Drop(reason);
}

void _Connection::Impl::StatementFailed() {
  if (!serverCursors) return;
  auto list = recordsets;
  for (_Recordset* rs : list)
    if (rs->GetImpl().statement) rs->Drop(kCursorEnded);
}

void _Connection::Impl::EndTransaction(SQLSMALLINT completion) {
  DropRecordsets(kTransactionEnded);
  if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc, completion))) {
    transLevel = 0;
    SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return;
  }
  // The driver's diagnostics are taken first: the next call on the handle clears them.
  std::exception_ptr refused;
  try {
    Raise(SQL_HANDLE_DBC, dbc,
          completion == SQL_COMMIT ? "Ошибка завершения транзакции"_ansi : "Ошибка отката транзакции"_ansi);
  } catch (const EAdoError&) {
    refused = std::current_exception();
  }
  AbandonTransaction();
  std::rethrow_exception(refused);
}

void _Connection::Impl::EndSavepoint(bool commit) {
  const std::string name = SavepointName(transLevel - 1);
  std::exception_ptr refused;
  if (commit) {
    try {
      RunDirect(*this, "RELEASE SAVEPOINT " + name, "Ошибка завершения транзакции"_ansi);
      --transLevel;
      return;
    } catch (const EAdoError&) {
      refused = std::current_exception();  // passes on once the level's work is undone
    }
  }
  try {
    RunDirect(*this, "ROLLBACK TO SAVEPOINT " + name, "Ошибка отката транзакции"_ansi);
    RunDirect(*this, "RELEASE SAVEPOINT " + name, "Ошибка отката транзакции"_ansi);
    --transLevel;
  } catch (const EAdoError&) {
    // The level's work can no longer be told from the outer levels': all of it goes.
    if (!refused) refused = std::current_exception();
    AbandonTransaction();
  }
  if (refused) std::rethrow_exception(refused);
}

void _Connection::Impl::AbandonTransaction() {
  DropRecordsets(kTransactionEnded);
  transLevel = 0;
  if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK))) {
    SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return;
  }
  // Switching autocommit on would commit the work (ODBC commits an open transaction then), and
  // leaving it off would let the next commit do so: only the end of the connection discards it.
  self->Close();
}

SQLHSTMT _Connection::Impl::NewCatalogStatement() {
  CheckOpen();
  SQLHSTMT h = nullptr;
  Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h), SQL_HANDLE_DBC, dbc,
        "Не удалось обратиться к источнику данных"_ansi);
  return h;
}

std::u16string _Connection::Impl::Pattern(const std::string& name) const {
  std::u16string w = Wide(name);
  if (searchEscape.empty()) return w;  // the results are filtered by exact name afterwards
  std::u16string out;
  for (char16_t c : w) {
    if (c == u'_' || c == u'%' || c == searchEscape[0]) out += searchEscape;
    out += c;
  }
  return out;
}

// --- the connection ---------------------------------------------------------------------

_Connection::_Connection() : FImpl(std::make_unique<Impl>()) { FImpl->self = this; }

_Connection::~_Connection() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the driver frees what is left with the handle.
  }
}

int32_t _Connection::State() const { return FImpl->open ? adStateOpen : adStateClosed; }

void _Connection::Open(const std::string& ConnectionString, const std::string& UserID,
                       const std::string& Password, int32_t /*Options*/) {
  Impl& d = *FImpl;
  if (d.open) throw EAdoError("Соединение с источником данных уже открыто"_ansi);
  if (!ConnectionString.empty()) FConnectionString = ConnectionString;
  bool unclosed = false;
  const TOdbcPairs given = ParseOdbcConnectionString(FConnectionString, &unclosed);
  const TTarget target = TargetOf(given);
  const Streaming streaming = ChooseStreaming(given, target);
  std::string text = FConnectionString;
  for (const std::string& more : {OdbcLoginAttributes(target.Library, given, UserID, Password),
                                  BuildOdbcConnectionString(streaming.attributes)}) {
    if (more.empty()) continue;
    // A value left open in braces would take in what is added: it ends where the text ends.
    if (unclosed) text += '}';
    unclosed = false;
    if (!text.empty() && text.back() != ';') text += ';';
    text += more;
  }

  Utf8CharacterType utf8;
  SQLHENV env = Environment();
  SQLHDBC dbc = nullptr;
  Check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env,
        "Не удалось подключиться к источнику данных"_ansi);
  auto seconds = [](int32_t s) { return reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(s, 0))); };
  SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, seconds(FConnectionTimeout), 0);
  SQLSetConnectAttrW(dbc, SQL_ATTR_CONNECTION_TIMEOUT, seconds(FConnectionTimeout), 0);
  std::u16string wide = Wide(text);
  SQLWCHAR out[1024];
  SQLSMALLINT outLength = 0;
  SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, W(wide), SQL_NTS, out,
                                   static_cast<SQLSMALLINT>(std::size(out)), &outLength,
                                   SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    try {
      Raise(SQL_HANDLE_DBC, dbc, "Не удалось подключиться к источнику данных"_ansi);
    } catch (...) {
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      throw;
    }
  }
  d.dbc = dbc;
  d.open = true;
  d.serverCursors = streaming.cursors;
  d.fetchRows = streaming.sizesFetches ? kFirstFetchRows : 0;
  d.transLevel = 0;
  d.driverName = InfoString(dbc, SQL_DRIVER_NAME);
  d.dbmsName = InfoString(dbc, SQL_DBMS_NAME);
  d.searchEscape = Wide(InfoString(dbc, SQL_SEARCH_PATTERN_ESCAPE));
  SQLUINTEGER getData = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_GETDATA_EXTENSIONS, &getData, sizeof(getData), nullptr)))
    d.getDataAnyOrder = (getData & SQL_GD_ANY_ORDER) != 0;

  d.singleByteNames = d.dbmsName == "PostgreSQL" &&
                      IsSingleByteServerEncoding(QueryText(dbc, u"SHOW server_encoding"));

  FProperties.FItems.clear();
  auto prop = [&](const char* name, const Variant& value) {
    FProperties.FItems.push_back({name, value});
  };
  prop("USER NAME", InfoString(dbc, SQL_USER_NAME));
  prop("DBMS Name", d.dbmsName);
  prop("DBMS Version", InfoString(dbc, SQL_DBMS_VER));
  prop("Driver Name", d.driverName);
  prop("Driver ODBC Version", InfoString(dbc, SQL_DRIVER_ODBC_VER));
  prop("Data Source Name", InfoString(dbc, SQL_DATA_SOURCE_NAME));
  prop("Current Catalog", InfoString(dbc, SQL_DATABASE_NAME));
  // Drivers tell no limit for index names: the one for every identifier holds for them and
  // bounds the others too.
  const int32_t identifier = InfoShort(dbc, SQL_MAX_IDENTIFIER_LEN);
  auto limit = [&](SQLUSMALLINT what) {
    const int32_t v = InfoShort(dbc, what);
    return Variant(v == 0 || (identifier != 0 && identifier < v) ? identifier : v);
  };
  prop("Maximum Table Name Length", limit(SQL_MAX_TABLE_NAME_LEN));
  prop("Maximum Column Name Length", limit(SQL_MAX_COLUMN_NAME_LEN));
  prop("Maximum Index Name Length", Variant(identifier));
}

int64_t _Connection::NameSize(const std::string& Name) const {
  if (FImpl->singleByteNames) return static_cast<int64_t>(Name.size());
  return static_cast<int64_t>(AnsiToUtf8(Name).size());
}

void _Connection::Close() {
  Impl& d = *FImpl;
  if (!d.open) return;
  d.DropRecordsets(kConnectionClosed);
  if (d.transLevel > 0) SQLEndTran(SQL_HANDLE_DBC, d.dbc, SQL_ROLLBACK);
  d.transLevel = 0;
  d.idle.clear();
  d.open = false;
  d.fetchRows = 0;
  // Statements still held by commands lose their handles; the commands prepare anew.
  for (_Command::Statement* s : d.statements) {
    SQLFreeHandle(SQL_HANDLE_STMT, s->handle);
    s->handle = nullptr;
    s->prepared = false;
    s->owner = nullptr;
  }
  d.statements.clear();
  SQLDisconnect(d.dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, d.dbc);
  d.dbc = nullptr;
  d.types.clear();
  d.typesLoaded = false;
  FProperties.FItems.clear();
}

RefPtr<_Recordset> _Connection::Execute(const std::string& CommandText, Variant* RecordsAffected,
                                        int32_t Options) {
  FImpl->CheckOpen();
  RefPtr<_Command> command(new _Command);
  command->SetActiveConnection(RefPtr<_Connection>(this));
  command->SetCommandText(CommandText);
  command->SetCommandTimeout(FCommandTimeout);
  return command->Execute(RecordsAffected, nullptr, Options);
}

int32_t _Connection::BeginTrans() {
  Impl& d = *FImpl;
  d.CheckOpen();
  if (d.transLevel == 0) {
    Check(SQLSetConnectAttrW(d.dbc, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, d.dbc, "Не удалось начать транзакцию"_ansi);
  } else {
    RunDirect(d, "SAVEPOINT " + SavepointName(d.transLevel), "Не удалось начать транзакцию"_ansi);
  }
  return ++d.transLevel;
}

void _Connection::CommitTrans() {
  Impl& d = *FImpl;
  d.CheckOpen();
  if (d.transLevel == 0) throw EAdoError("Нет активной транзакции"_ansi);
  if (d.transLevel == 1)
    d.EndTransaction(SQL_COMMIT);
  else
    d.EndSavepoint(true);
}

void _Connection::RollbackTrans() {
  Impl& d = *FImpl;
  d.CheckOpen();
  if (d.transLevel == 0) throw EAdoError("Нет активной транзакции"_ansi);
  if (d.transLevel == 1)
    d.EndTransaction(SQL_ROLLBACK);
  else
    d.EndSavepoint(false);
}

int32_t _Connection::TransactionLevel() const { return FImpl->transLevel; }

std::string _Connection::Provider() const {
  if (!FImpl->open) return "ODBC";
  return FImpl->driverName + " " + FImpl->dbmsName;
}

AdoProperties& _Connection::Properties() {
  FImpl->CheckOpen();
  return FProperties;
}

RefPtr<_Recordset> _Connection::OpenSchema(SchemaEnum Schema, const Variant& Restrictions,
                                           const Variant& /*SchemaID*/) {
  FImpl->CheckOpen();
  std::vector<Variant> r;
  if (Restrictions.IsArray()) {
    r = Restrictions.Items();
  } else if (!Restrictions.IsEmpty() && !Restrictions.IsNull()) {
    throw EAdoError("Ограничения схемы должны быть массивом"_ansi);
  }
  return OpenSchemaRowset(*this, Schema, r);
}

const AdoProperty& AdoProperties::Item(const std::string& Name) const {
  for (const auto& p : FItems)
    if (AnsiSameText(p.Name, Name)) return p;
  throw EAdoError("Свойство не найдено: "_ansi + Name);
}

const AdoProperty& AdoProperties::Item(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EAdoError("Индекс свойства вне диапазона: "_ansi + IntToStr(Index));
  return FItems[static_cast<size_t>(Index)];
}
