// Any bytes as an ODBC connection string, and as a value and a login written into one: what is
// read writes back to the same pairs, a quoted value reads back whole with the attribute after
// it, and a login reaches psqlODBC whole (its password in braces, a user name that needs braces
// in libpq's quotes). Anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ado/OdbcConnectionStrings.h"

namespace {

void Expect(bool condition) {
  if (!condition) std::abort();
}

// The value of libpq's "key='...'" option, its backslash escapes undone.
std::string LibpqValue(const std::string& option, const std::string& key) {
  const std::string head = key + "='";
  Expect(option.rfind(head, 0) == 0 && option.size() > head.size() && option.back() == '\'');
  std::string out;
  for (std::size_t i = head.size(); i + 1 < option.size(); ++i) {
    if (option[i] == '\\') ++i;
    Expect(i + 1 < option.size() || option[i] != '\'');
    out += option[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TOdbcPairs pairs = ParseOdbcConnectionString(text);
  Expect(ParseOdbcConnectionString(BuildOdbcConnectionString(pairs)) == pairs);

  const std::string value = text.substr(0, text.find('\0'));
  const TOdbcPairs quoted = {{"K", value}, {"L", "1"}};
  Expect(ParseOdbcConnectionString("K=" + QuoteOdbcValue(value) + ";L=1") == quoted);
  Expect(ParseOdbcConnectionString("K=" + BraceOdbcValue(value) + ";L=1") == quoted);

  const TOdbcPairs login = ParseOdbcConnectionString(OdbcLoginAttributes("psqlodbcw.so", {}, value, value));
  if (value.empty()) {
    Expect(login.empty());
    return 0;
  }
  Expect(FindOdbcValue(login, {"PWD"}) == value);
  const std::string uid = FindOdbcValue(login, {"UID"}).value_or("");
  if (uid.empty()) {
    Expect(LibpqValue(FindOdbcValue(login, {"pqopt"}).value_or(""), "user") == value);
  } else {
    Expect(uid == value);
  }
  return 0;
}
