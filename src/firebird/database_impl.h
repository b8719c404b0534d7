// The connection's inside, shared by the layer's parts that run on it.
// Private to src/firebird.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firebird/database.h"
#include "firebird/engine.h"

namespace qv::fb {
namespace detail {

// The connection keeps lists of the objects open on it.
template <class T>
void remove_from(std::vector<T*>& v, T* p) {
  v.erase(std::remove(v.begin(), v.end(), p), v.end());
}

template <class T>
void add_to(std::vector<T*>& v, T* p) {
  if (std::find(v.begin(), v.end(), p) == v.end()) v.push_back(p);
}

// A name that may stand unquoted in SQL.
inline bool valid_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
  });
}

// Detaches; when that fails the owner still holds the attachment.
inline void detach(const Engine& engine, Attachment& att) {
  Status st(engine);
  att.end([&](Firebird::IAttachment* a) { a->detach(st.get()); });
}

}  // namespace detail

struct IBDatabase::Impl {
  std::shared_ptr<const Engine> engine;
  detail::Attachment att;
  std::string path;         // the real file while connected
  std::optional<Server> server;  // the server it is on, while connected
  bool bulk = false;        // forced writes off while connected
  bool forced_off = false;  // this connection turned forced writes off
  std::vector<IBTransaction*> transactions;
  std::vector<IBTable*> tables;
  std::vector<IBSQL*> statements;
  std::vector<std::string> deferred_indexes;  // made inactive; activated on Close

  // Switches the file's forced writes through an attachment of its own.
  void set_force_write(bool on) {
    detail::Attachment a = detail::attach(*engine, path, server ? &*server : nullptr, on);
    detail::detach(*engine, a);
  }

  // Runs `work` in a transaction of its own, committed when it succeeds; an
  // engine failure names the statement.
  template <class F>
  auto in_own_transaction(bool read_only, std::string_view sql, F&& work) const {
    if (!att) throw Error("The database is not connected: " + std::string(sql));
    try {
      return detail::in_own_transaction(*engine, att.get(), read_only, std::forward<F>(work));
    } catch (const Firebird::FbException& e) {
      throw detail::error(e, sql);
    }
  }
};

}  // namespace qv::fb
