// The engine-neutral face of every database: the field types, the three records that travel
// through the interfaces, the interfaces IOrvDb (an open database), IOrvDbTableDef (the editable
// structure of one table) and IOrvDbSQL (one statement with a forward-only cursor), the
// parameter makers and the statement builders.
//
// Statement text convention: identifiers stand in square brackets ([Table].[Column]) and each
// "?" outside quoted literals is a parameter bound by position. Each back-end rewrites both for
// its engine before the statement runs.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gisdb/DbConnParams.h"
#include "platform/rtl/Interfaces.h"
#include "platform/rtl/Variant.h"

// The one reading of "outside quoted literals" that every rewrite of a statement text follows. A
// single or a double quote opens a literal and the next quote of the same kind closes it; a quote
// of the other kind inside is text, a doubled quote closes the literal and opens the next at once
// (so what follows it stays inside), and a literal left open runs to the end of the text. The
// quotes belong to their literal. Returns the text with each character of marks that stands
// outside every literal replaced by what replace gives for it; all else is copied as it stands.
// An exception from replace passes on.
std::string ReplaceOutsideLiterals(const std::string& text, std::string_view marks,
                                   const std::function<std::string(char mark)>& replace);
// The "?" marks outside quoted literals: the parameters the statement text asks for.
int CountParamMarks(const std::string& text);
// The one refusal of IOrvDbSQL::Execute given fewer parameters than the statement has marks:
// raises "Ошибка выполнения запроса: в тексте запроса знаков «?» <marks>, а параметров задано
// <given>" when given < marks.
void CheckParamCount(int marks, std::size_t given);

enum TOrvDbFieldType : uint8_t {
  dftUnknown = 0,
  dftBoolean = 1,
  dftInt8 = 2,
  dftUInt8 = 3,
  dftInt16 = 4,
  dftUInt16 = 5,
  dftInt32 = 6,
  dftUInt32 = 7,
  dftInt64 = 8,
  dftUInt64 = 9,
  dftSingle = 10,
  dftDouble = 11,
  dftCurrency = 12,  // fixed point with 4 decimals
  dftDateTime = 13,  // days since 30 December 1899 as a double
  dftString = 14,    // at most Size characters
  dftMemo = 15,
  dftBlob = 16,      // values travel as byte strings
};

// One field of a table. Size is the length of a dftString, the size handed to the engine for a
// dftBlob, and 0 otherwise. Required means NOT NULL.
struct TOrvDbFieldDef {
  std::string Name;
  TOrvDbFieldType FieldType = dftUnknown;
  int32_t Size = 0;
  bool Required = false;
};

// Index options, a set of two bits: a primary key carries both.
using TOrvDbIndexOptions = uint8_t;
inline constexpr TOrvDbIndexOptions dioPrimary = 1;
inline constexpr TOrvDbIndexOptions dioUnique = 2;

// One index: its fields in key order joined by ";" without blanks.
struct TOrvDbIndexDef {
  std::string Name;
  std::string Fields;
  TOrvDbIndexOptions Options = 0;
};

// One statement parameter: the type to bind it as and its value (Null binds SQL NULL).
struct TOrvDbParam {
  TOrvDbFieldType DataType = dftUnknown;
  Variant Value;
};
using TOrvDbParams = std::vector<TOrvDbParam>;

// Names compared byte for byte; type, size, flags and options equal.
bool SameFieldDef(const TOrvDbFieldDef& a, const TOrvDbFieldDef& b);
bool SameIndexDef(const TOrvDbIndexDef& a, const TOrvDbIndexDef& b);

// What a database can say of another connection (IOrvDb::IsAttached).
enum TOrvDbAttachment : uint8_t {
  oaUnknown = 0,    // its engine cannot tell
  oaAttached = 1,   // the connection reaches this very database
  oaElsewhere = 2,  // the connection reaches another database
};

class IOrvDbSQL;
class IOrvDbTableDef;
using IOrvDbSQLPtr = RefPtr<IOrvDbSQL>;
using IOrvDbTableDefPtr = RefPtr<IOrvDbTableDef>;

// One open database.
//
// Lifetime. Every statement and table definition a database makes holds a counted reference to
// it: the database stays alive, and connected, while any of them is held, also after the
// caller's last reference has gone. The last reference going closes the connection as Close
// does, but an error then is lost; call Close to see it. Close does not wait for what the
// database made: after Close only Open and Close may be called, and the statements and
// definitions made before must not be used again. A closed database raises on CreateSQL,
// TableExists, DropTable, ConnectionToken and IsAttached; the InterBase and ODBC back-ends also
// raise on a statement made before the close, which the Paradox back-end does not check on every
// call.
//
// Transactions. StartTransaction opens a bracket; Commit and Rollback close the innermost one.
// InTransaction tells whether one is open. By engine:
//   InterBase     Brackets nest; only closing the outermost commits (or rolls back) the work, and
//                 with it all work done outside brackets since the last commit. Commit or
//                 Rollback without an open bracket does nothing. Close commits what is pending,
//                 an open bracket's work included.
//   ODBC          Brackets nest (savepoints inside the outermost); outside a bracket every
//                 statement commits by itself. Commit or Rollback without an open bracket raises
//                 "Нет активной транзакции"; each one drops the result of every statement of the
//                 database. Close rolls an open bracket back.
//   Paradox       A folder, or an alias of one: no transactions. The three calls do nothing and
//                 InTransaction is false. A statement that writes (INSERT, UPDATE, DELETE) holds
//                 its rows back and writes them when it is closed (Close, a new text, or Close of
//                 the database), and Close raises when they cannot be written. A statement
//                 released without Close writes them too, but can tell of a failure only on
//                 standard error: close every statement that writes, also when its work fails.
//   server alias  An alias of a server: one bracket, no nesting. A second StartTransaction, and
//                 Commit or Rollback without a bracket, raise; outside it every statement commits
//                 by itself. Close rolls an open bracket back.
// A commit the engine refuses raises the engine's error once the bracket's work is rolled back,
// so that no later bracket or disconnect can make it permanent, and the connection stays usable:
// on InterBase and an alias the transaction's work; on ODBC an inner bracket's back to its
// savepoint (where that is refused too, the whole transaction's, every bracket closing) and the
// outermost one's whole. A rollback the engine refuses raises its error (on InterBase and ODBC the
// bracket is closed even so). On ODBC, where the data source refuses even to roll back, the
// connection is closed, which discards the work.
//
// Errors. Every failure raises (no call returns an error code): an Exception with this layer's
// Russian text where one is named below, else the engine layer's own exception (EDBEngineError,
// EIBInterBaseError or EIBClientError, EAdoError, all derived from Exception) carrying the
// engine's or the driver's message.
class IOrvDb : public virtual IInterface {
 public:
  // Keeps the parameters and connects as they say; raises when the connection fails ("Ошибка
  // открытия базы данных InterBase: некорректный протокол" for an unknown PROTOCOL).
  virtual void Open(IConnParams* params) = 0;
  // Disconnects and frees the engine's connection objects; nothing when not connected.
  virtual void Close() = 0;
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() = 0;
  // True for a file-based database; column names in INSERTs are then qualified by the table.
  virtual bool IsLocal() = 0;
  // A new statement holding the text, not yet executed; the text is not checked here (Execute
  // raises what the engine finds wrong with it).
  virtual IOrvDbSQLPtr CreateSQL(const std::string& sql) = 0;
  // An empty name answers false.
  virtual bool TableExists(const std::string& tableName) = 0;
  // A definition loaded from the table; an empty name gives an empty one for a table to create.
  // For a table that does not exist the InterBase and ODBC back-ends give an empty definition
  // and a Paradox folder raises: ask TableExists first.
  virtual IOrvDbTableDefPtr GetTableDef(const std::string& tableName) = 0;
  // Drops the table when it exists; nothing otherwise.
  virtual void DropTable(const std::string& tableName) = 0;
  // Identity. Whether two connections reach one database is asked of their engines, in terms no
  // two spellings of a location can differ in (DbIdentity.h says what each engine is asked).
  // A token naming this connection as its engine knows it, for another connection's IsAttached.
  virtual std::string ConnectionToken() = 0;
  // Whether the connection a token names, made by a database of any back-end, is attached to
  // this connection's database; oaUnknown for a text that is no token.
  virtual TOrvDbAttachment IsAttached(const std::string& token) = 0;
};
using IOrvDbPtr = RefPtr<IOrvDb>;

// The editable structure of one table; positions are 0-based.
class IOrvDbTableDef : public virtual IInterface {
 public:
  virtual int GetFieldCount() = 0;
  virtual TOrvDbFieldDef GetField(int index) = 0;
  // Replaces the current definition when it differs.
  virtual void SetField(int index, const TOrvDbFieldDef& def) = 0;
  // Appends; returns the new field's position.
  virtual int AddField(const TOrvDbFieldDef& def) = 0;
  virtual void DeleteField(int index) = 0;
  // The position of the field whose current name matches case-insensitively, or -1.
  virtual int IndexOfField(const std::string& name) = 0;
  virtual void MoveField(int from, int to) = 0;
  virtual int GetIndexCount() = 0;
  virtual TOrvDbIndexDef GetIndex(int index) = 0;
  virtual void SetIndex(int index, const TOrvDbIndexDef& def) = 0;
  virtual int AddIndex(const TOrvDbIndexDef& def) = 0;
  virtual void DeleteIndex(int index) = 0;
  virtual int IndexOfIndex(const std::string& name) = 0;
  virtual std::string GetTableName() = 0;
  virtual void SetTableName(const std::string& name) = 0;
  // Any change since the last load.
  virtual bool GetModified() = 0;
  // Makes the database table match the definition.
  virtual void ApplyChanges() = 0;
  // Reloads the definition from the table it was loaded from.
  virtual void CancelChanges() = 0;
};

// One statement with positional parameters and a forward-only cursor. A column argument is a
// Variant: an integer Variant is a 0-based position, anything else is taken as a column name. A
// column that is not there, by name or position, raises on every back-end; reading columns before
// Execute or after the last row is not defined (ODBC raises, the others do not all check).
class IOrvDbSQL : public virtual IInterface {
 public:
  // The text as given to SetSQL, before any rewriting.
  virtual std::string GetSQL() = 0;
  virtual void SetSQL(const std::string& sql) = 0;
  // Runs the statement with the i-th parameter bound to the i-th "?"; a SELECT leaves the cursor
  // on its first row. Returns the statement itself. Parameters beyond the last "?" are ignored;
  // fewer parameters than marks raise on every back-end before anything is bound or run
  // (CheckParamCount's message, naming both counts). A dftBlob parameter that is neither a byte
  // string nor Null raises "Ошибка обновления данных: параметр типа BLOB должен задаваться в виде
  // строки" on the Paradox and InterBase back-end.
  virtual IOrvDbSQLPtr Execute(const TOrvDbParams& params) = 0;
  // The cursor is past the last row (at once for an empty result).
  virtual bool Eof() = 0;
  virtual int RowsAffected() = 0;
  virtual int FieldCount() = 0;
  // The column's position, -1 when absent.
  virtual int FieldIndex(const std::string& name) = 0;
  virtual std::string FieldName(int index) = 0;
  virtual TOrvDbFieldType FieldType(const Variant& column) = 0;
  // The current row's value; memo and blob values as byte strings. A memo or blob value is
  // handed out once a row, on every back-end: reading that column again (by GetValue, AsString or
  // AsBlob) before Next, Close or the next Execute raises "Ошибка чтения данных: значение поля
  // <name> в этой строке уже прочитано". An ODBC driver cannot give a column twice, and a copy
  // kept for a second read would double the memory a long value holds while its row is current;
  // a caller that needs the value again keeps what it read.
  virtual Variant GetValue(const Variant& column) = 0;
  virtual std::string AsString(const Variant& column) = 0;
  virtual std::string AsBlob(const Variant& column) = 0;
  virtual bool AsBoolean(const Variant& column) = 0;
  // The narrow integers are the low bits of AsInt32 on every back-end alike (70000 gives 112 and
  // 4464): a value wider than the type is cut, never refused.
  int8_t AsInt8(const Variant& column) { return static_cast<int8_t>(AsInt32(column)); }
  uint8_t AsUInt8(const Variant& column) { return static_cast<uint8_t>(AsInt32(column)); }
  int16_t AsInt16(const Variant& column) { return static_cast<int16_t>(AsInt32(column)); }
  uint16_t AsUInt16(const Variant& column) { return static_cast<uint16_t>(AsInt32(column)); }
  virtual int32_t AsInt32(const Variant& column) = 0;
  virtual uint32_t AsUInt32(const Variant& column) = 0;
  virtual float AsSingle(const Variant& column) = 0;
  virtual double AsDouble(const Variant& column) = 0;
  virtual TDateTime AsDateTime(const Variant& column) = 0;
  virtual void Next() = 0;
  virtual void Close() = 0;
};

// The connect factory: a new database of the back-end that ENGINE names ("BDE", "PDOX" and "IB":
// the Paradox and InterBase back-end; "OLEDB": the ODBC back-end), opened with the same
// parameters when open is true. An unknown or missing ENGINE raises "Ошибка присоединения к базе
// данных: неизвестный тип СУБД" before anything is created; a failing Open passes its exception
// on and the new database goes with it.
IOrvDbPtr ConnectDb(IConnParams* params, bool open);
// The seconds a connection to the location waits for its server before its engine gives up, 0 for
// no limit: for ODBC CONNECTION_TIMEOUT when it is an integer (a negative one counts as 0), else
// the connection's default; for InterBase and aliases the client's connect timeout; for a Paradox
// folder, which no server answers for, 0.
int32_t ConnectionTimeout(IConnParams* params);
// Whether work done outside transaction brackets stays pending on db until a bracket closes at
// depth 0, and so is lost with its connection: an InterBase database. Every other back-end and
// kind commits such work as it goes (or has no transactions).
bool HoldsWorkUntilCommit(IOrvDb* db);
// Whether closing db may wait for a server: a Firebird database reached through a server, an alias
// or an ODBC data source; not a Paradox folder, an embedded Firebird database or a database of no
// back-end here.
bool ClosingWaitsForServer(IOrvDb* db);
// Whether an error says that the connection to the server is gone (the Firebird client's network
// errors, a connection cut off or shut down).
bool IsConnectionLost(const std::exception& error);

// Parameter makers.
void StrParam(TOrvDbParam& param, const std::string& value);
void IntParam(TOrvDbParam& param, int32_t value);
void BlobParam(TOrvDbParam& param, const std::string& bytes);
TOrvDbParam StrParam(const std::string& value);
TOrvDbParam IntParam(int32_t value);
TOrvDbParam BlobParam(const std::string& bytes);

// Each item put into fmt in place of its one %s, joined by sep; no items give "".
std::string FormatList(const std::vector<std::string>& items, const std::string& fmt, const std::string& sep);
// text repeated count times joined by sep; a count of 0 or less gives "".
std::string RepeatStr(const std::string& text, int count, const std::string& sep);

// Statement builders: each creates the statement through db->CreateSQL and returns it
// unexecuted, except OpenTableSQL, which executes it.
//   INSERT INTO [T] ([F1],[F2]) VALUES(?,?)        ([T].[F] for each field when db->IsLocal())
//   UPDATE [T] SET [F1]=?,[F2]=? WHERE ([T].[K]=?)  (the WHERE part is empty without keys)
//   SELECT [T].[F1],[T].[F2] FROM [T] WHERE ([T].[K]=?)  (* without fields)
// The parameters of an UPDATE are bound in text order: set values first, then key values.
IOrvDbSQLPtr BuildInsertSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields);
IOrvDbSQLPtr BuildUpdateSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields,
                            const std::vector<std::string>& keys);
IOrvDbSQLPtr BuildSelectSQL(IOrvDb* db, const std::string& table, const std::vector<std::string>& fields,
                            const std::vector<std::string>& keys);
// An open cursor over every row and column of the table ("SELECT * FROM [T] ").
IOrvDbSQLPtr OpenTableSQL(IOrvDb* db, const std::string& table);
