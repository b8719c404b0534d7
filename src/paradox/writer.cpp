#include "paradox/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "paradox/values.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace qv::pdx {

namespace fs = std::filesystem;
using namespace format;

namespace {

constexpr int kDefaultBlockKiB = 4, kMaxBlockKiB = 32;
constexpr int kMaxDataBlocks = 0xFFFF;  // block numbers are 16-bit
constexpr std::size_t kMaxFieldName = 25;
constexpr char kSortOrder[] = "ANSIINTL";

// Block 0 of a new memo file, as Paradox 7 writes it.
constexpr unsigned char kMbHeader[] = {0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                                       0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xa1, 0x02};

bool writable_type(FieldType t) {
  switch (t) {
    case FieldType::Alpha: case FieldType::Date: case FieldType::Short: case FieldType::Long:
    case FieldType::AutoInc: case FieldType::Number: case FieldType::Money: case FieldType::Logical:
    case FieldType::Timestamp: case FieldType::Memo:
      return true;
    default:
      return false;
  }
}

// The bytes of `utf8` in the table's code page. `what()` names the file (and
// field) in the error; it is called only then, so that appending builds no
// texts.
template <class What>
std::string encoded(const TextCodec& codec, std::string_view utf8, const What& what) {
  std::string bad;
  auto r = codec.encode(utf8, &bad);
  if (!r)
    throw Error(fmt::format("{}: the character \"{}\" has no code page {} form", what(), bad, codec.code_page()));
  return *r;
}

// Bytes a field takes in a record of a table we create.
int stored_size(const FieldDef& d) {
  if (d.DataType == FieldType::Alpha) return d.Size;
  if (d.DataType == FieldType::Memo) return d.Size + static_cast<int>(kBlobDescriptor);
  return type_info(d.DataType).fixed_size;
}

bool fits(int record_size, int block_kib) {
  return static_cast<std::size_t>(record_size) + kBlockHeaderSize <= static_cast<std::size_t>(block_kib) * 1024U;
}

// The block size (KiB) of a new table: `requested` (1, 2, 4, 8, 16 or 32, the
// sizes every Paradox reader knows), or for 0 4 KiB unless a record needs a
// larger block. 0 when the records do not fit or the size is not one of those.
int block_kib_for(int record_size, int requested) {
  if (requested != 0) {
    const bool known = requested >= 1 && requested <= kMaxBlockKiB && (requested & (requested - 1)) == 0;
    return known && fits(record_size, requested) ? requested : 0;
  }
  for (int kib = kDefaultBlockKiB; kib <= kMaxBlockKiB; kib *= 2)
    if (fits(record_size, kib)) return kib;
  return 0;
}

// A new file only the user can read: the tables we write hold a person's
// records. An earlier one was removed first; one that appeared meanwhile (a
// link, anything) is not written through.
void write_file(const fs::path& path, const std::vector<unsigned char>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw Error(fmt::format("{}: cannot create the table: {}", path.string(), std::strerror(errno)));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      ::close(fd);
      throw Error(fmt::format("{}: cannot create the table: {}", path.string(), std::strerror(err)));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw Error(fmt::format("{}: cannot create the table: {}", path.string(), std::strerror(errno)));
}

// Removes `name` and its companions in any letter case.
void remove_family(const fs::path& dir, const fs::path& name) {
  for (const char* ext : {"", ".mb", ".px", ".val"}) {
    const std::string n = *ext ? name.stem().string() + ext : name.filename().string();
    for (fs::path p; !(p = platform::find_case_insensitive(dir, n)).empty();) {
      std::error_code ec;
      if (!fs::remove(p, ec))
        throw Error(fmt::format("{}: cannot replace the table: {}", p.string(), ec ? ec.message() : "not removed"));
    }
  }
}

}  // namespace

std::int64_t capacity(const std::vector<FieldDef>& defs, int block_kib) {
  int record_size = 0;
  for (const FieldDef& d : defs) record_size += std::max(stored_size(d), 0);
  const int kib = block_kib_for(std::max(record_size, 1), block_kib);
  if (kib == 0) return 0;
  return static_cast<std::int64_t>(kMaxDataBlocks) *
         static_cast<std::int64_t>((static_cast<std::size_t>(kib) * 1024U - kBlockHeaderSize) /
                                   static_cast<std::size_t>(std::max(record_size, 1)));
}

void create_table(const fs::path& path, const std::vector<FieldDef>& defs, int block_kib, int code_page) {
  const std::string file = path.string();
  if (defs.empty()) throw Error(fmt::format("{}: cannot create a table without fields", file));
  const TextCodec codec(code_page);
  if (!codec.single_byte()) throw Error(fmt::format("{}: tables are written in single-byte code pages only", file));
  if (defs.size() > 255) throw Error(fmt::format("{}: {} fields, at most 255", file, defs.size()));
  std::vector<std::string> names;
  std::vector<std::pair<std::uint8_t, int>> info;
  int record_size = 0;
  bool has_blob = false;
  for (const FieldDef& d : defs) {
    const std::string what = fmt::format("{}: field '{}'", file, d.Name);
    if (d.Name.empty() || d.Name.size() > kMaxFieldName)
      throw Error(fmt::format("{}: the name must have 1 to {} characters", what, kMaxFieldName));
    for (const FieldDef& before : defs) {
      if (&before == &d) break;
      if (platform::iequals(before.Name, d.Name)) throw Error(fmt::format("{}: defined twice", what));
    }
    if (!writable_type(d.DataType))
      throw Error(fmt::format("{}: fields of type '{}' cannot be created", what, static_cast<char>(d.DataType)));
    if (d.DataType == FieldType::Alpha && (d.Size < 1 || d.Size > 255))
      throw Error(fmt::format("{}: alpha size {} (1 to 255)", what, d.Size));
    if (d.DataType == FieldType::Memo) {
      if (d.Size < 0 || d.Size > 240) throw Error(fmt::format("{}: memo size {} (0 to 240)", what, d.Size));
      has_blob = true;
    }
    names.push_back(encoded(codec, d.Name, [&] { return what; }));
    info.emplace_back(type_info(d.DataType).code, stored_size(d));
    record_size += stored_size(d);
  }
  const int requested = block_kib;
  block_kib = block_kib_for(record_size, requested);
  if (block_kib == 0 && requested != 0 && block_kib_for(record_size, 0) != 0)
    throw Error(fmt::format("{}: a block size of {} KiB does not hold records of {} bytes (1, 2, 4, 8, 16 or 32 KiB)",
                            file, requested, record_size));
  if (block_kib == 0) throw Error(fmt::format("{}: records of {} bytes are too long", file, record_size));

  const std::size_t n = defs.size();
  std::size_t name_bytes = 0;
  for (const std::string& s : names) name_bytes += s.size() + 1;
  const std::size_t needed = kFieldInfo4 + 2 * n + 4 + 4 * n + kTableNameLen7 + name_bytes + 2 * n + sizeof kSortOrder;
  const std::size_t hs = (needed + 2047) / 2048 * 2048;

  std::vector<unsigned char> h(hs, 0);
  put_le16(&h[kRecordSize], static_cast<unsigned>(record_size));
  put_le16(&h[kHeaderSize], static_cast<unsigned>(hs));
  h[kFileType] = kFileTypeUnkeyed;
  h[kBlockKiB] = static_cast<unsigned char>(block_kib);
  put_le16(&h[kNumFields], static_cast<unsigned>(n));
  h[0x27] = 0xff;
  h[0x29] = 0xff;
  h[0x2a] = 0x11;
  h[kVersion] = kVersion7;
  h[0x3e] = 0x1f;
  h[0x3f] = 0x0f;
  h[0x56] = 0x20;
  h[0x58] = h[0x5a] = kVersion7;
  h[0x59] = h[0x5b] = 1;
  put_le16(&h[0x64], static_cast<unsigned>(n + 1));
  const unsigned info_size = static_cast<unsigned>(0x129 + 6 * n + name_bytes);
  put_le16(&h[0x66], info_size);
  put_le16(&h[kCodePage], static_cast<unsigned>(code_page));
  h[0x6c] = h[0x6d] = 1;
  put_le16(&h[0x6e], static_cast<unsigned>(info_size + 2 * n));
  h[0x70] = 1;
  std::size_t pos = kFieldInfo4;
  for (const auto& [code, size] : info) {
    h[pos++] = code;
    h[pos++] = static_cast<unsigned char>(size);
  }
  pos += 4 + 4 * n;  // pointers of the running program, not kept
  const std::string table_name =
      encoded(codec, path.filename().string(), [&] { return file; }).substr(0, kTableNameLen7 - 1);
  std::memcpy(&h[pos], table_name.data(), table_name.size());
  pos += kTableNameLen7;
  for (const std::string& s : names) {
    std::memcpy(&h[pos], s.data(), s.size());
    pos += s.size() + 1;
  }
  for (std::size_t i = 1; i <= n; ++i, pos += 2) put_le16(&h[pos], static_cast<unsigned>(i));
  std::memcpy(&h[pos], kSortOrder, sizeof kSortOrder);

  const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  remove_family(dir, path.filename());
  write_file(path, h);
  if (has_blob) {
    std::vector<unsigned char> mb(kMbChunk, 0);
    std::memcpy(mb.data(), kMbHeader, sizeof kMbHeader);
    write_file(dir / (path.stem().string() + ".MB"), mb);
  }
}

TableWriter::TableWriter(TableReader& table) : table_(table), layout_(table.layout()) {
  if (layout_.file_type != kFileTypeUnkeyed)
    throw Error(fmt::format("{}: records cannot be appended to a keyed table", table.name()));
  if (!table.codec().single_byte())
    throw Error(fmt::format("{}: records can only be appended to tables of a single-byte code page", table.name()));
  for (const FieldDef& f : layout_.fields)
    if (!writable_type(f.DataType))
      throw Error(fmt::format("{}: field '{}' of type '{}' cannot be written", table.name(), f.Name,
                              static_cast<char>(f.DataType)));
  record_.assign(static_cast<std::size_t>(layout_.record_size), 0);
  blobs_.resize(layout_.fields.size());
  posted_blobs_.resize(layout_.fields.size());
  blob_set_.assign(layout_.fields.size(), false);
  per_block_ = static_cast<int>((static_cast<std::size_t>(layout_.block_size) - kBlockHeaderSize) /
                                static_cast<std::size_t>(layout_.record_size));
  file_blocks_ = table.blocks_in_file();
  first_block_ = layout_.first_block;
  num_records_ = layout_.num_records;
  auto_inc_ = layout_.auto_inc;
  block_.assign(static_cast<std::size_t>(layout_.block_size), 0);
  std::tie(block_no_, block_records_) = table.tail();
  if (block_no_)
    table.file().read_at(layout_.block_offset(static_cast<unsigned>(block_no_)), block_.data(), block_.size());
  if (std::any_of(layout_.fields.begin(), layout_.fields.end(), [](const FieldDef& f) { return is_blob(f.DataType); })) {
    const fs::path mb = companion(table.name(), ".mb");
    if (mb.empty()) throw Error(fmt::format("{}: the memo file {}.MB is missing", table.name(), fs::path(table.name()).stem().string()));
    mb_ = std::make_unique<BlobFile>(mb, true);
    mb_end_ = (mb_->file().size() + kMbChunk - 1) / kMbChunk * kMbChunk;
  }
}

TableWriter::~TableWriter() {
  try {
    flush();
  } catch (...) {
    // Close() flushes and reports; this is the last resort of an unwinding table.
  }
}

void TableWriter::field_error(std::size_t field, const std::string& what) const {
  throw Error(fmt::format("{}: field '{}': {}", table_.name(), layout_.fields[field].Name, what));
}

void TableWriter::begin_record() {
  std::fill(record_.begin(), record_.end(), 0);
  std::fill(blob_set_.begin(), blob_set_.end(), false);
  for (auto& b : blobs_) b.clear();
}

bool TableWriter::is_null(std::size_t f) const {
  if (is_blob(layout_.fields[f].DataType)) return !blob_set_[f];
  return values::all_zero(&record_[static_cast<std::size_t>(layout_.offsets[f])], static_cast<std::size_t>(layout_.sizes[f]));
}

void TableWriter::set(std::size_t f, std::string_view text) {
  const FieldDef& d = layout_.fields[f];
  unsigned char* p = &record_[static_cast<std::size_t>(layout_.offsets[f])];
  const auto size = static_cast<std::size_t>(layout_.sizes[f]);
  std::fill(p, p + size, 0);
  blob_set_[f] = false;
  if (d.DataType == FieldType::AutoInc) field_error(f, "an autoincrement field is numbered by the table");
  if (d.DataType == FieldType::Alpha || d.DataType == FieldType::Memo) {
    if (text.empty()) return;
    // ASCII text is stored as it is (and read back so in every page).
    std::string converted;
    if (!platform::is_ascii(text))
      converted =
          encoded(table_.codec(), text, [&] { return fmt::format("{}: field '{}'", table_.name(), d.Name); });
    const std::string_view bytes = converted.empty() ? text : std::string_view(converted);
    if (d.DataType == FieldType::Memo) {
      blobs_[f].assign(bytes);
      blob_set_[f] = true;
      return;
    }
    if (bytes.size() > size) field_error(f, fmt::format("\"{}\" is longer than {} characters", text, size));
    std::memcpy(p, bytes.data(), bytes.size());
    return;
  }
  const std::string_view t = platform::trim(text);
  if (t.empty()) return;
  try {
    values::encode(d.DataType, t, p);
  } catch (const values::Invalid& e) {
    field_error(f, fmt::format("\"{}\" is {}", text, e.what()));
  }
}

void TableWriter::write_blob(std::size_t f, const std::string& bytes, unsigned char* p) {
  const std::size_t leader = static_cast<std::size_t>(layout_.sizes[f]) - kBlobDescriptor;
  unsigned char* desc = p + leader;
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(p, bytes.data(), std::min(leader, bytes.size()));
  put_le32(desc + 4, length);
  if (bytes.size() <= leader) return;
  const std::size_t chunks = (kMbSingleHeader + bytes.size() + kMbChunk - 1) / kMbChunk;
  if (chunks > 0xFFFF || mb_end_ + chunks * kMbChunk > 0xFFFFFF00ULL)
    field_error(f, fmt::format("a memo of {} bytes does not fit the memo file", bytes.size()));
  std::vector<unsigned char> block(chunks * kMbChunk, 0);
  block[0] = kMbSingleBlob;
  put_le16(&block[1], static_cast<unsigned>(chunks));
  put_le32(&block[3], length);
  put_le16(&block[7], 1);
  std::memcpy(&block[kMbSingleHeader], bytes.data(), bytes.size());
  mb_->file().write_at(mb_end_, block.data(), block.size());
  put_le32(desc, static_cast<std::uint32_t>(mb_end_) | 0xFF);
  put_le16(desc + 8, 1);
  mb_end_ += block.size();
}

void TableWriter::write_block() {
  table_.file().write_at(layout_.block_offset(static_cast<unsigned>(block_no_)), block_.data(), block_.size());
}

void TableWriter::post() {
  const bool new_block = block_no_ == 0 || block_records_ == per_block_;
  if (new_block && file_blocks_ >= kMaxDataBlocks)
    throw Error(fmt::format("{}: the table is full: {} blocks of {} KiB hold {} records", table_.name(),
                            kMaxDataBlocks, layout_.block_size / 1024, num_records_));
  bool numbered = false;
  for (std::size_t f = 0; f < layout_.fields.size(); ++f) {
    unsigned char* p = &record_[static_cast<std::size_t>(layout_.offsets[f])];
    if (layout_.fields[f].DataType == FieldType::AutoInc) {
      if (auto_inc_ >= 0x7FFFFFFF) field_error(f, "the autoincrement numbers are used up");
      put_be(p, 4, (auto_inc_ + 1) ^ 0x80000000U);
      numbered = true;
    } else if (blob_set_[f]) {
      write_blob(f, blobs_[f], p);
    }
  }
  if (numbered) ++auto_inc_;
  if (new_block) {
    const int nb = file_blocks_ + 1;
    if (block_no_) {
      put_le16(block_.data(), static_cast<unsigned>(nb));
      write_block();
    } else {
      first_block_ = nb;
    }
    std::fill(block_.begin(), block_.end(), 0);
    put_le16(&block_[2], static_cast<unsigned>(block_no_));
    block_no_ = file_blocks_ = nb;
    block_records_ = 0;
  }
  std::memcpy(&block_[kBlockHeaderSize + static_cast<std::size_t>(block_records_) * record_.size()], record_.data(),
              record_.size());
  ++block_records_;
  put_le16(&block_[4], static_cast<unsigned>((block_records_ - 1) * layout_.record_size));
  ++num_records_;
  dirty_ = posted_ = true;
  posted_blobs_.swap(blobs_);
  begin_record();
}

const unsigned char* TableWriter::posted() const {
  if (!posted_) return nullptr;
  return &block_[kBlockHeaderSize + static_cast<std::size_t>(block_records_ - 1) * record_.size()];
}

void TableWriter::flush() {
  if (!dirty_) return;
  write_block();
  unsigned char counts[12];
  put_le32(counts, num_records_);
  put_le16(counts + 4, static_cast<unsigned>(file_blocks_));
  put_le16(counts + 6, static_cast<unsigned>(file_blocks_));
  put_le16(counts + 8, static_cast<unsigned>(first_block_));
  put_le16(counts + 10, static_cast<unsigned>(block_no_));
  table_.file().write_at(kNumRecords, counts, sizeof counts);
  unsigned char blocks[2];
  put_le16(blocks, static_cast<unsigned>(file_blocks_));
  table_.file().write_at(kMaxBlocks, blocks, sizeof blocks);
  unsigned char inc[4];
  put_le32(inc, auto_inc_);
  table_.file().write_at(kAutoInc, inc, sizeof inc);
  dirty_ = false;
}

}  // namespace qv::pdx
