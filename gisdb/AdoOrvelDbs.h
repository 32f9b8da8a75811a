// The database back-end for any ODBC data source ("OLEDB"): TAdoOrvDb with its table definitions
// (TAdoOrvDbTableDef) and statements (TAdoOrvDbSQL), over the ADO-shaped layer of platform/ado.
//
// The data source decides which column types exist and what they are called: the back-end reads
// its type catalogue once per connection (TAdoTypes) and picks from it the type that stands for a
// field type (ChooseProviderType) when it writes DDL and binds parameters. Columns read back map
// to field types through AdoToFieldType. Table structure comes from the columns and indexes
// schema rowsets; a table is created with one CREATE TABLE that carries the primary key, then one
// CREATE INDEX per other index. Tables cannot be renamed in place: a changed table is rebuilt.
//
// Statements rewrite the bracket convention to LEFTQUOTEMARK/RIGHTQUOTEMARK ("[" and "]" by
// default) and send each "?" as a positional parameter, except that a parameter whose value is
// Null is written into the text as NULL. A commit or rollback drops the result of every statement
// of the database; reading one afterwards raises "Ошибка доступа к данным: таблица закрыта".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ObjectLists.h"
#include "gisdb/OrvelDbUtils.h"
#include "platform/ado/Ado.h"

// --- provider types ----------------------------------------------------------------------------

using TAdoTypeFlags = uint8_t;
inline constexpr TAdoTypeFlags atfLong = 1;
inline constexpr TAdoTypeFlags atfFixedLength = 2;

// One row of the provider-types rowset.
class TAdoType : public TObject {
 public:
  int32_t DataType = 0;
  TAdoTypeFlags Flags = 0;
  int32_t ColumnSize = 0;    // 0 when the provider gives none
  bool BestMatch = false;
  int32_t MinimumScale = 0;  // -1 when the provider gives none
  int32_t MaximumScale = 0;
  std::string TypeName;      // written into DDL as it stands
};

// The provider's types in the order it listed them; owns its rows.
class TAdoTypes : public TObjectList {
 public:
  TAdoType* Items(int index) const { return static_cast<TAdoType*>(TList::Items(index)); }
};

// A wanted type code with a condition on the flags: (Flags & Mask) == Value.
struct TTypeCandidate {
  int32_t AdoType = 0;
  TAdoTypeFlags Mask = 0;
  TAdoTypeFlags Value = 0;
};

// Default when v is Empty or Null, else v converted (a value that does not convert raises).
int32_t VarToIntDef(const Variant& v, int32_t def);
bool VarToBoolDef(const Variant& v, bool def);
// The seconds the parameter `key` (CONNECTION_TIMEOUT, COMMAND_TIMEOUT) gives when it is an
// integer, else `otherwise`.
int32_t TimeoutParam(IConnParams* params, const char* key, int32_t otherwise);
// The position of the first field whose name equals name ignoring case, or -1.
int32_t FindRecordsetField(_Recordset* recordset, const std::string& name);
// The schema restriction for the connection's own tables: the user name on Oracle, else Empty.
Variant SchemaOwnerRestriction(_Connection* connection);
// A base table of that name exists (views and system tables do not count).
bool AdoTableExists(_Connection* connection, const std::string& name);
// The field type of a column by its ADO type code, long flag, precision and scale. Decimals with
// no fraction read as dftInt16 (up to 5 digits) or dftInt32 (up to 10), NUMERIC(20,4) as
// currency, every other decimal as double. Unknown codes give dftUnknown.
TOrvDbFieldType AdoToFieldType(int32_t dataType, bool isLong, int32_t precision, int32_t scale);
// Empties the list and fills it from the provider-types rowset.
void LoadProviderTypes(TAdoTypes& types, _Connection* connection);
TTypeCandidate MakeTypeCandidate(int32_t adoType, TAdoTypeFlags mask, TAdoTypeFlags value);
// The first row matching the first candidate that any row matches; null when none does.
TAdoType* FindProviderType(const TAdoTypes& types, const std::vector<TTypeCandidate>& candidates);
// The provider type that stands for a field type; null when the provider offers none (and always
// for dftUnknown). The row stays owned by the list.
TAdoType* ChooseProviderType(const TAdoTypes& types, TOrvDbFieldType fieldType);

// --- the database ------------------------------------------------------------------------------

class TAdoOrvDb : public TOrvDb {
 public:
  // A new, unopened connection whose command time-out is 600 seconds.
  TAdoOrvDb();
  // Releases the connection without closing it first (it closes when its last user goes).
  ~TAdoOrvDb() override;

  TOrvDbTableDef* CreateTableDef() override;
  // Keeps the parameters, takes CONNECTION_TIMEOUT and COMMAND_TIMEOUT when they are integers,
  // and connects with CONNECTIONSTRING, USER and PASSWORD. The driver's refusal passes on.
  void Open(IConnParams* params) override;
  // Disconnects (an open transaction is rolled back) and frees the cached types.
  void Close() override;
  // Each call is one level of the connection's transaction (deeper levels are savepoints).
  void StartTransaction() override;
  // Both drop the result of every statement of this database first, then end one level. Without
  // an open transaction the connection's error passes on. A refused commit rolls the level's work
  // back before its error passes on (see _Connection::CommitTrans); the level is closed even so.
  void Commit() override;
  void Rollback() override;
  bool InTransaction() override { return TransCount() > 0; }
  bool IsLocal() override { return false; }
  IOrvDbSQLPtr CreateSQL(const std::string& sql) override;
  bool TableExists(const std::string& name) override;
  // "DROP TABLE [name]" when the table exists; nothing otherwise.
  void DropTable(const std::string& name) override;
  // By the engine the data source names: PostgreSQL's backend, SQLite's file, else the DBMS name
  // and the current catalog.
  std::string ConnectionToken() override;
  TOrvDbAttachment IsAttached(const std::string& token) override;

  // The provider's types, read on first use and kept until Close.
  TAdoTypes& GetProviderTypes();
  _Connection* Connection() const { return FConnection.get(); }
  // The open brackets: the connection's transaction level.
  int32_t TransCount() const { return FConnection->TransactionLevel(); }
  // The statement quote marks: LEFTQUOTEMARK and RIGHTQUOTEMARK, "[" and "]" when absent.
  const std::string& LeftQuote() const { return FLeftQuote; }
  const std::string& RightQuote() const { return FRightQuote; }

 private:
  void EndBracket(bool commit);
  // Every statement of the database drops the command it kept: the connection is about to end or
  // to reach a data source anew.
  void ForgetCommands();
  RefPtr<_Connection> FConnection;
  std::unique_ptr<TAdoTypes> FTypes;
  std::string FLeftQuote = "[";
  std::string FRightQuote = "]";
};

// --- table definitions -------------------------------------------------------------------------

class TAdoOrvDbTableDef : public TOrvDbTableDef {
 public:
  explicit TAdoOrvDbTableDef(TAdoOrvDb* db) : TOrvDbTableDef(db), FAdoDb(db) {}
  // Fields in ordinal order from the columns rowset, indexes in order of first appearance from
  // the indexes rowset.
  void Load(const std::string& name) override;
  // CREATE TABLE with the columns (and, when full, NOT NULL and the primary key), then with full
  // one CREATE [UNIQUE] INDEX per other index. Every column clause is built before anything is
  // sent. A refused statement raises the driver's error with CR LF "SQL: " and the text appended.
  // A table, column or (with full) index name longer than the data source keeps raises, naming
  // it and the limit, before anything is sent.
  void CreateTable(const std::string& name, bool full) override;

  // DDL pieces. Identifiers are quoted with LEFTQUOTEMARK and RIGHTQUOTEMARK, bare when absent.
  // ColumnDDL raises "Ошибка создания таблицы: база данных не поддерживает тип поля" when the
  // provider has no type for the field. IndexDDL gives "PRIMARY KEY (...)" for a primary key and
  // a whole CREATE INDEX statement for any other index.
  std::string ColumnDDL(const TOrvDbFieldDef& field, bool full);
  std::string IndexDDL(const TOrvDbIndexDef& index, const std::string& tableName);

 private:
  void LoadAdoColumns(_Connection* connection, const std::string& name);
  void LoadAdoIndexes(_Connection* connection, const std::string& name);
  std::string QuoteIdentifier(const std::string& name) const;
  TAdoOrvDb* FAdoDb;
};

// --- statements --------------------------------------------------------------------------------

class TAdoOrvDbSQL : public TOrvDbObject, public IOrvDbSQL {
 public:
  explicit TAdoOrvDbSQL(TAdoOrvDb* db) : TOrvDbObject(db), FAdoDb(db) {}
  ~TAdoOrvDbSQL() override;

  std::string GetSQL() override { return FSQL; }
  // Only replaces the text; a held result stays readable until the next Execute.
  void SetSQL(const std::string& sql) override { FSQL = sql; }
  // Rewrites the quote marks, writes NULL for each Null parameter's marker, binds the others by
  // position with the provider type their DataType stands for (an untyped element is bound by its
  // value's own type) and runs the text. More markers than parameters raise CheckParamCount's
  // error before anything is sent. A failure leaves the previous result and count as they were.
  IOrvDbSQLPtr Execute(const TOrvDbParams& params) override;
  bool Eof() override;
  // The count of the last Execute (0 before the first), kept across Close.
  int RowsAffected() override { return FRowsAffected; }
  int FieldCount() override;
  int FieldIndex(const std::string& name) override;
  std::string FieldName(int index) override;
  TOrvDbFieldType FieldType(const Variant& column) override;
  // The current row's value: Null for SQL NULL whatever the column's type; integers exactly as
  // stored (a value beyond the column type's range comes back in a wider integer); dates as
  // dates; blobs as byte strings. A blob or memo value is handed on as the driver gives it, and
  // the statement keeps no copy.
  Variant GetValue(const Variant& column) override;
  // The typed getters give "", False, 0 or 0.0 for Null; the small integer getters keep the low
  // bits of the 32-bit value.
  std::string AsString(const Variant& column) override;
  std::string AsBlob(const Variant& column) override;
  bool AsBoolean(const Variant& column) override;
  int32_t AsInt32(const Variant& column) override;
  uint32_t AsUInt32(const Variant& column) override;
  float AsSingle(const Variant& column) override;
  double AsDouble(const Variant& column) override;
  TDateTime AsDateTime(const Variant& column) override;
  void Next() override;
  // Drops the result; harmless when there is none.
  void Close() override { ReleaseRecordset(); }
  void ReleaseRecordset() {
    FRecordset = nullptr;
    FLongReads.NewRow();
  }
  bool HasRecordset() const { return static_cast<bool>(FRecordset); }
  // Drops the command kept for the next Execute: once the database is opened again, the data
  // source, and with it the types the parameters were made for, may differ.
  void ForgetCommand();

 private:
  void CheckRecordsetOpen() const;
  RefPtr<Field> GetField(const Variant& column);
  static TOrvDbFieldType TypeOf(Field& f);
  // The field with its type, counted as read when it holds a memo or blob.
  RefPtr<Field> ReadField(const Variant& column, TOrvDbFieldType& type);
  // The value of a column of the current row, after the open check.
  Variant RawValue(const Variant& column);
  // The whole of a value through GetChunk, asking first for size (its length, or more): the
  // value's Null when it is Null, and the field's error when the row has handed it on already.
  Variant LongValue(Field& f, int64_t size);
  // A parameter element as the kept command was made for it: -1 for Null, else its field type.
  static int ShapeOf(const TOrvDbParam& p) { return p.Value.IsNull() ? -1 : p.DataType; }
  // The kept command suits elements of these shapes.
  bool CommandFits(const TOrvDbParams& params) const;
  // A command for the quoted text with these elements' Null markers written as NULL, and a
  // parameter for every other element, typed by its field type.
  void MakeCommand(const TOrvDbParams& params);
  TAdoOrvDb* FAdoDb;
  RefPtr<_Recordset> FRecordset;
  std::string FSQL;
  int32_t FRowsAffected = 0;
  // The last text after the quote-mark rewriting, kept for the next Execute of the same text.
  std::string FQuotedFor;
  std::string FQuoted;
  int FQuotedMarks = 0;  // the "?" marks of FQuoted
  // The command of the last Execute, kept with its parameters (FBound, one per non-Null element)
  // for the next Execute of the same text whose elements have the same shapes (FShape): a row
  // then only sets the parameters' values. The values are let go after each execution.
  RefPtr<_Command> FCommand;
  std::vector<RefPtr<Parameter>> FBound;
  std::vector<int> FShape;
  TLongValueReads FLongReads;
};

// "?" markers outside quoted literals whose parameter is Null become NULL; the others stay. A
// marker beyond the last parameter raises CheckParamCount's error.
std::string SubstituteNullParams(const std::string& text, const TOrvDbParams& params);
