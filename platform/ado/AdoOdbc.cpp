// The ODBC environment, diagnostics, text conversion and the one table that maps ODBC's SQL
// types to ADO's DataTypeEnum codes.
#include "platform/ado/AdoOdbc.h"

#include <algorithm>

#include "platform/rtl/AnsiText.h"

EAdoError::EAdoError(std::string message, std::string sqlState, int32_t nativeError)
    : Exception(std::move(message)), FSQLState(std::move(sqlState)), FNativeError(nativeError) {}

namespace adoodbc {

namespace {

// A named function rather than a lambda: clang 14 fails on a text literal inside a lambda that
// initialises a static.
SQLHENV NewEnvironment() {
  SQLHENV h = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h)))
    throw EAdoError("Диспетчер драйверов ODBC недоступен: источники данных ODBC не открываются"_ansi);
  SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  return h;
}

}  // namespace

SQLHENV Environment() {
  static SQLHENV env = NewEnvironment();
  return env;
}

void Raise(SQLSMALLINT handleType, SQLHANDLE handle, std::string_view fallback) {
  std::string message, firstState;
  int32_t firstNative = 0;
  for (SQLSMALLINT rec = 1; handle != nullptr && rec <= 20; ++rec) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR text[1024];
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handleType, handle, rec, state, &native, text,
                                  static_cast<SQLSMALLINT>(std::size(text)), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    size_t n = std::min<size_t>(length, std::size(text) - 1);
    std::string stateText = NarrowLossy(state, 5);
    if (rec == 1) {
      firstState = stateText;
      firstNative = native;
    } else {
      message += "\r\n";
    }
    message += "[" + stateText + "] " + NarrowLossy(text, n);
  }
  if (message.empty()) message = std::string(fallback);
  throw EAdoError(message, firstState, firstNative);
}

std::u16string Wide(std::string_view ansi) { return AnsiToUtf16(ansi); }

std::string Narrow(const SQLWCHAR* s, size_t length) {
  return Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(s), length));
}

std::string NarrowLossy(const SQLWCHAR* s, size_t length) {
  size_t n = 0;
  while (n < length && s[n] != 0) ++n;
  std::u16string_view text(reinterpret_cast<const char16_t*>(s), n);
  return Utf8ToAnsi(Utf16ToUtf8(text), '?');
}

template <class Unit>
LongRead ReadLong(SQLHSTMT statement, SQLUSMALLINT column, int64_t limit,
                  std::basic_string<Unit>& out) {
  constexpr bool wide = sizeof(Unit) == sizeof(SQLWCHAR);
  constexpr SQLSMALLINT cType = wide ? SQL_C_WCHAR : SQL_C_BINARY;
  constexpr int64_t terminator = wide ? 1 : 0;  // text comes with a terminating zero
  constexpr int64_t unit = sizeof(Unit);
  constexpr int64_t kFirstPiece = 4096;
  if (limit == 0) return LongRead::Part;
  const size_t start = out.size();
  // The first piece lands in a buffer on the stack, so that a short value, the usual case, costs
  // a copy of what it holds rather than the zeroing of a whole piece of `out`.
  Unit first[kFirstPiece + terminator];
  int64_t got = 0;
  int64_t piece = kFirstPiece;
  for (bool isFirst = true;; isFirst = false) {
    if (limit > 0) piece = std::min(piece, limit - got);
    Unit* to = first;
    if (!isFirst) {
      out.resize(start + static_cast<size_t>(got + piece + terminator));
      to = out.data() + start + got;
    }
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(statement, column, cType, to,
                              static_cast<SQLLEN>((piece + terminator) * unit), &ind);
    if (rc == SQL_NO_DATA) {
      out.resize(start + static_cast<size_t>(got));
      return isFirst ? LongRead::Nothing : LongRead::End;
    }
    if (!SQL_SUCCEEDED(rc)) {
      out.resize(start);
      Raise(SQL_HANDLE_STMT, statement, "Ошибка чтения значения"_ansi);
    }
    if (ind == SQL_NULL_DATA) {
      out.resize(start);
      return LongRead::Null;
    }
    const bool truncated = ind == SQL_NO_TOTAL || ind > piece * unit;
    const int64_t n = truncated ? piece : ind / unit;
    if (isFirst) out.append(first, static_cast<size_t>(n));
    got += n;
    out.resize(start + static_cast<size_t>(got));
    if (!truncated) return LongRead::End;
    if (limit > 0 && got >= limit) return LongRead::Part;
    // A truncated read reports what was left before it: the next piece takes the rest.
    piece = ind == SQL_NO_TOTAL ? piece * 2 : std::max(ind / unit - piece, kFirstPiece);
  }
}

template LongRead ReadLong(SQLHSTMT, SQLUSMALLINT, int64_t, std::string&);
template LongRead ReadLong(SQLHSTMT, SQLUSMALLINT, int64_t, std::u16string&);

bool ReadWideText(SQLHSTMT statement, SQLUSMALLINT column, std::u16string& out) {
  out.clear();
  return ReadLong(statement, column, -1, out) != LongRead::Null;
}

// ODBC SQL type -> ADO, the way an OLE DB provider over ODBC reports it.
//
//   ODBC type                        schema DATA_TYPE     Field.Type          read as
//   SQL_CHAR / SQL_WCHAR             129 / 130, fixed     129 adChar          text
//   SQL_VARCHAR / SQL_WVARCHAR       129 / 130            200 adVarChar       text
//   SQL_LONGVARCHAR / SQL_WLONGVAR.  129 / 130, long      201 adLongVarChar   text
//   SQL_BINARY                       128, fixed           128 adBinary        bytes
//   SQL_VARBINARY                    128                  204 adVarBinary     bytes
//   SQL_LONGVARBINARY                128, long            205 adLongVarBinary bytes
//   SQL_BIT                          11 adBoolean
//   SQL_TINYINT                      16 adTinyInt         (17 when the driver says unsigned)
//   SQL_SMALLINT                     2 adSmallInt         (18 unsigned)
//   SQL_INTEGER                      3 adInteger          (19 unsigned)
//   SQL_BIGINT                       20 adBigInt          (21 unsigned)
//   SQL_REAL                         4 adSingle
//   SQL_FLOAT, SQL_DOUBLE            5 adDouble
//   SQL_DECIMAL, SQL_NUMERIC         131 adNumeric        precision = COLUMN_SIZE
//   SQL_TYPE_DATE (and ODBC 2 DATE)  133 adDBDate
//   SQL_TYPE_TIME (and ODBC 2 TIME)  134 adDBTime
//   SQL_TYPE_TIMESTAMP (ODBC 2 too)  135 adDBTimeStamp
//   SQL_GUID                         72 adGUID            text
//   anything else                    130 / 200            text
//
// A character or binary column whose size the driver does not know (0 or negative, as
// sqliteodbc's SQLColumns reports BLOB columns) counts as long; so does a result column that
// sqliteodbc describes as SQL_BINARY(255) while its declared type is BLOB. Field types are the narrow ADO codes
// because every text reaches the program as a Windows-1251 string.
AdoTypeInfo MapSqlType(SQLSMALLINT sqlType, SQLLEN size, bool isUnsigned) {
  AdoTypeInfo t;
  auto text = [&](DataTypeEnum schemaType, bool fixedFamily, bool longType) {
    t.schemaType = schemaType;
    t.isLong = longType || size <= 0;
    t.isFixed = fixedFamily && !t.isLong;
    t.fieldType = t.isLong ? adLongVarChar : (t.isFixed ? adChar : adVarChar);
    t.kind = ReadKind::Text;
  };
  auto binary = [&](bool fixedFamily, bool longType) {
    t.schemaType = adBinary;
    t.isLong = longType || size <= 0;
    t.isFixed = fixedFamily && !t.isLong;
    t.fieldType = t.isLong ? adLongVarBinary : (t.isFixed ? adBinary : adVarBinary);
    t.kind = ReadKind::Binary;
  };
  auto number = [&](DataTypeEnum code, ReadKind kind, int32_t precision) {
    t.schemaType = t.fieldType = code;
    t.kind = kind;
    t.precision = precision;
  };
  switch (sqlType) {
    case SQL_CHAR: text(adChar, true, false); break;
    case SQL_VARCHAR: text(adChar, false, false); break;
    case SQL_LONGVARCHAR: text(adChar, false, true); break;
    case SQL_WCHAR: text(adWChar, true, false); break;
    case SQL_WVARCHAR: text(adWChar, false, false); break;
    case SQL_WLONGVARCHAR: text(adWChar, false, true); break;
    case SQL_BINARY: binary(true, false); break;
    case SQL_VARBINARY: binary(false, false); break;
    case SQL_LONGVARBINARY: binary(false, true); break;
    case SQL_BIT: number(adBoolean, ReadKind::Bool, 1); break;
    case SQL_TINYINT:
      number(isUnsigned ? adUnsignedTinyInt : adTinyInt,
             isUnsigned ? ReadKind::Unsigned : ReadKind::Signed, 3);
      break;
    case SQL_SMALLINT:
      number(isUnsigned ? adUnsignedSmallInt : adSmallInt,
             isUnsigned ? ReadKind::Unsigned : ReadKind::Signed, 5);
      break;
    case SQL_INTEGER:
      number(isUnsigned ? adUnsignedInt : adInteger,
             isUnsigned ? ReadKind::Unsigned : ReadKind::Signed, 10);
      break;
    case SQL_BIGINT:
      number(isUnsigned ? adUnsignedBigInt : adBigInt,
             isUnsigned ? ReadKind::Unsigned : ReadKind::Signed, isUnsigned ? 20 : 19);
      break;
    case SQL_REAL: number(adSingle, ReadKind::Single, 7); break;
    case SQL_FLOAT:
    case SQL_DOUBLE: number(adDouble, ReadKind::Double, 15); break;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      number(adNumeric, ReadKind::Numeric, size > 0 ? static_cast<int32_t>(size) : 38);
      break;
    case SQL_TYPE_DATE:
    case SQL_DATE: number(adDBDate, ReadKind::Date, 0); break;
    case SQL_TYPE_TIME:
    case SQL_TIME: number(adDBTime, ReadKind::Time, 0); break;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: number(adDBTimeStamp, ReadKind::Timestamp, 0); break;
    case SQL_GUID:
      t.schemaType = t.fieldType = adGUID;
      t.isFixed = true;
      t.kind = ReadKind::Text;
      break;
    default:
      t.schemaType = adWChar;
      t.fieldType = adVarChar;
      t.kind = ReadKind::Text;
      break;
  }
  return t;
}

}  // namespace adoodbc

_Command::Statement::~Statement() {
  if (owner != nullptr) std::erase(owner->statements, this);
  if (handle != nullptr) SQLFreeHandle(SQL_HANDLE_STMT, handle);
}
