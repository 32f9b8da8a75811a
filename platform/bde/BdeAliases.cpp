// The alias file reader (format in BdeAliases.h).
#include "platform/bde/BdeAliases.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <filesystem>

#include "platform/bde/Bde.h"
#include "platform/rtl/SysUtils.h"

namespace bde {

std::string TAlias::Param(const std::string& name) const {
  for (auto& [n, v] : Params)
    if (AnsiSameText(n, name)) return v;
  return {};
}

std::string AliasFileName() {
  if (const char* file = std::getenv("COPYORVEL_ALIASES"); file && *file) return file;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return (std::filesystem::path(xdg) / "copyorvel" / "aliases.conf").string();
  const char* home = std::getenv("HOME");
  return (std::filesystem::path(home && *home ? home : ".") / ".config" / "copyorvel" / "aliases.conf").string();
}

std::vector<TAlias> ParseAliases(const std::string& utf8Text, const std::string& fileName) {
  std::vector<TAlias> out;
  size_t pos = 0;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    throw EDBEngineError(Format("Файл псевдонимов \"%s\", строка %d: %s"_ansi, {fileName, lineNo, what}),
                         TDBErrorKind::Syntax);
  };
  while (pos <= utf8Text.size()) {
    size_t end = utf8Text.find('\n', pos);
    if (end == std::string::npos) end = utf8Text.size();
    std::string raw = utf8Text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);  // byte-order mark
    std::string line;
    try {
      line = Trim(Utf8ToAnsi(raw));
    } catch (const EConvertError&) {
      fail("текст не в кодировке UTF-8 или содержит символ, которого нет в кодировке Windows-1251"_ansi);
    }
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') fail("имя раздела должно заканчиваться знаком \"]\""_ansi);
      std::string name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) fail("у псевдонима нет имени"_ansi);
      for (auto& a : out)
        if (AnsiSameText(a.Name, name)) fail("псевдоним \""_ansi + name + "\" задан дважды"_ansi);
      out.push_back(TAlias{name, {}, {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) fail("ожидалась строка ИМЯ=значение или [ПСЕВДОНИМ], а найдено \""_ansi + line + "\"");
    if (out.empty()) fail("параметр стоит до первого раздела [ПСЕВДОНИМ]"_ansi);
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (key.empty()) fail("у параметра нет имени"_ansi);
    if (AnsiSameText(key, "DRIVER"))
      out.back().Driver = AnsiUpperCase(value);
    else
      out.back().Params.emplace_back(AnsiUpperCase(key), value);
    if (pos > utf8Text.size()) break;
  }
  return out;
}

std::vector<TAlias> LoadAliases() {
  std::string file = AliasFileName();
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  if (!in) throw EDBEngineError("Не удалось прочитать файл псевдонимов \""_ansi + Utf8ToAnsi(file, '?') + "\"", TDBErrorKind::General);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseAliases(text, Utf8ToAnsi(file, '?'));
}

bool FindAlias(const std::string& name, TAlias& alias) {
  for (auto& a : LoadAliases())
    if (AnsiSameText(a.Name, name)) {
      alias = a;
      return true;
    }
  return false;
}

TAlias AliasByName(const std::string& name) {
  TAlias alias;
  if (!FindAlias(name, alias))
    throw EDBEngineError("Псевдоним \""_ansi + name + "\" не найден в файле псевдонимов \""_ansi +
                             Utf8ToAnsi(AliasFileName(), '?') + "\"",
                         TDBErrorKind::NotFound);
  return alias;
}

}  // namespace bde
