// Aliases: named database locations kept in a plain text file.
//
// The file is found at $COPYORVEL_ALIASES when that variable is set, else at
// $XDG_CONFIG_HOME/copyorvel/aliases.conf, else at ~/.config/copyorvel/aliases.conf. It is UTF-8
// text, one alias a section:
//
//   ; a Paradox folder
//   [GISDATA]
//   DRIVER=STANDARD
//   PATH=/data/gis
//
//   [GISSERVER]
//   DRIVER=INTRBASE
//   SERVER NAME=127.0.0.1:/db/gis.fdb
//   USER NAME=SYSDBA
//
// A section name is the alias's name (case-insensitive, unique); each line below it is
// NAME=value (blanks around both are dropped). DRIVER names the driver; every other line is a
// parameter kept as it stands, so aliases of other drivers are listed and reported by their driver
// name. Lines starting with ";" or "#" and blank lines are ignored. A missing file means no
// aliases; a malformed one raises EDBEngineError naming the file and the line.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bde {

struct TAlias {
  std::string Name;    // Windows-1251
  std::string Driver;  // "STANDARD", "INTRBASE", ...; empty when the section has no DRIVER line
  std::vector<std::pair<std::string, std::string>> Params;  // in file order, Windows-1251
  // The value of a parameter (case-insensitive name), or "".
  std::string Param(const std::string& name) const;
};

// Where the alias file is looked for (a UTF-8 path).
std::string AliasFileName();
// The aliases of the alias file; none when the file does not exist.
std::vector<TAlias> LoadAliases();
// Reads the text of an alias file; fileName is only for messages.
std::vector<TAlias> ParseAliases(const std::string& utf8Text, const std::string& fileName);
// The alias of that name (case-insensitive) in the alias file; false when there is none.
bool FindAlias(const std::string& name, TAlias& alias);
// The alias of that name; NotFound, naming the alias file, when there is none.
TAlias AliasByName(const std::string& name);

}  // namespace bde
