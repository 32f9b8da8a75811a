// An environment for the Paradox engine that fails a chosen file operation: the n-th write, sync,
// rename, creation, removal, truncation or opening of the files whose names begin with a prefix,
// or every write once so many bytes went to them (a full disk, which may stay full). It can also
// make those operations slow, as on a folder far away. With Stop,
// every operation of any file fails from that moment on, as in a process that was killed there;
// the test then reopens the table from the files as they are, through another environment.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paradox/Paradox.h"

namespace testsupport {

class TFaultEnv : public paradox::TPdxEnv {
 public:
  enum TOp : unsigned {
    opWrite = 1, opSync = 2, opRename = 4, opCreate = 8, opRemove = 16, opTruncate = 32,
    opSyncFolder = 128,  // counted against the folder's own path
    opAll = 63 | opSyncFolder,
    opOpen = 64,  // opening an existing file: counted only when asked for
  };
  struct TFault {
    std::string FilePrefix;          // case-insensitive; empty: every file
    unsigned Ops = opAll;            // the operations counted
    int64_t FailAt = 0;              // the counted operation that fails, from 1; 0: none
    int Error = 5;                   // its errno (EIO)
    bool Stop = false;               // and every operation after it
    int64_t ByteLimit = INT64_MAX;   // writes that would pass this many bytes fail with ENOSPC
    bool StaysFull = false;          // and the first such write writes what fits, every later one nothing
    std::function<void()> OnFault = nullptr;  // called as the FailAt-th operation fails (before it returns)
    std::chrono::milliseconds Delay{0};       // each counted operation waits this long first
    std::function<void()> OnCounted = nullptr;  // called as each counted operation starts, after Delay
  };
  explicit TFaultEnv(paradox::TPdxEnv& base = paradox::TPdxEnv::Default()) : FBase(base) {}
  // Starts counting afresh under a new fault (TFault{} for none).
  void Set(const TFault& fault);
  int64_t Count() const;  // operations counted since Set
  int64_t Bytes() const;  // bytes written since Set
  std::vector<TOp> Counted() const;  // their kinds, in order
  bool Fired() const;     // whether the fault came

  int Open(const std::string& path, bool write, std::unique_ptr<paradox::TPdxFile>& file) override;
  int Create(const std::string& path, std::unique_ptr<paradox::TPdxFile>& file) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Link(const std::string& from, const std::string& to) override;
  int Remove(const std::string& path) override;
  int SyncFolder(const std::string& folder) override;

  // The error for operation `op` on `path` (a write of `bytes`): 0 when it may go ahead. A write
  // that fills a disk that stays full fails after writing the first `fits` bytes.
  int Check(TOp op, const std::string& path, uint64_t bytes = 0, uint64_t* fits = nullptr);
  bool Stopped() const;

 private:
  paradox::TPdxEnv& FBase;
  mutable std::mutex FMu;
  TFault FFault;
  int64_t FCount = 0, FBytes = 0;
  std::vector<TOp> FCounted;
  bool FFired = false, FStopped = false;
};

}  // namespace testsupport
