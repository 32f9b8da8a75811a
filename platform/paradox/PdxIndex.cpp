// The B-trees and the secondary indexes of the Paradox engine. A keyed table's .PX (and a
// secondary index's .Ynn/.YGn) is rewritten whole from the block map, one level-1 entry per data
// block. A secondary index's .Xnn/.XGn is kept up to date change by change outside batches (held
// as a keyed file of its own, XStates); otherwise it is rebuilt from a scan of the table, its
// entries sorted in bounded memory. A file rewritten whole goes through a temporary file.
#include <algorithm>
#include <tuple>

#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox {

using namespace detail;

namespace detail {

void ParseIndexFile(const std::string& path, const TPdxTableDef& def, const TCodec& codec,
                    std::vector<TPdxIndexDef>& out) {
  TFile f;
  f.Open(path, false);
  std::vector<uint8_t> h(std::min<uint64_t>(f.Size(), 65536));
  h.resize(f.ReadAt(0, h.data(), h.size()));
  THeader x = ParseHeader(h.data(), h.size(), path);
  if (x.FileType != 3 && x.FileType != 5 && x.FileType != 6 && x.FileType != 8)
    throw EPdxCorrupt("Paradox index " + Quote(path) + " is damaged: file type " + std::to_string(x.FileType) + " is not a secondary index");
  int extra = (x.FileType == 3 || x.FileType == 6) ? 3 : def.KeyFieldCount + 1;
  int m = int(x.NumFields) - extra;
  if (m < 1 || int(x.FieldNumbers.size()) < m)
    throw EPdxCorrupt("Paradox index " + Quote(path) + " is damaged: it has no indexed fields");
  TPdxIndexDef ix;
  for (int i = 0; i < m; ++i) {
    int fn = x.FieldNumbers[i];
    if (fn < 1 || fn > int(def.Fields.size()))
      throw EPdxCorrupt("Paradox index " + Quote(path) + " is damaged: field number " + std::to_string(fn) + " is out of range");
    ix.Fields.push_back(fn - 1);
  }
  ix.Composite = x.FileType == 6 || x.FileType == 8;
  ix.Name = ix.Composite ? codec.Decode(x.IndexName.data(), x.IndexName.size()) : def.Fields[ix.Fields[0]].Name;
  ix.Unique = h.size() > 0x57 && h[0x57] == 1;
  ix.FileName = fs::path(path).filename().string();
  out.push_back(std::move(ix));
}

// A .DB-format header (tables and secondary .X files) at Paradox 7 level.
std::vector<uint8_t> BuildDbHeader(uint8_t fileType, uint32_t blockSize, const std::vector<uint8_t>& types,
                                   const std::vector<uint8_t>& sizes, const std::vector<std::string>& names,
                                   uint16_t keyFields, const std::string& tableName, uint32_t checksum,
                                   const std::vector<uint16_t>& fieldNumbers, const std::string& indexName,
                                   uint8_t sortOrder, uint16_t codePage, const std::string& sortId) {
  size_t nf = types.size();
  size_t need = 0x78 + 2 * nf + 4 + 4 * nf + 261 + 2 * nf + 2 + sortId.size() + indexName.size();
  for (auto& n : names) need += n.size() + 1;
  size_t hs = (need + 2047) / 2048 * 2048;
  std::vector<uint8_t> h(hs, 0);
  int rs = 0;
  for (size_t i = 0; i < nf; ++i) rs += FieldWidth(types[i], sizes[i]);
  Put16(&h[0], rs);
  Put16(&h[2], uint32_t(hs));
  h[4] = fileType;
  h[5] = uint8_t(blockSize / 1024);
  Put16(&h[0x12], fileType == 0 || fileType == 2 ? 3 : 5);
  Put16(&h[0x21], uint32_t(nf));
  Put16(&h[0x23], keyFields);
  Put32(&h[0x25], 0xFF00FF00u);
  h[0x29] = sortOrder;  // new tables: 0x8F, "Pdox ANSI Cyrillic"
  h[0x2D] = 1;
  h[0x2E] = 1;
  h[0x39] = 12;
  if (checksum == 0) { h[0x3E] = 0x1F; h[0x3F] = 0x0F; }
  h[0x56] = 0x20;
  Put16(&h[0x58], 0x010C);
  Put16(&h[0x5A], 0x010C);
  Put32(&h[0x5C], checksum);
  Put16(&h[0x64], uint32_t(nf + 1));
  Put16(&h[0x6A], codePage);
  h[0x6C] = 1; h[0x6D] = 1;
  size_t pos = 0x78;
  for (size_t i = 0; i < nf; ++i) { h[pos++] = types[i]; h[pos++] = sizes[i]; }
  pos += 4 + 4 * nf;
  std::memcpy(&h[pos], tableName.data(), std::min<size_t>(tableName.size(), 260));
  pos += 261;
  for (auto& n : names) { std::memcpy(&h[pos], n.data(), n.size()); pos += n.size() + 1; }
  for (size_t i = 0; i < nf; ++i) { Put16(&h[pos], fieldNumbers[i]); pos += 2; }
  std::memcpy(&h[pos], sortId.data(), std::min<size_t>(sortId.size(), 31));
  pos += std::min<size_t>(sortId.size(), 31) + 1;
  if (!indexName.empty()) { std::memcpy(&h[pos], indexName.data(), indexName.size()); pos += indexName.size() + 1; }
  Put16(&h[0x51], uint32_t(pos));
  return h;
}

}  // namespace detail

namespace {

struct TIndexFileSpec {
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
};

// Writes a PX/Y file (through a temporary file, gone again when anything fails) from level-1
// entries (key bytes + data block + record count), building as many levels as needed. The root is
// block 1.
void WriteIndexTree(const TIndexFileSpec& layout, int keyLen,
                    const std::vector<std::tuple<std::string, uint32_t, uint32_t>>& leaf) {
  const uint32_t es = uint32_t(keyLen + 6);
  const uint32_t per = (layout.BlockSize - 6) / es;
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
  Put16(&hdr[0], es);
  Put16(&hdr[2], 2048);
  hdr[4] = layout.FileType;
  hdr[5] = uint8_t(layout.BlockSize / 1024);
  Put32(&hdr[6], entries);
  Put16(&hdr[0x0A], total);
  Put16(&hdr[0x0C], total);
  Put16(&hdr[0x0E], 1);
  Put16(&hdr[0x10], total);
  Put16(&hdr[0x1E], 1);
  hdr[0x20] = uint8_t(blocks.size());
  Put16(&hdr[0x21], layout.KeyFields);
  hdr[0x29] = uint8_t(layout.SortOrder);
  hdr[0x39] = layout.Version;
  Put16(&hdr[0x3A], total);
  Put32(&hdr[0x25], layout.Checksum);
  size_t pos = 0x58;
  for (size_t i = 0; i < layout.Types.size(); ++i) { hdr[pos++] = layout.Types[i]; hdr[pos++] = layout.Sizes[i]; }
  pos += 4;
  std::memcpy(&hdr[pos], layout.TableName.data(), std::min<size_t>(layout.TableName.size(), 78));
  pos += layout.Version >= 12 ? 261 : 79;
  Put16(&hdr[0x51], uint32_t(pos));
  TTempFile tmp(layout.Path);
  TFile f;
  f.Create(tmp.Path);
  f.WriteAt(0, hdr.data(), hdr.size());
  std::vector<uint8_t> blk(layout.BlockSize);
  for (size_t l = 0; l < blocks.size(); ++l) {
    for (size_t i = 0; i < blocks[l].size(); ++i) {
      std::fill(blk.begin(), blk.end(), 0);
      auto& b = blocks[l][i];
      Put16(&blk[0], i + 1 < blocks[l].size() ? numbers[l][i + 1] : 0);
      Put16(&blk[2], i > 0 ? numbers[l][i - 1] : 0);
      Put16(&blk[4], uint16_t((int(b.size()) - 1) * int(es)));
      for (size_t j = 0; j < b.size(); ++j) {
        uint8_t* e = &blk[6 + j * es];
        std::memcpy(e, std::get<0>(b[j]).data(), keyLen);
        PutShort(e + keyLen, int16_t(std::get<1>(b[j])));
        PutShort(e + keyLen + 2, int16_t(std::min<uint32_t>(std::get<2>(b[j]), 32767)));
        PutShort(e + keyLen + 4, 0);
      }
      if (layout.Checksum) EncryptDbBlock(blk.data(), layout.BlockSize, layout.Checksum, numbers[l][i]);
      f.WriteAt(2048 + uint64_t(numbers[l][i] - 1) * layout.BlockSize, blk.data(), blk.size());
    }
  }
  if (layout.Durable) f.Sync();
  f.Close();
  tmp.Replace("Paradox index");
}

}  // namespace

// The .PX and the secondary indexes, kept up to date change by change when they can be, else
// rebuilt from a scan; then the header's flag is cleared. A failure leaves the flag set and makes
// the next write rebuild every index whole.
void TPdxTableState::WriteIndexes(bool durable) {
  try {
    if (KeyLen) RebuildTree(durable);
    if (!Def.Indexes.empty()) {
      if (KeyLen && XValid && !FullRebuild) {
        for (auto& x : XStates) {
          x->H.AutoInc = H.AutoInc;  // an .X copies its table's autoincrement counter
          x->IndexDirty = x->HeaderDirty = true;
          x->Flush(durable);
        }
      } else {
        XStates.clear();
        XValid = false;
        RebuildSecondaries(durable);
        FullRebuild = false;
      }
    }
    if (!IsIndexFile) MarkIndexesOutOfDate(false);
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
  std::vector<uint8_t> b(H.BlockSize);
  {
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> leaf;
    uint32_t n = H.NumRecords == 0 && H.FirstBlock == 0 ? 0 : H.FirstBlock;
    size_t guard = 0;
    if (MapLoaded) {
      // The block map already holds every block's first key and count.
      for (auto& e : Map) leaf.emplace_back(e.Key, e.Block, e.Count);
      n = 0;
    }
    while (n) {
      if (++guard > FileBlocksOnDisk + Dirty.size() + 1) Corrupt("the block chain loops");
      ReadBlock(n, b.data());
      int c = CountIn(b.data(), n);
      if (c > 0) leaf.emplace_back(std::string(reinterpret_cast<char*>(&b[6]), KeyLen), n, uint32_t(c));
      n = Get16(b.data());
    }
    TIndexFileSpec layout;
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
    WriteIndexTree(layout, KeyLen, leaf);
  }
}

static std::string YName(std::string name) {
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
  DbPath = path;
  Db.Open(path, true);
  uint64_t size = Db.Size();
  HeaderBytes.resize(std::min<uint64_t>(size, 65536));
  HeaderBytes.resize(Db.ReadAt(0, HeaderBytes.data(), HeaderBytes.size()));
  H = ParseHeader(HeaderBytes.data(), HeaderBytes.size(), path);
  if (H.FileType != 5 && H.FileType != 8) throw EPdxCorrupt("Paradox index " + Quote(path) + " is not a maintained index");
  if (H.HeaderSize > size) throw EPdxCorrupt("Paradox index " + Quote(path) + " is truncated");
  Checksum = H.Checksum();
  Encrypted = H.Encrypted();
  HeaderBytes.resize(std::max<size_t>(H.HeaderSize, 0x78));
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
  PerBlock = int((H.BlockSize - 6) / H.RecordSize);
  TreePath = (fs::path(path).parent_path() / YName(fs::path(path).filename().string())).string();
  TreeName = fs::path(TreePath).filename().string();
  TreeFileType = treeType;
}

// Whether this change can update the secondary indexes in place: outside a batch, on a keyed
// table whose index files load and match the table. Otherwise they are rebuilt at the flush.
bool TPdxTableState::PrepareX() {
  if (!KeyLen || Def.Indexes.empty()) return false;
  if (Batch > 0 || FullRebuild || IndexesOutOfDate()) { FullRebuild = true; return false; }
  if (XValid) return true;
  XStates.clear();
  try {
    std::vector<uint8_t> probe(H.RecordSize, 0);
    for (size_t i = 0; i < Def.Indexes.size(); ++i) {
      auto& ix = Def.Indexes[i];
      auto x = std::make_unique<TPdxTableState>();
      x->Folder = Folder;
      x->LoadIndexState((fs::path(Folder) / ix.FileName).string(), ix.Composite ? 7 : 4);
      if (x->H.RecordSize != XRecord(i, probe.data(), 0).size()) throw EPdxCorrupt("layout");
      size_t k = 0;
      for (int f : ix.Fields) if (x->H.Types[k++] != H.Types[f]) throw EPdxCorrupt("layout");
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

void TPdxTableState::XInsertAll(const uint8_t* rec) {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    std::vector<uint8_t> e = XRecord(i, rec, LastInsertBlock);
    x.InsertKeyed(e);
    ++x.H.NumRecords;
    x.HeaderDirty = x.IndexDirty = true;
  }
  XRehintAll();
}

// Records that moved to another block (a split, or the first block refilled) keep their index
// entries; only the block number in them changes.
void TPdxTableState::XRehintAll() {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    for (auto& m : MovedRecs) {
      std::vector<uint8_t> me = XRecord(i, reinterpret_cast<const uint8_t*>(m.data()), MovedTo);
      TKeyPlace at;
      if (!x.Locate(me.data(), at) || !at.Found) throw EPdxCorrupt("index entry not found");
      auto& blk = x.BlockForWrite(at.Block);
      PutShort(&blk[6 + size_t(at.Slot) * x.H.RecordSize + x.KeyLen], int16_t(MovedTo));
      x.HeaderDirty = true;
    }
  }
  MovedRecs.clear();
}

void TPdxTableState::XRemoveAll(const uint8_t* rec) {
  for (size_t i = 0; i < XStates.size(); ++i) {
    auto& x = *XStates[i];
    std::vector<uint8_t> e = XRecord(i, rec, 0);
    TKeyPlace at;
    if (!x.Locate(e.data(), at) || !at.Found) throw EPdxCorrupt("index entry not found");
    x.RemoveAt({at.Block, at.Slot});
  }
}

// Rebuilds every secondary index from a full scan of the table.
void TPdxTableState::RebuildSecondaries(bool durable) {
  std::vector<uint8_t> b(H.BlockSize);
  const uint32_t rs = H.RecordSize;
  for (auto& ix : Def.Indexes) {
    // Record layout of the .X file.
    std::vector<uint8_t> types, sizes;
    std::vector<std::string> names;
    std::vector<uint16_t> numbers;
    std::vector<std::pair<int, int>> src;  // (offset, width) in the table record
    for (int f : ix.Fields) {
      types.push_back(H.Types[f]); sizes.push_back(H.Sizes[f]);
      names.push_back(Codec->Encode(Def.Fields[f].Name));
      numbers.push_back(uint16_t(f + 1));
      src.emplace_back(Offsets[f], Widths[f]);
    }
    bool keyed = KeyLen != 0;
    if (keyed) {
      for (int f = 0; f < Def.KeyFieldCount; ++f) {
        types.push_back(H.Types[f]); sizes.push_back(H.Sizes[f]);
        names.push_back(Codec->Encode(Def.Fields[f].Name));
        numbers.push_back(uint16_t(numbers.size() + 1));
        src.emplace_back(Offsets[f], Widths[f]);
      }
    } else {
      types.push_back(0x04); sizes.push_back(4); names.push_back("Tup No"); numbers.push_back(uint16_t(numbers.size() + 1));
    }
    types.push_back(0x03); sizes.push_back(2); names.push_back("Blk Num"); numbers.push_back(uint16_t(numbers.size() + 1));
    if (!keyed) { types.push_back(0x03); sizes.push_back(2); names.push_back("Tup Offset"); numbers.push_back(uint16_t(numbers.size() + 1)); }
    int xrs = 0;
    for (size_t i = 0; i < types.size(); ++i) xrs += FieldWidth(types[i], sizes[i]);
    uint32_t xbs = H.BlockSize;
    while (xbs - 6 < uint32_t(xrs) * 2 && xbs < 32768) xbs *= 2;
    // Collect the entries, sorting them in runs of bounded memory spilled to temporary files,
    // then merge the runs straight into the .X blocks.
    const size_t runLimit = std::max<size_t>(1024, (8u << 20) / size_t(xrs));
    std::string xpath = (fs::path(Folder) / ix.FileName).string();
    std::vector<std::string> runs;
    // The run files go however the rebuild ends.
    struct TRunFiles {
      std::vector<std::string>& Paths;
      ~TRunFiles() {
        for (auto& rp : Paths) { std::error_code ec; fs::remove(rp, ec); }
      }
    } runFiles{runs};
    std::string flat;            // entries of the current run, back to back
    std::vector<uint32_t> order;  // their sorted order
    auto sortRun = [&]() {
      order.resize(flat.size() / xrs);
      for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
      const char* base = flat.data();
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t c) {
        return std::memcmp(base + size_t(a) * xrs, base + size_t(c) * xrs, xrs) < 0;
      });
    };
    auto spill = [&]() {
      sortRun();
      std::string rp = xpath + ".run" + std::to_string(runs.size());
      TFile rf;
      rf.Create(rp);
      std::string buf;
      uint64_t at = 0;
      for (uint32_t i : order) {
        buf.append(flat, size_t(i) * xrs, xrs);
        if (buf.size() >= (1u << 20)) { rf.WriteAt(at, buf.data(), buf.size()); at += buf.size(); buf.clear(); }
      }
      rf.WriteAt(at, buf.data(), buf.size());
      runs.push_back(rp);
      flat.clear();
    };
    uint32_t n = H.NumRecords == 0 && H.FirstBlock == 0 ? 0 : H.FirstBlock;
    size_t guard = 0;
    uint32_t tup = 0;
    uint32_t total = 0;
    try {
      while (n) {
        if (++guard > FileBlocksOnDisk + Dirty.size() + 1) Corrupt("the block chain loops");
        ReadBlock(n, b.data());
        int c = CountIn(b.data(), n);
        for (int s = 0; s < c; ++s, ++tup) {
          const uint8_t* r = &b[6 + size_t(s) * rs];
          size_t o = flat.size();
          flat.resize(o + size_t(xrs));
          uint8_t* x = reinterpret_cast<uint8_t*>(&flat[o]);
          o = 0;
          for (auto& [off, w] : src) { std::memcpy(x + o, r + off, w); o += w; }
          if (!keyed) { PutLong(x + o, int32_t(tup)); o += 4; }
          PutShort(x + o, int16_t(n)); o += 2;
          if (!keyed) { PutShort(x + o, int16_t(s)); o += 2; }
          ++total;
          if (flat.size() >= runLimit * size_t(xrs)) spill();
        }
        n = Get16(b.data());
      }
      if (!runs.empty() && !flat.empty()) spill();
      if (runs.empty()) sortRun();
    } catch (...) {
      for (auto& rp : runs) { std::error_code ec; fs::remove(rp, ec); }
      throw;
    }
    // The source of sorted entries: the in-memory vector, or a merge of the runs.
    // Each run is read a piece at a time; Cur is its next entry.
    struct TRun { TFile F; uint64_t Pos = 0, Size = 0; std::string Buf; size_t At = 0; const char* Cur = nullptr; };
    std::vector<std::unique_ptr<TRun>> open;
    auto cmp = [&](size_t a, size_t b2) { return std::memcmp(open[a]->Cur, open[b2]->Cur, xrs) > 0; };
    std::vector<size_t> heap;
    const size_t piece = std::max<size_t>(1, (256u << 10) / size_t(xrs)) * size_t(xrs);
    auto advance = [&](size_t i) {
      TRun& r = *open[i];
      if (r.At + xrs > r.Buf.size()) {
        if (r.Pos + xrs > r.Size) return false;
        r.Buf.resize(size_t(std::min<uint64_t>(piece, (r.Size - r.Pos) / xrs * xrs)));
        r.F.ReadAt(r.Pos, r.Buf.data(), r.Buf.size());
        r.Pos += r.Buf.size();
        r.At = 0;
      }
      r.Cur = r.Buf.data() + r.At;
      r.At += xrs;
      return true;
    };
    for (auto& rp : runs) {
      auto r = std::make_unique<TRun>();
      r->F.Open(rp, false);
      r->Size = r->F.Size();
      open.push_back(std::move(r));
      if (advance(open.size() - 1)) heap.push_back(open.size() - 1);
    }
    std::make_heap(heap.begin(), heap.end(), cmp);
    size_t memPos = 0;
    std::string cur;
    auto nextRec = [&]() -> bool {
      if (runs.empty()) {
        if (memPos >= order.size()) return false;
        cur.assign(flat, size_t(order[memPos++]) * xrs, xrs);
        return true;
      }
      if (heap.empty()) return false;
      std::pop_heap(heap.begin(), heap.end(), cmp);
      size_t i = heap.back();
      cur.assign(open[i]->Cur, xrs);
      if (advance(i)) std::push_heap(heap.begin(), heap.end(), cmp); else heap.pop_back();
      return true;
    };
    uint8_t ftype = keyed ? (ix.Composite ? 8 : 5) : (ix.Composite ? 6 : 3);
    std::vector<uint8_t> hdr = BuildDbHeader(ftype, xbs, types, sizes, names, uint16_t(types.size() - 1),
                                             fs::path(ix.FileName).filename().string(), Encrypted ? Checksum : 0, numbers,
                                             ix.Composite ? Codec->Encode(ix.Name) : std::string(), H.SortOrder,
                                             H.CodePage ? H.CodePage : uint16_t(1251),
                                             H.SortOrderId.empty() ? std::string("ancyrr") : H.SortOrderId);
    hdr[0x15] = uint8_t(ix.Fields[0] + 1);
    hdr[0x2C] = 0xFF;  // as in every BDE-made .X seen
    Put32(&hdr[0x49], H.AutoInc);
    hdr[0x57] = ix.Unique ? 1 : 0;
    uint32_t per = (xbs - 6) / uint32_t(xrs);
    uint32_t nblocks = uint32_t((uint64_t(total) + per - 1) / per);
    if (nblocks > 0xFFFF) throw EPdxError("Paradox index " + Quote(xpath) + " would need more than 65535 blocks");
    Put32(&hdr[6], total);
    Put16(&hdr[0x0A], nblocks); Put16(&hdr[0x0C], nblocks); Put16(&hdr[0x3A], nblocks);
    Put16(&hdr[0x0E], nblocks ? 1 : 0); Put16(&hdr[0x10], nblocks);
    TTempFile tmp(xpath);
    {
      TFile f;
      f.Create(tmp.Path);
      f.WriteAt(0, hdr.data(), hdr.size());
      std::vector<uint8_t> xb(xbs);
      std::vector<std::tuple<std::string, uint32_t, uint32_t>> leaf;
      int xkey = xrs - 2;
      for (uint32_t k = 0; k < nblocks; ++k) {
        std::fill(xb.begin(), xb.end(), 0);
        uint32_t cnt = 0;
        while (cnt < per && nextRec()) { std::memcpy(&xb[6 + size_t(cnt) * xrs], cur.data(), xrs); ++cnt; }
        Put16(&xb[0], k + 1 < nblocks ? k + 2 : 0);
        Put16(&xb[2], k);
        Put16(&xb[4], uint16_t(int(cnt - 1) * xrs));
        leaf.emplace_back(std::string(reinterpret_cast<const char*>(&xb[6]), xkey), k + 1, cnt);
        if (Encrypted) EncryptDbBlock(xb.data(), xbs, Checksum, k + 1);
        f.WriteAt(hdr.size() + uint64_t(k) * xbs, xb.data(), xbs);
      }
      open.clear();
      for (auto& rp : runs) { std::error_code ec; fs::remove(rp, ec); }
      if (durable) f.Sync();
      f.Close();
      TIndexFileSpec layout;
      std::string yname = YName(ix.FileName);
      layout.Path = (fs::path(Folder) / yname).string();
      layout.FileType = keyed ? 4 : 4;
      if (ix.Composite) layout.FileType = 7;
      layout.KeyFields = uint16_t(types.size() - 1);
      layout.Types.assign(types.begin(), types.end() - 1);
      layout.Sizes.assign(sizes.begin(), sizes.end() - 1);
      layout.BlockSize = xbs;
      layout.TableName = yname;
      layout.SortOrder = H.SortOrder;
      layout.Version = 12;
      layout.Checksum = Encrypted ? Checksum : 0;
      layout.Durable = durable;
      WriteIndexTree(layout, xkey, leaf);
    }
    tmp.Replace("Paradox index");
  }
}

}  // namespace paradox
