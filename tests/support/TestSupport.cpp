#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <random>
#include <system_error>

namespace testsupport {

std::filesystem::path SharedDir() {
  std::filesystem::path dir;
  if (const char* env = std::getenv("COPYORVEL_SHARED_DIR")) dir = env;
#ifdef COPYORVEL_SHARED_DIR
  if (dir.empty()) dir = COPYORVEL_SHARED_DIR;
#endif
  std::error_code ec;
  if (dir.empty() || !std::filesystem::is_directory(dir, ec)) return {};
  return std::filesystem::canonical(dir, ec);
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
