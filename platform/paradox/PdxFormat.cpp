// Paradox on-disk layout relied on by this engine (all of it is read and written here and in the
// engine's other files; "LE" = little-endian, "flipped" = big-endian with the sign bit inverted).
//
// .DB / .Xnn / .XGn (data files) and .PX / .Ynn / .YGn (their B-tree indexes) share one layout:
//   header (HeaderSize bytes, plaintext), then blocks of BlockSize bytes numbered from 1 at
//   file offset HeaderSize + (n - 1) * BlockSize.
//   Header, fixed part (LE):
//     00 u16 record size (PX: key bytes + 6)      02 u16 header size (2048 usually; v3 varies)
//     04 u8  file type: 0 keyed DB, 1 PX, 2 unkeyed DB, 3/5 .Xnn, 4 .Ynn, 6/8 .XGn, 7 .YGn
//     05 u8  block size / 1024 (1..32)              06 u32 records (PX: entries of all levels)
//     0A u16 blocks in use   0C u16 blocks in file  0E u16 first data block  10 u16 last block
//     16 2 x u32 left over from the BDE's memory, read by no one; this engine keeps there, in a
//        .DB, a u64 change stamp that every change it writes raises (PdxReaderView.cpp)
//     15 u8  (.Xnn) indexed field number            1E u16 (PX/Y) root block  20 u8 levels
//     21 u16 field count (PX: key field count)      23 u16 primary key field count
//     25 u32 v3: password checksum; v4+: FF00FF00   29 u8 sort order byte
//     39 u8  version ID (3..12)                      3A u16 = blocks in file
//     3E 2   1F 0F in plain .DB/.X files            49 u32 last autoinc value
//     4D u16 first free block                        51 u16 end of the used header bytes
//     4F u8  (.DB) 1 = the indexes need updating: data was written that they do not hold yet
//     56 u8  0x20 (.DB/.X)
//   v4+ (version >= 5) .DB/.X only: 58 u16, 5A u16 = 0x0100 | version; 5C u32 password
//     checksum; 64 u16 field count + 1; 6A u16 code page.
//   Variable part, from 0x78 (v4+ .DB/.X) or 0x58 (v3 and every .PX/.Y):
//     fieldCount x (type u8, size u8); u32 (garbage); .DB/.X: fieldCount x u32 (garbage);
//     table name, 79 bytes (261 when version >= 12); .DB/.X: field names, NUL-terminated;
//     .DB/.X: fieldCount x u16 field numbers, sort order ID (NUL-terminated), .XGn: index name.
//   Block: u16 next, u16 prev, s16 offset of the last record (-recordSize when empty), records
//   packed from +6. Keyed files keep records sorted and blocks chained in key order.
//   PX/Y entries: key fields, then flipped u16 block (DB block at level 1, PX block above),
//   flipped u16 record count below, flipped u16 0. One level-1 entry per data block, keyed by
//   its first record.
//   Secondary .Xnn/.XGn of a keyed table: index fields + primary key fields + "Blk Num" (S);
//   of an unkeyed table: index fields + "Tup No" (I) + "Blk Num" (S) + "Tup Offset" (S).
// Fields: all-zero bytes = null. A: text, NUL-padded. D: flipped i32 days (1 Jan 0001 = 1).
//   S/I/+: flipped ints. $/N/@: doubles, big-endian with the sign bit set when positive, all bits
//   inverted when negative (@ = day number * 86400000 + ms). T: flipped i32 ms of the day.
//   L: 0x80 false, 0x81 true. #: byte 0 = (positive ? 0x80 : 0) | 0x40 | decimals, then 32 BCD
//   nibbles (last `decimals` of them the fraction), inverted when negative. Y: raw bytes.
//   M/B/F/O/G: leader (size - 10 bytes) then LE u32 MB offset | index, u32 length, u16 mod.
//   offset 0 = the whole value is in the leader. G/O payloads in the .MB carry an 8-byte prefix.
// .MB: 4 KB units. Unit 0 is the header (type 0). Blocks: u8 type, u16 size in 4 KB units;
//   type 2 = one blob (u32 length, u16 mod, data from +9); type 3 = 64 slots of 5 bytes at
//   +12 + 5i (offset/16, chunks of 16, u16 mod, bytes in the last chunk; 0 = free), data from
//   0x150; type 4 = free. Index byte 0xFF in the record's pointer = type 2, else the slot.
// Encryption: every data block is encrypted in 256-byte chunks (key = checksum bytes 0 and 1,
//   chunk number and block number); the whole .MB file in file-aligned 256-byte chunks. The
//   index files of an encrypted table are written the same way (blocks encrypted, the checksum
//   in the header: .PX/.Y at 0x25, .X as in a .DB) [unverified: no encrypted keyed sample].
// Block 1 is never on the free list while the table has records: when it empties, the next
//   block's records move into it. An empty table has first block 0.
// Beside a table, this engine's own files: the rollback journal "<table>.JNL" (PdxJournal.cpp)
//   while the table is open for writing (or a change it guards is unfinished), journals of other
//   tables set aside as "<table>.JNL.N", and scratch files "<table file>.tmp" and
//   "<table file>.runN" while a call or a batch runs.
#include "platform/paradox/PdxFormat.h"

#include <iconv.h>

#include <cmath>
#include <map>
#include <mutex>

namespace paradox::detail {

#include "PdxCryptTables.inc"

namespace {
[[noreturn]] void Corrupt(const std::string& file, const std::string& what) {
  throw EPdxCorrupt("Файл \""_ansi + Utf8ToAnsi(file, '?') + "\" повреждён: "_ansi + what);
}
}  // namespace

int FieldWidth(uint8_t type, uint8_t size) {
  switch (type) {
    case 0x02: case 0x04: case 0x14: case 0x16: return 4;
    case 0x03: return 2;
    case 0x05: case 0x06: case 0x15: return 8;
    case 0x09: return 1;
    case 0x17: return 17;
    case 0x01: case 0x0C: case 0x0D: case 0x0E: case 0x0F: case 0x10: case 0x18: case 0x0B:
      return size;
    default: return -1;
  }
}

THeader ParseHeader(const uint8_t* d, size_t size, const std::string& file) {
  if (size < kHdrFixedSizeV3) Corrupt(file, "заголовок обрезан"_ansi);
  THeader h;
  h.RecordSize = Get16(d + kHdrRecordSize);
  h.HeaderSize = Get16(d + kHdrHeaderSize);
  h.FileType = d[kHdrFileType];
  h.BlockSize = uint32_t(d[kHdrBlockSize]) * 1024;
  h.NumRecords = Get32(d + kHdrRecords);
  h.BlocksUsed = Get16(d + kHdrBlocksUsed);
  h.FileBlocks = Get16(d + kHdrFileBlocks);
  h.FirstBlock = Get16(d + kHdrFirstBlock);
  h.LastBlock = Get16(d + kHdrLastBlock);
  h.IndexFieldNumber = d[kHdrIndexField];
  h.RootBlock = Get16(d + kHdrRootBlock);
  h.Levels = d[kHdrLevels];
  h.NumFields = Get16(d + kHdrFieldCount);
  h.KeyFields = Get16(d + kHdrKeyFields);
  h.Encryption1 = Get32(d + kHdrEncryption1);
  h.SortOrder = d[kHdrSortOrder];
  h.Version = d[kHdrVersion];
  h.AutoInc = Get32(d + kHdrAutoInc);
  h.FirstFree = Get16(d + kHdrFirstFree);
  if (h.FileType > 8) Corrupt(file, "неизвестный тип файла "_ansi + std::to_string(h.FileType));
  if (h.BlockSize == 0 || h.BlockSize > 32768) Corrupt(file, "неверный код размера блока "_ansi + std::to_string(d[kHdrBlockSize]));
  if (h.HeaderSize < kHdrFixedSizeV3) Corrupt(file, "неверный размер заголовка "_ansi + std::to_string(h.HeaderSize));
  if (h.Version < 3 || h.Version > 12) Corrupt(file, "неизвестный номер версии "_ansi + std::to_string(h.Version));
  if (h.NumFields == 0 || h.NumFields > 255) Corrupt(file, "неверное число полей "_ansi + std::to_string(h.NumFields));
  if (h.RecordSize == 0 || h.RecordSize + 6u > h.BlockSize) Corrupt(file, "запись размером "_ansi + std::to_string(h.RecordSize) + " байт не помещается в блок"_ansi);
  if (h.KeyFields > h.NumFields) Corrupt(file, "ключевых полей больше, чем полей"_ansi);
  bool v4 = h.Version >= 5 && h.HasNames();
  if (v4) {
    if (size < kHdrFixedSize) Corrupt(file, "заголовок обрезан"_ansi);
    h.Encryption2 = Get32(d + kHdrEncryption2);
    h.CodePage = Get16(d + kHdrCodePage);
  }
  size_t end = std::min<size_t>(size, h.HeaderSize);
  size_t pos = v4 ? kHdrFixedSize : kHdrFixedSizeV3;
  auto need = [&](size_t n) {
    if (pos + n > end) Corrupt(file, "список полей выходит за конец заголовка"_ansi);
  };
  need(2u * h.NumFields);
  int width = 0;
  for (int i = 0; i < h.NumFields; ++i) {
    uint8_t t = d[pos + 2 * i], s = d[pos + 2 * i + 1];
    int w = FieldWidth(t, s);
    if (w < 0) Corrupt(file, "у поля "_ansi + std::to_string(i + 1) + " неизвестный тип "_ansi + std::to_string(t));
    if (w == 0 && t != 0x0D && t != 0x18) Corrupt(file, "у поля "_ansi + std::to_string(i + 1) + " нулевой размер"_ansi);
    if ((t >= 0x0C && t <= 0x10) && s < 10) Corrupt(file, "BLOB-поле "_ansi + std::to_string(i + 1) + " короче своей ссылки на значение"_ansi);
    if (t == 0x17 && s > 32) Corrupt(file, "у поля BCD "_ansi + std::to_string(i + 1) + " больше 32 знаков после запятой"_ansi);
    h.Types.push_back(t);
    h.Sizes.push_back(s);
    width += w;
  }
  if (!h.HasNames()) width += 6;  // PX/Y entries: the key, then block, count and a spare word
  if (width != h.RecordSize) Corrupt(file, "поля занимают "_ansi + std::to_string(width) + " байт, а размер записи "_ansi + std::to_string(h.RecordSize));
  pos += 2u * h.NumFields;
  need(4);
  pos += 4;
  if (!h.HasNames()) return h;
  need(4u * h.NumFields);
  pos += 4u * h.NumFields;
  size_t nameLen = h.Version >= 12 ? 261 : 79;
  need(nameLen);
  pos += nameLen;
  for (int i = 0; i < h.NumFields; ++i) {
    size_t start = pos;
    while (pos < end && d[pos] != 0) ++pos;
    if (pos >= end) Corrupt(file, "имя поля "_ansi + std::to_string(i + 1) + " выходит за конец заголовка"_ansi);
    h.Names.emplace_back(reinterpret_cast<const char*>(d + start), pos - start);
    ++pos;
  }
  // Field numbers and the sort order ID. Encrypted tables of some versions keep extra bytes
  // here; a missing or odd tail is tolerated (the language driver falls back to the code page).
  if (pos + 2u * h.NumFields <= end) {
    for (int i = 0; i < h.NumFields; ++i) h.FieldNumbers.push_back(Get16(d + pos + 2 * i));
    pos += 2u * h.NumFields;
    size_t start = pos;
    while (pos < end && d[pos] != 0) ++pos;
    if (pos < end) {
      h.SortOrderId.assign(reinterpret_cast<const char*>(d + start), pos - start);
      ++pos;
      start = pos;
      while (pos < end && d[pos] != 0) ++pos;
      if (pos < end) h.IndexName.assign(reinterpret_cast<const char*>(d + start), pos - start);
    }
  }
  for (char c : h.SortOrderId)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) { h.SortOrderId.clear(); break; }
  return h;
}

// --- encryption -----------------------------------------------------------------------------
// Each byte x of a chunk moves to position y = C[x] - d and is masked with three table bytes;
// decryption reverses the move.
void EncryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t out[256];
  for (int x = 0; x < 256; ++x) {
    uint8_t y = uint8_t(kTabC[x] - d);
    out[y] = chunk[x] ^ kTabA[uint8_t(x + a)] ^ kTabB[uint8_t(y + b)] ^ kTabC[uint8_t(y + c)];
  }
  std::memcpy(chunk, out, 256);
}

void DecryptChunk(uint8_t* chunk, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t out[256];
  for (int x = 0; x < 256; ++x) {
    uint8_t y = uint8_t(kTabC[x] - d);
    out[x] = chunk[y] ^ kTabA[uint8_t(x + a)] ^ kTabB[uint8_t(y + b)] ^ kTabC[uint8_t(y + c)];
  }
  std::memcpy(chunk, out, 256);
}

void DecryptDbBlock(uint8_t* block, uint32_t size, uint32_t checksum, uint32_t blockNo) {
  for (uint32_t i = 0; i + 256 <= size; i += 256)
    DecryptChunk(block + i, uint8_t(checksum), uint8_t(checksum >> 8), uint8_t(i >> 8), uint8_t(blockNo));
}
void EncryptDbBlock(uint8_t* block, uint32_t size, uint32_t checksum, uint32_t blockNo) {
  for (uint32_t i = 0; i + 256 <= size; i += 256)
    EncryptChunk(block + i, uint8_t(checksum), uint8_t(checksum >> 8), uint8_t(i >> 8), uint8_t(blockNo));
}
void DecryptMb(uint8_t* data, size_t size, uint32_t checksum) {
  uint8_t a = uint8_t(checksum), b = uint8_t(checksum >> 8);
  for (size_t i = 0; i + 256 <= size; i += 256) DecryptChunk(data + i, a, b, uint8_t(a + 1), uint8_t(b + 1));
}
void EncryptMb(uint8_t* data, size_t size, uint32_t checksum) {
  uint8_t a = uint8_t(checksum), b = uint8_t(checksum >> 8);
  for (size_t i = 0; i + 256 <= size; i += 256) EncryptChunk(data + i, a, b, uint8_t(a + 1), uint8_t(b + 1));
}

// The stored checksum: the low word comes from the password repeated over a chunk and
// encrypted with its own first bytes as the key; the high word from a chunk that starts with
// the password and continues with table A lookups, encrypted and folded by XOR.
uint32_t PasswordChecksum(const std::string& password) {
  if (password.empty()) return 0;
  const size_t len = std::min<size_t>(password.size(), 255);
  uint8_t buf[256];
  for (size_t i = 0; i < 256; ++i) buf[i] = uint8_t(password[i % len]);
  EncryptChunk(buf, buf[0], buf[1], buf[2], buf[3]);
  uint32_t low = uint32_t(buf[0]) | (uint32_t(buf[1]) << 8);
  for (size_t i = 0; i < len; ++i) buf[i] = uint8_t(password[i]);
  for (size_t i = len; i < 256; ++i) buf[i] = uint8_t(kTabA[buf[i - len]] ^ uint8_t(i));
  EncryptChunk(buf, buf[0], buf[20], buf[40], buf[255]);
  uint8_t even = 0, odd = 0;
  for (int i = 0; i < 256; i += 2) { even ^= buf[i]; odd ^= buf[i + 1]; }
  uint32_t high = (uint32_t(odd) << 8) | even;
  if (high == 0) high = 1;
  return (high << 16) | low;
}

// --- code pages -------------------------------------------------------------------------------
std::string TCodec::Decode(const char* p, size_t n) const {
  std::string s(p, n);
  if (!Identity)
    for (auto& c : s) c = char(ToAnsi[uint8_t(c)]);
  return s;
}
std::string TCodec::Encode(const std::string& s) const {
  if (Identity) return s;
  std::string r(s);
  for (auto& c : r) c = char(FromAnsi[uint8_t(c)]);
  return r;
}
size_t TCodec::FindUnencodable(const std::string& s) const {
  if (Identity) return std::string::npos;
  for (size_t i = 0; i < s.size(); ++i)
    if (!Encodable[uint8_t(s[i])]) return i;
  return std::string::npos;
}

namespace {
bool IsWindowsCodePage(uint16_t cp) {
  return cp == 874 || cp == 932 || cp == 936 || cp == 949 || cp == 950 || (cp >= 1250 && cp <= 1258);
}

// Builds the byte map of a DOS code page through the system's iconv: every byte to its Unicode
// character, then to the Windows-1251 byte ('?' when 1251 lacks it).
TCodec BuildCodec(const std::string& name) {
  TCodec c;
  c.Identity = false;
  c.Name = name;
  for (int i = 0; i < 256; ++i) {
    c.ToAnsi[i] = uint8_t(i < 128 ? i : '?');
    c.FromAnsi[i] = uint8_t(i < 128 ? i : '?');
    c.Encodable[i] = i < 128;
  }
  iconv_t cd = iconv_open("UTF-32LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) { c.Identity = true; c.Name.clear(); return c; }
  std::array<bool, 256> taken{};
  for (int i = 128; i < 256; ++i) {
    char in = char(i);
    uint32_t out = 0;
    char* ip = &in;
    char* op = reinterpret_cast<char*>(&out);
    size_t il = 1, ol = 4;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1) || ol != 0) continue;
    int ansi = ansi_detail::ByteOfCodePoint(char32_t(out));
    if (ansi < 0) continue;
    c.ToAnsi[i] = uint8_t(ansi);
    if (!taken[ansi]) { c.FromAnsi[ansi] = uint8_t(i); taken[ansi] = c.Encodable[ansi] = true; }
  }
  iconv_close(cd);
  return c;
}

constexpr uint16_t kRoman8 = 0xFFFE;  // HP Roman-8 (Borland's BLROM800 driver), no code page number

uint16_t CodePageOfSortOrder(const std::string& id) {
  std::string s = UpperCase(id);
  if (s.rfind("BLROM8", 0) == 0) return kRoman8;
  if (s == "CYRR" || s == "BGPD866") return 866;
  if (s.find("850") != std::string::npos && s.rfind("ANSI", 0) != 0) return 850;
  return 437;
}
}  // namespace

const TCodec& CodecFor(uint16_t codePage, const std::string& sortOrderId, int version) {
  static std::mutex mu;
  static std::map<uint16_t, TCodec> cache;
  static const TCodec identity;
  // A Windows (ANSI) language driver passes bytes through whatever code page the header names
  // (real files are mislabelled); so does a header naming a Windows code page.
  std::string id = UpperCase(sortOrderId);
  if (id.rfind("AN", 0) == 0 || id.rfind("DBWIN", 0) == 0 || id.rfind("WIN", 0) == 0 ||
      id.find("125") != std::string::npos)
    return identity;
  uint16_t cp = codePage;
  if (version < 5 || cp == 0) cp = CodePageOfSortOrder(sortOrderId);
  if (id.rfind("BLROM8", 0) == 0) cp = kRoman8;
  if (IsWindowsCodePage(cp)) return identity;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(cp);
  if (it == cache.end()) it = cache.emplace(cp, BuildCodec(cp == kRoman8 ? std::string("HP-ROMAN8") : "CP" + std::to_string(cp))).first;
  return it->second;
}

// --- numbers ----------------------------------------------------------------------------------
int16_t GetShort(const uint8_t* p) { return int16_t(uint16_t(((p[0] ^ 0x80) << 8) | p[1])); }
int32_t GetLong(const uint8_t* p) {
  return int32_t((uint32_t(p[0] ^ 0x80) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]);
}
void PutShort(uint8_t* p, int16_t v) { uint16_t u = uint16_t(v); p[0] = uint8_t((u >> 8) ^ 0x80); p[1] = uint8_t(u); }
void PutLong(uint8_t* p, int32_t v) {
  uint32_t u = uint32_t(v);
  p[0] = uint8_t((u >> 24) ^ 0x80); p[1] = uint8_t(u >> 16); p[2] = uint8_t(u >> 8); p[3] = uint8_t(u);
}
double GetDouble(const uint8_t* p) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = (u << 8) | p[i];
  if (u & 0x8000000000000000ull) u &= 0x7FFFFFFFFFFFFFFFull; else u = ~u;
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}
void PutDouble(uint8_t* p, double v) {
  if (v == 0) v = 0.0;  // -0 stores as +0
  uint64_t u;
  std::memcpy(&u, &v, 8);
  if (u & 0x8000000000000000ull) u = ~u; else u |= 0x8000000000000000ull;
  for (int i = 7; i >= 0; --i) { p[i] = uint8_t(u); u >>= 8; }
}

bool GetBcd(const uint8_t* p, int decimals, double& value, int64_t& scaled4, bool& exact4) {
  bool negative = (p[0] & 0x80) == 0;
  uint8_t digits[32];
  for (int i = 0; i < 16; ++i) {
    uint8_t b = negative ? uint8_t(~p[1 + i]) : p[1 + i];
    digits[2 * i] = b >> 4;
    digits[2 * i + 1] = b & 15;
  }
  int intDigits = 32 - decimals;
  long double v = 0;
  int64_t scaled = 0;
  exact4 = decimals <= 4;
  bool stop = false;
  long double scale = 1;
  for (int i = 0; i < 32; ++i) {
    uint8_t dg = digits[i];
    if (dg > 9) { stop = true; if (i < intDigits) return false; }
    if (stop) continue;
    if (i < intDigits) v = v * 10 + dg;
    else { scale /= 10; v += dg * scale; }
    if (exact4) {
      if (scaled > INT64_MAX / 10 - 10) exact4 = false; else scaled = scaled * 10 + dg;
    }
  }
  if (exact4) for (int i = decimals; i < 4; ++i) {
    if (scaled > INT64_MAX / 10) { exact4 = false; break; }
    scaled *= 10;
  }
  value = double(negative ? -v : v);
  scaled4 = negative ? -scaled : scaled;
  return true;
}

void PutBcd(uint8_t* p, int decimals, const Variant& v) {
  uint8_t digits[32] = {};
  bool negative = false;
  if (v.VarType() == varCurrency || v.IsInteger()) {
    // Exact: currency's scaled value, or a whole number scaled by 10 000.
    int64_t s = v.VarType() == varCurrency ? v.RawInt() : 0;
    if (v.IsInteger()) {
      int64_t x = v.ToInt64();
      if (x > INT64_MAX / 10000 || x < -(INT64_MAX / 10000)) throw EPdxValue("значение не помещается в поле BCD"_ansi);
      s = x * 10000;
    }
    negative = s < 0;
    uint64_t u = negative ? uint64_t(0) - uint64_t(s) : uint64_t(s);
    // u has 4 decimals; shift to `decimals`.
    std::string txt = std::to_string(u);
    while (txt.size() < 5) txt.insert(txt.begin(), '0');
    std::string ip = txt.substr(0, txt.size() - 4), fp = txt.substr(txt.size() - 4);
    fp.resize(decimals, '0');
    if (ip.size() > size_t(32 - decimals)) throw EPdxValue("значение не помещается в поле BCD"_ansi);
    for (size_t i = 0; i < ip.size(); ++i) digits[32 - decimals - ip.size() + i] = uint8_t(ip[i] - '0');
    for (int i = 0; i < decimals; ++i) digits[32 - decimals + i] = uint8_t(fp[i] - '0');
  } else {
    double d = v.ToDouble();
    if (!std::isfinite(d)) throw EPdxValue("значение для поля BCD не является конечным числом"_ansi);
    negative = d < 0;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(d));
    std::string txt = buf;
    size_t dot = txt.find('.');
    std::string ip = dot == std::string::npos ? txt : txt.substr(0, dot);
    std::string fp = dot == std::string::npos ? "" : txt.substr(dot + 1);
    if (ip == "0") ip.clear();
    if (ip.size() > size_t(32 - decimals)) throw EPdxValue("значение не помещается в поле BCD"_ansi);
    for (size_t i = 0; i < ip.size(); ++i) digits[32 - decimals - ip.size() + i] = uint8_t(ip[i] - '0');
    for (int i = 0; i < decimals && i < int(fp.size()); ++i) digits[32 - decimals + i] = uint8_t(fp[i] - '0');
  }
  bool zero = true;
  for (auto dg : digits) if (dg) zero = false;
  if (zero) negative = false;
  p[0] = uint8_t((negative ? 0 : 0x80) | 0x40 | decimals);
  for (int i = 0; i < 16; ++i) {
    uint8_t b = uint8_t((digits[2 * i] << 4) | digits[2 * i + 1]);
    p[1 + i] = negative ? uint8_t(~b) : b;
  }
}

}  // namespace paradox::detail
