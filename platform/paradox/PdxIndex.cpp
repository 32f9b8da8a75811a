// The B-trees and the secondary indexes of the Paradox engine. A keyed table's .PX (and a
// secondary index's .Ynn/.YGn) is rewritten whole from the block map, one level-1 entry per data
// block. A secondary index's .Xnn/.XGn is kept up to date change by change outside batches (held
// as a keyed file of its own, XStates); otherwise it is rebuilt from a scan of the table, its
// entries sorted in bounded memory. A file rewritten whole goes through a temporary file.
#include <algorithm>
#include <array>
#include <tuple>

#include "platform/paradox/PdxRuns.h"
#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox {

using namespace detail;

namespace detail {

// The header of an index file, and whether it says the index is unique.
static THeader IndexHeader(TPdxEnv& env, const std::string& path, bool& unique) {
  TFile f;
  f.Open(env, path, false);
  std::vector<uint8_t> h(std::min<uint64_t>(f.Size(), 65536));
  h.resize(f.ReadAt(0, h.data(), h.size()));
  unique = h.size() > kHdrUnique && h[kHdrUnique] == 1;
  return ParseHeader(h.data(), h.size(), path);
}

void ParseIndexFile(TPdxEnv& env, const std::string& path, const THeader& table, const TPdxTableDef& def, const TCodec& codec,
                    std::vector<TPdxIndexDef>& out) {
  auto damaged = [](const std::string& file, const std::string& what) {
    return EPdxCorrupt("Файл "_ansi + QuotePath(file) + " повреждён: "_ansi + what);
  };
  TPdxIndexDef ix;
  const THeader x = IndexHeader(env, path, ix.Unique);
  if (x.FileType != 3 && x.FileType != 5 && x.FileType != 6 && x.FileType != 8)
    throw damaged(path, "тип файла "_ansi + std::to_string(x.FileType) + " не является вторичным индексом"_ansi);
  const bool maintained = x.FileType == 5 || x.FileType == 8;
  const int m = int(x.NumFields) - (maintained ? def.KeyFieldCount + 1 : 3);
  if (m < 1 || int(x.FieldNumbers.size()) < m) throw damaged(path, "в индексе нет полей"_ansi);
  for (int i = 0; i < m; ++i) {
    const int fn = x.FieldNumbers[i];
    if (fn < 1 || fn > int(def.Fields.size()))
      throw damaged(path, "номер поля "_ansi + std::to_string(fn) + " вне допустимого диапазона"_ansi);
    ix.Fields.push_back(fn - 1);
  }
  ix.Composite = x.FileType == 6 || x.FileType == 8;
  ix.Name = ix.Composite ? codec.Decode(x.IndexName.data(), x.IndexName.size()) : def.Fields[ix.Fields[0]].Name;
  ix.FileName = fs::path(path).filename().string();
  // An index file taken from another table holds other fields than this table's: the indexed
  // fields, then the primary key (a maintained index) or the record's number, the block number and
  // (not maintained) the record's place in it. Its B-tree holds all of them but the last.
  std::vector<std::pair<uint8_t, uint8_t>> fields;
  for (int f : ix.Fields) fields.emplace_back(table.Types[f], table.Sizes[f]);
  if (maintained)
    for (int f = 0; f < def.KeyFieldCount; ++f) fields.emplace_back(table.Types[f], table.Sizes[f]);
  else
    fields.emplace_back(0x04, 4);
  fields.emplace_back(0x03, 2);
  if (!maintained) fields.emplace_back(0x03, 2);
  int width = 0;
  for (const auto& [type, size] : fields) width += FieldWidth(type, size);
  auto same = [](const THeader& file, const std::vector<std::pair<uint8_t, uint8_t>>& want) {
    if (file.Types.size() != want.size() || file.Sizes.size() != want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i)
      if (file.Types[i] != want[i].first || file.Sizes[i] != want[i].second) return false;
    return true;
  };
  auto foreign = [](const std::string& file, const std::string& what) {
    return EPdxCorrupt("Файл "_ansi + QuotePath(file) + " повреждён или взят от другой таблицы: "_ansi + what);
  };
  if (!same(x, fields) || x.RecordSize != width) throw foreign(path, "поля индекса не совпадают с полями таблицы"_ansi);
  const fs::path yname = YName(ix.FileName);
  const std::string ypath = FindFile(fs::path(path).parent_path().string(), yname.stem().string(), yname.extension().string().substr(1));
  THeader y;
  bool unused = false;
  try {
    if (!ypath.empty()) y = IndexHeader(env, ypath, unused);
  } catch (const EPdxError&) {
    // A B-tree file cut short, as a power cut leaves a new one, is made again by the next writer.
  }
  fields.pop_back();
  if (y.RecordSize != 0 && (!same(y, fields) || y.RecordSize != width - 2 + 6))
    throw foreign(ypath, "поля дерева индекса не совпадают с полями индекса "_ansi + Quote(ix.FileName));
  out.push_back(std::move(ix));
}

// A .DB-format header (tables and secondary .X files) at Paradox 7 level.
std::vector<uint8_t> BuildDbHeader(uint8_t fileType, uint32_t blockSize, const std::vector<uint8_t>& types,
                                   const std::vector<uint8_t>& sizes, const std::vector<std::string>& names,
                                   uint16_t keyFields, const std::string& tableName, uint32_t checksum,
                                   const std::vector<uint16_t>& fieldNumbers, const std::string& indexName,
                                   uint8_t sortOrder, uint16_t codePage, const std::string& sortId) {
  size_t nf = types.size();
  size_t need = kHdrFixedSize + 2 * nf + 4 + 4 * nf + 261 + 2 * nf + 2 + sortId.size() + indexName.size();
  for (auto& n : names) need += n.size() + 1;
  size_t hs = (need + 2047) / 2048 * 2048;
  std::vector<uint8_t> h(hs, 0);
  int rs = 0;
  for (size_t i = 0; i < nf; ++i) rs += FieldWidth(types[i], sizes[i]);
  Put16(&h[kHdrRecordSize], rs);
  Put16(&h[kHdrHeaderSize], uint32_t(hs));
  h[kHdrFileType] = fileType;
  h[kHdrBlockSize] = uint8_t(blockSize / 1024);
  Put16(&h[kHdrFieldCount], uint32_t(nf));
  Put16(&h[kHdrKeyFields], keyFields);
  Put32(&h[kHdrEncryption1], 0xFF00FF00u);
  h[kHdrSortOrder] = sortOrder;  // new tables: 0x8F, "Pdox ANSI Cyrillic"
  h[kHdrChangeCount] = 1;
  h[kHdrVersion] = 12;
  if (checksum == 0) { h[kHdrPlainMark] = 0x1F; h[kHdrPlainMark + 1] = 0x0F; }
  Put16(&h[kHdrVersionWords], 0x010C);
  Put16(&h[kHdrVersionWords + 2], 0x010C);
  Put32(&h[kHdrEncryption2], checksum);
  Put16(&h[kHdrFieldCount1], uint32_t(nf + 1));
  Put16(&h[kHdrCodePage], codePage);
  // Bytes whose use is not known, as the BDE writes them.
  Put16(&h[0x12], fileType == 0 || fileType == 2 ? 3 : 5);
  h[0x2D] = 1;
  h[0x56] = 0x20;
  h[0x6C] = 1; h[0x6D] = 1;
  size_t pos = kHdrFixedSize;
  for (size_t i = 0; i < nf; ++i) { h[pos++] = types[i]; h[pos++] = sizes[i]; }
  pos += 4 + 4 * nf;
  std::memcpy(&h[pos], tableName.data(), std::min<size_t>(tableName.size(), 260));
  pos += 261;
  for (auto& n : names) { std::memcpy(&h[pos], n.data(), n.size()); pos += n.size() + 1; }
  for (size_t i = 0; i < nf; ++i) { Put16(&h[pos], fieldNumbers[i]); pos += 2; }
  std::memcpy(&h[pos], sortId.data(), std::min<size_t>(sortId.size(), 31));
  pos += std::min<size_t>(sortId.size(), 31) + 1;
  if (!indexName.empty()) { std::memcpy(&h[pos], indexName.data(), indexName.size()); pos += indexName.size() + 1; }
  Put16(&h[kHdrUsedEnd], uint32_t(pos));
  return h;
}

}  // namespace detail

namespace {

struct TIndexFileSpec {
  TPdxEnv* Env = nullptr;
  std::string Path;
  uint8_t FileType = 0;            // PX/Y: 1, 4 or 7
  uint16_t KeyFields = 0;
  std::vector<uint8_t> Types, Sizes;
  uint32_t BlockSize = 0;
  std::string TableName;
  uint16_t SortOrder = 0;
  uint8_t Version = 12;
  uint32_t Checksum = 0;           // an encrypted table's: its index blocks are encrypted too
  bool Durable = false;            // synced before it replaces the old file
  bool InPlace = false;            // written over the old file (TIndexOutput)
};

// The file an index is written into: over the old file itself when `inPlace` (its table's header
// says, durably, that its indexes are out of date, so that a file written in part is rebuilt and
// no name changes), else under a temporary name moved over the old file once whole.
class TIndexOutput {
 public:
  TIndexOutput(TPdxEnv& env, const std::string& path, bool inPlace) {
    std::error_code ec;
    if (!inPlace) {
      FTemp = std::make_unique<TTempFile>(env, path);
      FFile.Create(env, FTemp->Path);
    } else if (fs::exists(path, ec)) {
      FFile.Open(env, path, true);
    } else {
      FFile.Create(env, path);
      NoteNewName(fs::path(path).parent_path().string());
    }
  }
  TFile& File() { return FFile; }
  bool InPlace() const { return !FTemp; }
  // The file is whole at `size` bytes: cut there, synced when `sync`, and closed.
  void Done(uint64_t size, bool sync) {
    if (FFile.Size() > size) FFile.Truncate(size);
    if (sync) FFile.Sync();
    FFile.Close();
  }
  // Moves a file written under its temporary name over the old one.
  void Replace() {
    if (FTemp) FTemp->Replace();
  }

 private:
  std::unique_ptr<TTempFile> FTemp;
  TFile FFile;
};

// Writes a PX/Y file (TIndexOutput: a temporary file is gone again when anything fails) from
// level-1 entries (key bytes + data block + record count), building as many levels as needed. The
// root is block 1.
void WriteIndexTree(const TIndexFileSpec& layout, int keyLen,
                    const std::vector<std::tuple<std::string, uint32_t, uint32_t>>& leaf) {
  const uint32_t es = uint32_t(keyLen + 6);
  const uint32_t per = (layout.BlockSize - kBlockData) / es;
  std::vector<std::vector<std::tuple<std::string, uint32_t, uint32_t>>> levels;  // bottom-up, grouped later
  std::vector<std::vector<std::vector<std::tuple<std::string, uint32_t, uint32_t>>>> blocks;
  auto cur = leaf;
  // Group each level into blocks; the level above holds one entry per block.
  for (;;) {
    std::vector<std::vector<std::tuple<std::string, uint32_t, uint32_t>>> lv;
    for (size_t i = 0; i < cur.size(); i += per)
      lv.emplace_back(cur.begin() + i, cur.begin() + std::min(cur.size(), i + per));
    if (lv.empty()) lv.emplace_back();
    blocks.push_back(lv);
    if (lv.size() == 1) break;
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> up;
    for (auto& b : lv) {
      uint32_t sum = 0;
      for (auto& e : b) sum += std::get<2>(e);
      up.emplace_back(std::get<0>(b.front()), 0, sum);
    }
    cur = std::move(up);
  }
  // Number the blocks: the root first, then each level below it.
  std::vector<std::vector<uint32_t>> numbers(blocks.size());
  uint32_t next = 1;
  for (size_t l = blocks.size(); l-- > 0;)
    for (size_t i = 0; i < blocks[l].size(); ++i) numbers[l].push_back(next++);
  for (size_t l = 1; l < blocks.size(); ++l) {
    size_t k = 0;
    for (auto& b : blocks[l])
      for (auto& e : b) std::get<1>(e) = numbers[l - 1][k++];
  }
  uint32_t total = next - 1;
  uint32_t entries = 0;
  for (auto& lv : blocks) for (auto& b : lv) entries += uint32_t(b.size());
  std::vector<uint8_t> hdr(2048, 0);
  Put16(&hdr[kHdrRecordSize], es);
  Put16(&hdr[kHdrHeaderSize], 2048);
  hdr[kHdrFileType] = layout.FileType;
  hdr[kHdrBlockSize] = uint8_t(layout.BlockSize / 1024);
  Put32(&hdr[kHdrRecords], entries);
  Put16(&hdr[kHdrBlocksUsed], total);
  Put16(&hdr[kHdrFileBlocks], total);
  Put16(&hdr[kHdrFirstBlock], 1);
  Put16(&hdr[kHdrLastBlock], total);
  Put16(&hdr[kHdrRootBlock], 1);
  hdr[kHdrLevels] = uint8_t(blocks.size());
  Put16(&hdr[kHdrFieldCount], layout.KeyFields);
  hdr[kHdrSortOrder] = uint8_t(layout.SortOrder);
  hdr[kHdrVersion] = layout.Version;
  Put16(&hdr[kHdrFileBlocks2], total);
  Put32(&hdr[kHdrEncryption1], layout.Checksum);
  size_t pos = kHdrFixedSizeV3;
  for (size_t i = 0; i < layout.Types.size(); ++i) { hdr[pos++] = layout.Types[i]; hdr[pos++] = layout.Sizes[i]; }
  pos += 4;
  std::memcpy(&hdr[pos], layout.TableName.data(), std::min<size_t>(layout.TableName.size(), 78));
  pos += layout.Version >= 12 ? 261 : 79;
  Put16(&hdr[kHdrUsedEnd], uint32_t(pos));
  TIndexOutput out(*layout.Env, layout.Path, layout.InPlace);
  TFile& f = out.File();
  f.WriteAt(0, hdr.data(), hdr.size());
  std::vector<uint8_t> blk(layout.BlockSize);
  for (size_t l = 0; l < blocks.size(); ++l) {
    for (size_t i = 0; i < blocks[l].size(); ++i) {
      std::fill(blk.begin(), blk.end(), 0);
      auto& b = blocks[l][i];
      Put16(&blk[kBlockNext], i + 1 < blocks[l].size() ? numbers[l][i + 1] : 0);
      Put16(&blk[kBlockPrev], i > 0 ? numbers[l][i - 1] : 0);
      Put16(&blk[kBlockLast], uint16_t((int(b.size()) - 1) * int(es)));
      for (size_t j = 0; j < b.size(); ++j) {
        uint8_t* e = &blk[kBlockData + j * es];
        std::memcpy(e, std::get<0>(b[j]).data(), keyLen);
        PutShort(e + keyLen, int16_t(std::get<1>(b[j])));
        PutShort(e + keyLen + 2, int16_t(std::min<uint32_t>(std::get<2>(b[j]), 32767)));
        PutShort(e + keyLen + 4, 0);
      }
      if (layout.Checksum) EncryptDbBlock(blk.data(), layout.BlockSize, layout.Checksum, numbers[l][i]);
      f.WriteAt(2048 + uint64_t(numbers[l][i] - 1) * layout.BlockSize, blk.data(), blk.size());
    }
  }
  out.Done(2048 + uint64_t(total) * layout.BlockSize, layout.Durable);
  out.Replace();
}

}  // namespace

// The .PX and the secondary indexes, kept up to date change by change when they can be, else
// rebuilt from a scan. With `durable` the files are synced, new names too, and then the header's
// flag is cleared; else the flag stays set until the writer makes them durable (FinishIndexes).
// A failure leaves the flag set and makes the next write rebuild every index whole.
void TPdxTableState::WriteIndexes(bool durable) {
  IndexesCurrent = false;
  if (!IsIndexFile) {
    // Over the old files once the header says, durably, that they are out of date.
    IndexesInPlace = IndexesOutOfDate();
    if (IndexesInPlace && Db.Syncs() < OutOfDateSynced) Db.Sync();
  }
  try {
    if (KeyLen) RebuildTree(durable);
    if (!Def.Indexes.empty()) {
      if (KeyLen && XValid && !FullRebuild) {
        for (auto& x : XStates) {
          x->H.AutoInc = H.AutoInc;  // an .X copies its table's autoincrement counter
          x->IndexDirty = x->HeaderDirty = true;
          x->IndexesInPlace = IndexesInPlace;
          x->Flush(durable);
        }
      } else {
        XStates.clear();
        XValid = false;
        RebuildSecondaries(durable);
        FullRebuild = false;
      }
    }
    if (!IsIndexFile) {
      if (durable) {
        SyncFolderIfNamed(*Env, Folder);
        if (SyncPending && HeaderDirty) {
          // The header held for the indexes, in one write with the flag cleared.
          HeaderBytes[kHdrIndexesOutOfDate] = 0;
          WriteHeader();
          HeaderDirty = false;
        } else {
          MarkIndexesOutOfDate(false);
        }
      } else {
        IndexesCurrent = true;
      }
    }
  } catch (...) {
    XStates.clear();
    XValid = false;
    FullRebuild = true;
    throw;
  }
}

// Rebuilds the .PX from the block chain and every secondary index from a full scan.
void TPdxTableState::RebuildIndexes(bool durable) {
  if (KeyLen) RebuildTree(durable);
  RebuildSecondaries(durable);
}

// Writes the B-tree (.PX, or the .Y of a secondary index) from the block map or the chain.
void TPdxTableState::RebuildTree(bool durable) {
  {
    // The block map holds every block's first key and count.
    LoadMap();
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> leaf;
    for (auto& e : Map) leaf.emplace_back(e.Key, e.Block, e.Count);
    TIndexFileSpec layout;
    layout.Env = Env;
    layout.Path = TreePath;
    layout.FileType = TreeFileType;
    layout.KeyFields = uint16_t(Def.KeyFieldCount);
    layout.Types.assign(H.Types.begin(), H.Types.begin() + Def.KeyFieldCount);
    layout.Sizes.assign(H.Sizes.begin(), H.Sizes.begin() + Def.KeyFieldCount);
    layout.BlockSize = H.BlockSize;
    layout.TableName = TreeName;
    layout.SortOrder = H.SortOrder;
    layout.Version = H.Version;
    layout.Checksum = Encrypted ? Checksum : 0;
    layout.Durable = durable;
    layout.InPlace = IndexesInPlace;
    WriteIndexTree(layout, KeyLen, leaf);
  }
}

std::string detail::YName(std::string name) {
  for (size_t i = name.size(); i-- > 0;)
    if (name[i] == '.') { if (i + 1 < name.size()) name[i + 1] = name[i + 1] == 'x' ? 'y' : 'Y'; break; }
  return name;
}

// The entry of secondary index i for a table record: the indexed fields, the primary key and the
// record's block number.
std::vector<uint8_t> TPdxTableState::XRecord(size_t i, const uint8_t* rec, uint32_t block) const {
  std::vector<uint8_t> x;
  for (int f : Def.Indexes[i].Fields) x.insert(x.end(), rec + Offsets[f], rec + Offsets[f] + Widths[f]);
  x.insert(x.end(), rec, rec + KeyLen);
  x.resize(x.size() + 2);
  PutShort(&x[x.size() - 2], int16_t(block));
  return x;
}

// Loads a secondary index file (.Xnn/.XGn of a keyed table) as a keyed file of its own.
void TPdxTableState::LoadIndexState(const std::string& path, uint8_t treeType) {
  IsIndexFile = true;
  DbPath = path;
  Db.Open(*Env, path, true);
  uint64_t size = Db.Size();
  HeaderBytes.resize(std::min<uint64_t>(size, 65536));
  HeaderBytes.resize(Db.ReadAt(0, HeaderBytes.data(), HeaderBytes.size()));
  H = ParseHeader(HeaderBytes.data(), HeaderBytes.size(), path);
  if (H.FileType != 5 && H.FileType != 8) throw EPdxCorrupt("Файл "_ansi + QuotePath(path) + " не является индексом таблицы с ключом"_ansi);
  if (H.HeaderSize > size) throw EPdxCorrupt("Файл "_ansi + QuotePath(path) + " обрезан"_ansi);
  Checksum = H.Checksum();
  Encrypted = H.Encrypted();
  HeaderBytes.resize(std::max<size_t>(H.HeaderSize, kHdrFixedSize));
  FileBlocksOnDisk = (size - H.HeaderSize) / H.BlockSize;
  Codec = &CodecFor(1251, "ancyrr", 12);
  int off = 0;
  for (int i = 0; i < H.NumFields; ++i) {
    Def.Fields.push_back(FieldFromHeader(H.Types[i], H.Sizes[i], ""));
    Offsets.push_back(off);
    Widths.push_back(FieldWidth(H.Types[i], H.Sizes[i]));
    off += Widths.back();
  }
  Def.KeyFieldCount = H.NumFields - 1;
  KeyLen = H.RecordSize - 2;
  PerBlock = int((H.BlockSize - kBlockData) / H.RecordSize);
  TreePath = (fs::path(path).parent_path() / YName(fs::path(path).filename().string())).string();
  TreeName = fs::path(TreePath).filename().string();
  TreeFileType = treeType;
}

// Whether this change can update the secondary indexes in place: outside a batch, on a keyed
// table whose index files load and match the table. Otherwise they are rebuilt at the flush.
bool TPdxTableState::PrepareX() {
  if (!KeyLen || Def.Indexes.empty()) return false;
  if (Batch > 0 || FullRebuild || IndexesBehind()) { FullRebuild = true; return false; }
  if (XValid) return true;
  XStates.clear();
  try {
    std::vector<uint8_t> probe(H.RecordSize, 0);
    for (size_t i = 0; i < Def.Indexes.size(); ++i) {
      auto& ix = Def.Indexes[i];
      auto x = std::make_unique<TPdxTableState>();
      x->Env = Env;
      x->Folder = Folder;
      x->LoadIndexState((fs::path(Folder) / ix.FileName).string(), ix.Composite ? 7 : 4);
      if (x->H.RecordSize != XRecord(i, probe.data(), 0).size()) throw EPdxCorrupt("Поля индекса "_ansi + QuotePath(x->DbPath) + " не совпадают с полями таблицы"_ansi);
      size_t k = 0;
      for (int f : ix.Fields) if (x->H.Types[k++] != H.Types[f]) throw EPdxCorrupt("Поля индекса "_ansi + QuotePath(x->DbPath) + " не совпадают с полями таблицы"_ansi);
      XStates.push_back(std::move(x));
    }
  } catch (const Exception&) {
    XStates.clear();
    FullRebuild = true;
    return false;
  }
  XValid = true;
  return true;
}

void TPdxTableState::XInsertAll(const uint8_t* rec, const TPlaced& placed) {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    std::vector<uint8_t> e = XRecord(i, rec, placed.Block);
    x.InsertKeyed(e);
    ++x.H.NumRecords;
    x.HeaderDirty = x.IndexDirty = true;
  }
  XRehintAll(placed.Moved);
}

// Records that moved to another block (a split, or the first block refilled) keep their index
// entries; only the block number in them changes.
void TPdxTableState::XRehintAll(const TMoved& moved) {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    for (auto& m : moved.Records) {
      std::vector<uint8_t> me = XRecord(i, reinterpret_cast<const uint8_t*>(m.data()), moved.To);
      TKeyPlace at;
      if (!x.Locate(me.data(), at) || !at.Found) throw EPdxCorrupt("В индексе "_ansi + QuotePath(x.DbPath) + " нет записи"_ansi);
      auto& blk = x.BlockForWrite(at.Block);
      PutShort(&blk[kBlockData + size_t(at.Slot) * x.H.RecordSize + x.KeyLen], int16_t(moved.To));
      x.HeaderDirty = true;
    }
  }
}

void TPdxTableState::XRemoveAll(const uint8_t* rec) {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    std::vector<uint8_t> e = XRecord(i, rec, 0);
    TKeyPlace at;
    if (!x.Locate(e.data(), at) || !at.Found) throw EPdxCorrupt("В индексе "_ansi + QuotePath(x.DbPath) + " нет записи"_ansi);
    x.RemoveAt({at.Block, at.Slot});
  }
}

namespace {

// The record layout of a secondary index's .X file: the indexed fields, then the primary key (a
// keyed table) or the record's number (an unkeyed one), the block number and (unkeyed) the slot.
struct TSecondaryLayout {
  std::vector<uint8_t> Types, Sizes;
  std::vector<std::string> Names;
  std::vector<uint16_t> Numbers;
  std::vector<std::pair<int, int>> Source;  // (offset, width) in the table record, field by field
  bool Keyed = false;
  int EntrySize = 0;
  uint32_t BlockSize = 0;                   // the table's, doubled until two entries fit

  void Add(uint8_t type, uint8_t size, std::string name) {
    Types.push_back(type);
    Sizes.push_back(size);
    Names.push_back(std::move(name));
    Numbers.push_back(uint16_t(Numbers.size() + 1));
  }
};

TSecondaryLayout SecondaryLayout(const TPdxTableState& s, const TPdxIndexDef& ix) {
  TSecondaryLayout x;
  x.Keyed = s.KeyLen != 0;
  auto copyField = [&](int f) {
    x.Add(s.H.Types[f], s.H.Sizes[f], s.Codec->Encode(s.Def.Fields[f].Name));
    x.Source.emplace_back(s.Offsets[f], s.Widths[f]);
  };
  for (int f : ix.Fields) copyField(f);
  // The index's own fields keep their numbers in the table.
  for (size_t i = 0; i < ix.Fields.size(); ++i) x.Numbers[i] = uint16_t(ix.Fields[i] + 1);
  if (x.Keyed) {
    for (int f = 0; f < s.Def.KeyFieldCount; ++f) copyField(f);
  } else {
    x.Add(0x04, 4, "Tup No");
  }
  x.Add(0x03, 2, "Blk Num");
  if (!x.Keyed) x.Add(0x03, 2, "Tup Offset");
  for (size_t i = 0; i < x.Types.size(); ++i) x.EntrySize += FieldWidth(x.Types[i], x.Sizes[i]);
  x.BlockSize = s.H.BlockSize;
  while (x.BlockSize - kBlockData < uint32_t(x.EntrySize) * 2 && x.BlockSize < 32768) x.BlockSize *= 2;
  return x;
}

// Entries of one size sorted in bounded memory: a run's worth is sorted in memory; past that each
// full run is sorted into a run file, and the runs are merged as they are read back. The run files
// go however the sort ends.
class TEntrySorter {
 public:
  TEntrySorter(TPdxEnv& env, std::string runPrefix, size_t entrySize)
      : FEnv(env), FPrefix(std::move(runPrefix)), FSize(entrySize), FRunLimit(std::max<size_t>(1024, (8u << 20) / entrySize)),
        FMerge(entrySize, entrySize) {}

  // Room for the next entry, to be filled before the next call.
  uint8_t* Add() {
    if (FFlat.size() >= FRunLimit * FSize) SpillRun();
    size_t at = FFlat.size();
    FFlat.resize(at + FSize);
    ++FCount;
    return reinterpret_cast<uint8_t*>(&FFlat[at]);
  }
  size_t Count() const { return FCount; }
  // Ends the adding; Peek and Pop then give the entries in order.
  void Finish() {
    if (!FRuns.empty() && !FFlat.empty()) SpillRun();
    if (FRuns.empty()) {
      SortRun();
      FMerge.Add(reinterpret_cast<const uint8_t*>(FFlat.data()), std::move(FOrder));
    }
    for (const auto& run : FRuns) FMerge.Add(*run);
    FMerge.Start();
  }
  // The lowest entry not yet taken (valid until Pop); null at the end.
  const uint8_t* Peek() const { return FMerge.Peek(); }
  void Pop() { FMerge.Pop(); }
  // Removes the run files once every entry is taken.
  void RemoveRuns() { FRuns.clear(); }

 private:
  // Sorts the run's entries. Only the byte places where entries differ decide their order: those
  // bytes of each entry, taken eight at a time as numbers (its key), are sorted instead of the
  // entries.
  void SortRun() {
    const size_t count = FFlat.size() / FSize;
    FOrder.resize(count);
    for (size_t i = 0; i < count; ++i) FOrder[i] = uint32_t(i);
    if (count < 2) return;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(FFlat.data());
    std::vector<uint8_t> differs(FSize, 0);
    for (size_t i = 1; i < count; ++i)
      for (size_t b = 0; b < FSize; ++b) differs[b] |= uint8_t(base[i * FSize + b] ^ base[b]);
    std::vector<size_t> places;
    for (size_t b = 0; b < FSize; ++b)
      if (differs[b]) places.push_back(b);
    const size_t words = (places.size() + 7) / 8;
    switch (words) {
      case 0:
      case 1: return SortKeys<1>(places);
      case 2: return SortKeys<2>(places);
      case 3: return SortKeys<3>(places);
      case 4: return SortKeys<4>(places);
    }
    std::vector<uint64_t> keys(count * words);
    for (size_t i = 0; i < count; ++i) EntryKey(i, places, &keys[i * words]);
    std::sort(FOrder.begin(), FOrder.end(), [&](uint32_t a, uint32_t b) {
      const uint64_t *x = &keys[size_t(a) * words], *y = &keys[size_t(b) * words];
      for (size_t w = 0; w < words; ++w)
        if (x[w] != y[w]) return x[w] < y[w];
      return false;
    });
  }
  // Entry i's key: its bytes at `places`, eight to a word, the first in a word's high byte.
  void EntryKey(size_t i, const std::vector<size_t>& places, uint64_t* key) const {
    const uint8_t* e = reinterpret_cast<const uint8_t*>(FFlat.data()) + i * FSize;
    std::fill_n(key, (places.size() + 7) / 8, 0);
    for (size_t j = 0; j < places.size(); ++j) key[j / 8] |= uint64_t(e[places[j]]) << (56 - 8 * (j % 8));
  }
  // Keys of at most W words are sorted beside the entries' numbers.
  template <size_t W> void SortKeys(const std::vector<size_t>& places) {
    std::vector<std::pair<std::array<uint64_t, W>, uint32_t>> items(FOrder.size());
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].first.fill(0);
      EntryKey(i, places, items[i].first.data());
      items[i].second = uint32_t(i);
    }
    std::sort(items.begin(), items.end());
    for (size_t i = 0; i < items.size(); ++i) FOrder[i] = items[i].second;
  }
  void SpillRun() {
    SortRun();
    auto run = std::make_unique<TRunFile>(FEnv, FPrefix + std::to_string(FRuns.size()), FSize);
    for (uint32_t i : FOrder) run->Append(&FFlat[size_t(i) * FSize]);
    run->Finish();
    FRuns.push_back(std::move(run));
    FFlat.clear();
  }

  TPdxEnv& FEnv;
  std::string FPrefix;
  size_t FSize, FRunLimit, FCount = 0;
  std::string FFlat;             // entries of the run now filling, back to back
  std::vector<uint32_t> FOrder;  // their sorted order
  std::vector<std::unique_ptr<TRunFile>> FRuns;
  TRunMerge FMerge;
};

// Every record's entry, in chain order, each into the room out.Add() gives.
template <class TSink> void ScanSecondaryEntries(TPdxTableState& s, const TSecondaryLayout& x, TSink& out) {
  uint32_t tup = 0;
  s.ForEachBlock([&](uint32_t n, const uint8_t* b, int count) {
    for (int slot = 0; slot < count; ++slot, ++tup) {
      const uint8_t* r = b + kBlockData + size_t(slot) * s.H.RecordSize;
      uint8_t* e = out.Add();
      for (auto& [off, w] : x.Source) {
        std::memcpy(e, r + off, w);
        e += w;
      }
      if (!x.Keyed) { PutLong(e, int32_t(tup)); e += 4; }
      PutShort(e, int16_t(n));
      if (!x.Keyed) PutShort(e + 2, int16_t(slot));
    }
  });
}

// The .X header for `count` entries in `blocks` blocks.
std::vector<uint8_t> SecondaryHeader(const TPdxTableState& s, const TPdxIndexDef& ix, const TSecondaryLayout& x,
                                     uint32_t count, uint32_t blocks) {
  uint8_t type = x.Keyed ? (ix.Composite ? 8 : 5) : (ix.Composite ? 6 : 3);
  std::vector<uint8_t> hdr = BuildDbHeader(type, x.BlockSize, x.Types, x.Sizes, x.Names, uint16_t(x.Types.size() - 1),
                                           fs::path(ix.FileName).filename().string(), s.Encrypted ? s.Checksum : 0,
                                           x.Numbers, ix.Composite ? s.Codec->Encode(ix.Name) : std::string(),
                                           s.H.SortOrder, s.H.CodePage ? s.H.CodePage : uint16_t(1251),
                                           s.H.SortOrderId.empty() ? std::string("ancyrr") : s.H.SortOrderId);
  hdr[kHdrIndexField] = uint8_t(ix.Fields[0] + 1);
  hdr[0x2C] = 0xFF;  // as in every BDE-made .X seen
  Put32(&hdr[kHdrAutoInc], s.H.AutoInc);
  hdr[kHdrUnique] = ix.Unique ? 1 : 0;
  Put32(&hdr[kHdrRecords], count);
  Put16(&hdr[kHdrBlocksUsed], blocks);
  Put16(&hdr[kHdrFileBlocks], blocks);
  Put16(&hdr[kHdrFileBlocks2], blocks);
  Put16(&hdr[kHdrFirstBlock], blocks ? 1 : 0);
  Put16(&hdr[kHdrLastBlock], blocks);
  return hdr;
}

// Writes the sorted entries as the .X file (TIndexOutput) and its .Y tree.
void WriteSecondaryFile(TPdxTableState& s, const TPdxIndexDef& ix, const TSecondaryLayout& x, TEntrySorter& entries,
                        bool durable, bool inPlace) {
  const std::string path = (fs::path(s.Folder) / ix.FileName).string();
  const uint32_t es = uint32_t(x.EntrySize), per = (x.BlockSize - kBlockData) / es;
  const uint32_t total = uint32_t(entries.Count());
  const uint32_t blocks = uint32_t((uint64_t(total) + per - 1) / per);
  if (blocks > 0xFFFF) throw EPdxError("Индекс "_ansi + QuotePath(path) + " не помещается в 65535 блоков"_ansi);
  std::vector<uint8_t> hdr = SecondaryHeader(s, ix, x, total, blocks);
  TIndexOutput out(*s.Env, path, inPlace);
  TFile& f = out.File();
  f.WriteAt(0, hdr.data(), hdr.size());
  std::vector<uint8_t> xb(x.BlockSize);
  std::vector<std::tuple<std::string, uint32_t, uint32_t>> leaf;
  const int keyLen = x.EntrySize - 2;
  for (uint32_t k = 0; k < blocks; ++k) {
    std::fill(xb.begin(), xb.end(), 0);
    uint32_t cnt = 0;
    for (const uint8_t* e; cnt < per && (e = entries.Peek()); entries.Pop()) std::memcpy(&xb[kBlockData + size_t(cnt++) * es], e, es);
    Put16(&xb[kBlockNext], k + 1 < blocks ? k + 2 : 0);
    Put16(&xb[kBlockPrev], k);
    Put16(&xb[kBlockLast], uint16_t(int(cnt - 1) * int(es)));
    leaf.emplace_back(std::string(reinterpret_cast<const char*>(&xb[kBlockData]), keyLen), k + 1, cnt);
    if (s.Encrypted) EncryptDbBlock(xb.data(), x.BlockSize, s.Checksum, k + 1);
    f.WriteAt(hdr.size() + uint64_t(k) * x.BlockSize, xb.data(), x.BlockSize);
  }
  entries.RemoveRuns();
  // A new file replacing the old is synced whatever `durable` says: the .X alone says which
  // fields the index has, so it is never left to a power cut. (Written over the old, those bytes
  // stay as they were. A table being made syncs it with the rest of its family, before its .DB has
  // a name.)
  const uint64_t size = hdr.size() + uint64_t(blocks) * x.BlockSize;
  if (s.Creating) {
    f.StartSync();
    s.ToSync.push_back(path);
    out.Done(size, false);
  } else {
    out.Done(size, durable || !out.InPlace());
  }
  TIndexFileSpec tree;
  tree.Env = s.Env;
  const std::string yname = YName(ix.FileName);
  tree.Path = (fs::path(s.Folder) / yname).string();
  tree.FileType = ix.Composite ? 7 : 4;
  tree.KeyFields = uint16_t(x.Types.size() - 1);
  tree.Types.assign(x.Types.begin(), x.Types.end() - 1);
  tree.Sizes.assign(x.Sizes.begin(), x.Sizes.end() - 1);
  tree.BlockSize = x.BlockSize;
  tree.TableName = yname;
  tree.SortOrder = s.H.SortOrder;
  tree.Version = 12;
  tree.Checksum = s.Encrypted ? s.Checksum : 0;
  tree.Durable = durable;
  tree.InPlace = inPlace;
  WriteIndexTree(tree, keyLen, leaf);
  out.Replace();
}

}  // namespace

// Rebuilds every secondary index from a full scan of the table: the entries are collected and
// sorted (in runs spilled to temporary files when many), then merged straight into the .X blocks.
void TPdxTableState::RebuildSecondaries(bool durable) {
  for (auto& ix : Def.Indexes) {
    const TSecondaryLayout layout = SecondaryLayout(*this, ix);
    TEntrySorter entries(*Env, (fs::path(Folder) / ix.FileName).string() + ".run", size_t(layout.EntrySize));
    ScanSecondaryEntries(*this, layout, entries);
    entries.Finish();
    WriteSecondaryFile(*this, ix, layout, entries, durable, IndexesInPlace);
  }
}

std::string TPdxTableState::SecondaryEntries(const TPdxIndexDef& ix, size_t& entrySize) {
  const TSecondaryLayout layout = SecondaryLayout(*this, ix);
  struct TFlat {
    std::string Bytes;
    size_t Size;
    uint8_t* Add() {
      Bytes.resize(Bytes.size() + Size);
      return reinterpret_cast<uint8_t*>(&Bytes[Bytes.size() - Size]);
    }
  } flat{{}, size_t(layout.EntrySize)};
  ScanSecondaryEntries(*this, layout, flat);
  entrySize = flat.Size;
  return std::move(flat.Bytes);
}

}  // namespace paradox
