#include "run/row_errors.h"

#include <charconv>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "firebird/ib.h"
#include "platform/text.h"
#include "run/context.h"
#include "run/run_error.h"

namespace qv::conv {

void RowErrors::leave_out(std::string_view old_file, std::int64_t row, std::string_view field, std::string_view value) {
  std::string reason;
  try {
    throw;
  } catch (const RunError& e) {
    // Only a refusal of the row's values; a stop that cancelled an engine
    // call, a connection gone or a failure of the engine or the files
    // stops the run.
    if (!e.refused() || e.connection_lost() || fb::cancelled_on_stop()) throw;
    reason = e.what();
  }
  // The file, row and field have columns of their own.
  std::string where = std::string(old_file) + ", row " + std::to_string(row);
  if (!field.empty() && reason.compare(0, where.size() + 2 + field.size(), where + ", " + std::string(field)) == 0)
    where += ", " + std::string(field);
  if (reason.compare(0, where.size() + 2, where + ": ") == 0) reason.erase(0, where.size() + 2);
  const std::lock_guard lock(mu_);
  if (over_limit_ || (max_rows_ > 0 && count_ >= max_rows_)) {
    over_limit_ = true;
    throw;
  }
  record_({std::string(old_file), row, std::string(field), std::string(value), std::move(reason)});
  ++count_;
}

std::int64_t RowErrors::count() const {
  const std::lock_guard lock(mu_);
  return count_;
}

bool RowErrors::over_limit() const {
  const std::lock_guard lock(mu_);
  return over_limit_;
}

std::string reject_file(const std::string& dbname) {
  std::string file = RunContext::destination_file(dbname);
  const std::string_view gdb = ".gdb";
  if (file.size() >= gdb.size() && platform::iequals(std::string_view(file).substr(file.size() - gdb.size()), gdb))
    file.resize(file.size() - gdb.size());
  return file + ".rejects.csv";
}

std::string reject_line(const RefusedRow& r) {
  return platform::csv_field(r.old_file) + ',' + std::to_string(r.row) + ',' + platform::csv_field(r.field) + ',' +
         platform::csv_field(r.value) + ',' + platform::csv_field(r.reason) + "\r\n";
}

std::vector<RefusedRow> read_rejects(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) throw std::runtime_error(file.string() + ": cannot be read");
  const auto records = platform::csv_records(text.str());
  const auto header = platform::csv_records(kRejectHeader);
  if (records.empty() || records.front() != header.front())
    throw std::runtime_error(file.string() + ": not a reject file (its first line is not " +
                             std::string(kRejectHeader.substr(0, kRejectHeader.size() - 2)) + ")");
  std::vector<RefusedRow> rows;
  for (std::size_t i = 1; i < records.size(); ++i) {
    const auto& f = records[i];
    RefusedRow r;
    const bool number = f.size() == 5 && std::from_chars(f[1].data(), f[1].data() + f[1].size(), r.row).ec == std::errc();
    if (!number) throw std::runtime_error(file.string() + ", record " + std::to_string(i + 1) + ": not a reject line");
    r.old_file = f[0];
    r.field = f[2];
    r.value = f[3];
    r.reason = f[4];
    rows.push_back(std::move(r));
  }
  return rows;
}

}  // namespace qv::conv
