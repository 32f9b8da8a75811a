// Internal to the Paradox engine: its files. Every file operation goes through an environment
// (TPdxEnv); TFile raises EPdxError naming the file when one fails. The order in which the engine
// writes and syncs a table is stated at the top of PdxFiles.cpp.
#pragma once

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/paradox/Paradox.h"
#include "platform/paradox/PdxFormat.h"

namespace paradox::detail {

// Messages: a name (Windows-1251) or a file-system path (UTF-8) in double quotes, and the text of
// a system error code (errno), in Russian for the usual ones.
std::string Quote(const std::string& s);
std::string QuotePath(const std::string& path);
std::string SystemError(int code);

// Case-insensitive lookup of "<base>.<ext>" in a folder; empty when absent.
std::string FindFile(const std::string& folder, const std::string& base, const std::string& ext);
// The extension of a table's rollback journal (see PdxJournal.cpp).
inline constexpr const char* kJournalExt = "JNL";
// Every file of the table's family: .DB .MB .PX .VAL .Xnn .Ynn .XGn .YGn (and .TV/.FAM), and its
// journal. With `scratch`, the table's scratch files too, there: "<family file>.tmp" and
// "<family file>.runN", which live only while a call or a batch runs (any found between those
// were left by a process that died).
std::vector<std::filesystem::path> FamilyFiles(const std::string& folder, const std::string& base,
                                               std::vector<std::filesystem::path>* scratch = nullptr);
// Removes a file; a file already gone is no error.
void RemoveFile(TPdxEnv& env, const std::string& path);
// Makes the names created, renamed and removed in the folder durable.
void SyncFolder(TPdxEnv& env, const std::string& folder);
// Notes that this process gave a file of the folder a name that no SyncFolder has made durable yet.
void NoteNewName(const std::string& folder);
// SyncFolder, when a name noted since the folder was last synced waits for it.
void SyncFolderIfNamed(TPdxEnv& env, const std::string& folder);

// One open file, through an environment; every failure raises EPdxError naming the file.
class TFile {
 public:
  TFile() = default;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  void Open(TPdxEnv& env, const std::string& path, bool write);
  void Create(TPdxEnv& env, const std::string& path);  // empty, replacing a file of that name
  void Close();
  bool IsOpen() const { return FFile != nullptr; }
  bool Writable() const { return FWrite; }
  const std::string& Path() const { return FPath; }
  uint64_t Size() const;  // 0 when unknown
  // The least size a power cut may leave the file at: its size when it was opened or last synced,
  // or less where it was cut since.
  uint64_t SyncedSize() const { return FSynced; }
  // Reads up to n bytes; fewer only at the end of the file.
  size_t ReadAt(uint64_t off, void* buf, size_t n) const;
  void WriteAt(uint64_t off, const void* buf, size_t n);
  // Makes the written data durable; the disk's own report of a failed write may come only here.
  void Sync();
  // Starts the writing that a Sync to come waits for (TPdxFile::StartSync); a failure is Sync's
  // to report.
  void StartSync() {
    if (FFile) FFile->StartSync();
  }
  // Syncs only when this handle wrote or cut the file since it last synced it.
  void SyncWritten() {
    if (FWritten) Sync();
  }
  void Truncate(uint64_t size);
  // How many times the file was synced through this object: a write is durable once this count
  // passes its value when the write was made.
  uint64_t Syncs() const { return FSyncs; }
  // The writer's lock (TPdxFile::Lock): 0, or the errno code.
  int Lock(TPdxFile::TLockOp op) { return FFile ? FFile->Lock(op) : EBADF; }

 private:
  std::unique_ptr<TPdxFile> FFile;
  bool FWrite = false, FWritten = false;
  uint64_t FSynced = 0, FSyncs = 0;
  std::string FPath;
};

// A file written under the name "<path>.tmp" and moved over <path> once whole (a name noted for
// the folder's next sync); removed again when the work fails before that, so that no temporary
// file stays behind a failed write.
struct TTempFile {
  TPdxEnv& FEnv;
  std::string Target, Path;
  bool Done = false;
  TTempFile(TPdxEnv& env, std::string target) : FEnv(env), Target(std::move(target)), Path(Target + ".tmp") {}
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  void Replace();
};

}  // namespace paradox::detail
