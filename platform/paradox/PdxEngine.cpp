// The Paradox engine: the table state shared per file within the process (loading a table, its
// blocks and blobs), cursors, the table operations, flushing and table creation. The batch's keyed
// records are in PdxBatch.cpp, the indexes in PdxIndex.cpp, the files in PdxFiles.cpp; the layout
// is described in PdxFormat.cpp.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox {

using namespace detail;

// --- small helpers ------------------------------------------------------------------------------
namespace {
struct TPdxTypeText { TPdxFieldType Type; const char* Code; const char* Name; };
constexpr TPdxTypeText kTypeTexts[] = {
    {TPdxFieldType::Alpha, "A", "Alpha"},         {TPdxFieldType::Date, "D", "Date"},
    {TPdxFieldType::Short, "S", "Short"},         {TPdxFieldType::Long, "I", "Long"},
    {TPdxFieldType::Currency, "$", "Currency"},   {TPdxFieldType::Number, "N", "Number"},
    {TPdxFieldType::Logical, "L", "Logical"},     {TPdxFieldType::Memo, "M", "Memo"},
    {TPdxFieldType::Blob, "B", "Blob"},           {TPdxFieldType::FmtMemo, "F", "Formatted memo"},
    {TPdxFieldType::OLE, "O", "OLE"},             {TPdxFieldType::Graphic, "G", "Graphic"},
    {TPdxFieldType::Time, "T", "Time"},           {TPdxFieldType::Timestamp, "@", "Timestamp"},
    {TPdxFieldType::Autoinc, "+", "Autoinc"},     {TPdxFieldType::BCD, "#", "BCD"},
    {TPdxFieldType::Bytes, "Y", "Bytes"},         {TPdxFieldType::Int64, "N", "Int64"},
};
const TPdxTypeText* TypeText(TPdxFieldType t) {
  for (const auto& e : kTypeTexts)
    if (e.Type == t) return &e;
  return nullptr;
}
}  // namespace

const char* FieldTypeCode(TPdxFieldType t) {
  const TPdxTypeText* e = TypeText(t);
  return e ? e->Code : "?";
}
const char* FieldTypeName(TPdxFieldType t) {
  const TPdxTypeText* e = TypeText(t);
  return e ? e->Name : "?";
}
bool IsBlobType(TPdxFieldType t) {
  return t == TPdxFieldType::Memo || t == TPdxFieldType::Blob || t == TPdxFieldType::FmtMemo ||
         t == TPdxFieldType::OLE || t == TPdxFieldType::Graphic;
}

int TPdxTableDef::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < Fields.size(); ++i)
    if (AnsiSameText(Fields[i].Name, name)) return int(i);
  return -1;
}

std::vector<TPdxIndexDef> TPdxTableDef::AllIndexes() const {
  std::vector<TPdxIndexDef> out;
  if (KeyFieldCount > 0) {
    TPdxIndexDef pk;
    pk.Primary = pk.Unique = true;
    for (int i = 0; i < KeyFieldCount; ++i) pk.Fields.push_back(i);
    out.push_back(pk);
  }
  out.insert(out.end(), Indexes.begin(), Indexes.end());
  return out;
}

uint32_t TPdxDatabase::PasswordChecksum(const std::string& password) {
  return detail::PasswordChecksum(password);
}

namespace {
std::mutex gRegistryMu;
std::map<std::string, std::weak_ptr<TPdxTableState>> gRegistry;
}  // namespace

TPdxFieldDef detail::FieldFromHeader(uint8_t t, uint8_t s, const std::string& name) {
  TPdxFieldDef f;
  f.Name = name;
  f.Type = static_cast<TPdxFieldType>(t);
  if (t == 0x01 || t == 0x18) f.Size = s;
  else if (IsBlobCode(t)) f.Size = s - 10;
  else if (t == 0x17) f.Size = s;
  return f;
}

// .VAL (validity checks). Only the required flags are used. The layout follows what is known
// of the BDE's file (version IDs 9..12):
//   header, 0x35 bytes: u8 table change count, u8 version ID, u8 check count, 4 bytes (RAM
//     pointer), u8 0, u32 footer offset, u32 referential-integrity offset (0), zeros;
//   one 0x1D-byte entry per checked field from 0x35: u8 field index (0-based), u8 picture size,
//     u8 lookup order, u8 lookup flags, u32 lookup pointer, 4 bytes, u32 x 4 presence markers of
//     minimum, maximum, default and picture (their values follow the entry), u8;
//   footer: u16 field count, 4 bytes, field count x u16 field numbers, field count x (type,
//     size), the table name (0x4F bytes), the field names (NUL-terminated).
// Where the BDE keeps "required" is not known from the samples (none has a .VAL): this engine
// writes and reads it as entry byte 8 [unverified]; other checks are skipped over.
namespace {
constexpr size_t kValChangeCount = 0x00, kValVersion = 0x01, kValChecks = 0x02, kValFooter = 0x09;
constexpr size_t kValHeaderSize = 0x35, kValEntrySize = 0x1D, kValNameSize = 0x4F;
constexpr size_t kValField = 0x00, kValPictureSize = 0x01, kValLookup = 0x04, kValRequired = 0x08;
constexpr size_t kValPresent = 0x0C;  // u32 x 4: minimum, maximum, default, picture
}  // namespace

// Takes the required flags of the table's fields from its .VAL. A table without one has none;
// a .VAL that cannot be read, or whose checks run past it or name a field the table lacks, raises
// EPdxError naming the file, so that no check is dropped in silence.
static void ReadVal(TPdxEnv& env, const std::string& folder, const std::string& base, TPdxTableDef& def) {
  std::string p = FindFile(folder, base, "VAL");
  if (p.empty()) return;
  TFile f;
  f.Open(env, p, false);
  std::vector<uint8_t> v(std::min<uint64_t>(f.Size(), 1 << 20));
  v.resize(f.ReadAt(0, v.data(), v.size()));
  auto damaged = [&](const std::string& what) { return EPdxCorrupt("Файл "_ansi + QuotePath(p) + " повреждён: "_ansi + what); };
  if (v.size() < kValHeaderSize) throw damaged("файл короче своего заголовка"_ansi);
  // The checks of earlier versions are laid out otherwise and not read: such a table reads as
  // before, without them.
  if (v[kValVersion] < 9) return;
  size_t count = v[kValChecks];
  size_t footer = Get32(&v[kValFooter]);
  size_t pos = kValHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    if (pos + kValEntrySize > v.size() || pos + kValEntrySize > footer)
      throw damaged("проверка "_ansi + std::to_string(i + 1) + " выходит за конец файла"_ansi);
    const uint8_t* e = &v[pos];
    size_t fi = e[kValField];
    if (fi >= def.Fields.size()) throw damaged("проверка относится к полю "_ansi + std::to_string(fi + 1) + ", которого в таблице нет"_ansi);
    if (e[kValRequired] == 1) def.Fields[fi].Required = true;
    int w = 0;
    switch (def.Fields[fi].Type) {
      case TPdxFieldType::Alpha: case TPdxFieldType::Bytes: w = def.Fields[fi].Size; break;
      case TPdxFieldType::Short: w = 2; break;
      case TPdxFieldType::Logical: w = 1; break;
      case TPdxFieldType::BCD: w = 17; break;
      case TPdxFieldType::Date: case TPdxFieldType::Long: case TPdxFieldType::Time: case TPdxFieldType::Autoinc: w = 4; break;
      default: w = 8; break;
    }
    size_t len = kValEntrySize;
    if (Get32(e + kValLookup)) len += 0x1A + 0x36;
    for (int k = 0; k < 3; ++k) if (Get32(e + kValPresent + 4 * k)) len += size_t(w);
    if (Get32(e + kValPresent + 12)) len += e[kValPictureSize];
    pos += len;
  }
}

static std::vector<uint8_t> BuildVal(const TPdxTableDef& def, const std::vector<uint8_t>& types,
                                     const std::vector<uint8_t>& sizes, const std::string& tableName) {
  std::vector<uint8_t> v(kValHeaderSize, 0);
  v[kValChangeCount] = 1;  // the .DB header's change count
  v[kValVersion] = 12;
  for (size_t i = 0; i < def.Fields.size(); ++i) {
    if (!def.Fields[i].Required) continue;
    std::vector<uint8_t> e(kValEntrySize, 0);
    e[kValField] = uint8_t(i);
    e[kValRequired] = 1;
    v.insert(v.end(), e.begin(), e.end());
    ++v[kValChecks];
  }
  Put32(&v[kValFooter], uint32_t(v.size()));
  size_t at = v.size();
  v.resize(at + 6 + 4 * def.Fields.size() + kValNameSize, 0);
  Put16(&v[at], uint32_t(def.Fields.size()));
  at += 6;
  for (size_t i = 0; i < def.Fields.size(); ++i, at += 2) Put16(&v[at], uint32_t(i + 1));
  for (size_t i = 0; i < def.Fields.size(); ++i) { v[at++] = types[i]; v[at++] = sizes[i]; }
  std::memcpy(&v[at], tableName.data(), std::min<size_t>(tableName.size(), kValNameSize - 1));
  for (auto& f : def.Fields) { v.insert(v.end(), f.Name.begin(), f.Name.end()); v.push_back(0); }
  return v;
}

void TPdxTableState::Load(const std::string& folder, const std::string& base, const std::string& path, bool reader) {
  Folder = folder;
  Base = base;
  DbPath = path;
  Name = Utf8ToAnsi(base, '?');
  Db.Open(*Env, path, false);
  ReadOutside(reader);
}

// Reads the table from its files, through a journal that a dead writer left; a `reader` waits
// while a live writer finishes its change.
void TPdxTableState::ReadFiles(bool reader) {
  ++Changes;
  Scratch.clear();
  Overlay.clear();
  OverlaySize = 0;
  std::vector<fs::path> files = FamilyFiles(Folder, Base, &Scratch);
  std::sort(files.begin(), files.end());
  if (!Writer) {
    JournalNote.clear();
    for (const auto& p : files)
      if (UpperCase(p.extension().string()) == "." + std::string(kJournalExt)) LookAtJournal(p.string(), reader);
    // What a reader saw of the journal, before it reads the header (PdxReaderView.cpp).
    Start = {};
    if (reader) WaitForWriter(JournalPath(), &Start.Journal);
    else Start.Journal = LookAtJournalFile(JournalPath());
    Start.Overlay = OverlaySize != 0;
  }
  HeaderBytes.resize(65536);
  HeaderBytes.resize(Db.ReadAt(0, HeaderBytes.data(), HeaderBytes.size()));
  // The size is taken after the header: the blocks a header tells of went to the file before it.
  uint64_t size = Db.Size();
  if (!Writer) {
    Start.Header.assign(HeaderBytes.begin(), HeaderBytes.begin() + std::min<size_t>(HeaderBytes.size(), kHdrFixedSize));
    if (Start.Header.size() > kHdrIndexesOutOfDate) Start.Header[kHdrIndexesOutOfDate] = 0;
  }
  if (OverlaySize) size = std::min(size, OverlaySize);
  if (HeaderBytes.size() > size) HeaderBytes.resize(size_t(size));
  if (auto o = Overlay.find(0); o != Overlay.end())
    std::memcpy(HeaderBytes.data(), o->second.data(), std::min(o->second.size(), HeaderBytes.size()));
  try {
    H = ParseHeader(HeaderBytes.data(), HeaderBytes.size(), DbPath);
  } catch (const EPdxCorrupt& e) {
    if (JournalNote.empty()) throw;
    throw EPdxCorrupt(e.Message() + JournalNote);
  }
  OutOfDateSynced = Db.Syncs() + 1;
  if (H.FileType != 0 && H.FileType != 2)
    Corrupt("тип файла "_ansi + std::to_string(H.FileType) + " не является таблицей"_ansi);
  if (H.HeaderSize > size) Corrupt("файл короче своего заголовка"_ansi);
  HeaderBytes.resize(std::max<size_t>(H.HeaderSize, kHdrFixedSize));
  FileBlocksOnDisk = (size - H.HeaderSize) / H.BlockSize;
  Codec = &CodecFor(H.CodePage, H.SortOrderId, H.Version);
  Checksum = H.Checksum();
  Encrypted = H.Encrypted();
  Mark = TJournal::TableMark(H);
  Def = TPdxTableDef{};
  Offsets.clear();
  Widths.clear();
  int off = 0;
  for (int i = 0; i < H.NumFields; ++i) {
    std::string nm = i < int(H.Names.size()) ? Codec->Decode(H.Names[i].data(), H.Names[i].size()) : "";
    Def.Fields.push_back(FieldFromHeader(H.Types[i], H.Sizes[i], nm));
    Offsets.push_back(off);
    Widths.push_back(FieldWidth(H.Types[i], H.Sizes[i]));
    off += Widths.back();
  }
  Def.KeyFieldCount = H.FileType == 0 ? H.KeyFields : 0;
  if (H.FileType == 0 && H.KeyFields == 0) Corrupt("у таблицы с ключом нет ключевых полей"_ansi);
  KeyLen = Def.KeyFieldCount ? Offsets[Def.KeyFieldCount - 1] + Widths[Def.KeyFieldCount - 1] : 0;
  PerBlock = int((H.BlockSize - kBlockData) / H.RecordSize);
  Waiting.Bind(H.RecordSize, size_t(KeyLen));
  Def.BlockSize = int(H.BlockSize);
  Def.VersionId = H.Version;
  Def.CodePage = H.Version >= 5 ? H.CodePage : 0;
  Def.SortOrderId = H.SortOrderId;
  Def.Encrypted = Encrypted;
  Def.RecordCount = H.NumRecords;
  MbWriter.Bind(Encrypted ? Checksum : 0, TableText());
  ReadVal(*Env, Folder, Base, Def);
  std::string px = FindFile(Folder, Base, "PX");
  TreePath = px.empty() ? (fs::path(Folder) / (Base + ".PX")).string() : px;
  TreeName = Base + ".PX";
  TreeFileType = 1;
  // Secondary indexes.
  for (auto& p : files) {
    std::string ext = UpperCase(p.extension().string());
    if (ext.size() == 4 && ext[1] == 'X') ParseIndexFile(*Env, p.string(), H, Def, *Codec, Def.Indexes);
  }
  // A process that died between a block's link to new blocks and the header (in a version of
  // this engine that wrote appended blocks without a journal) left the header behind the chain;
  // readers see what the chain holds (a writer writes the header).
  if (!ChainEndsAtLastBlock()) AgreeWithChain();
}

// A journal beside the table guards a change not yet whole. While its writer lives (it holds the
// lock) a change is being written whenever the journal's first byte is not zero, whatever the rest
// reads as at that moment: a reader waits for it (one that is to write goes on: the lock decides
// whether it may). A writer that died left the change half written: the table is read as it stood
// before, the journal's old bytes over the file, when the journal is this table's own change (else
// the file as it is, an error that it is damaged naming the journal; the next writer sets the
// journal aside). Nothing is written.
void TPdxTableState::LookAtJournal(const std::string& path, bool reader) {
  if (reader ? WaitForWriter(path) : Db.Lock(TPdxFile::lkProbe) == EAGAIN) return;
  TJournal::TImage image = TJournal::Judge(*Env, path, Db);
  if (image.Kind != TJournal::TImage::jChange) {
    if (image.Kind != TJournal::TImage::jNone) JournalNote = "; рядом лежит не применённый к таблице журнал "_ansi + QuotePath(path);
    return;
  }
  Overlay = TJournal::Before(image);
  OverlaySize = image.DbBefore;
}

void TPdxTableState::OpenMb(bool write) {
  if (Mb.IsOpen() && (!write || Mb.Writable())) return;
  std::string p = FindFile(Folder, Base, "MB");
  const bool made = p.empty();
  if (made) {
    if (!write) throw EPdxCorrupt(TableText() + " содержит BLOB-поля, но их файл "_ansi + QuotePath(Base + ".MB") + " не найден"_ansi);
    p = (fs::path(Folder) / (Base + ".MB")).string();
    Mb.Create(*Env, p);
  } else {
    Mb.Open(*Env, p, write);
  }
  // A new .MB gets its header, and so does one that a power cut left without it (it is made with
  // its table without a sync: no record points into it before a change syncs it).
  if (write && Mb.Size() < kMbUnit) {
    std::vector<uint8_t> hdr(kMbUnit, 0);
    hdr[kMbType] = 0; Put16(&hdr[kMbUnits], 1);
    // Constants as the BDE writes them: 03 u16 1, 0B u16 base size 0x1000, 0D u16 suballocated
    // block size 0x1000, 10 u8 chunk 16, 11 u16 64 slots, 13 u16 threshold 0x800.
    Put16(&hdr[3], 1);
    const uint8_t k[] = {0x82, 0x73, 0x02, 0x00, 0x29};
    std::memcpy(&hdr[5], k, sizeof k);
    Put16(&hdr[0x0B], 0x1000);
    Put16(&hdr[0x0D], 0x1000);
    hdr[0x10] = 0x10;
    Put16(&hdr[0x11], 0x40);
    Put16(&hdr[0x13], 0x800);
    hdr[0x29] = 0xA1; hdr[0x2A] = 0x02;
    if (Encrypted) EncryptMb(hdr.data(), hdr.size(), Checksum);
    Mb.WriteAt(0, hdr.data(), hdr.size());
  }
  // A name made for a table that exists is durable before a record points into it (a table being
  // made syncs its folder once it is whole).
  if (made && !Creating) SyncFolder(*Env, Folder);
  if (write) Journal.NoteMbSize(Mb.Size());
}

void TPdxTableState::ReadBlock(uint32_t n, uint8_t* out) {
  auto it = Dirty.find(n);
  if (it != Dirty.end()) { std::memcpy(out, it->second.data(), H.BlockSize); return; }
  auto ci = Clean.find(n);
  if (ci != Clean.end()) { std::memcpy(out, ci->second.data(), H.BlockSize); return; }
  if (n == 0 || n > FileBlocksOnDisk) Corrupt("блок "_ansi + std::to_string(n) + " лежит за концом файла"_ansi);
  const uint64_t at = H.HeaderSize + uint64_t(n - 1) * H.BlockSize;
  if (auto o = Overlay.find(at); o != Overlay.end() && o->second.size() == H.BlockSize) {
    std::memcpy(out, o->second.data(), H.BlockSize);
  } else if (Db.ReadAt(at, out, H.BlockSize) != H.BlockSize) {
    Corrupt("блок "_ansi + std::to_string(n) + " обрезан"_ansi);
  }
  if (Encrypted) DecryptDbBlock(out, H.BlockSize, Checksum, n);
}

int TPdxTableState::CountIn(const uint8_t* block, uint32_t n) const {
  int16_t last = int16_t(Get16(block + kBlockLast));
  if (last < 0) return 0;
  if (last % H.RecordSize != 0 || last / H.RecordSize + 1 > PerBlock)
    Corrupt("в блоке "_ansi + std::to_string(n) + " указано больше записей, чем в нём помещается"_ansi);
  return last / H.RecordSize + 1;
}

std::string TPdxTableState::ReadBlob(const uint8_t* p, int i) {
  int leader = H.Sizes[i] - 10;
  const uint8_t* ptr = p + leader;
  uint32_t off = Get32(ptr), len = Get32(ptr + 4);
  uint8_t t = H.Types[i];
  bool prefixed = t == 0x0F || t == 0x10;
  if (off == 0) {
    if (len > uint32_t(leader)) Corrupt("поле "_ansi + Quote(Def.Fields[i].Name) + " указывает "_ansi + std::to_string(len) + " байт значения при "_ansi + std::to_string(leader) + " байтах в записи"_ansi);
    return std::string(reinterpret_cast<const char*>(p), len);
  }
  OpenMb(false);
  uint8_t index = uint8_t(off & 0xFF);
  uint64_t base = off & ~0xFFu;
  uint64_t mbSize = Mb.Size();
  auto damaged = [&](const std::string& what) {
    return EPdxCorrupt("Файл "_ansi + QuotePath(Mb.Path()) + " повреждён: "_ansi + what);
  };
  auto readRange = [&](uint64_t from, uint64_t n) {
    if (from + n > mbSize) throw damaged("значение BLOB-поля выходит за конец файла"_ansi);
    if (!Encrypted) {
      std::string s(n, '\0');
      if (Mb.ReadAt(from, s.data(), n) != n) throw damaged("файл обрезан"_ansi);
      return s;
    }
    uint64_t a = from & ~uint64_t(255), e = (from + n + 255) & ~uint64_t(255);
    std::vector<uint8_t> buf(e - a, 0);
    Mb.ReadAt(a, buf.data(), buf.size());
    DecryptMb(buf.data(), buf.size(), Checksum);
    return std::string(reinterpret_cast<const char*>(buf.data() + (from - a)), n);
  };
  std::string data;
  if (index == kMbWholeBlock) {
    std::string h = readRange(base, kMbData);
    const uint8_t* hb = reinterpret_cast<const uint8_t*>(h.data());
    if (hb[kMbType] != kMbValueBlock) throw damaged("блок по смещению "_ansi + std::to_string(base) + " не является блоком значения"_ansi);
    uint32_t blen = Get32(hb + kMbLength);
    if (blen != len && len != 0) blen = std::min(blen, len);
    if (uint64_t(blen) + kMbData > uint64_t(Get16(hb + kMbUnits)) * kMbUnit && Get16(hb + kMbUnits) != 0)
      throw damaged("значение BLOB-поля длиннее своего блока"_ansi);
    data = readRange(base + kMbData, blen);
  } else {
    if (index >= kMbSlotCount) throw damaged("неверный номер ячейки "_ansi + std::to_string(index));
    std::string h = readRange(base, kMbSlots + kMbSlotCount * kMbSlotSize);
    const uint8_t* hb = reinterpret_cast<const uint8_t*>(h.data());
    if (hb[kMbType] != kMbSmallBlock) throw damaged("блок по смещению "_ansi + std::to_string(base) + " не является блоком малых значений"_ansi);
    const uint8_t* s = hb + kMbSlots + kMbSlotSize * index;
    if (s[kMbSlotLast] == 0 || s[kMbSlotLast] > 16 || s[kMbSlotChunks] == 0) throw damaged("ячейка значения пуста"_ansi);
    uint32_t blen = uint32_t(s[kMbSlotChunks] - 1) * 16 + s[kMbSlotLast];
    uint32_t start = uint32_t(s[kMbSlotStart]) * 16;
    if (start + blen > kMbUnit) throw damaged("значение выходит за границу своего блока"_ansi);
    data = readRange(base + start, blen);
  }
  if (prefixed && data.size() >= 8) data.erase(0, 8);
  return data;
}

Variant TPdxTableState::Decode(const uint8_t* rec, int i) {
  const uint8_t* p = rec + Offsets[i];
  int w = Widths[i];
  uint8_t t = H.Types[i];
  if (AllZero(p, w)) return Variant::Null();
  switch (t) {
    case 0x01: {
      size_t n = 0;
      while (n < size_t(w) && p[n]) ++n;
      return Variant(Codec->Decode(reinterpret_cast<const char*>(p), n));
    }
    case 0x02: return Variant::FromDateTime(double(GetLong(p)) - kDateOffset);
    case 0x03: return Variant(GetShort(p));
    case 0x04: case 0x16: return Variant(GetLong(p));
    case 0x05: case 0x06: return Variant(GetDouble(p));
    case 0x09: return Variant(p[0] != 0x80);
    case 0x14: return Variant::FromDateTime(double(uint32_t(GetLong(p))) / kMsPerDay);
    case 0x15: {
      double ms = GetDouble(p);
      double days = std::floor(ms / kMsPerDay);
      return Variant::FromDateTime(days - kDateOffset + (ms - days * kMsPerDay) / kMsPerDay);
    }
    case 0x17: {
      double v; int64_t sc; bool exact;
      if (!GetBcd(p, H.Sizes[i], v, sc, exact)) Corrupt("поле "_ansi + Quote(Def.Fields[i].Name) + " содержит неверное значение BCD"_ansi);
      return exact ? Variant::FromCurrencyScaled(sc) : Variant(v);
    }
    case 0x18: return Variant(std::string(reinterpret_cast<const char*>(p), w));
    case 0x0C: { std::string s = ReadBlob(rec + Offsets[i], i); if (s.empty()) return Variant::Null(); return Variant(Codec->Decode(s.data(), s.size())); }
    case 0x0D: case 0x0E: case 0x0F: case 0x10: { std::string s = ReadBlob(rec + Offsets[i], i); if (s.empty()) return Variant::Null(); return Variant(std::move(s)); }
    default: return Variant::Null();
  }
}

namespace {

// Runs a call on the table. When a failed write made the table take back what a batch (or the
// appends held outside one) had done since its last write, the error says how many records the
// table holds, and how many of those it had accepted are lost.
template <class TFn> decltype(auto) Told(TPdxTableState& s, TFn&& fn) {
  const bool batch = s.Batch > 0 || !s.Dirty.empty();
  const int64_t held = int64_t(s.H.NumRecords) + int64_t(s.Waiting.Count());
  const uint64_t reloads = s.Reloads;
  try {
    return fn();
  } catch (Exception& e) {
    if (batch && s.Reloads != reloads && s.CountKnown) {
      const int64_t stored = int64_t(s.H.NumRecords) + int64_t(s.Waiting.Count());
      std::string told = e.Message() + "; в таблице записей: "_ansi + std::to_string(stored);
      if (held > stored) told += ", из принятых записей не записано: "_ansi + std::to_string(held - stored);
      e.SetMessage(told);
    }
    throw;
  }
}

}  // namespace

// --- cursor ---------------------------------------------------------------------------------------
TPdxCursor::TPdxCursor(std::shared_ptr<TPdxTableState> state) : FState(std::move(state)) {
  Told(*FState, [&] { FState->MergePending(); });
  FBlock.resize(FState->H.BlockSize);
  FNextBlock = FState->H.NumRecords == 0 && FState->H.FirstBlock == 0 ? 0 : FState->H.FirstBlock;
  FValues.resize(FState->Def.Fields.size());
  FChanges = FState->Changes;
  // Another program may write the table during the walk (none may while this process writes it).
  if (!FState->Writer) FStart = std::make_unique<TReadStart>(FState->Start);
}
TPdxCursor::~TPdxCursor() = default;
const TPdxTableDef& TPdxCursor::Def() const { return FState->Def; }

bool TPdxCursor::Next() {
  FDecoded = false;
  if (FSlot + 1 < FCountInBlock) { ++FSlot; FPos.Slot = uint32_t(FSlot); return true; }
  // A block that does not fit may be another program's change rather than damage.
  try {
    return NextBlock();
  } catch (const EPdxCorrupt&) {
    CheckAlone();
    throw;
  }
}

bool TPdxCursor::NextBlock() {
  Told(*FState, [&] { FState->MergePending(); });
  while (FNextBlock != 0) {
    uint32_t n = FNextBlock;
    if (++FVisited > FState->FileBlocksOnDisk + FState->Dirty.size() + 1) FState->Corrupt("цепочка блоков зациклена"_ansi);
    FState->ReadBlock(n, FBlock.data());
    FState->CheckLink(n, FBlock.data(), FPos.Block);
    FNextBlock = Get16(FBlock.data());
    FCountInBlock = FState->CountIn(FBlock.data(), n);
    FSeen += uint32_t(FCountInBlock);
    // The chain's end agrees with the header, unless the table changed under the cursor (its
    // own process writing meanwhile): a block that ends it too soon was damaged.
    if (FNextBlock == 0 && FChanges == FState->Changes && (FSeen != FState->H.NumRecords || n != FState->H.LastBlock))
      FState->ShortChain(n, FSeen);
    FPos.Block = n;
    if (FCountInBlock > 0) { FSlot = 0; FPos.Slot = 0; return true; }
  }
  FSlot = FCountInBlock = 0;
  // A header that counts records with no block to hold them.
  if (FVisited == 0 && FChanges == FState->Changes && FState->H.NumRecords != 0) FState->ShortChain(0, 0);
  if (!FEnded) CheckAlone();
  FEnded = true;
  return false;
}

void TPdxCursor::CheckAlone() {
  if (FStart && FState->ChangedOutside(*FStart)) FState->ChangedWhileRead();
}

const uint8_t* TPdxCursor::RawRecord() const { return FBlock.data() + kBlockData + size_t(FSlot) * FState->H.RecordSize; }

const std::vector<Variant>& TPdxCursor::Values() {
  if (!FDecoded) {
    try {
      for (size_t i = 0; i < FValues.size(); ++i) FValues[i] = FState->Decode(RawRecord(), int(i));
    } catch (const EPdxCorrupt&) {
      CheckAlone();  // a value's block that another program freed and wrote over
      throw;
    }
    FDecoded = true;
  }
  return FValues;
}
Variant TPdxCursor::Value(int field) {
  if (field < 0 || field >= int(FValues.size())) throw EPdxError(FState->TableText() + ": нет поля с номером "_ansi + std::to_string(field));
  if (FDecoded) return FValues[field];
  try {
    return FState->Decode(RawRecord(), field);
  } catch (const EPdxCorrupt&) {
    CheckAlone();
    throw;
  }
}

// --- database -------------------------------------------------------------------------------------
TPdxDatabase::TPdxDatabase(std::string folder, std::vector<std::string> passwords, TPdxEnv* env)
    : FFolder(std::move(folder)), FPasswords(std::move(passwords)), FEnv(env ? env : &ProcessEnv()) {}

static std::string FsName(const std::string& ansi) { return AnsiToUtf8(ansi); }

EPdxNotFound TPdxDatabase::NotFound(const std::string& name) const {
  return EPdxNotFound("Таблица "_ansi + Quote(name) + " не найдена в папке "_ansi + QuotePath(FFolder));
}

EPdxExists TPdxDatabase::Exists(const std::string& name) const {
  return EPdxExists("Таблица "_ansi + Quote(name) + " уже есть в папке "_ansi + QuotePath(FFolder));
}

std::vector<std::string> TPdxDatabase::TableNames() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(FFolder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    if (UpperCase(it->path().extension().string()) == ".DB") out.push_back(Utf8ToAnsi(it->path().stem().string(), '?'));
  }
  if (ec) throw EPdxError("Не удаётся прочитать папку "_ansi + QuotePath(FFolder) + ": " + SystemError(ec.value()));
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
  return out;
}

bool TPdxDatabase::TableExists(const std::string& name) const { return !FindFile(FFolder, FsName(name), "DB").empty(); }

std::shared_ptr<TPdxTableState> TPdxDatabase::Acquire(const std::string& name, bool reader) const {
  std::string path = FindFile(FFolder, FsName(name), "DB");
  if (path.empty()) throw NotFound(name);
  std::error_code ec;
  std::string key = fs::weakly_canonical(path, ec).string();
  // The registry's lock is held only to find or enter the state: loading one may wait for another
  // program's change, under the state's own lock, which opens of the same file wait for. A reader's
  // state that another program's change left behind stays with those that hold it; later opens
  // get a state of their own.
  std::shared_ptr<TPdxTableState> st;
  for (;;) {
    bool made = false;
    st.reset();
    {
      std::lock_guard<std::mutex> lock(gRegistryMu);
      auto it = gRegistry.find(key);
      if (it != gRegistry.end()) st = it->second.lock();
      if (st && st->Dead) st.reset();
      if (!st) {
        st = std::make_shared<TPdxTableState>();
        st->Env = FEnv;
        gRegistry[key] = st;
        made = true;
      }
    }
    std::lock_guard<std::mutex> load(st->LoadMu);
    auto leave = [&] {
      std::lock_guard<std::mutex> lock(gRegistryMu);
      auto it = gRegistry.find(key);
      if (it != gRegistry.end() && it->second.lock() == st) gRegistry.erase(it);
    };
    if (st->Loaded) {
      if (!reader || st->Writer || st->Broken || !st->Stale()) break;
      leave();
      continue;
    }
    // A state whose load failed is out of the registry: look again.
    if (!made) continue;
    try {
      st->Load(FFolder, fs::path(path).stem().string(), path, reader);
    } catch (...) {
      leave();
      throw;
    }
    st->Loaded = true;
    break;
  }
  if (st->Encrypted) {
    bool ok = false;
    for (auto& pw : FPasswords) if (detail::PasswordChecksum(pw) == st->Checksum) ok = true;
    if (!ok) throw EPdxPassword("Таблица "_ansi + QuotePath(path) + " защищена паролем, и ни один из заданных паролей к ней не подходит"_ansi);
  }
  return st;
}

TPdxTableDef TPdxDatabase::TableStructure(const std::string& name) const { return Acquire(name)->Def; }

int64_t TPdxDatabase::RecordCount(const std::string& name) const {
  auto st = Acquire(name);
  return int64_t(st->H.NumRecords) + int64_t(st->Waiting.Count());
}

std::unique_ptr<TPdxCursor> TPdxDatabase::OpenCursor(const std::string& name) const {
  return std::unique_ptr<TPdxCursor>(new TPdxCursor(Acquire(name)));
}

std::unique_ptr<TPdxTable> TPdxDatabase::OpenTable(const std::string& name) const {
  auto st = Acquire(name, false);
  st->MakeWritable();
  // A new table's index files are made without a sync, its header saying they are out of date:
  // while it has no record and they hold none, they are right.
  if (st->Batch == 0 && st->Dirty.empty() && st->HasIndexes() && st->IndexesBehind() && st->H.NumRecords == 0 &&
      st->H.FirstBlock == 0 && !st->IndexFileUnsound(true) && st->IndexProblems().empty())
    st->IndexesCurrent = true;
  if (st->Batch == 0 && st->Dirty.empty() &&
      ((st->HasIndexes() && st->IndexesBehind()) || st->HeaderDirty || !st->ChainEndsAtLastBlock() ||
       st->IndexFileUnsound(false))) {
    // A write that failed, here or in another process, left the header or the indexes behind the
    // data, or an index file missing or cut short.
    st->AgreeWithChain();
    st->IndexDirty = st->FullRebuild = st->HasIndexes();
    st->Flush();
  }
  return std::unique_ptr<TPdxTable>(new TPdxTable(st));
}

static void DropFromRegistry(const std::string& folder, const std::string& base) {
  std::lock_guard<std::mutex> lock(gRegistryMu);
  for (auto it = gRegistry.begin(); it != gRegistry.end();) {
    auto st = it->second.lock();
    if (!st || (st->Folder == folder && UpperCase(st->Base) == UpperCase(base))) {
      if (st) {
        st->Dead = true;
        st->ReleaseWriter();
      }
      it = gRegistry.erase(it);
    } else {
      ++it;
    }
  }
}

// Refuses to move or remove a table that another program has open for writing.
static void RefuseWhileWritten(TPdxEnv& env, const std::string& dbPath) {
  TFile db;
  db.Open(env, dbPath, false);
  if (db.Lock(TPdxFile::lkProbe) == EAGAIN) throw EPdxError("Таблица "_ansi + QuotePath(dbPath) + " открыта для записи другой программой"_ansi);
}

void TPdxDatabase::DeleteTable(const std::string& name) {
  std::string base = FsName(name);
  const std::string dbPath = FindFile(FFolder, base, "DB");
  if (dbPath.empty()) throw NotFound(name);
  DropFromRegistry(FFolder, base);
  RefuseWhileWritten(*FEnv, dbPath);
  // The .DB first: once it is gone the table is, whatever happens to the rest.
  std::vector<fs::path> scratch;
  auto files = FamilyFiles(FFolder, base, &scratch);
  files.insert(files.end(), scratch.begin(), scratch.end());
  std::stable_partition(files.begin(), files.end(), [](const fs::path& p) { return UpperCase(p.extension().string()) == ".DB"; });
  // The removal of the .DB is made durable before the rest go, so that a power cut never leaves
  // the table without some of its files.
  for (size_t i = 0; i < files.size(); ++i) {
    RemoveFile(*FEnv, files[i].string());
    if (i == 0) SyncFolder(*FEnv, FFolder);
  }
  SyncFolder(*FEnv, FFolder);
}

namespace {

std::string RenameError(const fs::path& p, int e) {
  return "Не удаётся переименовать файл "_ansi + QuotePath(p.string()) + ": " + SystemError(e);
}

// Moves the files to their new names one by one; when one cannot be moved, those moved go back.
void MoveFamily(TPdxEnv& env, const std::vector<std::pair<fs::path, fs::path>>& moves, const std::string& folder) {
  for (size_t i = 0; i < moves.size(); ++i) {
    if (int e = env.Rename(moves[i].first.string(), moves[i].second.string())) {
      for (size_t k = i; k-- > 0;) env.Rename(moves[k].second.string(), moves[k].first.string());
      throw EPdxError(RenameError(moves[i].first, e));
    }
  }
  SyncFolder(env, folder);
}

}  // namespace

// The table is whole under exactly one name at every moment but one, whatever fails or wherever the
// process dies: every file first gets its new name beside its old one, the .DB last (until then only
// the old name is a table), then the old names go, the .DB first (from then on only the new name is
// a table). The folder is synced after the new names are made, so that a power cut never keeps
// the removal of an old name without the new one, after the old .DB goes, so that it never keeps
// an old table without some of its files, and before the rename returns. A file
// system without hard links moves the files one by one, the .DB last, and moves them back when
// one cannot be moved.
void TPdxDatabase::RenameTable(const std::string& oldName, const std::string& newName) {
  std::string ob = FsName(oldName), nb = FsName(newName);
  const std::string dbPath = FindFile(FFolder, ob, "DB");
  if (dbPath.empty()) throw NotFound(oldName);
  const bool sameName = UpperCase(ob) == UpperCase(nb);
  if (!FindFile(FFolder, nb, "DB").empty() && !sameName) throw Exists(newName);
  DropFromRegistry(FFolder, ob);
  RefuseWhileWritten(*FEnv, dbPath);
  // Files of the new name without a .DB belong to no table (a rename that died left them).
  if (!sameName)
    for (auto& p : FamilyFiles(FFolder, nb)) RemoveFile(*FEnv, p.string());
  std::vector<fs::path> scratch;
  auto files = FamilyFiles(FFolder, ob, &scratch);
  for (auto& p : scratch) FEnv->Remove(p.string());
  std::stable_partition(files.begin(), files.end(), [](const fs::path& p) { return UpperCase(p.extension().string()) != ".DB"; });
  std::vector<std::pair<fs::path, fs::path>> moves;
  for (auto& p : files) moves.emplace_back(p, p.parent_path() / (nb + p.extension().string()));
  if (sameName) return MoveFamily(*FEnv, moves, FFolder);
  size_t linked = 0;
  auto unlink = [&](size_t upTo) {
    for (size_t k = upTo; k-- > 0;) FEnv->Remove(moves[k].second.string());
  };
  for (; linked < moves.size(); ++linked) {
    int e = FEnv->Link(moves[linked].first.string(), moves[linked].second.string());
    if (e == 0) continue;
    unlink(linked);
    if (linked == 0 && (e == EPERM || e == EOPNOTSUPP)) return MoveFamily(*FEnv, moves, FFolder);
    throw EPdxError(RenameError(moves[linked].first, e));
  }
  try {
    SyncFolder(*FEnv, FFolder);
  } catch (...) {
    unlink(moves.size());
    throw;
  }
  if (int e = FEnv->Remove(moves.back().first.string())) {
    unlink(moves.size());
    throw EPdxError(RenameError(moves.back().first, e));
  }
  // The old table is gone for good before its other files go.
  SyncFolder(*FEnv, FFolder);
  // The old names of the other files belong to no table now: one that stays is removed with the
  // next table of that name.
  for (size_t k = 0; k + 1 < moves.size(); ++k) FEnv->Remove(moves[k].first.string());
  SyncFolder(*FEnv, FFolder);
}

// --- writing ----------------------------------------------------------------------------------------
// Takes the writer's lock (waiting a little while another program holds it), then what a writer
// that died left: its journal is played back when it is this table's and set aside otherwise,
// its scratch files go. The table is read again when its files changed since they were read.
void TPdxTableState::MakeWritable() {
  if (Writer) return;
  if (H.Version < 3) throw EPdxError(TableText() + " записана в слишком старой версии формата, запись в неё невозможна"_ansi);
  Db.Open(*Env, DbPath, true);
  for (int waited = 0;; waited += 20) {
    const int e = Db.Lock(TPdxFile::lkTake);
    // (Where the file system has no locks, writers go on without.)
    if (e != EAGAIN) break;
    if (waited >= 500) {
      Db.Open(*Env, DbPath, false);
      throw EPdxError(TableText() + " открыта для записи другой программой"_ansi);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Writer = true;
  // What a reader kept of the blocks may be older than the files the lock now guards.
  Forget();
  try {
    bool again = RecoverJournal() || OverlaySize != 0;
    if (!again) {
      std::vector<uint8_t> now(kHdrFixedSize);
      again = Db.ReadAt(0, now.data(), now.size()) != now.size() || std::memcmp(now.data(), HeaderBytes.data(), now.size()) != 0 ||
              Db.Size() < H.HeaderSize + FileBlocksOnDisk * H.BlockSize;
    }
    if (again) {
      XStates.clear();
      XValid = false;
      ReadFiles(false);
    }
    VerifyChain();
  } catch (...) {
    ReleaseWriter();
    Db.Open(*Env, DbPath, false);
    throw;
  }
  Journal.Bind(*Env, DbPath, Mark);
  // Scratch files seen at Load were left by a process that died; one that cannot be removed stays
  // until the next try. (A table being created is itself such a file until it is moved in.)
  for (auto& p : Scratch)
    if (p.filename() != fs::path(DbPath).filename()) Env->Remove(p.string());
  Scratch.clear();
}

// A journal that a dead writer left (the lock is this writer's now): played back when it guards
// a change this table is in the middle of, then emptied and removed; set aside when it is
// another's. Answers whether the table's files changed.
bool TPdxTableState::RecoverJournal() {
  const std::string path = FindFile(Folder, Base, kJournalExt);
  if (path.empty()) return false;
  // Whatever becomes of a begun journal, a reader in another process that walked part of its change
  // learns of it from a stamp above the dead writer's (PdxReaderView.cpp), which a playback keeps.
  if (LookAtJournalFile(path).Begun()) RaiseStamp();
  const TJournal::TImage image = TJournal::Judge(*Env, path, Db);
  if (image.Kind == TJournal::TImage::jNone) {
    RemoveFile(*Env, path);
    return false;
  }
  if (image.Kind == TJournal::TImage::jChange) {
    TJournal::Restore(*Env, image, DbPath, FindFile(Folder, Base, "MB"));
    // Emptied before it goes, so that it never comes back to be played over later changes.
    TJournal::EmptyFile(*Env, path);
    RemoveFile(*Env, path);
    return true;
  }
  SetAside(path, image.Kind == TJournal::TImage::jDamaged);
  return false;
}

// Keeps a journal that is not played (damaged, or not this table's own change) under another
// name, and says so: it may hold the only copy of bytes a change overwrote.
void TPdxTableState::SetAside(const std::string& journal, bool damaged) {
  std::string to;
  std::error_code ec;
  for (int n = 1; to.empty() || fs::exists(to, ec); ++n) to = journal + "." + std::to_string(n);
  if (int e = Env->Rename(journal, to)) throw EPdxError("Не удаётся переименовать файл "_ansi + QuotePath(journal) + ": " + SystemError(e));
  SyncFolder(*Env, Folder);
  JournalNote = "; не применённый к таблице журнал сохранён как "_ansi + QuotePath(to);
  ReportLostError(EPdxError("Журнал "_ansi + QuotePath(journal) +
                            (damaged ? " повреждён и не применён к таблице "_ansi : " не относится к таблице "_ansi) + QuotePath(DbPath) +
                            (damaged ? "" : " в её нынешнем виде и не применён"_ansi) + "; он сохранён как "_ansi + QuotePath(to)));
}

void TPdxTableState::ReleaseWriter() {
  if (!Writer) return;
  Db.Lock(TPdxFile::lkRelease);
  Writer = false;
}

// Whether a keyed table's .PX, or a secondary index's .Y, is missing or shorter than its header
// says: a process that died while making it, a power cut that kept its name but not what was in it
// (a new table's are made without a sync: they hold nothing its .DB and .X do not), or a file
// removed by hand. With `unlessEmpty`, also whether any of them, or an .X, holds an entry. (An .X
// without which the index is unknown is not asked for otherwise.)
bool TPdxTableState::IndexFileUnsound(bool unlessEmpty) const {
  if (IsIndexFile) return false;
  auto unsound = [&](const std::string& path) {
    if (path.empty()) return true;
    try {
      TFile f;
      f.Open(*Env, path, false);
      const uint64_t size = f.Size();
      std::vector<uint8_t> h(std::min<uint64_t>(size, 65536));
      h.resize(f.ReadAt(0, h.data(), h.size()));
      const THeader x = ParseHeader(h.data(), h.size(), path);
      return size < x.HeaderSize + uint64_t(x.FileBlocks) * x.BlockSize || (unlessEmpty && x.NumRecords != 0);
    } catch (const EPdxError&) {
      return true;
    }
  };
  if (KeyLen && unsound(FindFile(Folder, Base, "PX"))) return true;
  for (const auto& ix : Def.Indexes) {
    if (unlessEmpty && unsound((fs::path(Folder) / ix.FileName).string())) return true;
    const fs::path y = YName(ix.FileName);
    if (unsound(FindFile(Folder, y.stem().string(), y.extension().string().substr(1)))) return true;
  }
  return false;
}

// The index files written since the header said they were out of date are made durable, names
// and all, and only then does the header say they are current.
void TPdxTableState::FinishIndexes() {
  if (!Writer || Dead || Broken || !IndexesCurrent || !IndexesOutOfDate()) return;
  for (const auto& p : FamilyFiles(Folder, Base)) {
    const std::string ext = UpperCase(p.extension().string());
    if (ext == ".PX" || (ext.size() == 4 && (ext[1] == 'X' || ext[1] == 'Y'))) {
      TFile f;
      f.Open(*Env, p.string(), false);
      f.Sync();
    }
  }
  SyncFolderIfNamed(*Env, Folder);
  MarkIndexesOutOfDate(false);
  IndexesCurrent = false;
}

TPdxTableState::~TPdxTableState() {
  const bool writing = Writer && !Dead && !Broken;
  try {
    // Appends held outside a batch.
    if (writing && Batch == 0 && (!Dirty.empty() || HeaderDirty)) Flush(true);
  } catch (const std::exception& e) {
    // No caller is left to tell that they are lost.
    ReportLostError(e);
  }
  try {
    if (writing && !Broken && Journal.Active() && !Journal.Writing()) MakeDurable();
    FinishIndexes();
    // A table made in this process and never changed gets its name durable here.
    if (writing && !Creating) SyncFolderIfNamed(*Env, Folder);
  } catch (const Exception&) {
    // The journal stays (the next open takes back what it guards), or the header goes on saying
    // the indexes are out of date (they are rebuilt at the next open).
  }
  // A table renamed or deleted under its handles keeps its journal where the files went.
  if (!Dead) Journal.Close();
}

TPdxTable::TPdxTable(std::shared_ptr<TPdxTableState> state) : FState(std::move(state)) {}
TPdxTable::~TPdxTable() {
  if (FBatch == 0) return;
  try {
    while (FBatch > 0) EndBatch();
  } catch (const std::exception& e) {
    // No caller is left to tell; the files hold what was written, and their header asks for the
    // indexes to be rebuilt.
    ReportLostError(e);
  }
}
const TPdxTableDef& TPdxTable::Def() const { return FState->Def; }
int64_t TPdxTable::RecordCount() const { return int64_t(FState->H.NumRecords) + int64_t(FState->Waiting.Count()); }
void TPdxTable::BeginBatch() { ++FBatch; ++FState->Batch; }

namespace {
[[noreturn]] void ValueError(const TPdxTableState& s, int i, const std::string& what) {
  throw EPdxValue(s.TableText() + ", поле "_ansi + Quote(s.Def.Fields[i].Name) + ": " + what);
}

// A text in the table's code page. A text equal to what `old` (the field's bytes as stored, when
// rewriting a record) reads as keeps those bytes, so that rewriting a value read from the table
// never changes it, whatever the code page maps to '?' or twice; other text must be one that the
// code page can hold.
std::string EncodeText(const TPdxTableState& s, int i, const std::string& text, const std::string* old) {
  const TCodec& codec = *s.Codec;
  if (codec.Identity) return text;
  if (old && codec.Decode(old->data(), old->size()) == text) return *old;
  size_t bad = codec.FindUnencodable(text);
  if (bad != std::string::npos)
    ValueError(s, i, "текст содержит символ "_ansi + Quote(text.substr(bad, 1)) + ", которого нет в кодовой странице таблицы "_ansi +
                         codec.Name);
  return codec.Encode(text);
}
}  // namespace

void TPdxTableState::EncodeRecord(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old) {
  if (values.size() != Def.Fields.size())
    throw EPdxError(TableText() + ": полей в таблице "_ansi + std::to_string(Def.Fields.size()) + ", а значений задано "_ansi + std::to_string(values.size()));
  rec.assign(H.RecordSize, 0);
  for (size_t fi = 0; fi < values.size(); ++fi) {
    int i = int(fi);
    const Variant& v = values[i];
    uint8_t* p = rec.data() + Offsets[i];
    uint8_t t = H.Types[i];
    bool isNull = v.IsNull() || v.IsEmpty();
    if (isNull) {
      if (t == 0x16) {
        if (old) std::memcpy(p, old + Offsets[i], 4);
        else {
          if (H.AutoInc >= 0x7FFFFFFEu) ValueError(*this, i, "счётчик автоинкремента исчерпан"_ansi);
          PutLong(p, int32_t(H.AutoInc + 1));
        }
        continue;
      }
      if (Def.Fields[i].Required) throw EPdxRequired(TableText() + ": поле "_ansi + Quote(Def.Fields[i].Name) + " должно быть заполнено"_ansi);
      continue;
    }
    try {
      EncodeValue(i, v, p, old);
    } catch (const EPdxError&) {
      throw;
    } catch (const Exception& e) {
      ValueError(*this, i, e.Message());
    }
    if (Def.Fields[i].Required && AllZero(p, Widths[i]) && !IsBlobCode(t))
      throw EPdxRequired(TableText() + ": поле "_ansi + Quote(Def.Fields[i].Name) + " должно быть заполнено"_ansi);
  }
}

// Field i's bytes at p for a value that is not Null (blobs: checked only, written by WriteBlobs).
void TPdxTableState::EncodeValue(int i, const Variant& v, uint8_t* p, const uint8_t* old) {
  const uint8_t t = H.Types[i];
  switch (t) {
    case 0x01: {
      std::string stored;
      if (old) {
        const char* o = reinterpret_cast<const char*>(old + Offsets[i]);
        stored.assign(o, strnlen(o, size_t(Widths[i])));
      }
      std::string s = EncodeText(*this, i, v.ToString(), old ? &stored : nullptr);
      if (s.empty()) {
        if (Def.Fields[i].Required) throw EPdxRequired(TableText() + ": обязательное поле "_ansi + Quote(Def.Fields[i].Name) + " не может содержать пустой текст (в таблице Paradox он не отличается от пустого значения)"_ansi);
        break;
      }
      if (s.size() > size_t(Widths[i])) ValueError(*this, i, "текст из "_ansi + std::to_string(s.size()) + " символов не помещается в поле длиной "_ansi + std::to_string(Widths[i]));
      if (s.find('\0') != std::string::npos) ValueError(*this, i, "текст содержит нулевой символ"_ansi);
      std::memcpy(p, s.data(), s.size());
      break;
    }
    case 0x02: {
      double d = std::floor(v.ToDateTime());
      double days = d + kDateOffset;
      if (!(days >= 1 && days <= 3652059)) ValueError(*this, i, "дата вне допустимого диапазона"_ansi);
      PutLong(p, int32_t(days));
      break;
    }
    case 0x03: {
      int64_t x = v.ToInt64();
      if (x == -32768) ValueError(*this, i, "значение -32768 нельзя сохранить (оно читается как пустое)"_ansi);
      if (x < -32768 || x > 32767) ValueError(*this, i, "значение "_ansi + std::to_string(x) + " не помещается в поле типа Short"_ansi);
      PutShort(p, int16_t(x));
      break;
    }
    case 0x04: case 0x16: {
      int64_t x = v.ToInt64();
      if (x == INT32_MIN) ValueError(*this, i, "значение -2147483648 нельзя сохранить (оно читается как пустое)"_ansi);
      if (x < INT32_MIN || x > INT32_MAX) ValueError(*this, i, "значение "_ansi + std::to_string(x) + " не помещается в поле типа Long"_ansi);
      PutLong(p, int32_t(x));
      if (t == 0x16 && x > 0 && uint32_t(x) > H.AutoInc) { H.AutoInc = uint32_t(x); HeaderDirty = true; }
      break;
    }
    case 0x05: case 0x06: {
      double d;
      if (v.VarType() == varInt64 || v.VarType() == varUInt64) {
        if (v.VarType() == varUInt64 ? uint64_t(v.RawInt()) > (1ull << 53) : (v.RawInt() > (1ll << 53) || v.RawInt() < -(1ll << 53)))
          ValueError(*this, i, "целое число "_ansi + v.ToString() + " больше 2^53 по модулю, и поле типа Number не может хранить его точно"_ansi);
        d = double(v.RawInt());
      } else if (v.VarType() == varCurrency) {
        d = double(v.RawInt()) / 10000.0;
      } else {
        d = v.ToDouble();
      }
      if (!std::isfinite(d)) ValueError(*this, i, "значение не является конечным числом"_ansi);
      PutDouble(p, d);
      if (AllZero(p, 8)) ValueError(*this, i, "значение читается как пустое"_ansi);
      break;
    }
    case 0x09: p[0] = v.ToBool() ? 0x81 : 0x80; break;
    case 0x14: {
      double d = v.ToDateTime();
      double frac = d - std::floor(d);
      int64_t ms = std::llround(frac * kMsPerDay);
      if (ms >= 86400000) ms = 86399999;
      PutLong(p, int32_t(ms));
      break;
    }
    case 0x15: {
      double d = v.ToDateTime();
      double days = std::floor(d);
      int64_t ms = std::llround((d - days) * kMsPerDay);
      double total = (days + kDateOffset) * kMsPerDay + double(ms);
      if (!(total > 0)) ValueError(*this, i, "дата и время вне допустимого диапазона"_ansi);
      PutDouble(p, total);
      break;
    }
    case 0x17: PutBcd(p, H.Sizes[i], v); break;
    case 0x18: {
      const std::string& s = v.IsString() ? v.StrRef() : v.ToString();
      if (s.size() > size_t(Widths[i])) ValueError(*this, i, "значение из "_ansi + std::to_string(s.size()) + " байт не помещается в поле длиной "_ansi + std::to_string(Widths[i]));
      std::memcpy(p, s.data(), s.size());
      break;
    }
    default:
      if (IsBlobCode(t)) {
        if (!v.IsString() && !v.IsInteger() && !v.IsFloat()) ValueError(*this, i, "BLOB-поле принимает только строку байтов"_ansi);
      }
      break;
  }
}

// Blob values go into the leader when they fit, else into the .MB; the leader then keeps a copy
// of the first bytes.
void TPdxTableState::WriteBlobs(const std::vector<Variant>& values, std::vector<uint8_t>& rec, const uint8_t* old) {
  for (size_t fi = 0; fi < values.size(); ++fi) {
    uint8_t t = H.Types[fi];
    if (!IsBlobCode(t)) continue;
    const Variant& v = values[fi];
    uint8_t* p = rec.data() + Offsets[fi];
    int leader = H.Sizes[fi] - 10;
    std::memset(p, 0, H.Sizes[fi]);
    if (v.IsNull() || v.IsEmpty()) {
      if (Def.Fields[fi].Required) throw EPdxRequired(TableText() + ": поле "_ansi + Quote(Def.Fields[fi].Name) + " должно быть заполнено"_ansi);
      continue;
    }
    // A string value is written from the caller's own buffer; only a converted or re-encoded
    // value gets a copy of its own.
    std::string converted;
    const std::string* value = &converted;
    if (v.IsString()) value = &v.StrRef(); else converted = v.ToString();
    if (t == 0x0C && !Codec->Identity) {
      std::string stored;
      if (old) stored = ReadBlob(old + Offsets[fi], int(fi));
      converted = EncodeText(*this, int(fi), *value, old ? &stored : nullptr);
      value = &converted;
    }
    const std::string_view data = *value;
    if (data.empty()) {
      if (Def.Fields[fi].Required) throw EPdxRequired(TableText() + ": поле "_ansi + Quote(Def.Fields[fi].Name) + " должно быть заполнено"_ansi);
      continue;
    }
    if (data.size() > 0xFFFFFFF0u - 8) ValueError(*this, int(fi), "значение BLOB-поля слишком велико"_ansi);
    if (data.size() <= size_t(leader)) {
      std::memcpy(p, data.data(), data.size());
      Put32(p + leader + 4, uint32_t(data.size()));
      continue;
    }
    // Graphic and OLE values carry an 8-byte prefix in the .MB.
    uint8_t prefix[8] = {1, 0, 0, uint8_t(t == 0x10 ? 1 : 2)};
    Put32(prefix + 4, uint32_t(data.size()));
    const std::string_view head(reinterpret_cast<const char*>(prefix), t == 0x0F || t == 0x10 ? 8 : 0);
    OpenMb(true);
    uint32_t ptr = MbWriter.Write(head, data);
    std::memcpy(p, data.data(), size_t(leader));
    Put32(p + leader, ptr);
    Put32(p + leader + 4, uint32_t(head.size() + data.size()));
    Put16(p + leader + 8, 1);
  }
}

// The value is written as head then data, without joining them: a large value goes to the file
// from the caller's buffer, only its first unit and the padding of its last pass through a
// buffer of one unit.
uint32_t TMbWriter::Write(std::string_view head, std::string_view data) {
  const uint64_t size = FMb.Size();
  uint64_t end = (size + kMbUnit - 1) & ~uint64_t(kMbUnit - 1);
  if (end < kMbUnit) end = kMbUnit;
  const size_t total = head.size() + data.size();
  auto writeUnit = [&](uint64_t off, uint8_t* unit) {
    if (FChecksum) EncryptMb(unit, kMbUnit, FChecksum);
    FMb.WriteAt(off, unit, kMbUnit);
  };
  // head and data laid out from byte `from` of the joined value into dst, n bytes.
  auto copyOut = [&](uint8_t* dst, size_t from, size_t n) {
    if (from < head.size()) {
      size_t k = std::min(n, head.size() - from);
      std::memcpy(dst, head.data() + from, k);
      dst += k; from += k; n -= k;
    }
    if (n > 0) std::memcpy(dst, data.data() + (from - head.size()), n);
  };
  std::vector<uint8_t> blk(kMbUnit, 0);
  if (total < 0x800) {
    // Suballocated: the block now filling, or a fresh one at the end.
    uint32_t chunks = uint32_t((total + 15) / 16);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (FSubBlock == 0) {
        std::fill(blk.begin(), blk.end(), 0);
        blk[kMbType] = kMbSmallBlock; Put16(&blk[kMbUnits], 1);
        try {
          writeUnit(end, blk.data());
        } catch (const EPdxError&) {
          // The block is not taken: the next value starts one afresh (a part written past the
          // end is cut off again; a failure to cut is let go, the write's error is the one).
          try { FMb.Truncate(size); } catch (const EPdxError&) {}
          throw;
        }
        FSubBlock = uint32_t(end);
        end += kMbUnit;
      }
      if (FMb.ReadAt(FSubBlock, blk.data(), kMbUnit) != kMbUnit) { FSubBlock = 0; continue; }
      if (FChecksum) DecryptMb(blk.data(), kMbUnit, FChecksum);
      if (blk[kMbType] != kMbSmallBlock) { FSubBlock = 0; continue; }
      uint32_t next = kMbSmallData;
      int freeSlot = -1;
      for (int s = int(kMbSlotCount) - 1; s >= 0; --s) {
        const uint8_t* e = &blk[kMbSlots + kMbSlotSize * size_t(s)];
        if (e[kMbSlotLast] == 0) { if (freeSlot < 0) freeSlot = s; continue; }
        next = std::max<uint32_t>(next, (uint32_t(e[kMbSlotStart]) + e[kMbSlotChunks]) * 16);
      }
      if (freeSlot >= 0 && next + chunks * 16 <= kMbUnit) {
        uint8_t* e = &blk[kMbSlots + kMbSlotSize * size_t(freeSlot)];
        e[kMbSlotStart] = uint8_t(next / 16); e[kMbSlotChunks] = uint8_t(chunks); Put16(e + kMbSlotMod, 1);
        e[kMbSlotLast] = uint8_t(total - (chunks - 1) * 16);
        copyOut(&blk[next], 0, total);
        writeUnit(FSubBlock, blk.data());
        return FSubBlock | uint32_t(freeSlot);
      }
      FSubBlock = 0;
    }
  }
  uint64_t units = (total + kMbData + kMbUnit - 1) / kMbUnit;
  if (units > 0xFFFF) throw EPdxValue(FTable + ": значение BLOB-поля из "_ansi + std::to_string(total) + " байт больше, чем вмещает блок файла BLOB-полей"_ansi);
  if (end > 0xFFFFFF00u) throw EPdxValue("Файл BLOB-полей "_ansi + QuotePath(FMb.Path()) + " переполнен"_ansi);
  // Units after the first, then the first with the block's header: a block is marked taken
  // only once its content is whole.
  auto writeBlock = [&](uint64_t off) {
    const size_t first = std::min<size_t>(total, kMbUnit - kMbData);
    for (uint64_t u = 1; u < units; ++u) {
      const size_t from = first + size_t(u - 1) * kMbUnit;
      const size_t n = std::min<size_t>(kMbUnit, total - from);
      if (!FChecksum && from >= head.size() && n == kMbUnit) {
        // Every full unit past the head goes out in one write from the caller's buffer.
        const size_t run = (total - from) / kMbUnit * kMbUnit;
        FMb.WriteAt(off + u * kMbUnit, data.data() + (from - head.size()), run);
        u += run / kMbUnit - 1;
        continue;
      }
      std::fill(blk.begin(), blk.end(), 0);
      copyOut(blk.data(), from, n);
      writeUnit(off + u * kMbUnit, blk.data());
    }
    std::fill(blk.begin(), blk.end(), 0);
    blk[kMbType] = kMbValueBlock;
    Put16(&blk[kMbUnits], uint32_t(units));
    Put32(&blk[kMbLength], uint32_t(total));
    Put16(&blk[kMbMod], 1);
    copyOut(&blk[kMbData], 0, first);
    writeUnit(off, blk.data());
  };
  // Reuse a block freed in this session when one is large enough; the rest stays free.
  for (size_t i = 0; i < FFree.size(); ++i) {
    auto [off, have] = FFree[i];
    if (have < units) continue;
    FFree.erase(FFree.begin() + i);
    writeBlock(off);
    if (have > units) {
      std::fill(blk.begin(), blk.end(), 0);
      blk[kMbType] = kMbFreeBlock;
      Put16(&blk[kMbUnits], uint32_t(have - units));
      uint32_t roff = off + uint32_t(units * kMbUnit);
      writeUnit(roff, blk.data());
      FFree.emplace_back(roff, uint32_t(have - units));
    }
    return off | kMbWholeBlock;
  }
  try {
    writeBlock(end);
  } catch (const EPdxError&) {
    // A block written in part past the end is cut off again; the write's own error is the one
    // to report, so a failure to cut is let go.
    try { FMb.Truncate(size); } catch (const EPdxError&) {}
    throw;
  }
  return uint32_t(end) | kMbWholeBlock;
}

void TMbWriter::Free(uint32_t ptr) {
  if (ptr == 0) return;
  uint64_t base = ptr & ~0xFFu;
  uint8_t index = uint8_t(ptr);
  std::vector<uint8_t> unit(kMbUnit);
  if (FMb.ReadAt(base, unit.data(), kMbUnit) != kMbUnit) return;
  if (FChecksum) DecryptMb(unit.data(), kMbUnit, FChecksum);
  if (index == kMbWholeBlock) {
    if (unit[kMbType] != kMbValueBlock) return;
    unit[kMbType] = kMbFreeBlock;
    uint32_t units = Get16(&unit[kMbUnits]);
    if (units > 0 && base + uint64_t(units) * kMbUnit <= FMb.Size()) FFree.emplace_back(uint32_t(base), units);
  } else if (index < kMbSlotCount) {
    if (unit[kMbType] != kMbSmallBlock) return;
    std::memset(&unit[kMbSlots + kMbSlotSize * index], 0, kMbSlotSize);
  }
  if (FChecksum) EncryptMb(unit.data(), kMbUnit, FChecksum);
  FMb.WriteAt(base, unit.data(), kMbUnit);
}

// Takes a block not yet changed into Dirty: a kept block moves over, another is read.
std::vector<uint8_t>& TPdxTableState::TakeDirty(uint32_t n) {
  auto ci = Clean.find(n);
  if (ci != Clean.end()) {
    auto& d = Dirty.emplace(n, std::move(ci->second)).first->second;
    Clean.erase(ci);
    return d;
  }
  std::vector<uint8_t> b(H.BlockSize);
  ReadBlock(n, b.data());
  return Dirty.emplace(n, std::move(b)).first->second;
}

std::vector<uint8_t>& TPdxTableState::BlockForWrite(uint32_t n) {
  Ranges.erase(n);
  auto it = Dirty.find(n);
  return it != Dirty.end() ? it->second : TakeDirty(n);
}

// A block of which only the bytes [lo, hi) will change: a flush writes just those (plain tables).
std::vector<uint8_t>& TPdxTableState::BlockForRange(uint32_t n, uint32_t lo, uint32_t hi) {
  auto it = Dirty.find(n);
  if (it != Dirty.end()) {
    auto r = Ranges.find(n);
    if (r != Ranges.end()) { r->second.first = std::min(r->second.first, lo); r->second.second = std::max(r->second.second, hi); }
    return it->second;
  }
  if (!Encrypted) Ranges[n] = {lo, hi};
  return TakeDirty(n);
}

// A block's bytes without copying them: a changed block, a kept one, or one read from the file and
// kept (`fromFile` is then set). Valid until the next block is read, taken for writing or written.
const uint8_t* TPdxTableState::BlockView(uint32_t n, bool* fromFile) {
  auto it = Dirty.find(n);
  if (it != Dirty.end()) return it->second.data();
  auto ci = Clean.find(n);
  if (ci != Clean.end()) return ci->second.data();
  std::vector<uint8_t> b(H.BlockSize);
  ReadBlock(n, b.data());
  if (fromFile) *fromFile = true;
  return KeepClean(n, std::move(b)).data();
}

// Keeps a block as the file holds it, dropping another when too many are kept.
std::vector<uint8_t>& TPdxTableState::KeepClean(uint32_t n, std::vector<uint8_t> block) {
  auto& kept = Clean[n] = std::move(block);
  while (Clean.size() > kCleanBlocks) Clean.erase(Clean.begin()->first != n ? Clean.begin() : std::next(Clean.begin()));
  return kept;
}

// The map entry of a block that holds `key` (any record's key in it).
TPdxTableState::TMapEntry* TPdxTableState::MapEntry(uint32_t block, const uint8_t* key) {
  auto it = std::upper_bound(Map.begin(), Map.end(), key, [&](const uint8_t* k, const TMapEntry& e) {
    return std::memcmp(k, e.Key.data(), KeyLen) < 0;
  });
  if (it != Map.begin() && std::prev(it)->Block == block) return &*std::prev(it);
  for (auto& e : Map) if (e.Block == block) return &e;
  return nullptr;
}

uint32_t TPdxTableState::AllocBlock() {
  uint32_t n;
  if (H.FirstBlock == 0 && H.FirstFree != 0 && H.FirstFree != 1) {
    // An emptied table starts again from block 1: take it out of the free list.
    uint32_t prev = H.FirstFree;
    size_t guard = 0;
    while (prev && ++guard <= H.FileBlocks) {
      auto& pb = BlockForWrite(prev);
      uint32_t nx = Get16(&pb[kBlockNext]);
      if (nx == 1) {
        auto& one = BlockForWrite(1);
        Put16(&BlockForWrite(prev)[kBlockNext], Get16(&one[kBlockNext]));
        Put16(&one[kBlockNext], H.FirstFree);
        H.FirstFree = 1;  // now at the head, taken below
        break;
      }
      prev = nx;
    }
  }
  if (H.FirstFree != 0) {
    n = H.FirstFree;
    auto& b = BlockForWrite(n);
    uint32_t next = Get16(&b[kBlockNext]);
    if (next > H.FileBlocks) Corrupt("нарушен список свободных блоков"_ansi);
    H.FirstFree = uint16_t(next);
  } else {
    if (H.FileBlocks >= 0xFFFF) throw EPdxError(TableText() + " переполнена: в файле уже 65535 блоков"_ansi);
    n = ++H.FileBlocks;
    Dirty[n] = std::vector<uint8_t>(H.BlockSize, 0);
  }
  auto& b = Dirty[n];
  std::fill(b.begin(), b.end(), 0);
  Put16(&b[kBlockLast], uint16_t(-int(H.RecordSize)));
  ++H.BlocksUsed;
  HeaderDirty = true;
  return n;
}

// Unlinks an emptied block from the chain and puts it on the free list.
void TPdxTableState::FreeBlock(uint32_t n) {
  auto& b = BlockForWrite(n);
  uint32_t next = Get16(&b[kBlockNext]), prev = Get16(&b[kBlockPrev]);
  if (prev) Put16(&BlockForWrite(prev)[kBlockNext], next); else H.FirstBlock = uint16_t(next);
  if (next) Put16(&BlockForWrite(next)[kBlockPrev], prev); else H.LastBlock = uint16_t(prev);
  auto& fb = BlockForWrite(n);
  std::fill(fb.begin(), fb.end(), 0);
  Put16(&fb[kBlockNext], H.FirstFree);
  Put16(&fb[kBlockLast], uint16_t(-int(H.RecordSize)));
  H.FirstFree = uint16_t(n);
  if (H.BlocksUsed) --H.BlocksUsed;
  HeaderDirty = true;
  if (MapLoaded)
    for (size_t i = 0; i < Map.size(); ++i) if (Map[i].Block == n) { Map.erase(Map.begin() + i); break; }
}

void TPdxTableState::LoadMap() {
  if (MapLoaded) return;
  Map.clear();
  ForEachBlock([&](uint32_t n, const uint8_t* b, int count) {
    if (count > 0) Map.push_back({std::string(reinterpret_cast<const char*>(b + kBlockData), KeyLen), n, uint32_t(count)});
  });
  MapLoaded = true;
}

// Finds the block and slot where `key` sits or would go; false when the table has no records.
// The map gives the block by its first key; the block is searched where it lies.
bool TPdxTableState::Locate(const uint8_t* key, TKeyPlace& at) {
  LoadMap();
  at = TKeyPlace{};
  if (Map.empty()) return false;
  auto it = std::upper_bound(Map.begin(), Map.end(), key, [&](const uint8_t* k, const TMapEntry& e) {
    return std::memcmp(k, e.Key.data(), KeyLen) < 0;
  });
  at.Entry = it == Map.begin() ? 0 : size_t(it - Map.begin()) - 1;
  at.Block = Map[at.Entry].Block;
  const uint8_t* b = BlockView(at.Block, &at.FromFile);
  int count = CountIn(b, at.Block);
  int lo = 0, hi = count;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (std::memcmp(b + kBlockData + size_t(mid) * H.RecordSize, key, KeyLen) < 0) lo = mid + 1; else hi = mid;
  }
  at.Slot = uint32_t(lo);
  at.Found = lo < count && std::memcmp(b + kBlockData + size_t(lo) * H.RecordSize, key, KeyLen) == 0;
  return true;
}

TPdxTableState::TPlaced TPdxTableState::InsertKeyed(const std::vector<uint8_t>& rec) {
  TKeyPlace at;
  Locate(rec.data(), at);
  if (at.Found) throw EPdxKeyViolation(TableText() + ": нарушение ключа, запись с таким первичным ключом уже есть"_ansi);
  return InsertAt(rec, at);
}

// Puts a record at the place Locate found for it: into its block, or, when the block is full,
// into a block split off it (a new block past the last when the record comes after every other).
TPdxTableState::TPlaced TPdxTableState::InsertAt(const std::vector<uint8_t>& rec, const TKeyPlace& place) {
  const uint32_t rs = H.RecordSize;
  TPlaced placed;
  Keys.Add(TKeyLook(rec.data(), KeyLen));
  if (Map.empty()) {
    uint32_t n = AllocBlock();
    placed.Block = n;
    auto& b = Dirty[n];
    std::memcpy(&b[kBlockData], rec.data(), rs);
    Put16(&b[kBlockLast], 0);
    H.FirstBlock = H.LastBlock = uint16_t(n);
    Map.push_back({std::string(reinterpret_cast<const char*>(rec.data()), KeyLen), n, 1});
    return placed;
  }
  const size_t idx = place.Entry;
  auto* b = &BlockForWrite(place.Block);
  int count = CountIn(b->data(), place.Block);
  int at = int(place.Slot);
  placed.Block = place.Block;
  if (count < PerBlock) {
    std::memmove(&(*b)[kBlockData + size_t(at + 1) * rs], &(*b)[kBlockData + size_t(at) * rs], size_t(count - at) * rs);
    std::memcpy(&(*b)[kBlockData + size_t(at) * rs], rec.data(), rs);
    Put16(&(*b)[kBlockLast], uint16_t(count * rs));
    if (at == 0) Map[idx].Key.assign(reinterpret_cast<const char*>(rec.data()), KeyLen);
    ++Map[idx].Count;
    return placed;
  }
  const uint32_t oldNext = Get16(b->data());
  const uint32_t n = LinkBlockAfter(place.Block);
  b = &BlockForWrite(place.Block);
  auto* nbp = &Dirty[n];
  if (at == count && oldNext == 0) {
    // Appending past the last block: start a new block, as Paradox does.
    placed.Block = n;
    std::memcpy(&(*nbp)[kBlockData], rec.data(), rs);
    Put16(&(*nbp)[kBlockLast], 0);
    Map.insert(Map.begin() + idx + 1, {std::string(reinterpret_cast<const char*>(rec.data()), KeyLen), n, 1});
    return placed;
  }
  int keep = count / 2;
  int moved = count - keep;
  placed.Moved.To = n;
  for (int i = keep; i < count; ++i) placed.Moved.Records.emplace_back(reinterpret_cast<const char*>(&(*b)[kBlockData + size_t(i) * rs]), rs);
  std::memcpy(&(*nbp)[kBlockData], &(*b)[kBlockData + size_t(keep) * rs], size_t(moved) * rs);
  std::memset(&(*b)[kBlockData + size_t(keep) * rs], 0, size_t(moved) * rs);
  Put16(&(*b)[kBlockLast], uint16_t((keep - 1) * rs));
  Put16(&(*nbp)[kBlockLast], uint16_t((moved - 1) * rs));
  std::vector<uint8_t>* target = b;
  int tcount = keep;
  int tat = at;
  if (at > keep) { target = nbp; tcount = moved; tat = at - keep; placed.Block = n; }
  std::memmove(&(*target)[kBlockData + size_t(tat + 1) * rs], &(*target)[kBlockData + size_t(tat) * rs], size_t(tcount - tat) * rs);
  std::memcpy(&(*target)[kBlockData + size_t(tat) * rs], rec.data(), rs);
  Put16(&(*target)[kBlockLast], uint16_t(tcount * rs));
  Map.insert(Map.begin() + idx + 1, {std::string(reinterpret_cast<const char*>(&(*nbp)[kBlockData]), KeyLen), n, uint32_t(at > keep ? moved + 1 : moved)});
  Map[idx].Key.assign(reinterpret_cast<const char*>(&(*b)[kBlockData]), KeyLen);
  Map[idx].Count = uint32_t(at > keep ? keep : keep + 1);
  return placed;
}

void TPdxTableState::AppendUnkeyed(const std::vector<uint8_t>& rec) {
  const uint32_t rs = H.RecordSize;
  uint32_t last = H.NumRecords == 0 && H.FirstBlock == 0 ? 0 : H.LastBlock;
  if (last) {
    auto& b = BlockForRange(last, 4, 6);
    int count = CountIn(b.data(), last);
    if (count < PerBlock) {
      BlockForRange(last, 6 + count * rs, 6 + (count + 1) * rs);
      std::memcpy(&b[kBlockData + size_t(count) * rs], rec.data(), rs);
      Put16(&b[kBlockLast], uint16_t(count * rs));
      return;
    }
  }
  uint32_t n = AllocBlock();
  auto& nb = Dirty[n];
  std::memcpy(&nb[kBlockData], rec.data(), rs);
  Put16(&nb[kBlockLast], 0);
  Put16(&nb[kBlockPrev], last);
  if (last) Put16(&BlockForWrite(last)[kBlockNext], n); else H.FirstBlock = uint16_t(n);
  H.LastBlock = uint16_t(n);
}

TPdxTableState::TMoved TPdxTableState::RemoveAt(TPdxRecordPos pos) {
  const uint32_t rs = H.RecordSize;
  auto& b = BlockForWrite(pos.Block);
  int count = CountIn(b.data(), pos.Block);
  if (int(pos.Slot) >= count) throw EPdxError(TableText() + ": нет записи в блоке "_ansi + std::to_string(pos.Block) + " на месте "_ansi + std::to_string(pos.Slot));
  TMapEntry* entry = MapLoaded && KeyLen ? MapEntry(pos.Block, &b[kBlockData + size_t(pos.Slot) * rs]) : nullptr;
  std::memmove(&b[kBlockData + size_t(pos.Slot) * rs], &b[kBlockData + size_t(pos.Slot + 1) * rs], size_t(count - 1 - pos.Slot) * rs);
  std::memset(&b[kBlockData + size_t(count - 1) * rs], 0, rs);
  Put16(&b[kBlockLast], uint16_t((count - 2) * int(rs)));
  --H.NumRecords;
  HeaderDirty = IndexDirty = true;
  TMoved moved;
  uint32_t next = Get16(&b[kBlockNext]);
  if (count == 1 && pos.Block == H.FirstBlock && next != 0) {
    // The first block is never freed (as in Paradox): the next block's records move into it and
    // that block is freed instead.
    if (next > H.FileBlocks) Corrupt("блок "_ansi + std::to_string(pos.Block) + " ссылается на блок за концом файла"_ansi);
    std::vector<uint8_t> nb = BlockForWrite(next);
    int nc = CountIn(nb.data(), next);
    auto& fb = BlockForWrite(pos.Block);
    std::memcpy(&fb[kBlockData], &nb[kBlockData], size_t(nc) * rs);
    Put16(&fb[kBlockLast], uint16_t((nc - 1) * int(rs)));
    for (int i = 0; i < nc; ++i) moved.Records.emplace_back(reinterpret_cast<const char*>(&nb[kBlockData + size_t(i) * rs]), rs);
    moved.To = pos.Block;
    if (entry) {
      if (nc > 0) entry->Key.assign(reinterpret_cast<const char*>(&nb[kBlockData]), KeyLen);
      entry->Count = uint32_t(nc);
    }
    FreeBlock(next);
  } else if (count == 1) {
    FreeBlock(pos.Block);
    if (H.NumRecords == 0) { H.FirstBlock = H.LastBlock = 0; }
  } else if (entry) {
    if (pos.Slot == 0) entry->Key.assign(reinterpret_cast<const char*>(&b[kBlockData]), KeyLen);
    --entry->Count;
  }
  return moved;
}

// Refuses a record whose values of a unique index are another record's (`old`: the record an
// update replaces). The table is searched only for values the filters may have seen.
void TPdxTableState::CheckUnique(const std::vector<uint8_t>& rec, const uint8_t* old) {
  if (!Unique.Covered()) Unique.Cover(Def, Offsets, Widths, [&](const auto& fn) { ForEachRecord(fn); });
  if (Unique.Empty()) return;
  const TUniqueValues::TProbe probe = Unique.Probe(rec.data(), old);
  if (!probe.Suspects.empty())
    ForEachRecord([&](const uint8_t* r) {
      for (size_t u : probe.Suspects)
        if (Unique.Same(u, r, rec.data()))
          throw EPdxKeyViolation(TableText() + ": нарушение уникальности индекса "_ansi + Quote(Unique.Name(u)));
    });
  Unique.Add(probe);
}

// The bytes of the record at a position (from a cursor or FindKey), which must hold one; valid
// until the next block is read or changed.
const uint8_t* TPdxTableState::RecordAt(TPdxRecordPos pos) {
  if (pos.Block == 0 || pos.Block > H.FileBlocks) throw EPdxError(TableText() + ": нет записи в блоке "_ansi + std::to_string(pos.Block));
  const uint8_t* b = BlockView(pos.Block);
  if (int(pos.Slot) >= CountIn(b, pos.Block))
    throw EPdxError(TableText() + ": нет записи в блоке "_ansi + std::to_string(pos.Block) + " на месте "_ansi + std::to_string(pos.Slot));
  return b + kBlockData + size_t(pos.Slot) * H.RecordSize;
}

static void AppendValues(TPdxTableState& s, const std::vector<Variant>& values) {
  s.CheckUsable();
  ++s.Changes;
  std::vector<uint8_t> rec;
  s.EncodeRecord(values, rec, nullptr);
  // Inside a batch a keyed record waits with the others and goes into its block with them.
  const bool waits = s.KeyLen && s.Batch > 0;
  TPdxTableState::TKeyPlace place;
  TKeyLook look(rec.data(), s.KeyLen);
  if (waits) look = s.KeyTaken(rec.data());
  if (s.KeyLen && (waits ? look.Taken : s.Locate(rec.data(), place) && place.Found))
    throw EPdxKeyViolation(s.TableText() + ": нарушение ключа, запись с таким первичным ключом уже есть"_ansi);
  s.CheckUnique(rec, nullptr);
  // A full buffer makes room before the record joins it: should that fail, the record is refused
  // and the buffer keeps the others.
  if (waits && s.Waiting.Full()) s.MakeRoom();
  s.WriteBlobs(values, rec, nullptr);
  for (size_t i = 0; i < values.size(); ++i)
    if (s.H.Types[i] == 0x16 && (values[i].IsNull() || values[i].IsEmpty())) { ++s.H.AutoInc; }
  s.HeaderDirty = s.IndexDirty = true;
  if (waits) {
    s.PrepareX();
    s.AddWaiting(rec, look);
    return;
  }
  if (s.KeyLen) {
    bool inc = s.PrepareX();
    const TPdxTableState::TPlaced placed = s.InsertAt(rec, place);
    if (inc) s.Maintain([&] { s.XInsertAll(rec.data(), placed); });
  } else {
    s.AppendUnkeyed(rec);
  }
  ++s.H.NumRecords;
  // Appends to an unkeyed table are held, outside a batch too, until the cache fills (see
  // TPdxTable): each written through alone would cost a sync.
  if ((s.Batch == 0 && s.KeyLen) || s.Dirty.size() > gDirtyBlocks) s.Flush();
}

static void CollectBlobPtrs(const TPdxTableState& s, const uint8_t* rec, std::vector<uint32_t>& out) {
  for (size_t i = 0; i < s.H.Types.size(); ++i)
    if (IsBlobCode(s.H.Types[i])) {
      uint32_t ptr = Get32(rec + s.Offsets[i] + s.H.Sizes[i] - 10);
      if (ptr) out.push_back(ptr);
    }
}

static void UpdateRecord(TPdxTableState& s, TPdxRecordPos pos, const std::vector<Variant>& values) {
  s.CheckUsable();
  ++s.Changes;
  s.MergePending();
  const uint8_t* at = s.RecordAt(pos);
  std::vector<uint8_t> old(at, at + s.H.RecordSize);
  std::vector<uint8_t> rec;
  s.EncodeRecord(values, rec, old.data());
  bool keyChanged = s.KeyLen && std::memcmp(rec.data(), old.data(), s.KeyLen) != 0;
  TPdxTableState::TKeyPlace place;
  if (keyChanged && s.Locate(rec.data(), place) && place.Found)
    throw EPdxKeyViolation(s.TableText() + ": нарушение ключа, запись с таким первичным ключом уже есть"_ansi);
  s.CheckUnique(rec, old.data());
  s.WriteBlobs(values, rec, old.data());
  // From here the change is made in memory, then written; whatever fails takes it back whole.
  try {
    CollectBlobPtrs(s, old.data(), s.PendingFree);
    bool inc = s.KeyLen && s.PrepareX();
    bool indexed = false;
    if (inc)
      for (size_t i = 0; i < s.Def.Indexes.size(); ++i)
        if (s.XRecord(i, old.data(), 0) != s.XRecord(i, rec.data(), 0)) indexed = true;
    if (inc && (indexed || keyChanged)) s.Maintain([&] { s.XRemoveAll(old.data()); });
    TPdxTableState::TPlaced placed;
    if (keyChanged) {
      const TPdxTableState::TMoved moved = s.RemoveAt(pos);
      if (inc && !moved.Records.empty()) s.Maintain([&] { s.XRehintAll(moved); });
      placed = s.InsertKeyed(rec);
      ++s.H.NumRecords;
    } else {
      auto& wb = s.BlockForWrite(pos.Block);
      std::memcpy(&wb[kBlockData + size_t(pos.Slot) * s.H.RecordSize], rec.data(), s.H.RecordSize);
      placed.Block = pos.Block;
    }
    if (inc && (indexed || keyChanged)) s.Maintain([&] { s.XInsertAll(rec.data(), placed); });
    s.HeaderDirty = s.IndexDirty = true;
    if (s.Batch == 0 || s.Dirty.size() > gDirtyBlocks) s.Flush();
  } catch (...) {
    if (!s.Broken) s.Reload();
    throw;
  }
}

static void DeleteRecord(TPdxTableState& s, TPdxRecordPos pos) {
  s.CheckUsable();
  ++s.Changes;
  s.MergePending();
  const uint8_t* at = s.RecordAt(pos);
  std::vector<uint8_t> old(at, at + s.H.RecordSize);
  try {
    CollectBlobPtrs(s, old.data(), s.PendingFree);
    bool inc = s.KeyLen && s.PrepareX();
    if (inc) s.Maintain([&] { s.XRemoveAll(old.data()); });
    const TPdxTableState::TMoved moved = s.RemoveAt(pos);
    if (inc && !moved.Records.empty()) s.Maintain([&] { s.XRehintAll(moved); });
    if (s.Batch == 0 || s.Dirty.size() > gDirtyBlocks) s.Flush();
  } catch (...) {
    if (!s.Broken) s.Reload();
    throw;
  }
}

static std::vector<Variant> ReadRecord(TPdxTableState& s, TPdxRecordPos pos) {
  s.MergePending();
  const uint8_t* at = s.RecordAt(pos);
  std::vector<uint8_t> rec(at, at + s.H.RecordSize);
  std::vector<Variant> out(s.Def.Fields.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = s.Decode(rec.data(), int(i));
  return out;
}

void TPdxTable::EmptyTable() {
  auto& s = *FState;
  s.CheckUsable();
  ++s.Changes;
  if (s.Batch > 0) s.Flush();
  try {
    // What a batch wrote is made durable before the files are cut under it.
    if (s.Journal.Active()) s.MakeDurable();
    if (s.HasIndexes() && !s.IndexesOutOfDate()) s.MarkIndexesOutOfDate(true);
    s.Forget();
    s.MapLoaded = true;
    s.Keys.StartEmpty();
    s.H.NumRecords = 0;
    s.H.BlocksUsed = s.H.FileBlocks = 0;
    s.H.FirstBlock = s.H.LastBlock = s.H.FirstFree = 0;
    // The header first (no records), synced, then the blocks go.
    s.NextStamp();
    s.WriteHeader();
    s.Db.Sync();
    s.Db.Truncate(s.H.HeaderSize);
    s.FileBlocksOnDisk = 0;
    if (!FindFile(s.Folder, s.Base, "MB").empty()) {
      s.OpenMb(true);
      s.Mb.Truncate(4096);
      s.Journal.NoteMbSize(4096);
    }
  } catch (...) {
    s.Reload();
    throw;
  }
  s.XStates.clear();
  s.XValid = s.FullRebuild = false;
  s.HeaderDirty = false;
  s.IndexDirty = s.HasIndexes();
  if (s.IndexDirty) s.WriteIndexes(false);
  s.IndexDirty = false;
}

static bool FindRecord(TPdxTableState& s, const std::vector<Variant>& key, TPdxRecordPos& pos) {
  if (!s.KeyLen) throw EPdxError(s.TableText() + " не имеет первичного ключа"_ansi);
  if (int(key.size()) != s.Def.KeyFieldCount) throw EPdxError(s.TableText() + ": полей в первичном ключе "_ansi + std::to_string(s.Def.KeyFieldCount));
  std::vector<Variant> vals(s.Def.Fields.size(), Variant::Null());
  for (size_t i = 0; i < key.size(); ++i) vals[i] = key[i];
  std::vector<uint8_t> rec;
  std::vector<uint8_t> dummy(s.H.RecordSize, 0);
  // Encode without the required checks of the other fields.
  auto saved = s.Def.Fields;
  for (auto& f : s.Def.Fields) f.Required = false;
  try { s.EncodeRecord(vals, rec, dummy.data()); } catch (...) { s.Def.Fields = saved; throw; }
  s.Def.Fields = saved;
  s.MergePending();
  TPdxTableState::TKeyPlace at;
  if (!s.Locate(rec.data(), at) || !at.Found) return false;
  pos.Block = at.Block;
  pos.Slot = at.Slot;
  return true;
}

void TPdxTable::Append(const std::vector<Variant>& values) { Told(*FState, [&] { AppendValues(*FState, values); }); }
void TPdxTable::Update(TPdxRecordPos pos, const std::vector<Variant>& values) {
  Told(*FState, [&] { UpdateRecord(*FState, pos, values); });
}
void TPdxTable::Delete(TPdxRecordPos pos) { Told(*FState, [&] { DeleteRecord(*FState, pos); }); }
std::vector<Variant> TPdxTable::Read(TPdxRecordPos pos) { return Told(*FState, [&] { return ReadRecord(*FState, pos); }); }
bool TPdxTable::FindKey(const std::vector<Variant>& key, TPdxRecordPos& pos) {
  return Told(*FState, [&] { return FindRecord(*FState, key, pos); });
}
std::unique_ptr<TPdxCursor> TPdxTable::OpenCursor() { return std::unique_ptr<TPdxCursor>(new TPdxCursor(FState)); }
void TPdxTable::EndBatch() {
  if (FBatch == 0) return;
  --FBatch;
  Told(*FState, [&] {
    if (--FState->Batch == 0) FState->Flush(true);
  });
}

// --- flushing ------------------------------------------------------------------------------------
// The fixed part of the header as H says it, in HeaderBytes.
const uint8_t* TPdxTableState::NewHeader() {
  uint8_t* h = HeaderBytes.data();
  Put32(h + kHdrRecords, H.NumRecords);
  Put16(h + kHdrBlocksUsed, H.BlocksUsed);
  Put16(h + kHdrFileBlocks, H.FileBlocks);
  Put16(h + kHdrFirstBlock, H.FirstBlock);
  Put16(h + kHdrLastBlock, H.LastBlock);
  Put16(h + kHdrFileBlocks2, H.FileBlocks);
  Put32(h + kHdrAutoInc, H.AutoInc);
  Put16(h + kHdrFirstFree, H.FirstFree);
  return h;
}

void TPdxTableState::WriteHeader() {
  Db.WriteAt(0, NewHeader(), kHdrFixedSize);
  Def.RecordCount = H.NumRecords;
}

// Writes the changed blocks and the header and, outside a batch, the indexes; `durable` syncs the
// files before the indexes replace theirs (the end of a batch). A table's data goes to disk ahead
// of its indexes only while its header's "index update required" byte is set, so whatever fails,
// the index files are right or known to be out of date. A failed data write reloads the table as
// its files hold it: the changes not yet written are gone.
void TPdxTableState::Flush(bool durable) {
  CheckUsable();
  MergePending();
  try {
    WriteDirty(durable);
  } catch (...) {
    Reload();
    throw;
  }
  // Blobs of deleted or rewritten records are freed once those records are gone from the files for
  // good (the change durable). A value whose space cannot be marked free keeps it: the change is
  // in, only the space is lost.
  if (!Journal.Active() && !SyncPending) {
    std::vector<uint32_t> freed;
    freed.swap(PendingFree);
    for (uint32_t p : freed) {
      try {
        OpenMb(true);
        MbWriter.Free(p);
      } catch (const EPdxError&) {
      }
    }
  }
  if (Batch == 0 && IndexDirty) {
    try {
      if (HasIndexes()) WriteIndexes(durable);
    } catch (...) {
      // The change is in all the same, its indexes out of date.
      if (SyncPending) MakeDurable();
      throw;
    }
    IndexDirty = false;
  }
  if (SyncPending) {
    try {
      MakeDurable();
    } catch (...) {
      Reload();
      throw;
    }
  }
}

// The changed blocks and the header as one part of the change (WritePart); then, outside a batch,
// at its end (`durable`), and once a batch has written much since its last durable point, the
// change is made durable (see the order at the top of PdxFiles.cpp).
void TPdxTableState::WriteDirty(bool durable) {
  const bool whole = durable || (Batch == 0 && !Merging) ||
                     (Journal.Active() && (Journal.Size() > kJournalCommit || WrittenSinceDurable > kDataCommit));
  const bool indexesFollow = whole && durable && Batch == 0 && IndexDirty && HasIndexes() && !IsIndexFile;
  HoldHeader = indexesFollow;
  try {
    WritePart(whole);
  } catch (...) {
    HoldHeader = false;
    throw;
  }
  HoldHeader = false;
  if (IsIndexFile) {
    if (durable) Db.Sync();
  } else if (indexesFollow && !Journal.Active()) {
    // The end of a batch that only added blocks: its header waits for the indexes, to be written
    // once they are durable, saying at once that the records are there and that the indexes are
    // current (WriteIndexes), and then synced (Flush).
    SyncPending = true;
  } else if (whole) {
    MakeDurable();
  }
}

// What the journal guards is synced and the journal emptied (the files are synced anyway).
void TPdxTableState::MakeDurable() {
  // A header held for the indexes goes out whatever became of them.
  if (SyncPending && HeaderDirty) {
    WriteHeader();
    HeaderDirty = false;
  }
  TFile* mb = Mb.IsOpen() && Mb.Writable() ? &Mb : nullptr;
  if (Journal.Active()) {
    Journal.Commit(Db, mb);
  } else {
    Db.SyncWritten();
    if (mb) mb->SyncWritten();
  }
  WrittenSinceDurable = 0;
  HeaderSynced = true;
  SyncPending = false;
  // A table made in this process is durable with its first change, its name too.
  SyncFolderIfNamed(*Env, Folder);
}

// The changed blocks and the header, the indexes marked out of date first. A secondary index's
// file is written in place: its table's header says it is out of date meanwhile.
void TPdxTableState::WritePart(bool whole) {
  if (!IsIndexFile && IndexDirty && HasIndexes()) {
    if (!IndexesOutOfDate()) MarkIndexesOutOfDate(true);
    IndexesCurrent = false;
  }
  if (IsIndexFile) {
    WriteBlocks();
    if (HeaderDirty) { WriteHeader(); HeaderDirty = false; }
    return;
  }
  if (!Dirty.empty() || HeaderDirty) WriteChange(whole);
  if (Mb.IsOpen() && Mb.Writable()) Journal.NoteMbSize(Mb.Size());
}

// One part of a change to the .DB (the whole change when `whole`). When it is not the whole change
// and few of its blocks are ones the file holds, it overwrites nothing: its new blocks go out but
// for the chain's last block (records, or a link to a block yet to come, still go into it), and
// the blocks the file holds wait in the cache with the header for a later part or the change's
// end, so that the files on disk stay the table as it last was whole, or as the journal guards it.
// Otherwise the old and new content of every block it overwrites and of the header go to the
// journal, which is made durable; then the new blocks past the end, the blocks the file held and
// the header. The whole change overwriting no block the file holds, with no journal begun, needs
// none: its new blocks, and the .MB values their records point at, are made durable before the
// header (one sector) tells of them.
void TPdxTableState::WriteChange(bool whole) {
  const uint64_t held = FileBlocksOnDisk;
  const size_t heldDirty = size_t(std::distance(Dirty.begin(), Dirty.upper_bound(uint32_t(std::min<uint64_t>(held, UINT32_MAX)))));
  if (!whole && heldDirty * 2 <= gDirtyBlocks) {
    const size_t before = Dirty.size();
    WriteBlocks(H.LastBlock, true);
    WrittenSinceDurable += (before - Dirty.size()) * H.BlockSize;
    // To the disk while the batch goes on, so that the sync at its end has little left to do.
    Db.StartSync();
    return;
  }
  WrittenSinceDurable += Dirty.size() * H.BlockSize;
  if (heldDirty == 0 && !Journal.Active()) {
    WriteBlocks();
    if (HeaderDirty) {
      if (Mb.IsOpen() && Mb.Writable()) Mb.SyncWritten();
      Db.Sync();
      NextStamp();
      HeaderSynced = false;
      if (!HoldHeader) {
        WriteHeader();
        HeaderDirty = false;
      }
    }
    return;
  }
  // A journal's old bytes must be those the disk holds.
  if (!HeaderSynced) {
    Db.Sync();
    HeaderSynced = true;
  }
  uint64_t after = Db.Size();
  // The header, with a new change stamp, follows every part's overwrites (PdxReaderView.cpp).
  HeaderDirty = true;
  NextStamp();
  Journal.Begin(Db);
  std::vector<uint8_t> enc;
  for (const auto& [n, b] : Dirty) {
    const uint64_t at = H.HeaderSize + uint64_t(n - 1) * H.BlockSize;
    after = std::max(after, at + H.BlockSize);
    if (n > held) continue;
    const uint8_t* image = b.data();
    if (Encrypted) {
      enc = b;
      EncryptDbBlock(enc.data(), H.BlockSize, Checksum, n);
      image = enc.data();
    }
    Journal.Keep(Db, at, H.BlockSize, image);
  }
  Journal.Keep(Db, 0, kHdrFixedSize, NewHeader());
  Journal.Ready(after);
  WriteBlocks();
  WriteHeader();
  HeaderDirty = false;
  Journal.Settle();
}

// New blocks first, then the blocks the file held already. Block `keep` (when not 0) stays
// unwritten in the cache, and with `onlyNew` so does every block the file holds.
void TPdxTableState::WriteBlocks(uint32_t keep, bool onlyNew) {
  if (Dirty.empty()) return;
  // Dirty is in block order: the blocks the file holds, then from `fresh` the new ones.
  const auto fresh = Dirty.upper_bound(uint32_t(std::min<uint64_t>(FileBlocksOnDisk, UINT32_MAX)));
  std::vector<uint8_t> enc;
  auto write = [&](uint32_t n, const std::vector<uint8_t>& b, bool held) {
    const uint8_t* src = b.data();
    uint64_t at = H.HeaderSize + uint64_t(n - 1) * H.BlockSize;
    auto r = Ranges.find(n);
    if (r != Ranges.end() && held) {
      Db.WriteAt(at + r->second.first, src + r->second.first, r->second.second - r->second.first);
      return;
    }
    if (Encrypted) { enc = b; EncryptDbBlock(enc.data(), H.BlockSize, Checksum, n); src = enc.data(); }
    Db.WriteAt(at, src, H.BlockSize);
    FileBlocksOnDisk = std::max<uint64_t>(FileBlocksOnDisk, n);
  };
  for (auto it = fresh; it != Dirty.end(); ++it)
    if (it->first != keep) write(it->first, it->second, false);
  if (!onlyNew)
    for (auto it = Dirty.begin(); it != fresh; ++it)
      if (it->first != keep) write(it->first, it->second, true);
  // Keep a few of the blocks just written, so that the next small change need not read them.
  std::map<uint32_t, std::vector<uint8_t>> stay;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> stayRanges;
  const uint32_t firstFresh = fresh == Dirty.end() ? UINT32_MAX : fresh->first;
  for (auto& [n, b] : Dirty) {
    if (n == keep || (onlyNew && n < firstFresh)) {
      if (auto r = Ranges.find(n); r != Ranges.end()) stayRanges.insert(*r);
      stay.emplace(n, std::move(b));
    } else {
      Clean[n] = std::move(b);
    }
  }
  while (Clean.size() > kCleanBlocks) Clean.erase(Clean.begin());
  Dirty.swap(stay);
  Ranges.swap(stayRanges);
}

void TPdxTableState::MarkIndexesOutOfDate(bool value) {
  uint8_t b = value ? 1 : 0;
  Db.WriteAt(kHdrIndexesOutOfDate, &b, 1);
  HeaderBytes[kHdrIndexesOutOfDate] = b;
  if (value) {
    IndexesCurrent = false;
    OutOfDateSynced = Db.Syncs() + 1;
  }
}

// After a failed write: takes back what the journal says must go (the part being written, or all
// that a failed sync left unsure), forgets every change not yet written and takes the table as its
// files hold it; the indexes are rewritten whole at the next flush. When even that fails the state
// is unusable: it lets the table go (the next open takes the change back) and holds what that
// open will find, so that its record count says so.
void TPdxTableState::Reload() {
  ++Reloads;
  ++Changes;
  IndexesCurrent = false;
  SyncPending = false;
  Forget();
  XStates.clear();
  XValid = false;
  FullRebuild = true;
  HeaderDirty = false;
  IndexDirty = HasIndexes();
  if (IsIndexFile) return;
  try {
    // Old bytes put back are a change too, to a reader that saw the new ones: they get a new
    // stamp (a stamp that cannot be written costs a reader in another process that check only).
    if (Journal.Active())
      Journal.Rollback(Db, DbPath, FindFile(Folder, Base, "MB"), [&] {
        try {
          RaiseStamp();
        } catch (const EPdxError&) {
        }
      });
    std::vector<uint8_t> bytes(HeaderBytes.size());
    if (Db.ReadAt(0, bytes.data(), bytes.size()) != bytes.size()) Corrupt("заголовок обрезан"_ansi);
    THeader h = ParseHeader(bytes.data(), bytes.size(), DbPath);
    if (h.HeaderSize != H.HeaderSize || h.BlockSize != H.BlockSize || h.RecordSize != H.RecordSize)
      Corrupt("заголовок изменился, пока таблица была открыта"_ansi);
    uint64_t size = Db.Size();
    H = h;
    HeaderBytes = std::move(bytes);
    OutOfDateSynced = Db.Syncs() + 1;
    FileBlocksOnDisk = size > H.HeaderSize ? (size - H.HeaderSize) / H.BlockSize : 0;
    AgreeWithChain();
  } catch (...) {
    Broken = Dead = true;
    ReleaseWriter();
    CountKnown = false;
    try {
      Forget();
      ReadFiles(false);  // (no other writer can be in the middle of a change yet)
      CountKnown = true;
    } catch (...) {
    }
  }
}

// Forgets the changes not yet written and what the state knows of the records besides the
// header: the blocks held and kept, the block map, the waiting records, the filters, the values
// to free and the .MB writer's blocks.
void TPdxTableState::Forget() {
  Dirty.clear();
  Ranges.clear();
  Clean.clear();
  Map.clear();
  MapLoaded = false;
  Waiting.Reset();
  Keys.Drop();
  Unique.Reset();
  PendingFree.clear();
  MbWriter.Reset();
}

// Readers follow the block chain; a write that failed between the blocks and the header leaves
// the header behind it (fewer records, an older last block, fewer blocks in the file, a smaller
// autoincrement counter). The header is made to agree with the chain, to be written at the next
// flush. A chain that holds fewer records than the header counts lost some: that is damage, never
// a header to lower.
void TPdxTableState::AgreeWithChain() {
  uint32_t records = 0, used = 0, last = 0, top = H.FileBlocks, autoInc = H.AutoInc;
  ForEachBlock([&](uint32_t n, const uint8_t* b, int count) {
    records += uint32_t(count);
    ++used;
    last = n;
    top = std::max(top, n);
    for (size_t i = 0; i < H.Types.size(); ++i)
      if (H.Types[i] == 0x16)
        for (int r = 0; r < count; ++r) {
          int32_t v = GetLong(b + kBlockData + size_t(r) * H.RecordSize + Offsets[i]);
          if (v > 0) autoInc = std::max(autoInc, uint32_t(v));
        }
  });
  if (records < H.NumRecords) ShortChain(last, records);
  if (records != H.NumRecords || last != H.LastBlock || top != H.FileBlocks || autoInc != H.AutoInc) {
    H.NumRecords = records;
    H.BlocksUsed = uint16_t(used);
    H.LastBlock = uint16_t(last);
    H.FileBlocks = uint16_t(top);
    H.AutoInc = autoInc;
    HeaderDirty = true;
  }
  Def.RecordCount = H.NumRecords;
}

// A writer adds nothing to a table that readers cannot read: the chain is walked as they walk it
// (a keyed table's block map kept on the way), and one that ends elsewhere than the header's last
// block, or holds other than the header's count, raises their error; so do records that point at
// values in an .MB that is not there (a new one would give them other values).
void TPdxTableState::VerifyChain() {
  uint32_t records = 0, last = 0;
  const bool noMb = std::any_of(H.Types.begin(), H.Types.end(), IsBlobCode) && FindFile(Folder, Base, "MB").empty();
  Map.clear();
  ForEachBlock([&](uint32_t n, const uint8_t* b, int count) {
    records += uint32_t(count);
    last = n;
    if (KeyLen && count > 0) Map.push_back({std::string(reinterpret_cast<const char*>(b + kBlockData), KeyLen), n, uint32_t(count)});
    for (int r = 0; noMb && r < count; ++r)
      for (size_t i = 0; i < H.Types.size(); ++i)
        if (IsBlobCode(H.Types[i]) && Get32(b + kBlockData + size_t(r) * H.RecordSize + Offsets[i] + H.Sizes[i] - 10) != 0)
          OpenMb(false);
  });
  MapLoaded = KeyLen != 0;
  if (records != H.NumRecords || (last != 0 && last != H.LastBlock)) ShortChain(last, records);
}

// Whether the header's last block ends the chain, as it does unless a write failed before the
// header was written.
bool TPdxTableState::ChainEndsAtLastBlock() {
  if (H.FirstBlock == 0 || H.LastBlock == 0) return true;
  if (H.LastBlock > FileBlocksOnDisk) return false;
  std::vector<uint8_t> b(H.BlockSize);
  ReadBlock(H.LastBlock, b.data());
  return Get16(b.data()) == 0;
}

void TPdxTableState::CheckLink(uint32_t n, const uint8_t* block, uint32_t prev) const {
  const uint32_t back = Get16(block + kBlockPrev);
  if (back != prev)
    Corrupt("блок "_ansi + std::to_string(n) + " ссылается назад на блок "_ansi + std::to_string(back) + " вместо блока "_ansi +
            std::to_string(prev));
}

void TPdxTableState::ShortChain(uint32_t last, uint32_t records) const {
  Corrupt("цепочка блоков кончается блоком "_ansi + std::to_string(last) + ", записей в ней "_ansi + std::to_string(records) +
          ", а по заголовку "_ansi + std::to_string(H.NumRecords));
}

void TPdxTableState::CheckUsable() const {
  if (Broken) throw EPdxError(TableText() + " недоступна после неудачной записи: откройте её снова"_ansi);
}

// --- creation -----------------------------------------------------------------------------------
namespace {

// Checks the fields of a new table and gives their stored types and sizes (a size out of range is
// brought into it).
void CheckFields(TPdxTableDef& def, const std::string& where, std::vector<uint8_t>& types, std::vector<uint8_t>& sizes) {
  std::set<std::string> seen;
  for (size_t i = 0; i < def.Fields.size(); ++i) {
    auto& f = def.Fields[i];
    if (f.Name.empty()) throw EPdxError(where + "у поля "_ansi + std::to_string(i + 1) + " нет имени"_ansi);
    if (f.Name.size() > 25) throw EPdxValue(where + "имя поля "_ansi + Quote(f.Name) + " длиннее 25 символов"_ansi);
    if (!seen.insert(AnsiUpperCase(f.Name)).second) throw EPdxError(where + "имя поля "_ansi + Quote(f.Name) + " повторяется"_ansi);
    uint8_t t = uint8_t(f.Type), s = 0;
    switch (f.Type) {
      case TPdxFieldType::Alpha:
        if (f.Size < 1) throw EPdxError(where + "у текстового поля "_ansi + Quote(f.Name) + " не задан размер"_ansi);
        f.Size = std::min(f.Size, 255); s = uint8_t(f.Size); break;
      case TPdxFieldType::Bytes:
        if (f.Size < 1 || f.Size > 255) throw EPdxError(where + "размер байтового поля "_ansi + Quote(f.Name) + " должен быть от 1 до 255"_ansi);
        s = uint8_t(f.Size); break;
      case TPdxFieldType::Memo: case TPdxFieldType::FmtMemo:
        f.Size = std::clamp(f.Size, 1, 240); s = uint8_t(f.Size + 10); break;
      case TPdxFieldType::Blob: case TPdxFieldType::OLE: case TPdxFieldType::Graphic:
        f.Size = std::clamp(f.Size, 0, 240); s = uint8_t(f.Size + 10); break;
      case TPdxFieldType::BCD:
        f.Size = std::clamp(f.Size, 0, 32); s = uint8_t(f.Size); break;
      case TPdxFieldType::Int64:
        f.Type = TPdxFieldType::Number; t = 0x06; s = 8; f.Size = 0; break;
      case TPdxFieldType::Date: case TPdxFieldType::Long: case TPdxFieldType::Time: case TPdxFieldType::Autoinc: s = 4; f.Size = 0; break;
      case TPdxFieldType::Short: s = 2; f.Size = 0; break;
      case TPdxFieldType::Currency: case TPdxFieldType::Number: case TPdxFieldType::Timestamp: s = 8; f.Size = 0; break;
      case TPdxFieldType::Logical: s = 1; f.Size = 0; break;
    }
    if (int(i) < def.KeyFieldCount && IsBlobCode(t)) throw EPdxError(where + "BLOB-поле не может быть ключевым"_ansi);
    types.push_back(t);
    sizes.push_back(s);
  }
}

// Checks the secondary indexes of a new table and names their files: .Xnn for one field under its
// own name, .XGn for the others.
void NameIndexFiles(TPdxTableDef& def, const std::vector<uint8_t>& types, const std::string& base, const std::string& where) {
  std::set<std::string> ixNames;
  int composite = 0;
  for (auto& ix : def.Indexes) {
    if (ix.Fields.empty()) throw EPdxError(where + "в индексе "_ansi + Quote(ix.Name) + " нет полей"_ansi);
    for (int f : ix.Fields)
      if (f < 0 || f >= int(def.Fields.size()) || IsBlobCode(types[f])) throw EPdxError(where + "индекс "_ansi + Quote(ix.Name) + " ссылается на недопустимое поле"_ansi);
    if (!ix.Composite && ix.Fields.size() == 1 && (ix.Name.empty() || AnsiSameText(ix.Name, def.Fields[ix.Fields[0]].Name))) {
      ix.Name = def.Fields[ix.Fields[0]].Name;
      char ext[8];
      std::snprintf(ext, sizeof ext, "X%02X", ix.Fields[0] + 1);
      ix.FileName = base + "." + ext;
    } else {
      ix.Composite = true;
      if (ix.Name.empty()) throw EPdxError(where + "у составного индекса должно быть имя"_ansi);
      if (composite > 15) throw EPdxError(where + "составных индексов может быть не больше 16"_ansi);
      char ext[8];
      std::snprintf(ext, sizeof ext, "XG%X", composite++);
      ix.FileName = base + "." + ext;
    }
    if (!ixNames.insert(UpperCase(ix.FileName)).second) throw EPdxError(where + "два индекса по одному и тому же полю"_ansi);
  }
}

}  // namespace

void TPdxDatabase::CreateTable(const std::string& name, const TPdxTableDef& defIn) {
  std::string base = FsName(name);
  if (name.empty() || name.find('/') != std::string::npos) throw EPdxError("Недопустимое имя таблицы "_ansi + Quote(name));
  if (!FindFile(FFolder, base, "DB").empty()) throw Exists(name);
  TPdxTableDef def = defIn;
  const std::string where = "Ошибка создания таблицы "_ansi + Quote(name) + ": ";
  if (def.Fields.empty() || def.Fields.size() > 255) throw EPdxError(where + "в таблице должно быть от 1 до 255 полей"_ansi);
  if (def.KeyFieldCount < 0 || def.KeyFieldCount > int(def.Fields.size())) throw EPdxError(where + "неверное число ключевых полей"_ansi);
  for (auto& ix : def.Indexes) {
    if (!ix.Primary) continue;
    for (size_t i = 0; i < ix.Fields.size(); ++i)
      if (ix.Fields[i] != int(i)) throw EPdxError(where + "поля первичного ключа должны идти первыми, по порядку"_ansi);
    def.KeyFieldCount = int(ix.Fields.size());
  }
  def.Indexes.erase(std::remove_if(def.Indexes.begin(), def.Indexes.end(), [](const TPdxIndexDef& i) { return i.Primary; }), def.Indexes.end());
  std::vector<uint8_t> types, sizes;
  CheckFields(def, where, types, sizes);
  int rs = 0;
  for (size_t i = 0; i < types.size(); ++i) rs += FieldWidth(types[i], sizes[i]);
  uint32_t bs = uint32_t(std::clamp(def.BlockSize, 1024, 32768)) / 1024 * 1024;
  while (bs < 32768 && bs - 6 < uint32_t(rs)) bs *= 2;
  if (bs - 6 < uint32_t(rs)) throw EPdxError(where + "запись из "_ansi + std::to_string(rs) + " байт не помещается в блок 32 КБ"_ansi);
  NameIndexFiles(def, types, base, where);
  uint32_t checksum = detail::PasswordChecksum(def.Password);
  std::vector<uint16_t> numbers;
  std::vector<std::string> names;
  for (size_t i = 0; i < def.Fields.size(); ++i) { numbers.push_back(uint16_t(i + 1)); names.push_back(def.Fields[i].Name); }
  std::vector<uint8_t> hdr = BuildDbHeader(def.KeyFieldCount ? 0 : 2, bs, types, sizes, names,
                                           uint16_t(def.KeyFieldCount), base + ".DB", checksum, numbers, "");
  if (def.KeyFieldCount) Put16(&hdr[kHdrKeyFields], uint32_t(def.KeyFieldCount));
  // Its index files are made without a sync (see OpenTable).
  if (def.KeyFieldCount || !def.Indexes.empty()) hdr[kHdrIndexesOutOfDate] = 1;
  // Every file of the family first, synced, the .DB last (through a temporary name), so that a
  // half-made table never shows, after a power cut either.
  bool hasBlob = false;
  for (auto t : types) if (IsBlobCode(t)) hasBlob = true;
  std::string dbPath = (fs::path(FFolder) / (base + ".DB")).string();
  auto removeFamily = [&] {
    std::vector<fs::path> scratch;
    for (auto& p : FamilyFiles(FFolder, base, &scratch)) FEnv->Remove(p.string());
    for (auto& p : scratch) FEnv->Remove(p.string());
  };
  removeFamily();
  try {
    bool anyRequired = false;
    for (auto& f : def.Fields) if (f.Required) anyRequired = true;
    // The .VAL and the .DB go to the disk while the rest is made; they are synced last.
    TFile val, db;
    if (anyRequired) {
      std::vector<uint8_t> v = BuildVal(def, types, sizes, base + ".DB");
      val.Create(*FEnv, (fs::path(FFolder) / (base + ".VAL")).string());
      val.WriteAt(0, v.data(), v.size());
      val.StartSync();
    }
    TTempFile tmp(*FEnv, dbPath);
    db.Create(*FEnv, tmp.Path);
    db.WriteAt(0, hdr.data(), hdr.size());
    db.StartSync();
    DropFromRegistry(FFolder, base);
    {
      // The table under its temporary name makes its .MB and indexes.
      auto st = std::make_shared<TPdxTableState>();
      st->Env = FEnv;
      st->Creating = true;
      st->Load(FFolder, base, tmp.Path);
      st->MakeWritable();
      st->Def.Indexes = def.Indexes;
      // Its index files are new: made under their names, synced with the rest below.
      st->IndexesInPlace = true;
      if (hasBlob) st->OpenMb(true);
      if (def.KeyFieldCount || !def.Indexes.empty()) st->RebuildIndexes(false);
      for (const std::string& path : st->ToSync) {
        TFile x;
        x.Open(*FEnv, path, false);
        x.Sync();
      }
    }
    if (val.IsOpen()) val.Sync();
    db.Sync();
    db.Close();
    SyncFolder(*FEnv, FFolder);
    // The .DB's name is made durable with the table's first change, by whichever folder sync of
    // this process comes first (the next table made, say), or when its writer lets it go.
    tmp.Replace();
  } catch (...) {
    // A table is made whole or not at all.
    DropFromRegistry(FFolder, base);
    removeFamily();
    throw;
  }
}

}  // namespace paradox
