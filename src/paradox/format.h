// The Paradox .DB and .MB file layouts: byte order helpers, field type codes
// and the parsed table header. Everything here works on bytes already read;
// every offset taken from a file is checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "paradox/table.h"

namespace qv::pdx::format {

// Data blocks start with next block, previous block and "last record offset".
constexpr std::size_t kBlockHeaderSize = 6;
// Memo files are made of 4 KiB chunks; block 0 is the memo file's header.
constexpr std::size_t kMbChunk = 4096;
constexpr std::size_t kMbSingleHeader = 9;     // type, chunks, length, modification number
constexpr std::size_t kMbSubTable = 12;        // offset of the sub-allocation table
constexpr std::size_t kMbSubEntries = 64;      // 5-byte entries
constexpr std::size_t kBlobDescriptor = 10;    // offset, length, modification number
constexpr std::uint8_t kMbHeaderBlock = 0, kMbSingleBlob = 2, kMbSubBlocks = 3;

// File version ids: 3 = 3.0, 4 = 3.5, 5..9 = 4.x, 10..11 = 5.x, 12 = 7.x.
constexpr int kVersion7 = 12;
constexpr int kFirstVersionWithCodePage = 5;
// Header offsets.
constexpr std::size_t kRecordSize = 0x00, kHeaderSize = 0x02, kFileType = 0x04, kBlockKiB = 0x05,
                      kNumRecords = 0x06, kUsedBlocks = 0x0A, kFileBlocks = 0x0C, kFirstBlock = 0x0E,
                      kLastBlock = 0x10, kNumFields = 0x21, kKeyFields = 0x23, kEncryption3 = 0x25,
                      kVersion = 0x39, kMaxBlocks = 0x3A, kAutoInc = 0x49, kEncryption4 = 0x5C,
                      kCodePage = 0x6A, kFieldInfo3 = 0x58, kFieldInfo4 = 0x78;
constexpr std::size_t kTableNameLen3 = 79, kTableNameLen7 = 261;
constexpr int kFileTypeKeyed = 0, kFileTypeUnkeyed = 2;

inline std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void put_le16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline std::uint64_t be(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}
inline void put_be(unsigned char* p, std::size_t n, std::uint64_t v) {
  for (std::size_t i = n; i-- > 0; v >>= 8) p[i] = static_cast<unsigned char>(v);
}

// Type codes of the field information array.
struct TypeInfo {
  FieldType type;
  std::uint8_t code;
  int fixed_size;  // 0: the size comes from the header
};
const TypeInfo* type_by_code(std::uint8_t code);
const TypeInfo& type_info(FieldType t);
inline bool is_blob(FieldType t) {
  return t == FieldType::Memo || t == FieldType::FmtMemo || t == FieldType::Blob || t == FieldType::OLE ||
         t == FieldType::Graphic;
}
// Bytes a field takes in the record, from the size byte of the header.
int physical_size(FieldType t, int header_size);

// The parsed, checked header of a data table.
struct Layout {
  int record_size = 0;
  int header_size = 0;
  int file_type = 0;
  int block_size = 0;
  std::uint32_t num_records = 0;
  int file_blocks = 0;
  int first_block = 0;
  int last_block = 0;
  int version = 0;
  int code_page = 0;  // 0: none in the header
  bool encrypted = false;
  std::uint32_t auto_inc = 0;  // last number given
  std::vector<FieldDef> fields;
  std::vector<int> offsets;  // of each field in the record
  std::vector<int> sizes;    // bytes in the record

  // Where data block `number` (the first is 1) starts in the file.
  std::uint64_t block_offset(unsigned number) const {
    return static_cast<std::uint64_t>(header_size) + (number - 1ULL) * static_cast<std::uint64_t>(block_size);
  }
};

// Parses and checks the header. `raw_names` receives the undecoded field
// names (decoded by the caller once the code page is known).
Layout parse_header(const unsigned char* data, std::size_t size, std::uint64_t file_size, const std::string& file,
                    std::vector<std::string>* raw_names);

}  // namespace qv::pdx::format
