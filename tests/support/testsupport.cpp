#include "support/testsupport.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace qv::test {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "x";
}

TempDir::TempDir() {
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = fs::temp_directory_path() / ("qv-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Folders a test made read-only must become writable again to go.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

fs::path shared_dir() {
  if (const char* env = std::getenv("QV_SHARED_DIR"); env && *env) return env;
  return QV_SHARED_DIR;
}

fs::path fixture(const std::string& rel) {
  const fs::path dir = shared_dir() / "fixtures" / "real-paradox";
  // Without them every such test would fail on empty data, or crash.
  if (!fs::is_directory(dir)) throw std::runtime_error("the shared fixtures are not at " + dir.string());
  return dir / rel;
}

DriveC::DriveC() { platform::set_drive_root(dir_.path()); }
DriveC::~DriveC() { platform::set_drive_root({}); }

}  // namespace qv::test
