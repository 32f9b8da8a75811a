#include "platform/rtl/SysUtils.h"

#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>

Exception::Exception(std::string message) { SetMessage(std::move(message)); }

void Exception::SetMessage(std::string message) {
  FMessage = std::move(message);
  FUtf8 = AnsiToUtf8(FMessage);
}

std::string ExceptionMessage(const std::exception& e) {
  if (auto* ours = dynamic_cast<const Exception*>(&e)) return ours->Message();
  return Utf8ToAnsi(e.what(), '?');
}

void ReportLostError(const std::exception& e) { std::fprintf(stderr, "%s\n", e.what()); }

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

void LoadFormatSettingsFromLocale() {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "")) {
    const lconv* conv = std::localeconv();
    if (conv && conv->decimal_point && conv->decimal_point[0] && !conv->decimal_point[1])
      FormatSettings().DecimalSeparator = conv->decimal_point[0];
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

// --- comparisons -------------------------------------------------------------------------

namespace {

// Capital of each Windows-1251 byte under the Russian locale.
struct UpperTable {
  unsigned char up[256];
  unsigned char low[256];
  UpperTable() {
    for (int i = 0; i < 256; ++i) up[i] = low[i] = static_cast<unsigned char>(i);
    auto pair = [this](int capital, int small) {
      up[small] = static_cast<unsigned char>(capital);
      low[capital] = static_cast<unsigned char>(small);
    };
    for (int c = 'A'; c <= 'Z'; ++c) pair(c, c + 32);
    for (int c = 0xC0; c <= 0xDF; ++c) pair(c, c + 32);
    // Cyrillic letters outside the basic alphabet: capital, small.
    const int extra[][2] = {{0xA8, 0xB8}, {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                            {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC},
                            {0xA5, 0xB4}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
    for (const auto& p : extra) pair(p[0], p[1]);
  }
};

const UpperTable& Upper() {
  static const UpperTable table;
  return table;
}

// Sort weight of a folded byte: Unicode order, except that Ё sorts right after Е.
uint32_t Weight(unsigned char c) {
  char32_t cp = AnsiCharToCodePoint(c);
  if (cp == 0x0401) return (0x0415u << 1) | 1u;
  return static_cast<uint32_t>(cp) << 1;
}

unsigned char AsciiUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

}  // namespace

char AnsiUpperChar(char c) {
  return static_cast<char>(Upper().up[static_cast<unsigned char>(c)]);
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  const auto& t = Upper();
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = t.up[static_cast<unsigned char>(a[i])];
    unsigned char y = t.up[static_cast<unsigned char>(b[i])];
    if (x != y) return Weight(x) < Weight(y) ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto& t = Upper();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (t.up[static_cast<unsigned char>(a[i])] != t.up[static_cast<unsigned char>(b[i])]) return false;
  return true;
}

std::string AnsiUpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(Upper().up[static_cast<unsigned char>(c)]);
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(Upper().low[static_cast<unsigned char>(c)]);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = AsciiUpper(static_cast<unsigned char>(a[i]));
    unsigned char y = AsciiUpper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) { return CompareText(a, b) == 0; }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiUpper(static_cast<unsigned char>(c)));
  return r;
}

// --- strings ----------------------------------------------------------------------------

namespace {
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
}  // namespace

std::string Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return std::string(s.substr(0, n));
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

bool TryStrToInt64(std::string_view s, int64_t& value) {
  std::string t = Trim(s);
  std::string_view v = t;
  if (!v.empty() && v[0] == '+') v.remove_prefix(1);
  if (v.empty()) return false;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  return ec == std::errc() && p == v.data() + v.size();
}

int64_t StrToInt64(std::string_view s) {
  int64_t v = 0;
  if (!TryStrToInt64(s, v))
    throw EConvertError(Format("\"%s\" не является целым числом"_ansi, {std::string(s)}));
  return v;
}

int32_t StrToInt(std::string_view s) {
  int64_t v = 0;
  if (!TryStrToInt64(s, v) || v < INT32_MIN || v > INT32_MAX)
    throw EConvertError(Format("\"%s\" не является целым числом"_ansi, {std::string(s)}));
  return static_cast<int32_t>(v);
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int64_t v = 0;
  if (!TryStrToInt64(s, v) || v < INT32_MIN || v > INT32_MAX) return def;
  return static_cast<int32_t>(v);
}

// --- Format ------------------------------------------------------------------------------

namespace {

[[noreturn]] void FormatError(std::string_view fmt) {
  throw EConvertError(
      Format("Строка формата \"%s\" неверна или не подходит к аргументам"_ansi, {std::string(fmt)}));
}

std::string WithSeparator(std::string s) {
  char sep = FormatSettings().DecimalSeparator;
  if (sep != '.')
    for (char& c : s)
      if (c == '.') c = sep;
  return s;
}

std::string GroupThousands(const std::string& digits) {
  // digits: optional '-', integer part, optional '.' and fraction
  std::size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
  std::size_t dot = digits.find('.');
  std::size_t end = dot == std::string::npos ? digits.size() : dot;
  std::string out = digits.substr(0, start);
  for (std::size_t i = start; i < end; ++i) {
    out += digits[i];
    std::size_t left = end - i - 1;
    if (left > 0 && left % 3 == 0) out += ' ';
  }
  out += digits.substr(end);
  return out;
}

}  // namespace

std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args) {
  std::string out;
  auto arg = args.begin();
  std::size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    ++i;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    bool left = false;
    if (i < fmt.size() && fmt[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1, precision = -1;
    auto number = [&](int& target) {
      if (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        target = 0;
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') target = target * 10 + (fmt[i++] - '0');
      }
    };
    number(width);
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      precision = 0;
      number(precision);
    }
    if (i >= fmt.size() || arg == args.end()) FormatError(fmt);
    char type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i++])));
    const auto& v = arg->Value();
    ++arg;
    std::string piece;
    switch (type) {
      case 's':
        if (!std::holds_alternative<std::string>(v)) FormatError(fmt);
        piece = std::get<std::string>(v);
        if (precision >= 0 && static_cast<std::size_t>(precision) < piece.size()) piece.resize(precision);
        break;
      case 'd':
      case 'u':
      case 'x': {
        if (!std::holds_alternative<int64_t>(v)) FormatError(fmt);
        int64_t n = std::get<int64_t>(v);
        char buf[40];
        if (type == 'x')
          std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(n));
        else if (type == 'u')
          std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(static_cast<uint32_t>(n)));
        else
          std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n));
        piece = buf;
        bool neg = !piece.empty() && piece[0] == '-';
        std::size_t digits = piece.size() - (neg ? 1 : 0);
        if (precision > 0 && static_cast<std::size_t>(precision) > digits)
          piece.insert(neg ? 1 : 0, static_cast<std::size_t>(precision) - digits, '0');
        break;
      }
      case 'f':
      case 'e':
      case 'g':
      case 'n': {
        double d;
        if (std::holds_alternative<double>(v)) d = std::get<double>(v);
        else FormatError(fmt);
        char buf[400];
        if (type == 'e') {
          std::snprintf(buf, sizeof buf, "%.*E", precision < 0 ? 15 : precision, d);
        } else if (type == 'g') {
          std::snprintf(buf, sizeof buf, "%.*G", precision < 0 ? 15 : precision, d);
        } else {
          std::snprintf(buf, sizeof buf, "%.*f", precision < 0 ? 2 : precision, d);
        }
        piece = buf;
        if (type == 'n') piece = GroupThousands(piece);
        piece = WithSeparator(piece);
        break;
      }
      default:
        FormatError(fmt);
    }
    if (width > 0 && piece.size() < static_cast<std::size_t>(width)) {
      std::string pad(static_cast<std::size_t>(width) - piece.size(), ' ');
      piece = left ? piece + pad : pad + piece;
    }
    out += piece;
  }
  return out;
}

// --- numbers -----------------------------------------------------------------------------

bool TryStrToFloat(std::string_view s, double& value) {
  std::string t = Trim(s);
  const char sep = FormatSettings().DecimalSeparator;
  // Rewrite into the form from_chars reads, checking the grammar on the way:
  // [sign] digits [sep digits] [(e|E) [sign] digits], with at least one digit in the mantissa.
  std::string plain;
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int mantissaDigits = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) { plain += t[i++]; ++mantissaDigits; }
  if (i < t.size() && t[i] == sep) {
    plain += '.';
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) { plain += t[i++]; ++mantissaDigits; }
  }
  if (mantissaDigits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) plain += t[i++];
    int expDigits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) { plain += t[i++]; ++expDigits; }
    if (expDigits == 0) return false;
  }
  if (i != t.size()) return false;
  double d = 0;
  auto [p, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), d);
  if (ec != std::errc() || p != plain.data() + plain.size()) return false;
  value = negative ? -d : d;
  return true;
}

double StrToFloat(std::string_view s) {
  double v = 0;
  if (!TryStrToFloat(s, v))
    throw EConvertError(Format("\"%s\" не является числом"_ansi, {std::string(s)}));
  return v;
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return WithSeparator(buf);
}

int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

// --- date and time -------------------------------------------------------------------------

namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 0001-01-01 (day 1) to the given date, proleptic Gregorian.
int64_t DayNumber(int y, int m, int d) {
  int64_t yy = y - 1;
  int64_t n = yy * 365 + yy / 4 - yy / 100 + yy / 400;
  for (int i = 1; i < m; ++i) n += DaysInMonth(y, i);
  return n + d;
}

const int64_t kDelta = DayNumber(1899, 12, 30);

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  result = static_cast<double>(DayNumber(year, month, day) - kDelta);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r = 0;
  if (!TryEncodeDate(year, month, day, r))
    throw EConvertError(Format("Неверная дата: %d.%d.%d"_ansi, {day, month, year}));
  return r;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
    throw EConvertError(Format("Неверное время: %d:%d:%d.%d"_ansi, {hour, min, sec, msec}));
  return (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / 86400000.0;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  int64_t n = static_cast<int64_t>(std::floor(dt)) + kDelta;  // day number from 0001-01-01 = 1
  // Find the year by estimate and correction.
  int y = static_cast<int>(n / 365.2425) + 1;
  while (y > 1 && DayNumber(y, 1, 1) > n) --y;
  while (DayNumber(y + 1, 1, 1) <= n) ++y;
  int m = 1;
  while (m < 12 && DayNumber(y, m + 1, 1) <= n) ++m;
  year = y;
  month = m;
  day = static_cast<int>(n - DayNumber(y, m, 1) + 1);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  double frac = std::fabs(dt - std::trunc(dt));
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  min = static_cast<int>(ms / 60000 % 60);
  sec = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

std::string DateTimeToStr(TDateTime dt) {
  int y, m, d, h, n, s, ms;
  DecodeDate(dt, y, m, d);
  DecodeTime(dt, h, n, s, ms);
  char buf[64];
  if (h == 0 && n == 0 && s == 0 && ms == 0)
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  else
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %d:%02d:%02d", d, m, y, h, n, s);
  return buf;
}

TDateTime Now() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
}

// --- GUIDs -------------------------------------------------------------------------------

TGUID CreateGUID() {
  // One generator for every thread (a copy asks its databases on threads of its own).
  static std::mutex lock;
  static std::random_device device;
  static std::mt19937_64 engine(
      (static_cast<uint64_t>(device()) << 32) ^ device() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  uint64_t a, b;
  {
    std::lock_guard<std::mutex> hold(lock);
    a = engine();
    b = engine();
  }
  TGUID g;
  g.D1 = static_cast<uint32_t>(a >> 32);
  g.D2 = static_cast<uint16_t>(a >> 16);
  g.D3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) g.D4[i] = static_cast<uint8_t>(b >> (8 * i));
  g.D4[0] = static_cast<uint8_t>((g.D4[0] & 0x3F) | 0x80);
  return g;
}

std::string GUIDToString(const TGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.D1, g.D2, g.D3,
                g.D4[0], g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5], g.D4[6], g.D4[7]);
  return buf;
}
