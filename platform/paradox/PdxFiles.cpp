// Files of the Paradox engine: the operating system's environment, reading and writing at offsets,
// files written whole under a temporary name, and the family of files of one table.
//
// The order in which the engine writes and syncs a table. A change is a single change outside a
// batch, or what a batch writes between two durable points (its start and its end; once its
// journal is begun, also each 64 MB of blocks or 32 MB of journal); it is written in parts, one
// each time the block cache fills:
//   1. .MB values: new ones past the file's end, small ones into the free room of a block of small
//      values (the values there stay as they are), or into space freed by a change already durable.
//      Nothing the table's records point at is overwritten.
//   2. The header's byte "indexes out of date" is set (one byte) before the first change the
//      indexes do not hold.
//   3. A part before the change's end that changed few blocks the .DB holds writes its new blocks
//      past the end but for the chain's last block, and waits for no sync: the blocks the file
//      holds, the chain's last block and the header stay in the cache for a later part or the
//      change's end. Nothing the file holds is overwritten.
//      Any other part that overwrites what the .DB holds (as the change's end always does once the
//      journal is begun: the header at least): the journal "<table>.JNL" gets the old and new
//      content of the header and of every such block (after the parts before it), and is synced;
//      then its header is rewritten to cover them and synced (the folder too when the journal file
//      is new: it stays, emptied, while the table is open for writing); then the new blocks past
//      the end, the blocks the file held, the header.
//   4. At the change's end, with a journal: the .DB and the .MB are synced, then the journal is
//      emptied and synced. Without (no block the file holds was overwritten): the new blocks (and
//      the .MB) are synced, then the header is written and synced. The change is whole and
//      durable from here on. Every header a change writes carries a change stamp higher than any
//      before it (PdxReaderView.cpp).
//   5. Values of records the change removed are marked free in the .MB.
//   6. Outside a batch: the indexes, each file written over the old one (the header says, durably,
//      that they are out of date: the .DB was synced since the byte was set), or a keyed table's
//      .Xnn changed in place. At the end of a batch, and when a writer lets the table go, the index
//      files are synced (and the folder, where one of them got a new name), and then the header's
//      byte "indexes out of date" is cleared. At the end of a batch that only added blocks, that
//      is the header's one write: it says at once that the records are there and that the indexes
//      are current, and is then synced.
// A change taken back (the old bytes put back from the journal, by its writer after a failed
// write or by the next writer after the writer died) gets a higher change stamp before its journal
// is emptied; putting old bytes back never puts an older stamp back.
// So after a failed write, a process killed at any moment, or a power cut, the next open finds
// either the table as it last was whole (the journal is played back, taking back the change and
// cutting off what it appended; blocks written without one are past the header's end) or after
// the change, and rebuilds indexes marked out of date when opened for writing. (A journal that
// is damaged, or not the table's own change, is never played nor removed: see PdxJournal.cpp.)
//
// Emptying a table writes and syncs a header without records, then cuts the files. A table is
// created by writing its family (.VAL and .Xnn synced: they alone hold its checks and its
// indexes' fields; .MB, .PX and .Ynn not, the header saying its indexes are out of date until they
// are made durable) and its .DB under a temporary name, synced, syncing the folder and renaming
// the .DB into place: its name is made durable with the table's first change (it ends with the
// next folder sync of this process, which may come first, as the next table's creation does) or
// when its writer lets it go; renamed by giving every file its new name beside
// the old (hard links), the .DB last, syncing the folder, then removing the old names, the .DB
// first and the folder synced after it, and syncing the folder again; deleted the same way: the
// .DB, the folder synced, the rest, the folder synced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/paradox/PdxFiles.h"

namespace fs = std::filesystem;

namespace paradox {

namespace detail {

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string QuotePath(const std::string& path) { return Quote(Utf8ToAnsi(path, '?')); }

std::string SystemError(int code) {
  switch (code) {
    case ENOSPC: return "на диске нет места"_ansi;
    case EDQUOT: return "превышена квота на диске"_ansi;
    case EIO: return "ошибка ввода-вывода"_ansi;
    case EACCES: case EPERM: return "нет доступа"_ansi;
    case ENOENT: return "файл или папка не найдены"_ansi;
    case EROFS: return "диск доступен только для чтения"_ansi;
    case EEXIST: return "файл уже существует"_ansi;
    case EISDIR: return "это папка, а не файл"_ansi;
    case ENOTDIR: return "часть пути не является папкой"_ansi;
    case EMFILE: case ENFILE: return "открыто слишком много файлов"_ansi;
    case ENAMETOOLONG: return "слишком длинное имя файла"_ansi;
    case EFBIG: return "файл слишком велик"_ansi;
    case ENOMEM: return "недостаточно памяти"_ansi;
    default: return "системная ошибка "_ansi + std::to_string(code) + " (" + Utf8ToAnsi(std::strerror(code), '?') + ")";
  }
}

std::string FindFile(const std::string& folder, const std::string& base, const std::string& ext) {
  std::string want = UpperCase(base + "." + ext);
  std::error_code ec;
  fs::path exact = fs::path(folder) / (base + "." + ext);
  if (fs::is_regular_file(exact, ec)) return exact.string();
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (UpperCase(name) == want && it->is_regular_file(ec)) return it->path().string();
  }
  return {};
}

namespace {

// A table file's extension (upper case): .DB .MB .PX .VAL .TV .FAM .Xnn .Ynn .XGn .YGn.
bool IsTableExt(const std::string& ext) {
  if (ext == "DB" || ext == "MB" || ext == "PX" || ext == "VAL" || ext == "TV" || ext == "FAM") return true;
  if (ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y')) {
    if (ext[1] == 'G' && std::isxdigit(uint8_t(ext[2]))) return true;
    if (std::isxdigit(uint8_t(ext[1])) && std::isxdigit(uint8_t(ext[2]))) return true;
  }
  return false;
}

// A file the engine writes only for the length of one call or batch: "<table file>.tmp" and the
// sorted runs "<table file>.runN".
bool IsScratchExt(const std::string& ext) {
  size_t dot = ext.find('.');
  if (dot == std::string::npos || !IsTableExt(ext.substr(0, dot))) return false;
  std::string tail = ext.substr(dot + 1);
  if (tail == "TMP") return true;
  if (tail.size() <= 3 || tail.compare(0, 3, "RUN") != 0) return false;
  for (size_t i = 3; i < tail.size(); ++i)
    if (!std::isdigit(uint8_t(tail[i]))) return false;
  return true;
}

}  // namespace

std::vector<fs::path> FamilyFiles(const std::string& folder, const std::string& base, std::vector<fs::path>* scratch) {
  std::vector<fs::path> out;
  std::string ub = UpperCase(base);
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string un = UpperCase(it->path().filename().string());
    if (un.size() <= ub.size() + 1 || un.compare(0, ub.size(), ub) != 0 || un[ub.size()] != '.') continue;
    const std::string ext = un.substr(ub.size() + 1);
    if (IsTableExt(ext) || ext == kJournalExt) out.push_back(it->path());
    else if (scratch && IsScratchExt(ext)) scratch->push_back(it->path());
  }
  return out;
}

namespace {

// The operating system's files.
class TOsFile : public TPdxFile {
 public:
  explicit TOsFile(int fd) : FFd(fd) {}
  ~TOsFile() override { ::close(FFd); }
  int Read(uint64_t off, void* buf, size_t n, size_t& got) override {
    got = 0;
    while (got < n) {
      ssize_t r = ::pread(FFd, static_cast<char*>(buf) + got, n - got, off_t(off + got));
      if (r < 0) { if (errno == EINTR) continue; return errno; }
      if (r == 0) break;
      got += size_t(r);
    }
    return 0;
  }
  int Write(uint64_t off, const void* buf, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pwrite(FFd, static_cast<const char*>(buf) + done, n - done, off_t(off + done));
      if (r < 0) { if (errno == EINTR) continue; return errno; }
      done += size_t(r);
    }
    return 0;
  }
  int Sync() override { return ::fdatasync(FFd) == 0 ? 0 : errno; }
  int StartSync() override { return ::sync_file_range(FFd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 ? 0 : errno; }
  int Truncate(uint64_t size) override { return ::ftruncate(FFd, off_t(size)) == 0 ? 0 : errno; }
  int Size(uint64_t& size) override {
    struct stat st;
    if (::fstat(FFd, &st) != 0) return errno;
    size = uint64_t(st.st_size);
    return 0;
  }
  // One byte far past any table's end, locked through the open file description (F_OFD_*), so
  // that closing another descriptor of the file, or opening it again, never drops the lock.
  int Lock(TLockOp op) override {
    struct flock fl = {};
    fl.l_type = op == lkRelease ? F_UNLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t(1) << 40;
    fl.l_len = 1;
    if (op == lkProbe) {
      if (::fcntl(FFd, F_OFD_GETLK, &fl) != 0) return errno;
      return fl.l_type == F_UNLCK ? 0 : EAGAIN;
    }
    if (::fcntl(FFd, F_OFD_SETLK, &fl) == 0) return 0;
    return errno == EACCES ? EAGAIN : errno;
  }

 private:
  int FFd;
};

class TOsEnv : public TPdxEnv {
 public:
  int Open(const std::string& path, bool write, std::unique_ptr<TPdxFile>& file) override {
    return Made(::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC), file);
  }
  int Create(const std::string& path, std::unique_ptr<TPdxFile>& file) override {
    return Made(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), file);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  int Link(const std::string& from, const std::string& to) override {
    return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  int Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }
  int SyncFolder(const std::string& folder) override {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int e = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // A folder that cannot be synced as a file (some network file systems) has nothing to sync.
    return e == EINVAL ? 0 : e;
  }

 private:
  static int Made(int fd, std::unique_ptr<TPdxFile>& file) {
    if (fd < 0) return errno;
    file = std::make_unique<TOsFile>(fd);
    return 0;
  }
};

TPdxEnv* gProcessEnv = nullptr;

}  // namespace

void TFile::Open(TPdxEnv& env, const std::string& path, bool write) {
  Close();
  if (int e = env.Open(path, write, FFile)) throw EPdxError("Не удаётся открыть файл "_ansi + QuotePath(path) + ": " + SystemError(e));
  FPath = path;
  FWrite = write;
  FSynced = Size();
}

void TFile::Create(TPdxEnv& env, const std::string& path) {
  Close();
  if (int e = env.Create(path, FFile)) throw EPdxError("Не удаётся создать файл "_ansi + QuotePath(path) + ": " + SystemError(e));
  FPath = path;
  FWrite = true;
  FSynced = 0;
}

void TFile::Close() {
  FFile.reset();
  FWritten = false;
}

uint64_t TFile::Size() const {
  uint64_t size = 0;
  return FFile && FFile->Size(size) == 0 ? size : 0;
}

size_t TFile::ReadAt(uint64_t off, void* buf, size_t n) const {
  size_t got = 0;
  if (int e = FFile->Read(off, buf, n, got)) throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(FPath) + ": " + SystemError(e));
  return got;
}

void TFile::WriteAt(uint64_t off, const void* buf, size_t n) {
  FWritten = true;
  if (int e = FFile->Write(off, buf, n)) throw EPdxError("Ошибка записи в файл "_ansi + QuotePath(FPath) + ": " + SystemError(e));
}

void TFile::Sync() {
  if (int e = FFile->Sync()) throw EPdxError("Ошибка записи в файл "_ansi + QuotePath(FPath) + ": " + SystemError(e));
  FWritten = false;
  FSynced = Size();
  ++FSyncs;
}

void TFile::Truncate(uint64_t size) {
  FWritten = true;
  if (int e = FFile->Truncate(size)) throw EPdxError("Не удаётся укоротить файл "_ansi + QuotePath(FPath) + ": " + SystemError(e));
  FSynced = std::min(FSynced, size);
}

void RemoveFile(TPdxEnv& env, const std::string& path) {
  int e = env.Remove(path);
  if (e && e != ENOENT) throw EPdxError("Не удаётся удалить файл "_ansi + QuotePath(path) + ": " + SystemError(e));
}

namespace {

std::mutex gNamedMu;
std::set<std::string> gNamed;  // folders with names not durable yet

std::string FolderKey(const std::string& folder) {
  std::string key = fs::path(folder.empty() ? "." : folder).lexically_normal().string();
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

}  // namespace

void SyncFolder(TPdxEnv& env, const std::string& folder) {
  {
    // Noted names made before the sync are durable after it; one made meanwhile notes it again.
    std::lock_guard<std::mutex> lock(gNamedMu);
    gNamed.erase(FolderKey(folder));
  }
  if (int e = env.SyncFolder(folder)) {
    NoteNewName(folder);
    throw EPdxError("Ошибка записи в папку "_ansi + QuotePath(folder) + ": " + SystemError(e));
  }
}

void NoteNewName(const std::string& folder) {
  std::lock_guard<std::mutex> lock(gNamedMu);
  gNamed.insert(FolderKey(folder));
}

void SyncFolderIfNamed(TPdxEnv& env, const std::string& folder) {
  {
    std::lock_guard<std::mutex> lock(gNamedMu);
    if (!gNamed.count(FolderKey(folder))) return;
  }
  SyncFolder(env, folder);
}

TTempFile::~TTempFile() {
  if (!Done) FEnv.Remove(Path);
}

void TTempFile::Replace() {
  if (int e = FEnv.Rename(Path, Target)) throw EPdxError("Не удаётся заменить файл "_ansi + QuotePath(Target) + ": " + SystemError(e));
  Done = true;
  NoteNewName(fs::path(Target).parent_path().string());
}

}  // namespace detail

TPdxEnv& TPdxEnv::Default() {
  static detail::TOsEnv env;
  return env;
}

TPdxEnv& ProcessEnv() { return detail::gProcessEnv ? *detail::gProcessEnv : TPdxEnv::Default(); }

void SetProcessEnv(TPdxEnv* env) { detail::gProcessEnv = env; }

}  // namespace paradox
