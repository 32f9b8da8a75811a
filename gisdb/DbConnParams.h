// Connection parameters: the small list of named text values that describes one database
// location (which engine, folder, alias, server, database or connection string, which user and
// password, engine options), its one-line text form, the location string with the older forms
// still read, and the test whether two locations name the same database.
//
// Invariants of every list: no entry holds an empty value (setting a name to "" removes it);
// names are unique under the locale-aware case-insensitive comparison; replacing a value keeps
// the entry's position and the letter case its name was first stored in.
//
// Text form: name="value" pairs separated by one blank, every value quoted, quotes inside a value
// doubled. Location string: "<DB " + text form + ">".
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/rtl/Interfaces.h"

class IConnParams : public virtual IInterface {
 public:
  virtual int GetCount() = 0;
  // The value of the entry with that name, or the empty string.
  virtual void GetValue(const std::string& name, std::string& value) = 0;
  // Appends, replaces or (with an empty value) removes the entry of that name.
  virtual void SetValue(const std::string& name, const std::string& value) = 0;
  // The text form of the whole list.
  virtual void GetText(std::string& text) = 0;
  // Replaces the whole list by what the text form holds; never raises.
  virtual void SetText(const std::string& text) = 0;
  virtual bool HasParam(const std::string& name) = 0;
  // Same count, and every own entry present in other with a value equal case-insensitively.
  virtual bool Equals(IConnParams* other) = 0;
};

using IConnParamsPtr = RefPtr<IConnParams>;

struct TConnParam {
  std::string Name;
  std::string Value;
};
using TConnParamList = std::vector<TConnParam>;

// A new list with SetValue applied to each name, value pair in order; a last name without a value
// is ignored.
IConnParamsPtr CreateConnParams(std::initializer_list<std::string> namesAndValues);
IConnParamsPtr CreateConnParams(const std::vector<std::string>& namesAndValues);
// A new list read from the text form.
IConnParamsPtr ConnParamsFromText(const std::string& text);
// A new list read from a location string: "<DB ...>" in any letter case, or the older forms
// ":ALIAS:?user?password" and a bare Paradox folder. Raises "Ошибка открытия базы данных:
// некорректные параметры" when the older form's first part has 2 characters or fewer.
IConnParamsPtr StrToConnParams(const std::string& location);
// The location string of a list.
std::string ConnParamsToStr(IConnParams* params);
// The value when the list has the name, else the default.
std::string GetConnParam(IConnParams* params, const std::string& name, const std::string& def);
// Whether two lists name the same database: ENGINE, LOCALFOLDER, RASTERSFOLDER, CONNECTIONSTRING,
// SERVER, DATABASE, FOLDER and ALIAS all equal with ASCII-only case folding. Beyond the text, a
// FOLDER (or, without a SERVER, a local DATABASE file) that resolves to the same existing path as
// the other's is the same, whatever its spelling (relative, trailing slash, "..", symbolic link).
// False when either list is null.
bool SameDbLocation(IConnParams* a, IConnParams* b);
