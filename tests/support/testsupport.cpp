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

namespace {
// Folders a test made read-only must become writable again to go.
void remove_tree(const fs::path& root) {
  std::error_code ec;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(root, ec);
}
}  // namespace

TempDir::~TempDir() { remove_tree(path_); }

fs::path shared_dir() {
  if (const char* env = std::getenv("QV_SHARED_DIR"); env && *env) return env;
  return QV_SHARED_DIR;
}

namespace {
fs::path fixtures_dir() { return shared_dir() / "fixtures" / "real-paradox"; }
}  // namespace

fs::path fixture(const std::string& rel) {
  // Without them every such test would fail on empty data, or crash.
  if (const std::string missing = missing_fixtures(); !missing.empty()) throw std::runtime_error(missing);
  return fixtures_dir() / rel;
}

std::string missing_fixtures() {
  const fs::path dir = fixtures_dir();
  if (fs::is_directory(dir)) return {};
  return "the shared fixtures are not at " + dir.lexically_normal().string() +
         " (a clone of the project alone has none; CI=true makes this a failure)";
}

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

namespace {
constexpr const char* kPrivateVariables[] = {"HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "XDG_CONFIG_HOME",
                                             "TMPDIR"};
// Would lead a test into the user's own engine lock folder or drive root.
constexpr const char* kDroppedVariables[] = {"FIREBIRD_LOCK", "QUORVEL_DRIVE_C"};
}  // namespace

PrivateFolders::PrivateFolders() {
  std::string pattern = (fs::temp_directory_path() / "qv-tests-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create the tests' private folder " + pattern);
  root_ = pattern;
  for (const char* name : kPrivateVariables) {
    const char* value = std::getenv(name);
    earlier_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    const fs::path dir = root_ / name;
    fs::create_directory(dir);
    fs::permissions(dir, fs::perms::owner_all);
    ::setenv(name, dir.c_str(), 1);
  }
  for (const char* name : kDroppedVariables) {
    const char* value = std::getenv(name);
    earlier_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    ::unsetenv(name);
  }
}

PrivateFolders::~PrivateFolders() {
  for (const auto& [name, value] : earlier_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
  remove_tree(root_);
}

DriveC::DriveC() { platform::set_drive_root(dir_.path()); }
DriveC::~DriveC() { platform::set_drive_root({}); }

}  // namespace qv::test
