// Commands: a text prepared once per statement handle, parameters bound by position into
// buffers that the statement owns, so that executing the same text again only refreshes the
// buffers and rebinds a parameter only when its type or buffer changed.
#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/ado/AdoOdbc.h"

using namespace adoodbc;

// --- parameters ---------------------------------------------------------------------------

void AdoParameters::Append(const RefPtr<Parameter>& Object) {
  if (!Object) throw EAdoError("Добавляемый параметр не задан"_ansi);
  FItems.push_back(Object);
}

RefPtr<Parameter> AdoParameters::Item(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EAdoError("Индекс параметра вне диапазона: "_ansi + IntToStr(Index));
  return FItems[static_cast<size_t>(Index)];
}

void AdoParameters::Delete(int32_t Index) {
  Item(Index);
  FItems.erase(FItems.begin() + Index);
}

namespace {

// The ADO type that a bare Variant stands for (parameters given as an array, or typed adEmpty).
DataTypeEnum TypeOfVariant(const Variant& v) {
  switch (v.VarType()) {
    case varBoolean: return adBoolean;
    case varShortInt: return adTinyInt;
    case varByte: return adUnsignedTinyInt;
    case varSmallint: return adSmallInt;
    case varWord: return adUnsignedSmallInt;
    case varInteger: return adInteger;
    case varLongWord: return adUnsignedInt;
    case varInt64: return adBigInt;
    case varUInt64: return adUnsignedBigInt;
    case varSingle: return adSingle;
    case varDouble: return adDouble;
    case varCurrency: return adCurrency;
    case varDate: return adDBTimeStamp;
    default: return adVarChar;
  }
}

// Text of a decimal value with "." as the separator, whatever the locale says.
std::string DecimalText(const Variant& v) {
  if (v.IsInteger()) return v.VarType() == varUInt64 ? std::to_string(v.ToUInt64())
                                                     : std::to_string(v.ToInt64());
  if (v.VarType() == varCurrency) {
    int64_t scaled = v.ToCurrencyScaled();
    uint64_t a = scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    std::string frac = std::to_string(a % 10000);
    return (scaled < 0 ? "-" : "") + std::to_string(a / 10000) + "." +
           std::string(4 - frac.size(), '0') + frac;
  }
  if (v.IsString()) {
    std::string s = Trim(v.StrRef());
    for (char& c : s)
      if (c == ',') c = '.';
    return s;
  }
  double d = v.ToDouble();
  if (!std::isfinite(d)) throw EAdoError("Недопустимое числовое значение: бесконечность или не число"_ansi);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.17g", d);
  return buf;
}

template <class T>
void Store(std::string& buffer, const T& value) {
  buffer.assign(reinterpret_cast<const char*>(&value), sizeof(T));
}

// A column size that changes rarely, so that a new length seldom forces a rebinding.
SQLULEN SizeBucket(size_t n) {
  SQLULEN size = 256;
  while (size < n) size *= 2;
  return size;
}

// --- the parameter encoder: one function per family of types, each setting the slot's C type,
// SQL type, column size and digits, and its value bytes unless the value is Null ---------------

using Bound = _Command::Statement::Bound;

void Describe(Bound& b, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN columnSize, SQLSMALLINT digits = 0) {
  b.cType = cType;
  b.sqlType = sqlType;
  b.columnSize = columnSize;
  b.digits = digits;
}

void EncodeBoolean(Bound& b, const Variant& value, bool isNull) {
  Describe(b, SQL_C_BIT, SQL_BIT, 1);
  if (!isNull) Store(b.buffer, static_cast<unsigned char>(value.ToBool() ? 1 : 0));
}

// Every integer travels as a 64-bit C value, unsigned only for the unsigned 64-bit type; the SQL
// type is the narrowest that holds the ADO type's range.
void EncodeInteger(Bound& b, DataTypeEnum type, const Variant& value, bool isNull) {
  switch (type) {
    case adUnsignedBigInt:
      Describe(b, SQL_C_UBIGINT, SQL_BIGINT, 20);
      if (!isNull) Store(b.buffer, static_cast<SQLUBIGINT>(value.ToUInt64()));
      return;
    case adTinyInt:
    case adUnsignedTinyInt:
    case adSmallInt: Describe(b, SQL_C_SBIGINT, SQL_SMALLINT, 5); break;
    case adUnsignedSmallInt:
    case adInteger: Describe(b, SQL_C_SBIGINT, SQL_INTEGER, 10); break;
    default: Describe(b, SQL_C_SBIGINT, SQL_BIGINT, 19); break;  // adUnsignedInt, adBigInt
  }
  if (!isNull) Store(b.buffer, static_cast<SQLBIGINT>(value.ToInt64()));
}

void EncodeFloat(Bound& b, DataTypeEnum type, const Variant& value, bool isNull) {
  if (type == adSingle) {
    Describe(b, SQL_C_FLOAT, SQL_REAL, 7);
    if (!isNull) Store(b.buffer, static_cast<float>(value.ToDouble()));
  } else {
    Describe(b, SQL_C_DOUBLE, SQL_DOUBLE, 15);
    if (!isNull) Store(b.buffer, value.ToDouble());
  }
}

// Decimals and currency travel as text, so that no digit is lost on the way; the digits after
// the point are those of the text or the parameter's scale, whichever is more.
void EncodeDecimal(Bound& b, DataTypeEnum type, int32_t scale, const Variant& value, bool isNull) {
  if (isNull) return Describe(b, SQL_C_CHAR, SQL_NUMERIC, 38);
  b.buffer = type == adCurrency ? DecimalText(Variant::FromCurrencyScaled(value.ToCurrencyScaled()))
                                : DecimalText(value);
  const size_t dot = b.buffer.find('.');
  size_t frac = dot == std::string::npos ? 0 : b.buffer.size() - dot - 1;
  SQLSMALLINT sqlType = SQL_NUMERIC;
  if (b.buffer.find_first_of("eE") != std::string::npos) {
    // An exponent: let the driver take it as a floating-point text.
    sqlType = SQL_DOUBLE;
    frac = 0;
  }
  Describe(b, SQL_C_CHAR, sqlType, std::max<SQLULEN>(b.buffer.size(), 1),
           static_cast<SQLSMALLINT>(std::max<size_t>(frac, static_cast<size_t>(std::max(scale, 0)))));
}

// A date alone, a time of day alone, or both with milliseconds.
void EncodeDateTime(Bound& b, DataTypeEnum type, const Variant& value, bool isNull) {
  if (type == adDBDate)
    Describe(b, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 10);
  else if (type == adDBTime)
    Describe(b, SQL_C_TYPE_TIME, SQL_TYPE_TIME, 8);
  else  // adDate, adDBTimeStamp
    Describe(b, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3);
  if (isNull) return;
  TDateTime dt = value.ToDateTime();
  int y, mo, d, h, mi, s, ms;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  if (b.cType == SQL_C_TYPE_DATE) {
    SQL_DATE_STRUCT v{static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(mo),
                      static_cast<SQLUSMALLINT>(d)};
    Store(b.buffer, v);
  } else if (b.cType == SQL_C_TYPE_TIME) {
    SQL_TIME_STRUCT v{static_cast<SQLUSMALLINT>(h), static_cast<SQLUSMALLINT>(mi),
                      static_cast<SQLUSMALLINT>(s)};
    Store(b.buffer, v);
  } else {
    SQL_TIMESTAMP_STRUCT v{static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(mo),
                           static_cast<SQLUSMALLINT>(d), static_cast<SQLUSMALLINT>(h),
                           static_cast<SQLUSMALLINT>(mi), static_cast<SQLUSMALLINT>(s),
                           static_cast<SQLUINTEGER>(ms) * 1000000u};
    Store(b.buffer, v);
  }
}

// Bytes are bound where the value holds them; anything but a string is sent as its text. A long
// value, or one asked for as long, goes as SQL_LONGVARBINARY.
void EncodeBinary(Bound& b, DataTypeEnum type, bool wantsLong, const Variant& value, bool isNull) {
  if (!isNull && value.IsString()) {
    b.borrowed = &value.StrRef();
    b.buffer.clear();
  } else if (!isNull) {
    b.buffer = value.ToString();
  }
  const size_t n = isNull ? 0 : b.borrowed != nullptr ? b.borrowed->size() : b.buffer.size();
  Describe(b, SQL_C_BINARY,
           (wantsLong || type == adLongVarBinary || n > 8000) ? SQL_LONGVARBINARY : SQL_VARBINARY,
           SizeBucket(n));
}

// Every kind of text, GUIDs and whatever else: sent as wide text, converted straight into the
// slot's buffer.
void EncodeText(Bound& b, DataTypeEnum type, bool wantsLong, const Variant& value, bool isNull) {
  size_t n = 0;
  if (!isNull) {
    const std::string converted = value.IsString() ? std::string() : value.ToString();
    const std::string& text = value.IsString() ? value.StrRef() : converted;
    n = text.size();
    b.buffer.resize(n * sizeof(char16_t));
    for (size_t i = 0; i < n; ++i) {
      const auto unit = static_cast<char16_t>(AnsiCharToCodePoint(static_cast<unsigned char>(text[i])));
      std::memcpy(b.buffer.data() + i * sizeof(char16_t), &unit, sizeof(char16_t));
    }
  }
  Describe(b, SQL_C_WCHAR,
           (wantsLong || type == adLongVarChar || type == adLongVarWChar || n > 4000) ? SQL_WLONGVARCHAR
                                                                                      : SQL_WVARCHAR,
           SizeBucket(n));
}

// Fills one bound slot from an ADO type and a value.
void Encode(Bound& b, DataTypeEnum type, int32_t attributes, int32_t scale, const Variant& value) {
  const bool isNull = value.IsNull() || value.IsEmpty();
  if (type == adEmpty || type == adVariant || type < 0) type = TypeOfVariant(value);
  b.borrowed = nullptr;
  const bool wantsLong = (attributes & adParamLong) != 0;
  switch (type) {
    case adBoolean: EncodeBoolean(b, value, isNull); break;
    case adTinyInt:
    case adUnsignedTinyInt:
    case adSmallInt:
    case adUnsignedSmallInt:
    case adInteger:
    case adUnsignedInt:
    case adBigInt:
    case adUnsignedBigInt: EncodeInteger(b, type, value, isNull); break;
    case adSingle:
    case adDouble: EncodeFloat(b, type, value, isNull); break;
    case adCurrency:
    case adDecimal:
    case adNumeric:
    case adVarNumeric: EncodeDecimal(b, type, scale, value, isNull); break;
    case adDate:
    case adDBTimeStamp:
    case adDBDate:
    case adDBTime: EncodeDateTime(b, type, value, isNull); break;
    case adBinary:
    case adVarBinary:
    case adLongVarBinary: EncodeBinary(b, type, wantsLong, value, isNull); break;
    default: EncodeText(b, type, wantsLong, value, isNull); break;
  }
  if (isNull) {
    b.indicator = SQL_NULL_DATA;
    if (b.buffer.empty()) b.buffer.assign(8, '\0');
  } else {
    b.indicator = static_cast<SQLLEN>(b.borrowed != nullptr ? b.borrowed->size() : b.buffer.size());
  }
}

// After an execution: a borrowed value may go at once, and a long value's buffer is not kept
// with the idle statement; either is bound anew next time.
void ReleaseLongValues(_Command::Statement& st) {
  constexpr size_t kKeptBuffer = 64 * 1024;
  for (auto& b : st.params) {
    if (b.borrowed == nullptr && b.buffer.capacity() <= kKeptBuffer) continue;
    b.borrowed = nullptr;
    std::string().swap(b.buffer);
    b.boundPtr = nullptr;
  }
}

struct ParamSource {
  DataTypeEnum type;
  int32_t attributes;
  int32_t scale;
  const Variant* value;
};

// Binds `count` parameters, the i-th from sourceOf(i).
template <class SourceOf>
void BindAll(_Command::Statement& st, size_t count, const SourceOf& sourceOf) {
  if (st.params.size() != count) {
    SQLFreeStmt(st.handle, SQL_RESET_PARAMS);
    st.params.clear();
    st.params.resize(count);
  }
  for (size_t i = 0; i < count; ++i) {
    auto& b = st.params[i];
    const ParamSource p = sourceOf(i);
    Encode(b, p.type, p.attributes, p.scale, *p.value);
    const std::string& bytes = b.borrowed != nullptr ? *b.borrowed : b.buffer;
    const void* ptr = bytes.data();
    SQLLEN length = static_cast<SQLLEN>(bytes.size());
    if (b.boundC == b.cType && b.boundSql == b.sqlType && b.boundDigits == b.digits &&
        b.boundSize == b.columnSize && b.boundPtr == ptr && b.boundLength == length)
      continue;
    SQLRETURN rc = SQLBindParameter(st.handle, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                    b.cType, b.sqlType, b.columnSize, b.digits,
                                    const_cast<void*>(ptr), length, &b.indicator);
    Check(rc, SQL_HANDLE_STMT, st.handle, "Ошибка передачи значений в запрос"_ansi);
    b.boundC = b.cType;
    b.boundSql = b.sqlType;
    b.boundDigits = b.digits;
    b.boundSize = b.columnSize;
    b.boundPtr = ptr;
    b.boundLength = length;
  }
}

}  // namespace

// True for a text that begins with CREATE, DROP or ALTER.
static bool ChangesStructure(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  size_t j = i;
  while (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j]))) ++j;
  const std::string word = AnsiUpperCase(text.substr(i, j - i));
  return word == "CREATE" || word == "DROP" || word == "ALTER";
}

// --- the command --------------------------------------------------------------------------

_Command::_Command() = default;

_Command::~_Command() {
  if (FStatement && FConnection) FConnection->GetImpl().GiveBack(std::move(FStatement));
}

void _Command::SetActiveConnection(const RefPtr<_Connection>& Connection) {
  if (FStatement && FConnection) FConnection->GetImpl().GiveBack(std::move(FStatement));
  FStatement.reset();
  FNoRows = nullptr;
  FConnection = Connection;
}

RefPtr<Parameter> _Command::CreateParameter(const std::string& Name, DataTypeEnum Type,
                                            int32_t Direction, int64_t Size, const Variant& Value) {
  if (Direction != adParamInput)
    throw EAdoError("Поддерживаются только входные параметры"_ansi);
  RefPtr<Parameter> p(new Parameter);
  p->FName = Name;
  p->FType = Type;
  p->FDirection = Direction;
  p->FSize = Size;
  p->FValue = Value;
  return p;
}

RefPtr<_Recordset> _Command::Execute(Variant* RecordsAffected, const Variant* Parameters,
                                     int32_t /*Options*/) {
  if (!FConnection) throw EAdoError("У команды не задано соединение"_ansi);
  _Connection::Impl& d = FConnection->GetImpl();
  d.CheckOpen();
  if (FCommandText.empty()) throw EAdoError("Текст команды не задан"_ansi);

  if (!FTextRead) {
    FWideText = Wide(FCommandText);
    FChangesStructure = ChangesStructure(FCommandText);
    FTextRead = true;
  }
  const std::u16string& text = FWideText;
  std::unique_ptr<Statement> st;
  if (FStatement && FStatement->handle != nullptr && FStatement->text == text) {
    st = std::move(FStatement);
  } else {
    d.GiveBack(std::move(FStatement));
    FStatement.reset();
    st = d.Take(text);
  }
  if (!st->prepared) {
    st->params.clear();
    SQLFreeStmt(st->handle, SQL_RESET_PARAMS);
    std::u16string prepared = text;  // SQLPrepareW takes text it may not change, but not as const
    if (!SQL_SUCCEEDED(SQLPrepareW(st->handle, W(prepared), static_cast<SQLINTEGER>(prepared.size())))) {
      d.StatementFailed();
      Raise(SQL_HANDLE_STMT, st->handle, "Ошибка подготовки запроса"_ansi);
    }
    st->text = text;
    st->prepared = true;
  }
  if (st->timeout != FCommandTimeout) {
    SQLSetStmtAttrW(st->handle, SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(FCommandTimeout, 0))), 0);
    st->timeout = FCommandTimeout;
  }

  SQLRETURN rc;
  try {
    if (Parameters != nullptr && Parameters->IsArray()) {
      const std::vector<Variant>& items = Parameters->Items();
      BindAll(*st, items.size(), [&items](size_t i) { return ParamSource{adEmpty, 0, 0, &items[i]}; });
    } else {
      BindAll(*st, static_cast<size_t>(FParameters.Count()), [this](size_t i) {
        const RefPtr<Parameter> p = FParameters.Item(static_cast<int32_t>(i));
        return ParamSource{p->FType, p->FAttributes, p->FNumericScale, &p->FValue};
      });
    }
    // A result's first rows come with the execution, before anything is known of their size.
    d.SetFetchRows(kFirstFetchRows);
    rc = SQLExecute(st->handle);
    ReleaseLongValues(*st);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      d.StatementFailed();
      Raise(SQL_HANDLE_STMT, st->handle, "Ошибка выполнения запроса"_ansi);
    }
  } catch (...) {
    ReleaseLongValues(*st);
    SQLFreeStmt(st->handle, SQL_CLOSE);
    FStatement = std::move(st);
    throw;
  }

  // A change of structure makes every other prepared text stale (the drivers keep the columns
  // they saw when preparing): those statements are prepared again when next used.
  if (FChangesStructure) {
    d.idle.clear();
    for (Statement* other : d.statements)
      if (other != st.get()) other->prepared = false;
  }

  SQLSMALLINT columns = 0;
  SQLNumResultCols(st->handle, &columns);
  SQLLEN rows = -1;
  if (columns == 0) SQLRowCount(st->handle, &rows);
  if (RecordsAffected != nullptr) *RecordsAffected = Variant(static_cast<int32_t>(rows));

  if (columns > 0) return MakeCursorRecordset(*FConnection, std::move(st));
  SQLFreeStmt(st->handle, SQL_CLOSE);
  FStatement = std::move(st);
  if (!FNoRows) {
    FNoRows = MakeMemoryRecordset(*FConnection, {}, {});
    FNoRows->Close();
  }
  return FNoRows;
}
