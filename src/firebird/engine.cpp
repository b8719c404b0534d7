#include "firebird/engine.h"
#include "firebird/engine_process.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>
#include <cerrno>
#include <csignal>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <ibase.h>

#include "platform/exit_timer.h"
#include "platform/signals.h"

namespace qv::fb {

using namespace Firebird;
namespace fs = std::filesystem;

namespace {

// A folder only this user can use: created with mode 0700 and refused when
// it is anything else (someone else's, a link, open to others).
fs::path private_folder(const fs::path& dir, const char* what, const char* variable) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw Error(std::string("Cannot create the ") + what + " " + dir.string() + ": " + std::strerror(errno));
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    throw Error(std::string("The ") + what + " " + dir.string() + " is not a folder private to this user; set " +
                variable + " to one");
  return dir;
}

// A folder of this user's (made when missing), usable as a parent.
bool own_folder(const fs::path& dir, bool create) {
  if (dir.empty() || !dir.is_absolute()) return false;
  if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         ::access(dir.c_str(), W_OK | X_OK) == 0;
}

fs::path g_temporary_base;  // made by mkdtemp, removed at the end

void remove_temporary_base() {
  std::error_code ec;
  if (!g_temporary_base.empty()) fs::remove_all(g_temporary_base, ec);
}

}  // namespace

namespace detail {

bool settings_safe(const std::filesystem::path& folder) {
  // The engine's settings reader knows no quoting: "$(" starts a macro
  // (expanded again and again when the folder's own path holds one), "#" a
  // comment, "[" and "]" a section, "=" and "{" "}" a setting, and a line
  // break a new line. A folder whose path holds one is never named there.
  const std::string p = folder.string();
  return p.find("$(") == std::string::npos && p.find_first_of("#[]={}\"\n\r") == std::string::npos;
}

PrivateBase private_base(const char* runtime_dir, const char* cache_home, const char* home) {
  const auto set = [](const char* v) { return v && *v ? fs::path(v) : fs::path(); };
  const auto usable = [](const fs::path& p) { return settings_safe(p / kPrivateFolderName); };
  const fs::path runtime = set(runtime_dir);
  if (usable(runtime) && own_folder(runtime, false))
    return {private_folder(runtime / kPrivateFolderName, "engine folder", "FIREBIRD_LOCK"), false};
  fs::path cache = set(cache_home);
  if (cache.empty() && own_folder(set(home), false)) cache = set(home) / ".cache";
  if (usable(cache) && own_folder(cache, true))
    return {private_folder(cache / kPrivateFolderName, "engine folder", "FIREBIRD_LOCK"), false};
  char name[] = "/tmp/quorvel-migrate-XXXXXX";
  if (!::mkdtemp(name)) throw Error(std::string("Cannot create an engine folder in /tmp: ") + std::strerror(errno));
  return {name, true};
}

std::optional<std::uint64_t> process_start(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i)
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);  // start time, in ticks since boot
  return std::nullopt;
}

std::string process_folder_name(long pid, std::uint64_t start) { return std::to_string(pid) + "-" + std::to_string(start); }

void remove_folders_of_ended_processes(const fs::path& base) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(base, ec)) {
    const std::string name = entry.path().filename().string();
    long pid = 0;
    unsigned long long start = 0;
    int used = 0;
    if (std::sscanf(name.c_str(), "%ld-%llu%n", &pid, &start, &used) != 2 || used != static_cast<int>(name.size()))
      continue;
    const auto now = process_start(pid);
    if (now && *now == start) continue;  // still running
    fs::remove_all(entry.path(), ec);
  }
}

}  // namespace detail

namespace {

// The engine's folders of this process: `<pid>-<start time>` under the
// base, made at the first use. Folders of processes that ended are removed
// then. A child never uses its parent's: what the parent set is dropped.
constexpr const char* kOwnFolderVariable = "QUORVEL_ENGINE_FOLDER";

fs::path g_own_folder;  // removed at the end
fs::path g_own_root;    // the engine root laid out here, when there is one
fs::path g_lock_folder;
bool g_lock_shared = false;  // a lock folder the caller chose: other processes may use it

void drop_inherited_folders() {
  const char* inherited = std::getenv(kOwnFolderVariable);
  if (!inherited || !*inherited) return;
  for (const char* variable : {"FIREBIRD_LOCK", "FIREBIRD"}) {
    const char* set = std::getenv(variable);
    if (set && fs::path(set).parent_path() == fs::path(inherited)) ::unsetenv(variable);
  }
  ::unsetenv(kOwnFolderVariable);
}

const fs::path& process_folder() {
  if (g_own_folder.empty()) {
    const detail::PrivateBase b = detail::private_base(std::getenv("XDG_RUNTIME_DIR"), std::getenv("XDG_CACHE_HOME"),
                                                       std::getenv("HOME"));
    if (b.temporary) g_temporary_base = b.path;
    detail::remove_folders_of_ended_processes(b.path);
    const long pid = ::getpid();
    g_own_folder = private_folder(b.path / detail::process_folder_name(pid, detail::process_start(pid).value_or(0)),
                                  "engine folder", "FIREBIRD_LOCK");
    ::setenv(kOwnFolderVariable, g_own_folder.c_str(), 1);
  }
  return g_own_folder;
}

// The engine keeps its lock tables in FIREBIRD_LOCK (default /tmp/firebird),
// shared by every process that uses the folder: one process's wedge there
// (a mutex left held by a thread that died) would stop all the others.
// Unless the caller chose a folder, each process gets one of its own.
void ensure_lock_folder() {
  if (const char* set = std::getenv("FIREBIRD_LOCK"); set && *set) {
    g_lock_folder = set;
    g_lock_shared = true;
    return;
  }
  g_lock_folder = private_folder(process_folder() / "lock", "database lock folder", "FIREBIRD_LOCK");
  ::setenv("FIREBIRD_LOCK", g_lock_folder.c_str(), 1);
}

// The engine reads its settings from its root folder. Ours mirrors the
// installed one (links to its plugins, character sets and messages) with a
// few settings changed: no trace plugin (its exit handler shut the engine
// down a second time, from inside the C library's exit), and the memory a
// sort may take while an index is built held to a few MiB (beyond it the
// sort goes to temporary files), so a run's memory stays small however many
// rows it loads. Unless the caller chose a root.
constexpr const char* kEngineSettings = "\n# Set by the QUORVEL migration tool\nTracePlugin =\nTempCacheLimit = 8M\n";

std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void ensure_engine_root() {
  if (const char* set = std::getenv("FIREBIRD"); set && *set) return;
  const fs::path root = private_folder(process_folder() / "root", "database engine folder", "FIREBIRD");
  if (!detail::settings_safe(root) || !lay_out_engine_root(root, "")) return;  // not usable: the installed settings stay
  ::setenv("FIREBIRD", root.c_str(), 1);
  g_own_root = root;
}

// The engine turns file names into the system character set of the process's
// locale. Our paths are UTF-8: a process still in the "C" locale would make
// every accented folder name untranslatable.
void ensure_utf8_file_names() {
  const char* codeset = ::nl_langinfo(CODESET);
  if (codeset && std::strcmp(codeset, "UTF-8") == 0) return;
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
}

IMaster* init_master() {
  drop_inherited_folders();
  ensure_lock_folder();
  ensure_engine_root();
  ensure_utf8_file_names();
  return fb_get_master_interface();
}

std::atomic<bool> g_engine_started{false};
std::once_flag g_shut_down;

// The engine's threads and files are let go once, before the process ends,
// so that nothing of it is still running while the process's own memory is
// torn down; then this process's folders go.
void shut_down_engine() {
  std::call_once(g_shut_down, [] {
    if (g_engine_started) fb_shutdown(0, fb_shutrsn_exit_called);
    std::error_code ec;
    if (!g_own_folder.empty()) fs::remove_all(g_own_folder, ec);
    remove_temporary_base();
  });
}

}  // namespace

bool lay_out_engine_root(const std::filesystem::path& root, std::string_view extra_settings) {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&fb_get_master_interface), &info) || !info.dli_fname) return false;
  std::error_code ec;
  // The real folder, so that every process links to the same targets.
  const fs::path installed = fs::canonical(fs::path(info.dli_fname).parent_path() / "firebird" / "3.0", ec);
  if (ec || !fs::is_directory(installed / "plugins", ec)) return false;  // an engine laid out otherwise: leave it be
  for (const auto& entry : fs::directory_iterator(installed, ec)) {
    const fs::path name = entry.path().filename();
    if (name == "firebird.conf") continue;
    const fs::path link = root / name;
    if (fs::read_symlink(link, ec) == entry.path()) continue;
    fs::remove(link, ec);
    fs::create_symlink(entry.path(), link, ec);  // another process may have made it meanwhile
    if (fs::read_symlink(link, ec) != entry.path()) return false;  // not usable: the installed settings stay
  }
  const std::string settings = read_text(installed / "firebird.conf") + kEngineSettings + std::string(extra_settings);
  if (read_text(root / "firebird.conf") != settings) {
    // Written aside and renamed, so a process starting at the same moment
    // reads either the old file or the new one, never half of one.
    const fs::path tmp = root / ("firebird.conf." + std::to_string(::getpid()));
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << settings;
      if (!out) return false;
    }
    fs::rename(tmp, root / "firebird.conf", ec);
    if (ec) {
      fs::remove(tmp, ec);
      return false;
    }
  }
  return true;
}

Engine::~Engine() {
  if (provider_) provider_->release();
}

IProvider* Engine::provider() const {
  if (!provider_) provider_ = master_->getDispatcher();
  return provider_;
}

std::shared_ptr<const Engine> installed_engine() {
  static const std::shared_ptr<const Engine> engine = [] {
    auto e = std::make_shared<const Engine>(init_master());
    g_engine_started = true;
    std::atexit(shut_down_engine);  // a program that ends without end_engine()
    return e;
  }();
  return engine;
}

int end_engine(int code) {
  if (g_engine_started)
    platform::arm_exit_timer(platform::timer_length(std::chrono::seconds(10)), code, [] {
    return std::string("The database engine did not shut down within 10 seconds; the program ends without it.");
  });
  shut_down_engine();
  return code;
}

namespace detail {

std::string message(IStatus* status) {
  char buf[2048];
  const unsigned n = installed_engine()->util()->formatStatus(buf, sizeof buf, status);
  std::string text(buf, std::min<std::size_t>(n, sizeof buf - 1));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  // The engine writes one message per line, continuations starting with "-".
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

long gds_code(IStatus* status) {
  const ISC_STATUS* v = status->getErrors();
  return (v[0] == isc_arg_gds) ? static_cast<long>(v[1]) : 0;
}

bool has_code(IStatus* status, long code) {
  for (const ISC_STATUS* v = status->getErrors(); *v != isc_arg_end; v += 2) {
    if (*v == isc_arg_gds && v[1] == code) return true;
    if (*v == isc_arg_cstring) ++v;  // length, pointer
  }
  return false;
}

Error error(const FbException& e, std::string_view context) {
  std::string text = message(e.getStatus());
  if (!context.empty()) text = std::string(context) + ": " + text;
  // A key clash reports the generic constraint code first; keep the key code.
  long code = gds_code(e.getStatus());
  for (long key_code : {isc_unique_key_violation, isc_no_dup})
    if (has_code(e.getStatus(), key_code)) code = key_code;
  Error out(text, code, no_such_file(e.getStatus()));
  // Recognised by the engine's codes, whatever its message says.
  for (long refused : {isc_unique_key_violation, isc_no_dup, isc_convert_error, isc_arith_except, isc_not_valid,
                       isc_not_valid_for_var, isc_date_range_exceeded, isc_check_constraint, isc_string_truncation,
                       isc_numeric_out_of_range, isc_transliteration_failed, isc_malformed_string})
    if (has_code(e.getStatus(), refused)) out.set_refused_value();
  for (long lost : {isc_network_error, isc_net_read_err, isc_net_write_err, isc_conn_lost, isc_lost_db_connection,
                    isc_att_shutdown, isc_shutdown, isc_net_server_shutdown, isc_bad_db_handle})
    if (has_code(e.getStatus(), lost)) out.set_connection_lost();
  return out;
}

Metadata text_message(const Engine& engine, IMessageMetadata* meta, const std::function<unsigned(unsigned)>& length) {
  Status st(engine);
  MetadataBuilder b(meta->getBuilder(st.get()));
  for (unsigned i = 0, n = meta->getCount(st.get()); i < n; ++i) {
    b->setType(st.get(), i, SQL_VARYING + 1);
    b->setLength(st.get(), i, length(i));
    b->setCharSet(st.get(), i, 0);
  }
  return Metadata(b->getMetadata(st.get()));
}

StoreRequest store_request(std::string_view table, const std::vector<StoreRequest::Column>& columns) {
  StoreRequest r;
  std::vector<unsigned char>& blr = r.blr;
  const auto word = [&blr](std::size_t v) {
    blr.push_back(static_cast<unsigned char>(v & 0xff));
    blr.push_back(static_cast<unsigned char>(v >> 8));
  };
  const auto name = [&blr](std::string_view text) {
    blr.push_back(static_cast<unsigned char>(text.size()));
    blr.insert(blr.end(), text.begin(), text.end());
  };
  blr = {blr_version5, blr_begin, blr_message, 0};
  word(2 * columns.size() + 1);
  for (const StoreRequest::Column& c : columns) {
    blr.insert(blr.end(), {blr_varying2, 0, 0});  // character set NONE
    word(c.width);
    blr.insert(blr.end(), {blr_short, 0});
    r.length = (r.length + 1) & ~1u;
    r.offsets.push_back(r.length);
    r.length += 2 + c.width;
    r.length = (r.length + 1) & ~1u;
    r.null_offsets.push_back(r.length);
    r.length += 2;
  }
  blr.insert(blr.end(), {blr_short, 0});  // the end flag
  r.end_offset = r.length;
  r.length += 2;
  // Label 0: loop { receive; if (end flag = 1) leave label 0 else store }.
  blr.insert(blr.end(), {blr_label, 0, blr_loop, blr_receive, 0, blr_if, blr_eql, blr_parameter, 0});
  word(2 * columns.size());
  blr.insert(blr.end(), {blr_literal, blr_short, 0, 1, 0, blr_leave, 0, blr_store, blr_relation});
  name(table);
  blr.insert(blr.end(), {0, blr_begin});
  for (std::size_t p = 0; p < columns.size(); ++p) {
    blr.insert(blr.end(), {blr_assignment, blr_parameter2, 0});
    word(2 * p);      // the value
    word(2 * p + 1);  // its null flag
    blr.insert(blr.end(), {blr_field, 0});
    name(columns[p].name);
  }
  blr.insert(blr.end(), {blr_end, blr_end, blr_eoc});
  return r;
}

std::vector<Row> fetch(const Engine& engine, IAttachment* att, ITransaction* tra, std::string_view sql,
                       unsigned dialect) {
  Status st(engine);
  Statement stmt(att->prepare(st.get(), tra, static_cast<unsigned>(sql.size()), sql.data(), dialect,
                              IStatement::PREPARE_PREFETCH_METADATA));
  // Every column is read as text.
  const Metadata out(stmt->getOutputMetadata(st.get()));
  const Metadata meta = text_message(engine, out.get(), [&](unsigned i) {
    const unsigned type = out->getType(st.get(), i) & ~1u;
    const unsigned len = (type == SQL_TEXT || type == SQL_VARYING) ? out->getLength(st.get(), i) : 64u;
    return std::clamp(len, 64u, 32000u);
  });
  const unsigned n = meta->getCount(st.get());
  std::vector<unsigned> offsets, null_offsets;
  for (unsigned i = 0; i < n; ++i) {
    offsets.push_back(meta->getOffset(st.get(), i));
    null_offsets.push_back(meta->getNullOffset(st.get(), i));
  }
  std::vector<unsigned char> buf(meta->getMessageLength(st.get()));
  std::vector<Row> rows;
  ResultSet rs(stmt->openCursor(st.get(), tra, nullptr, nullptr, meta.get(), 0));
  while (rs->fetchNext(st.get(), buf.data()) == IStatus::RESULT_OK) {
    Row& row = rows.emplace_back(n);
    for (unsigned i = 0; i < n; ++i) {
      short null_flag = 0;
      std::memcpy(&null_flag, buf.data() + null_offsets[i], sizeof null_flag);
      if (null_flag) continue;
      const unsigned char* p = buf.data() + offsets[i];
      unsigned short len = 0;
      std::memcpy(&len, p, sizeof len);
      row[i].emplace(reinterpret_cast<const char*>(p + sizeof len), len);
    }
  }
  rs.end([&](IResultSet* r) { r->close(st.get()); });
  return rows;
}

std::string engine_name(const std::string& path) {
  if (path.find(':') == std::string::npos) return path;
  installed_engine();  // our engine folder first
  if (g_own_root.empty())
    throw Error("Cannot reach database " + path +
                ": the engine takes a path holding \":\" for a network address, and only an engine folder of this "
                "program's own (FIREBIRD not set) can name it otherwise");
  const fs::path target = fs::absolute(path).lexically_normal();
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: the same path gives the same alias in every run
  for (const unsigned char c : target.string()) hash = (hash ^ c) * 1099511628211ull;
  char key[17];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
  const std::string alias = std::string("quorvel-") + key;
  const fs::path links = private_folder(g_own_root / "links", "database engine folder", "FIREBIRD");
  const fs::path link = links / (std::string(key) + ".gdb");
  const fs::path conf = g_own_root / "databases.conf";
  const std::string line = alias + " = " + link.string() + "\n";

  // One naming at a time (threads of the process may name databases at once).
  const int dir = ::open(g_own_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::flock(dir, LOCK_EX) != 0) {
    if (dir >= 0) ::close(dir);
    throw Error("Cannot lock the database engine folder " + g_own_root.string() + ": " + std::strerror(errno));
  }
  std::error_code ec;
  if (fs::read_symlink(link, ec) != target) {
    const fs::path tmp = links / (std::string(key) + "." + std::to_string(::getpid()));
    fs::remove(tmp, ec);
    fs::create_symlink(target, tmp, ec);
    if (!ec) fs::rename(tmp, link, ec);
  }
  std::string text = read_text(conf);
  if (!ec && text.find(line) == std::string::npos) {
    text += line;
    const fs::path tmp = g_own_root / ("databases.conf." + std::to_string(::getpid()));
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << text;
      if (!out) ec = std::make_error_code(std::errc::io_error);
    }
    // The engine reads the file again when its modification time (in
    // seconds) changes: a change within the same second must show.
    struct stat old {};
    timespec times[2]{{0, UTIME_OMIT}, {std::time(nullptr), 0}};
    if (::stat(conf.c_str(), &old) == 0 && times[1].tv_sec <= old.st_mtime) times[1].tv_sec = old.st_mtime + 1;
    if (!ec && ::utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0) ec = std::error_code(errno, std::generic_category());
    if (!ec) fs::rename(tmp, conf, ec);
    if (ec) ::unlink(tmp.c_str());
  }
  ::close(dir);  // the lock goes with it
  if (ec) throw Error("Cannot name database " + path + " in the database engine folder " + g_own_root.string() + ": " + ec.message());
  return alias;
}

namespace {

// The attachments alive, for a stop signal to cancel their calls. Never
// destroyed: the stop watcher may use them while the process exits.
struct Attachments {
  std::mutex mutex;
  std::vector<IAttachment*> live;
};
Attachments& attachments() {
  static Attachments* const a = new Attachments;
  return *a;
}

void remember_attachment(IAttachment* att) {
  Attachments& a = attachments();
  std::lock_guard lock(a.mutex);
  a.live.push_back(att);
}

// The processes that have the folder's files mapped, as "pid (name)".
std::string processes_using(const fs::path& folder) {
  std::string found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(::getpid())) continue;
    std::ifstream maps(entry.path() / "maps");
    for (std::string line; std::getline(maps, line);)
      if (line.find(" " + folder.string() + "/") != std::string::npos) {
        std::string name = read_text(entry.path() / "comm");
        while (!name.empty() && name.back() == '\n') name.pop_back();
        found += (found.empty() ? "" : ", ") + pid + " (" + name + ")";
        break;
      }
  }
  return found;
}

// While the engine attaches or creates through a lock folder that other
// processes share, the wait is bounded: a mutex left held there by a
// process that died would otherwise hold this one for ever.
class SharedLockWait {
 public:
  explicit SharedLockWait(bool local) {
    if (!local || !g_lock_shared) return;
    const fs::path folder = g_lock_folder;
    arming_ = platform::arm_exit_timer(platform::timer_length(kWait), 1, [folder] {
      const std::string users = processes_using(folder);
      return "The database engine waited " + std::to_string(kWait.count()) + " seconds on its lock folder " +
             folder.string() + " (set by FIREBIRD_LOCK), which " +
             (users.empty() ? std::string("another process holds") : "these processes use: " + users) +
             ". End them, or unset FIREBIRD_LOCK so that the run uses a folder of its own, and run again.";
    });
  }
  ~SharedLockWait() {
    if (arming_) platform::disarm_exit_timer(arming_);
  }
  SharedLockWait(const SharedLockWait&) = delete;
  SharedLockWait& operator=(const SharedLockWait&) = delete;

 private:
  static constexpr std::chrono::seconds kWait{60};
  unsigned arming_ = 0;
};

// The parameters every attachment and creation is made with.
ParamBuilder connection_parameters(const Engine& engine, Status& st, const Server* server) {
  ParamBuilder dpb(engine.util()->getXpbBuilder(st.get(), IXpbBuilder::DPB, nullptr, 0));
  dpb->insertTag(st.get(), isc_dpb_utf8_filename);
  if (!server) {
    // The embedded engine trusts the user name it is given.
    dpb->insertString(st.get(), isc_dpb_user_name, "SYSDBA");
    // A local file never goes over the network: the engine in this process
    // only, whatever the settings say.
    dpb->insertString(st.get(), isc_dpb_config, "Providers=Engine12");
    return dpb;
  }
  dpb->insertString(st.get(), isc_dpb_user_name, server->user.c_str());
  dpb->insertString(st.get(), isc_dpb_password, server->password.c_str());
  // A server's database only over the network, encrypted as asked.
  dpb->insertString(st.get(), isc_dpb_config, ("Providers=Remote\nWireCrypt=" + server->wire_crypt).c_str());
  return dpb;
}

// The engine's refusal of a server connection, said plainly before the
// engine's own words.
[[noreturn]] void refuse_connection(const FbException& e, const Server& server) {
  IStatus* s = e.getStatus();
  std::string why;
  if (has_code(s, isc_wirecrypt_incompatible) || has_code(s, isc_miss_wirecrypt))
    why = "the server and this program do not agree on wire encryption (asked for: " + server.wire_crypt +
          "; the server's WireCrypt setting decides what it accepts)";
  else if (has_code(s, isc_login))
    why = "the server refused the user name or the password of user " + server.user;
  else if (has_code(s, isc_conf_access_denied))
    why = "the server does not allow a database in that folder (its DatabaseAccess setting)";
  else if (has_code(s, isc_network_error) || has_code(s, isc_net_connect_err) || has_code(s, isc_net_connect_listen_err))
    why = "the server cannot be reached (is it running, and are the host and port right?)";
  if (why.empty()) throw;
  throw Error("Database server " + server.host + ": " + why + ": " + message(s), gds_code(s));
}

// Attaches to or creates `path`. The file name goes to the engine as UTF-8,
// whatever the process locale, so folders with accented names work.
Attachment connect(const Engine& engine, const std::string& path, const Server* server, bool create_it,
                   std::optional<bool> force_write, int dialect, int page_size) {
  const std::string name = server ? server->host + ":" + path : engine_name(path);
  // Through an alias the engine meets a link, which it would not create
  // through: the file is made here, so that it is ours, and taken over.
  const bool made_here = !server && create_it && name != path;
  if (made_here) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) throw Error("Cannot create database " + path + ": " + std::strerror(errno));
    ::close(fd);
  }
  Status st(engine);
  const ParamBuilder dpb = connection_parameters(engine, st, server);
  if (made_here) dpb->insertInt(st.get(), isc_dpb_overwrite, 1);
  if (force_write) dpb->insertInt(st.get(), isc_dpb_force_write, *force_write ? 1 : 0);
  if (create_it) {
    dpb->insertInt(st.get(), isc_dpb_sql_dialect, dialect);
    if (page_size > 0) dpb->insertInt(st.get(), isc_dpb_page_size, page_size);
  }
  const auto len = dpb->getBufferLength(st.get());
  const auto* buf = dpb->getBuffer(st.get());
  try {
    const SharedLockWait bounded(server == nullptr);
    Attachment att(create_it ? engine.provider()->createDatabase(st.get(), name.c_str(), len, buf)
                             : engine.provider()->attachDatabase(st.get(), name.c_str(), len, buf));
    remember_attachment(att.get());
    return att;
  } catch (const FbException& e) {
    struct stat sb {};
    if (made_here && ::lstat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size == 0) ::unlink(path.c_str());
    if (server) refuse_connection(e, *server);
    throw;
  }
}
}  // namespace

void forget_attachment(IAttachment* att) noexcept {
  Attachments& a = attachments();
  std::lock_guard lock(a.mutex);
  a.live.erase(std::remove(a.live.begin(), a.live.end(), att), a.live.end());
}

Attachment attach(const Engine& engine, const std::string& path, const Server* server, std::optional<bool> force_write) {
  return connect(engine, path, server, false, force_write, 0, 0);
}

Attachment create(const Engine& engine, const std::string& path, const Server* server, int dialect, int page_size) {
  return connect(engine, path, server, true, std::nullopt, dialect, page_size);
}

bool no_such_file(IStatus* status) {
  if (!has_code(status, isc_io_error)) return false;
  // A server sends the system's error as its text.
  constexpr std::string_view kTexts[] = {"No such file or directory", "The system cannot find the file specified",
                                         "The system cannot find the path specified"};
  for (const ISC_STATUS* v = status->getErrors(); *v != isc_arg_end; v += 2) {
    if ((*v == isc_arg_unix && v[1] == ENOENT) || (*v == isc_arg_win32 && (v[1] == 2 || v[1] == 3))) return true;
    if (*v == isc_arg_interpreted) {
      const std::string_view text(reinterpret_cast<const char*>(v[1]));
      for (std::string_view t : kTexts)
        if (text.rfind(t, 0) == 0) return true;
    }
    if (*v == isc_arg_cstring) ++v;
  }
  return false;
}

Transaction start(const Engine& engine, IAttachment* att, bool read_only) {
  Status st(engine);
  if (!read_only) return Transaction(att->startTransaction(st.get(), 0, nullptr));
  const ParamBuilder tpb(engine.util()->getXpbBuilder(st.get(), IXpbBuilder::TPB, nullptr, 0));
  tpb->insertTag(st.get(), isc_tpb_read);
  tpb->insertTag(st.get(), isc_tpb_read_committed);
  tpb->insertTag(st.get(), isc_tpb_rec_version);
  return Transaction(att->startTransaction(st.get(), tpb->getBufferLength(st.get()), tpb->getBuffer(st.get())));
}

OwnTransaction::~OwnTransaction() {
  if (!tra_) return;
  try {
    Status st(engine_);
    tra_.end([&](ITransaction* t) { t->rollback(st.get()); });
  } catch (...) {
    // Released when tra_ goes, which the engine takes as a rollback.
  }
}

void OwnTransaction::commit() {
  Status st(engine_);
  tra_.end([&](ITransaction* t) { t->commit(st.get()); });
}

}  // namespace detail
}  // namespace qv::fb

namespace qv::fb {

namespace {
// Declines a shutdown the engine starts on a signal; any other (the end of
// the process) goes ahead.
int decline_signal_shutdown(int reason, int, void*) { return reason == fb_shutrsn_signal ? 1 : 0; }
}  // namespace

namespace {

// A stop signal that the run does not act on (it is inside an engine call
// that does not return) is acted on here: the call is cancelled, and if the
// run has still not ended a little later, the process ends.
sem_t g_stop_arrived;
volatile std::sig_atomic_t g_stop_signal = 0;
std::atomic<bool> g_watching{false};
std::atomic<bool> g_cancelled{false};
std::atomic<unsigned long> g_calls{0};  // engine calls made so far
std::mutex g_activity_mutex;
std::string g_activity = "the start";

std::string activity() {
  std::lock_guard lock(g_activity_mutex);
  return g_activity;
}

void cancel_calls() {
  detail::Attachments& a = detail::attachments();
  std::lock_guard lock(a.mutex);
  IStatus* status = installed_engine()->master()->getStatus();
  CheckStatusWrapper st(status);
  for (IAttachment* att : a.live) {
    st.init();
    att->cancelOperation(&st, fb_cancel_raise);  // a failure (nothing to cancel) is no matter
  }
  status->dispose();
}

void watch_stops() {
  while (::sem_wait(&g_stop_arrived) != 0) {
  }
  const int sig = g_stop_signal;
  // Normally the run stops at its next row: no engine call then stays
  // unanswered for long.
  const auto grace = platform::timer_length(std::chrono::seconds(5));
  for (unsigned long calls = g_calls;; calls = g_calls) {
    std::this_thread::sleep_for(grace);
    if (g_calls == calls) break;
  }
  platform::arm_exit_timer(grace, 128 + sig, [sig] {
    return "Stopped by " + platform::signal_name(sig) + " at " + activity() +
           ": the database engine did not give up its call, so the database may be incomplete.";
  });
  g_cancelled = true;
  cancel_calls();
}

}  // namespace

namespace detail {
void count_call() noexcept { g_calls.fetch_add(1, std::memory_order_relaxed); }
}  // namespace detail

void stop_signal_arrived(int sig) noexcept {
  if (!g_watching || g_stop_signal != 0) return;
  g_stop_signal = sig;
  ::sem_post(&g_stop_arrived);
}

bool cancelled_on_stop() noexcept { return g_cancelled; }

void note_activity(const std::string& where) {
  std::lock_guard lock(g_activity_mutex);
  g_activity = where;
}

void keep_engine_running_on_signals() {
  installed_engine();  // our engine folders first
  if (!g_watching.exchange(true)) {
    ::sem_init(&g_stop_arrived, 0, 0);
    std::thread(watch_stops).detach();
  }
  ISC_STATUS_ARRAY status{};
  if (fb_shutdown_callback(status, decline_signal_shutdown, fb_shut_confirmation, nullptr) != 0)
    throw Error("Cannot register with the database engine's shutdown", 0);
}

}  // namespace qv::fb
