#include "paradox/codepage.h"

#include <fmt/format.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "paradox/table.h"
#include "platform/text.h"

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

// The UTF-8 form of a character below U+0800 (the bytes themselves).
std::string utf8(unsigned cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  return {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
}

// Runs `in` through `cd` (from its initial state), appending to `out`. At a
// sequence the page cannot take, `on_bad(ip, il)` is asked: it either moves
// `ip`/`il` past the sequence and returns true to go on, or returns false,
// which ends the conversion with false.
template <class OnBad>
bool convert(iconv_t cd, std::string_view in, std::string& out, OnBad on_bad) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* ip = const_cast<char*>(in.data());
  std::size_t il = in.size();
  char buf[1024];
  while (il > 0) {
    char* op = buf;
    std::size_t ol = sizeof buf;
    const std::size_t r = iconv(cd, &ip, &il, &op, &ol);
    out.append(buf, static_cast<std::size_t>(op - buf));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG && !on_bad(ip, il)) return false;
  }
  return true;
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
    std::string u;
    if (b >= 0x80 && iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && il == 0)
      u.assign(outbuf, static_cast<std::size_t>(op - outbuf));
    else
      u = utf8(b);
    if (u.size() > sizeof table_[b].bytes) u = "\xEF\xBF\xBD";  // no single-byte page goes beyond U+FFFF
    std::memcpy(table_[b].bytes, u.data(), u.size());
    table_[b].size = static_cast<unsigned char>(u.size());
  }
}

TextCodec::~TextCodec() = default;

std::optional<std::string> TextCodec::encode(std::string_view utf8, std::string* bad) const {
  if (code_page_ == 1252) return platform::to_cp1252(utf8, bad);
  if (!to_page_) {
    std::string buf;
    iconv_t cd = iconv_open(iconv_name(code_page_, buf), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw Error(fmt::format("code page {} is not supported", code_page_));
    to_page_ = std::make_unique<Iconv>(cd);
  }
  std::string out;
  const bool whole = convert(to_page_->cd, utf8, out, [bad](char*& ip, std::size_t& il) {
    if (bad) {  // the character at `ip`: its lead byte and continuation bytes
      std::size_t n = 1;
      while (n < il && (static_cast<unsigned char>(ip[n]) & 0xC0) == 0x80) ++n;
      *bad = std::string(ip, n);
    }
    return false;
  });
  if (!whole) return std::nullopt;
  // A stateful page may end on a shift back to its initial state.
  char buf[16];
  char* op = buf;
  std::size_t ol = sizeof buf;
  iconv(to_page_->cd, nullptr, nullptr, &op, &ol);
  out.append(buf, static_cast<std::size_t>(op - buf));
  return out;
}

void TextCodec::decode_single(const char* p, std::size_t n, bool to_nul, std::string& out) const {
  // Most text is plain ASCII, which every page keeps as it is: skip it eight
  // bytes at a time and append it in runs.
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL, kOnes = 0x0101010101010101ULL;
  std::size_t i = 0;
  for (std::uint64_t w; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if ((w & kHigh) || (to_nul && ((w - kOnes) & ~w & kHigh))) break;  // a high or a zero byte
  }
  std::size_t run = 0;  // start of the ASCII not yet appended
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c == 0 && to_nul) break;
    if (c & 0x80) {
      out.append(p + run, i - run).append(table_[c].bytes, table_[c].size);
      run = i + 1;
    }
  }
  out.append(p + run, i - run);
}

void TextCodec::decode_field(const char* bytes, std::size_t size, std::string& out) const {
  if (single_byte_) {
    decode_single(bytes, size, true, out);
    return;
  }
  const void* nul = std::memchr(bytes, 0, size);
  decode(std::string_view(bytes, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : size), out);
}

void TextCodec::decode(std::string_view bytes, std::string& out) const {
  if (single_byte_) {
    decode_single(bytes.data(), bytes.size(), false, out);
    return;
  }
  convert(iconv_->cd, bytes, out, [&](char*& ip, std::size_t& il) {
    out += "\xEF\xBF\xBD";  // a byte that starts no character of the page
    ++ip;
    --il;
    iconv(iconv_->cd, nullptr, nullptr, nullptr, nullptr);
    return true;
  });
}

}  // namespace qv::pdx
