// Inside of the ADO-shaped layer: ODBC handles, diagnostics, the statement cache, the
// recordset's cursor state and the mapping of ODBC types to ADO type codes. Nothing outside
// platform/ado includes this header.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/Ado.h"

namespace adoodbc {

// The rows psqlODBC's first FETCH of a server cursor brings, before anything is known of them.
inline constexpr int32_t kFirstFetchRows = 4;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the layer expects 2-byte SQLWCHAR");

// The process's ODBC environment (ODBC 3 behaviour), made on first use.
SQLHENV Environment();

// The diagnostics of a handle as an exception; `fallback` is the text when the driver gave none.
[[noreturn]] void Raise(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view fallback);
inline void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle,
                  std::string_view fallback) {
  if (!SQL_SUCCEEDED(rc)) Raise(handleType, handle, fallback);
}

// Windows-1251 <-> the driver's UTF-16.
std::u16string Wide(std::string_view ansi);
inline SQLWCHAR* W(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }
// Raises EConvertError when a character has no place in Windows-1251.
std::string Narrow(const SQLWCHAR* s, size_t length);
// For diagnostics and names: unconvertible characters become '?'.
std::string NarrowLossy(const SQLWCHAR* s, size_t length);

// How a read of a long value ended.
enum class LongRead {
  Null,     // the value is NULL; nothing was appended
  Nothing,  // the value had been read to its end by earlier calls
  Part,     // `limit` units were appended and more remain
  End       // the rest of the value was appended
};
// Appends the value of a column, from where the previous SQLGetData of this row stopped, to
// `out`: bytes (SQL_C_BINARY) into a std::string, UTF-16 units (SQL_C_WCHAR) into a
// std::u16string; at most `limit` units, or all that is left when `limit` is negative. A small
// first piece tells the length the driver has left, and the rest comes in one more call (in
// growing pieces when the driver cannot tell), so no value is cut and a driver that redoes
// its work for every call does it at most twice.
template <class Unit>
LongRead ReadLong(SQLHSTMT statement, SQLUSMALLINT column, int64_t limit,
                  std::basic_string<Unit>& out);
// Reads a whole text value of a column; false when it is NULL.
bool ReadWideText(SQLHSTMT statement, SQLUSMALLINT column, std::u16string& out);

// --- type mapping -------------------------------------------------------------------------

// How a column's values are fetched with SQLGetData.
enum class ReadKind { Bool, Signed, Unsigned, Single, Double, Numeric, Date, Time, Timestamp,
                      Text, Binary };

// An ODBC column or type described in ADO's terms.
struct AdoTypeInfo {
  DataTypeEnum schemaType = adEmpty;  // DATA_TYPE of the schema rowsets (129/130/128 for strings)
  DataTypeEnum fieldType = adEmpty;   // Field.Type of a recordset (129/200/201, 128/204/205)
  bool isLong = false;
  bool isFixed = false;
  ReadKind kind = ReadKind::Text;
  int32_t precision = 0;              // digits of the numeric types, 0 otherwise
};
// `size` is the driver's COLUMN_SIZE (<= 0 when it does not know one).
AdoTypeInfo MapSqlType(SQLSMALLINT sqlType, SQLLEN size, bool isUnsigned);

// --- catalogue helpers ----------------------------------------------------------------------

// One row of the driver's SQLGetTypeInfo, as the types rowset and the columns rowset need it.
struct DriverType {
  std::string name;
  SQLSMALLINT sqlType = 0;
  std::optional<int64_t> columnSize;
  bool isUnsigned = false;
  bool nullable = true;
  std::optional<int32_t> minScale, maxScale;
  std::string createParams, prefix, suffix, localName;
  bool caseSensitive = false, fixedPrecScale = false, autoUnique = false;
  int32_t searchable = 0;
};

}  // namespace adoodbc

// A driver statement, prepared for one text, with the buffers its parameters are bound to.
struct _Command::Statement {
  struct Bound {
    SQLSMALLINT cType = 0, sqlType = 0, digits = 0;
    SQLULEN columnSize = 0;
    std::string buffer;  // the value as the C type expects it
    // Binary bytes are bound where the parameter's value holds them, not copied to `buffer`;
    // they are read only while the statement executes.
    const std::string* borrowed = nullptr;
    SQLLEN indicator = 0;
    // What was last handed to SQLBindParameter; equal means no rebinding is needed.
    SQLSMALLINT boundC = -1, boundSql = -1, boundDigits = -1;
    SQLULEN boundSize = 0;
    const void* boundPtr = nullptr;
    SQLLEN boundLength = -1;
  };
  _Connection::Impl* owner = nullptr;  // null once the connection has closed
  SQLHSTMT handle = nullptr;
  std::u16string text;
  bool prepared = false;
  int32_t timeout = -1;
  std::vector<Bound> params;

  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();
};

struct _Connection::Impl {
  _Connection* self = nullptr;
  SQLHDBC dbc = nullptr;
  bool open = false;
  int32_t transLevel = 0;
  std::vector<_Recordset*> recordsets;  // every recordset that still reads this connection
  // Idle prepared statements, most recently used last.
  std::vector<std::unique_ptr<_Command::Statement>> idle;
  std::vector<_Command::Statement*> statements;  // every live statement of this connection
  std::string driverName, dbmsName;
  bool getDataAnyOrder = false;
  bool singleByteNames = false;  // the server keeps names in a one-byte character set
  // Result sets are read through server cursors, which a failed statement of the connection
  // ends (the server aborts the transaction that holds them) while the driver goes on to
  // report their end as if every row had been read.
  bool serverCursors = false;
  // The rows each FETCH of a server cursor brings now (psqlODBC's Fetch setting, which the layer
  // changes for every result); 0 where the layer leaves the driver's setting alone.
  int32_t fetchRows = 0;
  std::u16string searchEscape;
  std::vector<adoodbc::DriverType> types;
  bool typesLoaded = false;

  void CheckOpen() const;
  // Makes the next FETCH of the connection's server cursors bring `rows` rows; nothing where the
  // layer does not size fetches. A driver that refuses keeps its setting, and no more is asked.
  void SetFetchRows(int32_t rows);
  // An idle statement prepared for the text, or a new one (not yet prepared).
  std::unique_ptr<_Command::Statement> Take(const std::u16string& text);
  // Closes the statement's cursor and keeps it for the next execution of its text.
  void GiveBack(std::unique_ptr<_Command::Statement> statement);
  void DropRecordsets(const char* reason);
  // After a failed statement: where that ends the server cursors, the recordsets that read
  // through them are closed, so that reading on raises instead of ending early.
  void StatementFailed();
  // Ends the outermost level with SQLEndTran(completion). A commit the driver refuses rolls the
  // work back before its error passes on: nothing of it stays pending for a later commit.
  void EndTransaction(SQLSMALLINT completion);
  // Ends the innermost savepoint level, releasing it (commit) or rolling its work back first. A
  // release the data source refuses rolls the level's work back before its error passes on.
  void EndSavepoint(bool commit);
  // After a refusal that leaves the work of the transaction unsure: rolls all of it back and ends
  // the transaction. When even the rollback is refused the connection is closed, the one way left
  // that discards the work rather than committing it.
  void AbandonTransaction();
  // A fresh statement handle for a catalogue call.
  SQLHSTMT NewCatalogStatement();
  const std::vector<adoodbc::DriverType>& DriverTypes();
  const adoodbc::DriverType* FindDriverType(const std::string& name, SQLSMALLINT sqlType);
  // The name as a search pattern that matches only itself.
  std::u16string Pattern(const std::string& name) const;
};

// Column description, shared by cursors and schema rowsets.
struct ColumnDesc {
  std::string name;
  adoodbc::AdoTypeInfo type;
  int32_t attributes = 0;
  int32_t scale = 0;
  int64_t size = 0;
};

struct _Recordset::Impl {
  RefPtr<_Connection> connection;
  std::vector<ColumnDesc> columns;
  bool open = true;
  bool eof = true;
  const char* closedReason = nullptr;
  int64_t rowNumber = 0;  // 1-based number of the current row

  // A driver cursor ...
  std::unique_ptr<_Command::Statement> statement;
  struct Cell {
    enum State { Unread, Cached, Streaming, Finished } state = Unread;
    Variant value;           // when Cached
    int64_t total = -1;      // known length in bytes/characters, -1 when not asked yet
    int64_t offset = 0;      // bytes/characters handed out by GetChunk
  };
  std::vector<Cell> cells;
  int lastRead = -1;       // highest column touched by SQLGetData in this row
  bool anyOrder = false;
  std::u16string wide;     // a text value as the driver gives it, on its way to Windows-1251
  // Where the connection sizes its fetches: what a row of this result takes in the driver's
  // cache, by the columns' declared sizes and, for a column of unbounded size, by the longest
  // value read from it so far (`longest`, -1 until one was read; `unread` counts such columns).
  std::vector<int64_t> longest;
  int64_t rowBytes = 0;
  int64_t rowsInBudget = 0;  // the rows of rowBytes one fetch may bring
  int unread = 0;

  // ... or rows held in memory (schema rowsets).
  std::vector<std::vector<Variant>> rows;
  size_t position = 0;
  bool inMemory = false;

  void Fetch();
  // Sets up the sizing of fetches from the columns.
  void StartFetchSizing();
  // A value of `column` proved `length` bytes or characters long (0 for Null).
  void NoteLength(int column, int64_t length);
  // The rows the next FETCH should bring.
  int32_t RowsPerFetch() const;
  // Reads the rest of a text or binary column's value into the empty `out` (at most `limit` bytes
  // or characters; all of it when negative), text in Windows-1251.
  adoodbc::LongRead ReadLongValue(int column, int64_t limit, std::string& out);
  Variant ReadWhole(int column);
  // Reads the whole value into the cell and keeps it there.
  void CacheWhole(Cell& cell, int column);
  Cell& Prepare(int column);
  Variant CellValue(int column);
  int64_t CellSize(int column);
  Variant CellChunk(int column, int64_t length);
};

// The schema rowsets (AdoSchema.cpp).
RefPtr<_Recordset> OpenSchemaRowset(_Connection& connection, SchemaEnum schema,
                                    const std::vector<Variant>& restrictions);
// A recordset over rows held in memory.
RefPtr<_Recordset> MakeMemoryRecordset(_Connection& connection, std::vector<ColumnDesc> columns,
                                       std::vector<std::vector<Variant>> rows);
// A recordset over the cursor of an executed statement (which has result columns).
RefPtr<_Recordset> MakeCursorRecordset(_Connection& connection,
                                       std::unique_ptr<_Command::Statement> statement);
