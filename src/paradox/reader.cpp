#include "paradox/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "paradox/values.h"
#include "platform/paths.h"

namespace qv::pdx {

namespace fs = std::filesystem;
using namespace format;

File::File(const fs::path& path, bool writable) : name_(path.string()) {
  // Without blocking: a FIFO or a device in place of a table would wait for
  // ever for a writer. Such a file is refused before anything is read.
  fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd_ < 0) throw Error(fmt::format("{}: cannot open: {}", name_, std::strerror(errno)));
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw Error(fmt::format("{}: not a regular file", name_));
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t File::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw Error(fmt::format("{}: cannot read: {}", name_, std::strerror(errno)));
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::read_at(std::uint64_t offset, void* buf, std::size_t n) const {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw Error(fmt::format("{}: cannot read: {}", name_, std::strerror(errno)));
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return done;
}

void File::write_at(std::uint64_t offset, const void* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pwrite(fd_, static_cast<const char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw Error(fmt::format("{}: cannot write: {}", name_, std::strerror(errno)));
    done += static_cast<std::size_t>(r);
  }
}

fs::path companion(const fs::path& table, const char* ext) {
  return platform::find_case_insensitive(table.parent_path(), table.stem().string() + ext);
}

std::string BlobFile::read(std::uint32_t offset, std::uint32_t length) const {
  const std::uint64_t block = offset & ~0xFFU;
  const unsigned index = offset & 0xFFU;
  auto fail = [&](const std::string& what) -> std::string {
    throw Error(fmt::format("memo file {}: blob at offset {:#x} ({} bytes): {}", file_.name(), offset, length, what));
  };
  if (block == 0 || block % kMbChunk != 0) fail("not the start of a block");
  if (block >= size_) fail(fmt::format("beyond the end of the file ({} bytes)", size_));
  std::string out;
  if (index == 0xFF) {
    unsigned char h[kMbSingleHeader];
    if (file_.read_at(block, h, sizeof h) != sizeof h) fail("block header cut short");
    if (h[0] != kMbSingleBlob) fail(fmt::format("block type {} where a single-blob block belongs", h[0]));
    if (le32(h + 3) != length) fail(fmt::format("the block holds {} bytes", le32(h + 3)));
    if (kMbSingleHeader + length > le16(h + 1) * kMbChunk) fail("longer than its block");
    if (block + kMbSingleHeader + length > size_) fail("runs past the end of the file");
    out.resize(length);
    file_.read_at(block + kMbSingleHeader, out.data(), length);
    return out;
  }
  if (index >= kMbSubEntries) fail(fmt::format("entry {} of a sub-allocated block", index));
  unsigned char t[kMbSubTable + kMbSubEntries * 5];
  if (file_.read_at(block, t, sizeof t) != sizeof t) fail("block header cut short");
  if (t[0] != kMbSubBlocks) fail(fmt::format("block type {} where a sub-allocated block belongs", t[0]));
  const unsigned char* e = t + kMbSubTable + index * 5;
  const std::size_t start = static_cast<std::size_t>(e[0]) * 16;
  if (start < sizeof t || e[1] == 0) fail("empty entry");
  if (length > static_cast<std::size_t>(e[1]) * 16) fail(fmt::format("the entry holds {} bytes", e[1] * 16));
  if (start + length > kMbChunk) fail("runs past its block");
  if (block + start + length > size_) fail("runs past the end of the file");
  out.resize(length);
  file_.read_at(block + start, out.data(), length);
  return out;
}

TableReader::TableReader(const fs::path& path, int code_page_override, bool writable)
    : path_(path), file_(path, writable) {
  file_size_ = file_.size();
  unsigned char head[4] = {};
  file_.read_at(0, head, sizeof head);
  std::vector<unsigned char> header(std::max<std::size_t>(le16(head + 2), kFieldInfo4));
  header.resize(file_.read_at(0, header.data(), header.size()));
  std::vector<std::string> raw_names;
  layout_ = parse_header(header.data(), header.size(), file_size_, name(), &raw_names);
  if (layout_.encrypted)
    throw Error(fmt::format("{}: the table is password-protected; it cannot be read without its password", name()));
  const int cp = code_page_override ? code_page_override
                 : (layout_.version >= kFirstVersionWithCodePage && layout_.code_page) ? layout_.code_page
                                                                                       : 437;
  try {
    codec_ = std::make_unique<TextCodec>(cp);
  } catch (const Error& e) {
    throw Error(fmt::format("{}: {}", name(), e.what()));
  }
  for (std::size_t i = 0; i < raw_names.size(); ++i) layout_.fields[i].Name = codec_->decode(raw_names[i]);
  walk_chain();
  first();
}

void TableReader::walk_chain() {
  constexpr std::uint64_t kReadHeadersOnly = 16 * 1024;
  const std::uint64_t bs = static_cast<std::uint64_t>(layout_.block_size);
  const std::uint64_t rs = static_cast<std::uint64_t>(layout_.record_size);
  std::vector<bool> seen(static_cast<std::size_t>(blocks_in_file()) + 1);
  std::uint64_t total = 0;
  auto fail = [&](const std::string& what) { throw Error(fmt::format("{}: damaged data blocks: {}", name(), what)); };
  for (unsigned b = static_cast<unsigned>(layout_.first_block); b != 0;) {
    if (b >= seen.size())
      fail(fmt::format("block {} lies beyond the end of the file ({} blocks)", b, seen.size() - 1));
    if (seen[b]) fail(fmt::format("the chain of blocks returns to block {}", b));
    seen[b] = true;
    const std::uint64_t off = layout_.block_offset(b);
    // Of large blocks only the header is read; small ones are read through.
    unsigned char header[kBlockHeaderSize];
    const unsigned char* h = bs < kReadHeadersOnly ? view(off, kBlockHeaderSize)
                             : file_.read_at(off, header, sizeof header) == sizeof header ? header
                                                                                          : nullptr;
    if (!h) fail(fmt::format("block {} is cut short", b));
    const int add = static_cast<std::int16_t>(le16(h + 4));
    if (add < -static_cast<int>(rs) || (add + static_cast<int>(rs)) % static_cast<int>(rs) != 0)
      fail(fmt::format("block {} has the record offset {}", b, add));
    const std::uint64_t n = static_cast<std::uint64_t>(add + static_cast<int>(rs)) / rs;
    if (kBlockHeaderSize + n * rs > bs) fail(fmt::format("block {} claims {} records", b, n));
    if (off + kBlockHeaderSize + n * rs > file_size_)
      fail(fmt::format("block {} holds {} records but the file ends inside them", b, n));
    chain_.push_back({static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(n)});
    total += n;
    b = le16(h);
  }
  if (total != layout_.num_records)
    fail(fmt::format("the header counts {} records, the data blocks hold {}", layout_.num_records, total));
}

int TableReader::blocks_in_file() const {
  const std::uint64_t bs = static_cast<std::uint64_t>(layout_.block_size);
  return static_cast<int>(std::min<std::uint64_t>((file_size_ - static_cast<std::uint64_t>(layout_.header_size) + bs - 1) / bs, 0xFFFF));
}

const unsigned char* TableReader::view(std::uint64_t offset, std::size_t n) {
  if (offset >= window_at_ && offset + n <= window_at_ + window_len_) return window_.data() + (offset - window_at_);
  // Reading on from the window: read ahead; elsewhere: one block.
  constexpr std::size_t kReadAhead = 256 * 1024;
  const bool onward = window_len_ > 0 && offset >= window_at_ && offset <= window_at_ + window_len_;
  std::size_t want = onward ? kReadAhead : static_cast<std::size_t>(layout_.block_size);
  if (offset < file_size_) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, file_size_ - offset));
  want = std::max(want, n);
  if (window_.size() < want) window_.resize(want);
  window_at_ = offset;
  window_len_ = 0;
  window_len_ = file_.read_at(offset, window_.data(), want);
  return window_len_ >= n ? window_.data() : nullptr;
}

void TableReader::load(std::size_t ci, std::size_t record) {
  if (ci != chain_index_ || !records_) {
    records_ = nullptr;
    const std::size_t n = kBlockHeaderSize + chain_[ci].records * static_cast<std::size_t>(layout_.record_size);
    const unsigned char* block = view(layout_.block_offset(chain_[ci].number), n);
    if (!block) throw Error(fmt::format("{}: block {} is cut short", name(), chain_[ci].number));
    records_ = block + kBlockHeaderSize;
    chain_index_ = ci;
  }
  record_ = record;
}

void TableReader::first() {
  for (std::size_t ci = 0; ci < chain_.size(); ++ci)
    if (chain_[ci].records) {
      load(ci, 0);
      recno_ = 1;
      eof_ = false;
      return;
    }
  eof_ = true;
  recno_ = 0;
}

void TableReader::last() {
  for (std::size_t ci = chain_.size(); ci-- > 0;)
    if (chain_[ci].records) {
      load(ci, chain_[ci].records - 1U);
      recno_ = count();
      break;
    }
  eof_ = true;
}

void TableReader::next() {
  if (eof_) return;
  if (record_ + 1 < chain_[chain_index_].records) {
    ++record_;
    ++recno_;
    return;
  }
  for (std::size_t ci = chain_index_ + 1; ci < chain_.size(); ++ci)
    if (chain_[ci].records) {
      load(ci, 0);
      ++recno_;
      return;
    }
  eof_ = true;
}

bool field_is_null(const format::Layout& layout, std::size_t f, const unsigned char* record) {
  const unsigned char* p = record + layout.offsets[f];
  const auto size = static_cast<std::size_t>(layout.sizes[f]);
  const FieldType t = layout.fields[f].DataType;
  if (is_blob(t)) return le32(p + size - kBlobDescriptor + 4) == 0;
  // A BCD value without its sign and value bits keeps only the field's scale.
  if (t == FieldType::BCD) return (p[0] & 0xC0) == 0;
  return values::all_zero(p, size);
}

void field_text(const format::Layout& layout, const TextCodec& codec, std::size_t f, const unsigned char* record,
                std::string_view blob, std::string& out) {
  const unsigned char* p = record + layout.offsets[f];
  const auto size = static_cast<std::size_t>(layout.sizes[f]);
  const FieldType t = layout.fields[f].DataType;
  if (t == FieldType::Alpha) {  // all zero bytes (no value) give the empty text too
    codec.decode_field(reinterpret_cast<const char*>(p), size, out);
    return;
  }
  if (field_is_null(layout, f, record)) return;
  if (t == FieldType::Bytes)
    out.append(reinterpret_cast<const char*>(p), size);
  else if (t == FieldType::Memo)
    codec.decode(blob, out);
  else if (is_blob(t))
    out += blob;
  else
    values::format(t, p, out);
}

bool TableReader::is_null(std::size_t f) const { return !records_ || field_is_null(layout_, f, record()); }

void TableReader::value_error(std::size_t field, const std::string& what) const {
  throw Error(fmt::format("{}: record {}, field '{}': {}", name(), recno_, layout_.fields[field].Name, what));
}

std::string TableReader::blob(std::size_t f, const unsigned char* p) {
  const auto leader = static_cast<std::size_t>(layout_.sizes[f]) - kBlobDescriptor;
  const std::uint32_t offset = le32(p + leader);
  const std::uint32_t length = le32(p + leader + 4);
  if (offset == 0) {
    if (length > leader) value_error(f, fmt::format("{} bytes without a reference into the memo file", length));
    return std::string(reinterpret_cast<const char*>(p), length);
  }
  if (!mb_ && !mb_missing_) {
    const fs::path mb = companion(path_, ".mb");
    if (mb.empty())
      mb_missing_ = true;
    else
      mb_ = std::make_unique<BlobFile>(mb, false);
  }
  if (mb_missing_) value_error(f, fmt::format("the memo file {}.MB is missing", path_.stem().string()));
  try {
    return mb_->read(offset, length);
  } catch (const Error& e) {
    value_error(f, e.what());
  }
}

void TableReader::text(std::size_t f, std::string& out) {
  if (!records_) return;
  std::string b;
  if (is_blob(layout_.fields[f].DataType) && !is_null(f)) b = blob(f, field_at(f));
  try {
    field_text(layout_, *codec_, f, record(), b, out);
  } catch (const values::Invalid& e) {
    value_error(f, e.what());
  }
}

}  // namespace qv::pdx
