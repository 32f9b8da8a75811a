// ADO-shaped data access over unixODBC.
//
// The database back-end talks to a data source through a connection, commands with positional
// parameters, forward-only recordsets and four schema rowsets, in ADO's terms and with ADO's
// type codes. Underneath, every call goes to an ODBC driver through the driver manager's wide
// (UTF-16) entry points:
//
//   _Connection::Open          SQLDriverConnectW (UserID/Password appended as the driver reads
//                              a login, and for a driver that would cache whole result sets the
//                              settings that make it fetch through a server cursor)
//   _Connection::Execute       a _Command with the text and no parameters
//   _Command::Execute          SQLPrepareW once per text (statements are cached by the
//                              connection), SQLBindParameter, SQLExecute, SQLRowCount
//   _Recordset::MoveNext       SQLFetch; Field values through SQLGetData, long values in chunks
//                              (psqlODBC's rows per server FETCH set before it, as its driver-
//                              specific connection attribute for Fetch)
//   Begin/Commit/RollbackTrans SQL_ATTR_AUTOCOMMIT off, SQLEndTran; nested levels are savepoints
//   OpenSchema                 SQLGetTypeInfo, SQLTables, SQLColumns, SQLStatistics with
//                              SQLPrimaryKeys, reshaped into the OLE DB schema rowsets
//
// Objects are reference-counted (TInterfacedObject) and handed out as RefPtr<...>; create them
// with `RefPtr<_Connection> c(new _Connection)`. A recordset keeps its driver cursor while it is
// referenced; releasing it gives the statement back to the connection. A commit or rollback of
// the outermost transaction, and Close of the connection, close every recordset of that
// connection: reading one afterwards raises EAdoError.
//
// Texts cross this edge as Windows-1251 byte strings; a value that Windows-1251 cannot hold
// raises EAdoError naming the column and the row. Blob values, parameter values and chunks of
// binary fields are byte strings too (a string Variant, one character a byte).
//
// The driver's diagnostics pass on as the driver gives them. The layer's own messages are Russian
// and speak of what a user knows: the data source, the query and its result, the column.
//
// EOF is a macro of the C library, so the recordset's end test is called Eof().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Interfaces.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Variant.h"

// --- ADO's enumerations (the published values) ---------------------------------------------

using DataTypeEnum = int32_t;
inline constexpr DataTypeEnum adEmpty = 0;
inline constexpr DataTypeEnum adSmallInt = 2;
inline constexpr DataTypeEnum adInteger = 3;
inline constexpr DataTypeEnum adSingle = 4;
inline constexpr DataTypeEnum adDouble = 5;
inline constexpr DataTypeEnum adCurrency = 6;
inline constexpr DataTypeEnum adDate = 7;
inline constexpr DataTypeEnum adBSTR = 8;
inline constexpr DataTypeEnum adBoolean = 11;
inline constexpr DataTypeEnum adVariant = 12;
inline constexpr DataTypeEnum adDecimal = 14;
inline constexpr DataTypeEnum adTinyInt = 16;
inline constexpr DataTypeEnum adUnsignedTinyInt = 17;
inline constexpr DataTypeEnum adUnsignedSmallInt = 18;
inline constexpr DataTypeEnum adUnsignedInt = 19;
inline constexpr DataTypeEnum adBigInt = 20;
inline constexpr DataTypeEnum adUnsignedBigInt = 21;
inline constexpr DataTypeEnum adGUID = 72;
inline constexpr DataTypeEnum adBinary = 128;
inline constexpr DataTypeEnum adChar = 129;
inline constexpr DataTypeEnum adWChar = 130;
inline constexpr DataTypeEnum adNumeric = 131;
inline constexpr DataTypeEnum adDBDate = 133;
inline constexpr DataTypeEnum adDBTime = 134;
inline constexpr DataTypeEnum adDBTimeStamp = 135;
inline constexpr DataTypeEnum adVarNumeric = 139;
inline constexpr DataTypeEnum adVarChar = 200;
inline constexpr DataTypeEnum adLongVarChar = 201;
inline constexpr DataTypeEnum adVarWChar = 202;
inline constexpr DataTypeEnum adLongVarWChar = 203;
inline constexpr DataTypeEnum adVarBinary = 204;
inline constexpr DataTypeEnum adLongVarBinary = 205;

using SchemaEnum = int32_t;
inline constexpr SchemaEnum adSchemaColumns = 4;
inline constexpr SchemaEnum adSchemaIndexes = 12;
inline constexpr SchemaEnum adSchemaTables = 20;
inline constexpr SchemaEnum adSchemaProviderTypes = 22;

inline constexpr int32_t adParamInput = 1;     // ParameterDirectionEnum
inline constexpr int32_t adParamSigned = 16;   // ParameterAttributesEnum
inline constexpr int32_t adParamNullable = 64;
inline constexpr int32_t adParamLong = 128;

// FieldAttributeEnum; the same bits are the OLE DB column flags of the columns rowset.
inline constexpr int32_t adFldUnknownUpdatable = 0x8;
inline constexpr int32_t adFldFixed = 0x10;
inline constexpr int32_t adFldIsNullable = 0x20;
inline constexpr int32_t adFldMayBeNull = 0x40;
inline constexpr int32_t adFldLong = 0x80;

inline constexpr int32_t adCmdText = 1;              // CommandTypeEnum
inline constexpr int32_t adCmdUnknown = 8;
inline constexpr int32_t adOptionUnspecified = -1;   // ConnectOptionEnum
inline constexpr int32_t adStateClosed = 0;          // ObjectStateEnum
inline constexpr int32_t adStateOpen = 1;

// --- errors ----------------------------------------------------------------------------------

// A failure of the driver or of this layer. The message holds the driver's diagnostics, each as
// "[SQLSTATE] text"; SQLState() and NativeError() are those of the first record ("" and 0 for
// the layer's own errors).
class EAdoError : public Exception {
 public:
  explicit EAdoError(std::string message, std::string sqlState = std::string(),
                     int32_t nativeError = 0);
  const std::string& SQLState() const { return FSQLState; }
  int32_t NativeError() const { return FNativeError; }

 private:
  std::string FSQLState;
  int32_t FNativeError;
};
using EOleException = EAdoError;

class _Connection;
class _Recordset;
class _Command;

// --- fields ------------------------------------------------------------------------------------

// One column of a recordset, seen at the recordset's current row.
class Field : public TInterfacedObject {
 public:
  const std::string& Name() const { return FName; }
  DataTypeEnum Type() const { return FType; }
  // adFldFixed, adFldIsNullable, adFldMayBeNull, adFldLong.
  int32_t Attributes() const { return FAttributes; }
  // Digits of numeric columns (0 for others) and the digits after the point.
  int32_t Precision() const { return FPrecision; }
  int32_t NumericScale() const { return FNumericScale; }
  // The size the driver reports for the column (characters or bytes; 0 when unknown).
  int64_t DefinedSize() const { return FDefinedSize; }

  // The current row's value: Null for SQL NULL, a Windows-1251 string for text, a byte string
  // for binary data, a date Variant for dates and times. A long value is read whole. A number
  // whose driver's text lies past the largest double only by the rounding of its last digit is
  // the largest double of its sign; a stored infinity stays infinite.
  Variant Value();
  // Length of the current value in bytes (characters of text); 0 for Null. For a long binary
  // value the driver is asked for the length without reading the data.
  int64_t ActualSize();
  // The next Length bytes (characters of text) of the current value, continuing where the
  // previous GetChunk of this row stopped; fewer only where the value ends. Null when nothing
  // is left or the value is Null.
  Variant GetChunk(int64_t Length);

 private:
  friend class _Recordset;
  // The recordset, checked to be open and on a row.
  _Recordset& Row();
  _Recordset* FOwner = nullptr;  // cleared when the recordset goes
  int FIndex = 0;
  std::string FName;
  DataTypeEnum FType = adEmpty;
  int32_t FAttributes = 0;
  int32_t FPrecision = 0;
  int32_t FNumericScale = 0;
  int64_t FDefinedSize = 0;
};

class AdoFields {
 public:
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  // By 0-based position (any integer Variant) or by name (a string, compared without case in
  // the user's locale). A missing item raises EAdoError.
  RefPtr<Field> Item(const Variant& Index) const;
  RefPtr<Field> Item(int32_t Index) const;
  RefPtr<Field> Item(const std::string& Name) const;
  RefPtr<Field> Item(const char* Name) const { return Item(std::string(Name)); }

 private:
  friend class _Recordset;
  std::vector<RefPtr<Field>> FItems;
};

// --- recordsets --------------------------------------------------------------------------------

// A forward-only result: the rows of a driver cursor, read one at a time, or the rows of a
// schema rowset. A statement that returns no rows gives a closed recordset.
class _Recordset : public TInterfacedObject {
 public:
  ~_Recordset() override;
  int32_t State() const;
  // True when the cursor stands after the last row. Raises EAdoError on a closed recordset.
  bool Eof();
  void MoveNext();
  AdoFields& Fields();
  // Gives the driver cursor back; the recordset is closed afterwards. Closing twice is harmless.
  void Close();

  // Made by the layer only (commands and schema rowsets).
  struct Impl;
  explicit _Recordset(std::unique_ptr<Impl> impl);
  Impl& GetImpl() { return *FImpl; }
  // Closes the recordset for good: the end of a transaction or the close of the connection.
  // Reading it afterwards raises EAdoError naming the reason.
  void Drop(const char* reason);

 private:
  friend class Field;
  void CheckOpen() const;

  std::unique_ptr<Impl> FImpl;
  AdoFields FFields;
};

// --- commands and parameters ---------------------------------------------------------------

class Parameter : public TInterfacedObject {
 public:
  const std::string& Name() const { return FName; }
  void SetName(const std::string& v) { FName = v; }
  DataTypeEnum Type() const { return FType; }
  void SetType(DataTypeEnum v) { FType = v; }
  int32_t Direction() const { return FDirection; }
  void SetDirection(int32_t v) { FDirection = v; }
  // Characters of text or bytes of binary values; -1 or 0 when not given.
  int64_t Size() const { return FSize; }
  void SetSize(int64_t v) { FSize = v; }
  // adParamSigned, adParamNullable, adParamLong (binds the value as a long one).
  int32_t Attributes() const { return FAttributes; }
  void SetAttributes(int32_t v) { FAttributes = v; }
  int32_t Precision() const { return FPrecision; }
  void SetPrecision(int32_t v) { FPrecision = v; }
  int32_t NumericScale() const { return FNumericScale; }
  void SetNumericScale(int32_t v) { FNumericScale = v; }
  // Empty and Null both send SQL NULL. Binary values are byte strings.
  const Variant& Value() const { return FValue; }
  void SetValue(const Variant& v) { FValue = v; }

 private:
  friend class _Command;
  std::string FName;
  DataTypeEnum FType = adEmpty;
  int32_t FDirection = adParamInput;
  int64_t FSize = 0;
  int32_t FAttributes = 0;
  int32_t FPrecision = 0;
  int32_t FNumericScale = 0;
  Variant FValue;
};

class AdoParameters {
 public:
  void Append(const RefPtr<Parameter>& Object);
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  RefPtr<Parameter> Item(int32_t Index) const;
  void Delete(int32_t Index);
  void Clear() { FItems.clear(); }

 private:
  std::vector<RefPtr<Parameter>> FItems;
};

// A statement text with positional parameters ("?"), run on its active connection. The
// prepared driver statement is kept between executions of the same text.
class _Command : public TInterfacedObject {
 public:
  _Command();
  ~_Command() override;
  RefPtr<_Connection> ActiveConnection() const { return FConnection; }
  void SetActiveConnection(const RefPtr<_Connection>& Connection);
  const std::string& CommandText() const { return FCommandText; }
  void SetCommandText(const std::string& Text) {
    FCommandText = Text;
    FTextRead = false;
  }
  // Seconds; 0 waits without limit. Starts at 30, as ADO's does.
  int32_t CommandTimeout() const { return FCommandTimeout; }
  void SetCommandTimeout(int32_t Seconds) { FCommandTimeout = Seconds; }
  RefPtr<Parameter> CreateParameter(const std::string& Name = std::string(),
                                    DataTypeEnum Type = adEmpty, int32_t Direction = adParamInput,
                                    int64_t Size = 0, const Variant& Value = Variant());
  AdoParameters& Parameters() { return FParameters; }
  // Runs the text with the appended parameters (or, when Parameters is an array Variant, with
  // its elements, typed by their Variant types). RecordsAffected receives the driver's row
  // count (-1 for a query). The result is open when the statement returned columns.
  RefPtr<_Recordset> Execute(Variant* RecordsAffected = nullptr,
                             const Variant* Parameters = nullptr, int32_t Options = adCmdText);

  struct Statement;

 private:
  RefPtr<_Connection> FConnection;
  std::string FCommandText;
  int32_t FCommandTimeout = 30;
  AdoParameters FParameters;
  std::unique_ptr<Statement> FStatement;  // prepared for FWideText, idle
  // FCommandText as the driver is given it, and whether it changes the database's structure;
  // worked out once a text.
  bool FTextRead = false;
  std::u16string FWideText;
  bool FChangesStructure = false;
  RefPtr<_Recordset> FNoRows;  // the closed result of a statement without rows, handed out again
};

// --- connections -------------------------------------------------------------------------------

struct AdoProperty {
  std::string Name;
  Variant Value;
};

// Dynamic properties of an open connection: "USER NAME", "DBMS Name", "DBMS Version",
// "Driver Name", "Driver ODBC Version", "Current Catalog", "Data Source Name", and the longest
// names the data source takes, in the units of _Connection::NameSize (0: no limit):
// "Maximum Table Name Length", "Maximum Column Name Length", "Maximum Index Name Length".
class AdoProperties {
 public:
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  // By name without case; a missing name raises EAdoError.
  const AdoProperty& Item(const std::string& Name) const;
  const AdoProperty& Item(int32_t Index) const;

 private:
  friend class _Connection;
  std::vector<AdoProperty> FItems;
};

// One ODBC connection. Hold it by RefPtr only: the commands and recordsets made on it keep
// counted references to it, so it lives as long as the last of them.
class _Connection : public TInterfacedObject {
 public:
  _Connection();
  ~_Connection() override;

  // ConnectionString is an ODBC connection string ("DRIVER=SQLite3;Database=/tmp/x.db"), read as
  // the driver manager reads it (OdbcConnectionStrings.h); UserID and Password, when not empty,
  // are added to it as its driver reads a login (OdbcLoginAttributes), so that they arrive whole
  // whatever they hold. PostgreSQL's driver is told to read result sets through a server cursor
  // (UseDeclareFetch=1), unless the string or its data source sets that switch itself
  // (UseDeclareFetch, B6 or CX, read as the driver reads them: "false" or "no" is off); a failed
  // statement then ends the connection's other open results, whose next read raises EAdoError.
  // Unless the string or data source sets its Fetch count too, a result's first four rows come
  // with the query (Fetch=4) and each later fetch brings as many rows as about 4 MB hold by what
  // the result's rows proved to take: at least four, at most 4096, and never more than were read
  // before it.
  // A refused connection raises EAdoError with the driver's diagnostics. The login waits at
  // most ConnectionTimeout.
  void Open(const std::string& ConnectionString = std::string(),
            const std::string& UserID = std::string(), const std::string& Password = std::string(),
            int32_t Options = adOptionUnspecified);
  // Closes every recordset of the connection, rolls back an open transaction, disconnects.
  void Close();
  int32_t State() const;
  const std::string& ConnectionString() const { return FConnectionString; }
  void SetConnectionString(const std::string& Text) { FConnectionString = Text; }
  // Seconds; 0 waits without limit. ConnectionTimeout starts at DefaultConnectionTimeout,
  // CommandTimeout at 600.
  static constexpr int32_t DefaultConnectionTimeout = 15;
  int32_t ConnectionTimeout() const { return FConnectionTimeout; }
  void SetConnectionTimeout(int32_t Seconds) { FConnectionTimeout = Seconds; }
  int32_t CommandTimeout() const { return FCommandTimeout; }
  void SetCommandTimeout(int32_t Seconds) { FCommandTimeout = Seconds; }

  // Runs one statement without parameters; Options is adCmdText or adCmdUnknown.
  RefPtr<_Recordset> Execute(const std::string& CommandText, Variant* RecordsAffected = nullptr,
                             int32_t Options = adCmdText);

  // Returns the new nesting level. The first level switches autocommit off; deeper levels are
  // savepoints. Commit or rollback of the first level closes the connection's recordsets.
  // Without a transaction, CommitTrans and RollbackTrans raise EAdoError. Either ends its level
  // also when the data source refuses it, and raises the refusal after that: a refused commit
  // first rolls the level's work back (the first level's, or a deeper one's to its savepoint),
  // so that no later commit can make it permanent. Where a savepoint cannot be rolled back to and
  // released, the whole transaction is rolled back (level 0); where even that is refused, the
  // connection is closed, which discards the work.
  int32_t BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  int32_t TransactionLevel() const;

  // The driver's file name and the engine's name, e.g. "psqlodbcw.so PostgreSQL";
  // "ODBC" before the connection is open.
  std::string Provider() const;
  AdoProperties& Properties();
  // How long a name is as the data source stores it, the measure of the "Maximum ... Name
  // Length" properties: bytes of the server's character set for PostgreSQL, bytes of UTF-8
  // (what the driver is given) for the others.
  int64_t NameSize(const std::string& Name) const;

  // One of the four schema rowsets. Restrictions is Empty or an array Variant whose elements
  // restrict the rowset's leading columns in ADO's order; an Empty or Null element leaves its
  // column unrestricted. Names are compared literally (no patterns).
  //   adSchemaProviderTypes: DATA_TYPE, BEST_MATCH
  //   adSchemaTables:        TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE
  //   adSchemaColumns:       TABLE_CATALOG, TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME
  //   adSchemaIndexes:       TABLE_CATALOG, TABLE_SCHEMA, INDEX_NAME, TYPE, TABLE_NAME
  RefPtr<_Recordset> OpenSchema(SchemaEnum Schema, const Variant& Restrictions = Variant(),
                                const Variant& SchemaID = Variant());

  struct Impl;
  Impl& GetImpl() { return *FImpl; }

 private:
  std::unique_ptr<Impl> FImpl;
  std::string FConnectionString;
  int32_t FConnectionTimeout = DefaultConnectionTimeout;
  int32_t FCommandTimeout = 600;
  AdoProperties FProperties;
};
