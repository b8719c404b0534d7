// Writing Paradox 7 tables: creating an empty table (with its .MB when it has
// memo fields) and appending records block by block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "paradox/reader.h"

namespace qv::pdx {

// Creates an empty, non-keyed Paradox 7 table at `path`, replacing a table of
// the same name (and its companions) in any letter case. `block_kib`: the
// size of its data blocks (see PDTable::BlockSizeKiB); `code_page`: that of
// its texts, a single-byte one.
void create_table(const std::filesystem::path& path, const std::vector<FieldDef>& defs, int block_kib = 0,
                  int code_page = 1252);

// The records a table created from `defs` with `block_kib` can hold (0 when
// the records do not fit such blocks).
std::int64_t capacity(const std::vector<FieldDef>& defs, int block_kib);

// Appends records to an open table. Only the current last block is held in
// memory; the header is brought up to date by flush().
class TableWriter {
 public:
  explicit TableWriter(TableReader& table);
  ~TableWriter();
  TableWriter(const TableWriter&) = delete;
  TableWriter& operator=(const TableWriter&) = delete;

  void begin_record();
  // Sets a field of the new record from text; empty text: no value.
  void set(std::size_t field, std::string_view text);
  bool is_null(std::size_t field) const;
  // Numbers the autoincrement fields and adds the record to the table.
  void post();
  void flush();
  std::int64_t count() const { return num_records_; }

  // The record last posted, as stored (numbered; null before the first
  // post), and the bytes of its blob field `field`. Valid until the next
  // post.
  const unsigned char* posted() const;
  std::string_view posted_blob(std::size_t field) const { return posted_blobs_[field]; }

 private:
  [[noreturn]] void field_error(std::size_t field, const std::string& what) const;
  void write_blob(std::size_t field, const std::string& bytes, unsigned char* p);
  void write_block();

  TableReader& table_;
  const format::Layout& layout_;
  std::vector<unsigned char> record_;
  std::vector<std::string> blobs_;  // the blob values of the new record, stored at post
  std::vector<bool> blob_set_;
  std::vector<std::string> posted_blobs_;
  std::vector<unsigned char> block_;
  int block_no_ = 0;
  int block_records_ = 0;
  int per_block_ = 0;
  int file_blocks_ = 0;
  int first_block_ = 0;
  std::uint32_t num_records_ = 0;
  std::uint32_t auto_inc_ = 0;
  bool dirty_ = false;
  bool posted_ = false;  // a record was posted through this writer
  std::unique_ptr<BlobFile> mb_;
  std::uint64_t mb_end_ = 0;
};

}  // namespace qv::pdx
