#include "platform/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "support/testsupport.h"

namespace fs = std::filesystem;
using namespace qv::platform;

TEST(Paths, ComponentsMatchExistingFoldersWithoutRegardToCase) {
  qv::test::DriveC drive;
  fs::create_directories(drive.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db");
  EXPECT_EQ(map_path("C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp"),
            drive.root() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "temp");
  EXPECT_EQ(map_path("c:/mydata/WK-DB"), drive.root() / "MyData" / "wk-db");
  // Native paths pass through untouched.
  EXPECT_EQ(map_path("/tmp/X"), fs::path("/tmp/X"));
}

TEST(Paths, ExactSpellingWinsOverOtherCase) {
  qv::test::DriveC drive;
  fs::create_directories(drive.root() / "data");
  fs::create_directories(drive.root() / "Data");
  EXPECT_EQ(map_path("C:\\Data"), drive.root() / "Data");
  EXPECT_EQ(map_path("C:\\data"), drive.root() / "data");
  EXPECT_EQ(map_path("C:\\DATA"), drive.root() / "Data");  // first in name order
}

TEST(Paths, ForceDirectoriesExistsAndDelete) {
  qv::test::DriveC drive;
  EXPECT_TRUE(force_directories("C:\\A\\b\\C\\"));
  EXPECT_TRUE(fs::is_directory(drive.root() / "A" / "b" / "C"));
  std::ofstream(drive.root() / "A" / "b" / "C" / "x.GDB") << "x";
  EXPECT_TRUE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_TRUE(delete_file("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(delete_file("C:\\a\\B\\c\\x.gdb"));
}

// Holds a record lock on `file` in a child process until destroyed.
class LockingChild {
 public:
  explicit LockingChild(const fs::path& file) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(release[1]);
      const int fd = ::open(file.c_str(), O_RDWR);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      char c = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
      if (::write(ready[1], &c, 1) != 1 || ::read(release[0], &c, 1) < 0) ::_exit(1);
      ::_exit(0);
    }
    release_ = release[1];
    char c = 'n';
    locked_ = ::read(ready[0], &c, 1) == 1 && c == 'y';
    for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
  }
  ~LockingChild() {
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_;
  int release_;
  bool locked_;
};

TEST(Paths, FileLockedSeesFlockAndRecordLocksOfOthers) {
  qv::test::DriveC drive;
  const fs::path file = drive.root() / "X.GDB";
  std::ofstream(file) << "x";
  EXPECT_FALSE(file_locked("C:\\x.gdb"));
  EXPECT_FALSE(file_locked("C:\\missing.gdb"));

  {  // As the database engine holds a database it has open.
    const int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(file_locked("C:\\x.gdb"));
    ::flock(fd, LOCK_UN);
    ASSERT_EQ(::flock(fd, LOCK_SH | LOCK_NB), 0);
    EXPECT_TRUE(file_locked(file.string()));
    ::close(fd);
  }
  EXPECT_FALSE(file_locked("C:\\x.gdb"));
  {
    LockingChild other(file);
    ASSERT_TRUE(other.locked());
    EXPECT_TRUE(file_locked("C:\\x.gdb"));
  }
  EXPECT_FALSE(file_locked("C:\\x.gdb"));
  // The probe leaves no lock behind.
  const int fd = ::open(file.c_str(), O_RDONLY);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
}

TEST(Paths, ReadableMessageShowsProgramPathsAndCodesOfUnprintableCharacters) {
  qv::test::DriveC drive;
  const std::string root = drive.root().string();
  const struct {
    std::string in, out;
  } cases[] = {
      {"Cannot open " + root + "/MyData/wk-db/intrbase/Quorvel4/temp/1-js.db: denied",
       "Cannot open C:\\MyData\\wk-db\\intrbase\\Quorvel4\\temp\\1-js.db: denied"},
      {"\"" + root + "\" is full", "\"C:\\\" is full"},
      {root + "x/a.db", root + "x/a.db"},  // a sibling of the root stays as it is
      {"CITY.db, row 2, CITY: \"A\x01" "B\" bad", "CITY.db, row 2, CITY: \"AU+0001B\" bad"},
      {"caf\xc3\xa9 \x81 \x7f two\nlines\ttab", "caf\xc3\xa9 0x81 U+007F two\nlines\ttab"},
  };
  for (const auto& c : cases) EXPECT_EQ(readable_message(c.in), c.out) << c.in;
}
