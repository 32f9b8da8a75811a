// Files of the Paradox engine: reading and writing at offsets, files written whole under a
// temporary name, the family of files of one table, and the simulated full disk of the tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/paradox/PdxTableState.h"

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

std::vector<fs::path> FamilyFiles(const std::string& folder, const std::string& base) {
  std::vector<fs::path> out;
  std::string ub = UpperCase(base);
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = it->path().filename().string();
    std::string un = UpperCase(name);
    if (un.size() <= ub.size() + 1 || un.compare(0, ub.size(), ub) != 0 || un[ub.size()] != '.') continue;
    std::string ext = un.substr(ub.size() + 1);
    bool hit = ext == "DB" || ext == "MB" || ext == "PX" || ext == "VAL" || ext == "TV" || ext == "FAM";
    if (ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y')) {
      if (ext[1] == 'G' && std::isxdigit(uint8_t(ext[2]))) hit = true;
      if (std::isxdigit(uint8_t(ext[1])) && std::isxdigit(uint8_t(ext[2]))) hit = true;
    }
    if (hit) out.push_back(it->path());
  }
  return out;
}

namespace {

// The simulated full disk of SetWriteFault.
std::mutex gFaultMu;
std::atomic<bool> gFaultSet{false};
TPdxWriteFault gFault;
int64_t gFaultWritten = 0;

// The error the fault gives a write of n bytes (or, with n 0 and sync, an fdatasync) to path: 0
// when it may go ahead.
int FaultFor(const std::string& path, size_t n, bool sync) {
  if (!gFaultSet.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> lock(gFaultMu);
  if (UpperCase(fs::path(path).filename().string()).rfind(UpperCase(gFault.FilePrefix), 0) != 0) return 0;
  if (sync) return gFault.FailSync ? EIO : 0;
  if (int64_t(n) > gFault.ByteLimit - gFaultWritten) return ENOSPC;
  gFaultWritten += int64_t(n);
  return 0;
}

}  // namespace

void TFile::Open(const std::string& path, bool write) {
  Close();
  FFd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (FFd < 0) throw EPdxError("Не удаётся открыть файл "_ansi + QuotePath(path) + ": " + SystemError(errno));
  FPath = path;
  FWrite = write;
}

void TFile::Create(const std::string& path) {
  Close();
  FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (FFd < 0) throw EPdxError("Не удаётся создать файл "_ansi + QuotePath(path) + ": " + SystemError(errno));
  FPath = path;
  FWrite = true;
}

void TFile::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

uint64_t TFile::Size() const {
  struct stat st;
  if (::fstat(FFd, &st) != 0) return 0;
  return uint64_t(st.st_size);
}

size_t TFile::ReadAt(uint64_t off, void* buf, size_t n) const {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(FFd, static_cast<char*>(buf) + done, n - done, off_t(off + done));
    if (r < 0) { if (errno == EINTR) continue; throw EPdxError("Ошибка чтения файла "_ansi + QuotePath(FPath) + ": " + SystemError(errno)); }
    if (r == 0) break;
    done += size_t(r);
  }
  return done;
}

void TFile::WriteAt(uint64_t off, const void* buf, size_t n) {
  if (int e = FaultFor(FPath, n, false)) throw EPdxError("Ошибка записи в файл "_ansi + QuotePath(FPath) + ": " + SystemError(e));
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pwrite(FFd, static_cast<const char*>(buf) + done, n - done, off_t(off + done));
    if (r < 0) { if (errno == EINTR) continue; throw EPdxError("Ошибка записи в файл "_ansi + QuotePath(FPath) + ": " + SystemError(errno)); }
    done += size_t(r);
  }
}

void TFile::Sync() {
  int e = FaultFor(FPath, 0, true);
  if (e == 0 && ::fdatasync(FFd) != 0) e = errno;
  if (e) throw EPdxError("Ошибка записи в файл "_ansi + QuotePath(FPath) + ": " + SystemError(e));
}

void TFile::Truncate(uint64_t size) {
  if (::ftruncate(FFd, off_t(size)) != 0) throw EPdxError("Не удаётся укоротить файл "_ansi + QuotePath(FPath) + ": " + SystemError(errno));
}

TTempFile::~TTempFile() {
  std::error_code ec;
  if (!Done) fs::remove(Path, ec);
}

void TTempFile::Replace() {
  std::error_code ec;
  fs::rename(Path, Target, ec);
  if (ec) throw EPdxError("Не удаётся заменить файл "_ansi + QuotePath(Target) + ": " + SystemError(ec.value()));
  Done = true;
}

}  // namespace detail

void SetWriteFault(const TPdxWriteFault& fault) {
  std::lock_guard<std::mutex> lock(detail::gFaultMu);
  detail::gFault = fault;
  detail::gFaultWritten = 0;
  detail::gFaultSet = true;
}

void ClearWriteFault() {
  std::lock_guard<std::mutex> lock(detail::gFaultMu);
  detail::gFaultSet = false;
}

}  // namespace paradox
