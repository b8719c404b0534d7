// libFuzzer target for the table reader. An input is a 4-byte little-endian
// length n, then n bytes of .DB, then the .MB.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

#include "paradox/table.h"

namespace {

struct NullBuf : std::streambuf {
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void write(const std::filesystem::path& p, const std::uint8_t* d, std::size_t n) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(d), static_cast<std::streamsize>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("qv-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  if (size < 4) return 0;
  std::size_t n = static_cast<std::size_t>(data[0] | data[1] << 8 | data[2] << 16) | static_cast<std::size_t>(data[3]) << 24;
  if (n > size - 4) n = size - 4;
  write(dir / "F.DB", data + 4, n);
  write(dir / "F.MB", data + 4 + n, size - 4 - n);
  NullBuf buf;
  std::ostream sink(&buf);
  try {
    qv::pdx::dump_csv(dir / "F.DB", sink);
  } catch (const qv::pdx::Error&) {
    // A clear refusal is the expected outcome for most inputs.
  }
  return 0;
}
