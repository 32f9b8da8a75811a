// An environment for the Paradox engine that records every operation that changes what a power cut
// could leave in one folder, and builds the files such a cut could leave. The model (POSIX, as a
// file system that keeps only what was synced):
// - A file is an inode; names point at inodes, and content (with its size) belongs to the inode.
//   The folder as Start found it is durable; an inode created later starts empty. Locks, reads and
//   sizes pass through unrecorded.
// - Names: those as of the folder's last SyncFolder before the cut; each later name operation (a
//   creation of a new name, a rename, a link, a removal) is kept or not at random and applied in
//   order, as the system call would (replacing a name in the way); one whose source is gone is
//   skipped.
// - Data: every write and truncation of an inode before its last Sync before the cut is there; each
//   later write is split at 512-byte file offsets and each piece kept or not at random (or as a
//   chosen draw says), each later truncation (or creation over an existing name) kept or not at
//   random, applied in order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paradox/Paradox.h"

namespace testsupport {

class TRecordingEnv : public paradox::TPdxEnv {
 public:
  enum TKind { okWrite, okTruncate, okSync, okCreate, okRename, okLink, okRemove, okSyncFolder };
  explicit TRecordingEnv(paradox::TPdxEnv& base = paradox::TPdxEnv::Default()) : FBase(base) {}
  // Forgets what was recorded and takes the files of `folder` as they are now, all durable. Only
  // that folder is followed, through files opened after this call.
  void Start(const std::filesystem::path& folder);
  size_t Count() const;  // operations recorded since Start
  TKind Kind(size_t op) const;
  std::string Describe(size_t op) const;  // "write T.DB 1024 bytes at 2048", ...
  // Writes into the empty folder `into` the files a power cut just after the first `cut` recorded
  // operations could leave; `draw` picks which of the unsynced changes are kept: at random, or with
  // one of the torn draws a journal's header (its first sector) but not its entries, and of every
  // other file the writes past its first sector (kTornBlocksKept: a table's blocks overwritten,
  // its header not) or to it (kTornHeadersKept).
  void Image(size_t cut, uint64_t draw, const std::filesystem::path& into) const;
  static constexpr uint64_t kTornBlocksKept = ~uint64_t(0), kTornHeadersKept = ~uint64_t(0) - 1;

  int Open(const std::string& path, bool write, std::unique_ptr<paradox::TPdxFile>& file) override;
  int Create(const std::string& path, std::unique_ptr<paradox::TPdxFile>& file) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Link(const std::string& from, const std::string& to) override;
  int Remove(const std::string& path) override;
  int SyncFolder(const std::string& folder) override;

 private:
  friend class TRecordingFile;
  struct TOp {
    explicit TOp(TKind kind) : Kind(kind) {}
    TKind Kind;
    int Inode = -1;        // the inode changed, or the one a new name points at
    bool Fresh = false;    // a creation that made a new name (else it emptied the inode in place)
    std::string Name, To;  // the name(s), as in the folder
    uint64_t At = 0;       // a write's offset, a truncation's size
    std::string Bytes;     // a write's data
  };
  // The name of `path` in the followed folder; empty when it lies elsewhere.
  std::string NameOf(const std::string& path) const;
  // Hands out `file` as the followed file of `inode` under `name`.
  void Follow(std::unique_ptr<paradox::TPdxFile>& file, int inode, const std::string& name);
  void RecordName(TKind kind, const std::string& from, const std::string& to);
  // Records a data operation of a file opened after Start number `gen`, under `name`.
  void RecordData(int gen, int inode, const std::string& name, TKind kind, uint64_t at, const char* bytes = nullptr, size_t n = 0);
  // Applies a name operation to a folder's names (name -> inode).
  static void ApplyName(std::map<std::string, int>& names, const TOp& op);

  paradox::TPdxEnv& FBase;
  mutable std::mutex FMu;
  std::filesystem::path FFolder;
  int FGen = 0;                          // which Start the open files belong to
  std::map<std::string, int> FStartNames, FNames;  // name -> inode: at Start, and now
  std::vector<std::string> FStartData;   // by inode: the content at Start (empty for later ones)
  std::vector<TOp> FOps;
};

}  // namespace testsupport
