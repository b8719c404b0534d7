#include "platform/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
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
  force_directories("C:\\A\\b\\C\\");
  EXPECT_TRUE(fs::is_directory(drive.root() / "A" / "b" / "C"));
  std::ofstream(drive.root() / "A" / "b" / "C" / "x.GDB") << "x";
  EXPECT_TRUE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_TRUE(delete_file("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(file_exists("C:\\a\\B\\c\\x.gdb"));
  EXPECT_FALSE(delete_file("C:\\a\\B\\c\\x.gdb"));
}

// A file where the folder or one above it belongs: an error naming the folder.
TEST(Paths, ForceDirectoriesNamesAFolderItCannotMake) {
  qv::test::DriveC drive;
  std::ofstream(drive.root() / "F") << "x";
  for (const char* folder : {"C:\\F", "C:\\F\\sub\\"}) {
    try {
      force_directories(folder);
      ADD_FAILURE() << folder << " made";
    } catch (const std::runtime_error& e) {
      const std::string want = "Cannot create folder " + map_path(folder).string() + ": ";
      EXPECT_EQ(std::string(e.what()).rfind(want, 0), 0u) << e.what();
    }
  }
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

// Two runs that share a folder take turns through its lock; whatever is in
// the folder's place is neither locked nor waited on.
TEST(Paths, FolderLockIsHeldByOneHolderAtATime) {
  qv::test::DriveC drive;
  fs::create_directories(drive.root() / "Temp");
  fs::create_directory_symlink(drive.root() / "Temp", drive.root() / "link");
  std::ofstream(drive.root() / "file") << "x";
  ASSERT_EQ(::mkfifo((drive.root() / "fifo").c_str(), 0600), 0);
  {
    qv::platform::FolderLock first("C:\\temp");
    ASSERT_TRUE(first.held());
    for (const char* other : {"C:\\Temp", "C:\\link"}) {
      qv::platform::FolderLock second(other);
      EXPECT_FALSE(second.held()) << other;
      EXPECT_TRUE(second.busy()) << other;
    }
    // Another process is told the same.
    const pid_t pid = ::fork();
    if (pid == 0) {
      qv::platform::FolderLock in_child("C:\\temp");
      ::_exit(in_child.busy() ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A moved lock stays held; the emptied one holds nothing.
    qv::platform::FolderLock moved = std::move(first);
    EXPECT_TRUE(moved.held());
    EXPECT_TRUE(qv::platform::FolderLock("C:\\temp").busy());
  }
  EXPECT_TRUE(qv::platform::FolderLock("C:\\temp").held());  // let go with its holder
  for (const char* nothing : {"C:\\file", "C:\\fifo", "C:\\missing"}) {
    qv::platform::FolderLock lock(nothing);
    EXPECT_FALSE(lock.held()) << nothing;
    EXPECT_FALSE(lock.busy()) << nothing;
  }
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
