// Sorted runs: a run's file written and read back, and the merge of runs with records in memory
// (see PdxRuns.h).
#include "platform/paradox/PdxRuns.h"

#include <algorithm>

namespace paradox::detail {

TRunFile::TRunFile(TPdxEnv& env, std::string path, size_t recordSize) : FEnv(env), FPath(std::move(path)), FSize(recordSize) {
  try {
    FFile.Create(FEnv, FPath);
  } catch (const EPdxError&) {
    FEnv.Remove(FPath);
    throw;
  }
}

TRunFile::~TRunFile() {
  FFile.Close();
  FEnv.Remove(FPath);
}

void TRunFile::Append(const void* rec) {
  FBuf.append(static_cast<const char*>(rec), FSize);
  ++FCount;
  if (FBuf.size() >= (1u << 20)) Flush();
}

void TRunFile::Finish() {
  Flush();
  std::string().swap(FBuf);
}

void TRunFile::Flush() {
  if (FBuf.empty()) return;
  FFile.WriteAt(FWritten, FBuf.data(), FBuf.size());
  FWritten += FBuf.size();
  FBuf.clear();
}

void TRunFile::Read(uint32_t from, uint32_t n, void* out) const {
  const size_t bytes = size_t(n) * FSize;
  if (FFile.ReadAt(uint64_t(from) * FSize, out, bytes) != bytes)
    throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(FPath) + ": файл обрезан"_ansi);
}

void TRunMerge::Add(const TRunFile& run) {
  FSources.emplace_back();
  FSources.back().Run = &run;
}

void TRunMerge::Add(const uint8_t* base, std::vector<uint32_t> order) {
  FSources.emplace_back();
  FSources.back().Base = base;
  FSources.back().Order = std::move(order);
}

void TRunMerge::Start() {
  const size_t count = FSources.size();
  FSources.emplace_back();  // the player of the empty places, always done
  FSources.back().Done = true;
  while (FLeaves < count) FLeaves *= 2;
  FTree.assign(2 * FLeaves, count);
  for (size_t i = 0; i < count; ++i) {
    FTree[FLeaves + i] = i;
    Advance(i);
  }
  for (size_t node = FLeaves - 1; node >= 1; --node) FTree[node] = Winner(FTree[2 * node], FTree[2 * node + 1]);
  Settle();
}

void TRunMerge::Pop() {
  const size_t src = FTree[1];
  Advance(src);
  for (size_t node = (FLeaves + src) / 2; node >= 1; node /= 2) FTree[node] = Winner(FTree[2 * node], FTree[2 * node + 1]);
  Settle();
}

size_t TRunMerge::Winner(size_t a, size_t b) const {
  const TSource &x = FSources[a], &y = FSources[b];
  if (x.Done || y.Done) return x.Done ? b : a;
  if (x.Prefix != y.Prefix) return x.Prefix < y.Prefix ? a : b;
  return FKeyLen > 8 && std::memcmp(y.Cur + 8, x.Cur + 8, FKeyLen - 8) < 0 ? b : a;
}

void TRunMerge::Advance(size_t i) {
  TSource& s = FSources[i];
  if (s.Done) return;
  if (!s.Run) {
    if (s.Next == s.Order.size()) {
      s.Done = true;
      return;
    }
    s.Cur = s.Base + size_t(s.Order[s.Next++]) * FSize;
  } else {
    if (s.At + FSize > s.Buf.size()) {
      if (s.Next == s.Run->Count()) {
        s.Done = true;
        return;
      }
      const uint32_t n = std::min<uint32_t>(s.Run->Count() - s.Next, uint32_t(std::max<size_t>(1, (256u << 10) / FSize)));
      s.Buf.resize(size_t(n) * FSize);
      s.Run->Read(s.Next, n, s.Buf.data());
      s.Next += n;
      s.At = 0;
    }
    s.Cur = reinterpret_cast<const uint8_t*>(s.Buf.data()) + s.At;
    s.At += FSize;
  }
  if (FLeaves > 1) s.Prefix = KeyPrefix(s.Cur, FKeyLen);  // a lone source plays no match
}

void TRunMerge::Settle() {
  const TSource& w = FSources[FTree[1]];
  FCur = w.Done ? nullptr : w.Cur;
}

}  // namespace paradox::detail
