// Reading and writing the stored structure of semantic tables; the layouts are described in
// SemTables.h.
//
// The value comes from a database blob and may hold anything, so the readers keep two promises:
// no read leaves the stream or a block, and nothing allocated grows beyond what the value
// holds: a stream string's length is checked against the bytes left before its text is
// allocated, every field or value of the current layout consumes at least one byte, and the
// older layout, whose blocks read missing bytes as zero, makes at most the signed 16-bit counts
// it reads of empty fields and values out of them.
#include "copier/SemTables.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "foundation/CommonUtils.h"
#include "platform/rtl/AnsiText.h"
#include "platform/rtl/SysUtils.h"

uint16_t SemStructVersion = 284;

namespace {

constexpr uint16_t kCurrentVersion = 284;
constexpr uint16_t kOldLayoutVersion = 283;  // a value without the signature
constexpr int kSignatureSize = 31;
constexpr int kHeaderSize = kSignatureSize + 2;  // signature and version, or signature and count

// Second-layout block capacities (characters, without the length byte).
constexpr int kOldNameCapacity = 64;
constexpr int kOldRefBookIDCapacity = 12;

const std::string& ErrorPrefix() { return "Ошибка записи структуры семантической таблицы: "_ansi; }

int16_t ReadInt16(TStream& stream) {
  uint8_t b[2];
  stream.ReadBuffer(b, 2);
  return static_cast<int16_t>(static_cast<uint16_t>(b[0] | b[1] << 8));
}

void WriteWord(TStream& stream, uint16_t value) {
  uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  stream.WriteBuffer(b, 2);
}

// A stream string read exactly, like StreamReadStr, but with its length checked against the
// bytes left before the text is allocated. A length beyond them consumes the rest and raises
// the stream's own read error.
std::string ReadStoredStr(TStream& stream) {
  int32_t len = StreamReadByte(stream);
  if (len == 254) len = StreamReadInt(stream);
  if (len <= 0) return {};
  const int64_t left = stream.Size() - stream.Position();
  if (len > left) {
    stream.Seek(0, TSeekOrigin::soEnd);
    uint8_t none;
    stream.ReadBuffer(&none, 1);  // nothing is left: raises EReadError
  }
  std::string text(static_cast<std::size_t>(len), '\0');
  stream.ReadBuffer(text.data(), len);
  return text;
}

// One fixed-size block of the second layout, read with the stream's plain read, which does not
// fail when the value ends early: bytes the stream does not hold count as zero, up to a whole
// block of which no byte is left.
template <std::size_t N>
std::array<uint8_t, N> ReadOldBlock(TStream& stream) {
  std::array<uint8_t, N> block{};
  stream.Read(block.data(), N);
  return block;
}

// A short string block: the length byte, capped at the block's capacity, then the characters.
template <std::size_t N>
std::string OldShortString(const std::array<uint8_t, N>& block) {
  const std::size_t len = std::min<std::size_t>(block[0], N - 1);
  return std::string(reinterpret_cast<const char*>(block.data()) + 1, len);
}

std::string ReadOldShortString(TStream& stream) { return OldShortString(ReadOldBlock<kOldNameCapacity + 1>(stream)); }

int16_t ReadOldCount(TStream& stream) {
  auto b = ReadOldBlock<2>(stream);
  return static_cast<int16_t>(static_cast<uint16_t>(b[0] | b[1] << 8));
}

// Restores SemStructVersion on every way out of a load.
class TVersionGuard {
 public:
  TVersionGuard() : FSaved(SemStructVersion) {}
  ~TVersionGuard() { SemStructVersion = FSaved; }
  TVersionGuard(const TVersionGuard&) = delete;
  TVersionGuard& operator=(const TVersionGuard&) = delete;

 private:
  uint16_t FSaved;
};

// The length byte, the text, and zeros up to the block's size.
std::string BuildSignature() {
  const std::string& text = "Дополнительные данные"_ansi;
  std::string block(kSignatureSize, '\0');
  block[0] = static_cast<char>(text.size());
  block.replace(1, text.size(), text);
  return block;
}

}  // namespace

const std::string& SemStructSignature() {
  static const std::string signature = BuildSignature();
  return signature;
}

// --- TFieldInfo ---------------------------------------------------------------------------

void TFieldInfo::LoadFromStream(TStream& stream) {
  if (SemStructVersion >= kCurrentVersion)
    LoadCurrentLayout(stream);
  else
    LoadOldLayout(stream);
}

void TFieldInfo::LoadCurrentLayout(TStream& stream) {
  Name = ReadStoredStr(stream);
  Name2 = ReadStoredStr(stream);
  RefBookID = ReadStoredStr(stream);
  if (RefBookID.size() > MaxRefBookIDLength) RefBookID.resize(MaxRefBookIDLength);
  Values.Clear();
  if (RefBookID.empty()) {
    RefName.clear();
    return;
  }
  RefName = ReadStoredStr(stream);
  for (int16_t count = ReadInt16(stream); count > 0; --count) Values.Add(ReadStoredStr(stream));
}

void TFieldInfo::LoadOldLayout(TStream& stream) {
  Name = ReadOldShortString(stream);
  Name2 = Name;
  RefName = ReadOldShortString(stream);
  RefBookID = OldShortString(ReadOldBlock<kOldRefBookIDCapacity + 1>(stream));
  Values.Clear();
  for (int16_t count = ReadOldCount(stream); count > 0; --count) Values.Add(ReadOldShortString(stream));
}

void TFieldInfo::CheckStorable() const {
  if (RefBookID.size() > MaxRefBookIDLength)
    throw ESemStructError(Format(ErrorPrefix() + "ID справочника \"%s\" поля \"%s\" длиннее %d символов"_ansi,
                                 {RefBookID, Name, static_cast<int>(MaxRefBookIDLength)}));
  if (HasRefBook() && Values.Count() > TTableInfo::MaxCount)
    throw ESemStructError(Format(ErrorPrefix() + "у поля \"%s\" значений %d, допустимо не более %d"_ansi,
                                 {Name, Values.Count(), TTableInfo::MaxCount}));
}

void TFieldInfo::SaveToStream(TStream& stream) const {
  CheckStorable();
  WriteRecord(stream);
}

void TFieldInfo::WriteRecord(TStream& stream) const {
  StreamWriteStr(stream, Name);
  StreamWriteStr(stream, Name2);
  StreamWriteStr(stream, RefBookID);
  if (!HasRefBook()) return;
  StreamWriteStr(stream, RefName);
  WriteWord(stream, static_cast<uint16_t>(Values.Count()));
  for (int i = 0; i < Values.Count(); ++i) StreamWriteStr(stream, Values.Strings(i));
}

// --- TTableInfo ---------------------------------------------------------------------------

TFieldInfo* TTableInfo::Fields(int index) const { return static_cast<TFieldInfo*>(FFields.Items(index)); }

int TTableInfo::Add(TFieldInfo* field) {
  // A null entry or a second entry of the same field would break every later walk of the list
  // and free the field twice.
  if (!field) throw ESemStructError("Ошибка структуры семантической таблицы: добавляется пустое поле"_ansi);
  if (FFields.IndexOf(field) >= 0)
    throw ESemStructError(
        Format("Ошибка структуры семантической таблицы: поле \"%s\" уже есть в структуре"_ansi, {field->Name}));
  return FFields.Add(field);
}

int TTableInfo::Remove(TFieldInfo* field) { return field ? FFields.Remove(field) : -1; }

TFieldInfo* TTableInfo::FindField(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(Fields(i)->Name, name)) return Fields(i);
  return nullptr;
}

void TTableInfo::LoadFromStream(TStream& stream) {
  TVersionGuard restoreVersion;
  FFields.Clear();
  if (stream.Size() - stream.Position() < kHeaderSize) return;

  char head[kSignatureSize];
  stream.ReadBuffer(head, kSignatureSize);
  const std::string& signature = SemStructSignature();
  // The length byte and the characters it counts; the padding after them is not compared.
  const auto sigLen = static_cast<uint8_t>(signature[0]);
  if (head[0] == signature[0] && std::memcmp(head + 1, signature.data() + 1, sigLen) == 0)
    SemStructVersion = static_cast<uint16_t>(ReadInt16(stream));
  else
    SemStructVersion = kOldLayoutVersion;

  for (int16_t count = ReadInt16(stream); count > 0; --count) {
    auto field = std::make_unique<TFieldInfo>();
    field->LoadFromStream(stream);
    FFields.Add(field.release());
  }
}

void TTableInfo::SaveToStream(TStream& stream) const {
  // Counts are signed 16-bit: a larger structure would be stored cut short, so it is refused
  // whole, before the first byte goes out.
  if (Count() > MaxCount)
    throw ESemStructError(Format(ErrorPrefix() + "полей %d, допустимо не более %d"_ansi, {Count(), MaxCount}));
  for (int i = 0; i < Count(); ++i) Fields(i)->CheckStorable();

  stream.WriteBuffer(SemStructSignature().data(), kSignatureSize);
  // Always the version of the layout the records below are written in, whatever a caller may
  // have left in SemStructVersion.
  WriteWord(stream, kCurrentVersion);
  WriteWord(stream, static_cast<uint16_t>(Count()));
  for (int i = 0; i < Count(); ++i) Fields(i)->WriteRecord(stream);
}
