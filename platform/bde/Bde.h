// Database components over the Paradox engine: sessions with a password list, databases (a folder
// of Paradox tables, given by driver "STANDARD" and "PATH=", or by an alias), tables with their
// field and index definitions, and queries that run a small local SQL with parameters over a
// forward-only cursor. A database whose driver is "INTRBASE" (an alias of an SQL server) is served
// by the InterBase components instead: its queries go to the server as written, and it has real
// transactions (see TDatabase).
//
//   bde::TSession s;  s.SetSessionName("S1");  s.AddPassword("secret");
//   bde::TDatabase d; d.SetDatabaseName("D1");  d.SetSessionName("S1");
//   d.SetDriverName("STANDARD"); d.Params().Add("PATH=/data/gis"); d.SetConnected(true);
//   bde::TQuery q;    q.SetSessionName("S1");   q.SetDatabaseName("D1");
//   q.SQL().SetText("SELECT * FROM MAPS WHERE ID=:ID"); q.Params()[0].SetValue(Variant(7));
//   for (q.Open(); !q.Eof(); q.Next()) use(q.Fields(1).AsString());
//
// Components find each other by name: a table or query looks up its session by SessionName
// (empty or "Default": the default session) and, in it, the database by DatabaseName. A name that
// is no registered database but an alias or an existing folder opens a temporary database that
// the session owns. A session, with its databases, tables and queries, is used by one thread at a
// time; other sessions may be used on other threads meanwhile. Texts are Windows-1251; folder
// paths in "PATH=" are Windows-1251 too and become UTF-8 file-system paths. Every failure raises
// EDBEngineError (an EDatabaseError) whose message names the table, file or statement.
//
// Writes through a prepared query are batched: changed blocks are written in groups, and the
// table's index files are rewritten once, when the query is closed, unprepared, given a new text
// or freed, when its database disconnects, and before a table operation (create, rename, delete,
// DROP TABLE) on that table. Readers in this process see every row at once. Tables and folders
// whose files carry no write permission bit are never written. A write that fails (a full disk)
// raises from the call that made it, the batch's end included: end batches with Close (of the
// query, the database or the session), since a destructor has no caller to tell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/DB.h"
#include "platform/rtl/Variant.h"

class TIBDatabase;

namespace paradox {
class TPdxDatabase;
class TPdxTable;
struct TPdxTableDef;
}  // namespace paradox

namespace bde {

// What went wrong, for callers that react to a kind of failure.
enum class TDBErrorKind {
  General,       // engine or file failure
  Syntax,        // a statement the local SQL does not understand
  NotFound,      // a table, column, session, database, alias or folder that does not exist
  Exists,        // a table that should not exist yet
  Password,      // an encrypted table that no password of the session opens
  KeyViolation,  // a duplicate primary or unique key
  Value,         // a value the column cannot hold, a missing required value, a bad parameter
  BadName,       // a table name that is no plain file name
  Unsupported,   // a driver or an operation this layer does not offer
};

namespace detail {
struct TServerConnection;
struct TServerStatement;
class TKnownStructures;
}  // namespace detail

class EDBEngineError : public EDatabaseError {
 public:
  explicit EDBEngineError(std::string message, TDBErrorKind kind = TDBErrorKind::General)
      : EDatabaseError(std::move(message)), FKind(kind) {}
  TDBErrorKind Kind() const { return FKind; }

 private:
  TDBErrorKind FKind;
};

class TDatabase;
class TQuery;

// A session: a name that databases, tables and queries refer to, and the passwords that open
// encrypted tables. Sessions register themselves by name while they live.
class TSession : public TObject {
 public:
  TSession();
  // Closes as Close does; a failure there has no caller to reach and goes to standard error.
  ~TSession() override;
  const std::string& SessionName() const { return FName; }
  // Raises when another live session has that name (case-insensitive).
  void SetSessionName(const std::string& name);

  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords() { FPasswords.clear(); }
  const std::vector<std::string>& Passwords() const { return FPasswords; }

  // The aliases of the alias file, in the file's order; the list is cleared first.
  void GetAliasNames(TStrings& list) const;
  // The alias's parameters as "NAME=value" lines (DRIVER not among them); NotFound when absent.
  void GetAliasParams(const std::string& alias, TStrings& list) const;
  std::string GetAliasDriverName(const std::string& alias) const;
  bool IsAlias(const std::string& name) const;

  // Disconnects every database of this session and frees the temporary ones; raises the first
  // failure (a write batch that could not be written) once all are closed, with the messages of
  // any later ones added to it.
  void Close();

  // The registered database of that name in this session, or null.
  TDatabase* FindDatabase(const std::string& name) const;
  // The registered database of that name, connected; else a temporary database for an alias or
  // an existing folder of that name, owned by the session. NotFound otherwise.
  TDatabase& OpenDatabase(const std::string& name);

 private:
  friend TSession& Session();
  explicit TSession(std::string name);
  std::string FName;
  std::vector<std::string> FPasswords;
  std::vector<std::unique_ptr<TDatabase>> FTemporary;
};

// The session used when a component's SessionName is empty or "Default".
TSession& Session();
// The live session of that name ("" and "Default" give the default session), or null.
TSession* FindSession(const std::string& name);

enum TTransIsolation { tiDirtyRead, tiReadCommitted, tiRepeatableRead };

// A database connection: a Paradox folder (driver "STANDARD" with "PATH=<folder>" in Params, or an
// alias whose driver is STANDARD), or an InterBase database (driver "INTRBASE", usually through an
// alias). Any other driver reports itself SQL-based and refuses to connect (Unsupported).
//
// INTRBASE parameters, each taken from Params when a line of that name is there, else from the
// alias: "SERVER NAME" (the database as the InterBase client takes it: a file path for the
// embedded engine, or "host:path"), "USER NAME", "PASSWORD", "ROLE NAME", and the character set
// of the connection from "CHARSET", else "LANGDRIVER", else WIN1251 (the system's own texts).
// Such a database is SQL-based and has transactions:
// - Outside StartTransaction every statement commits on its own: a query's ExecSQL, and each
//   table creation and deletion, is committed (with retaining, so that open cursors of the
//   database stay open) as soon as it has run.
// - StartTransaction opens an explicit transaction with the isolation of TransIsolation
//   (tiDirtyRead reads committed work too, as the server knows no dirtier level; tiRepeatableRead
//   is a snapshot); queries and tables work inside it until Commit or Rollback, which close the
//   cursors opened inside it. Transactions do not nest. Disconnecting rolls an open explicit
//   transaction back.
// - Conflicts with other connections are reported at once (no waiting on locks).
class TDatabase : public TObject {
 public:
  TDatabase();
  // Disconnects; a failure there has no caller to reach and goes to standard error: Close first.
  ~TDatabase() override;

  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& name);  // not while connected
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);  // not while connected
  // The driver set, or, when an alias is given, the alias's driver ("" for an unknown alias).
  std::string DriverName() const;
  void SetDriverName(const std::string& name);  // clears AliasName
  const std::string& AliasName() const { return FAliasName; }
  void SetAliasName(const std::string& name);  // clears DriverName
  // "PATH=", "USER NAME=", "PASSWORD=" lines; they override the alias's parameters.
  TStrings& Params() { return FParams; }
  const TStrings& Params() const { return FParams; }
  bool LoginPrompt() const { return FLoginPrompt; }
  void SetLoginPrompt(bool value) { FLoginPrompt = value; }
  TTransIsolation TransIsolation() const { return FTransIsolation; }
  void SetTransIsolation(TTransIsolation value) { FTransIsolation = value; }
  // True for a driver other than STANDARD (known before connecting).
  bool IsSQLBased() const;
  // InterBase: the name of the connected database as given to the client ("" otherwise).
  std::string ServerName() const;
  // InterBase: the client's attachment to the connected database, for work outside the
  // database's own transactions; null otherwise.
  TIBDatabase* ServerConnection() const;

  bool Connected() const { return FConnected; }
  // Disconnecting ends the write batches of the database's queries and raises the first failure
  // to write one, with the messages of any later ones added (the database is disconnected all
  // the same).
  void SetConnected(bool value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  // A Paradox folder has no transactions: StartTransaction raises Unsupported there,
  // InTransaction is False, Commit and Rollback outside a transaction raise. On an SQL server
  // see above; StartTransaction inside a transaction and Commit or Rollback outside one raise.
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const { return InTransactionOf(this); }

  // The connected folder (UTF-8 file-system path); empty when not connected.
  const std::string& Directory() const { return FFolder; }
  bool Temporary() const { return FTemporary; }

  // For the tables and queries: the engine over the folder with the session's passwords, a
  // table's structure (read again only when the table may have changed: see TKnownStructures),
  // and the end of the write batches that queries hold on a table (all tables when the name is
  // empty).
  paradox::TPdxDatabase Engine() const;
  paradox::TPdxTableDef TableStructure(const std::string& table);
  void EndWriteBatches(const std::string& table);
  // Before a table of that name in this database's folder is created, renamed (both names) or
  // deleted: no database of that folder answers its structure as read before.
  void TableChanging(const std::string& table);

 private:
  friend class TSession;
  friend class TQuery;
  friend class TTable;
  // InTransaction of a database, False for none: callers have always been able to ask a database
  // pointer that was never set, and got False.
  static bool InTransactionOf(const TDatabase* db);
  void CheckInactive(const char* what) const;
  void Connect();
  // ofAlias: " (псевдоним ...)" for messages when the database comes from an alias, else "".
  void ConnectServer(const std::string& ofAlias, const std::vector<std::pair<std::string, std::string>>& aliasParams);
  void EndTransaction(bool commit);
  void Disconnect();
  detail::TServerConnection& Server();
  std::string FDatabaseName, FSessionName, FDriverName, FAliasName;
  TStringList FParams;
  bool FLoginPrompt = true;
  TTransIsolation FTransIsolation = tiReadCommitted;
  bool FConnected = false;
  bool FTemporary = false;
  std::string FFolder;
  std::pair<uint64_t, uint64_t> FFolderIdentity{0, 0};  // its device and inode when connected
  std::vector<TQuery*> FWriters;  // queries holding a write batch on this database
  std::unique_ptr<detail::TKnownStructures> FStructures;  // of the connected folder's tables
  std::unique_ptr<detail::TServerConnection> FServer;  // set while connected to an SQL server
};

// The session and database a table or query belongs to, by name.
class TDBDataSet : public TObject {
 public:
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& name);
  // Kept for the callers that switch it; blobs are never cached.
  bool CacheBlobs() const { return FCacheBlobs; }
  void SetCacheBlobs(bool value) { FCacheBlobs = value; }
  // The database, connected (a temporary one when the name is an alias or a folder).
  TDatabase& Database() const;
  // Whether the database is an SQL server's, found without connecting anything.
  bool OnServer() const;

 private:
  std::string FSessionName, FDatabaseName;
  bool FCacheBlobs = true;
  // The database the names found last, and the registry's change count then.
  mutable TDatabase* FFound = nullptr;
  mutable uint64_t FFoundAt = 0;
};

// A table of a Paradox folder: existence, structure, creation, renaming and deletion.
// Table names are file names: a trailing ".DB" is dropped; a name holding "/", "\" or NUL, and
// the names "." and "..", are refused (BadName) before any file is touched.
//
// On an InterBase database names are identifiers: a plain one (a Latin letter, then Latin
// letters, digits, "_" and "$") stands for the name in capitals, as the server reads it unquoted
// in statements; any other name, or one written between double quotes, is taken exactly.
// Update() reports the server's columns with NUMERIC/DECIMAL of scale 1 to 4 as ftCurrency and of
// larger scales as ftFloat; CreateTable writes the column types of TIBTable (Boolean as
// SMALLINT, currency as NUMERIC(18,4)). The server has no way to rename a table: RenameTable
// raises Unsupported.
class TTable : public TDBDataSet {
 public:
  TTable();
  const std::string& TableName() const { return FTableName; }
  void SetTableName(const std::string& name) { FTableName = name; }
  bool Exists() const;
  // Update() reads the table's structure: Paradox types mapped to field types (Alpha ftString,
  // Short ftSmallint, Long ftInteger, Autoinc ftAutoInc, Number ftFloat, Currency ftCurrency,
  // BCD ftBCD, Date ftDate, Time ftTime, Timestamp ftDateTime, Logical ftBoolean, Memo ftMemo,
  // FmtMemo ftFmtMemo, Blob ftBlob, Graphic ftGraphic, OLE ftParadoxOle, Bytes ftBytes) with
  // sizes and required flags; the primary index has an empty name and ixPrimary + ixUnique.
  TFieldDefs& FieldDefs() { return FFieldDefs; }
  TIndexDefs& IndexDefs() { return FIndexDefs; }
  // Creates the table from FieldDefs and IndexDefs. Exists when the table is there already.
  void CreateTable();
  void RenameTable(const std::string& newName);
  void DeleteTable();

 private:
  TFieldDefs FFieldDefs;
  TIndexDefs FIndexDefs;
  std::string FTableName;
};

// A statement parameter: the i-th parameter stands for the i-th ":name" mark of the text.
class TParam {
 public:
  explicit TParam(std::string name) : FName(std::move(name)) {}
  const std::string& Name() const { return FName; }
  TFieldType DataType() const { return FDataType; }
  void SetDataType(TFieldType type) { FDataType = type; }
  const Variant& Value() const { return FValue; }
  // Null or Empty gives a null parameter.
  void SetValue(const Variant& value);
  void SetAsBlob(const std::string& bytes);  // DataType becomes ftBlob
  void SetAsString(const std::string& value);
  void SetAsInteger(int32_t value);
  void SetAsFloat(double value);
  void SetAsDateTime(TDateTime value);
  void SetAsBoolean(bool value);
  void Clear();
  bool IsNull() const { return FValue.IsNull() || FValue.IsEmpty(); }
  // Whether a value (Null included) was ever given.
  bool Bound() const { return FBound; }

 private:
  friend class TQuery;  // lends the value to the row being written instead of copying it
  std::string FName;
  TFieldType FDataType = ftUnknown;
  Variant FValue;
  bool FBound = false;
};

class TParams {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // NotFound for an index out of range.
  TParam& Items(int index) {
    if (index < 0 || index >= Count()) OutOfRange(index);
    return FItems[static_cast<size_t>(index)];
  }
  TParam& operator[](int index) { return Items(index); }
  // The first parameter of that name (case-insensitive), or null / NotFound.
  TParam* FindParam(const std::string& name);
  TParam& ParamByName(const std::string& name);
  void Clear() { FItems.clear(); }
  void Add(const std::string& name) { FItems.emplace_back(name); }

 private:
  [[noreturn]] void OutOfRange(int index) const;
  std::vector<TParam> FItems;
};

// A column of a query's result. Values read from the current row; when there is no current row
// (an empty result, or after the last row) the value is Null. The As... readers give 0, "" or
// False for Null, as the class library's fields do.
class TField {
 public:
  int Index() const { return FIndex; }
  const std::string& FieldName() const { return FName; }
  TFieldType DataType() const { return FDataType; }
  int Size() const { return FSize; }
  bool IsBlob() const;
  bool IsNull() const;
  Variant AsVariant() const;  // Null for a null value
  std::string AsString() const;
  int32_t AsInteger() const;
  double AsFloat() const;
  TDateTime AsDateTime() const;
  bool AsBoolean() const;

 private:
  friend class TQuery;
  TField(TQuery* query, int index, std::string name, TFieldType type, int size)
      : FQuery(query), FIndex(index), FName(std::move(name)), FDataType(type), FSize(size) {}
  TQuery* FQuery;
  int FIndex;
  std::string FName;
  TFieldType FDataType;
  int FSize;
};

enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

namespace sql {
struct TStatement;
class TResult;
// The parameters whose values a row being written holds: (row field, parameter mark).
using TLentMarks = std::vector<std::pair<size_t, size_t>>;
}  // namespace sql

// A statement of the local SQL (see BdeSql.h for the grammar) with ":name" parameters. A SELECT
// is opened (Open) as a forward-only cursor that streams rows from the table; ORDER BY is the one
// case that holds the result in memory, to sort it. Other statements run with ExecSQL.
class TQuery : public TDBDataSet {
 public:
  TQuery();
  // Ends the write batch and closes; a failure to write the batch has no caller to reach and goes
  // to standard error: Close first.
  ~TQuery() override;

  // The statement text. A change is noticed at the next use: the query is unprepared and, with
  // ParamCheck, its parameters are rebuilt from the marks.
  TStrings& SQL() { return FSQL; }
  // Kept for callers that set them: results are always forward-only and read-only here (rows
  // change through INSERT, UPDATE and DELETE).
  bool RequestLive() const { return FRequestLive; }
  void SetRequestLive(bool value) { FRequestLive = value; }
  bool UniDirectional() const { return FUniDirectional; }
  void SetUniDirectional(bool value) { FUniDirectional = value; }
  // Without ParamCheck a new text leaves the parameter list as it is; the marks then bind to the
  // existing parameters by position.
  bool ParamCheck() const { return FParamCheck; }
  void SetParamCheck(bool value) { FParamCheck = value; }

  int ParamCount();
  TParams& Params();
  TParam& ParamByName(const std::string& name) { return Params().ParamByName(name); }

  // Parses the text and resolves its table and columns; the statement is then re-run with new
  // parameter values by Open or ExecSQL without parsing again.
  void Prepare();
  void UnPrepare();
  bool Prepared() {
    Sync();
    return FStatement != nullptr || ServerPrepared();
  }

  void Open();     // a SELECT; raises for other statements
  void ExecSQL();  // any statement; a SELECT is opened and closed again
  // Closes the result and ends the write batch; raises when the batch cannot be written (the
  // query is closed all the same).
  void Close();
  bool Active() const { return FResult != nullptr; }
  // Rows inserted, changed or deleted by the last ExecSQL; -1 after a SELECT.
  int RowsAffected() const { return FRowsAffected; }

  bool Eof() const;
  void Next();
  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField& Fields(int index);
  TField& FieldByName(const std::string& name);  // NotFound when absent
  TField* FindField(const std::string& name);
  // The bytes of a field of the current row (read mode only).
  std::unique_ptr<TStream> CreateBlobStream(const TField& field, TBlobStreamMode mode);

  // The text as the statement runs it (lines joined), for messages.
  std::string Text() const;

  // On an InterBase database the text goes to the server as it stands (its own SQL, with
  // ":name" or "?" marks bound by position); Open runs a statement that returns rows, ExecSQL any
  // other (a SELECT is opened and closed). RowsAffected is the server's count (-1 for DDL);
  // result columns take the class library's types (NUMERIC of scale 1 to 4 as ftCurrency, larger
  // scales as ftFloat, text blobs as ftMemo, other blobs as ftBlob).

 private:
  friend class TField;
  friend class TDatabase;
  // Reads the text again when its lines changed since the last time (see SQL): runs several
  // times an execution, and costs a comparison while the lines stay as they are.
  void Sync() {
    if (!FSynced || FSQL.ChangeCount() != FSyncedChanges) Resync();
  }
  void Resync();
  void CheckActive() const;
  Variant FieldValue(int index) const;
  void EndWriteBatch();
  // The table the statement writes, with a write batch open: the one kept while the database is
  // the same, else opened (OpenWriter).
  paradox::TPdxTable& Writer(TDatabase& db) { return FWriter && FWriterDb == &db ? *FWriter : OpenWriter(db); }
  paradox::TPdxTable& OpenWriter(TDatabase& db);
  // The values of the first `count` parameters, in the order of their marks: the parameters' own,
  // not copies, valid until the next call. Raises Value for a parameter never given a value.
  const std::vector<Variant*>& BoundValues(int count);
  // Inside a catch block: raises the failure with the statement's text and what was being done
  // with it ("" for running it) added.
  [[noreturn]] void Rethrow(const std::string& doing) const;
  bool ServerPrepared() const;
  void ServerPrepare(TDatabase& db);
  void BindServerParams();
  void ServerOpen();
  void ServerExec();

  TStringList FSQL;
  std::string FSyncedText;
  uint64_t FSyncedChanges = 0;  // FSQL's ChangeCount when FSyncedText was last compared with it
  bool FSynced = false;
  bool FRequestLive = false, FUniDirectional = false, FParamCheck = true;
  TParams FParams;
  std::unique_ptr<sql::TStatement> FStatement;
  std::unique_ptr<sql::TResult> FResult;
  std::vector<std::unique_ptr<TField>> FFields;
  int FRowsAffected = 0;
  std::vector<Variant*> FBound;  // kept by BoundValues, so that an execution allocates nothing
  // The write batch of a prepared INSERT, UPDATE or DELETE.
  std::unique_ptr<paradox::TPdxTable> FWriter;
  // The record an INSERT fills, made with the writer: Null in the fields the statement leaves out;
  // and the room for noting the values it borrows.
  std::vector<Variant> FInsertRow;
  sql::TLentMarks FLentMarks;
  TDatabase* FWriterDb = nullptr;
  std::string FWriterTable;
  std::unique_ptr<detail::TServerStatement> FServer;  // the prepared statement on an SQL server
};

// Whether a table name is a plain file name (see TTable); the name without a trailing ".DB".
std::string CheckTableName(const std::string& name);

}  // namespace bde
