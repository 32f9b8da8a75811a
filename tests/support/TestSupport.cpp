#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <random>
#include <system_error>

namespace testsupport {

std::filesystem::path SamplesDir() {
  std::filesystem::path dir;
  if (const char* env = std::getenv("COPYORVEL_SHARED_DIR")) dir = env;
#ifdef COPYORVEL_SHARED_DIR
  if (dir.empty()) dir = COPYORVEL_SHARED_DIR;
#endif
  std::error_code ec;
  const std::filesystem::path samples = std::filesystem::weakly_canonical(dir / "paradox" / "samples", ec);
  return ec ? dir / "paradox" / "samples" : samples;
}

std::string MissingSamples(const std::vector<std::string>& files) {
  const std::filesystem::path dir = SamplesDir();
  for (const std::string& file : files) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(dir / file, ec))
      return "the sample file " + file + " is missing from " + dir.string();
  }
  return "";
}

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    FPath = base / ("copyorvel-test-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(FPath, ec)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

}  // namespace testsupport
