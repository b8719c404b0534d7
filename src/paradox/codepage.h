// Decoding of table text (alpha fields, memos, field names) from a code page
// to UTF-8, and encoding back for the tables we write.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qv::pdx {

class TextCodec {
 public:
  // Throws pdx::Error for a code page this system cannot convert.
  explicit TextCodec(int code_page);
  ~TextCodec();
  TextCodec(const TextCodec&) = delete;
  TextCodec& operator=(const TextCodec&) = delete;

  int code_page() const { return code_page_; }
  // Appends the UTF-8 form of `bytes` to `out`. Single-byte pages go through
  // a table; a byte the page leaves undefined becomes the character of the
  // same number. Multi-byte pages go through iconv; a sequence that does not
  // decode becomes U+FFFD.
  void decode(std::string_view bytes, std::string& out) const;
  // The text of a fixed-size field: its bytes up to the first zero byte
  // (all of them when there is none).
  void decode_field(const char* bytes, std::size_t size, std::string& out) const;
  std::string decode(std::string_view bytes) const {
    std::string s;
    decode(bytes, s);
    return s;
  }
  bool single_byte() const { return single_byte_; }
  // The bytes of UTF-8 text in this code page; nullopt when a character has
  // no form in it (`bad` then receives that character).
  std::optional<std::string> encode(std::string_view utf8, std::string* bad = nullptr) const;

 private:
  void decode_single(const char* p, std::size_t n, bool to_nul, std::string& out) const;

  int code_page_;
  bool single_byte_ = true;
  // UTF-8 form of each byte of a single-byte page (at most 3 bytes).
  struct Utf8 {
    char bytes[3];
    unsigned char size;
  };
  std::array<Utf8, 256> table_{};
  struct Iconv;
  std::unique_ptr<Iconv> iconv_;
  mutable std::unique_ptr<Iconv> to_page_;  // opened on the first encode
};

}  // namespace qv::pdx
