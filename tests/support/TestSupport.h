// Helpers shared by the test suites: the sample Paradox files and temporary folders.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The folder of the sample Paradox files: paradox/samples under $COPYORVEL_SHARED_DIR, else under
// the folder `shared` beside the project. It may be absent, or hold other files.
std::filesystem::path SamplesDir();

// Why a test that reads `files` (paths under SamplesDir) cannot run: the first of them that is
// missing, with the folder looked in; empty when every one is there.
std::string MissingSamples(const std::vector<std::string>& files);

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

}  // namespace testsupport

// Skips the current test, saying why, unless every sample file it names (paths under SamplesDir)
// is there.
#define REQUIRE_SAMPLES(...)                                                    \
  do {                                                                          \
    const std::string missingSamples = testsupport::MissingSamples({__VA_ARGS__}); \
    if (!missingSamples.empty()) GTEST_SKIP() << missingSamples;                \
  } while (0)
