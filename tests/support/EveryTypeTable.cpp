#include "tests/support/EveryTypeTable.h"

#include <gtest/gtest.h>

#include "gisdb/CreateSysTables.h"
#include "platform/rtl/AnsiText.h"

namespace testsupport {

const std::vector<TOrvDbFieldDef>& EveryTypeFields() {
  static const std::vector<TOrvDbFieldDef> fields = {
      {"ID", dftInt32, 0, true},        {"NAME", dftString, 60, false}, {"SMALL", dftInt16, 0, false},
      {"BIG", dftInt64, 0, false},       {"X", dftDouble, 0, false},     {"PRICE", dftCurrency, 0, false},
      {"STAMP", dftDateTime, 0, false}, {"NOTE", dftMemo, 0, false},    {"DATA", dftBlob, 0, false}};
  return fields;
}

std::vector<std::vector<Variant>> EveryTypeRows(std::size_t blobSize) {
  std::string big(blobSize, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) & 0xFF);
  const TDateTime stamp = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 0);
  return {
      {Variant(int32_t(1)), Variant("Ёлки-палки «тест»"_ansi), Variant(int16_t(-32000)), Variant(int64_t(1) << 40),
       Variant(-1.5e-7), Variant::FromCurrency(12345.6789), Variant::FromDateTime(stamp),
       Variant("Примечание\r\nв две строки"_ansi), Variant(big)},
      {Variant(int32_t(2)), Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null(),
       Variant::Null(), Variant::Null(), Variant::Null()},
      {Variant(int32_t(3)), Variant("x"), Variant(int16_t(0)), Variant(int64_t(-1)), Variant(0.0),
       Variant::FromCurrency(0), Variant::FromDateTime(EncodeDate(1900, 1, 1)), Variant(""), Variant(std::string())},
  };
}

void CreateEveryTypeTable(IOrvDb* db, const std::vector<std::vector<Variant>>& rows) {
  const auto& fields = EveryTypeFields();
  CreateSysTable(db, "VALS", fields, {{"VALS_PK", "ID", dioPrimary | dioUnique}});
  std::vector<std::string> names;
  for (const auto& f : fields) names.push_back(f.Name);
  IOrvDbSQLPtr insert = BuildInsertSQL(db, "VALS", names);
  for (const auto& row : rows) {
    TOrvDbParams params;
    for (std::size_t i = 0; i < fields.size(); ++i) params.push_back({fields[i].FieldType, row[i]});
    insert->Execute(params);
    EXPECT_EQ(insert->RowsAffected(), 1);
  }
}

void ExpectEveryTypeRows(IOrvDbSQL* select, const std::vector<std::vector<Variant>>& rows) {
  const auto& fields = EveryTypeFields();
  for (const auto& row : rows) {
    ASSERT_FALSE(select->Eof());
    SCOPED_TRACE(row[0].ToString());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      Variant got = select->GetValue(Variant(fields[i].Name));
      const Variant& want = row[i];
      if (want.IsNull()) {
        EXPECT_TRUE(got.IsNull()) << fields[i].Name;
      } else if (want.IsString()) {
        EXPECT_TRUE(got.ToString() == want.StrRef()) << fields[i].Name;
      } else {
        EXPECT_DOUBLE_EQ(got.ToDouble(), want.ToDouble()) << fields[i].Name;
      }
    }
    EXPECT_EQ(select->AsInt32(Variant(int32_t(0))), row[0].ToInt32());
    for (const char* again : {"NOTE", "DATA"}) {
      try {
        select->AsBlob(Variant(again));
        ADD_FAILURE() << again << " read twice in a row";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), Format("Ошибка чтения данных: значение поля %s в этой строке уже прочитано"_ansi, {again}));
      }
    }
    select->Next();
  }
  EXPECT_TRUE(select->Eof());
}

std::string Describe(const TOrvDbFieldDef& f) {
  return f.Name + " type " + std::to_string(f.FieldType) + " size " + std::to_string(f.Size) +
         (f.Required ? " required" : "");
}

}  // namespace testsupport
