// Windows paths of the program ("C:\MyData\...") and where they live on this
// system. "C:\" maps to a drive root folder; every component below it is
// matched against what exists without regard to letter case (an exact match
// wins), so "...\quorvel4\db" and "...\Quorvel4\temp" share one folder.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qv::platform {

// The folder that stands for "C:\". Set by --drive-c, else QUORVEL_DRIVE_C,
// else the user's home folder.
void set_drive_root(const std::filesystem::path& root);
std::filesystem::path drive_root();

// True for "C:\..." or "c:/..." style paths.
bool is_windows_path(std::string_view path);

// Maps a program path to a real path. Windows paths go through the drive
// root with case-insensitive component matching; anything else is taken as a
// native path and returned as it is. Missing components keep their spelling.
std::filesystem::path map_path(std::string_view path);

// A message as a person reads it: every real path below the drive root in
// its program form ("C:\MyData\..."), and every character that cannot be
// shown (control characters, invalid UTF-8 bytes) as its code, "U+0001" or
// "0x81". Line breaks stay.
std::string readable_message(std::string_view text);

// File-system operations on program paths (Windows or native).
// Creates the folder with all missing parents. Throws naming the folder when
// it cannot be created or something other than a folder is in its place.
void force_directories(std::string_view path);
bool file_exists(std::string_view path);
// Deletes a file; false when it could not be deleted (or did not exist).
bool delete_file(std::string_view path);
// True when the file carries a lock of someone else: a flock() lock (the
// database engine holds an exclusive one on every database it has open) or
// a record lock of another process. A flock() lock this process holds
// through another open of the file counts too, and the probe's close drops
// record locks this process holds on the file. False for a missing file.
bool file_locked(std::string_view path);

// A lock (flock) on a folder itself, taken without waiting and held for the
// object's life; the system lets it go however the process ends. Runs of
// this program that share a folder take turns through it.
class FolderLock {
 public:
  FolderLock() = default;
  // Locks the folder (a program path; a link to a folder locks the folder).
  explicit FolderLock(std::string_view path);
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();
  bool held() const { return fd_ >= 0; }
  // Not held because another holder has it (another process, or another
  // lock of this one); false when the folder could not be opened at all.
  bool busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};

// Opens a file the user named for writing (created, emptied) without
// blocking: a FIFO that no program reads gives ENXIO instead of a hang; a
// pipe or FIFO with a reader is written as usual. `extra_flags` adds open()
// flags (O_NOFOLLOW); a new file gets `mode` less the umask. Returns the
// descriptor (close-on-exec), or -1 with errno.
int open_output(const std::filesystem::path& file, int extra_flags = 0, unsigned mode = 0666);
// Writes `text` to `file` through open_output; "" on success, else why not
// ("No space left on device", "no program reads from it").
std::string write_output(const std::filesystem::path& file, std::string_view text);
// The same to the standard output (after what was printed on it before).
std::string write_stdout(std::string_view text);
// write_output, or write_stdout when `file` is "-".
std::string write_output_or_stdout(const std::filesystem::path& file, std::string_view text);

// Finds an entry of `dir` whose name equals `name` without regard to letter
// case (exact spelling first). Returns an empty path when there is none.
std::filesystem::path find_case_insensitive(const std::filesystem::path& dir, std::string_view name);

}  // namespace qv::platform
