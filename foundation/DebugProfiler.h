// The profile-file name and counters: set up at start-up, never used.
#pragma once

#include <string>

extern std::string ProfileFileName;  // <program>.prof
extern int ProfileCallCount;
extern int ProfileDepth;
void InitDebugProfiler();
void DoneDebugProfiler();
