// Variant: the tagged value that carries parameter values, column values and column arguments.
//
// It tells apart Empty, Null, Boolean, signed and unsigned integers of 8, 16, 32 and 64 bits,
// 4- and 8-byte floats, currency (a 64-bit integer scaled by 10 000), date-time and 8-bit strings.
// Blob values ride in strings, one byte a character. An array of Variants carries the schema
// restrictions of the ODBC layer. The type codes are the class library's, so that "type 256"
// means a string here as it does there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"

using TVarType = uint16_t;
inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;  // int16
inline constexpr TVarType varInteger = 0x0003;   // int32
inline constexpr TVarType varSingle = 0x0004;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varShortInt = 0x0010;  // int8
inline constexpr TVarType varByte = 0x0011;      // uint8
inline constexpr TVarType varWord = 0x0012;      // uint16
inline constexpr TVarType varLongWord = 0x0013;  // uint32
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varUInt64 = 0x0015;
inline constexpr TVarType varString = 0x0100;
inline constexpr TVarType varArray = 0x2000;

// Raised when a Variant cannot be converted to the type asked for (Null to a number, text that
// is no number, a value out of the target's range).
class EVariantTypeCastError : public EVariantError { using EVariantError::EVariantError; };

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(bool v) : FType(varBoolean) { FInt = v ? 1 : 0; }
  Variant(int8_t v) : FType(varShortInt) { FInt = v; }
  Variant(uint8_t v) : FType(varByte) { FInt = v; }
  Variant(int16_t v) : FType(varSmallint) { FInt = v; }
  Variant(uint16_t v) : FType(varWord) { FInt = v; }
  Variant(int32_t v) : FType(varInteger) { FInt = v; }
  Variant(uint32_t v) : FType(varLongWord) { FInt = v; }
  Variant(int64_t v) : FType(varInt64) { FInt = v; }
  Variant(uint64_t v) : FType(varUInt64) { FInt = static_cast<int64_t>(v); }
  Variant(float v) : FType(varSingle) { FFloat = v; }
  Variant(double v) : FType(varDouble) { FFloat = v; }
  Variant(std::string v) : FType(varString), FStr(std::move(v)) {}
  Variant(const char* v) : FType(varString), FStr(v) {}
  Variant(std::vector<Variant> items);

  static Variant Null();
  // Currency from its scaled form (value * 10 000) or from a double (rounded half to even).
  static Variant FromCurrencyScaled(int64_t scaled);
  static Variant FromCurrency(double value);
  static Variant FromDateTime(TDateTime value);

  TVarType VarType() const { return FType; }
  bool IsEmpty() const { return FType == varEmpty; }
  bool IsNull() const { return FType == varNull; }
  bool IsString() const { return FType == varString; }
  bool IsArray() const { return FType == varArray; }
  // Integer of any width, signed or unsigned (Boolean excluded).
  bool IsInteger() const;
  bool IsFloat() const { return FType == varSingle || FType == varDouble; }

  // Conversions in the class library's manner. Empty converts to 0, False or the empty string;
  // Null converts to the empty string only (ToString) and raises EVariantTypeCastError for the
  // rest; strings are parsed (numbers with the locale's decimal separator, "True"/"False" for
  // Booleans); values out of the target's range raise EVariantTypeCastError.
  std::string ToString() const;
  bool ToBool() const;
  int32_t ToInt32() const;
  uint32_t ToUInt32() const;
  int64_t ToInt64() const;
  uint64_t ToUInt64() const;
  double ToDouble() const;
  int64_t ToCurrencyScaled() const;
  TDateTime ToDateTime() const;

  // The raw content, valid for the matching types only.
  const std::string& StrRef() const { return FStr; }
  int64_t RawInt() const { return FInt; }
  double RawFloat() const { return FFloat; }
  const std::vector<Variant>& Items() const;

  // Same type and same value (strings byte for byte). Meant for tests and change detection.
  bool operator==(const Variant& other) const;

  // Name of a type code, for messages ("Null", "Integer", "String", ...).
  static const char* TypeName(TVarType type);

 private:
  [[noreturn]] void CastError(TVarType target) const;
  int64_t ToIntegerInRange(int64_t lo, int64_t hi, TVarType target) const;

  TVarType FType = varEmpty;
  int64_t FInt = 0;     // integers, Boolean, currency (scaled)
  double FFloat = 0;    // floats, date-time
  std::string FStr;
  std::shared_ptr<const std::vector<Variant>> FArray;
};
