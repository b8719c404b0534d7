// Shared test helpers: temporary folders, the shared fixtures, a private
// drive root.
#pragma once

#include <filesystem>
#include <string>

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
