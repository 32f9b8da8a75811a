// Identifier conversion. Check classifies a name by the first rule it breaks; Convert drives the
// repairs from that classification. Because the rules are tested in a fixed order, a name first
// loses its illegal characters, then gains the digit prefix, then is cut, then gains the
// reserved-word prefix, and every repaired name is checked again from the first rule.
#include "copier/ConvertObj.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

const char* const kReservedWords[] = {
    "ABSOLUTE", "ACTION", "ADA", "ADD", "ADMIN", "AFTER", "AGGREGATE", "ALIAS", "ALL", "ALLOCATE",
    "ALTER", "AND", "ANY", "ARE", "ARRAY", "AS", "ASC", "ASSERTION", "AT", "AUTHORIZATION", "AVG",
    "BACKUP", "BEFORE", "BEGIN", "BETWEEN", "BINARY", "BIT", "BIT_LENGTH", "BLOB", "BOOLEAN",
    "BOTH", "BREADTH", "BREAK", "BROWSE", "BULK", "BY", "CALL", "CASCADE", "CASCADED", "CASE",
    "CAST", "CATALOG", "CHAR", "CHAR_LENGTH", "CHARACTER", "CHARACTER_LENGTH", "CHECK",
    "CHECKPOINT", "CLASS", "CLOB", "CLOSE", "CLUSTERED", "COALESCE", "COLLATE", "COLLATION",
    "COLUMN", "COMMIT", "COMPLETION", "COMPUTE", "CONNECT", "CONNECTION", "CONSTRAINT",
    "CONSTRAINTS", "CONSTRUCTOR", "CONTAINS", "CONTAINSTABLE", "CONTINUE", "CONVERT",
    "CORRESPONDING", "COUNT", "CREATE", "CROSS", "CUBE", "CURRENT", "CURRENT_DATE", "CURRENT_PATH",
    "CURRENT_ROLE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "CYCLE", "DATA",
    "DATABASE", "DATE", "DAY", "DBCC", "DEALLOCATE", "DEC", "DECIMAL", "DECLARE", "DEFAULT",
    "DEFERRABLE", "DEFERRED", "DELETE", "DENY", "DEPTH", "DEREF", "DESC", "DESCRIBE", "DESCRIPTOR",
    "DESTROY", "DESTRUCTOR", "DETERMINISTIC", "DIAGNOSTICS", "DICTIONARY", "DISCONNECT", "DISK",
    "DISTINCT", "DISTRIBUTED", "DOMAIN", "DOUBLE", "DROP", "DUMMY", "DUMP", "DYNAMIC", "EACH",
    "ELSE", "END", "END-EXEC", "EQUALS", "ERRLVL", "ESCAPE", "EVERY", "EXCEPT", "EXCEPTION", "EXEC",
    "EXECUTE", "EXISTS", "EXIT", "EXTERNAL", "EXTRACT", "FALSE", "FETCH", "FILE", "FILLFACTOR",
    "FIRST", "FLOAT", "FOR", "FOREIGN", "FORTRAN", "FOUND", "FREE", "FREETEXT", "FREETEXTTABLE",
    "FROM", "FULL", "FUNCTION", "GENERAL", "GET", "GLOBAL", "GO", "GOTO", "GRANT", "GROUP",
    "GROUPING", "HAVING", "HOLDLOCK", "HOST", "HOUR", "IDENTITY", "IDENTITY_INSERT", "IDENTITYCOL",
    "IF", "IGNORE", "IMMEDIATE", "IN", "INCLUDE", "INDEX", "INDICATOR", "INITIALIZE", "INITIALLY",
    "INNER", "INOUT", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT", "INTERVAL",
    "INTO", "IS", "ISOLATION", "ITERATE", "JOIN", "KEY", "KILL", "LANGUAGE", "LARGE", "LAST",
    "LATERAL", "LEADING", "LEFT", "LESS", "LEVEL", "LIKE", "LIMIT", "LINENO", "LOAD", "LOCAL",
    "LOCALTIME", "LOCALTIMESTAMP", "LOCATOR", "LOWER", "MAP", "MATCH", "MAX", "MIN", "MINUTE",
    "MODIFIES", "MODIFY", "MODULE", "MONTH", "NAMES", "NATIONAL", "NATURAL", "NCHAR", "NCLOB",
    "NEW", "NEXT", "NO", "NOCHECK", "NONCLUSTERED", "NONE", "NOT", "NULL", "NULLIF", "NUMERIC",
    "OBJECT", "OCTET_LENGTH", "OF", "OFF", "OFFSETS", "OLD", "ON", "ONLY", "OPEN", "OPENDATASOURCE",
    "OPENQUERY", "OPENROWSET", "OPENXML", "OPERATION", "OPTION", "OR", "ORDER", "ORDINALITY", "OUT",
    "OUTER", "OUTPUT", "OVER", "OVERLAPS", "PAD", "PARAMETER", "PARAMETERS", "PARTIAL", "PASCAL",
    "PATH", "PERCENT", "PLAN", "POSITION", "POSTFIX", "PRECISION", "PREFIX", "PREORDER", "PREPARE",
    "PRESERVE", "PRIMARY", "PRINT", "PRIOR", "PRIVILEGES", "PROC", "PROCEDURE", "PUBLIC",
    "RAISERROR", "READ", "READS", "READTEXT", "REAL", "RECONFIGURE", "RECURSIVE", "REF",
    "REFERENCES", "REFERENCING", "RELATIVE", "REPLICATION", "RESTORE", "RESTRICT", "RESULT",
    "RETURN", "RETURNS", "REVOKE", "RIGHT", "ROLE", "ROLLBACK", "ROLLUP", "ROUTINE", "ROW",
    "ROWCOUNT", "ROWGUIDCOL", "ROWS", "RULE", "SAVE", "SAVEPOINT", "SCHEMA", "SCOPE", "SCROLL",
    "SEARCH", "SECOND", "SECTION", "SELECT", "SEQUENCE", "SESSION", "SESSION_USER", "SET", "SETS",
    "SETUSER", "SHUTDOWN", "SIZE", "SMALLINT", "SOME", "SPACE", "SPECIFIC", "SPECIFICTYPE", "SQL",
    "SQLCA", "SQLCODE", "SQLERROR", "SQLEXCEPTION", "SQLSTATE", "SQLWARNING", "START", "STATE",
    "STATEMENT", "STATIC", "STATISTICS", "STRUCTURE", "SUBSTRING", "SUM", "SYSTEM_USER", "TABLE",
    "TEMPORARY", "TERMINATE", "TEXTSIZE", "THAN", "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR",
    "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING", "TRAN", "TRANSACTION", "TRANSLATE", "TRANSLATION",
    "TREAT", "TRIGGER", "TRIM", "TRUE", "TRUNCATE", "TSEQUAL", "UNDER", "UNION", "UNIQUE",
    "UNKNOWN", "UNNEST", "UPDATE", "UPDATETEXT", "UPPER", "USAGE", "USE", "USER", "USING", "VALUE",
    "VALUES", "VARCHAR", "VARIABLE", "VARYING", "VIEW", "WAITFOR", "WHEN", "WHENEVER", "WHERE",
    "WHILE", "WITH", "WITHOUT", "WORK", "WRITE", "WRITETEXT", "YEAR", "ZONE",
};

// The Cyrillic letters in table order; a capital takes its small letter's text in capitals.
const std::string& SmallLetters() { return "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"_ansi; }
const std::string& CapitalLetters() { return "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"_ansi; }
const char* const kLetterTexts[] = {
    "a", "b", "v", "g", "d", "e", "e", "zh", "z", "i", "y", "k", "l", "m", "n", "o", "p",
    "r", "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "", "y", "", "e", "yu", "ya"};
static_assert(std::size(kLetterTexts) == 33);

const char* const kDefaultAllowedChars =
    "_qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM1234567890";
const char* const kDigits = "1234567890";
const char* const kDigitPrefix = "n";
const char* const kReservedPrefix = "reservedWord";

std::string AsciiCase(std::string s, TCaseMode mode) {
  for (char& c : s) {
    if (mode == cmUpper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (mode == cmLower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

TConvert::TConvert() : AllowedChars(kDefaultAllowedChars) {
  ReservedWords.assign(std::begin(kReservedWords), std::end(kReservedWords));
  Translit.reserve(1 + 2 * std::size(kLetterTexts));
  Translit.push_back({' ', "_"});
  for (std::size_t i = 0; i < std::size(kLetterTexts); ++i) {
    Translit.push_back({SmallLetters()[i], kLetterTexts[i]});
    Translit.push_back({CapitalLetters()[i], AsciiCase(kLetterTexts[i], cmUpper)});
  }
}

bool TConvert::IsReservedWord(const std::string& name) const {
  for (const std::string& word : ReservedWords)
    if (SameText(name, word)) return true;
  return false;
}

TConvert::TFailure TConvert::FirstBrokenRule(const std::string& name) const {
  for (std::size_t i = 0; i < name.size(); ++i)
    if (AllowedChars.find(name[i]) == std::string::npos) return {TRule::IllegalChar, i};
  if (!name.empty() && CheckFirstDigit && std::string_view(kDigits).find(name[0]) != std::string_view::npos)
    return {TRule::FirstDigit};
  if (static_cast<int64_t>(name.size()) > MaxLength) return {TRule::TooLong};
  if (IsReservedWord(name)) return {TRule::Reserved};
  if (name.empty()) return {TRule::Empty};
  return {TRule::None};
}

void TConvert::Raise(const std::string& name, const TFailure& failure) const {
  switch (failure.Rule) {
    case TRule::IllegalChar:
      throw EIllegalChar(Format("Ошибка, идентификатор \"%s\" содержит недопустимый символ: \"%s\""_ansi,
                                {name, name.substr(failure.Position, 1)}));
    case TRule::FirstDigit:
      throw EFirstNumberChar(Format("Ошибка, идентификатор \"%s\" начинается с цифры"_ansi, {name}));
    case TRule::TooLong:
      throw ETooLongString(Format(
          "Ошибка, слишком большой идентификатор, длина идентификатора должна быть не больше %d"_ansi,
          {MaxLength}));
    case TRule::Reserved:
      throw EReservedWord(Format("Ошибка, зарезервированое слово \"%s\""_ansi, {name}));
    case TRule::Empty:
    case TRule::None:
      break;
  }
  throw Exception("Ошибка, не задан идентификатор"_ansi);
}

bool TConvert::Check(const std::string& name, bool silent) const {
  TFailure failure = FirstBrokenRule(name);
  if (failure.Rule == TRule::None) return true;
  if (silent) return false;
  Raise(name, failure);
}

std::string TConvert::Convert(const std::string& source) const {
  std::string name = source;
  for (;;) {
    TFailure failure = FirstBrokenRule(name);
    std::string repaired;
    switch (failure.Rule) {
      case TRule::None:
        return AsciiCase(std::move(name), CaseMode);
      case TRule::IllegalChar: repaired = Transliterate(name); break;
      case TRule::FirstDigit: repaired = PrefixFirstDigit(name); break;
      case TRule::TooLong: repaired = TruncateName(name); break;
      case TRule::Reserved: repaired = PrefixReservedWord(name); break;
      case TRule::Empty: Raise(name, failure);
    }
    // With the default settings every repair changes the name. Changed AllowedChars or Translit
    // can make one a no-op (a replacement that is itself not allowed); report the rule then
    // instead of repeating the repair for ever.
    if (repaired == name) Raise(name, failure);
    name = std::move(repaired);
  }
}

std::string TConvert::Transliterate(const std::string& name) const {
  std::string result;
  result.reserve(name.size());
  for (char c : name) {
    if (AllowedChars.find(c) != std::string::npos) {
      result += c;
      continue;
    }
    const TTranslitPair* row = nullptr;
    for (const TTranslitPair& pair : Translit)
      if (pair.Char == c) {
        row = &pair;
        break;
      }
    result += row ? row->Text : std::string("_");
  }
  return result;
}

std::string TConvert::PrefixFirstDigit(const std::string& name) const {
  return Transliterate(kDigitPrefix) + name;
}

std::string TConvert::TruncateName(const std::string& name) const {
  return name.substr(0, static_cast<std::size_t>(std::max<int32_t>(MaxLength, 0)));
}

std::string TConvert::PrefixReservedWord(const std::string& name) const {
  const std::string prefix = Transliterate(kReservedPrefix);
  std::string candidate = name;
  for (std::size_t i = 1; i < prefix.size(); ++i) {
    candidate = prefix.substr(0, i) + name;
    TFailure failure = FirstBrokenRule(candidate);
    if (failure.Rule == TRule::None) break;
    if (failure.Rule != TRule::Reserved) Raise(candidate, failure);
  }
  return candidate;
}

std::string TConvert::MakeUnique(const std::string& name) const {
  std::size_t runStart = name.find_last_not_of("0123456789");
  runStart = runStart == std::string::npos ? 0 : runStart + 1;
  std::string base = name.substr(0, runStart);

  // The run is read as a 32-bit number; one that does not fit counts as 0. The increment is done
  // in 64 bits, so 2147483647 moves on to 2147483648 rather than back to a small number the
  // caller may just have stepped past; 2147483648 has the same 10 digits, and the next call reads
  // it as out of range and goes on from 1.
  int64_t number = 0;
  for (std::size_t i = runStart; i < name.size(); ++i) {
    number = number * 10 + (name[i] - '0');
    if (number > INT32_MAX) {
      number = 0;
      break;
    }
  }
  const std::string suffix = IntToStr(number + 1);

  const int64_t room = static_cast<int64_t>(MaxLength) - static_cast<int64_t>(suffix.size());
  if (static_cast<int64_t>(base.size()) > room) base.resize(static_cast<std::size_t>(std::max<int64_t>(room, 0)));
  return base + suffix;
}
