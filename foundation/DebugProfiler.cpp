#include "foundation/DebugProfiler.h"

#include "foundation/GisLogs.h"

std::string ProfileFileName;
int ProfileCallCount = 0;
int ProfileDepth = 0;

void InitDebugProfiler() {
  ProfileFileName = ChangeFileExt(ProgramPath(), ".prof");
  ProfileCallCount = 0;
  ProfileDepth = 0;
}

void DoneDebugProfiler() { ProfileFileName.clear(); }
