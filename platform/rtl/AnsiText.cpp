#include "platform/rtl/AnsiText.h"

#include <algorithm>

#include "platform/rtl/SysUtils.h"

namespace {

// Reverse of the high half, built once: the byte of every code point up to the highest one the
// high half holds (U+2122), 0 where Windows-1251 has none (no character of the high half is 0).
constexpr std::size_t ReverseTableSize() {
  char32_t highest = 0;
  for (char16_t cp : ansi_detail::kHighHalf) highest = std::max<char32_t>(highest, cp);
  return highest + 1;
}

struct ReverseTable {
  std::array<unsigned char, ReverseTableSize()> bytes{};
  ReverseTable() {
    for (int i = 0; i < 128; ++i) bytes[ansi_detail::kHighHalf[i]] = static_cast<unsigned char>(0x80 + i);
  }
  int Find(char32_t cp) const {
    if (cp >= bytes.size() || bytes[cp] == 0) return -1;
    return bytes[cp];
  }
};

const ReverseTable& Reverse() {
  static const ReverseTable table;
  return table;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 character at `i`; returns false on malformed input.
bool NextUtf8(std::string_view s, std::size_t& i, char32_t& cp) {
  auto b = static_cast<unsigned char>(s[i]);
  int extra;
  if (b < 0x80) { cp = b; extra = 0; }
  else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; extra = 1; }
  else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; extra = 2; }
  else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; extra = 3; }
  else return false;
  if (i + extra >= s.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (c & 0x3F);
  }
  i += 1 + extra;
  return true;
}

int AnsiByte(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  return Reverse().Find(cp);
}

std::string Utf8ToAnsiImpl(std::string_view utf8, int replacement) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    std::size_t start = i;
    int byte = -1;
    if (NextUtf8(utf8, i, cp)) {
      byte = AnsiByte(cp);
    } else {
      i = start + 1;
    }
    if (byte < 0) {
      if (replacement < 0)
        throw EConvertError("Текст не может быть записан в кодировке Windows-1251: "_ansi +
                            Utf8ToAnsiImpl(utf8, '?'));
      byte = replacement;
    }
    out += static_cast<char>(byte);
  }
  return out;
}

}  // namespace

char32_t AnsiCharToCodePoint(unsigned char c) {
  return c < 0x80 ? c : ansi_detail::kHighHalf[c - 0x80];
}

std::string Utf8ToAnsi(std::string_view utf8) { return Utf8ToAnsiImpl(utf8, -1); }

std::string Utf8ToAnsi(std::string_view utf8, char replacement) {
  return Utf8ToAnsiImpl(utf8, static_cast<unsigned char>(replacement));
}

bool Utf8FitsAnsi(std::string_view utf8) {
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    if (!NextUtf8(utf8, i, cp) || AnsiByte(cp) < 0) return false;
  }
  return true;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  for (char c : ansi) AppendUtf8(out, AnsiCharToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::u16string AnsiToUtf16(std::string_view ansi) {
  std::u16string out;
  out.reserve(ansi.size());
  for (char c : ansi) out += static_cast<char16_t>(AnsiCharToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 2);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    if (!NextUtf8(utf8, i, cp)) {
      cp = 0xFFFD;
      ++i;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToAnsi(std::u16string_view utf16) {
  // Straight from UTF-16: no character Windows-1251 holds needs a surrogate pair, so every unit
  // is one character or fails.
  const ReverseTable& table = Reverse();
  std::string out(utf16.size(), '\0');
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    const int byte = unit < 0x80 ? unit : table.Find(unit);
    if (byte < 0) return Utf8ToAnsi(Utf16ToUtf8(utf16));  // raises, naming the text
    out[i] = static_cast<char>(byte);
  }
  return out;
}
