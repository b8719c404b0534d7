#include "firebird/engine.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

fs::path g_temporary_base;  // made by mkdtemp, removed at exit

void remove_temporary_base() {
  std::error_code ec;
  if (!g_temporary_base.empty()) fs::remove_all(g_temporary_base, ec);
}

}  // namespace

namespace detail {

PrivateBase private_base(const char* runtime_dir, const char* cache_home, const char* home) {
  const auto set = [](const char* v) { return v && *v ? fs::path(v) : fs::path(); };
  const fs::path runtime = set(runtime_dir);
  if (own_folder(runtime, false)) return {private_folder(runtime / kPrivateFolderName, "engine folder", "FIREBIRD_LOCK"), false};
  fs::path cache = set(cache_home);
  if (cache.empty() && own_folder(set(home), false)) cache = set(home) / ".cache";
  if (own_folder(cache, true)) return {private_folder(cache / kPrivateFolderName, "engine folder", "FIREBIRD_LOCK"), false};
  char name[] = "/tmp/quorvel-migrate-XXXXXX";
  if (!::mkdtemp(name)) throw Error(std::string("Cannot create an engine folder in /tmp: ") + std::strerror(errno));
  return {name, true};
}

}  // namespace detail

namespace {

// The base of the engine's folders, made at the first use.
const fs::path& base_folder() {
  static const fs::path base = [] {
    const detail::PrivateBase b = detail::private_base(std::getenv("XDG_RUNTIME_DIR"), std::getenv("XDG_CACHE_HOME"),
                                                       std::getenv("HOME"));
    if (b.temporary) {
      g_temporary_base = b.path;
      std::atexit(remove_temporary_base);  // before the engine's shutdown is registered, so it runs after
    }
    return b.path;
  }();
  return base;
}

// The engine keeps its lock tables in FIREBIRD_LOCK (default /tmp/firebird).
// A folder made by another user (root, typically) cannot be used, so unless
// the caller chose one, every user gets a private folder of their own.
void ensure_lock_folder() {
  if (const char* set = std::getenv("FIREBIRD_LOCK"); set && *set) return;
  ::setenv("FIREBIRD_LOCK", private_folder(base_folder() / "lock", "database lock folder", "FIREBIRD_LOCK").c_str(), 1);
}

// The engine reads its settings from its root folder. Ours mirrors the
// installed one (links to its plugins, character sets and messages) with one
// setting changed: the memory a sort may take while an index is built is held
// to a few MiB (beyond it the sort goes to temporary files), so a run's memory
// stays small however many rows it loads. Unless the caller chose a root.
constexpr const char* kEngineSettings = "\n# Set by the QUORVEL migration tool\nTempCacheLimit = 8M\n";

std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path g_own_root;  // the engine folder laid out here, when there is one

void ensure_engine_root() {
  if (const char* set = std::getenv("FIREBIRD"); set && *set) {
    // Handed down by a program of ours (a run started from another): ours still.
    struct stat st {};
    if (::lstat(set, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0 &&
        read_text(fs::path(set) / "firebird.conf").find(kEngineSettings) != std::string::npos)
      g_own_root = set;
    return;
  }
  const fs::path root = private_folder(base_folder() / "root", "database engine folder", "FIREBIRD");
  if (!lay_out_engine_root(root, "")) return;  // not usable: the installed settings stay
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
  ensure_lock_folder();
  ensure_engine_root();
  ensure_utf8_file_names();
  return fb_get_master_interface();
}

// The engine's threads and files are let go before the process ends, so that
// nothing of it is still running while the process's own memory is torn down.
void shut_down_engine() { fb_shutdown(0, fb_shutrsn_exit_called); }

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
    std::atexit(shut_down_engine);
    return e;
  }();
  return engine;
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

  // Other runs of this user share the folder: one at a time.
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
    return Attachment(create_it ? engine.provider()->createDatabase(st.get(), name.c_str(), len, buf)
                                : engine.provider()->attachDatabase(st.get(), name.c_str(), len, buf));
  } catch (const FbException& e) {
    struct stat sb {};
    if (made_here && ::lstat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size == 0) ::unlink(path.c_str());
    if (server) refuse_connection(e, *server);
    throw;
  }
}
}  // namespace

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

void keep_engine_running_on_signals() {
  installed_engine();  // our engine folders first
  ISC_STATUS_ARRAY status{};
  if (fb_shutdown_callback(status, decline_signal_shutdown, fb_shut_confirmation, nullptr) != 0)
    throw Error("Cannot register with the database engine's shutdown", 0);
}

}  // namespace qv::fb
