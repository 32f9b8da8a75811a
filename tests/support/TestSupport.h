// Helpers shared by the test suites: the folder of shared sample files and temporary folders.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// The shared folder beside the project (sample Paradox files and the like), or an empty path
// when it is absent; tests that need it skip, saying so.
std::filesystem::path SharedDir();

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

// Skips the current test when the shared folder is absent.
#define REQUIRE_SHARED_DIR()                                                        \
  do {                                                                              \
    if (testsupport::SharedDir().empty())                                           \
      GTEST_SKIP() << "the shared folder with the sample files is absent";          \
  } while (0)
