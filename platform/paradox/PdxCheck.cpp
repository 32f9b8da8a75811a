// The consistency check of a table: its block chain and free list against the header, the key
// order of a keyed table, the .MB values its records point at, and its indexes (.PX, .Xnn/.XGn with
// their .Ynn/.YGn) against its records. It reads what every reader sees (the blocks as the table
// state holds them) and changes nothing.
#include <algorithm>
#include <set>

#include "platform/paradox/PdxTableState.h"

namespace fs = std::filesystem;

namespace paradox {

using namespace detail;

namespace {

// A B-tree or a secondary index file read as it stands, apart from the state that writes it.
class TIndexReader {
 public:
  TIndexReader(TPdxEnv& env, const std::string& path, uint32_t checksum) : FChecksum(checksum) {
    FFile.Open(env, path, false);
    std::vector<uint8_t> head(std::min<uint64_t>(FFile.Size(), 65536));
    head.resize(FFile.ReadAt(0, head.data(), head.size()));
    H = ParseHeader(head.data(), head.size(), path);
    const uint64_t size = FFile.Size();
    FBlocks = size > H.HeaderSize ? (size - H.HeaderSize) / H.BlockSize : 0;
  }
  THeader H;

  // Block n, decrypted; false when the file has no such block.
  bool Block(uint32_t n, std::vector<uint8_t>& out) const {
    if (n == 0 || n > FBlocks) return false;
    out.resize(H.BlockSize);
    if (FFile.ReadAt(H.HeaderSize + uint64_t(n - 1) * H.BlockSize, out.data(), H.BlockSize) != H.BlockSize) return false;
    if (FChecksum) DecryptDbBlock(out.data(), H.BlockSize, FChecksum, n);
    return true;
  }
  int Count(const std::vector<uint8_t>& b) const {
    const int16_t last = int16_t(Get16(b.data() + kBlockLast));
    return last < 0 ? 0 : last / H.RecordSize + 1;
  }
  // The records along the chain, back to back; `what` says what is wrong when it breaks.
  bool Records(std::string& out, std::vector<std::tuple<std::string, uint32_t, uint32_t>>& blocks, std::string& what) const {
    std::vector<uint8_t> b;
    std::set<uint32_t> seen;
    for (uint32_t n = H.FirstBlock; n; n = Get16(b.data())) {
      if (!seen.insert(n).second) return what = "цепочка блоков зациклена"_ansi, false;
      if (!Block(n, b)) return what = "блок "_ansi + std::to_string(n) + " лежит за концом файла"_ansi, false;
      const int count = Count(b);
      if (6 + size_t(count) * H.RecordSize > H.BlockSize) return what = "в блоке "_ansi + std::to_string(n) + " неверное число записей"_ansi, false;
      if (count > 0) blocks.emplace_back(std::string(reinterpret_cast<const char*>(&b[kBlockData]), H.RecordSize), n, uint32_t(count));
      out.append(reinterpret_cast<const char*>(&b[kBlockData]), size_t(count) * H.RecordSize);
    }
    return true;
  }
  // The level-1 entries of a B-tree in key order: key, block below, record count.
  bool Leaves(int keyLen, std::vector<std::tuple<std::string, uint32_t, uint32_t>>& out, std::string& what) const {
    if (H.Levels == 0 || H.RootBlock == 0) return true;
    std::set<uint32_t> seen;
    return Walk(H.RootBlock, H.Levels, keyLen, seen, out, what);
  }

 private:
  bool Walk(uint32_t n, int level, int keyLen, std::set<uint32_t>& seen,
            std::vector<std::tuple<std::string, uint32_t, uint32_t>>& out, std::string& what) const {
    std::vector<uint8_t> b;
    if (!seen.insert(n).second || level > 16) return what = "дерево индекса зациклено"_ansi, false;
    if (!Block(n, b)) return what = "блок "_ansi + std::to_string(n) + " лежит за концом файла"_ansi, false;
    const int count = Count(b);
    if (6 + size_t(count) * H.RecordSize > H.BlockSize) return what = "в блоке "_ansi + std::to_string(n) + " неверное число записей"_ansi, false;
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = &b[kBlockData + size_t(i) * H.RecordSize];
      const uint32_t below = uint16_t(GetShort(e + keyLen)), records = uint16_t(GetShort(e + keyLen + 2));
      if (level == 1) out.emplace_back(std::string(reinterpret_cast<const char*>(e), size_t(keyLen)), below, records);
      else if (!Walk(below, level - 1, keyLen, seen, out, what)) return false;
    }
    return true;
  }
  TFile FFile;
  uint32_t FChecksum;
  uint64_t FBlocks = 0;
};

using TLeaves = std::vector<std::tuple<std::string, uint32_t, uint32_t>>;

// Whether a B-tree's leaves name the data blocks: each block that holds records, in chain order,
// with its first key and its count (counts above 32767 are kept as 32767).
bool SameLeaves(const TLeaves& tree, const TLeaves& blocks, int keyLen) {
  if (tree.size() != blocks.size()) return false;
  for (size_t i = 0; i < tree.size(); ++i) {
    const auto& [key, block, count] = blocks[i];
    if (std::get<0>(tree[i]) != key.substr(0, size_t(keyLen)) || std::get<1>(tree[i]) != block ||
        std::get<2>(tree[i]) != std::min<uint32_t>(count, 32767))
      return false;
  }
  return true;
}

class TCheck {
 public:
  explicit TCheck(TPdxTableState& s) : S(s) {}

  std::vector<std::string> Run() {
    const bool chainSound = CheckChain();
    CheckFreeList();
    // Indexes are checked only while the header says they hold the data (else the next open for
    // writing rebuilds them) and the chain could be read.
    if (chainSound && !S.IndexDirty && !(S.HasIndexes() && S.IndexesBehind())) {
      if (S.KeyLen) CheckPrimary();
      for (const auto& ix : S.Def.Indexes) CheckSecondary(ix);
    }
    return FProblems;
  }

  // The indexes only, whatever the header says of them.
  std::vector<std::string> Indexes() {
    if (CheckChain()) {
      if (S.KeyLen) CheckPrimary();
      for (const auto& ix : S.Def.Indexes) CheckSecondary(ix);
    }
    return FProblems;
  }

 private:
  void Problem(const std::string& path, const std::string& what) {
    FProblems.push_back("Файл "_ansi + QuotePath(path) + ": " + what);
  }

  // The chain from the header's first block: every block inside the file and met once, each
  // pointing back at the one before, keys rising through a keyed table, every .MB value readable
  // and used by one record only, and the header's counts and last block as the chain has them.
  bool CheckChain() {
    const uint32_t rs = S.H.RecordSize;
    std::vector<uint8_t> b(S.H.BlockSize);
    std::set<uint32_t> blobs;
    std::string lastKey;
    uint32_t prev = 0, records = 0;
    for (uint32_t n = S.H.FirstBlock; n; prev = n, n = Get16(b.data())) {
      if (!FChain.insert(n).second) return Problem(S.DbPath, "цепочка блоков зациклена на блоке "_ansi + std::to_string(n)), false;
      int count = 0;
      try {
        S.ReadBlock(n, b.data());
        count = S.CountIn(b.data(), n);
      } catch (const EPdxError& e) {
        FProblems.push_back(e.Message());
        return false;
      }
      if (Get16(&b[kBlockPrev]) != prev)
        Problem(S.DbPath, "блок "_ansi + std::to_string(n) + " ссылается назад на блок "_ansi + std::to_string(Get16(&b[kBlockPrev])) +
                              " вместо "_ansi + std::to_string(prev));
      if (count > 0) FBlocks.emplace_back(std::string(reinterpret_cast<const char*>(&b[kBlockData]), size_t(S.KeyLen)), n, uint32_t(count));
      for (int i = 0; i < count; ++i) {
        const uint8_t* rec = &b[kBlockData + size_t(i) * rs];
        if (S.KeyLen) {
          std::string key(reinterpret_cast<const char*>(rec), size_t(S.KeyLen));
          if (records > 0 && key <= lastKey)
            Problem(S.DbPath, "в блоке "_ansi + std::to_string(n) + " ключ записи "_ansi + std::to_string(i + 1) + " не больше предыдущего"_ansi);
          lastKey.swap(key);
        }
        CheckBlobs(rec, blobs);
        ++records;
      }
      FLast = n;
    }
    if (FLast != S.H.LastBlock && !(FLast == 0 && S.H.NumRecords == 0))
      Problem(S.DbPath, "цепочка блоков кончается блоком "_ansi + std::to_string(FLast) + ", а в заголовке последним назван блок "_ansi +
                            std::to_string(S.H.LastBlock));
    if (records != S.H.NumRecords)
      Problem(S.DbPath, "в заголовке записей "_ansi + std::to_string(S.H.NumRecords) + ", а в блоках "_ansi + std::to_string(records));
    return true;
  }

  // Every .MB value of the record can be read, and no other record points at it.
  void CheckBlobs(const uint8_t* rec, std::set<uint32_t>& seen) {
    for (size_t f = 0; f < S.H.Types.size(); ++f) {
      if (!IsBlobCode(S.H.Types[f])) continue;
      const uint32_t ptr = Get32(rec + S.Offsets[f] + S.H.Sizes[f] - 10);
      if (ptr == 0) continue;
      try {
        S.ReadBlob(rec + S.Offsets[f], int(f));
      } catch (const EPdxError& e) {
        FProblems.push_back(e.Message());
        continue;
      }
      if (!seen.insert(ptr).second)
        Problem(S.Mb.Path(), "на значение по смещению "_ansi + std::to_string(ptr & ~0xFFu) + " ссылаются две записи"_ansi);
    }
  }

  // The free list: blocks inside the file, none of them in the chain, none met twice.
  void CheckFreeList() {
    std::vector<uint8_t> b(S.H.BlockSize);
    std::set<uint32_t> seen;
    for (uint32_t n = S.H.FirstFree; n; n = Get16(b.data())) {
      if (FChain.count(n)) return Problem(S.DbPath, "блок "_ansi + std::to_string(n) + " и в цепочке, и в списке свободных блоков"_ansi);
      if (!seen.insert(n).second) return Problem(S.DbPath, "список свободных блоков зациклен"_ansi);
      try {
        S.ReadBlock(n, b.data());
      } catch (const EPdxError& e) {
        return FProblems.push_back(e.Message());
      }
    }
  }

  void CheckPrimary() {
    if (FindFile(S.Folder, S.Base, "PX").empty()) return Problem(S.TreePath, "файл первичного индекса не найден"_ansi);
    try {
      TIndexReader px(*S.Env, S.TreePath, S.Encrypted ? S.Checksum : 0);
      TLeaves leaves;
      std::string what;
      if (!px.Leaves(S.KeyLen, leaves, what)) return Problem(S.TreePath, what);
      if (!SameLeaves(leaves, FBlocks, S.KeyLen)) Problem(S.TreePath, "первичный индекс не совпадает с блоками таблицы"_ansi);
    } catch (const EPdxError& e) {
      FProblems.push_back(e.Message());
    }
  }

  // The .X file holds one entry for each record, as a rebuild would write them (in order), no two
  // alike in the indexed fields when the index is unique; its B-tree names its blocks.
  void CheckSecondary(const TPdxIndexDef& ix) {
    const std::string path = (fs::path(S.Folder) / ix.FileName).string();
    try {
      size_t es = 0;
      std::string want = S.SecondaryEntries(ix, es);
      TIndexReader x(*S.Env, path, S.Encrypted ? S.Checksum : 0);
      if (x.H.RecordSize != es) return Problem(path, "размер записи индекса не совпадает с полями таблицы"_ansi);
      std::string have, what;
      TLeaves blocks;
      if (!x.Records(have, blocks, what)) return Problem(path, what);
      const size_t count = have.size() / es;
      // An unkeyed table's secondary index is not maintained in the format: other writers leave it
      // behind the table until it is used (this engine rewrites it at every change).
      if (count != want.size() / es && !S.KeyLen) return;
      if (count != want.size() / es)
        return Problem(path, "в индексе записей "_ansi + std::to_string(count) + ", а в таблице "_ansi + std::to_string(want.size() / es));
      std::vector<std::string_view> got(count), expected(count);
      for (size_t i = 0; i < count; ++i) {
        got[i] = std::string_view(have).substr(i * es, es);
        expected[i] = std::string_view(want).substr(i * es, es);
      }
      if (!std::is_sorted(got.begin(), got.end())) Problem(path, "записи индекса не упорядочены"_ansi);
      std::sort(got.begin(), got.end());
      std::sort(expected.begin(), expected.end());
      if (got != expected) Problem(path, "индекс не совпадает с записями таблицы"_ansi);
      if (ix.Unique) {
        size_t width = 0;
        for (int f : ix.Fields) width += size_t(S.Widths[f]);
        for (size_t i = 1; i < count; ++i)
          if (got[i].substr(0, width) == got[i - 1].substr(0, width) &&
              !AllZero(reinterpret_cast<const uint8_t*>(got[i].data()), width))
            Problem(path, "в уникальном индексе повторяется значение"_ansi);
      }
      std::string yname = ix.FileName;
      yname[yname.size() - 3] = yname[yname.size() - 3] == 'x' ? 'y' : 'Y';
      const std::string ypath = (fs::path(S.Folder) / yname).string();
      TIndexReader y(*S.Env, ypath, S.Encrypted ? S.Checksum : 0);
      TLeaves leaves;
      if (!y.Leaves(int(es) - 2, leaves, what)) return Problem(ypath, what);
      if (!SameLeaves(leaves, blocks, int(es) - 2)) Problem(ypath, "дерево индекса не совпадает с блоками файла "_ansi + Quote(ix.FileName));
    } catch (const EPdxError& e) {
      FProblems.push_back(e.Message());
    }
  }

  TPdxTableState& S;
  std::vector<std::string> FProblems;
  std::set<uint32_t> FChain;
  TLeaves FBlocks;  // the chain's blocks that hold records: first key, number, count
  uint32_t FLast = 0;
};

}  // namespace

std::vector<std::string> TPdxTableState::IndexProblems() { return TCheck(*this).Indexes(); }

std::vector<std::string> TPdxDatabase::CheckIntegrity(const std::string& name) const {
  auto st = Acquire(name);
  return TCheck(*st).Run();
}

}  // namespace paradox
