#include "copier/SemTables.h"

#include <gtest/gtest.h>

#include "platform/rtl/AnsiText.h"

namespace {

// Builds structure values byte by byte, independently of the writer.
struct Bytes {
  std::string s;
  Bytes& raw(const std::string& t) { return s += t, *this; }
  Bytes& byte(int b) { return s += static_cast<char>(b), *this; }
  Bytes& word(int w) { return byte(w & 0xFF).byte((w >> 8) & 0xFF); }
  Bytes& str(const std::string& t) {  // stream string
    if (t.size() < 254) return byte(static_cast<int>(t.size())).raw(t);
    byte(254).word(static_cast<int>(t.size()) & 0xFFFF).word(static_cast<int>(t.size() >> 16));
    return raw(t);
  }
  Bytes& block(const std::string& t, int capacity, int lenByte = -1) {  // short string block
    byte(lenByte < 0 ? static_cast<int>(t.size()) : lenByte).raw(t);
    return raw(std::string(capacity - t.size(), 'Z'));  // spare bytes hold leftovers, not zeros
  }
  Bytes& signature() { return byte(21).raw("Дополнительные данные"_ansi).raw(std::string(9, '\0')); }
};

TFieldInfo* NewField(const std::string& name, const std::string& name2, const std::string& refBook = "",
                     const std::string& refName = "", std::vector<std::string> values = {}) {
  auto* f = new TFieldInfo;
  f->Name = name, f->Name2 = name2, f->RefBookID = refBook, f->RefName = refName;
  for (auto& v : values) f->Values.Add(v);
  return f;
}

std::string Save(const TTableInfo& t) {
  TMemoryStream out;
  t.SaveToStream(out);
  return out.DataString();
}

void Load(TTableInfo& t, const std::string& bytes) {
  TMemoryStream in(bytes);
  t.LoadFromStream(in);
}

std::vector<std::string> Dump(const TTableInfo& t) {
  std::vector<std::string> d;
  for (int i = 0; i < t.Count(); ++i) {
    auto* f = t.Fields(i);
    d.push_back(f->Name + "|" + f->Name2 + "|" + f->RefBookID + "|" + f->RefName + "|" + f->Values.Text());
  }
  return d;
}

}  // namespace

TEST(SemStructWrite, KnownStructureByteExact) {
  TTableInfo t;
  EXPECT_EQ(Save(t), Bytes().signature().word(284).word(0).s);

  const std::string longName(254, 'N'), name2(253, 'M');
  t.Add(NewField("Код"_ansi, "", "", "не пишется"_ansi, {"x"}));
  t.Add(NewField("Улица"_ansi, "Название улицы"_ansi, "STREETS0001", "NAME", {"TYPE", "Индекс"_ansi}));
  t.Add(NewField(longName, name2, "R"));
  SemStructVersion = 100;  // whatever is left there, the layout written is the current one
  const std::string saved = Save(t);
  SemStructVersion = 284;
  EXPECT_EQ(saved, Bytes()
                       .signature().word(284).word(3)
                       .str("Код"_ansi).str("").str("")
                       .str("Улица"_ansi).str("Название улицы"_ansi).str("STREETS0001").str("NAME").word(2)
                       .str("TYPE").str("Индекс"_ansi)
                       .byte(254).raw(std::string("\xFE\0\0\0", 4)).raw(longName).byte(253).raw(name2)
                       .str("R").str("").word(0).s);
}

TEST(SemStructWrite, RefusesWhatTheLayoutCannotHoldWithoutWriting) {
  TTableInfo many;
  for (int i = 0; i < 32768; ++i) many.Add(new TFieldInfo);
  TMemoryStream out;
  EXPECT_THROW(many.SaveToStream(out), ESemStructError);
  EXPECT_EQ(out.Size(), 0);

  TTableInfo t;
  t.Add(NewField("A", "", "BOOK"));
  for (int i = 0; i < 32767; ++i) t.Fields(0)->Values.Add("v");
  Load(t, Save(t));  // 32767 values is the most that is stored, and it is stored whole
  EXPECT_EQ(t.Fields(0)->Values.Count(), 32767);
  t.Fields(0)->Values.Add("v");
  EXPECT_THROW(t.SaveToStream(out), ESemStructError);
  EXPECT_THROW(t.Fields(0)->SaveToStream(out), ESemStructError);
  t.Fields(0)->Values.Clear();
  t.Fields(0)->RefBookID = "ABCDEFGHIJKLM";
  EXPECT_THROW(t.SaveToStream(out), ESemStructError);
  EXPECT_EQ(out.Size(), 0);
}

TEST(SemStructRead, CurrentLayoutRoundTrip) {
  TTableInfo t;
  t.Add(NewField("Улица"_ansi, "Ёлочная улица"_ansi, "СПРАВ1"_ansi, "НАЗВАНИЕ"_ansi, {"ТИП"_ansi, "", "КОД"_ansi}));
  t.Add(NewField("", ""));
  t.Add(NewField(std::string(70000, 'L'), std::string(254, "Ж"_ansi[0]), "B", "", {}));
  t.Add(NewField("Дом"_ansi, "", "", "", {}));
  TMemoryStream in("prefix" + Save(t));
  in.SetPosition(6);
  TTableInfo back;
  back.Add(NewField("old", "old"));  // replaced by the load
  back.LoadFromStream(in);
  EXPECT_EQ(Dump(back), Dump(t));
  EXPECT_EQ(in.Position(), in.Size());
}

TEST(SemStructRead, CurrentLayoutRecordShapes) {
  TTableInfo t;
  // A record without a reference book is three strings; a later version reads the same way.
  Load(t, Bytes().signature().word(300).word(3).str("A").str("B").str("")
              .str("C").str("D").str("ABCDEFGHIJKLMNOP").str("R").word(2).str("V1").str("V2")
              .str("E").str("F").str("X").str("").word(0x8000).s);
  EXPECT_EQ(Dump(t), (std::vector<std::string>{"A|B|||", "C|D|ABCDEFGHIJKL|R|V1\r\nV2\r\n", "E|F|X||"}));
  EXPECT_EQ(SemStructVersion, 284);
}

TEST(SemStructRead, OldLayoutAndItsConversion) {
  const std::string old = Bytes().raw(std::string(31, '?')).word(2)
                              .block("Улица"_ansi, 64).block("NAME", 64).block("STREETS", 12).word(2)
                              .block("A", 64).block("Б"_ansi, 64)
                              .block("Дом"_ansi, 64).block("", 64).block("", 12).word(0).s;
  TTableInfo t;
  Load(t, old);
  const std::vector<std::string> expected{"Улица|Улица|STREETS|NAME|A\r\nБ\r\n"_ansi, "Дом|Дом|||"_ansi};
  EXPECT_EQ(Dump(t), expected);
  const std::string saved = Save(t);
  EXPECT_EQ(saved.substr(0, 35), Bytes().signature().word(284).word(2).s);
  TTableInfo back;
  Load(back, saved);
  EXPECT_EQ(Dump(back), expected);

  // The signature with a version below 284 selects the same layout.
  Load(t, Bytes().signature().word(283).word(1).block("X", 64).block("", 64).block("", 12).word(0).s);
  EXPECT_EQ(Dump(t), std::vector<std::string>{"X|X|||"});
}

TEST(SemStructRead, OldLayoutStaysInsideEachBlock) {
  TTableInfo t;
  // Length bytes above the capacity are capped; the block after them is read from its own start.
  Load(t, Bytes().raw(std::string(31, 0)).word(1).block(std::string(64, 'n'), 64, 200).block("", 64)
              .block("123456789012", 12, 99).word(1).block("ab", 64, 5).s.substr(0, 33 + 65 * 2 + 13 + 2 + 3));
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(t.Fields(0)->Name, std::string(64, 'n'));
  EXPECT_EQ(t.Fields(0)->RefBookID, "123456789012");
  // The last block ends after "ab": the missing bytes count as zero.
  EXPECT_EQ(t.Fields(0)->Values.Strings(0), std::string("ab\0\0\0", 5));

  // A block of which nothing is left reads as zeros too: the counts make empty fields and values,
  // no more than a signed 16-bit count says.
  const std::string head = Bytes().raw(std::string(31, 0)).s;
  Load(t, Bytes{head}.word(3).block("F", 64).block("", 64).block("B", 12).word(0)
              .block("G", 64).block("", 64).block("B", 12).word(32767).s);
  ASSERT_EQ(t.Count(), 3);
  EXPECT_EQ(Dump(t)[0], "F|F|B||");
  EXPECT_EQ(t.Fields(1)->Values.Count(), 32767);
  EXPECT_EQ(t.Fields(1)->Values.Strings(32766), "");
  EXPECT_EQ(Dump(t)[2], "||||");
  Load(t, Bytes{head}.word(32767).s);
  EXPECT_EQ(t.Count(), 32767);
  EXPECT_EQ(SemStructVersion, 284);
}

TEST(SemStructRead, ShortCutAndHostileValues) {
  TTableInfo t;
  t.Add(NewField("old", ""));
  Load(t, "");
  EXPECT_EQ(t.Count(), 0);
  TMemoryStream shortValue(Bytes().signature().s.substr(0, 32) + "xx");
  shortValue.SetPosition(2);  // 32 bytes left: no structure, nothing read
  t.LoadFromStream(shortValue);
  EXPECT_EQ(shortValue.Position(), 2);
  EXPECT_EQ(t.Count(), 0);

  EXPECT_THROW(Load(t, Bytes().signature().word(284).s), EReadError);
  EXPECT_THROW(Load(t, Bytes().signature().word(284).byte(1).s), EReadError);
  for (int count : {0x8000, 0xFFFF}) {
    Load(t, Bytes().signature().word(284).word(count).str("A").s);
    EXPECT_EQ(t.Count(), 0);
    Load(t, Bytes().raw(std::string(31, 'x')).word(count).s);
    EXPECT_EQ(t.Count(), 0);
  }
  // A record cut short: the fields before it stay, the version is restored.
  const std::string two = Bytes().signature().word(284).word(2).str("A").str("B").str("")
                              .str("C").str("D").str("BOOK").str("R").word(2).str("V1").str("V2").s;
  for (std::size_t cut = 40; cut < two.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_THROW(Load(t, two.substr(0, cut)), EReadError);
    EXPECT_EQ(Dump(t), std::vector<std::string>{"A|B|||"});
    EXPECT_EQ(SemStructVersion, 284);
  }
  // Hostile string lengths: far beyond the value is a read error, negative reads as empty.
  EXPECT_THROW(Load(t, Bytes().signature().word(284).word(1).byte(254).raw("\xFF\xFF\xFF\x7F").s), EReadError);
  Load(t, Bytes().signature().word(284).word(1).byte(254).raw(std::string("\0\0\0\x80", 4)).str("N").str("").s);
  EXPECT_EQ(Dump(t), std::vector<std::string>{"|N|||"});
}

TEST(SemTableInfo, FindAddAndRemove) {
  TTableInfo t;
  auto* first = NewField("Улица"_ansi, "1");
  t.Add(first);
  t.Add(NewField("УЛИЦА"_ansi, "2"));
  EXPECT_EQ(t.FindField("улица"_ansi), first);
  EXPECT_EQ(t.FindField("Улиц"_ansi), nullptr);

  TFieldInfo stranger;
  EXPECT_EQ(t.Remove(&stranger), -1);
  EXPECT_EQ(t.Count(), 2);
  EXPECT_THROW(t.Add(first), ESemStructError);
  EXPECT_THROW(t.Add(nullptr), ESemStructError);
  std::unique_ptr<TFieldInfo> taken(first);  // Remove hands the field back unfreed
  EXPECT_EQ(t.Remove(first), 0);
  EXPECT_EQ(t.FindField("улица"_ansi)->Name2, "2");
  EXPECT_THROW(t.Fields(1), EListError);
}
