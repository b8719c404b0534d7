#include "paradox/table.h"

#include <fmt/format.h>

#include <map>
#include <mutex>
#include <ostream>

#include "paradox/reader.h"
#include "paradox/values.h"
#include "paradox/writer.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv::pdx {

namespace fs = std::filesystem;

namespace {

struct SessionState {
  std::mutex mu;
  std::map<std::string, std::string> aliases;                // lower-case name -> program path
  std::map<std::string, std::vector<std::string>> required;  // table path -> required field names
};

SessionState& state() {
  static SessionState s;
  return s;
}

// Paradox keeps "required" in a validity file we do not write; the tables we
// create remember it for the running program.
std::string table_key(const fs::path& p) {
  std::error_code ec;
  const fs::path c = fs::weakly_canonical(p, ec);
  return platform::ascii_lower((ec ? p : c).string());
}

}  // namespace

Session& Session::instance() {
  static Session s;
  return s;
}

void Session::DeleteAlias(std::string_view name) {
  std::lock_guard lock(state().mu);
  state().aliases.erase(platform::ascii_lower(name));
}

void Session::AddStandardAlias(std::string_view name, std::string_view path, std::string_view driver) {
  if (!platform::iequals(driver, "PARADOX") && !platform::iequals(driver, "STANDARD"))
    throw Error(fmt::format("alias {}: driver {} is not supported", name, driver));
  std::lock_guard lock(state().mu);
  const std::string key = platform::ascii_lower(name);
  if (state().aliases.count(key)) throw Error(fmt::format("alias {} already exists", name));
  state().aliases[key] = std::string(path);
}

std::optional<std::string> Session::AliasPath(std::string_view name) const {
  std::lock_guard lock(state().mu);
  auto it = state().aliases.find(platform::ascii_lower(name));
  if (it == state().aliases.end()) return std::nullopt;
  return it->second;
}

struct PDTable::Impl {
  static void settle(PDTable& t);
  fs::path path;
  std::unique_ptr<TableReader> reader;
  std::unique_ptr<TableWriter> writer;
  std::vector<FieldDef> fields;
  std::vector<PDField> field_objs;
  // Text of the current record, decoded when first asked for.
  std::vector<std::string> cache;
  std::vector<std::uint64_t> cache_gen;
  std::uint64_t gen = 1;
  bool appending = false;
  std::vector<std::string> pending;  // texts set on the record being appended
  bool on_posted = false;  // the current record is the one just posted

  void moved() { ++gen; }
  TableReader& r(const PDTable& t) const {
    if (!reader) throw Error(fmt::format("{}: the table is not open", t.TableName));
    return *reader;
  }
};

PDTable::PDTable() : impl_(std::make_unique<Impl>()) {}
PDTable::~PDTable() {
  try {
    Close();
  } catch (...) {
    // Closing at destruction has nobody to report to.
  }
}

PDTable::Impl& PDTable::impl() { return *impl_; }

// The folder TableName lives in and its name with the default extension.
static std::pair<fs::path, std::string> table_place(const PDTable& t) {
  fs::path dir;
  if (!t.DatabaseName.empty()) {
    auto alias = Session::instance().AliasPath(t.DatabaseName);
    if (!alias) throw Error(fmt::format("{}: unknown alias {}", t.TableName, t.DatabaseName));
    dir = platform::map_path(*alias);
  } else {
    dir = t.Directory.empty() ? fs::current_path() : platform::map_path(t.Directory);
  }
  std::string name = t.TableName;
  if (fs::path(name).extension().empty()) name += ".db";
  return {dir, name};
}

fs::path PDTable::FilePath() const {
  const auto [dir, name] = table_place(*this);
  fs::path found = platform::find_case_insensitive(dir, name);
  return found.empty() ? dir / name : found;
}

void PDTable::Open() {
  if (Active()) return;
  Impl& m = *impl_;
  m.path = FilePath();
  std::error_code ec;
  if (!fs::exists(m.path, ec)) throw Error(fmt::format("{}: table not found", m.path.string()));
  m.reader = std::make_unique<TableReader>(m.path, CodePageOverride, !ReadOnly);
  m.fields = m.reader->fields();
  {
    std::lock_guard lock(state().mu);
    auto it = state().required.find(table_key(m.path));
    if (it != state().required.end())
      for (FieldDef& f : m.fields)
        for (const std::string& n : it->second)
          if (platform::iequals(n, f.Name)) f.Required = true;
  }
  const std::size_t n = m.fields.size();
  m.field_objs.clear();
  for (std::size_t i = 0; i < n; ++i) m.field_objs.emplace_back(this, i);
  m.cache.assign(n, {});
  m.cache_gen.assign(n, 0);
  m.pending.assign(n, {});
  m.appending = m.on_posted = false;
  m.moved();
}

void PDTable::Close() {
  Impl& m = *impl_;
  m.appending = m.on_posted = false;
  if (m.writer) {
    std::unique_ptr<TableWriter> w = std::move(m.writer);
    w->flush();
  }
  m.reader.reset();
  m.field_objs.clear();
}

bool PDTable::Active() const { return impl_->reader != nullptr; }

// Moving after appending: the pending record is posted (as a move would in
// the desktop engine) and the table is read again from the file.
void PDTable::Impl::settle(PDTable& t) {
  Impl& m = t.impl();
  if (m.appending) t.Post();
  m.on_posted = false;
  if (m.writer) {
    m.writer->flush();
    m.writer.reset();
    m.reader = std::make_unique<TableReader>(m.path, t.CodePageOverride, true);
  }
}

void PDTable::First() {
  impl_->r(*this);
  Impl::settle(*this);
  impl_->reader->first();
  impl_->moved();
}

void PDTable::Last() {
  impl_->r(*this);
  Impl::settle(*this);
  impl_->reader->last();
  impl_->moved();
}

void PDTable::Next() {
  impl_->r(*this);
  Impl::settle(*this);
  impl_->reader->next();
  impl_->moved();
}

bool PDTable::Eof() const { return impl_->r(*this).eof(); }

std::int64_t PDTable::RecordCount() const {
  return impl_->writer ? impl_->writer->count() : impl_->r(*this).count();
}

std::int64_t PDTable::RecNo() const { return impl_->r(*this).recno(); }

PDField& PDTable::FieldByName(std::string_view name) {
  Impl& m = *impl_;
  m.r(*this);
  for (std::size_t i = 0; i < m.fields.size(); ++i)
    if (platform::iequals(m.fields[i].Name, name)) return m.field_objs[i];
  const std::string wanted = platform::fold_name(name);  // names beyond ASCII
  for (std::size_t i = 0; i < m.fields.size(); ++i)
    if (platform::fold_name(m.fields[i].Name) == wanted) return m.field_objs[i];
  throw Error(fmt::format("{}: field '{}' not found", m.path.string(), name));
}

const std::vector<FieldDef>& PDTable::Fields() const {
  impl_->r(*this);
  return impl_->fields;
}

int PDTable::CodePage() const { return impl_->r(*this).codec().code_page(); }
int PDTable::FileVersion() const { return impl_->r(*this).layout().version; }

void PDTable::Append() {
  Impl& m = *impl_;
  m.r(*this);
  if (ReadOnly) throw Error(fmt::format("{}: the table is open read-only", m.path.string()));
  if (m.appending) Post();
  if (!m.writer) m.writer = std::make_unique<TableWriter>(*m.reader);
  m.writer->begin_record();
  for (auto& p : m.pending) p.clear();
  m.appending = true;
}

void PDTable::Post() {
  Impl& m = *impl_;
  if (!m.appending) return;
  for (std::size_t i = 0; i < m.fields.size(); ++i)
    if (m.fields[i].Required && m.writer->is_null(i))
      throw Error(fmt::format("{}: field '{}' must have a value", m.path.string(), m.fields[i].Name));
  m.writer->post();
  m.appending = false;
  m.on_posted = true;
  m.moved();
}

void PDTable::Cancel() { impl_->appending = false; }

void PDTable::CreateTable() {
  Close();
  const auto [dir, name] = table_place(*this);
  const fs::path p = dir / name;
  create_table(p, FieldDefs, BlockSizeKiB, NewTableCodePage);
  std::vector<std::string> required;
  for (const FieldDef& f : FieldDefs)
    if (f.Required) required.push_back(f.Name);
  std::lock_guard lock(state().mu);
  state().required[table_key(p)] = std::move(required);
}

std::int64_t PDTable::Capacity() const { return capacity(FieldDefs, BlockSizeKiB); }

const std::string& PDField::AsString() const {
  PDTable::Impl& m = table_->impl();
  if (m.appending) return m.pending[index_];
  TableReader& r = m.r(*table_);
  if (m.cache_gen[index_] != m.gen) {
    std::string& s = m.cache[index_];
    s.clear();
    if (m.on_posted) {
      // The record as stored, read the way the file is read.
      try {
        field_text(r.layout(), r.codec(), index_, m.writer->posted(), m.writer->posted_blob(index_), s);
      } catch (const values::Invalid& e) {
        throw Error(fmt::format("{}: record {}, field '{}': {}", m.path.string(), m.writer->count(),
                                m.fields[index_].Name, e.what()));
      }
    } else if (!r.eof() || r.recno() > 0) {
      r.text(index_, s);
    }
    m.cache_gen[index_] = m.gen;
  }
  return m.cache[index_];
}

bool PDField::IsNull() const {
  PDTable::Impl& m = table_->impl();
  if (m.appending) return m.writer->is_null(index_);
  if (m.on_posted) return field_is_null(m.r(*table_).layout(), index_, m.writer->posted());
  return m.r(*table_).is_null(index_);
}

void PDField::SetAsString(std::string_view text) {
  PDTable::Impl& m = table_->impl();
  if (!m.appending)
    throw Error(fmt::format("{}: field '{}': the table is not appending a record", m.path.string(),
                            m.fields[index_].Name));
  m.writer->set(index_, text);
  m.pending[index_].assign(text);
}


void dump_csv(const fs::path& file, std::ostream& out, int code_page_override) {
  TableReader r(file, code_page_override);
  const auto& fields = r.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out << ',';
    out << platform::csv_field(fields[i].Name);
  }
  out << "\r\n";
  std::string v;
  for (r.first(); !r.eof(); r.next()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i) out << ',';
      v.clear();
      r.text(i, v);
      const FieldType t = fields[i].DataType;
      if (t == FieldType::Bytes || (format::is_blob(t) && t != FieldType::Memo)) v = values::hex(v);
      if (v.empty() && fields.size() == 1)
        out << "\"\"";  // an empty line would be no row at all
      else
        out << platform::csv_field(v);
    }
    out << "\r\n";
  }
  if (!out) throw Error(fmt::format("{}: writing the CSV failed", file.string()));
}

}  // namespace qv::pdx
