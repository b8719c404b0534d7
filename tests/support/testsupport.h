// Shared test helpers: temporary folders, the shared fixtures, a private
// drive root.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace qv::test {

// A fresh temporary folder, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& s) const { return path_ / s; }

 private:
  std::filesystem::path path_;
};

// The whole content of a file ("" when it cannot be read).
std::string slurp(const std::filesystem::path& p);
// Writes a one-byte file, making its folders.
void touch(const std::filesystem::path& file);

// ../shared (from the project root) as seen by the tests.
std::filesystem::path shared_dir();
// ../shared/fixtures/real-paradox/<rel>
std::filesystem::path fixture(const std::string& rel);
// "" when the shared fixtures are there, else a line naming the missing folder.
std::string missing_fixtures();
// CI=true: what a developer's clone may skip, CI must not.
bool in_ci();

// The folders a program takes from the environment (HOME, XDG_RUNTIME_DIR,
// XDG_CACHE_HOME, XDG_CONFIG_HOME, TMPDIR; the engine's folder follows)
// pointed at fresh private folders for the object's lifetime, then put back
// and removed. Every test program holds one from start to end, so that no
// test writes into, or reads from, the folders of the user running it.
class PrivateFolders {
 public:
  PrivateFolders();
  ~PrivateFolders();
  PrivateFolders(const PrivateFolders&) = delete;
  PrivateFolders& operator=(const PrivateFolders&) = delete;
  const std::filesystem::path& path() const { return root_; }

 private:
  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> earlier_;
};

// Points "C:\" at a fresh temporary folder for the test's lifetime.
class DriveC {
 public:
  DriveC();
  ~DriveC();
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace qv::test

// Skips a test that needs the shared fixtures when they are missing, naming
// the folder; with CI=true it fails instead, so CI never skips them silently.
#define QV_NEEDS_FIXTURES()                                             \
  do {                                                                  \
    if (const std::string qv_missing = ::qv::test::missing_fixtures(); \
        !qv_missing.empty()) {                                          \
      if (::qv::test::in_ci()) FAIL() << qv_missing;                    \
      GTEST_SKIP() << qv_missing;                                       \
    }                                                                   \
  } while (0)
