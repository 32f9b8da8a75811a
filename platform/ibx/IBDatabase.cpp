// The InterBase components over the Firebird client library (libfbclient, the isc_* API).
//
// TIBDatabase.Open is isc_attach_database with a DPB built from Params (user, password, role,
// lc_ctype, connect timeout, the file name flagged as UTF-8), CreateDatabase is
// isc_create_database (page size, default character set, dialect), Close isc_detach_database
// after ending each active transaction by its DefaultAction (isc_commit_transaction unless set
// otherwise), and DropDatabase isc_drop_database; DBSQLDialect asks isc_database_info. TIBTransaction maps one to
// one onto isc_start_transaction (a TPB built from Params), isc_commit_transaction,
// isc_rollback_transaction, isc_commit_retaining and isc_rollback_retaining. TIBSQL allocates its
// statement with isc_dsql_allocate_statement, prepares with isc_dsql_prepare and describes with
// isc_dsql_describe / isc_dsql_describe_bind, asks the statement type and the row counts with
// isc_dsql_sql_info, runs with isc_dsql_execute (isc_dsql_execute2 when the statement returns
// one row of output values), fetches rows one at a time with isc_dsql_fetch, closes the cursor
// with isc_dsql_free_statement(DSQL_close) and releases the handle with DSQL_drop. Blob columns
// are read with isc_open_blob2 / isc_get_segment and blob parameters written with
// isc_create_blob2 / isc_put_segment, closed with isc_close_blob (isc_cancel_blob on failure).
// TIBTable reads the catalogue through TIBSQL and runs its DDL with isc_dsql_execute_immediate.
// Every failing call's status vector becomes an EIBInterBaseError: the message from
// fb_interpret, the SQL code from isc_sqlcode.
#include "platform/ibx/IBDatabase.h"

#include <ibase.h>

#include <locale.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/ibx/IBInternal.h"

static_assert(sizeof(isc_db_handle) == sizeof(uint32_t), "handles are 32-bit in the client library");

namespace ibx_internal {

void RaiseStatus(const ISC_STATUS* status) {
  int sqlCode = static_cast<int>(isc_sqlcode(status));
  std::string message;
  char buffer[1024];
  const ISC_STATUS* p = status;
  while (fb_interpret(buffer, sizeof buffer, &p) > 0) {
    if (!message.empty()) message += '\n';
    message += buffer;
  }
  if (message.empty()) message = "Неизвестная ошибка InterBase"_ansi;
  throw EIBInterBaseError(std::move(message), sqlCode, status[1]);
}

void ParamBlock::AddString(uint8_t tag, const std::string& value, const std::string& caption) {
  if (value.size() > 255)
    throw EIBClientError(Format("Ошибка подключения к базе данных InterBase: значение поля «%s» длиннее 255 байт"_ansi,
                                {caption}));
  FData += static_cast<char>(tag);
  FData += static_cast<char>(value.size());
  FData += value;
}

void ParamBlock::AddInt(uint8_t tag, int32_t value) {
  FData += static_cast<char>(tag);
  FData += static_cast<char>(4);
  for (int i = 0; i < 4; ++i) FData += static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

// "name=value" split, the name lower-cased with the given prefix removed.
void SplitParam(const std::string& line, const char* prefix, std::string& name, std::string& value) {
  size_t eq = line.find('=');
  name = Trim(line.substr(0, eq));
  value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string p = prefix;
  if (name.compare(0, p.size(), p) == 0) name.erase(0, p.size());
}

}  // namespace ibx_internal

using namespace ibx_internal;

namespace {

// The client converts a UTF-8 file name to the character set of the calling thread's locale
// before it touches the file system, and fails on any non-ASCII name under the "C" locale. File
// names are UTF-8 here whatever the locale, so the calls that take or use a file name run with a
// UTF-8 character-type locale on this thread only.
class Utf8FileNameScope {
 public:
  Utf8FileNameScope() {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8) FOld = uselocale(utf8);
  }
  ~Utf8FileNameScope() {
    if (FOld) uselocale(FOld);
  }
  Utf8FileNameScope(const Utf8FileNameScope&) = delete;
  Utf8FileNameScope& operator=(const Utf8FileNameScope&) = delete;

 private:
  locale_t FOld = nullptr;
};

// Raises the status vector's error for a call on the database file `name` (Windows-1251). The
// engine quotes file names in the file system's UTF-8; they are given back in Windows-1251 like
// the rest of the message.
[[noreturn]] void RaiseFileStatus(const ISC_STATUS* status, const std::string& name) {
  try {
    RaiseStatus(status);
  } catch (EIBInterBaseError& e) {
    size_t colon = name.find(':');
    std::string path = colon == std::string::npos ? name : name.substr(colon + 1);
    std::string utf8 = AnsiToUtf8(path);
    std::string message = e.Message();
    if (utf8 != path && !path.empty()) {
      for (size_t at = message.find(utf8); at != std::string::npos;
           at = message.find(utf8, at + path.size()))
        message.replace(at, utf8.size(), path);
      e.SetMessage(message);
    }
    throw;
  }
}

// Cuts the client's side of a connection (fb_cancel_abort) once `seconds` have passed, unless it is
// let go of first: whatever call the connection is held up in then ends at once with a network
// error.
class TCutOffAfter {
 public:
  TCutOffAfter(isc_db_handle handle, int32_t seconds) {
    if (seconds <= 0) return;
    FThread = std::thread([this, handle, seconds] {
      std::unique_lock lock(FLock);
      if (FEnded.wait_for(lock, std::chrono::seconds(seconds), [this] { return FDone; })) return;
      ISC_STATUS_ARRAY status;
      isc_db_handle cut = handle;
      fb_cancel_operation(status, &cut, fb_cancel_abort);
    });
  }
  ~TCutOffAfter() {
    if (!FThread.joinable()) return;
    {
      std::lock_guard lock(FLock);
      FDone = true;
    }
    FEnded.notify_all();
    FThread.join();
  }
  TCutOffAfter(const TCutOffAfter&) = delete;
  TCutOffAfter& operator=(const TCutOffAfter&) = delete;

 private:
  std::mutex FLock;
  std::condition_variable FEnded;
  bool FDone = false;
  std::thread FThread;
};

// Whether a database name reaches it through a server ("host:path", "host/port:path"), not as a
// file of this process's embedded engine.
bool OnServer(const std::string& name) { return !name.empty() && name[0] != '/' && name.find(':') != std::string::npos; }

}  // namespace

// --- TIBBase ------------------------------------------------------------------------------

TIBBase::~TIBBase() {
  // The derived destructor has already released its handles.
  if (FDatabase) std::erase(FDatabase->FClients, this);
  if (FTransaction) std::erase(FTransaction->FClients, this);
}

void TIBBase::SetDatabase(TIBDatabase* database) {
  if (database == FDatabase) return;
  DatabaseDisconnecting();
  if (FDatabase) std::erase(FDatabase->FClients, this);
  FDatabase = database;
  if (FDatabase) FDatabase->FClients.push_back(this);
}

TIBTransaction* TIBBase::Transaction() const {
  if (FTransaction) return FTransaction;
  return FDatabase ? FDatabase->DefaultTransaction() : nullptr;
}

void TIBBase::SetTransaction(TIBTransaction* transaction) {
  if (transaction == FTransaction) return;
  TransactionEnding();
  if (FTransaction) std::erase(FTransaction->FClients, this);
  FTransaction = transaction;
  if (FTransaction) FTransaction->FClients.push_back(this);
}

TIBDatabase& TIBBase::CheckDatabase() const {
  if (!FDatabase) throw EIBClientError("Database not assigned");
  FDatabase->CheckActive();
  return *FDatabase;
}

TIBTransaction& TIBBase::CheckTransaction() const {
  TIBTransaction* tr = Transaction();
  if (!tr) throw EIBClientError("Transaction not assigned");
  tr->CheckInTransaction();
  return *tr;
}

// --- TIBDatabase ----------------------------------------------------------------------------

TIBDatabase::TIBDatabase() = default;

TIBDatabase::~TIBDatabase() {
  try {
    Close();
  } catch (const std::exception& e) {
    // Close has detached even when a transaction failed to end; the error has no caller left.
    ReportLostError(e);
  }
  for (TIBBase* c : FClients) c->FDatabase = nullptr;
  for (TIBTransaction* t : FTransactions) t->FDefaultDatabase = nullptr;
}

void TIBDatabase::SetDatabaseName(const std::string& name) {
  if (Connected()) throw EIBClientError("Cannot change the database name while connected");
  FDatabaseName = name;
}

void TIBDatabase::SetDefaultTransaction(TIBTransaction* transaction) {
  FDefaultTransaction = transaction;
  if (transaction && !transaction->DefaultDatabase()) transaction->SetDefaultDatabase(this);
}

void TIBDatabase::SetSQLDialect(int dialect) {
  if (dialect != 1 && dialect != 3)
    throw EIBClientError(Format("Invalid SQL dialect %d (1 or 3)", {dialect}));
  FSQLDialect = dialect;
}

void TIBDatabase::CheckActive() const {
  if (!Connected()) throw EIBClientError("Операция недопустима: соединение с базой данных закрыто"_ansi);
}

std::string TIBDatabase::BuildDPB(bool creating) const {
  ParamBlock dpb;
  dpb.AddByte(isc_dpb_version1);
  bool timeoutGiven = false, pageSizeGiven = false, charsetGiven = false;
  for (int i = 0; i < FParams.Count(); ++i) {
    if (Trim(FParams.Strings(i)).empty()) continue;
    std::string name, value;
    SplitParam(FParams.Strings(i), "isc_dpb_", name, value);
    if (name == "user_name") {
      dpb.AddString(isc_dpb_user_name, value, "Пользователь"_ansi);
    } else if (name == "password") {
      dpb.AddString(isc_dpb_password, value, "Пароль"_ansi);
    } else if (name == "sql_role" || name == "sql_role_name") {
      dpb.AddString(isc_dpb_sql_role_name, value, "Роль SQL"_ansi);
    } else if (name == "lc_ctype") {
      dpb.AddString(isc_dpb_lc_ctype, value, "Кодировка"_ansi);
    } else if (name == "connect_timeout") {
      dpb.AddInt(isc_dpb_connect_timeout, StrToInt(value));
      timeoutGiven = true;
    } else if (name == "page_size") {
      if (creating) dpb.AddInt(isc_dpb_page_size, StrToInt(value));
      pageSizeGiven = true;
    } else if (name == "set_db_charset") {
      if (creating) dpb.AddString(isc_dpb_set_db_charset, value, "Кодировка базы данных"_ansi);
      charsetGiven = true;
    } else {
      throw EIBClientError(Format("Unknown database parameter \"%s\"", {FParams.Strings(i)}));
    }
  }
  if (!timeoutGiven) dpb.AddInt(isc_dpb_connect_timeout, IBDefaultConnectTimeout);
  if (creating) {
    if (!pageSizeGiven) dpb.AddInt(isc_dpb_page_size, 8192);
    if (!charsetGiven) dpb.AddString(isc_dpb_set_db_charset, "WIN1251", "Кодировка базы данных"_ansi);
    dpb.AddInt(isc_dpb_sql_dialect, FSQLDialect);
  }
  // The name goes to the engine as UTF-8, the file system's encoding.
  dpb.AddByte(isc_dpb_utf8_filename);
  dpb.AddByte(0);
  return dpb.Data();
}

int32_t TIBDatabase::ConnectTimeout() const {
  for (int i = 0; i < FParams.Count(); ++i) {
    std::string name, value;
    SplitParam(FParams.Strings(i), "isc_dpb_", name, value);
    if (name == "connect_timeout") return StrToInt(value);
  }
  return IBDefaultConnectTimeout;
}

void TIBDatabase::Open() {
  if (Connected()) return;
  Attach(false);
  int dbDialect = DBSQLDialect();
  if (FSQLDialect > dbDialect) FSQLDialect = dbDialect;
}

void TIBDatabase::CreateDatabase() {
  if (Connected()) throw EIBClientError("Database already connected");
  Attach(true);
}

void TIBDatabase::Attach(bool creating) {
  if (FDatabaseName.empty()) throw EIBClientError("Ошибка открытия базы данных InterBase: не задана база данных"_ansi);
  std::string dpb = BuildDPB(creating);
  std::string name = AnsiToUtf8(FDatabaseName);
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = 0;
  Utf8FileNameScope utf8;
  const short dpbLength = static_cast<short>(dpb.size());
  const ISC_STATUS failed =
      creating ? isc_create_database(status, 0, name.c_str(), &handle, dpbLength, dpb.data(), 0)
               : isc_attach_database(status, 0, name.c_str(), &handle, dpbLength, dpb.data());
  if (failed) RaiseFileStatus(status, FDatabaseName);
  FHandle = handle;
}

void TIBDatabase::Close() {
  if (!Connected()) return;
  // The embedded engine answers as long as its work takes; a server may never answer.
  const TCutOffAfter cutOff(FHandle, OnServer(FDatabaseName) ? ConnectTimeout() : 0);
  // Statement handles first: a cursor or statement left open keeps its tables in use.
  for (TIBBase* c : std::vector<TIBBase*>(FClients)) c->DatabaseDisconnecting();
  std::exception_ptr failure;
  for (TIBTransaction* t : std::vector<TIBTransaction*>(FTransactions)) {
    if (!t->Active()) continue;
    try {
      t->EndTransaction(t->DefaultAction());
      // A retaining default action leaves the transaction open; it cannot outlive the
      // connection, and its work is already permanent or undone.
      if (t->Active()) t->EndTransaction(TARollback);
    } catch (...) {
      if (!failure) failure = std::current_exception();
      try {
        t->EndTransaction(TARollback);
      } catch (...) {
        t->FHandle = 0;
      }
    }
  }
  Detach();
  if (failure) std::rethrow_exception(failure);
}

void TIBDatabase::Detach() {
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = FHandle;
  ISC_STATUS rc = isc_detach_database(status, &handle);
  FHandle = 0;
  if (rc) RaiseStatus(status);
}

void TIBDatabase::DropDatabase() {
  CheckActive();
  for (TIBBase* c : std::vector<TIBBase*>(FClients)) c->DatabaseDisconnecting();
  for (TIBTransaction* t : FTransactions)
    if (t->Active()) t->EndTransaction(TARollback);
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = FHandle;
  Utf8FileNameScope utf8;
  if (isc_drop_database(status, &handle)) RaiseFileStatus(status, FDatabaseName);
  FHandle = 0;
}

int TIBDatabase::DBSQLDialect() {
  CheckActive();
  char items[] = {isc_info_db_sql_dialect, isc_info_end};
  char buffer[64];
  ISC_STATUS_ARRAY status;
  isc_db_handle handle = FHandle;
  if (isc_database_info(status, &handle, sizeof items, items, sizeof buffer, buffer))
    RaiseStatus(status);
  // Databases from before dialects answer nothing: they are dialect 1.
  if (buffer[0] != isc_info_db_sql_dialect) return 1;
  short len = static_cast<short>(isc_vax_integer(buffer + 1, 2));
  return static_cast<int>(isc_vax_integer(buffer + 3, len));
}

// --- TIBTransaction ----------------------------------------------------------------------------

TIBTransaction::TIBTransaction() = default;

TIBTransaction::~TIBTransaction() {
  if (Active()) {
    try {
      EndTransaction(FDefaultAction);
      if (Active()) EndTransaction(TARollback);
    } catch (const std::exception& e) {
      // A refused commit here loses the work: said where it can still be seen, then undone.
      ReportLostError(e);
      try {
        EndTransaction(TARollback);
      } catch (...) {
      }
    }
  }
  for (TIBBase* c : FClients) c->FTransaction = nullptr;
  if (FDefaultDatabase) {
    std::erase(FDefaultDatabase->FTransactions, this);
    if (FDefaultDatabase->FDefaultTransaction == this) FDefaultDatabase->FDefaultTransaction = nullptr;
  }
}

void TIBTransaction::SetDefaultDatabase(TIBDatabase* database) {
  if (database == FDefaultDatabase) return;
  if (Active()) throw EIBClientError("Cannot change the database of an active transaction");
  if (FDefaultDatabase) std::erase(FDefaultDatabase->FTransactions, this);
  FDefaultDatabase = database;
  if (FDefaultDatabase) FDefaultDatabase->FTransactions.push_back(this);
}

void TIBTransaction::CheckInTransaction() const {
  if (!Active()) throw EIBClientError("Операция недопустима: нет активной транзакции"_ansi);
}

void TIBTransaction::SetActive(bool value) {
  if (value && !Active()) StartTransaction();
  if (!value && Active()) Rollback();
}

std::string TIBTransaction::BuildTPB() const {
  ParamBlock tpb;
  tpb.AddByte(isc_tpb_version3);
  if (FParams.Count() == 0) {
    tpb.AddByte(isc_tpb_write);
    tpb.AddByte(isc_tpb_read_committed);
    tpb.AddByte(isc_tpb_rec_version);
    tpb.AddByte(isc_tpb_nowait);
    return tpb.Data();
  }
  static const struct {
    const char* name;
    uint8_t tag;
  } flags[] = {{"read", isc_tpb_read},
               {"write", isc_tpb_write},
               {"read_committed", isc_tpb_read_committed},
               {"rec_version", isc_tpb_rec_version},
               {"no_rec_version", isc_tpb_no_rec_version},
               {"concurrency", isc_tpb_concurrency},
               {"consistency", isc_tpb_consistency},
               {"wait", isc_tpb_wait},
               {"nowait", isc_tpb_nowait}};
  for (int i = 0; i < FParams.Count(); ++i) {
    if (Trim(FParams.Strings(i)).empty()) continue;
    std::string name, value;
    SplitParam(FParams.Strings(i), "isc_tpb_", name, value);
    if (name == "lock_timeout") {
      tpb.AddInt(isc_tpb_lock_timeout, StrToInt(value));
      continue;
    }
    auto it = std::find_if(std::begin(flags), std::end(flags),
                           [&](const auto& f) { return name == f.name; });
    if (it == std::end(flags))
      throw EIBClientError(Format("Unknown transaction parameter \"%s\"", {FParams.Strings(i)}));
    tpb.AddByte(it->tag);
  }
  return tpb.Data();
}

void TIBTransaction::StartTransaction() {
  if (Active()) throw EIBClientError("Transaction is already active");
  if (!FDefaultDatabase) throw EIBClientError("Transaction has no database");
  FDefaultDatabase->CheckActive();
  std::string tpb = BuildTPB();
  isc_db_handle db = *FDefaultDatabase->Handle();
  ISC_STATUS_ARRAY status;
  isc_tr_handle handle = 0;
  if (isc_start_transaction(status, &handle, 1, &db, static_cast<unsigned short>(tpb.size()),
                            tpb.data()))
    RaiseStatus(status);
  FHandle = handle;
}

void TIBTransaction::EndTransaction(TTransactionAction action) {
  CheckInTransaction();
  if (action == TACommit || action == TARollback) {
    // Components that use this transaction as their database's default one are listed with the
    // database only.
    std::vector<TIBBase*> clients = FClients;
    if (FDefaultDatabase)
      for (TIBBase* c : FDefaultDatabase->FClients)
        if (c->Transaction() == this && std::find(clients.begin(), clients.end(), c) == clients.end())
          clients.push_back(c);
    for (TIBBase* c : clients) c->TransactionEnding();
  }
  ISC_STATUS_ARRAY status;
  isc_tr_handle handle = FHandle;
  ISC_STATUS rc = 0;
  switch (action) {
    case TACommit: rc = isc_commit_transaction(status, &handle); break;
    case TARollback: rc = isc_rollback_transaction(status, &handle); break;
    case TACommitRetaining: rc = isc_commit_retaining(status, &handle); break;
    case TARollbackRetaining: rc = isc_rollback_retaining(status, &handle); break;
  }
  if (rc) RaiseStatus(status);
  FHandle = handle;
}

void TIBTransaction::Commit() { EndTransaction(TACommit); }
void TIBTransaction::Rollback() { EndTransaction(TARollback); }
void TIBTransaction::CommitRetaining() { EndTransaction(TACommitRetaining); }
void TIBTransaction::RollbackRetaining() { EndTransaction(TARollbackRetaining); }
