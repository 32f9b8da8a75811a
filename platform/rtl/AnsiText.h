// Text in Windows-1251, the code page every string inside the system is held in.
//
// Strings are plain byte strings (std::string), one byte a character. UTF-8 appears only at the
// edges (Qt, the file system, the terminal, ODBC wide calls through UTF-16); these helpers convert
// at those edges. Source files are UTF-8, so the Russian texts written in them become Windows-1251
// at compile time through the literal operator _ansi:
//
//     const std::string& caption = "Ошибка"_ansi;
//
// A character that Windows-1251 cannot hold in such a literal is a compile error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ansi_detail {

// Unicode code points of the bytes 0x80..0xFF. 0x98 has no character of its own; it maps to the
// control character U+0098 so that every byte survives a round trip through Unicode.
inline constexpr std::array<char16_t, 128> kHighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// The byte for a code point, or -1 when Windows-1251 has none.
constexpr int ByteOfCodePoint(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  for (int i = 0; i < 128; ++i)
    if (kHighHalf[i] == cp) return 0x80 + i;
  return -1;
}

void CompileTimeError(const char*);  // never defined: calling it in a constant expression fails

template <std::size_t N>
struct Utf8Literal {
  char bytes[N]{};
  std::size_t size = 0;

  consteval Utf8Literal(const char (&s)[N]) {
    std::size_t i = 0;
    while (i + 1 < N) {
      auto b = static_cast<unsigned char>(s[i]);
      char32_t cp;
      int extra;
      if (b < 0x80) { cp = b; extra = 0; }
      else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; extra = 1; }
      else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; extra = 2; }
      else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; extra = 3; }
      else { CompileTimeError("malformed UTF-8 in a text literal"); return; }
      if (i + extra >= N - 1) CompileTimeError("truncated UTF-8 in a text literal");
      for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      i += 1 + extra;
      int byte = ByteOfCodePoint(cp);
      if (byte < 0) CompileTimeError("a text literal holds a character that Windows-1251 lacks");
      bytes[size++] = static_cast<char>(byte);
    }
  }
};

}  // namespace ansi_detail

// "Ошибка"_ansi: the literal's Windows-1251 bytes, converted while compiling.
template <ansi_detail::Utf8Literal L>
inline const std::string& operator""_ansi() {
  static const std::string text(L.bytes, L.size);
  return text;
}

// UTF-8 (from Qt, the file system, the terminal) to Windows-1251. A character with no place in
// Windows-1251, or malformed UTF-8, raises EConvertError naming the text, unless `replacement` is
// given, which then stands for each such character.
std::string Utf8ToAnsi(std::string_view utf8);
std::string Utf8ToAnsi(std::string_view utf8, char replacement);
// Whether every character of the UTF-8 text has a place in Windows-1251.
bool Utf8FitsAnsi(std::string_view utf8);

// Windows-1251 to UTF-8; every byte has a character, so this never fails.
std::string AnsiToUtf8(std::string_view ansi);

// The same edges in UTF-16 (ODBC's wide calls, Qt's QString storage).
std::u16string AnsiToUtf16(std::string_view ansi);
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToAnsi(std::u16string_view utf16);  // raises EConvertError as Utf8ToAnsi does
std::string Utf16ToUtf8(std::u16string_view utf16);

// The Unicode code point of one Windows-1251 byte.
char32_t AnsiCharToCodePoint(unsigned char c);
