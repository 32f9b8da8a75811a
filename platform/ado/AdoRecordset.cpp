// Recordsets and fields. A cursor recordset fetches one row at a time and reads a value only
// when a field asks for it (SQLGetData), so neither the rows nor a long value that is read in
// chunks are ever held whole. Drivers that allow SQLGetData only in ascending column order have
// the skipped columns cached on the way.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/ado/AdoOdbc.h"

using namespace adoodbc;

namespace {

TDateTime DateTimeOf(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTime date = 0;
  if (y != 0 || mo != 0 || d != 0) date = EncodeDate(y, mo, d);
  TDateTime time = EncodeTime(h, mi, s, ms);
  return date >= 0 ? date + time : date - time;
}

// Whether a decimal text past the largest double is so only by the rounding of its last digit:
// whether its value less half a unit of that digit reads as a finite double. A driver that prints
// doubles with fewer digits than they need rounds the largest ones past it (sqliteodbc's 15 digits
// give 1.7976931348623157e308 as "1.79769313486232e+308"). Trailing zeros count as rounding, as a
// printer drops them; a text past the largest double by more than that is not.
bool PastOnlyByRounding(std::string_view text) {
  std::string digits;
  int64_t afterPoint = 0;
  size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digits += text[i];
      if (point) ++afterPoint;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::string_view e = text.substr(i + 1);
    if (!e.empty() && e[0] == '+') e.remove_prefix(1);
    auto r = std::from_chars(e.data(), e.data() + e.size(), exponent);
    // An exponent this far out is past any rounding.
    if (r.ec != std::errc() || r.ptr != e.data() + e.size() || exponent > 100000 || exponent < -100000) return false;
  } else if (i != text.size()) {
    return false;
  }
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    --afterPoint;
  }
  if (digits.find_first_not_of('0') == std::string::npos) return false;
  // The digits less one, then a 5: the value less half a unit, one digit longer.
  size_t last = digits.size() - 1;
  for (; digits[last] == '0'; --last) digits[last] = '9';
  --digits[last];
  digits += '5';
  const std::string lower = digits + "e" + std::to_string(exponent - afterPoint - 1);
  double d = 0;
  auto r = std::from_chars(lower.data(), lower.data() + lower.size(), d);
  // A text too small for a double is out of range too: its value is tiny, never past 1.
  return r.ec == std::errc() && d > 1;
}

// The double of a driver's text: a number, or a word for infinity or "not a number" ("Inf",
// "-Infinity", "NaN"). A text past the largest double only by its rounding is the largest double
// of its sign. False for any other text.
bool DoubleOfText(std::string_view text, double& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const char* e = text.data() + text.size();
  auto r = std::from_chars(text.data(), e, value);
  if (r.ptr != e) return false;
  if (r.ec == std::errc()) return true;
  if (r.ec != std::errc::result_out_of_range || !PastOnlyByRounding(text)) return false;
  value = text[0] == '-' ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
  return true;
}

Variant NumericFromText(const std::string& text, int32_t scale) {
  const char* b = text.data();
  const char* e = b + text.size();
  if (scale <= 0 && text.find_first_of(".eE") == std::string::npos) {
    int64_t i = 0;
    auto r = std::from_chars(b, e, i);
    if (r.ec == std::errc() && r.ptr == e) return Variant(i);
  }
  double d = 0;
  if (!DoubleOfText(text, d)) throw EConvertError("некорректное число \""_ansi + text + "\"");
  return Variant(d);
}

// Storage size of a non-text value, as ActualSize reports it.
int64_t StorageSize(DataTypeEnum type) {
  switch (type) {
    case adTinyInt: case adUnsignedTinyInt: return 1;
    case adBoolean: case adSmallInt: case adUnsignedSmallInt: return 2;
    case adInteger: case adUnsignedInt: case adSingle: return 4;
    case adDBDate: case adDBTime: return 6;
    case adDBTimeStamp: return 16;
    case adNumeric: return 19;
    default: return 8;
  }
}

}  // namespace

// --- construction and life ---------------------------------------------------------------

_Recordset::_Recordset(std::unique_ptr<Impl> impl) : FImpl(std::move(impl)) {
  for (size_t i = 0; i < FImpl->columns.size(); ++i) {
    const ColumnDesc& c = FImpl->columns[i];
    RefPtr<Field> f(new Field);
    f->FOwner = this;
    f->FIndex = static_cast<int>(i);
    f->FName = c.name;
    f->FType = c.type.fieldType;
    f->FAttributes = c.attributes;
    f->FPrecision = c.type.precision;
    f->FNumericScale = c.scale;
    f->FDefinedSize = c.size;
    FFields.FItems.push_back(f);
  }
  if (FImpl->connection) FImpl->connection->GetImpl().recordsets.push_back(this);
}

_Recordset::~_Recordset() {
  Close();
  for (auto& f : FFields.FItems) f->FOwner = nullptr;
}

RefPtr<_Recordset> MakeMemoryRecordset(_Connection& connection, std::vector<ColumnDesc> columns,
                                       std::vector<std::vector<Variant>> rows) {
  auto impl = std::make_unique<_Recordset::Impl>();
  impl->connection = RefPtr<_Connection>(&connection);
  impl->columns = std::move(columns);
  impl->rows = std::move(rows);
  impl->inMemory = true;
  impl->cells.resize(impl->columns.size());
  impl->eof = impl->rows.empty();
  impl->rowNumber = impl->eof ? 0 : 1;
  return RefPtr<_Recordset>(new _Recordset(std::move(impl)));
}

RefPtr<_Recordset> MakeCursorRecordset(_Connection& connection,
                                       std::unique_ptr<_Command::Statement> statement) {
  auto impl = std::make_unique<_Recordset::Impl>();
  impl->connection = RefPtr<_Connection>(&connection);
  _Connection::Impl& d = connection.GetImpl();
  impl->anyOrder = d.getDataAnyOrder;
  SQLHSTMT h = statement->handle;
  SQLSMALLINT count = 0;
  SQLNumResultCols(h, &count);
  for (SQLUSMALLINT i = 1; i <= count; ++i) {
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
    SQLULEN size = 0;
    Check(SQLDescribeColW(h, i, name, static_cast<SQLSMALLINT>(std::size(name)), &nameLength,
                          &sqlType, &size, &digits, &nullable),
          SQL_HANDLE_STMT, h, "Ошибка чтения описания результата запроса"_ansi);
    SQLLEN isUnsigned = SQL_FALSE;
    SQLColAttributeW(h, i, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
    ColumnDesc c;
    c.name = NarrowLossy(name, std::min<size_t>(nameLength, std::size(name) - 1));
    // A size beyond 2^31 is the drivers' way of saying "unbounded".
    SQLLEN knownSize = size > 0x7FFFFFFF ? 0 : static_cast<SQLLEN>(size);
    bool numeric = sqlType != SQL_CHAR && sqlType != SQL_VARCHAR && sqlType != SQL_WCHAR &&
                   sqlType != SQL_WVARCHAR && sqlType != SQL_BINARY && sqlType != SQL_VARBINARY;
    c.type = MapSqlType(sqlType, knownSize, numeric && isUnsigned == SQL_TRUE);
    if (c.type.kind == ReadKind::Binary && !c.type.isLong) {
      // sqliteodbc describes a BLOB column as SQL_BINARY(255); its values have no such bound.
      SQLWCHAR typeName[128] = {};
      SQLSMALLINT typeLength = 0;
      if (SQL_SUCCEEDED(SQLColAttributeW(h, i, SQL_DESC_TYPE_NAME, typeName, sizeof(typeName),
                                         &typeLength, nullptr)) &&
          AnsiUpperCase(NarrowLossy(typeName, std::size(typeName))).find("BLOB") != std::string::npos)
        c.type = MapSqlType(SQL_LONGVARBINARY, 0, false);
    }
    c.size = knownSize;
    c.scale = c.type.fieldType == adNumeric ? digits : 0;
    c.attributes = adFldUnknownUpdatable;
    if (c.type.isLong) c.attributes |= adFldLong;
    if (c.type.isFixed) c.attributes |= adFldFixed;
    if (nullable != SQL_NO_NULLS) c.attributes |= adFldIsNullable | adFldMayBeNull;
    impl->columns.push_back(std::move(c));
  }
  impl->cells.resize(impl->columns.size());
  impl->StartFetchSizing();
  impl->statement = std::move(statement);
  impl->eof = false;
  RefPtr<_Recordset> rs(new _Recordset(std::move(impl)));
  try {
    rs->GetImpl().Fetch();
  } catch (...) {
    rs->Close();
    throw;
  }
  return rs;
}

int32_t _Recordset::State() const { return FImpl->open ? adStateOpen : adStateClosed; }

void _Recordset::CheckOpen() const {
  if (FImpl->open) return;
  if (FImpl->closedReason != nullptr)
    throw EAdoError("Результат запроса закрыт: "_ansi + Utf8ToAnsi(FImpl->closedReason));
  throw EAdoError("Результат запроса закрыт"_ansi);
}

void _Recordset::Close() {
  Impl& d = *FImpl;
  if (d.connection) {
    _Connection::Impl& c = d.connection->GetImpl();
    std::erase(c.recordsets, this);
    c.GiveBack(std::move(d.statement));
  }
  d.statement.reset();
  d.rows.clear();
  d.open = false;
  d.eof = true;
}

void _Recordset::Drop(const char* reason) {
  Close();
  FImpl->closedReason = reason;
}

bool _Recordset::Eof() {
  CheckOpen();
  return FImpl->eof;
}

void _Recordset::MoveNext() {
  CheckOpen();
  if (FImpl->eof) throw EAdoError("Результат запроса уже прочитан до последней строки"_ansi);
  FImpl->Fetch();
}

AdoFields& _Recordset::Fields() {
  CheckOpen();
  return FFields;
}

// --- row access -----------------------------------------------------------------------------

void _Recordset::Impl::Fetch() {
  if (inMemory) {
    ++position;
    eof = position >= rows.size();
    if (!eof) ++rowNumber;
    for (Cell& c : cells) c = Cell();
    return;
  }
  _Connection::Impl& owner = connection->GetImpl();
  if (owner.fetchRows != 0) owner.SetFetchRows(RowsPerFetch());
  SQLRETURN rc = SQLFetch(statement->handle);
  if (rc == SQL_NO_DATA) {
    eof = true;
    // Nothing more to read: the statement can serve the next execution at once.
    owner.GiveBack(std::move(statement));
    statement.reset();
    return;
  }
  Check(rc, SQL_HANDLE_STMT, statement->handle, "Ошибка чтения строки"_ansi);
  ++rowNumber;
  for (Cell& c : cells) c = Cell();
  lastRead = -1;
}

namespace {

// What one FETCH of a server cursor may take in the driver's cache, and the most rows it brings.
constexpr int64_t kFetchBytes = 4 << 20;
constexpr int64_t kMostFetchRows = 4096;

// What a value of the column takes in the driver's cache: its cell and allocation, and its text
// (UTF-8 text and binary data in hexadecimal take about two bytes a character or byte) at the
// column's declared size, or, for a column of unbounded size, at the longest value read from it.
int64_t HeldBytes(const ColumnDesc& c, int64_t longest) {
  constexpr int64_t kValueOverhead = 48;
  switch (c.type.kind) {
    case ReadKind::Text:
    case ReadKind::Binary: return kValueOverhead + 2 * (c.type.isLong ? longest : c.size);
    case ReadKind::Numeric: return kValueOverhead + c.type.precision + 2;
    default: return kValueOverhead + 32;
  }
}

// The rows of rowBytes each that one fetch may bring. Rows longer than the budget still come four
// at a time: fewer costs more round trips for every such row and holds no less at the first
// fetch, which brings four anyway.
int64_t RowsInBudget(int64_t rowBytes) {
  return std::max<int64_t>(kFetchBytes / std::max<int64_t>(rowBytes, 1), kFirstFetchRows);
}

}  // namespace

void _Recordset::Impl::StartFetchSizing() {
  longest.assign(columns.size(), -1);
  rowBytes = 0;
  unread = 0;
  for (const ColumnDesc& c : columns) {
    if (c.type.isLong)
      ++unread;
    else
      rowBytes += HeldBytes(c, 0);
  }
  rowsInBudget = RowsInBudget(rowBytes);
}

void _Recordset::Impl::NoteLength(int column, int64_t length) {
  const ColumnDesc& c = columns[static_cast<size_t>(column)];
  int64_t& seen = longest[static_cast<size_t>(column)];
  if (!c.type.isLong || length <= seen) return;
  if (seen < 0)
    --unread;
  else
    rowBytes -= HeldBytes(c, seen);
  seen = length;
  rowBytes += HeldBytes(c, seen);
  rowsInBudget = RowsInBudget(rowBytes);
}

int32_t _Recordset::Impl::RowsPerFetch() const {
  // Until a value of every unbounded column has been seen, nothing tells how long a row may be.
  if (unread > 0) return kFirstFetchRows;
  // Growing no faster than the rows already read bounds what a sudden run of long values costs.
  const int64_t byRowsRead = std::max<int64_t>(rowNumber, kFirstFetchRows);
  return static_cast<int32_t>(std::min({rowsInBudget, byRowsRead, kMostFetchRows}));
}

void _Recordset::Impl::CacheWhole(Cell& cell, int column) {
  cell.value = ReadWhole(column);
  cell.state = Cell::Cached;
  NoteLength(column, cell.value.IsString() ? static_cast<int64_t>(cell.value.StrRef().size()) : 0);
}

_Recordset::Impl::Cell& _Recordset::Impl::Prepare(int column) {
  Cell& cell = cells[static_cast<size_t>(column)];
  if (!anyOrder && cell.state == Cell::Unread) {
    if (column < lastRead)
      throw EAdoError(Format("Столбец %s уже пропущен в этой строке"_ansi,
                             {columns[static_cast<size_t>(column)].name}));
    // Columns skipped on the way can no longer be read later: keep their values.
    for (int j = lastRead + 1; j < column; ++j) {
      Cell& skipped = cells[static_cast<size_t>(j)];
      if (skipped.state == Cell::Unread) CacheWhole(skipped, j);
    }
  }
  lastRead = std::max(lastRead, column);
  return cell;
}

namespace {

[[noreturn]] void RaiseUnencodable(const std::string& column, int64_t row) {
  throw EAdoError(Format(
      "Значение столбца %s в строке %d содержит символы, которых нет в кодировке Windows-1251"_ansi,
      {column, static_cast<long long>(row)}));
}

}  // namespace

LongRead _Recordset::Impl::ReadLongValue(int column, int64_t limit, std::string& out) {
  const ColumnDesc& c = columns[static_cast<size_t>(column)];
  SQLHSTMT h = statement->handle;
  const SQLUSMALLINT col = static_cast<SQLUSMALLINT>(column + 1);
  if (c.type.kind == ReadKind::Binary) return ReadLong(h, col, limit, out);
  // The UTF-16 text goes through a buffer kept for the next value, unless it grew large.
  constexpr size_t kKeptUnits = 32 * 1024;
  wide.clear();
  const LongRead read = ReadLong(h, col, limit, wide);
  try {
    out = Utf16ToAnsi(wide);
  } catch (const EConvertError&) {
    RaiseUnencodable(c.name, rowNumber);
  }
  if (wide.capacity() > kKeptUnits) std::u16string().swap(wide);
  return read;
}

Variant _Recordset::Impl::ReadWhole(int column) {
  const ColumnDesc& c = columns[static_cast<size_t>(column)];
  SQLHSTMT h = statement->handle;
  const SQLUSMALLINT col = static_cast<SQLUSMALLINT>(column + 1);
  // A value of fixed size; false for NULL.
  auto fixed = [&]<class T>(SQLSMALLINT cType, T& v) {
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(h, col, cType, &v, sizeof(T), &ind);
    if (rc == SQL_NO_DATA)
      throw EAdoError(Format("Значение столбца %s уже прочитано"_ansi, {c.name}));
    Check(rc, SQL_HANDLE_STMT, h, "Ошибка чтения значения"_ansi);
    return ind != SQL_NULL_DATA;
  };
  try {
    switch (c.type.kind) {
      case ReadKind::Bool: {
        unsigned char v = 0;
        return fixed(SQL_C_BIT, v) ? Variant(v != 0) : Variant::Null();
      }
      case ReadKind::Signed: {
        SQLBIGINT v = 0;
        if (!fixed(SQL_C_SBIGINT, v)) return Variant::Null();
        // A value beyond its column type's range (SQLite keeps whatever it is given) comes
        // back whole, in a wider integer.
        switch (c.type.fieldType) {
          case adTinyInt: if (v >= INT8_MIN && v <= INT8_MAX) return Variant(static_cast<int8_t>(v)); break;
          case adSmallInt: if (v >= INT16_MIN && v <= INT16_MAX) return Variant(static_cast<int16_t>(v)); break;
          default: break;
        }
        if (v >= INT32_MIN && v <= INT32_MAX && c.type.fieldType != adBigInt) return Variant(static_cast<int32_t>(v));
        return Variant(static_cast<int64_t>(v));
      }
      case ReadKind::Unsigned: {
        SQLUBIGINT v = 0;
        if (!fixed(SQL_C_UBIGINT, v)) return Variant::Null();
        switch (c.type.fieldType) {
          case adUnsignedTinyInt: if (v <= UINT8_MAX) return Variant(static_cast<uint8_t>(v)); break;
          case adUnsignedSmallInt: if (v <= UINT16_MAX) return Variant(static_cast<uint16_t>(v)); break;
          default: break;
        }
        if (v <= UINT32_MAX && c.type.fieldType != adUnsignedBigInt) return Variant(static_cast<uint32_t>(v));
        return Variant(static_cast<uint64_t>(v));
      }
      case ReadKind::Single: {
        float v = 0;
        return fixed(SQL_C_FLOAT, v) ? Variant(v) : Variant::Null();
      }
      case ReadKind::Double: {
        double v = 0;
        if (!fixed(SQL_C_DOUBLE, v)) return Variant::Null();
        // The driver's own reading of its text may have made a finite value infinite (see
        // PastOnlyByRounding): the text tells. A driver that gives a value only once keeps the
        // infinity, as does a text that names one.
        if (std::isinf(v)) {
          std::array<char, 128> text{};
          SQLLEN ind = 0;
          double d = 0;
          const SQLRETURN rc = SQLGetData(h, col, SQL_C_CHAR, text.data(), text.size(), &ind);
          if (SQL_SUCCEEDED(rc) && ind >= 0 && ind < static_cast<SQLLEN>(text.size()) &&
              DoubleOfText(Trim(text.data()), d))
            v = d;
        }
        return Variant(v);
      }
      case ReadKind::Numeric: {
        std::array<char, 128> buf{};
        if (!fixed(SQL_C_CHAR, buf)) return Variant::Null();
        return NumericFromText(Trim(buf.data()), c.scale);
      }
      case ReadKind::Date: {
        SQL_DATE_STRUCT v{};
        if (!fixed(SQL_C_TYPE_DATE, v)) return Variant::Null();
        return Variant::FromDateTime(DateTimeOf(v.year, v.month, v.day, 0, 0, 0, 0));
      }
      case ReadKind::Time: {
        SQL_TIME_STRUCT v{};
        if (!fixed(SQL_C_TYPE_TIME, v)) return Variant::Null();
        return Variant::FromDateTime(EncodeTime(v.hour, v.minute, v.second, 0));
      }
      case ReadKind::Timestamp: {
        SQL_TIMESTAMP_STRUCT v{};
        if (!fixed(SQL_C_TYPE_TIMESTAMP, v)) return Variant::Null();
        return Variant::FromDateTime(DateTimeOf(v.year, v.month, v.day, v.hour, v.minute,
                                                v.second, static_cast<int>(v.fraction / 1000000)));
      }
      case ReadKind::Text:
      case ReadKind::Binary: {
        std::string out;
        if (ReadLongValue(column, -1, out) == LongRead::Null) return Variant::Null();
        return Variant(std::move(out));
      }
    }
  } catch (const EConvertError& e) {
    // Dates the calendar does not know, and the like.
    throw EAdoError(Format("Значение столбца %s в строке %d не читается: %s"_ansi,
                           {c.name, static_cast<long long>(rowNumber), e.Message()}));
  }
  return Variant::Null();
}

Variant _Recordset::Impl::CellValue(int column) {
  if (inMemory) return rows[position][static_cast<size_t>(column)];
  Cell& cell = Prepare(column);
  // A streaming cell of which only the length was asked for still has its whole value to read.
  if (cell.state == Cell::Unread || (cell.state == Cell::Streaming && cell.offset == 0))
    CacheWhole(cell, column);
  if (cell.state == Cell::Cached) return cell.value;
  throw EAdoError(Format("Значение столбца %s в этой строке уже прочитано"_ansi,
                         {columns[static_cast<size_t>(column)].name}));
}

int64_t _Recordset::Impl::CellSize(int column) {
  const ColumnDesc& c = columns[static_cast<size_t>(column)];
  if (!inMemory && c.type.kind == ReadKind::Binary) {
    Cell& cell = Prepare(column);
    if (cell.state == Cell::Unread) {
      // Ask for the length alone; the data stay with the driver for GetChunk.
      char probe[1];
      SQLLEN ind = 0;
      SQLRETURN rc = SQLGetData(statement->handle, static_cast<SQLUSMALLINT>(column + 1),
                                SQL_C_BINARY, probe, 0, &ind);
      Check(rc, SQL_HANDLE_STMT, statement->handle, "Ошибка чтения значения"_ansi);
      if (ind == SQL_NULL_DATA) {
        cell.value = Variant::Null();
        cell.state = Cell::Cached;
        NoteLength(column, 0);
      } else if (ind == SQL_NO_TOTAL) {
        CacheWhole(cell, column);
      } else {
        cell.total = ind;
        cell.state = Cell::Streaming;
        NoteLength(column, ind);
      }
    }
    if (cell.state == Cell::Streaming || cell.state == Cell::Finished) return cell.total;
  }
  Variant v = CellValue(column);
  if (v.IsNull() || v.IsEmpty()) return 0;
  if (v.IsString()) return static_cast<int64_t>(v.StrRef().size());
  return StorageSize(c.type.fieldType);
}

namespace {

// The next piece of a value that is at hand.
Variant ChunkOf(const Variant& v, int64_t& offset, int64_t length) {
  if (v.IsNull() || v.IsEmpty()) return Variant::Null();
  const std::string converted = v.IsString() ? std::string() : v.ToString();
  const std::string& s = v.IsString() ? v.StrRef() : converted;
  if (offset >= static_cast<int64_t>(s.size()) && length > 0) return Variant::Null();
  std::string part = s.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
  offset += static_cast<int64_t>(part.size());
  return Variant(std::move(part));
}

}  // namespace

Variant _Recordset::Impl::CellChunk(int column, int64_t length) {
  if (length < 0) throw EAdoError("Недопустимая длина фрагмента"_ansi);
  const ColumnDesc& c = columns[static_cast<size_t>(column)];
  const bool streamable = !inMemory && (c.type.kind == ReadKind::Binary || c.type.kind == ReadKind::Text);
  if (!streamable) {
    Variant v = CellValue(column);
    return ChunkOf(v, cells[static_cast<size_t>(column)].offset, length);
  }
  Cell* cell = &Prepare(column);
  if (cell->state == Cell::Cached) return ChunkOf(cell->value, cell->offset, length);
  if (cell->state == Cell::Finished) return Variant::Null();
  if (length == 0) return Variant(std::string());
  // A caller that asks for more than the driver said is left gets what there is.
  if (cell->total >= 0)
    length = std::min(length, std::max<int64_t>(cell->total - cell->offset, 1));
  std::string out;
  switch (ReadLongValue(column, length, out)) {
    case LongRead::Nothing:
      cell->state = Cell::Finished;
      return Variant::Null();
    case LongRead::Null:
      cell->value = Variant::Null();
      cell->state = Cell::Cached;
      NoteLength(column, 0);
      return Variant::Null();
    case LongRead::Part: cell->state = Cell::Streaming; break;
    case LongRead::End: cell->state = Cell::Finished; break;
  }
  cell->offset += static_cast<int64_t>(out.size());
  NoteLength(column, cell->offset);
  return Variant(std::move(out));
}

// --- fields -----------------------------------------------------------------------------------

_Recordset& Field::Row() {
  if (FOwner == nullptr) throw EAdoError("Результат запроса закрыт"_ansi);
  FOwner->CheckOpen();
  if (FOwner->FImpl->eof) throw EAdoError("Текущей строки нет: результат запроса прочитан до конца"_ansi);
  return *FOwner;
}

Variant Field::Value() { return Row().FImpl->CellValue(FIndex); }

int64_t Field::ActualSize() { return Row().FImpl->CellSize(FIndex); }

Variant Field::GetChunk(int64_t Length) { return Row().FImpl->CellChunk(FIndex, Length); }

RefPtr<Field> AdoFields::Item(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EAdoError("Индекс поля вне диапазона: "_ansi + IntToStr(Index));
  return FItems[static_cast<size_t>(Index)];
}

RefPtr<Field> AdoFields::Item(const std::string& Name) const {
  for (const auto& f : FItems)
    if (AnsiSameText(f->Name(), Name)) return f;
  throw EAdoError("Поле не найдено: "_ansi + Name);
}

RefPtr<Field> AdoFields::Item(const Variant& Index) const {
  if (Index.IsInteger()) return Item(static_cast<int32_t>(Index.ToInt64()));
  if (Index.IsString()) return Item(Index.StrRef());
  throw EAdoError("Поле задаётся номером или именем"_ansi);
}
