#include "foundation/CommonUtils.h"

#include <algorithm>
#include <cstring>

void TStringBuilder::Clear() {
  Buffer.clear();
  Length = 0;
}

void TStringBuilder::Insert(int32_t pos, const std::string& text) {
  if (text.empty()) return;
  const auto add = static_cast<int32_t>(text.size());
  const int32_t newLen = Length + add;
  if (newLen > static_cast<int32_t>(Buffer.size())) {
    int32_t capacity = newLen > 64 ? newLen + newLen / 4 : newLen > 8 ? newLen + 16 : newLen + 4;
    Buffer.resize(static_cast<std::size_t>(capacity));
  }
  pos = std::clamp(pos, 1, Length + 1);
  char* data = Buffer.data();
  if (pos <= Length)
    std::memmove(data + pos - 1 + add, data + pos - 1, static_cast<std::size_t>(Length - pos + 1));
  std::memcpy(data + pos - 1, text.data(), text.size());
  Length = newLen;
}

double StrToFloatAnySep(const std::string& text) {
  const char sep = FormatSettings().DecimalSeparator;
  std::string s = text;
  std::size_t at = std::string::npos;
  if (sep == '.') {
    at = s.find(',');
  } else if (sep == ',') {
    at = s.find('.');
  } else {
    at = s.find(',');
    if (at == std::string::npos) at = s.find('.');
  }
  if (at != std::string::npos) s[at] = sep;
  return StrToFloat(s);
}

void FreeListObjects(TList* list) {
  if (!list) return;
  for (int i = list->Count() - 1; i >= 0; --i) {
    TObject* obj = list->Items(i);
    list->Delete(i);
    delete obj;
  }
}

void FreeStringsObjects(TStrings* strings) {
  if (!strings) return;
  while (strings->Count() > 0) {
    int last = strings->Count() - 1;
    TObject* obj = strings->Objects(last);
    strings->Delete(last);
    delete obj;
  }
}

void FreeStringsAndObjects(TStrings* strings) {
  FreeStringsObjects(strings);
  delete strings;
}

uint8_t StreamReadByte(TStream& stream) {
  uint8_t b = 0;
  stream.ReadBuffer(&b, 1);
  return b;
}

void StreamWriteByte(TStream& stream, uint8_t value) { stream.WriteBuffer(&value, 1); }

int32_t StreamReadInt(TStream& stream) {
  uint8_t b[4];
  stream.ReadBuffer(b, 4);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}

void StreamWriteInt(TStream& stream, int32_t value) {
  auto u = static_cast<uint32_t>(value);
  uint8_t b[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                  static_cast<uint8_t>(u >> 24)};
  stream.WriteBuffer(b, 4);
}

void StreamReadStr(TStream& stream, std::string& value) {
  int32_t len = StreamReadByte(stream);
  if (len == 254) len = StreamReadInt(stream);
  value.clear();
  if (len <= 0) return;
  // A hostile length must not allocate more than the stream still holds: read in pieces, so a
  // short stream fails with the read error after at most its own size in memory.
  constexpr int32_t kPiece = 1 << 16;
  int32_t left = len;
  while (left > 0) {
    int32_t n = std::min(left, kPiece);
    std::size_t old = value.size();
    value.resize(old + static_cast<std::size_t>(n));
    stream.ReadBuffer(value.data() + old, n);
    left -= n;
  }
}

void StreamWriteStr(TStream& stream, const std::string& value) {
  const auto len = static_cast<int32_t>(value.size());
  if (len >= 254) {
    StreamWriteByte(stream, 254);
    StreamWriteInt(stream, len);
  } else {
    StreamWriteByte(stream, static_cast<uint8_t>(len));
  }
  if (len > 0) stream.WriteBuffer(value.data(), len);
}

namespace {
std::vector<std::string>& Args() {
  static std::vector<std::string> args;
  return args;
}
}  // namespace

void SetCommandLineArgs(std::vector<std::string> args) { Args() = std::move(args); }

const std::vector<std::string>& CommandLineArgs() { return Args(); }

bool FindCmdLineValue(const std::string& name, std::string& value) {
  value.clear();
  const std::size_t n = name.size();
  for (const std::string& arg : Args()) {
    if (arg.empty()) continue;
    if (arg[0] != '-' && arg[0] != '/') continue;
    if (arg.size() < n + 2 || arg[n + 1] != ':') continue;
    if (!AnsiSameText(std::string_view(arg).substr(1, n), name)) continue;
    value = arg.substr(n + 2);
    return true;
  }
  return false;
}
