// The InterBase connection components over the Firebird client library: the database
// (TIBDatabase), its transactions (TIBTransaction), the errors they raise (EIBError) and the base
// of the components that work inside them (TIBBase: statements and table objects).
//
// A database name is a file path (the embedded engine opens it in this process) or a server
// connection string ("host:path", "host/port:path"). Texts are Windows-1251 like every other
// string of the system; a connection with lc_ctype WIN1251 exchanges them with the engine as they
// stand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

class TIBDatabase;
class TIBTransaction;

// An error of the InterBase components. SQLCode is the engine's SQL code (negative) or 0 for the
// components' own errors; IBErrorCode the engine's first status code, or 0.
class EIBError : public Exception {
 public:
  explicit EIBError(std::string message, int sqlCode = 0, int64_t ibErrorCode = 0)
      : Exception(std::move(message)), FSQLCode(sqlCode), FIBErrorCode(ibErrorCode) {}
  int SQLCode() const { return FSQLCode; }
  int64_t IBErrorCode() const { return FIBErrorCode; }

 private:
  int FSQLCode;
  int64_t FIBErrorCode;
};
// An error reported by the engine: the message is the engine's text, one line per status entry.
class EIBInterBaseError : public EIBError { using EIBError::EIBError; };
// A misuse the components themselves detect (not connected, no transaction, unknown parameter).
class EIBClientError : public EIBError { using EIBError::EIBError; };

// A component that works on one database inside one transaction. The database and the
// transaction keep a list of their components and tell them before they disconnect or end, and
// when they are destroyed, so that no component ever uses a handle that has gone.
class TIBBase : public TObject {
 public:
  ~TIBBase() override;
  TIBDatabase* Database() const { return FDatabase; }
  // Changing the database first releases whatever the component holds on the old one.
  void SetDatabase(TIBDatabase* database);
  // The transaction set here, or else the database's default transaction (null when neither).
  TIBTransaction* Transaction() const;
  void SetTransaction(TIBTransaction* transaction);

 protected:
  // Release every engine handle (statement handles); called before the database detaches.
  virtual void DatabaseDisconnecting() {}
  // Close open cursors; called before the transaction commits or rolls back (not on retaining).
  virtual void TransactionEnding() {}
  // The connected database and its active transaction, or EIBClientError saying what is missing.
  TIBDatabase& CheckDatabase() const;
  TIBTransaction& CheckTransaction() const;

 private:
  friend class TIBDatabase;
  friend class TIBTransaction;
  TIBDatabase* FDatabase = nullptr;
  TIBTransaction* FTransaction = nullptr;
};

// What a transaction does when its database disconnects or the transaction is destroyed while
// active.
enum TTransactionAction { TARollback, TACommit, TARollbackRetaining, TACommitRetaining };

// The seconds an attach waits for the server when the parameters name no connect_timeout.
inline constexpr int32_t IBDefaultConnectTimeout = 10;

// A connection to one database.
//
// Params lines, "name=value", go into the attach parameters: user_name, password, sql_role (also
// sql_role_name), lc_ctype, connect_timeout (seconds; IBDefaultConnectTimeout when absent), and for
// CreateDatabase also page_size (8192 when absent) and set_db_charset (WIN1251 when absent). An
// "isc_dpb_" prefix is allowed; an unknown name raises EIBClientError.
class TIBDatabase : public TObject {
 public:
  TIBDatabase();
  // Disconnects (the transactions' default actions apply). It cannot report an error: one is
  // written to stderr. Disconnect first to see it.
  ~TIBDatabase() override;

  const std::string& DatabaseName() const { return FDatabaseName; }
  // EIBClientError while connected.
  void SetDatabaseName(const std::string& name);
  TStringList& Params() { return FParams; }
  // Kept for compatibility; the components never ask for a login interactively.
  bool LoginPrompt() const { return FLoginPrompt; }
  void SetLoginPrompt(bool value) { FLoginPrompt = value; }
  // Also becomes the transaction's default database when that has none.
  TIBTransaction* DefaultTransaction() const { return FDefaultTransaction; }
  void SetDefaultTransaction(TIBTransaction* transaction);

  bool Connected() const { return FHandle != 0; }
  void SetConnected(bool value) { value ? Open() : Close(); }
  // Attaches with the parameters above. Engine failures (wrong password, missing file, server
  // down or silent) raise EIBInterBaseError with the engine's message. Nothing when connected.
  void Open();
  // Releases every statement handle of the linked components, ends every active transaction of
  // this database by its DefaultAction (commit unless set otherwise), then detaches. When ending
  // a transaction fails, it is rolled back, the database detached and the error raised. On a
  // server, a close that has not ended within the connect timeout has the client's side of the
  // connection cut (fb_cancel_abort): it then ends at once with the network error, and whatever
  // was still pending is the server's to roll back.
  void Close();
  // Creates the database file DatabaseName (page size 8192, default character set WIN1251,
  // dialect 3, unless Params say otherwise) and leaves it connected. An existing file raises
  // the engine's "File exists" error.
  void CreateDatabase();
  // Drops the connected database: the file is deleted and the component disconnected.
  void DropDatabase();

  // The dialect the connected database reports (1 or 3); EIBClientError when not connected.
  int DBSQLDialect();
  // The dialect statements are prepared in; 3 by default, lowered to the database's at Open.
  int SQLDialect() const { return FSQLDialect; }
  void SetSQLDialect(int dialect);

  // The isc_db_handle (0 when disconnected).
  uint32_t* Handle() { return &FHandle; }
  // EIBClientError when not connected.
  void CheckActive() const;

 private:
  friend class TIBBase;
  friend class TIBTransaction;
  std::string BuildDPB(bool creating) const;
  // The connect_timeout of Params, else IBDefaultConnectTimeout.
  int32_t ConnectTimeout() const;
  // The steps Open and CreateDatabase share: the parameter block, the file name as UTF-8, then
  // isc_attach_database or isc_create_database; the handle is kept.
  void Attach(bool creating);
  void Detach();

  std::string FDatabaseName;
  TStringList FParams;
  bool FLoginPrompt = true;
  TIBTransaction* FDefaultTransaction = nullptr;
  int FSQLDialect = 3;
  uint32_t FHandle = 0;
  std::vector<TIBBase*> FClients;
  std::vector<TIBTransaction*> FTransactions;
};

// A transaction on one database (its DefaultDatabase).
//
// Params lines choose the transaction parameters: read, write, read_committed, rec_version,
// no_rec_version, concurrency, consistency, wait, nowait, lock_timeout=<seconds> (an "isc_tpb_"
// prefix is allowed). With no lines: write, read_committed, rec_version, nowait, so that a
// conflict with another connection is reported at once instead of waiting.
class TIBTransaction : public TObject {
 public:
  TIBTransaction();
  // An active transaction ends by its DefaultAction. It cannot report an error: one is written to
  // stderr and the work rolled back. End the transaction first to see it.
  ~TIBTransaction() override;

  TIBDatabase* DefaultDatabase() const { return FDefaultDatabase; }
  // EIBClientError while active.
  void SetDefaultDatabase(TIBDatabase* database);
  TStringList& Params() { return FParams; }
  TTransactionAction DefaultAction() const { return FDefaultAction; }
  void SetDefaultAction(TTransactionAction action) { FDefaultAction = action; }

  // EIBClientError when already active or the database is not connected.
  void StartTransaction();
  // Commit and Rollback close the open cursors of the linked statements and end the
  // transaction; the retaining forms make the work permanent (or undo it) and keep the
  // transaction and its cursors open. All raise EIBClientError when not active.
  void Commit();
  void Rollback();
  void CommitRetaining();
  void RollbackRetaining();
  bool Active() const { return FHandle != 0; }
  bool InTransaction() const { return Active(); }
  void SetActive(bool value);

  // The isc_tr_handle (0 when not active).
  uint32_t* Handle() { return &FHandle; }
  // EIBClientError when not active.
  void CheckInTransaction() const;

 private:
  friend class TIBBase;
  friend class TIBDatabase;
  std::string BuildTPB() const;
  void EndTransaction(TTransactionAction action);

  TIBDatabase* FDefaultDatabase = nullptr;
  TStringList FParams;
  TTransactionAction FDefaultAction = TACommit;
  uint32_t FHandle = 0;
  std::vector<TIBBase*> FClients;
};
