#include "tests/support/DemoGisDb.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "foundation/CommonUtils.h"
#include "gisdb/CreateSysTables.h"

namespace testsupport {

namespace {

struct TTableSpec {
  const char* name;
  const std::vector<TOrvDbFieldDef>* fields;
  const std::vector<TOrvDbIndexDef>* indexes;
};

const std::vector<TTableSpec>& Catalogue() {
  static const std::vector<TTableSpec> specs = {
      {"ORVEL_DBINFO", &DbInfoFields, &DbInfoIndexes},       {"ORVEL_ACL", &AclFields, &AclIndexes},
      {"ORVEL_LINKS", &LinksFields, &LinksIndexes},          {"ORVEL_PROJECTS", &ProjectsFields, &ProjectsIndexes},
      {"ORVEL_PROJMAPS", &ProjMapsFields, &ProjMapsIndexes}, {"ORVEL_AREAS", &AreasFields, &AreasIndexes},
      {"ORVEL_MAPS", &MapsFields, &MapsIndexes},             {"ORVEL_RASTMAPS", &RastMapsFields, &RastMapsIndexes},
      {"ORVEL_RASTERS", &RastersFields, &RastersIndexes},    {"ORVEL_LAYERS", &LayersFields, &LayersIndexes},
      {"ORVEL_STYLES", &StylesFields, &StylesIndexes},       {"ORVEL_SEMTABLS", &SemTablsFields, &SemTablsIndexes},
      {"ORVEL_RELATION", &RelationFields, &RelationIndexes}, {"ORVEL_SECTORS", &SectorsFields, &SectorsIndexes},
      {"ORVEL_OBJINFO", &ObjInfoFields, &ObjInfoIndexes},    {"ORVEL_REFBOOKS", &RefBooksFields, &RefBooksIndexes},
      {"ORVEL_ADDONDAT", &AddonDatFields, &AddonDatIndexes}, {"ORVEL_PREFS", &PrefsFields, &PrefsIndexes},
      {"ORVEL_USERS", &UsersFields, &UsersIndexes},          {"ORVEL_USERGRPS", &UserGrpsFields, &UserGrpsIndexes},
      {"ORVEL_USR_GRP", &UsrGrpFields, &UsrGrpIndexes},      {"ORVEL_THEMES", &ThemesFields, &ThemesIndexes},
      {"ORVEL_IDMAPER", &IdMaperFields, &IdMaperIndexes},    {"ORVEL_MODULES", &ModulesFields, &ModulesIndexes},
  };
  return specs;
}

std::string Id(char kind, int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%011d", kind, n);
  return buf;
}

const std::vector<std::string>& Words() {
  static const std::vector<std::string> words = {
      "Москва"_ansi, "Тверь"_ansi,   "Дороги"_ansi, "Реки и озёра"_ansi, "Здания"_ansi, "Лес"_ansi,
      "Граница"_ansi, "Ёлки"_ansi,   "Roads",        "Rivers",           "Кварталы № 5"_ansi, "Мосты"_ansi};
  return words;
}

// Inserts rows into a table, one statement prepared once, values by the catalogue's field types.
class TFiller {
 public:
  TFiller(IOrvDb* db, const std::string& table, const std::vector<TOrvDbFieldDef>& fields) : FFields(fields) {
    std::vector<std::string> names;
    for (const auto& f : fields) names.push_back(f.Name);
    FInsert = BuildInsertSQL(db, table, names);
  }
  void Row(const std::vector<Variant>& values) {
    TOrvDbParams params;
    for (std::size_t i = 0; i < FFields.size(); ++i)
      params.push_back({FFields[i].FieldType, i < values.size() ? values[i] : Variant::Null()});
    FInsert->Execute(params);
  }

 private:
  std::vector<TOrvDbFieldDef> FFields;
  IOrvDbSQLPtr FInsert;
};

std::string Blob(std::mt19937& rng, int size) {
  std::string s(static_cast<std::size_t>(size), '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// One field of a stored table structure.
struct TStoredField {
  std::string Name;
  std::string Name2;
  std::string RefBookID;
  std::string RefName;
  std::vector<std::string> Values;
};

std::string StructureHead(uint16_t version, std::size_t count) {
  std::string head;
  head += static_cast<char>(21);
  head += "Дополнительные данные"_ansi;
  head += std::string(9, '\0');
  head += static_cast<char>(version & 0xFF);
  head += static_cast<char>(version >> 8);
  head += static_cast<char>(count & 0xFF);
  head += static_cast<char>((count >> 8) & 0xFF);
  return head;
}

// A structure value in the layout written today (version 284).
std::string CurrentStructure(const std::vector<TStoredField>& fields) {
  TMemoryStream out(StructureHead(284, fields.size()));
  out.Seek(0, TSeekOrigin::soEnd);
  for (const auto& f : fields) {
    StreamWriteStr(out, f.Name);
    StreamWriteStr(out, f.Name2);
    StreamWriteStr(out, f.RefBookID);
    if (f.RefBookID.empty()) continue;
    StreamWriteStr(out, f.RefName);
    const auto n = static_cast<uint16_t>(f.Values.size());
    StreamWriteByte(out, static_cast<uint8_t>(n & 0xFF));
    StreamWriteByte(out, static_cast<uint8_t>(n >> 8));
    for (const auto& v : f.Values) StreamWriteStr(out, v);
  }
  return out.DataString();
}

// A structure value in the older layout of fixed blocks (version 283).
std::string OldStructure(const std::vector<TStoredField>& fields) {
  auto block = [](const std::string& text, std::size_t capacity) {
    std::string b(capacity + 1, '\0');
    b[0] = static_cast<char>(text.size());
    b.replace(1, text.size(), text);
    return b;
  };
  std::string out = StructureHead(283, fields.size());
  for (const auto& f : fields) {
    out += block(f.Name, 64);
    out += block(f.RefName, 64);
    out += block(f.RefBookID, 12);
    out += static_cast<char>(f.Values.size() & 0xFF);
    out += static_cast<char>((f.Values.size() >> 8) & 0xFF);
    for (const auto& v : f.Values) out += block(v, 64);
  }
  return out;
}

}  // namespace

std::vector<std::string> DemoSemanticTables() {
  return {"RB_CITIES", "RB_KINDS", "SEM_ROADS", "SEM_BUILDINGS", "Города"_ansi, "Дорожная сеть"_ansi};
}

void BuildDemoGisDb(IOrvDb* db, const TDemoOptions& options) {
  for (const auto& table : Catalogue()) CreateSysTable(db, table.name, *table.fields, *table.indexes);
  std::mt19937 rng(20261207);
  const auto& w = Words();
  auto word = [&](int i) { return Variant(w[static_cast<std::size_t>(i) % w.size()]); };
  auto str = [](const std::string& s) { return Variant(s); };
  auto i32 = [](int v) { return Variant(int32_t(v)); };
  auto i16 = [](int v) { return Variant(int16_t(v)); };
  auto dbl = [](double v) { return Variant(v); };
  const Variant null = Variant::Null();

  TFiller(db, "ORVEL_DBINFO", DbInfoFields)
      .Row({str("{6F1D2A3B-0C4D-4E5F-8A9B-0123456789AB}"), str("Демонстрационная база ГИС"_ansi), i32(1), i32(7), i32(3)});
  {
    TFiller f(db, "ORVEL_USERS", UsersFields);
    f.Row({str(Id('U', 1)), str("admin"), str("Администратор"_ansi), null, str("secret")});
    f.Row({str(Id('U', 2)), str("ivanov"), str("Иванов И. И."_ansi), str("Оператор"_ansi), null});
    TFiller g(db, "ORVEL_USERGRPS", UserGrpsFields);
    g.Row({str(Id('G', 1)), str("Администраторы"_ansi), null});
    TFiller ug(db, "ORVEL_USR_GRP", UsrGrpFields);
    ug.Row({str(Id('G', 1)), str(Id('U', 1))});
    ug.Row({str(Id('G', 1)), str(Id('U', 2))});
  }
  {
    TFiller p(db, "ORVEL_PROJECTS", ProjectsFields);
    TFiller pm(db, "ORVEL_PROJMAPS", ProjMapsFields);
    for (int i = 1; i <= 3; ++i) {
      p.Row({str(Id('P', i)), str("Проект "_ansi + std::to_string(i)), i == 3 ? null : str(Id('P', 1))});
      for (int j = 1; j <= 4; ++j) pm.Row({str(Id('Q', i * 10 + j)), str(Id('P', i)), str(Id('M', j))});
    }
  }
  {
    TFiller a(db, "ORVEL_AREAS", AreasFields);
    a.Row({str(Id('A', 1)), str("Центр"_ansi), dbl(-10.5), dbl(1000.25), dbl(2000.125), dbl(-0.0625), i32(1), i32(0)});
    a.Row({str(Id('A', 2)), null, null, null, null, null, null, null});
    TFiller m(db, "ORVEL_MAPS", MapsFields);
    TFiller r(db, "ORVEL_RASTMAPS", RastMapsFields);
    TFiller rs(db, "ORVEL_RASTERS", RastersFields);
    for (int i = 1; i <= 12; ++i) {
      m.Row({str(Id('M', i)), str(Id('P', 1 + i % 3)), word(i), i16(i % 4), dbl(i * 100.0), i % 5 ? dbl(1e7 / i) : null});
      if (i <= 3)
        r.Row({str(Id('M', i)), dbl(0.5 * i), dbl(-0.25 * i), dbl(500), dbl(400), i32(4), i32(3), i32(1), i32(-1),
               i32(1), i32(100), i16(1), i16(-1), i32(0x00FF8040)});
      for (int k = 1; k <= 3; ++k)
        rs.Row({str(Id('R', i * 10 + k)), str(Id('M', i)), i32(k), i32(-k), str(std::string(k == 3 ? 255 : 20, 'f')),
                i32(0), i32(1000), i32(0), i32(800), k == 2 ? null : i32(123456)});
    }
  }
  {
    TFiller l(db, "ORVEL_LAYERS", LayersFields);
    TFiller st(db, "ORVEL_STYLES", StylesFields);
    TFiller th(db, "ORVEL_THEMES", ThemesFields);
    TFiller sc(db, "ORVEL_SECTORS", SectorsFields);
    const int sizes[] = {0, 1, 17, 240, 241, 4096, options.BlobBytes};
    for (int i = 1; i <= 40; ++i) {
      l.Row({str(Id('L', i)), str(Id('M', 1 + i % 12)), str("Слой "_ansi + w[static_cast<std::size_t>(i) % w.size()]),
             dbl(0), i % 7 ? dbl(50000.0 / i) : null, str(Id('S', i))});
      int size = sizes[static_cast<std::size_t>(i) % (sizeof sizes / sizeof sizes[0])];
      st.Row({str(Id('Y', i)), str(Id('L', i)), word(i + 1), i % 6 == 0 ? null : Variant(Blob(rng, size))});
      if (i % 2) th.Row({str(Id('T', i)), str(Id('L', i)), Variant(Blob(rng, size / 2 + 1))});
      sc.Row({str(Id('S', i)), str(Id('L', i)), dbl(-i), dbl(i), dbl(i * 2.5), dbl(-i * 2.5), str(Id('S', i + 1)), null,
              null, null, i % 3 ? Variant(Blob(rng, 8 * i)) : null});
    }
  }
  {
    TFiller o(db, "ORVEL_OBJINFO", ObjInfoFields);
    for (int i = 1; i <= options.LargeRows; ++i)
      o.Row({str(Id('O', i)), str(Id('L', 1 + i % 40)), i % 10 ? str(Id('S', 1 + i % 40)) : null});
    TFiller lk(db, "ORVEL_LINKS", LinksFields);
    for (int i = 1; i <= 50; ++i) lk.Row({str(Id('O', i)), str(Id('O', i + 1))});
    TFiller rel(db, "ORVEL_RELATION", RelationFields);
    rel.Row({str(Id('E', 1)), str("Дорога — мост"_ansi), i16(1), i16(-2), str(Id('L', 1)), str(Id('L', 2))});
    TFiller acl(db, "ORVEL_ACL", AclFields);
    acl.Row({str(Id('L', 1)), str(Id('C', 0)), str(Id('U', 2)), i32(0), i32(7), i32(0)});
    acl.Row({str(Id('L', 1)), str(Id('C', 1)), str(Id('U', 2)), i32(1), null, i32(-1)});
    TFiller pr(db, "ORVEL_PREFS", PrefsFields);
    pr.Row({str(Id('U', 1)), str(Id('P', 1)), str(Id('L', 1)), str("Цвет"_ansi), str("красный"_ansi)});
    pr.Row({str(Id('U', 1)), str(Id('P', 1)), str(Id('L', 1)), str("Width"), null});
    TFiller ad(db, "ORVEL_ADDONDAT", AddonDatFields);
    ad.Row({str("Настройки печати"_ansi), Variant(Blob(rng, 1000))});
    ad.Row({str(std::string(250, 'k')), null});
    TFiller md(db, "ORVEL_MODULES", ModulesFields);
    md.Row({str(Id('L', 1)), str(Id('D', 1)), Variant(Blob(rng, 300))});
    TFiller im(db, "ORVEL_IDMAPER", IdMaperFields);
    for (int i = 1; i <= 5; ++i)
      im.Row({i32(i % 2 + 1), i32(i), str("{00000000-0000-4000-8000-00000000000" + std::to_string(i) + "}")});
  }
  {
    TFiller rb(db, "ORVEL_REFBOOKS", RefBooksFields);
    TFiller sm(db, "ORVEL_SEMTABLS", SemTablsFields);
    rb.Row({str(Id('B', 1)), str("Города"_ansi), null, str("RB_CITIES"), i16(0), i16(2)});
    rb.Row({str(Id('B', 2)), str("Виды покрытия"_ansi), null, str("RB_KINDS"), i16(1), i16(1)});
    rb.Row({str(Id('B', 3)), str("Справочник городов"_ansi), null, str("Города"_ansi), i16(0), i16(1)});
    // Stored structures: the current layout, the older one, and one with Cyrillic names.
    const std::string roads = CurrentStructure({{"CITY", "Город"_ansi, Id('B', 1), "NAME", {"CODE"}},
                                                {"KIND", "Покрытие"_ansi, Id('B', 2), "NAME", {}},
                                                {"WIDTH", "Ширина"_ansi, "", "", {}},
                                                {"NOTE", "", "", "", {}}});
    const std::string buildings = OldStructure({{"ID", "", "", "", {}}, {"FLOORS", "", "", "", {}}});
    const std::string network = CurrentStructure(
        {{"Город"_ansi, "Город"_ansi, Id('B', 3), "Название"_ansi, {"Код"_ansi}}, {"Ширина"_ansi, "", "", "", {}}});
    sm.Row({str(Id('N', 1)), str(Id('L', 1)), str("Дороги"_ansi), str("SEM_ROADS"), i16(1), Variant(roads)});
    sm.Row({str(Id('N', 2)), str(Id('L', 2)), str("Здания"_ansi), str("SEM_BUILDINGS"), i16(0), Variant(buildings)});
    sm.Row({str(Id('N', 3)), str(Id('L', 3)), str("Дорожная сеть"_ansi), str("Дорожная сеть"_ansi), i16(1),
            Variant(network)});
  }
  if (options.SemanticTables) {
    CreateSysTable(db, "RB_CITIES", {{"CODE", dftInt32, 0, true}, {"NAME", dftString, 60, false}},
                   {{"RB_CITIES_PK", "CODE", dioPrimary | dioUnique}});
    CreateSysTable(db, "RB_KINDS", {{"CODE", dftInt16, 0, true}, {"NAME", dftString, 40, false}},
                   {{"RB_KINDS_PK", "CODE", dioPrimary | dioUnique}});
    CreateSysTable(db, "SEM_ROADS",
                   {{"ID", dftString, 12, true}, {"CITY", dftInt32, 0, false}, {"KIND", dftInt16, 0, false},
                    {"WIDTH", dftDouble, 0, false}, {"NOTE", dftMemo, 0, false}},
                   {{"SEM_ROADS_PK", "ID", dioPrimary | dioUnique}, {"SEM_ROADS_CITY", "CITY", 0}});
    CreateSysTable(db, "SEM_BUILDINGS", {{"ID", dftString, 12, true}, {"FLOORS", dftInt32, 0, false}},
                   {{"SEM_BUILDINGS_PK", "ID", dioPrimary | dioUnique}});
    TFiller c(db, "RB_CITIES", {{"CODE", dftInt32, 0, true}, {"NAME", dftString, 60, false}});
    for (int i = 1; i <= 5; ++i) c.Row({i32(i), word(i)});
    TFiller k(db, "RB_KINDS", {{"CODE", dftInt16, 0, true}, {"NAME", dftString, 40, false}});
    k.Row({i16(1), str("Асфальт"_ansi)});
    k.Row({i16(2), str("Грунт"_ansi)});
    TFiller r(db, "SEM_ROADS",
              {{"ID", dftString, 12, true}, {"CITY", dftInt32, 0, false}, {"KIND", dftInt16, 0, false},
               {"WIDTH", dftDouble, 0, false}, {"NOTE", dftMemo, 0, false}});
    for (int i = 1; i <= 30; ++i)
      r.Row({str(Id('O', i)), i32(1 + i % 5), i % 4 ? i16(1 + i % 2) : null, dbl(3.5 + i / 4.0),
             i % 3 ? str("Примечание к дороге "_ansi + std::to_string(i)) : null});
    TFiller b(db, "SEM_BUILDINGS", {{"ID", dftString, 12, true}, {"FLOORS", dftInt32, 0, false}});
    for (int i = 31; i <= 40; ++i) b.Row({str(Id('O', i)), i % 2 ? i32(i % 17) : null});
    // A reference book and a semantic table with Cyrillic table, field and index names.
    const std::vector<TOrvDbFieldDef> cities = {{"Код"_ansi, dftInt32, 0, true}, {"Название"_ansi, dftString, 60, false}};
    CreateSysTable(db, "Города"_ansi, cities,
                   {{"Города_ключ"_ansi, "Код"_ansi, dioPrimary | dioUnique}, {"Города_имя"_ansi, "Название"_ansi, 0}});
    TFiller gc(db, "Города"_ansi, cities);
    for (int i = 1; i <= 4; ++i) gc.Row({i32(i), word(i + 3)});
    const std::vector<TOrvDbFieldDef> network = {{"Номер"_ansi, dftString, 12, true},
                                                 {"Город"_ansi, dftInt32, 0, false},
                                                 {"Ширина"_ansi, dftDouble, 0, false},
                                                 {"Заметки"_ansi, dftMemo, 0, false}};
    CreateSysTable(db, "Дорожная сеть"_ansi, network,
                   {{"Сеть_ключ"_ansi, "Номер"_ansi, dioPrimary | dioUnique},
                    {"Сеть_город"_ansi, "Город"_ansi, 0},
                    {"Сеть_гш"_ansi, "Город;Ширина"_ansi, 0}});
    TFiller dn(db, "Дорожная сеть"_ansi, network);
    for (int i = 1; i <= 25; ++i)
      dn.Row({str(Id('W', i)), i32(1 + i % 4), dbl(2.5 * i), i % 5 ? str("Участок № "_ansi + std::to_string(i)) : null});
  }
}

// --- comparing ---------------------------------------------------------------------------

namespace {

std::string Canonical(const Variant& v, bool emptyIsNull) {
  if (v.IsNull() || v.IsEmpty()) return "NULL";
  if (emptyIsNull && v.IsString() && v.StrRef().empty()) return "NULL";
  if (v.IsString()) return "S" + std::to_string(v.StrRef().size()) + ":" + v.StrRef();
  if (v.VarType() == varBoolean) return v.ToBool() ? "N1" : "N0";
  double d = v.ToDouble();
  char buf[64];
  std::snprintf(buf, sizeof buf, "N%.15g", d == 0 ? 0.0 : d);
  return buf;
}

}  // namespace

std::vector<std::string> CanonicalRows(IOrvDb* db, const std::string& table, const std::vector<std::string>& columns,
                                       bool emptyIsNull) {
  std::vector<std::string> rows;
  IOrvDbSQLPtr sql = OpenTableSQL(db, table);
  std::vector<int> positions;
  for (const auto& c : columns) {
    int p = sql->FieldIndex(c);
    if (p < 0) throw Exception("no column " + c + " in " + table);
    positions.push_back(p);
  }
  while (!sql->Eof()) {
    std::string row;
    for (int p : positions) row += Canonical(sql->GetValue(Variant(int32_t(p))), emptyIsNull) + "|";
    rows.push_back(row);
    sql->Next();
  }
  sql->Close();
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::string CompareTables(IOrvDb* a, const std::string& tableA, IOrvDb* b, const std::string& tableB,
                          const std::vector<std::string>& columns, bool emptyIsNull) {
  auto x = CanonicalRows(a, tableA, columns, emptyIsNull);
  auto y = CanonicalRows(b, tableB, columns, emptyIsNull);
  if (x.size() != y.size())
    return tableA + ": " + std::to_string(x.size()) + " rows against " + std::to_string(y.size());
  for (std::size_t i = 0; i < x.size(); ++i)
    if (x[i] != y[i]) return tableA + ": row differs: " + AnsiToUtf8(x[i]).substr(0, 200) + " / " + AnsiToUtf8(y[i]).substr(0, 200);
  return std::string();
}

}  // namespace testsupport
