// Log-file objects named after the program: set up at start-up, never opened or written.
#pragma once

#include <memory>
#include <string>

#include "platform/rtl/Classes.h"

class TLogFile : public TObject {
 public:
  explicit TLogFile(std::string fileName) : FileName(std::move(fileName)) {}
  std::string FileName;
  bool Enabled = true;
};

// The program's own path (the executable), in the file system's encoding.
std::string ProgramPath();
// The path with its extension replaced (or added).
std::string ChangeFileExt(const std::string& path, const std::string& ext);

extern TLogFile* ErrLog;  // <program>.Err
extern TLogFile* WrkLog;  // <program>.Wrk
extern TList* LogFiles;
void InitGisLogs();
void DoneGisLogs();
