#include "paradox/format.h"

#include <fmt/format.h>

#include <array>

namespace qv::pdx::format {

namespace {

constexpr std::array<TypeInfo, 17> kTypes{{
    {FieldType::Alpha, 0x01, 0},  {FieldType::Date, 0x02, 4},     {FieldType::Short, 0x03, 2},
    {FieldType::Long, 0x04, 4},   {FieldType::Money, 0x05, 8},    {FieldType::Number, 0x06, 8},
    {FieldType::Logical, 0x09, 1}, {FieldType::Memo, 0x0C, 0},    {FieldType::Blob, 0x0D, 0},
    {FieldType::FmtMemo, 0x0E, 0}, {FieldType::OLE, 0x0F, 0},     {FieldType::Graphic, 0x10, 0},
    {FieldType::Time, 0x14, 4},   {FieldType::Timestamp, 0x15, 8}, {FieldType::AutoInc, 0x16, 4},
    {FieldType::BCD, 0x17, 17},   {FieldType::Bytes, 0x18, 0},
}};

[[noreturn]] void bad(const std::string& file, const std::string& what) {
  throw Error(fmt::format("{}: not a readable Paradox table: {}", file, what));
}

}  // namespace

const TypeInfo* type_by_code(std::uint8_t code) {
  for (const auto& t : kTypes)
    if (t.code == code) return &t;
  return nullptr;
}

const TypeInfo& type_info(FieldType type) {
  for (const auto& t : kTypes)
    if (t.type == type) return t;
  throw Error(fmt::format("unknown field type '{}'", static_cast<char>(type)));
}

int physical_size(FieldType t, int header_size) {
  const int fixed = type_info(t).fixed_size;
  // The size byte of a BCD field is its scale; the value always takes 17 bytes.
  return fixed ? fixed : header_size;
}

Layout parse_header(const unsigned char* d, std::size_t size, std::uint64_t file_size, const std::string& file,
                    std::vector<std::string>* raw_names) {
  if (size < kFieldInfo3) bad(file, fmt::format("the file is only {} bytes long", size));
  Layout l;
  l.record_size = le16(d + kRecordSize);
  l.header_size = le16(d + kHeaderSize);
  l.file_type = d[kFileType];
  l.block_size = d[kBlockKiB] * 1024;
  l.num_records = le32(d + kNumRecords);
  l.file_blocks = le16(d + kFileBlocks);
  l.first_block = le16(d + kFirstBlock);
  l.last_block = le16(d + kLastBlock);
  l.version = d[kVersion];
  l.auto_inc = le32(d + kAutoInc);
  const int nfields = le16(d + kNumFields);

  if (l.version < 3 || l.version > 12) bad(file, fmt::format("unknown file version id {}", l.version));
  if (l.file_type != kFileTypeKeyed && l.file_type != kFileTypeUnkeyed)
    bad(file, fmt::format("file type {} is not a data table", l.file_type));
  if (d[kBlockKiB] < 1 || d[kBlockKiB] > 32) bad(file, fmt::format("block size {} KiB", d[kBlockKiB]));
  if (l.header_size > static_cast<int>(size) || static_cast<std::uint64_t>(l.header_size) > file_size)
    bad(file, fmt::format("header size {} is beyond the end of the file ({} bytes)", l.header_size, file_size));
  if (l.record_size < 1 || l.record_size + kBlockHeaderSize > static_cast<std::size_t>(l.block_size))
    bad(file, fmt::format("record size {} does not fit a {}-byte block", l.record_size, l.block_size));
  if (nfields < 1) bad(file, "no fields");

  const bool v4 = l.version >= kFirstVersionWithCodePage;
  if (v4) {
    if (l.header_size < static_cast<int>(kFieldInfo4)) bad(file, fmt::format("header size {}", l.header_size));
    l.encrypted = le32(d + kEncryption4) != 0;
    l.code_page = le16(d + kCodePage);
  } else {
    l.encrypted = le32(d + kEncryption3) != 0;
  }

  const std::size_t hs = static_cast<std::size_t>(l.header_size);
  std::size_t pos = v4 ? kFieldInfo4 : kFieldInfo3;
  const std::size_t name_len = l.version >= kVersion7 ? kTableNameLen7 : kTableNameLen3;
  // Field info, the table name pointer, the field name pointers, the table name.
  const std::size_t names_at = pos + 2 * static_cast<std::size_t>(nfields) + 4 + 4 * static_cast<std::size_t>(nfields) + name_len;
  if (names_at > hs) bad(file, fmt::format("{} fields do not fit a {}-byte header", nfields, hs));

  int offset = 0;
  for (int i = 0; i < nfields; ++i, pos += 2) {
    const TypeInfo* t = type_by_code(d[pos]);
    if (!t) bad(file, fmt::format("field {} has the unknown type code {:#04x}", i + 1, d[pos]));
    FieldDef f;
    f.DataType = t->type;
    const int hsize = d[pos + 1];
    const int phys = physical_size(t->type, hsize);
    if (t->type == FieldType::BCD) {
      if (hsize > 32) bad(file, fmt::format("field {} is a BCD field with {} decimals", i + 1, hsize));
    } else if (t->fixed_size != 0 && hsize != t->fixed_size) {
      bad(file, fmt::format("field {} ({}) has size {}, the type takes {}", i + 1, static_cast<char>(t->type), hsize,
                            t->fixed_size));
    } else if (t->fixed_size == 0) {
      const int min = is_blob(t->type) ? static_cast<int>(kBlobDescriptor) : 1;
      if (hsize < min) bad(file, fmt::format("field {} ({}) has size {}", i + 1, static_cast<char>(t->type), hsize));
    }
    f.Size = is_blob(t->type) ? hsize - static_cast<int>(kBlobDescriptor) : (t->fixed_size ? 0 : hsize);
    if (t->type == FieldType::BCD) f.Size = hsize;
    l.fields.push_back(std::move(f));
    l.offsets.push_back(offset);
    l.sizes.push_back(phys);
    offset += phys;
  }
  if (offset != l.record_size)
    bad(file, fmt::format("the field sizes add up to {} bytes, the record size is {}", offset, l.record_size));

  pos = names_at;
  for (int i = 0; i < nfields; ++i) {
    const void* end = std::memchr(d + pos, 0, hs - pos);
    if (!end) bad(file, fmt::format("the name of field {} runs past the header", i + 1));
    const std::size_t len = static_cast<std::size_t>(static_cast<const unsigned char*>(end) - (d + pos));
    raw_names->emplace_back(reinterpret_cast<const char*>(d + pos), len);
    pos += len + 1;
  }
  return l;
}

}  // namespace qv::pdx::format
