#include "copier/CopyBases.h"

#include <vector>

namespace {

// Cut at every separator; a separator at the very end yields no further item.
std::vector<std::string> SplitList(const std::string& list, char sep) {
  std::vector<std::string> items;
  std::size_t from = 0;
  while (from < list.size()) {
    std::size_t at = list.find(sep, from);
    if (at == std::string::npos) {
      items.push_back(list.substr(from));
      break;
    }
    items.push_back(list.substr(from, at - from));
    from = at + 1;
  }
  return items;
}

std::string SourceAt(const TStrings& map, const Variant& key) { return map.Names(key.ToInt32()); }

std::string MapSource(const TStrings& map, const Variant& key, const std::string& missingFormat) {
  if (IsOrdinalKey(key)) return SourceAt(map, key);
  std::string name = key.ToString();
  int i = IndexOfTarget(map, name);
  if (i < 0) throw Exception(Format(missingFormat, {name}));
  return map.Names(i);
}

std::string MapTarget(const TStrings& map, const Variant& key) {
  std::string source = IsOrdinalKey(key) ? SourceAt(map, key) : key.ToString();
  return map.Values(source);
}

void SetMapTarget(TStrings& map, const Variant& key, const std::string& target) {
  std::string source = IsOrdinalKey(key) ? SourceAt(map, key) : key.ToString();
  map.SetValues(source, target);
}

}  // namespace

TCopyTableInfo::TCopyTableInfo(const std::string& name)
    : Fields(std::make_unique<TStringList>()),
      Indexes(std::make_unique<TStringList>()),
      Errors(std::make_unique<TStringList>()),
      SrcName(name) {}

TCopyTableInfo::~TCopyTableInfo() = default;

std::string TCopyTableInfo::GetFieldSource(const Variant& key) const {
  return MapSource(*Fields, key, "Не найдено соответствия для поля %s"_ansi);
}

std::string TCopyTableInfo::GetFieldTarget(const Variant& key) const { return MapTarget(*Fields, key); }

void TCopyTableInfo::SetFieldTarget(const Variant& key, const std::string& target) {
  SetMapTarget(*Fields, key, target);
}

std::string TCopyTableInfo::GetIndexSource(const Variant& key) const {
  return MapSource(*Indexes, key, "Не найдено соответствия для индекса %s"_ansi);
}

std::string TCopyTableInfo::GetIndexTarget(const Variant& key) const { return MapTarget(*Indexes, key); }

void TCopyTableInfo::SetIndexTarget(const Variant& key, const std::string& target) {
  SetMapTarget(*Indexes, key, target);
}

bool IsOrdinalKey(const Variant& key) {
  TVarType t = key.VarType();
  return t == varSmallint || t == varInteger || t == varByte;
}

int IndexOfTarget(const TStrings& map, const std::string& name) {
  for (int i = 0; i < map.Count(); ++i)
    if (CompareText(map.ValueFromIndex(i), name) == 0) return i;
  return -1;
}

int FindFieldDef(IOrvDbTableDef* def, const std::string& name, TOrvDbFieldDef& field) {
  for (int i = 0; i < def->GetFieldCount(); ++i) {
    field = def->GetField(i);
    if (CompareText(field.Name, name) == 0) return i;
  }
  throw Exception("Ошибка, не найдено соответствующее поле"_ansi);
}

int FindIndexDef(IOrvDbTableDef* def, const std::string& name, TOrvDbIndexDef& index) {
  for (int i = 0; i < def->GetIndexCount(); ++i) {
    index = def->GetIndex(i);
    if (CompareText(index.Name, name) == 0) return i;
  }
  throw Exception("Ошибка, не найден соответствующий индекс"_ansi);
}

int FindIndexOfField(IOrvDbTableDef* def, const std::string& fieldName, TOrvDbIndexDef& index) {
  for (int i = 0; i < def->GetIndexCount(); ++i) {
    TOrvDbIndexDef candidate = def->GetIndex(i);
    for (const std::string& f : SplitList(candidate.Fields, ';')) {
      if (CompareText(f, fieldName) == 0) {
        index = candidate;
        return i;
      }
    }
  }
  return -1;
}

std::string MapFieldList(const std::string& list, const TCopyTableInfo& item, char sep) {
  std::string result, joint;
  for (const std::string& f : SplitList(list, sep)) {
    std::string target = item.GetFieldTarget(Variant(f));
    if (target.empty()) continue;
    result += joint + target;
    joint = std::string(1, sep);
  }
  return result;
}
