// The embedded Firebird engine as this layer uses it: the entry interface a
// connection is given, owners for the engine's objects, status handling and a
// small row reader. Internal to src/firebird (and to its tests).
#pragma once

#include <firebird/Interface.h>

#include <filesystem>
#include <functional>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firebird/database.h"
#include "firebird/error.h"

namespace qv::fb {

// The engine as the layer reaches it: its entry interface, the dispatcher
// taken from it, and a check made before every call the layer makes through
// it. A connection takes one when it is made.
class Engine {
 public:
  explicit Engine(Firebird::IMaster* master) : master_(master) {}
  virtual ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Firebird::IMaster* master() const { return master_; }
  Firebird::IProvider* provider() const;  // taken at the first use
  Firebird::IUtil* util() const { return master_->getUtilInterface(); }

  // Made before each engine call; an exception thrown here fails that call
  // before the engine sees it, as a refusal of the engine would. The
  // installed engine refuses nothing.
  virtual void before_call() const {}

 private:
  Firebird::IMaster* master_;
  mutable Firebird::IProvider* provider_ = nullptr;
};

// The engine installed on this machine, shared by every connection. The
// first use gives it a lock folder and a settings folder of our own; the
// engine is shut down when the process exits.
std::shared_ptr<const Engine> installed_engine();

namespace detail {

// Counts an engine call (a stop signal's watcher sees whether calls go on).
void count_call() noexcept;
// Drops an attachment from those a stop signal cancels; before it is let go.
void forget_attachment(Firebird::IAttachment* att) noexcept;

// The status every engine call is made with: the call is first put to the
// engine's check, and a failure throws Firebird::FbException.
class Status final : public Firebird::BaseStatusWrapper<Status> {
 public:
  explicit Status(const Engine& engine) : BaseStatusWrapper(engine.master()->getStatus()), engine_(engine) {}
  ~Status() { dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  Status* get() { return this; }

  static void clearException(Status* s) {
    count_call();
    s->engine_.before_call();
    s->BaseStatusWrapper::clearException();
  }
  static void checkException(Status* s) {
    if (s->dirty && (s->getState() & Firebird::IStatus::STATE_ERRORS)) throw Firebird::FbException(s->status);
  }

 private:
  const Engine& engine_;
};

// Owns one engine object and lets it go when the owner goes: released (which
// rolls back a transaction and detaches an attachment) unless a call that
// ends the object succeeded first. Moved, never copied.
template <class T>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T* p) noexcept : p_(p) {}
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Owned() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) {
      if constexpr (std::is_same_v<T, Firebird::IAttachment>) forget_attachment(p);
      if constexpr (requires { p->release(); })
        p->release();
      else
        p->dispose();
    }
  }
  // Ends the object with `call` (commit, detach, close, free), which frees
  // it when it succeeds; when `call` throws, the object stays owned here.
  template <class F>
  void end(F&& call) {
    if constexpr (std::is_same_v<T, Firebird::IAttachment>) forget_attachment(p_);
    call(p_);
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

using Attachment = Owned<Firebird::IAttachment>;
using Transaction = Owned<Firebird::ITransaction>;
using Statement = Owned<Firebird::IStatement>;
using Metadata = Owned<Firebird::IMessageMetadata>;
using MetadataBuilder = Owned<Firebird::IMetadataBuilder>;
using ResultSet = Owned<Firebird::IResultSet>;
using ParamBuilder = Owned<Firebird::IXpbBuilder>;

// Starts a transaction: read-write and snapshot, or read-only and read
// committed.
Transaction start(const Engine& engine, Firebird::IAttachment* att, bool read_only);

// A transaction of its own for one piece of work: commit() ends it; leaving
// the scope before that (any exception) rolls it back.
class OwnTransaction {
 public:
  OwnTransaction(const Engine& engine, Firebird::IAttachment* att, bool read_only)
      : engine_(engine), tra_(start(engine, att, read_only)) {}
  ~OwnTransaction();
  OwnTransaction(const OwnTransaction&) = delete;
  OwnTransaction& operator=(const OwnTransaction&) = delete;

  Firebird::ITransaction* get() const { return tra_.get(); }
  void commit();

 private:
  const Engine& engine_;
  Transaction tra_;
};

// Runs `work(transaction)` in a transaction of its own, committed when it
// returns and rolled back when it throws.
template <class F>
auto in_own_transaction(const Engine& engine, Firebird::IAttachment* att, bool read_only, F&& work) {
  OwnTransaction tra(engine, att, read_only);
  auto result = work(tra.get());
  tra.commit();
  return result;
}

// The engine's own text of an error status, one line per message.
std::string message(Firebird::IStatus* status);
// The first gds code of the status, 0 when there is none.
long gds_code(Firebird::IStatus* status);
bool has_code(Firebird::IStatus* status, long code);

// An Error whose text is `context` + ": " + the engine's message (just the
// message when `context` is empty).
Error error(const Firebird::FbException& e, std::string_view context);

// A message shaped like `meta` with every field nullable variable-length
// text of length(i) bytes in character set NONE: values go in and come out
// as text and the engine converts them.
Metadata text_message(const Engine& engine, Firebird::IMessageMetadata* meta,
                      const std::function<unsigned(unsigned)>& length);

// A request, in its binary form (BLR), that stores each received message as
// a row of `table`, as an INSERT naming `columns` would, until a message
// whose end flag is set: started once, then sent a row at a time, as the
// engine's own restore loads. The message holds, column by column, nullable
// text in character set NONE of the column's `width` bytes, at offsets[i] (a
// 2-byte length, then the bytes), with its null flag (-1: NULL) at
// null_offsets[i], then the end flag (a 2-byte 1 ends the request, 0 stores
// the row) at end_offset; `length` bytes in all. Names as the engine stores
// them. Each message is stored under a savepoint of its own: a row the
// engine refuses is undone alone, the rows sent before it stay, and the
// request has ended (start it again for the next row).
struct StoreRequest {
  struct Column {
    std::string_view name;
    unsigned width;
  };
  std::vector<unsigned char> blr;
  std::vector<unsigned> offsets, null_offsets;
  unsigned end_offset = 0;
  unsigned length = 0;
};
StoreRequest store_request(std::string_view table, const std::vector<StoreRequest::Column>& columns);

using Row = std::vector<std::optional<std::string>>;
// Runs a query and returns every row, each value as text (NULL is nullopt).
// Text columns come back exactly as stored (Windows-1252 bytes).
std::vector<Row> fetch(const Engine& engine, Firebird::IAttachment* att, Firebird::ITransaction* tra,
                       std::string_view sql, unsigned dialect);

// The folder, under the base chosen below, that holds the engine's lock and
// settings folders.
inline constexpr const char* kPrivateFolderName = "quorvel-migrate";
// Where the engine's folders go: under the runtime folder when it is set and
// this user's, else under the cache folder ($XDG_CACHE_HOME, else ~/.cache
// when the home is this user's), else in a fresh folder under /tmp
// (`temporary`: removed at exit). Made 0700; one made by anyone else is
// refused.
struct PrivateBase {
  std::filesystem::path path;
  bool temporary = false;
};
PrivateBase private_base(const char* runtime_dir, const char* cache_home, const char* home);
// False when the engine's settings could not name `folder` (see engine.cpp).
bool settings_safe(const std::filesystem::path& folder);

// Each process's engine folders are in `<pid>-<start time>` under the base;
// the start time tells a process from a later one given the same id.
std::optional<std::uint64_t> process_start(long pid);
std::string process_folder_name(long pid, std::uint64_t start);
void remove_folders_of_ended_processes(const std::filesystem::path& base);

// The name the engine is given for the file `path`: the path itself, or,
// when it holds a ':' (which the engine takes for "host:file" whichever
// provider it uses), an alias in our engine folder for a link to the file.
std::string engine_name(const std::string& path);

// Attaches to `path`: a local file as SYSDBA through the engine in this
// process only, or, with `server`, the database at `path` on that server with
// its login, over the network only. `force_write` (when given) switches the
// file's forced writes on or off with the attachment.
Attachment attach(const Engine& engine, const std::string& path, const Server* server = nullptr,
                  std::optional<bool> force_write = std::nullopt);
// Creates a database in `dialect` with `page_size` (0: the engine's), as
// attach reaches it.
Attachment create(const Engine& engine, const std::string& path, const Server* server, int dialect, int page_size);
// True when the status says the database file is not there.
bool no_such_file(Firebird::IStatus* status);

}  // namespace detail
}  // namespace qv::fb
