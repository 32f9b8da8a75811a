// The InterBase statement component (TIBSQL) with its parameters and result columns (TIBXSQLDA of
// TIBXSQLVAR).
//
// A statement is prepared once and executed any number of times; a SELECT opens a forward-only
// cursor whose rows are fetched one at a time into the column buffers (no result is ever held
// whole). Parameters are written ":name" in the text (ParamCheck) or "?" and are reached by
// position in the order of their marks. Blob values move through the blob calls in segments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ibx/IBDatabase.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Variant.h"

class TIBSQL;

// The engine's SQL type codes of a column or parameter (the null flag, the low bit, removed).
namespace IBSQLType {
inline constexpr int Varying = 448;
inline constexpr int Text = 452;
inline constexpr int Double = 480;
inline constexpr int Float = 482;
inline constexpr int Long = 496;
inline constexpr int Short = 500;
inline constexpr int Timestamp = 510;
inline constexpr int Blob = 520;
inline constexpr int DFloat = 530;
inline constexpr int Array = 540;
inline constexpr int Quad = 550;
inline constexpr int TypeTime = 560;
inline constexpr int TypeDate = 570;
inline constexpr int Int64 = 580;
inline constexpr int Boolean = 32764;
inline constexpr int Null = 32766;
}  // namespace IBSQLType

// One result column or one parameter.
//
// Reading converts from the column's own type: numbers with a negative scale are exact decimals
// (NUMERIC/DECIMAL), dates and times become TDateTime, blobs are read whole for AsString and
// AsVariant. A Null reads as 0, the empty string or 0.0 (AsVariant: Null). A conversion that
// cannot be made (text that is no number, a value out of range, an array column) raises
// EIBClientError.
//
// Writing a parameter sends the value in the setter's own type and lets the engine convert it to
// the parameter's type, so AsString on an INTEGER parameter is parsed by the engine; writing a
// blob parameter (AsString, LoadFromStream) creates the blob at once in the statement's active
// transaction. Parameters that share one ":name" in the text share their value: writing one
// writes them all.
class TIBXSQLVAR {
 public:
  TIBXSQLVAR(TIBSQL* owner, void* xsqlvar, int index, bool isParam);
  TIBXSQLVAR(const TIBXSQLVAR&) = delete;
  TIBXSQLVAR& operator=(const TIBXSQLVAR&) = delete;

  int Index() const { return FIndex; }
  // The column's alias (its name in the result), the underlying column name and its table.
  const std::string& Name() const { return FName; }
  const std::string& SQLName() const { return FSQLName; }
  const std::string& RelationName() const { return FRelationName; }
  // The type as described by the engine (a parameter keeps its described type whatever value
  // was written into it), its subtype (blob subtype; character set of text), scale and length.
  int SQLType() const { return FDescType; }
  int SQLSubtype() const { return FDescSubtype; }
  int SQLScale() const { return FDescScale; }
  int SQLLen() const { return FDescLen; }
  bool IsNullable() const { return FDescNullable; }

  bool IsNull() const;
  void SetIsNull(bool value);
  void Clear() { SetIsNull(true); }

  std::string AsString() const;
  int16_t AsShort() const;
  int32_t AsLong() const;
  int64_t AsInt64() const;
  float AsFloat() const;
  double AsDouble() const;
  // Currency scaled by 10 000 (the class library's Currency), rounded half to even.
  int64_t AsCurrency() const;
  TDateTime AsDateTime() const;
  bool AsBoolean() const;
  // Null; a string (text, blob bytes); Smallint, Integer or Int64 for whole numbers; currency
  // for scales -1 to -4 and Double below; Single; Double; a date-time; a Boolean.
  Variant AsVariant() const;
  // Writes the blob's bytes (or the text of any other column) to the stream, segment by segment.
  void SaveToStream(TStream& stream) const;

  void SetAsString(const std::string& value);
  void SetAsShort(int16_t value);
  void SetAsLong(int32_t value);
  void SetAsInt64(int64_t value);
  void SetAsFloat(float value);
  void SetAsDouble(double value);
  void SetAsCurrency(int64_t scaled);
  void SetAsDateTime(TDateTime value);
  void SetAsBoolean(bool value);
  // By the Variant's type; Empty and Null give a null parameter. An array raises EIBClientError.
  void SetAsVariant(const Variant& value);
  // The stream's bytes from its current position to its end; a blob parameter gets them as a
  // blob written in segments, any other parameter as a string.
  void LoadFromStream(TStream& stream);

 private:
  friend class TIBSQL;
  friend class TIBXSQLDA;
  void* Var() const { return FVar; }
  void AllocateColumnBuffer();
  void CheckParam() const;
  void SetScalar(int type, int scale, const void* data, int len);
  void ShareValue();
  [[noreturn]] void ConversionError(const std::string& target) const;
  int64_t ScaledValue(int& scale) const;
  std::string ReadBlob() const;
  void WriteBlob(TStream& stream);

  TIBSQL* FOwner;
  void* FVar;  // the XSQLVAR inside the owner's descriptor area
  int FIndex;
  bool FIsParam;
  std::string FName, FSQLName, FRelationName;
  int FDescType = 0, FDescSubtype = 0, FDescScale = 0, FDescLen = 0;
  bool FDescNullable = true;
  short FNullInd = -1;
  std::vector<char> FData;  // the value's bytes; sqldata points here
  std::vector<TIBXSQLVAR*> FSameName;  // the other parameters of the same name
};

// The descriptor area of a statement's parameters or of its result columns.
class TIBXSQLDA {
 public:
  TIBXSQLDA(TIBSQL* owner, bool isParams) : FOwner(owner), FIsParams(isParams) {}
  int Count() const { return static_cast<int>(FVars.size()); }
  // EIBClientError for a position out of range.
  TIBXSQLVAR& Vars(int index) const;
  TIBXSQLVAR& operator[](int index) const { return Vars(index); }
  // The first entry of that name (case-insensitive), or null.
  TIBXSQLVAR* ByName(const std::string& name) const;
  int IndexOf(const std::string& name) const;

 private:
  friend class TIBSQL;
  void* Area() const { return FArea.get(); }
  void Allocate(int count);
  void Build(const std::vector<std::string>& names);
  void Reset();

  TIBSQL* FOwner;
  bool FIsParams;
  std::unique_ptr<char[]> FArea;  // the XSQLDA
  std::vector<std::unique_ptr<TIBXSQLVAR>> FVars;
  std::vector<std::string> FNames;  // parameter names from the text, by position ("" for "?")
};

// The kind of a prepared statement, as the engine reports it.
enum TIBSQLTypes {
  SQLUnknown, SQLSelect, SQLInsert, SQLUpdate, SQLDelete, SQLDDL, SQLGetSegment, SQLPutSegment,
  SQLExecProcedure, SQLStartTransaction, SQLCommit, SQLRollback, SQLSelectForUpdate,
  SQLSetGenerator
};

class TIBSQL : public TIBBase {
 public:
  TIBSQL();
  // Closes the cursor and releases the statement handle.
  ~TIBSQL() override;

  // The statement text; a change is noticed at the next Prepare, Params or ExecQuery, which then
  // prepare the new text.
  TStringList& SQL() { return FSQL; }
  // When true (the default) ":name" marks outside literals and comments are sent as "?".
  bool ParamCheck() const { return FParamCheck; }
  void SetParamCheck(bool value) { FParamCheck = value; }
  // When true (the default) ExecQuery of a SELECT stands on the first row at once.
  bool GoToFirstRecordOnExecute() const { return FGoToFirst; }
  void SetGoToFirstRecordOnExecute(bool value) { FGoToFirst = value; }

  // Prepares the text in the database's dialect; engine errors (syntax, unknown table, a name
  // longer than 31 bytes) raise EIBInterBaseError and leave the statement unprepared.
  void Prepare();
  bool Prepared() const { return FHandle != 0 && FPrepared; }
  // Closes the cursor and releases the statement handle (DSQL_drop).
  void FreeHandle();
  TIBSQLTypes SQLType();
  // The text as sent to the engine (":name" marks replaced).
  const std::string& ProcessedSQL() const { return FProcessedSQL; }

  // Runs the statement with the current parameter values. A SELECT opens the cursor (and with
  // GoToFirstRecordOnExecute fetches the first row; Eof is then true for an empty result); a
  // statement with output values (EXECUTE PROCEDURE, RETURNING) has them in Current.
  void ExecQuery();
  // Closes the cursor; the statement stays prepared.
  void Close();
  bool Open() const { return FCursorOpen; }
  // True when no current row stands: before ExecQuery, past the last row, after Close.
  bool Eof() const { return FEof; }
  bool Bof() const { return FBof; }
  // Fetches the next row into Current; null (and Eof) past the last one.
  TIBXSQLDA* Next();
  // Rows fetched so far.
  int RecordCount() const { return FRecordCount; }

  // The parameters, prepared on demand.
  TIBXSQLDA& Params();
  TIBXSQLVAR& ParamByName(const std::string& name);
  // The result columns with the current row's values, prepared on demand.
  TIBXSQLDA& Current();
  TIBXSQLVAR& Fields(int index) { return Current().Vars(index); }
  // EIBClientError naming the column when absent.
  TIBXSQLVAR& FieldByName(const std::string& name);
  // Position of the column of that name (case-insensitive), or -1.
  int FieldIndex(const std::string& name);

  // After ExecQuery: rows inserted, updated or deleted by it, rows fetched by a SELECT; -1 for
  // statements that touch no rows (DDL).
  int RowsAffected();

  // The isc_stmt_handle (0 when unprepared).
  uint32_t* Handle() { return &FHandle; }

 protected:
  void DatabaseDisconnecting() override;
  void TransactionEnding() override;

 private:
  friend class TIBXSQLVAR;
  void CheckPrepared();
  bool TextChanged() const;

  TStringList FSQL;
  std::vector<std::string> FPreparedLines;
  std::string FProcessedSQL;
  bool FParamCheck = true;
  bool FGoToFirst = true;
  uint32_t FHandle = 0;
  bool FPrepared = false;
  TIBSQLTypes FSQLType = SQLUnknown;
  bool FCursorOpen = false;
  bool FEof = true;
  bool FBof = false;
  int FRecordCount = 0;
  TIBXSQLDA FParams;
  TIBXSQLDA FColumns;
};

// Rewrites ":name" parameter marks outside quotes and comments into "?"; names receives each
// mark's name in order ("" for a "?" already in the text).
std::string PreprocessSQL(const std::string& sql, std::vector<std::string>& names);

// The identifier as written in statements of that dialect: in dialect 3 between double quotes
// (doubled inside), so that the name is kept exactly; in dialect 1 as it stands. A name already
// between double quotes is taken as written.
std::string QuoteIdentifier(int dialect, const std::string& name);
// The identifier as the catalogue stores it: the quoted form's content, or in dialect 1 the name
// in capitals.
std::string CatalogueName(int dialect, const std::string& name);
