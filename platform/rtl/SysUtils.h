// The small runtime the rest of the system stands on: exceptions with a message, the two
// case-insensitive comparisons, Format, number parsing with the locale's decimal separator,
// date-time arithmetic and GUIDs. All texts are Windows-1251 byte strings.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "platform/rtl/AnsiText.h"

// Base of every exception the system raises. The message is Windows-1251; what() gives it in
// UTF-8 for diagnostics outside the program (test output, the terminal).
class Exception : public std::exception {
 public:
  explicit Exception(std::string message);
  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string message);
  const char* what() const noexcept override { return FUtf8.c_str(); }

 private:
  std::string FMessage;
  std::string FUtf8;
};

// The message of any exception in Windows-1251: an Exception's own, or what() of another.
std::string ExceptionMessage(const std::exception& e);

// For a destructor, which cannot raise: an error no caller is left to see is written to stderr, so
// that it does not pass for success.
void ReportLostError(const std::exception& e);

class EConvertError : public Exception { using Exception::Exception; };
class EVariantError : public Exception { using Exception::Exception; };
class EListError : public Exception { using Exception::Exception; };
class EAssertionFailed : public Exception { using Exception::Exception; };
class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EFileError : public EStreamError { using EStreamError::EStreamError; };
// Raised by dialogs and loops that the user ends; callers treat it as a quiet stop.
class EAbort : public Exception { using Exception::Exception; };

// Number formatting settings of the user's locale. The decimal separator is settable so that
// tests can try both ',' and '.'.
struct TFormatSettings {
  char DecimalSeparator = '.';
};
TFormatSettings& FormatSettings();
// Takes the decimal separator from the process's locale (LC_NUMERIC of the environment).
void LoadFormatSettingsFromLocale();

// --- comparisons -------------------------------------------------------------------------
// Locale-aware and case-insensitive, as the Russian user locale compares: ASCII and Cyrillic
// letters (Ё/ё and the other Cyrillic letters of Windows-1251 included) fold onto their capitals.
// Negative, zero or positive.
int AnsiCompareText(std::string_view a, std::string_view b);
bool AnsiSameText(std::string_view a, std::string_view b);
char AnsiUpperChar(char c);
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

// Folds only the ASCII letters a-z onto A-Z; every other byte, Cyrillic included, compares exactly.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
std::string UpperCase(std::string_view s);

// --- strings ----------------------------------------------------------------------------
// Removes characters of code 32 or less (taken as unsigned bytes) from both ends / one end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string IntToStr(int64_t value);
// Parses a whole decimal number (optional blanks around, optional sign); EConvertError otherwise.
int32_t StrToInt(std::string_view s);
int64_t StrToInt64(std::string_view s);
bool TryStrToInt64(std::string_view s, int64_t& value);
int32_t StrToIntDef(std::string_view s, int32_t def);

// --- Format ------------------------------------------------------------------------------
// One argument of Format: a string, a whole number or a floating-point number.
class TFormatArg {
 public:
  TFormatArg(const std::string& s) : FValue(s) {}
  TFormatArg(const char* s) : FValue(std::string(s)) {}
  TFormatArg(std::string_view s) : FValue(std::string(s)) {}
  TFormatArg(int v) : FValue(static_cast<int64_t>(v)) {}
  TFormatArg(long v) : FValue(static_cast<int64_t>(v)) {}
  TFormatArg(long long v) : FValue(static_cast<int64_t>(v)) {}
  TFormatArg(unsigned v) : FValue(static_cast<int64_t>(v)) {}
  TFormatArg(double v) : FValue(v) {}
  const std::variant<std::string, int64_t, double>& Value() const { return FValue; }

 private:
  std::variant<std::string, int64_t, double> FValue;
};

// Formats like the class library's Format: %s, %d, %u, %x, %f, %e, %g, %n, %% with optional
// "-", width and ".precision"; the type letter is case-insensitive (%S is %s). Floating-point
// output uses the locale's decimal separator. A specifier that does not fit its argument, or
// missing arguments, raise EConvertError.
std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args);

// --- numbers -----------------------------------------------------------------------------
// Parses a floating-point number written with the locale's decimal separator, optional sign and
// exponent, blanks allowed around it. EConvertError on anything else.
double StrToFloat(std::string_view s);
bool TryStrToFloat(std::string_view s, double& value);
// Shortest text that reads back to the same double (up to 15 significant digits), with the
// locale's decimal separator.
std::string FloatToStr(double value);

// Rounds half to even, as the class library's Round does.
int64_t RoundHalfEven(double value);

// --- date and time -------------------------------------------------------------------------
// A date-time is a double: days since 30 December 1899, the fraction the time of day.
using TDateTime = double;
TDateTime EncodeDate(int year, int month, int day);  // EConvertError on an invalid date
TDateTime EncodeTime(int hour, int min, int sec, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
// "dd.mm.yyyy hh:nn:ss" (the time left out when it is midnight).
std::string DateTimeToStr(TDateTime dt);
TDateTime Now();

// --- GUIDs -------------------------------------------------------------------------------
struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};
};
TGUID CreateGUID();  // a random (version 4) GUID; any thread
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters, capital hex digits.
std::string GUIDToString(const TGUID& guid);
