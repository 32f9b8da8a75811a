#include "tests/support/ParadoxPowerLoss.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// The unit a power cut keeps or loses of a write that was not synced.
constexpr uint64_t kSector = 512;

fs::path Normal(const fs::path& path) {
  fs::path p = fs::absolute(path.empty() ? fs::path(".") : path).lexically_normal();
  return p.has_filename() ? p : p.parent_path();
}

}  // namespace

// A file of the followed folder: its changes are recorded against its inode.
class TRecordingFile : public paradox::TPdxFile {
 public:
  TRecordingFile(TRecordingEnv& env, int gen, int inode, std::string name, std::unique_ptr<paradox::TPdxFile> file)
      : FEnv(env), FGen(gen), FInode(inode), FName(std::move(name)), FFile(std::move(file)) {}
  int Read(uint64_t off, void* buf, size_t n, size_t& got) override { return FFile->Read(off, buf, n, got); }
  int Write(uint64_t off, const void* buf, size_t n) override {
    const int e = FFile->Write(off, buf, n);
    if (!e) FEnv.RecordData(FGen, FInode, FName, TRecordingEnv::okWrite, off, static_cast<const char*>(buf), n);
    return e;
  }
  int Sync() override {
    const int e = FFile->Sync();
    if (!e) FEnv.RecordData(FGen, FInode, FName, TRecordingEnv::okSync, 0);
    return e;
  }
  int Truncate(uint64_t size) override {
    const int e = FFile->Truncate(size);
    if (!e) FEnv.RecordData(FGen, FInode, FName, TRecordingEnv::okTruncate, size);
    return e;
  }
  int Size(uint64_t& size) override { return FFile->Size(size); }
  int Lock(TLockOp op) override { return FFile->Lock(op); }

 private:
  TRecordingEnv& FEnv;
  const int FGen, FInode;
  const std::string FName;
  std::unique_ptr<paradox::TPdxFile> FFile;
};

void TRecordingEnv::Start(const fs::path& folder) {
  std::lock_guard<std::mutex> lock(FMu);
  FFolder = Normal(folder);
  ++FGen;
  FStartNames.clear();
  FStartData.clear();
  FOps.clear();
  for (const auto& e : fs::directory_iterator(FFolder)) {
    if (!e.is_regular_file()) continue;
    std::ifstream f(e.path(), std::ios::binary);
    FStartNames[e.path().filename().string()] = int(FStartData.size());
    FStartData.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  FNames = FStartNames;
}

size_t TRecordingEnv::Count() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FOps.size();
}

TRecordingEnv::TKind TRecordingEnv::Kind(size_t op) const {
  std::lock_guard<std::mutex> lock(FMu);
  return FOps.at(op).Kind;
}

std::string TRecordingEnv::Describe(size_t i) const {
  std::lock_guard<std::mutex> lock(FMu);
  const TOp& op = FOps.at(i);
  switch (op.Kind) {
    case okWrite: return "write " + op.Name + " " + std::to_string(op.Bytes.size()) + " bytes at " + std::to_string(op.At);
    case okTruncate: return "truncate " + op.Name + " to " + std::to_string(op.At);
    case okSync: return "sync " + op.Name;
    case okCreate: return "create " + op.Name + (op.Fresh ? "" : " over the file of that name");
    case okRename: return "rename " + op.Name + " to " + op.To;
    case okLink: return "link " + op.Name + " to " + op.To;
    case okRemove: return "remove " + op.Name;
    case okSyncFolder: return "sync the folder";
  }
  return {};
}

std::string TRecordingEnv::NameOf(const std::string& path) const {
  const fs::path p = Normal(path);
  return p.parent_path() == FFolder ? p.filename().string() : std::string();
}

void TRecordingEnv::Follow(std::unique_ptr<paradox::TPdxFile>& file, int inode, const std::string& name) {
  file = std::make_unique<TRecordingFile>(*this, FGen, inode, name, std::move(file));
}

void TRecordingEnv::RecordData(int gen, int inode, const std::string& name, TKind kind, uint64_t at, const char* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(FMu);
  if (gen != FGen) return;
  TOp op(kind);
  op.Inode = inode;
  op.Name = name;
  op.At = at;
  if (bytes) op.Bytes.assign(bytes, n);
  FOps.push_back(std::move(op));
}

void TRecordingEnv::ApplyName(std::map<std::string, int>& names, const TOp& op) {
  if (op.Kind == okCreate) {
    names[op.Name] = op.Inode;
  } else if (op.Kind == okRemove) {
    names.erase(op.Name);
  } else if (auto it = names.find(op.Name); it != names.end()) {
    const int inode = it->second;
    if (op.Kind == okRename) names.erase(it);
    names[op.To] = inode;
  }
}

void TRecordingEnv::RecordName(TKind kind, const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(FMu);
  TOp op(kind);
  op.Name = NameOf(from);
  if (kind != okRemove) op.To = NameOf(to);
  if (op.Name.empty() || (kind != okRemove && op.To.empty())) return;
  ApplyName(FNames, op);
  FOps.push_back(std::move(op));
}

int TRecordingEnv::Open(const std::string& path, bool write, std::unique_ptr<paradox::TPdxFile>& file) {
  if (int e = FBase.Open(path, write, file)) return e;
  std::lock_guard<std::mutex> lock(FMu);
  const std::string name = NameOf(path);
  if (auto it = FNames.find(name); it != FNames.end()) Follow(file, it->second, name);
  return 0;
}

int TRecordingEnv::Create(const std::string& path, std::unique_ptr<paradox::TPdxFile>& file) {
  if (int e = FBase.Create(path, file)) return e;
  std::lock_guard<std::mutex> lock(FMu);
  TOp op(okCreate);
  op.Name = NameOf(path);
  if (op.Name.empty()) return 0;
  if (auto it = FNames.find(op.Name); it != FNames.end()) {
    op.Inode = it->second;
  } else {
    op.Inode = int(FStartData.size());
    op.Fresh = true;
    FStartData.emplace_back();
    FNames[op.Name] = op.Inode;
  }
  Follow(file, op.Inode, op.Name);
  FOps.push_back(std::move(op));
  return 0;
}

int TRecordingEnv::Rename(const std::string& from, const std::string& to) {
  const int e = FBase.Rename(from, to);
  if (!e) RecordName(okRename, from, to);
  return e;
}

int TRecordingEnv::Link(const std::string& from, const std::string& to) {
  const int e = FBase.Link(from, to);
  if (!e) RecordName(okLink, from, to);
  return e;
}

int TRecordingEnv::Remove(const std::string& path) {
  const int e = FBase.Remove(path);
  if (!e) RecordName(okRemove, path, {});
  return e;
}

int TRecordingEnv::SyncFolder(const std::string& folder) {
  const int e = FBase.SyncFolder(folder);
  std::lock_guard<std::mutex> lock(FMu);
  if (!e && Normal(folder) == FFolder) FOps.emplace_back(okSyncFolder);
  return e;
}

void TRecordingEnv::Image(size_t cut, uint64_t draw, const fs::path& into) const {
  std::lock_guard<std::mutex> lock(FMu);
  cut = std::min(cut, FOps.size());
  // Operations before these indexes are durable: of names, and of each inode's data.
  size_t namesSynced = 0;
  std::vector<size_t> dataSynced(FStartData.size(), 0);
  for (size_t i = 0; i < cut; ++i) {
    if (FOps[i].Kind == okSyncFolder) namesSynced = i;
    if (FOps[i].Kind == okSync) dataSynced[size_t(FOps[i].Inode)] = i;
  }
  std::mt19937_64 rng(draw);
  const bool torn = draw == kTornBlocksKept || draw == kTornHeadersKept;
  auto kept = [&] { return torn || (rng() & 1) != 0; };
  auto journal = [](const std::string& name) {
    return name.size() > 4 && (name.compare(name.size() - 4, 4, ".JNL") == 0 || name.compare(name.size() - 4, 4, ".jnl") == 0);
  };
  std::map<std::string, int> names = FStartNames;
  std::vector<std::string> data = FStartData;
  for (size_t i = 0; i < cut; ++i) {
    const TOp& op = FOps[i];
    const bool nameDurable = i < namesSynced, dataDurable = op.Inode >= 0 && i < dataSynced[size_t(op.Inode)];
    switch (op.Kind) {
      case okWrite: {
        std::string& d = data[size_t(op.Inode)];
        for (uint64_t at = op.At, end = op.At + op.Bytes.size(); at < end;) {
          const uint64_t next = std::min(end, (at / kSector + 1) * kSector);
          const bool head = at < kSector;
          if (dataDurable || (kept() && (!torn || (journal(op.Name) || draw == kTornHeadersKept ? head : !head)))) {
            if (d.size() < next) d.resize(next);
            std::copy_n(op.Bytes.begin() + ptrdiff_t(at - op.At), next - at, d.begin() + ptrdiff_t(at));
          }
          at = next;
        }
        break;
      }
      case okCreate:
      case okTruncate:
        if (op.Fresh) {
          if (nameDurable || kept()) ApplyName(names, op);
        } else if (dataDurable || kept()) {
          data[size_t(op.Inode)].resize(op.At);
        }
        break;
      case okRename:
      case okLink:
      case okRemove:
        if (nameDurable || kept()) ApplyName(names, op);
        break;
      case okSync:
      case okSyncFolder:
        break;
    }
  }
  std::map<int, fs::path> written;  // inode -> its first name in the image
  for (const auto& [name, inode] : names) {
    const fs::path p = into / name;
    if (auto it = written.find(inode); it != written.end()) {
      fs::create_hard_link(it->second, p);
      continue;
    }
    const std::string& d = data[size_t(inode)];
    std::ofstream f(p, std::ios::binary);
    f.write(d.data(), std::streamsize(d.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
    written[inode] = p;
  }
}

}  // namespace testsupport
