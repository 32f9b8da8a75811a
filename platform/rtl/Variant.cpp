#include "platform/rtl/Variant.h"

#include <cmath>
#include <limits>

Variant::Variant(std::vector<Variant> items)
    : FType(varArray), FArray(std::make_shared<const std::vector<Variant>>(std::move(items))) {}

Variant Variant::Null() {
  Variant v;
  v.FType = varNull;
  return v;
}

Variant Variant::FromCurrencyScaled(int64_t scaled) {
  Variant v;
  v.FType = varCurrency;
  v.FInt = scaled;
  return v;
}

Variant Variant::FromCurrency(double value) {
  return FromCurrencyScaled(RoundHalfEven(value * 10000.0));
}

Variant Variant::FromDateTime(TDateTime value) {
  Variant v;
  v.FType = varDate;
  v.FFloat = value;
  return v;
}

bool Variant::IsInteger() const {
  switch (FType) {
    case varShortInt: case varByte: case varSmallint: case varWord:
    case varInteger: case varLongWord: case varInt64: case varUInt64:
      return true;
    default:
      return false;
  }
}

const std::vector<Variant>& Variant::Items() const {
  static const std::vector<Variant> none;
  return FArray ? *FArray : none;
}

const char* Variant::TypeName(TVarType type) {
  switch (type) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varBoolean: return "Boolean";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varUInt64: return "UInt64";
    case varString: return "String";
    case varArray: return "Array";
    default: return "Unknown";
  }
}

void Variant::CastError(TVarType target) const {
  throw EVariantTypeCastError(Format("Невозможно преобразовать значение типа (%s) в тип (%s)"_ansi,
                                     {TypeName(FType), TypeName(target)}));
}

std::string Variant::ToString() const {
  switch (FType) {
    case varEmpty:
    case varNull:
      return std::string();
    case varBoolean:
      return FInt ? "True" : "False";
    case varUInt64:
      return std::to_string(static_cast<uint64_t>(FInt));
    case varShortInt: case varByte: case varSmallint: case varWord:
    case varInteger: case varLongWord: case varInt64:
      return std::to_string(FInt);
    case varSingle:
      return FloatToStr(static_cast<float>(FFloat));
    case varDouble:
      return FloatToStr(FFloat);
    case varCurrency:
      return FloatToStr(static_cast<double>(FInt) / 10000.0);
    case varDate:
      return DateTimeToStr(FFloat);
    case varString:
      return FStr;
    default:
      CastError(varString);
  }
}

bool Variant::ToBool() const {
  switch (FType) {
    case varEmpty:
      return false;
    case varBoolean: case varShortInt: case varByte: case varSmallint: case varWord:
    case varInteger: case varLongWord: case varInt64: case varUInt64: case varCurrency:
      return FInt != 0;
    case varSingle: case varDouble: case varDate:
      return FFloat != 0;
    case varString: {
      if (AnsiSameText(FStr, "True")) return true;
      if (AnsiSameText(FStr, "False")) return false;
      double d = 0;
      if (TryStrToFloat(FStr, d)) return d != 0;
      CastError(varBoolean);
    }
    default:
      CastError(varBoolean);
  }
}

int64_t Variant::ToIntegerInRange(int64_t lo, int64_t hi, TVarType target) const {
  switch (FType) {
    case varEmpty:
      return 0;
    case varBoolean:
      return FInt ? -1 : 0;  // the class library's True is -1 as an integer
    case varShortInt: case varByte: case varSmallint: case varWord:
    case varInteger: case varLongWord: case varInt64:
      if (FInt < lo || FInt > hi) CastError(target);
      return FInt;
    case varUInt64:
      if (static_cast<uint64_t>(FInt) > static_cast<uint64_t>(hi)) CastError(target);
      return FInt;
    case varCurrency: {
      double d = std::nearbyint(static_cast<double>(FInt) / 10000.0);
      if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) CastError(target);
      return static_cast<int64_t>(d);
    }
    case varSingle: case varDouble: case varDate: {
      if (!std::isfinite(FFloat)) CastError(target);
      double d = std::nearbyint(FFloat);
      if (d < static_cast<double>(lo) || d >= static_cast<double>(hi) + 1.0) CastError(target);
      return static_cast<int64_t>(d);
    }
    case varString: {
      int64_t n = 0;
      if (TryStrToInt64(FStr, n)) {
        if (n < lo || n > hi) CastError(target);
        return n;
      }
      double d = 0;
      if (!TryStrToFloat(FStr, d)) CastError(target);
      return Variant(d).ToIntegerInRange(lo, hi, target);
    }
    default:
      CastError(target);
  }
}

int32_t Variant::ToInt32() const {
  return static_cast<int32_t>(ToIntegerInRange(INT32_MIN, INT32_MAX, varInteger));
}

uint32_t Variant::ToUInt32() const {
  return static_cast<uint32_t>(ToIntegerInRange(0, UINT32_MAX, varLongWord));
}

int64_t Variant::ToInt64() const {
  return ToIntegerInRange(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                          varInt64);
}

uint64_t Variant::ToUInt64() const {
  if (FType == varUInt64) return static_cast<uint64_t>(FInt);
  return static_cast<uint64_t>(ToIntegerInRange(0, std::numeric_limits<int64_t>::max(), varUInt64));
}

double Variant::ToDouble() const {
  switch (FType) {
    case varEmpty:
      return 0;
    case varBoolean:
      return FInt ? -1 : 0;
    case varShortInt: case varByte: case varSmallint: case varWord:
    case varInteger: case varLongWord: case varInt64:
      return static_cast<double>(FInt);
    case varUInt64:
      return static_cast<double>(static_cast<uint64_t>(FInt));
    case varCurrency:
      return static_cast<double>(FInt) / 10000.0;
    case varSingle: case varDouble: case varDate:
      return FFloat;
    case varString: {
      double d = 0;
      if (!TryStrToFloat(FStr, d)) CastError(varDouble);
      return d;
    }
    default:
      CastError(varDouble);
  }
}

int64_t Variant::ToCurrencyScaled() const {
  if (FType == varCurrency) return FInt;
  if (IsInteger()) return FInt * 10000;
  double d = ToDouble() * 10000.0;
  if (!std::isfinite(d) || std::fabs(d) > 9.2e18) CastError(varCurrency);
  return RoundHalfEven(d);
}

TDateTime Variant::ToDateTime() const {
  if (FType == varString) {
    double d = 0;
    if (TryStrToFloat(FStr, d)) return d;
    CastError(varDate);
  }
  return ToDouble();
}

bool Variant::operator==(const Variant& other) const {
  if (FType != other.FType) return false;
  switch (FType) {
    case varEmpty: case varNull:
      return true;
    case varSingle: case varDouble: case varDate:
      return FFloat == other.FFloat;
    case varString:
      return FStr == other.FStr;
    case varArray:
      return Items() == other.Items();
    default:
      return FInt == other.FInt;
  }
}
