// The embedded Firebird engine as this layer uses it: the one entry point
// (which first gives the engine a lock folder of our own), status handling
// and a small row reader. Internal to src/firebird.
#pragma once

#include <firebird/Interface.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firebird/ib.h"

namespace qv::fb::detail {

// The engine's entry point. The first call sets FIREBIRD_LOCK (when unset)
// to a folder private to this user, before the engine reads it.
Firebird::IMaster* master();
Firebird::IProvider* provider();
Firebird::IUtil* util();

// A status vector for engine calls that throw Firebird::FbException.
class Status {
 public:
  Status() : wrapper_(master()->getStatus()) {}
  ~Status() { wrapper_.dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  Firebird::ThrowStatusWrapper* get() { return &wrapper_; }

 private:
  Firebird::ThrowStatusWrapper wrapper_;
};

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
// as text and the engine converts them. Releases `meta`; the caller
// releases the result.
Firebird::IMessageMetadata* text_message(Firebird::IMessageMetadata* meta,
                                         const std::function<unsigned(unsigned)>& length);

using Row = std::vector<std::optional<std::string>>;
// Runs a query and returns every row, each value as text (NULL is nullopt).
// Text columns come back exactly as stored (Windows-1252 bytes).
std::vector<Row> fetch(Firebird::IAttachment* att, Firebird::ITransaction* tra, std::string_view sql, unsigned dialect);

// Attaches to `path` as SYSDBA; `force_write` (when given) switches the
// file's forced writes on or off with the attachment.
Firebird::IAttachment* attach(const std::string& path, std::optional<bool> force_write = std::nullopt);
// Creates a database file in `dialect` with `page_size` (0: the engine's).
Firebird::IAttachment* create(const std::string& path, int dialect, int page_size);

// The engine objects behind the components, for code that talks to the
// engine directly (the benchmark's reference load). Null when not connected
// / not active.
Firebird::IAttachment* attachment(IBDatabase& db);
Firebird::ITransaction* transaction(IBTransaction& tra);

}  // namespace qv::fb::detail
