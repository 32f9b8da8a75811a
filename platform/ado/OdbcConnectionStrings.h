// ODBC connection strings as the driver manager reads them, and the drivers and data sources it
// knows. Everything that reads, writes or lists for an ODBC connection goes through here: the
// connection (which picks the driver's settings and adds the login), the wizard's
// connection-string dialog, and the place a location stands for.
//
// The reading is unixODBC's, which decides which driver a string reaches: blanks and ";" before a
// key are skipped; the key runs to the next "=" (so "Foo;DRIVER=x" has the one key "Foo;DRIVER",
// which names no driver); a value that starts with "{" runs to the next "}" not followed by
// another "}" (or to the end of the string), "}}" standing for one "}", and the next key starts
// right after it; any other value runs to the next ";". Keys and values are kept as they stand,
// blanks included; a key is compared without regard to the case of ASCII letters. A piece with no
// "=" ends the reading, and so does a NUL byte.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A connection string's attributes in the order written: key, then the value without braces.
using TOdbcPairs = std::vector<std::pair<std::string, std::string>>;

// The attributes of a connection string, read as above. unclosed, when given, tells whether the
// text ends inside a value in braces (which then runs to the end).
TOdbcPairs ParseOdbcConnectionString(const std::string& text, bool* unclosed = nullptr);
// The value in braces, each "}" doubled: it reads back whole whatever it holds.
std::string BraceOdbcValue(const std::string& value);
// The value as it is written after "key=" so that it reads back whole: braced when it holds a
// ";" or starts with "{", as it stands otherwise (a driver that reads no braces, such as the
// SQLite one, then reads it too).
std::string QuoteOdbcValue(const std::string& value);
// The pairs as "key=value" joined by ";", each value quoted; ParseOdbcConnectionString gives the
// same pairs back for every key it can read (no "=", NUL, leading blank or ";").
std::string BuildOdbcConnectionString(const TOdbcPairs& pairs);
// The value of the last attribute whose key is one of keys (ASCII case ignored), as the driver
// manager and psqlODBC take a repeated key; nullopt when there is none.
std::optional<std::string> FindOdbcValue(const TOdbcPairs& pairs, std::initializer_list<std::string_view> keys);

// The attributes to append to a connection string so that its driver (its library's file name)
// logs in as user with password, each "" for none (the string's own login then stands), written
// as that driver reads them; "" when nothing needs adding. Drivers read braces as the driver
// manager does, except psqlODBC: it takes UID as written, braces and all, and URL-decodes ("+",
// "%xx") a password written without braces. For it a user name that needs braces goes to libpq
// through pqopt (after the string's own pqopt options) with UID emptied, the string's own user
// name too, and a password goes in braces, the string's own too when it holds "+" or "%".
std::string OdbcLoginAttributes(const std::string& driverLibrary, const TOdbcPairs& given, const std::string& user,
                                const std::string& password);

// An installed driver: its name and the attributes its entry lists ("Driver" names its library).
struct TOdbcDriver {
  std::string Name;
  TOdbcPairs Attributes;
};
// A data source: its name and the name of its driver.
struct TOdbcDataSource {
  std::string Name;
  std::string Driver;
};
// What the driver manager lists, in its order; raises EAdoError when it cannot be reached.
std::vector<TOdbcDriver> OdbcDrivers();
std::vector<TOdbcDataSource> OdbcDataSources();
