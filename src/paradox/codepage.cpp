#include "paradox/codepage.h"

#include <fmt/format.h>
#include <iconv.h>

#include <cerrno>

#include "paradox/table.h"

namespace qv::pdx {

namespace {

const char* iconv_name(int cp, std::string& buf) {
  switch (cp) {
    case 936: return "GBK";
    case 950: return "BIG5";
    case 932: return "CP932";
    case 949: return "CP949";
    default: buf = "CP" + std::to_string(cp); return buf.c_str();
  }
}

bool multi_byte(int cp) { return cp == 932 || cp == 936 || cp == 949 || cp == 950; }

void append_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

struct TextCodec::Iconv {
  iconv_t cd;
  explicit Iconv(iconv_t c) : cd(c) {}
  ~Iconv() { iconv_close(cd); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
};

TextCodec::TextCodec(int code_page) : code_page_(code_page) {
  std::string buf;
  iconv_t cd = iconv_open("UTF-8", iconv_name(code_page, buf));
  if (cd == reinterpret_cast<iconv_t>(-1)) throw Error(fmt::format("code page {} is not supported", code_page));
  iconv_ = std::make_unique<Iconv>(cd);
  single_byte_ = !multi_byte(code_page);
  if (!single_byte_) return;
  for (unsigned b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char outbuf[8];
    char* ip = &in;
    char* op = outbuf;
    std::size_t il = 1, ol = sizeof outbuf;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (b >= 0x80 && iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && il == 0)
      table_[b].assign(outbuf, static_cast<std::size_t>(op - outbuf));
    else
      append_utf8(table_[b], b);
  }
}

TextCodec::~TextCodec() = default;

void TextCodec::decode(std::string_view bytes, std::string& out) const {
  if (single_byte_) {
    for (unsigned char c : bytes) {
      if (c < 0x80)
        out += static_cast<char>(c);
      else
        out += table_[c];
    }
    return;
  }
  iconv(iconv_->cd, nullptr, nullptr, nullptr, nullptr);
  char* ip = const_cast<char*>(bytes.data());
  std::size_t il = bytes.size();
  char buf[1024];
  while (il > 0) {
    char* op = buf;
    std::size_t ol = sizeof buf;
    const std::size_t r = iconv(iconv_->cd, &ip, &il, &op, &ol);
    out.append(buf, static_cast<std::size_t>(op - buf));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out += "\xEF\xBF\xBD";  // a byte that starts no character of the page
      ++ip;
      --il;
      iconv(iconv_->cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

}  // namespace qv::pdx
