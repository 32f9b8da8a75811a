#include "foundation/GisLogs.h"

#include <unistd.h>

#include <climits>

TLogFile* ErrLog = nullptr;
TLogFile* WrkLog = nullptr;
TList* LogFiles = nullptr;

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("copyorvel");
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

void InitGisLogs() {
  std::string path = ProgramPath();
  ErrLog = new TLogFile(ChangeFileExt(path, ".Err"));
  WrkLog = new TLogFile(ChangeFileExt(path, ".Wrk"));
  LogFiles = new TList;
}

void DoneGisLogs() {
  delete LogFiles;
  LogFiles = nullptr;
  delete WrkLog;
  WrkLog = nullptr;
  delete ErrLog;
  ErrLog = nullptr;
}
