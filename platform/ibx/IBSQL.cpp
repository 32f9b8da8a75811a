// TIBSQL over the DSQL calls; TIBXSQLVAR converts between the engine's data in the XSQLDA
// buffers and the system's values.
//
// Each XSQLVAR points its sqldata at the owning TIBXSQLVAR's buffer and its sqlind at its null
// indicator. A column keeps the type the engine described, so a fetch writes straight into the
// buffers. A parameter is rewritten by every setter to the setter's own type (text, integer with
// scale, double, timestamp, blob id) and the engine converts on execution; its described type is
// kept apart for the decisions that depend on it (blob parameters, text character sets).
//
// Dates: ISC_DATE counts days from 17 November 1858, ISC_TIME ten-thousandths of a second from
// midnight; TDateTime counts days from 30 December 1899 (ISC_DATE 15018) with the time of day as
// the fraction, which for dates before 1899 is added to the whole part's magnitude.
#include "platform/ibx/IBSQL.h"

#include <ibase.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/ibx/IBInternal.h"

using namespace ibx_internal;

namespace {

constexpr int kDateOffset = 15018;
constexpr int64_t kTicksPerDay = 864000000;  // ten-thousandths of a second
constexpr int kBlobChunk = 32768;

const int64_t kPow10[19] = {1LL, 10LL, 100LL, 1000LL, 10000LL, 100000LL, 1000000LL, 10000000LL,
                            100000000LL, 1000000000LL, 10000000000LL, 100000000000LL,
                            1000000000000LL, 10000000000000LL, 100000000000000LL,
                            1000000000000000LL, 10000000000000000LL, 100000000000000000LL,
                            1000000000000000000LL};

XSQLVAR* AsVar(void* p) { return static_cast<XSQLVAR*>(p); }
XSQLDA* AsDA(void* p) { return static_cast<XSQLDA*>(p); }

// value / 10^digits rounded half to even.
int64_t DivRound(int64_t value, int digits) {
  if (digits <= 0) return value;
  if (digits > 18) return 0;
  int64_t d = kPow10[digits];
  int64_t q = value / d, r = value % d;
  int64_t twice = 2 * (r < 0 ? -r : r);
  if (twice > d || (twice == d && (q & 1))) q += value < 0 ? -1 : 1;
  return q;
}

// value * 10^digits, or false on overflow.
bool MulPow10(int64_t value, int digits, int64_t& result) {
  if (digits > 18) return value == 0 ? (result = 0, true) : false;
  if (__builtin_mul_overflow(value, kPow10[digits], &result)) return false;
  return true;
}

TDateTime IscToDateTime(ISC_DATE date, ISC_TIME time) {
  double days = static_cast<double>(date - kDateOffset);
  double frac = static_cast<double>(time) / static_cast<double>(kTicksPerDay);
  return days >= 0 ? days + frac : days - frac;
}

void DateTimeToIsc(TDateTime value, ISC_DATE& date, ISC_TIME& time) {
  if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
    throw EIBClientError(Format("Значение даты и времени вне допустимого диапазона (%g)"_ansi, {value}));
  double days = std::trunc(value);
  int64_t ticks = std::llround(std::fabs(value - days) * static_cast<double>(kTicksPerDay));
  int64_t d = static_cast<int64_t>(days);
  if (ticks >= kTicksPerDay) {
    ticks -= kTicksPerDay;
    d += 1;
  }
  date = static_cast<ISC_DATE>(d + kDateOffset);
  time = static_cast<ISC_TIME>(ticks);
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return v < 10 ? "0" + s : s;
}

std::string TimeText(ISC_TIME time) {
  int secs = static_cast<int>(time / 10000);
  return TwoDigits(secs / 3600) + ":" + TwoDigits(secs / 60 % 60) + ":" + TwoDigits(secs % 60);
}

// An exact decimal: value * 10^scale, trailing zeros of the fraction left out.
std::string DecimalText(int64_t value, int scale) {
  if (scale >= 0) {
    std::string s = std::to_string(value);
    if (value != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  bool negative = value < 0;
  // Work on the magnitude as unsigned so that INT64_MIN is exact.
  uint64_t mag = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(mag);
  size_t frac = static_cast<size_t>(-scale);
  if (digits.size() <= frac) digits.insert(0, frac - digits.size() + 1, '0');
  std::string intPart = digits.substr(0, digits.size() - frac);
  std::string fracPart = digits.substr(digits.size() - frac);
  while (!fracPart.empty() && fracPart.back() == '0') fracPart.pop_back();
  std::string s = negative ? "-" + intPart : intPart;
  if (!fracPart.empty()) s += FormatSettings().DecimalSeparator + fracPart;
  return s;
}

bool IsIntegerType(int type) {
  return type == SQL_SHORT || type == SQL_LONG || type == SQL_INT64;
}

// Closes (or on failure cancels) an open blob when the scope ends early.
struct BlobGuard {
  isc_blob_handle handle = 0;
  bool cancel = false;
  ~BlobGuard() {
    if (!handle) return;
    ISC_STATUS_ARRAY status;
    if (cancel)
      isc_cancel_blob(status, &handle);
    else
      isc_close_blob(status, &handle);
  }
};

}  // namespace

// --- TIBXSQLVAR -----------------------------------------------------------------------------

TIBXSQLVAR::TIBXSQLVAR(TIBSQL* owner, void* xsqlvar, int index, bool isParam)
    : FOwner(owner), FVar(xsqlvar), FIndex(index), FIsParam(isParam) {
  XSQLVAR* v = AsVar(FVar);
  FName.assign(v->aliasname, static_cast<size_t>(std::max<short>(0, std::min<short>(v->aliasname_length, 31))));
  FSQLName.assign(v->sqlname, static_cast<size_t>(std::max<short>(0, std::min<short>(v->sqlname_length, 31))));
  FRelationName.assign(v->relname, static_cast<size_t>(std::max<short>(0, std::min<short>(v->relname_length, 31))));
  FDescType = v->sqltype & ~1;
  FDescNullable = (v->sqltype & 1) != 0;
  FDescSubtype = v->sqlsubtype;
  FDescScale = v->sqlscale;
  FDescLen = v->sqllen;
  v->sqlind = &FNullInd;
  if (FIsParam) {
    // Until a value is written the parameter is null in its described type.
    FData.assign(static_cast<size_t>(std::max(8, FDescLen + 2)), 0);
    v->sqldata = FData.data();
    v->sqltype = static_cast<ISC_SHORT>(FDescType | 1);
    FNullInd = -1;
  } else {
    AllocateColumnBuffer();
  }
}

void TIBXSQLVAR::AllocateColumnBuffer() {
  XSQLVAR* v = AsVar(FVar);
  size_t size = static_cast<size_t>(v->sqllen) + (FDescType == SQL_VARYING ? 2 : 0);
  FData.assign(std::max<size_t>(size, 8), 0);
  v->sqldata = FData.data();
  FNullInd = -1;
}

void TIBXSQLVAR::ConversionError(const std::string& target) const {
  throw EIBClientError(Format("Значение %s «%s» (тип SQL %d) нельзя преобразовать в %s"_ansi,
                              {FIsParam ? "параметра"_ansi : "поля"_ansi,
                               FName.empty() ? std::to_string(FIndex) : FName,
                               AsVar(FVar)->sqltype & ~1, target}));
}

void TIBXSQLVAR::CheckParam() const {
  if (!FIsParam) throw EIBClientError(Format("Column \"%s\" is read-only", {FName}));
}

bool TIBXSQLVAR::IsNull() const {
  // The engine writes the indicator of nullable columns only.
  return (AsVar(FVar)->sqltype & 1) && FNullInd < 0;
}

void TIBXSQLVAR::SetIsNull(bool value) {
  CheckParam();
  XSQLVAR* v = AsVar(FVar);
  v->sqltype = static_cast<ISC_SHORT>(v->sqltype | 1);
  FNullInd = value ? -1 : 0;
  ShareValue();
}

void TIBXSQLVAR::ShareValue() {
  const XSQLVAR* v = AsVar(FVar);
  for (TIBXSQLVAR* other : FSameName) {
    XSQLVAR* o = AsVar(other->FVar);
    other->FData = FData;
    o->sqldata = other->FData.data();
    o->sqltype = v->sqltype;
    o->sqlscale = v->sqlscale;
    o->sqlsubtype = v->sqlsubtype;
    o->sqllen = v->sqllen;
    other->FNullInd = FNullInd;
  }
}

int64_t TIBXSQLVAR::ScaledValue(int& scale) const {
  const XSQLVAR* v = AsVar(FVar);
  scale = v->sqlscale;
  switch (v->sqltype & ~1) {
    case SQL_SHORT: { int16_t x; std::memcpy(&x, v->sqldata, 2); return x; }
    case SQL_LONG: { int32_t x; std::memcpy(&x, v->sqldata, 4); return x; }
    default: { int64_t x; std::memcpy(&x, v->sqldata, 8); return x; }
  }
}

std::string TIBXSQLVAR::AsString() const {
  if (IsNull()) return std::string();
  const XSQLVAR* v = AsVar(FVar);
  int type = v->sqltype & ~1;
  switch (type) {
    case SQL_TEXT:
      return std::string(v->sqldata, static_cast<size_t>(v->sqllen));
    case SQL_VARYING: {
      uint16_t len;
      std::memcpy(&len, v->sqldata, 2);
      return std::string(v->sqldata + 2, std::min<size_t>(len, static_cast<size_t>(v->sqllen)));
    }
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      int scale;
      int64_t x = ScaledValue(scale);
      return DecimalText(x, scale);
    }
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return FloatToStr(AsDouble());
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
      return DateTimeToStr(AsDateTime());
    case SQL_TYPE_TIME: {
      ISC_TIME t;
      std::memcpy(&t, v->sqldata, 4);
      return TimeText(t);
    }
    case SQL_BOOLEAN:
      return v->sqldata[0] ? "True" : "False";
    case SQL_BLOB:
      return ReadBlob();
    default:
      ConversionError("строку"_ansi);
  }
}

int64_t TIBXSQLVAR::AsInt64() const {
  if (IsNull()) return 0;
  const XSQLVAR* v = AsVar(FVar);
  int type = v->sqltype & ~1;
  if (IsIntegerType(type)) {
    int scale;
    int64_t x = ScaledValue(scale);
    if (scale < 0) return DivRound(x, -scale);
    int64_t r;
    if (!MulPow10(x, scale, r)) ConversionError("64-битное целое"_ansi);
    return r;
  }
  if (type == SQL_FLOAT || type == SQL_DOUBLE || type == SQL_D_FLOAT) {
    double d = AsDouble();
    if (!(d > -9.2233720368547758e18 && d < 9.2233720368547758e18)) ConversionError("64-битное целое"_ansi);
    return RoundHalfEven(d);
  }
  if (type == SQL_BOOLEAN) return v->sqldata[0] ? 1 : 0;
  if (type == SQL_TEXT || type == SQL_VARYING) {
    int64_t r;
    if (!TryStrToInt64(Trim(AsString()), r)) ConversionError("64-битное целое"_ansi);
    return r;
  }
  ConversionError("64-битное целое"_ansi);
}

int32_t TIBXSQLVAR::AsLong() const {
  int64_t x = AsInt64();
  if (x < std::numeric_limits<int32_t>::min() || x > std::numeric_limits<int32_t>::max())
    ConversionError("32-битное целое: значение вне диапазона"_ansi);
  return static_cast<int32_t>(x);
}

int16_t TIBXSQLVAR::AsShort() const {
  int64_t x = AsInt64();
  if (x < std::numeric_limits<int16_t>::min() || x > std::numeric_limits<int16_t>::max())
    ConversionError("16-битное целое: значение вне диапазона"_ansi);
  return static_cast<int16_t>(x);
}

double TIBXSQLVAR::AsDouble() const {
  if (IsNull()) return 0;
  const XSQLVAR* v = AsVar(FVar);
  int type = v->sqltype & ~1;
  switch (type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      int scale;
      int64_t x = ScaledValue(scale);
      if (scale == 0) return static_cast<double>(x);
      // Division by an exact power of ten gives the nearest double to the decimal.
      if (scale < 0 && scale >= -18) return static_cast<double>(x) / static_cast<double>(kPow10[-scale]);
      return static_cast<double>(x) * std::pow(10.0, scale);
    }
    case SQL_FLOAT: { float f; std::memcpy(&f, v->sqldata, 4); return f; }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: { double d; std::memcpy(&d, v->sqldata, 8); return d; }
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return AsDateTime();
    case SQL_BOOLEAN:
      return v->sqldata[0] ? 1 : 0;
    case SQL_TEXT:
    case SQL_VARYING: {
      double d;
      if (!TryStrToFloat(AsString(), d)) ConversionError("число с плавающей точкой"_ansi);
      return d;
    }
    default:
      ConversionError("число с плавающей точкой"_ansi);
  }
}

float TIBXSQLVAR::AsFloat() const { return static_cast<float>(AsDouble()); }

int64_t TIBXSQLVAR::AsCurrency() const {
  if (IsNull()) return 0;
  const XSQLVAR* v = AsVar(FVar);
  int type = v->sqltype & ~1;
  if (IsIntegerType(type)) {
    int scale;
    int64_t x = ScaledValue(scale);
    if (scale <= -4) return DivRound(x, -4 - scale);
    int64_t r;
    if (!MulPow10(x, scale + 4, r)) ConversionError("денежное значение: значение вне диапазона"_ansi);
    return r;
  }
  double d = AsDouble();
  if (!(std::fabs(d) < 9.2e14)) ConversionError("денежное значение: значение вне диапазона"_ansi);
  return RoundHalfEven(d * 10000.0);
}

TDateTime TIBXSQLVAR::AsDateTime() const {
  if (IsNull()) return 0;
  const XSQLVAR* v = AsVar(FVar);
  switch (v->sqltype & ~1) {
    case SQL_TIMESTAMP: {
      ISC_TIMESTAMP ts;
      std::memcpy(&ts, v->sqldata, sizeof ts);
      return IscToDateTime(ts.timestamp_date, ts.timestamp_time);
    }
    case SQL_TYPE_DATE: {
      ISC_DATE d;
      std::memcpy(&d, v->sqldata, 4);
      return IscToDateTime(d, 0);
    }
    case SQL_TYPE_TIME: {
      ISC_TIME t;
      std::memcpy(&t, v->sqldata, 4);
      return static_cast<double>(t) / static_cast<double>(kTicksPerDay);
    }
    default:
      ConversionError("дату и время"_ansi);
  }
}

bool TIBXSQLVAR::AsBoolean() const {
  if (IsNull()) return false;
  const XSQLVAR* v = AsVar(FVar);
  if ((v->sqltype & ~1) == SQL_BOOLEAN) return v->sqldata[0] != 0;
  return AsVariant().ToBool();
}

Variant TIBXSQLVAR::AsVariant() const {
  if (IsNull()) return Variant::Null();
  const XSQLVAR* v = AsVar(FVar);
  int type = v->sqltype & ~1;
  switch (type) {
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB:
      return Variant(AsString());
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      int scale;
      int64_t x = ScaledValue(scale);
      if (scale == 0) {
        if (type == SQL_SHORT) return Variant(static_cast<int16_t>(x));
        if (type == SQL_LONG) return Variant(static_cast<int32_t>(x));
        return Variant(x);
      }
      if (scale >= -4 && scale < 0) return Variant::FromCurrencyScaled(AsCurrency());
      return Variant(AsDouble());
    }
    case SQL_FLOAT: { float f; std::memcpy(&f, v->sqldata, 4); return Variant(f); }
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return Variant(AsDouble());
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return Variant::FromDateTime(AsDateTime());
    case SQL_BOOLEAN:
      return Variant(v->sqldata[0] != 0);
    default:
      ConversionError("значение поддерживаемого типа"_ansi);
  }
}

std::string TIBXSQLVAR::ReadBlob() const {
  TMemoryStream stream;
  SaveToStream(stream);
  return std::move(stream.Data());
}

void TIBXSQLVAR::SaveToStream(TStream& stream) const {
  if (IsNull()) return;
  const XSQLVAR* v = AsVar(FVar);
  if ((v->sqltype & ~1) != SQL_BLOB) {
    std::string s = AsString();
    stream.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    return;
  }
  TIBDatabase& db = FOwner->CheckDatabase();
  TIBTransaction& tr = FOwner->CheckTransaction();
  ISC_QUAD id;
  std::memcpy(&id, v->sqldata, sizeof id);
  ISC_STATUS_ARRAY status;
  BlobGuard blob;
  IBX_CHECK(isc_open_blob2(status, db.Handle(), tr.Handle(), &blob.handle, &id, 0, nullptr));
  std::unique_ptr<char[]> buffer(new char[65535]);
  for (;;) {
    unsigned short len = 0;
    ISC_STATUS rc = isc_get_segment(status, &blob.handle, &len, 65535, buffer.get());
    if (rc == isc_segstr_eof) break;
    if (rc != 0 && rc != isc_segment) RaiseStatus(status);
    stream.WriteBuffer(buffer.get(), len);
  }
  isc_blob_handle h = blob.handle;
  blob.handle = 0;
  IBX_CHECK(isc_close_blob(status, &h));
}

void TIBXSQLVAR::SetScalar(int type, int scale, const void* data, int len) {
  CheckParam();
  XSQLVAR* v = AsVar(FVar);
  if (FData.size() < static_cast<size_t>(len)) FData.resize(static_cast<size_t>(len));
  if (len > 0) std::memcpy(FData.data(), data, static_cast<size_t>(len));
  v->sqldata = FData.data();
  v->sqltype = static_cast<ISC_SHORT>(type | 1);
  v->sqlscale = static_cast<ISC_SHORT>(scale);
  v->sqllen = static_cast<ISC_SHORT>(len);
  bool text = type == SQL_TEXT || type == SQL_VARYING;
  bool describedText = FDescType == SQL_TEXT || FDescType == SQL_VARYING;
  // Text keeps the character set the engine described; a blob id its blob subtype.
  if (type == SQL_BLOB || (text && describedText))
    v->sqlsubtype = static_cast<ISC_SHORT>(FDescSubtype);
  else
    v->sqlsubtype = 0;
  FNullInd = 0;
  ShareValue();
}

void TIBXSQLVAR::SetAsString(const std::string& value) {
  CheckParam();
  if (FDescType == SQL_BLOB) {
    TMemoryStream stream(value);
    WriteBlob(stream);
    return;
  }
  if (value.size() > 32767)
    throw EIBClientError(Format("Строка длиной %d байт не помещается в параметр %d (не более 32767 байт)"_ansi,
                                {static_cast<int>(value.size()), FIndex}));
  SetScalar(SQL_TEXT, 0, value.data(), static_cast<int>(value.size()));
}

void TIBXSQLVAR::SetAsShort(int16_t value) { SetScalar(SQL_SHORT, 0, &value, 2); }
void TIBXSQLVAR::SetAsLong(int32_t value) { SetScalar(SQL_LONG, 0, &value, 4); }
void TIBXSQLVAR::SetAsInt64(int64_t value) { SetScalar(SQL_INT64, 0, &value, 8); }
void TIBXSQLVAR::SetAsFloat(float value) { SetScalar(SQL_FLOAT, 0, &value, 4); }
void TIBXSQLVAR::SetAsDouble(double value) { SetScalar(SQL_DOUBLE, 0, &value, 8); }
void TIBXSQLVAR::SetAsCurrency(int64_t scaled) { SetScalar(SQL_INT64, -4, &scaled, 8); }

void TIBXSQLVAR::SetAsDateTime(TDateTime value) {
  ISC_TIMESTAMP ts;
  DateTimeToIsc(value, ts.timestamp_date, ts.timestamp_time);
  SetScalar(SQL_TIMESTAMP, 0, &ts, sizeof ts);
}

void TIBXSQLVAR::SetAsBoolean(bool value) {
  if (FDescType == SQL_BOOLEAN) {
    char b = value ? 1 : 0;
    SetScalar(SQL_BOOLEAN, 0, &b, 1);
  } else {
    SetAsShort(value ? 1 : 0);
  }
}

void TIBXSQLVAR::SetAsVariant(const Variant& value) {
  CheckParam();
  switch (value.VarType()) {
    case varEmpty:
    case varNull: SetIsNull(true); break;
    case varBoolean: SetAsBoolean(value.RawInt() != 0); break;
    case varShortInt:
    case varByte:
    case varSmallint: SetAsShort(static_cast<int16_t>(value.RawInt())); break;
    case varWord:
    case varInteger: SetAsLong(static_cast<int32_t>(value.RawInt())); break;
    case varLongWord:
    case varInt64: SetAsInt64(value.RawInt()); break;
    case varUInt64: SetAsInt64(value.ToInt64()); break;  // raises beyond the 64-bit signed range
    case varSingle: SetAsFloat(static_cast<float>(value.RawFloat())); break;
    case varDouble: SetAsDouble(value.RawFloat()); break;
    case varCurrency: SetAsCurrency(value.RawInt()); break;
    case varDate: SetAsDateTime(value.RawFloat()); break;
    case varString: SetAsString(value.StrRef()); break;
    default:
      throw EIBClientError(Format("Parameter %d: a %s value cannot be sent to the engine",
                                  {FIndex, Variant::TypeName(value.VarType())}));
  }
}

void TIBXSQLVAR::LoadFromStream(TStream& stream) {
  CheckParam();
  if (FDescType == SQL_BLOB) {
    WriteBlob(stream);
    return;
  }
  std::string data(static_cast<size_t>(std::max<int64_t>(0, stream.Size() - stream.Position())), '\0');
  stream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  SetAsString(data);
}

void TIBXSQLVAR::WriteBlob(TStream& stream) {
  TIBDatabase& db = FOwner->CheckDatabase();
  TIBTransaction& tr = FOwner->CheckTransaction();
  ISC_STATUS_ARRAY status;
  ISC_QUAD id{};
  BlobGuard blob;
  blob.cancel = true;
  IBX_CHECK(isc_create_blob2(status, db.Handle(), tr.Handle(), &blob.handle, &id, 0, nullptr));
  std::unique_ptr<char[]> buffer(new char[kBlobChunk]);
  for (;;) {
    int64_t n = stream.Read(buffer.get(), kBlobChunk);
    if (n <= 0) break;
    IBX_CHECK(isc_put_segment(status, &blob.handle, static_cast<unsigned short>(n), buffer.get()));
  }
  isc_blob_handle h = blob.handle;
  blob.handle = 0;
  IBX_CHECK(isc_close_blob(status, &h));
  SetScalar(SQL_BLOB, 0, &id, sizeof id);
}

// --- TIBXSQLDA ------------------------------------------------------------------------------

TIBXSQLVAR& TIBXSQLDA::Vars(int index) const {
  if (index < 0 || index >= Count())
    throw EIBClientError(Format("%s index %d out of range (0..%d)",
                                {FIsParams ? "Parameter" : "Column", index, Count() - 1}));
  return *FVars[static_cast<size_t>(index)];
}

int TIBXSQLDA::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& n = FIsParams ? FNames[static_cast<size_t>(i)] : FVars[static_cast<size_t>(i)]->Name();
    if (AnsiSameText(n, name)) return i;
  }
  return -1;
}

TIBXSQLVAR* TIBXSQLDA::ByName(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : FVars[static_cast<size_t>(i)].get();
}

void TIBXSQLDA::Allocate(int count) {
  count = std::max(count, 1);
  size_t size = XSQLDA_LENGTH(count);
  FArea.reset(new char[size]);
  std::memset(FArea.get(), 0, size);
  XSQLDA* da = AsDA(FArea.get());
  da->version = SQLDA_VERSION1;
  da->sqln = static_cast<ISC_SHORT>(count);
}

void TIBXSQLDA::Build(const std::vector<std::string>& names) {
  FVars.clear();
  XSQLDA* da = AsDA(FArea.get());
  for (int i = 0; i < da->sqld; ++i)
    FVars.push_back(std::make_unique<TIBXSQLVAR>(FOwner, &da->sqlvar[i], i, FIsParams));
  FNames = names;
  FNames.resize(FVars.size());
  for (size_t i = 0; i < FVars.size(); ++i)
    for (size_t j = 0; j < FVars.size(); ++j)
      if (i != j && !FNames[i].empty() && AnsiSameText(FNames[i], FNames[j]))
        FVars[i]->FSameName.push_back(FVars[j].get());
}

void TIBXSQLDA::Reset() {
  FVars.clear();
  FNames.clear();
  FArea.reset();
}

// --- TIBSQL ---------------------------------------------------------------------------------

TIBSQL::TIBSQL() : FParams(this, true), FColumns(this, false) {}

TIBSQL::~TIBSQL() { FreeHandle(); }

bool TIBSQL::TextChanged() const {
  if (static_cast<size_t>(FSQL.Count()) != FPreparedLines.size()) return true;
  for (int i = 0; i < FSQL.Count(); ++i)
    if (FSQL.Strings(i) != FPreparedLines[static_cast<size_t>(i)]) return true;
  return false;
}

void TIBSQL::CheckPrepared() {
  if (!Prepared() || TextChanged()) Prepare();
}

void TIBSQL::Prepare() {
  TIBDatabase& db = CheckDatabase();
  TIBTransaction& tr = CheckTransaction();
  FreeHandle();
  std::string text = FSQL.Text();
  if (Trim(text).empty()) throw EIBClientError("The statement text is empty");
  std::vector<std::string> names;
  FProcessedSQL = FParamCheck ? PreprocessSQL(text, names) : text;

  ISC_STATUS_ARRAY status;
  IBX_CHECK(isc_dsql_allocate_statement(status, db.Handle(), &FHandle));
  try {
    FColumns.Allocate(1);
    XSQLDA* out = AsDA(FColumns.Area());
    IBX_CHECK(isc_dsql_prepare(status, tr.Handle(), &FHandle, 0, FProcessedSQL.c_str(),
                               static_cast<unsigned short>(db.SQLDialect()), out));
    if (out->sqld > out->sqln) {
      FColumns.Allocate(out->sqld);
      out = AsDA(FColumns.Area());
      IBX_CHECK(isc_dsql_describe(status, &FHandle, SQLDA_VERSION1, out));
    }
    FColumns.Build({});

    char item = isc_info_sql_stmt_type;
    char info[16];
    IBX_CHECK(isc_dsql_sql_info(status, &FHandle, 1, &item, sizeof info, info));
    FSQLType = SQLUnknown;
    if (info[0] == isc_info_sql_stmt_type) {
      short len = static_cast<short>(isc_vax_integer(info + 1, 2));
      long t = isc_vax_integer(info + 3, len);
      if (t >= SQLSelect && t <= SQLSetGenerator) FSQLType = static_cast<TIBSQLTypes>(t);
    }

    FParams.Allocate(1);
    XSQLDA* in = AsDA(FParams.Area());
    IBX_CHECK(isc_dsql_describe_bind(status, &FHandle, SQLDA_VERSION1, in));
    if (in->sqld > in->sqln) {
      FParams.Allocate(in->sqld);
      in = AsDA(FParams.Area());
      IBX_CHECK(isc_dsql_describe_bind(status, &FHandle, SQLDA_VERSION1, in));
    }
    FParams.Build(names);
  } catch (...) {
    FreeHandle();
    throw;
  }
  FPrepared = true;
  FPreparedLines.clear();
  for (int i = 0; i < FSQL.Count(); ++i) FPreparedLines.push_back(FSQL.Strings(i));
}

void TIBSQL::FreeHandle() {
  if (FHandle) {
    ISC_STATUS_ARRAY status;
    // Dropping also closes the cursor. A failure means the handle is already gone with its
    // connection, which is what we want.
    isc_dsql_free_statement(status, &FHandle, DSQL_drop);
    FHandle = 0;
  }
  FCursorOpen = false;
  FEof = true;
  FPrepared = false;
  FPreparedLines.clear();
  FParams.Reset();
  FColumns.Reset();
}

TIBSQLTypes TIBSQL::SQLType() {
  CheckPrepared();
  return FSQLType;
}

void TIBSQL::ExecQuery() {
  CheckPrepared();
  TIBTransaction& tr = CheckTransaction();
  Close();
  ISC_STATUS_ARRAY status;
  XSQLDA* in = FParams.Count() ? AsDA(FParams.Area()) : nullptr;
  FRecordCount = 0;
  if (FSQLType == SQLSelect || FSQLType == SQLSelectForUpdate) {
    IBX_CHECK(isc_dsql_execute(status, tr.Handle(), &FHandle, SQLDA_VERSION1, in));
    FCursorOpen = true;
    FEof = false;
    FBof = true;
    if (FGoToFirst) Next();
  } else if (FColumns.Count() > 0) {
    IBX_CHECK(isc_dsql_execute2(status, tr.Handle(), &FHandle, SQLDA_VERSION1, in,
                                AsDA(FColumns.Area())));
    FEof = false;
    FBof = true;
    FRecordCount = 1;
  } else {
    IBX_CHECK(isc_dsql_execute(status, tr.Handle(), &FHandle, SQLDA_VERSION1, in));
    FEof = true;
    FBof = false;
  }
}

TIBXSQLDA* TIBSQL::Next() {
  if (FEof) return nullptr;
  if (!FCursorOpen) {  // the single row of output values has been read
    FEof = true;
    return nullptr;
  }
  ISC_STATUS_ARRAY status;
  ISC_STATUS rc = isc_dsql_fetch(status, &FHandle, SQLDA_VERSION1, AsDA(FColumns.Area()));
  if (rc == 100) {
    FEof = true;
    return nullptr;
  }
  if (rc) RaiseStatus(status);
  ++FRecordCount;
  FBof = FRecordCount == 1;
  return &FColumns;
}

void TIBSQL::Close() {
  if (FCursorOpen && FHandle) {
    FCursorOpen = false;
    ISC_STATUS_ARRAY status;
    // The engine has closed the cursor itself when its transaction ended; that is no error.
    isc_dsql_free_statement(status, &FHandle, DSQL_close);
  }
  FCursorOpen = false;
  FEof = true;
  FBof = false;
}

TIBXSQLDA& TIBSQL::Params() {
  CheckPrepared();
  return FParams;
}

TIBXSQLVAR& TIBSQL::ParamByName(const std::string& name) {
  TIBXSQLVAR* v = Params().ByName(name);
  if (!v) throw EIBClientError(Format("Parameter \"%s\" not found", {name}));
  return *v;
}

TIBXSQLDA& TIBSQL::Current() {
  CheckPrepared();
  return FColumns;
}

TIBXSQLVAR& TIBSQL::FieldByName(const std::string& name) {
  TIBXSQLVAR* v = Current().ByName(name);
  if (!v) throw EIBClientError("Поле не найдено: "_ansi + name);
  return *v;
}

int TIBSQL::FieldIndex(const std::string& name) { return Current().IndexOf(name); }

int TIBSQL::RowsAffected() {
  if (!Prepared()) return -1;
  char item = isc_info_sql_records;
  char info[128];
  ISC_STATUS_ARRAY status;
  IBX_CHECK(isc_dsql_sql_info(status, &FHandle, 1, &item, sizeof info, info));
  int64_t selects = 0, inserts = 0, updates = 0, deletes = 0;
  if (info[0] == isc_info_sql_records) {
    const char* p = info + 3;
    const char* end = info + sizeof info;
    while (p + 3 <= end && *p != isc_info_end) {
      char code = *p;
      short len = static_cast<short>(isc_vax_integer(p + 1, 2));
      if (len < 0 || p + 3 + len > end) break;
      int64_t value = isc_vax_integer(p + 3, len);
      switch (code) {
        case isc_info_req_select_count: selects = value; break;
        case isc_info_req_insert_count: inserts = value; break;
        case isc_info_req_update_count: updates = value; break;
        case isc_info_req_delete_count: deletes = value; break;
        default: break;
      }
      p += 3 + len;
    }
  }
  switch (FSQLType) {
    case SQLSelect:
    case SQLSelectForUpdate: return static_cast<int>(selects);
    case SQLInsert: return static_cast<int>(inserts);
    case SQLUpdate: return static_cast<int>(updates);
    case SQLDelete: return static_cast<int>(deletes);
    case SQLExecProcedure: return static_cast<int>(inserts + updates + deletes);
    default: return -1;
  }
}

void TIBSQL::DatabaseDisconnecting() { FreeHandle(); }

void TIBSQL::TransactionEnding() { Close(); }

// --- text helpers ---------------------------------------------------------------------------

std::string PreprocessSQL(const std::string& sql, std::vector<std::string>& names) {
  names.clear();
  std::string out;
  out.reserve(sql.size());
  size_t i = 0, n = sql.size();
  auto isNameChar = [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
  };
  while (i < n) {
    char c = sql[i];
    if (c == '\'' || c == '"') {
      size_t close = sql.find(c, i + 1);
      size_t end = close == std::string::npos ? n : close + 1;
      out.append(sql, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      size_t eol = sql.find('\n', i);
      size_t end = eol == std::string::npos ? n : eol;
      out.append(sql, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      size_t close = sql.find("*/", i + 2);
      size_t end = close == std::string::npos ? n : close + 2;
      out.append(sql, i, end - i);
      i = end;
    } else if (c == ':' && i + 1 < n && sql[i + 1] == '"') {
      size_t close = sql.find('"', i + 2);
      size_t end = close == std::string::npos ? n : close;
      names.push_back(sql.substr(i + 2, end - i - 2));
      out += '?';
      i = close == std::string::npos ? n : close + 1;
    } else if (c == ':' && i + 1 < n && isNameChar(static_cast<unsigned char>(sql[i + 1]))) {
      size_t j = i + 1;
      while (j < n && isNameChar(static_cast<unsigned char>(sql[j]))) ++j;
      names.push_back(sql.substr(i + 1, j - i - 1));
      out += '?';
      i = j;
    } else {
      if (c == '?') names.emplace_back();
      out += c;
      ++i;
    }
  }
  return out;
}

static bool IsQuoted(const std::string& name) {
  return name.size() >= 2 && name.front() == '"' && name.back() == '"';
}

std::string QuoteIdentifier(int dialect, const std::string& name) {
  if (IsQuoted(name) || dialect < 3) return name;
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + '"';
}

std::string CatalogueName(int dialect, const std::string& name) {
  if (IsQuoted(name)) {
    std::string out;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      out += name[i];
      if (name[i] == '"' && i + 2 < name.size() && name[i + 1] == '"') ++i;
    }
    return out;
  }
  return dialect < 3 ? AnsiUpperCase(name) : name;
}
