// Reading a Paradox table: the checked header, the data-block chain walked
// one block at a time, and the values of the current record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "paradox/codepage.h"
#include "paradox/format.h"

namespace qv::pdx {

// A file read (and for our own tables written) at explicit offsets.
class File {
 public:
  File(const std::filesystem::path& path, bool writable);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::uint64_t size() const;
  // Reads up to `n` bytes at `offset`; returns how many were there.
  std::size_t read_at(std::uint64_t offset, void* buf, std::size_t n) const;
  void write_at(std::uint64_t offset, const void* buf, std::size_t n);
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

// The table's memo and blob companion (.MB).
class BlobFile {
 public:
  BlobFile(const std::filesystem::path& path, bool writable) : file_(path, writable), size_(file_.size()) {}
  // The blob at `offset` (a block offset with the entry index in its low
  // byte) of `length` bytes; checks every offset against the file.
  std::string read(std::uint32_t offset, std::uint32_t length) const;
  File& file() { return file_; }

 private:
  File file_;
  std::uint64_t size_;
};

// The .MB beside a table, found without regard to case; empty when none.
std::filesystem::path companion(const std::filesystem::path& table, const char* ext);

// Field `f` of a record of a table laid out as `layout`, at `record`: whether
// it holds no value, and the text form of its value appended to `out` (what
// TableReader::text gives). `blob`: the bytes of a blob field's value (read
// from the record or the .MB by the caller), unused for other types.
// field_text throws values::Invalid when the bytes are no value of the type.
bool field_is_null(const format::Layout& layout, std::size_t f, const unsigned char* record);
void field_text(const format::Layout& layout, const TextCodec& codec, std::size_t f, const unsigned char* record,
                std::string_view blob, std::string& out);

class TableReader {
 public:
  // Opens and checks the table; refuses password-protected tables.
  TableReader(const std::filesystem::path& path, int code_page_override, bool writable = false);

  const format::Layout& layout() const { return layout_; }
  const std::vector<FieldDef>& fields() const { return layout_.fields; }
  const TextCodec& codec() const { return *codec_; }
  const std::string& name() const { return file_.name(); }
  File& file() { return file_; }
  std::int64_t count() const { return layout_.num_records; }
  // The last block of the chain: its number (0: none) and its record count.
  std::pair<int, int> tail() const {
    return chain_.empty() ? std::pair<int, int>{0, 0} : std::pair<int, int>{chain_.back().number, chain_.back().records};
  }
  // The highest block number the file has room for.
  int blocks_in_file() const;

  // Navigation over the records in chain order.
  void first();
  void last();
  void next();
  bool eof() const { return eof_; }
  std::int64_t recno() const { return eof_ && count() == 0 ? 0 : recno_; }

  bool is_null(std::size_t field) const;
  // Appends the value's text form (blobs other than memos: their bytes).
  void text(std::size_t field, std::string& out);

 private:
  struct Block {
    std::uint16_t number;
    std::uint16_t records;
  };
  void walk_chain();
  void load(std::size_t chain_index, std::size_t record);
  // `n` bytes of the file at `offset`, or null when the file ends before.
  // The bytes stay valid until the next call.
  const unsigned char* view(std::uint64_t offset, std::size_t n);
  const unsigned char* record() const { return records_ + record_ * static_cast<std::size_t>(layout_.record_size); }
  const unsigned char* field_at(std::size_t field) const {
    return record() + static_cast<std::size_t>(layout_.offsets[field]);
  }
  std::string blob(std::size_t field, const unsigned char* p);
  [[noreturn]] void value_error(std::size_t field, const std::string& what) const;

  std::filesystem::path path_;
  File file_;
  std::uint64_t file_size_ = 0;
  format::Layout layout_;
  std::unique_ptr<TextCodec> codec_;
  std::vector<Block> chain_;
  // A piece of the file, read ahead in large chunks while the blocks are
  // visited in file order (as they are in nearly every table).
  std::vector<unsigned char> window_;
  std::size_t window_len_ = 0;
  std::uint64_t window_at_ = 0;
  const unsigned char* records_ = nullptr;  // of the current block, inside window_
  std::size_t chain_index_ = 0;
  std::size_t record_ = 0;
  std::int64_t recno_ = 0;
  bool eof_ = true;
  std::unique_ptr<BlobFile> mb_;
  bool mb_missing_ = false;
};

}  // namespace qv::pdx
