#include "gisdb/DbConnParams.h"

#include <filesystem>
#include <system_error>

namespace {

class TConnParams : public TInterfacedObject, public IConnParams {
 public:
  int GetCount() override { return static_cast<int>(FList.size()); }
  void GetValue(const std::string& name, std::string& value) override;
  void SetValue(const std::string& name, const std::string& value) override;
  void GetText(std::string& text) override;
  void SetText(const std::string& text) override;
  bool HasParam(const std::string& name) override { return Find(name) >= 0; }
  bool Equals(IConnParams* other) override;

 private:
  int Find(const std::string& name) const;
  TConnParamList FList;
};

int TConnParams::Find(const std::string& name) const {
  for (std::size_t i = 0; i < FList.size(); ++i)
    if (AnsiSameText(FList[i].Name, name)) return static_cast<int>(i);
  return -1;
}

void TConnParams::GetValue(const std::string& name, std::string& value) {
  int i = Find(name);
  value = i < 0 ? std::string() : FList[static_cast<std::size_t>(i)].Value;
}

void TConnParams::SetValue(const std::string& name, const std::string& value) {
  int i = Find(name);
  if (i < 0) {
    if (!value.empty()) FList.push_back({name, value});
  } else if (value.empty()) {
    FList.erase(FList.begin() + i);
  } else {
    FList[static_cast<std::size_t>(i)].Value = value;
  }
}

void TConnParams::GetText(std::string& text) {
  text.clear();
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (i > 0) text += ' ';
    text += FList[i].Name;
    text += "=\"";
    for (char c : FList[i].Value) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// Reads one name=value pair at pos; false when no "=" follows (reading ends there).
bool ParseConnPair(const std::string& s, std::size_t& pos, std::string& name, std::string& value) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  std::size_t eq = s.find('=', pos);
  if (eq == std::string::npos) return false;
  name = s.substr(pos, eq - pos);
  pos = eq + 1;
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  value.clear();
  if (pos >= s.size()) return true;
  if (s[pos] != '"') {
    std::size_t end = pos;
    while (end < s.size() && !IsBlank(s[end])) ++end;
    value = s.substr(pos, end - pos);
    pos = end;
    return true;
  }
  ++pos;
  while (pos < s.size()) {
    if (s[pos] == '"') {
      if (pos + 1 < s.size() && s[pos + 1] == '"') {
        value += '"';
        pos += 2;
        continue;
      }
      ++pos;  // the closing quote
      return true;
    }
    value += s[pos++];
  }
  return true;  // unterminated: what was collected
}

void TConnParams::SetText(const std::string& text) {
  FList.clear();
  std::size_t pos = 0;
  std::string name, value;
  while (ParseConnPair(text, pos, name, value)) SetValue(name, value);
}

bool TConnParams::Equals(IConnParams* other) {
  if (other->GetCount() != GetCount()) return false;
  std::string value;
  for (const auto& p : FList) {
    if (!other->HasParam(p.Name)) return false;
    other->GetValue(p.Name, value);
    if (!AnsiSameText(value, p.Value)) return false;
  }
  return true;
}

// Whether two path texts name one existing file or folder.
bool SameExistingPath(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  bool same = std::filesystem::equivalent(AnsiToUtf8(a), AnsiToUtf8(b), ec);
  return !ec && same;
}

}  // namespace

IConnParamsPtr CreateConnParams(const std::vector<std::string>& namesAndValues) {
  IConnParamsPtr params(new TConnParams);
  for (std::size_t i = 0; i + 1 < namesAndValues.size(); i += 2)
    params->SetValue(namesAndValues[i], namesAndValues[i + 1]);
  return params;
}

IConnParamsPtr CreateConnParams(std::initializer_list<std::string> namesAndValues) {
  return CreateConnParams(std::vector<std::string>(namesAndValues));
}

IConnParamsPtr ConnParamsFromText(const std::string& text) {
  IConnParamsPtr params(new TConnParams);
  params->SetText(text);
  return params;
}

IConnParamsPtr StrToConnParams(const std::string& location) {
  std::string t = Trim(location);
  if (t.size() >= 4 && AnsiSameText(std::string_view(t).substr(0, 4), "<DB ")) {
    std::string rest = t.substr(4);
    if (!rest.empty() && rest.back() == '>') rest.pop_back();
    return ConnParamsFromText(rest);
  }
  // A string of blanks names nothing.
  if (t.empty()) throw Exception("Ошибка открытия базы данных: некорректные параметры"_ansi);
  // Older form, split from the string exactly as given: A?B?C.
  std::size_t q1 = location.find('?');
  std::string a = location.substr(0, q1);
  std::string b, c;
  if (q1 != std::string::npos) {
    std::size_t q2 = location.find('?', q1 + 1);
    b = location.substr(q1 + 1, q2 == std::string::npos ? std::string::npos : q2 - q1 - 1);
    if (q2 != std::string::npos) c = location.substr(q2 + 1);
  }
  if (a.size() > 2 && a.front() == ':' && a.back() == ':')
    return CreateConnParams({"ENGINE", "BDE", "ALIAS", a.substr(1, a.size() - 2), "USER", b, "PASSWORD", c});
  if (a.size() > 2) return CreateConnParams({"ENGINE", "PDOX", "FOLDER", a});
  throw Exception("Ошибка открытия базы данных: некорректные параметры"_ansi);
}

std::string ConnParamsToStr(IConnParams* params) {
  std::string text;
  params->GetText(text);
  return "<DB " + text + ">";
}

std::string GetConnParam(IConnParams* params, const std::string& name, const std::string& def) {
  if (!params->HasParam(name)) return def;
  std::string value;
  params->GetValue(name, value);
  return value;
}

bool SameDbLocation(IConnParams* a, IConnParams* b) {
  if (!a || !b) return false;
  static const char* const kKeys[] = {"ENGINE", "LOCALFOLDER", "RASTERSFOLDER", "CONNECTIONSTRING",
                                      "SERVER", "DATABASE",    "FOLDER",        "ALIAS"};
  for (const char* key : kKeys) {
    std::string x, y;
    a->GetValue(key, x);
    b->GetValue(key, y);
    if (CompareText(x, y) == 0) continue;
    std::string_view k = key;
    if (k == "FOLDER" && SameExistingPath(x, y)) continue;
    if (k == "DATABASE" && GetConnParam(a, "SERVER", "").empty() && SameExistingPath(x, y)) continue;
    return false;
  }
  return true;
}
