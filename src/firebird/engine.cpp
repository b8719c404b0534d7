#include "firebird/engine.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <ibase.h>

namespace qv::fb {

using namespace Firebird;
namespace fs = std::filesystem;

namespace {

// A folder under /tmp that only this user can use: created with mode 0700 and
// refused when someone else made it first.
std::string private_folder(const std::string& prefix, const char* what, const char* variable) {
  const std::string dir = prefix + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw Error(std::string("Cannot create the ") + what + " " + dir + ": " + std::strerror(errno));
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    throw Error(std::string("The ") + what + " " + dir + " is not a folder private to this user; set " + variable +
                " to one");
  return dir;
}

// The engine keeps its lock tables in FIREBIRD_LOCK (default /tmp/firebird).
// A folder made by another user (root, typically) cannot be used, so unless
// the caller chose one, every user gets a private folder of their own.
void ensure_lock_folder() {
  if (const char* set = std::getenv("FIREBIRD_LOCK"); set && *set) return;
  ::setenv("FIREBIRD_LOCK", private_folder("/tmp/quorvel-fb-lock-", "database lock folder", "FIREBIRD_LOCK").c_str(), 1);
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

void ensure_engine_root() {
  if (const char* set = std::getenv("FIREBIRD"); set && *set) return;
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&fb_get_master_interface), &info) || !info.dli_fname) return;
  std::error_code ec;
  // The real folder, so that every process links to the same targets.
  const fs::path installed = fs::canonical(fs::path(info.dli_fname).parent_path() / "firebird" / "3.0", ec);
  if (ec || !fs::is_directory(installed / "plugins", ec)) return;  // an engine laid out otherwise: leave it be
  const fs::path root = private_folder("/tmp/quorvel-fb-root-", "database engine folder", "FIREBIRD");
  for (const auto& entry : fs::directory_iterator(installed, ec)) {
    const fs::path name = entry.path().filename();
    if (name == "firebird.conf") continue;
    const fs::path link = root / name;
    if (fs::read_symlink(link, ec) == entry.path()) continue;
    fs::remove(link, ec);
    fs::create_symlink(entry.path(), link, ec);  // another process may have made it meanwhile
    if (fs::read_symlink(link, ec) != entry.path()) return;  // not usable: the installed settings stay
  }
  const std::string settings = read_text(installed / "firebird.conf") + kEngineSettings;
  if (read_text(root / "firebird.conf") != settings) {
    // Written aside and renamed, so a process starting at the same moment
    // reads either the old file or the new one, never half of one.
    const fs::path tmp = root / ("firebird.conf." + std::to_string(::getpid()));
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << settings;
      if (!out) return;
    }
    fs::rename(tmp, root / "firebird.conf", ec);
    if (ec) {
      fs::remove(tmp, ec);
      return;
    }
  }
  ::setenv("FIREBIRD", root.c_str(), 1);
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
  return Error(text, code);
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

namespace {
// Attaches to or creates `path`. The file name goes to the engine as UTF-8,
// whatever the process locale, so folders with accented names work.
Attachment connect(const Engine& engine, const std::string& path, bool create_it, std::optional<bool> force_write,
                   int dialect, int page_size) {
  Status st(engine);
  const ParamBuilder dpb(engine.util()->getXpbBuilder(st.get(), IXpbBuilder::DPB, nullptr, 0));
  // The embedded engine trusts the user name it is given.
  dpb->insertString(st.get(), isc_dpb_user_name, "SYSDBA");
  dpb->insertTag(st.get(), isc_dpb_utf8_filename);
  if (force_write) dpb->insertInt(st.get(), isc_dpb_force_write, *force_write ? 1 : 0);
  if (create_it) {
    dpb->insertInt(st.get(), isc_dpb_sql_dialect, dialect);
    if (page_size > 0) dpb->insertInt(st.get(), isc_dpb_page_size, page_size);
  }
  const auto len = dpb->getBufferLength(st.get());
  const auto* buf = dpb->getBuffer(st.get());
  return Attachment(create_it ? engine.provider()->createDatabase(st.get(), path.c_str(), len, buf)
                              : engine.provider()->attachDatabase(st.get(), path.c_str(), len, buf));
}
}  // namespace

Attachment attach(const Engine& engine, const std::string& path, std::optional<bool> force_write) {
  return connect(engine, path, false, force_write, 0, 0);
}

Attachment create(const Engine& engine, const std::string& path, int dialect, int page_size) {
  return connect(engine, path, true, std::nullopt, dialect, page_size);
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
