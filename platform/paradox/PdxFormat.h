// Internal to the Paradox engine: header parsing, field codecs, encryption, code pages.
// The on-disk layout is described once, at the top of PdxFormat.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paradox/Paradox.h"

namespace paradox::detail {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

// The fixed and variable parts of a .DB/.PX/.Xnn/.Ynn header.
struct THeader {
  uint16_t RecordSize = 0;
  uint16_t HeaderSize = 0;
  uint8_t FileType = 0;
  uint32_t BlockSize = 0;
  uint32_t NumRecords = 0;
  uint16_t BlocksUsed = 0;
  uint16_t FileBlocks = 0;
  uint16_t FirstBlock = 0;
  uint16_t LastBlock = 0;
  uint8_t IndexFieldNumber = 0;
  uint16_t RootBlock = 0;
  uint8_t Levels = 0;
  uint16_t NumFields = 0;
  uint16_t KeyFields = 0;
  uint32_t Encryption1 = 0;
  uint8_t SortOrder = 0;
  uint8_t Version = 0;
  uint32_t AutoInc = 0;
  uint16_t FirstFree = 0;
  uint32_t Encryption2 = 0;
  uint16_t CodePage = 0;
  std::vector<uint8_t> Types;   // per field
  std::vector<uint8_t> Sizes;   // per field, as stored (record bytes; BCD: decimals)
  std::vector<std::string> Names;       // raw bytes in the table's code page
  std::vector<uint16_t> FieldNumbers;
  std::string SortOrderId;
  std::string IndexName;  // .XGn only

  bool HasNames() const { return FileType != 1 && FileType != 4 && FileType != 7; }
  uint32_t Checksum() const { return Version >= 5 ? Encryption2 : Encryption1; }
  bool Encrypted() const { return Checksum() != 0 && Checksum() != 0xFF00FF00u; }
};

// Places in a .DB/.PX/.Xnn/.Ynn header (see PdxFormat.cpp for what each holds).
inline constexpr size_t kHdrRecordSize = 0x00;     // u16
inline constexpr size_t kHdrHeaderSize = 0x02;     // u16
inline constexpr size_t kHdrFileType = 0x04;       // u8
inline constexpr size_t kHdrBlockSize = 0x05;      // u8, in KB
inline constexpr size_t kHdrRecords = 0x06;        // u32
inline constexpr size_t kHdrBlocksUsed = 0x0A;     // u16
inline constexpr size_t kHdrFileBlocks = 0x0C;     // u16
inline constexpr size_t kHdrFirstBlock = 0x0E;     // u16
inline constexpr size_t kHdrLastBlock = 0x10;      // u16
inline constexpr size_t kHdrIndexField = 0x15;     // u8
inline constexpr size_t kHdrChangeStamp = 0x16;    // u64 (.DB: this engine's change stamp)
inline constexpr size_t kHdrRootBlock = 0x1E;      // u16
inline constexpr size_t kHdrLevels = 0x20;         // u8
inline constexpr size_t kHdrFieldCount = 0x21;     // u16
inline constexpr size_t kHdrKeyFields = 0x23;      // u16
inline constexpr size_t kHdrEncryption1 = 0x25;    // u32
inline constexpr size_t kHdrSortOrder = 0x29;      // u8
inline constexpr size_t kHdrChangeCount = 0x2E;    // u8
inline constexpr size_t kHdrVersion = 0x39;        // u8
inline constexpr size_t kHdrFileBlocks2 = 0x3A;    // u16
inline constexpr size_t kHdrPlainMark = 0x3E;      // 2 bytes
inline constexpr size_t kHdrAutoInc = 0x49;        // u32
inline constexpr size_t kHdrFirstFree = 0x4D;      // u16
inline constexpr size_t kHdrIndexesOutOfDate = 0x4F;  // u8
inline constexpr size_t kHdrUsedEnd = 0x51;        // u16
inline constexpr size_t kHdrUnique = 0x57;         // u8 (.Xnn/.XGn)
inline constexpr size_t kHdrVersionWords = 0x58;   // 2 x u16 (v4+ .DB/.X)
inline constexpr size_t kHdrEncryption2 = 0x5C;    // u32 (v4+ .DB/.X)
inline constexpr size_t kHdrFieldCount1 = 0x64;    // u16 (v4+ .DB/.X)
inline constexpr size_t kHdrCodePage = 0x6A;       // u16 (v4+ .DB/.X)
inline constexpr size_t kHdrFixedSize = 0x78;      // the fixed part of a v4+ .DB/.X header
inline constexpr size_t kHdrFixedSizeV3 = 0x58;    // of a v3 file's and every .PX/.Y's

// The change stamp of a .DB header (see PdxReaderView.cpp).
inline uint64_t GetChangeStamp(const uint8_t* header) {
  return uint64_t(Get32(header + kHdrChangeStamp)) | uint64_t(Get32(header + kHdrChangeStamp + 4)) << 32;
}
inline void PutChangeStamp(uint8_t* header, uint64_t stamp) {
  Put32(header + kHdrChangeStamp, uint32_t(stamp));
  Put32(header + kHdrChangeStamp + 4, uint32_t(stamp >> 32));
}
inline bool InChangeStamp(uint64_t offset) { return offset >= kHdrChangeStamp && offset < kHdrChangeStamp + 8; }

// Places in a block of a .DB/.PX/.X file: the next and the previous block (u16), the offset of
// the last record (s16), then the records.
inline constexpr size_t kBlockNext = 0;
inline constexpr size_t kBlockPrev = 2;
inline constexpr size_t kBlockLast = 4;
inline constexpr size_t kBlockData = 6;

// The .MB: 4 KB units; a block starts with its type and its size in units (u16). A block of one
// value holds its length (u32) and a modification number (u16), then the value; a block of small
// values, 64 slots of 5 bytes, then the values from kMbSmallData. A value's pointer in a record
// holds the block's offset, and in its low byte the slot (kMbWholeBlock: a block of one value).
inline constexpr size_t kMbUnit = 4096;
inline constexpr size_t kMbType = 0;
inline constexpr size_t kMbUnits = 1;
inline constexpr size_t kMbLength = 3;
inline constexpr size_t kMbMod = 7;
inline constexpr size_t kMbData = 9;
inline constexpr size_t kMbSlots = 12;
inline constexpr size_t kMbSlotSize = 5;
inline constexpr size_t kMbSlotCount = 64;
inline constexpr size_t kMbSmallData = 0x150;
// A slot: the value's start / 16 (u8), its 16-byte chunks (u8), a modification number (u16), the
// bytes in its last chunk (u8; 0: the slot is free).
inline constexpr size_t kMbSlotStart = 0, kMbSlotChunks = 1, kMbSlotMod = 2, kMbSlotLast = 4;
inline constexpr uint8_t kMbValueBlock = 2, kMbSmallBlock = 3, kMbFreeBlock = 4;
inline constexpr uint8_t kMbWholeBlock = 0xFF;

// Parses a header from its bytes (at least the first 0x78; the whole header for the variable
// part). Raises EPdxCorrupt naming `file`.
THeader ParseHeader(const uint8_t* data, size_t size, const std::string& file);

// Bytes a field takes in a record.
int FieldWidth(uint8_t type, uint8_t size);
// Whether a field type keeps its value in the .MB (memo, blob, formatted memo, OLE, graphic).
inline bool IsBlobCode(uint8_t t) { return t >= 0x0C && t <= 0x10; }

// Encryption of 256-byte chunks (a, b, c, d as the format notes describe).
void DecryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
void EncryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
void DecryptDbBlock(uint8_t* block, uint32_t size, uint32_t checksum, uint32_t blockNo);
void EncryptDbBlock(uint8_t* block, uint32_t size, uint32_t checksum, uint32_t blockNo);
// The .MB file: chunks aligned to file offsets; `offset` a multiple of 256.
void DecryptMb(uint8_t* data, size_t size, uint32_t checksum);
void EncryptMb(uint8_t* data, size_t size, uint32_t checksum);
uint32_t PasswordChecksum(const std::string& password);

// Translation between a table's code page and Windows-1251. Identity for Windows code pages.
// A character either side lacks becomes '?'.
struct TCodec {
  bool Identity = true;
  std::string Name;                    // the code page ("CP866"), empty for the identity
  std::array<uint8_t, 256> ToAnsi{};
  std::array<uint8_t, 256> FromAnsi{};
  std::array<bool, 256> Encodable{};   // Windows-1251 bytes the code page has a character for
  std::string Decode(const char* p, size_t n) const;
  std::string Encode(const std::string& s) const;
  // The first character of `s` the code page cannot hold, or npos.
  size_t FindUnencodable(const std::string& s) const;
};
// The codec of a header: from the code page at 0x6A (v4+) or the sort order ID (v3).
const TCodec& CodecFor(uint16_t codePage, const std::string& sortOrderId, int version);

// Field codecs ("flipped" big-endian; see PdxFormat.cpp).
inline bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) if (p[i]) return false;
  return true;
}
int16_t GetShort(const uint8_t* p);
int32_t GetLong(const uint8_t* p);
double GetDouble(const uint8_t* p);
void PutShort(uint8_t* p, int16_t v);
void PutLong(uint8_t* p, int32_t v);
void PutDouble(uint8_t* p, double v);
// BCD: value as double and the exact scaled form when decimals <= 4.
bool GetBcd(const uint8_t* p, int decimals, double& value, int64_t& scaled4, bool& exact4);
void PutBcd(uint8_t* p, int decimals, const Variant& v);

inline constexpr int32_t kDateOffset = 693594;  // day number of 30 Dec 1899 (1 Jan 0001 = 1)
inline constexpr double kMsPerDay = 86400000.0;

}  // namespace paradox::detail
