#include "platform/rtl/AnsiText.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include "platform/rtl/SysUtils.h"

TEST(AnsiText, LiteralsBecomeWindows1251AtCompileTime) {
  EXPECT_EQ("Ошибка"_ansi, std::string("\xCE\xF8\xE8\xE1\xEA\xE0"));
  EXPECT_EQ("Ёё №"_ansi, std::string("\xA8\xB8\x20\xB9"));
  EXPECT_EQ("plain"_ansi, "plain");
  EXPECT_EQ(""_ansi, "");
}

TEST(AnsiText, EveryByteRoundTripsThroughUtf8AndUtf16) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
  EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16(all)), all);
}

TEST(AnsiText, AgreesWithGlibcIconvOnEveryDefinedByte) {
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;  // no character in Windows-1251
    char in[1] = {static_cast<char>(b)};
    char out[8] = {};
    char* pin = in;
    char* pout = out;
    size_t inLeft = 1, outLeft = sizeof out;
    ASSERT_NE(iconv(cd, &pin, &inLeft, &pout, &outLeft), static_cast<size_t>(-1)) << b;
    EXPECT_EQ(AnsiToUtf8(std::string(1, static_cast<char>(b))), std::string(out, pout)) << "byte " << b;
  }
  iconv_close(cd);
}

TEST(AnsiText, UnencodableTextRaisesUnlessAReplacementIsGiven) {
  EXPECT_THROW(Utf8ToAnsi("日本"), EConvertError);
  EXPECT_EQ(Utf8ToAnsi("a日b", '?'), "a?b");
  EXPECT_FALSE(Utf8FitsAnsi("日"));
  EXPECT_TRUE(Utf8FitsAnsi("Привет"));
  EXPECT_THROW(Utf8ToAnsi(std::string("\xC3")), EConvertError);  // cut short
  EXPECT_THROW(Utf8ToAnsi(std::string("\xFF")), EConvertError);
  // UTF-16 beyond the code page: past its highest code point, far past it, a gap inside its
  // range, a pair of surrogates and a lone one.
  for (const std::u16string& text : {std::u16string(u"\u2123"), std::u16string(u"\uFFFD"),
                                     std::u16string(u"a\u0100"), std::u16string(u"\xD83D\xDE00"),
                                     std::u16string(u"\xDC00z")})
    EXPECT_THROW(Utf16ToAnsi(text), EConvertError);
}
