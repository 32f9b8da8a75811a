#include "platform/rtl/SysUtils.h"

#include <gtest/gtest.h>

namespace {

// Sets the decimal separator for one test and restores it afterwards.
class SeparatorScope {
 public:
  explicit SeparatorScope(char sep) : FSaved(FormatSettings().DecimalSeparator) {
    FormatSettings().DecimalSeparator = sep;
  }
  ~SeparatorScope() { FormatSettings().DecimalSeparator = FSaved; }

 private:
  char FSaved;
};

}  // namespace

TEST(Comparisons, LocaleComparisonFoldsLatinAndCyrillicIncludingYo) {
  EXPECT_TRUE(AnsiSameText("Engine", "ENGINE"));
  EXPECT_TRUE(AnsiSameText("Папка"_ansi, "пАПКА"_ansi));
  EXPECT_TRUE(AnsiSameText("ёлка"_ansi, "ЁЛКА"_ansi));
  EXPECT_TRUE(AnsiSameText("їґєіў"_ansi, "ЇҐЄІЎ"_ansi));
  EXPECT_FALSE(AnsiSameText("е"_ansi, "ё"_ansi));
  EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
  EXPECT_LT(AnsiCompareText("Z", "а"_ansi), 0);
  EXPECT_LT(AnsiCompareText("е"_ansi, "ё"_ansi), 0);
  EXPECT_LT(AnsiCompareText("ё"_ansi, "ж"_ansi), 0);
}

TEST(Comparisons, CompareTextFoldsAsciiOnly) {
  EXPECT_EQ(CompareText("c:\\Data", "C:\\DATA"), 0);
  EXPECT_NE(CompareText("папка"_ansi, "ПАПКА"_ansi), 0);
  EXPECT_EQ(UpperCase("abcя"_ansi), "ABCя"_ansi);
  EXPECT_EQ(AnsiUpperCase("abcя"_ansi), "ABCЯ"_ansi);
}

TEST(Format, FormsUsedByTheSystem) {
  EXPECT_EQ(Format("Имя %S дублируется"_ansi, {"ID"}), "Имя ID дублируется"_ansi);
  EXPECT_EQ(Format("%s_I%d", {"T", 0}), "T_I0");
  EXPECT_EQ(Format("%5d|%-4s|%.3d", {42, "ab", 7}), "   42|ab  |007");
  EXPECT_EQ(Format("100%%", {}), "100%");
  SeparatorScope comma(',');
  EXPECT_EQ(Format("%.2f", {3.14159}), "3,14");
  EXPECT_EQ(Format("%.0f%%", {99.5}), "100%");
}

TEST(Format, MismatchedArgumentsRaise) {
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s %s", {"one"}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("%", {1}), EConvertError);
}

TEST(StrToFloat, UsesTheLocaleSeparator) {
  {
    SeparatorScope dot('.');
    EXPECT_DOUBLE_EQ(StrToFloat(" 3.5 "), 3.5);
    EXPECT_DOUBLE_EQ(StrToFloat("-1.25E2"), -125);
    EXPECT_THROW(StrToFloat("3,5"), EConvertError);
  }
  {
    SeparatorScope comma(',');
    EXPECT_DOUBLE_EQ(StrToFloat("3,5"), 3.5);
    EXPECT_THROW(StrToFloat("3.5"), EConvertError);
  }
  for (const char* bad : {"", " ", "abc", "1e", "1..2", "--1", "1 2", ".", "+"})
    EXPECT_THROW(StrToFloat(bad), EConvertError) << bad;
  EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
}

TEST(Numbers, IntegerParsingAndRounding) {
  EXPECT_EQ(StrToInt(" -12 "), -12);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("1x"), EConvertError);
  EXPECT_EQ(StrToIntDef("x", 7), 7);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
}

TEST(DateTime, EncodeAndDecodeAroundTheEpochAndLeapYears) {
  EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_DOUBLE_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_DOUBLE_EQ(EncodeDate(2000, 1, 1), 36526);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  for (int y : {1, 1600, 1899, 1900, 2000, 2024, 9999})
    for (int m : {1, 2, 12}) {
      int d = m == 2 ? 28 : 31, yy, mm, dd;
      DecodeDate(EncodeDate(y, m, d), yy, mm, dd);
      EXPECT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
    }
  int h, n, s, ms;
  DecodeTime(EncodeDate(2024, 2, 29) + EncodeTime(23, 59, 59, 999), h, n, s, ms);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 23 * 10000000 + 59 * 100000 + 59 * 1000 + 999);
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5) + EncodeTime(7, 8, 9, 0)), "05.03.2024 7:08:09");
}

TEST(GUIDs, StringFormIs38CharactersAndUnique) {
  std::string a = GUIDToString(CreateGUID()), b = GUIDToString(CreateGUID());
  EXPECT_EQ(a.size(), 38u);
  EXPECT_EQ(a.front(), '{');
  EXPECT_EQ(a.back(), '}');
  EXPECT_NE(a, b);
}
