// Reading and writing ODBC connection strings, and the driver manager's lists of drivers and data
// sources (SQLDriversW, SQLDataSourcesW).
#include "platform/ado/OdbcConnectionStrings.h"

#include <algorithm>

#include "platform/ado/AdoOdbc.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

TOdbcPairs ParseOdbcConnectionString(const std::string& text, bool* unclosed) {
  const std::string_view s(text.data(), std::min(text.find('\0'), text.size()));
  TOdbcPairs pairs;
  if (unclosed) *unclosed = false;
  std::size_t i = 0;
  for (;;) {
    while (i < s.size() && (IsBlank(s[i]) || s[i] == ';')) ++i;
    const std::size_t equals = s.find('=', i);
    if (i >= s.size() || equals == std::string_view::npos) break;
    std::string key(s.substr(i, equals - i));
    std::string value;
    i = equals + 1;
    if (i < s.size() && s[i] == '{') {
      if (unclosed) *unclosed = true;
      for (++i; i < s.size(); ++i) {
        if (s[i] != '}') {
          value += s[i];
        } else if (i + 1 < s.size() && s[i + 1] == '}') {
          value += '}';
          ++i;
        } else {
          ++i;  // the closing brace
          if (unclosed) *unclosed = false;
          break;
        }
      }
    } else {
      const std::size_t end = std::min(s.find(';', i), s.size());
      value = std::string(s.substr(i, end - i));
      i = end;
    }
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

std::string BraceOdbcValue(const std::string& value) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

std::string QuoteOdbcValue(const std::string& value) {
  if (value.find(';') == std::string::npos && (value.empty() || value.front() != '{')) return value;
  return BraceOdbcValue(value);
}

std::string BuildOdbcConnectionString(const TOdbcPairs& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (!out.empty()) out += ';';
    out += key;
    out += '=';
    out += QuoteOdbcValue(value);
  }
  return out;
}

std::optional<std::string> FindOdbcValue(const TOdbcPairs& pairs, std::initializer_list<std::string_view> keys) {
  for (auto it = pairs.rbegin(); it != pairs.rend(); ++it)
    for (std::string_view key : keys)
      if (SameText(it->first, key)) return it->second;
  return std::nullopt;
}

namespace {

// A value in libpq's connection-option syntax: in single quotes, "\\" and "'" escaped.
std::string LibpqQuoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

std::string OdbcLoginAttributes(const std::string& driverLibrary, const TOdbcPairs& given, const std::string& user,
                                const std::string& password) {
  if (driverLibrary.rfind("psqlodbc", 0) != 0) {
    TOdbcPairs login;
    if (!user.empty()) login.emplace_back("UID", user);
    if (!password.empty()) login.emplace_back("PWD", password);
    return BuildOdbcConnectionString(login);
  }
  std::vector<std::string> login;
  const std::string name = !user.empty() ? user : FindOdbcValue(given, {"UID", "Username"}).value_or("");
  if (QuoteOdbcValue(name) != name) {
    const std::string options = FindOdbcValue(given, {"pqopt", "D5"}).value_or("");
    login.push_back("UID=");
    login.push_back("pqopt=" + BraceOdbcValue(options + (options.empty() ? "" : " ") + "user=" + LibpqQuoted(name)));
  } else if (!user.empty()) {
    login.push_back("UID=" + user);
  }
  const std::string secret = !password.empty() ? password : FindOdbcValue(given, {"PWD", "Password"}).value_or("");
  if (!password.empty() || secret.find_first_of("+%") != std::string::npos)
    login.push_back("PWD=" + BraceOdbcValue(secret));
  std::string out;
  for (const std::string& attribute : login) out += (out.empty() ? "" : ";") + attribute;
  return out;
}

// --- the driver manager's lists -------------------------------------------------------------

namespace {

using ListCall = SQLRETURN (*)(SQLHENV, SQLUSMALLINT, SQLWCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLWCHAR*,
                               SQLSMALLINT, SQLSMALLINT*);

// Every entry of one list: its name and its second text (SQLDriversW: the driver's attributes,
// "key=value" texts each ended by a NUL; SQLDataSourcesW: the data source's driver).
std::vector<std::pair<std::string, std::u16string>> ListEntries(ListCall list) {
  std::vector<std::pair<std::string, std::u16string>> entries;
  SQLWCHAR name[256], second[4096];
  SQLSMALLINT nameLength = 0, secondLength = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
    if (!SQL_SUCCEEDED(list(adoodbc::Environment(), direction, name, static_cast<SQLSMALLINT>(std::size(name)),
                            &nameLength, second, static_cast<SQLSMALLINT>(std::size(second)), &secondLength)))
      return entries;
    const std::size_t secondUnits =
        std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(secondLength, 0)), std::size(second) - 1);
    entries.emplace_back(adoodbc::NarrowLossy(name, std::size(name)),
                         std::u16string(reinterpret_cast<const char16_t*>(second), secondUnits));
  }
}

}  // namespace

std::vector<TOdbcDriver> OdbcDrivers() {
  std::vector<TOdbcDriver> drivers;
  for (const auto& [name, attributes] : ListEntries(SQLDriversW)) {
    TOdbcDriver driver{name, {}};
    for (std::size_t start = 0; start < attributes.size();) {
      const std::size_t end = std::min(attributes.find(u'\0', start), attributes.size());
      const std::string pair =
          adoodbc::NarrowLossy(reinterpret_cast<const SQLWCHAR*>(attributes.data() + start), end - start);
      const std::size_t equals = pair.find('=');
      if (equals != std::string::npos) driver.Attributes.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
      start = end + 1;
    }
    drivers.push_back(std::move(driver));
  }
  return drivers;
}

std::vector<TOdbcDataSource> OdbcDataSources() {
  std::vector<TOdbcDataSource> sources;
  for (const auto& [name, driver] : ListEntries(SQLDataSourcesW))
    sources.push_back({name, adoodbc::NarrowLossy(reinterpret_cast<const SQLWCHAR*>(driver.data()), driver.size())});
  return sources;
}
