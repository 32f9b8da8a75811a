#include "tests/support/ParadoxFaults.h"

#include <cerrno>
#include <filesystem>
#include <thread>

#include "platform/rtl/SysUtils.h"

namespace testsupport {

namespace {

// A file whose operations the environment may refuse.
class TFaultFile : public paradox::TPdxFile {
 public:
  TFaultFile(TFaultEnv& env, std::string path, std::unique_ptr<paradox::TPdxFile> file)
      : FEnv(env), FPath(std::move(path)), FFile(std::move(file)) {}
  int Read(uint64_t off, void* buf, size_t n, size_t& got) override {
    got = 0;
    return FEnv.Stopped() ? EIO : FFile->Read(off, buf, n, got);
  }
  int Write(uint64_t off, const void* buf, size_t n) override {
    uint64_t fits = 0;
    if (int e = FEnv.Check(TFaultEnv::opWrite, FPath, n, &fits)) {
      if (fits > 0) FFile->Write(off, buf, size_t(fits));
      return e;
    }
    return FFile->Write(off, buf, n);
  }
  int Sync() override {
    if (int e = FEnv.Check(TFaultEnv::opSync, FPath)) return e;
    return FFile->Sync();
  }
  int Truncate(uint64_t size) override {
    if (int e = FEnv.Check(TFaultEnv::opTruncate, FPath)) return e;
    return FFile->Truncate(size);
  }
  int Size(uint64_t& size) override { return FEnv.Stopped() ? EIO : FFile->Size(size); }
  // A stopped process holds no lock any more: its files were closed.
  int Lock(TLockOp op) override { return FEnv.Stopped() && op != lkRelease ? EIO : FFile->Lock(op); }

 private:
  TFaultEnv& FEnv;
  std::string FPath;
  std::unique_ptr<paradox::TPdxFile> FFile;
};

}  // namespace

void TFaultEnv::Set(const TFault& fault) {
  std::lock_guard<std::mutex> lock(FMu);
  FFault = fault;
  FCount = FBytes = 0;
  FCounted.clear();
  FFired = FStopped = false;
}

int64_t TFaultEnv::Count() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FCount;
}

int64_t TFaultEnv::Bytes() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FBytes;
}

std::vector<TFaultEnv::TOp> TFaultEnv::Counted() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FCounted;
}

bool TFaultEnv::Fired() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FFired;
}

bool TFaultEnv::Stopped() const {
  std::lock_guard<std::mutex> lock(FMu);
  return FStopped;
}

int TFaultEnv::Check(TOp op, const std::string& path, uint64_t bytes, uint64_t* fits) {
  std::unique_lock<std::mutex> lock(FMu);
  if (FStopped) return EIO;
  const std::string name = UpperCase(std::filesystem::path(path).filename().string());
  if (name.rfind(UpperCase(FFault.FilePrefix), 0) != 0) return 0;
  if (op == opWrite && int64_t(bytes) > FFault.ByteLimit - FBytes) {
    FFired = true;
    if (FFault.StaysFull) {
      if (fits) *fits = uint64_t(FFault.ByteLimit - FBytes);
      FBytes = FFault.ByteLimit;
    }
    return ENOSPC;
  }
  if (FFault.Ops & op) {
    FCounted.push_back(op);
    const auto delay = FFault.Delay;
    const std::function<void()> onCounted = FFault.OnCounted;
    if (delay.count() > 0 || onCounted) {
      lock.unlock();
      std::this_thread::sleep_for(delay);
      if (onCounted) onCounted();
      lock.lock();
    }
  }
  if ((FFault.Ops & op) && ++FCount == FFault.FailAt) {
    FFired = true;
    FStopped = FFault.Stop;
    const int error = FFault.Error;
    const std::function<void()> onFault = FFault.OnFault;
    lock.unlock();
    if (onFault) onFault();
    return error;
  }
  if (op == opWrite) FBytes += int64_t(bytes);
  return 0;
}

int TFaultEnv::Open(const std::string& path, bool write, std::unique_ptr<paradox::TPdxFile>& file) {
  if (Stopped()) return EIO;
  if (int e = Check(opOpen, path)) return e;
  std::unique_ptr<paradox::TPdxFile> inner;
  if (int e = FBase.Open(path, write, inner)) return e;
  file = std::make_unique<TFaultFile>(*this, path, std::move(inner));
  return 0;
}

int TFaultEnv::Create(const std::string& path, std::unique_ptr<paradox::TPdxFile>& file) {
  if (int e = Check(opCreate, path)) return e;
  std::unique_ptr<paradox::TPdxFile> inner;
  if (int e = FBase.Create(path, inner)) return e;
  file = std::make_unique<TFaultFile>(*this, path, std::move(inner));
  return 0;
}

int TFaultEnv::Rename(const std::string& from, const std::string& to) {
  if (int e = Check(opRename, from)) return e;
  return FBase.Rename(from, to);
}

int TFaultEnv::Link(const std::string& from, const std::string& to) {
  if (int e = Check(opRename, from)) return e;
  return FBase.Link(from, to);
}

int TFaultEnv::Remove(const std::string& path) {
  if (int e = Check(opRemove, path)) return e;
  return FBase.Remove(path);
}

int TFaultEnv::SyncFolder(const std::string& folder) {
  if (int e = Check(opSyncFolder, folder)) return e;
  return FBase.SyncFolder(folder);
}

}  // namespace testsupport
