// Damaged copies of real tables: every one gives correct data or a clear
// error, never a crash, a hang or a read outside the file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "paradox/table.h"
#include "support/testsupport.h"

namespace qv::pdx {
namespace {

using Bytes = std::string;
namespace fs = std::filesystem;

Bytes slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(b.data(), static_cast<std::streamsize>(b.size()));
}

struct Corpus {
  test::TempDir dir;
  int errors = 0, readable = 0;
  Bytes last_mb;

  // Reads the damaged table to the end; only pdx::Error may come out, and it
  // must name the file.
  void check(const Bytes& db, const Bytes* mb = nullptr, const std::string& what = "") {
    const fs::path p = dir / "T.DB";
    spit(p, db);
    if (mb && *mb != last_mb) spit(dir / "T.MB", last_mb = *mb);
    std::ostringstream sink;
    try {
      dump_csv(p, sink);
      ++readable;
    } catch (const Error& e) {
      ++errors;
      EXPECT_NE(std::string(e.what()).find("T."), std::string::npos) << what << ": " << e.what();
    }
  }
};

const char* const kSamples[] = {"paradoxdriver/db/CUSTOMER.DB", "paradoxdriver/areas/STATES.DB",
                                "paradoxdriver/fields/memo.db", "rparadox/TypSammlung.DB",
                                "paradoxdriver/mtdemo/KRENTAL.DB"};

Bytes memo_of(const fs::path& db) {
  for (const char* ext : {".MB", ".mb"})
    if (fs::exists(fs::path(db).replace_extension(ext))) return slurp(fs::path(db).replace_extension(ext));
  return {};
}

// Skipped (named) where the shared fixtures are missing.
class ParadoxCorruption : public ::testing::Test {
 protected:
  void SetUp() override { QV_NEEDS_FIXTURES(); }
};

TEST_F(ParadoxCorruption, Truncations) {
  Corpus c;
  for (const char* f : kSamples) {
    const Bytes db = slurp(test::fixture(f));
    const Bytes mb = memo_of(test::fixture(f));
    for (std::size_t n = 0; n < db.size(); n += 1 + db.size() / 60) c.check(db.substr(0, n), &mb, f);
    for (std::size_t n = 0; n < mb.size(); n += 1 + mb.size() / 40) {
      const Bytes cut = mb.substr(0, n);
      c.check(db, &cut, f);
    }
  }
  EXPECT_GT(c.errors, 100);
}

TEST_F(ParadoxCorruption, HeaderByteFlips) {
  Corpus c;
  for (const char* f : kSamples) {
    const Bytes db = slurp(test::fixture(f));
    const Bytes mb = memo_of(test::fixture(f));
    for (std::size_t i = 0; i < 0x100 && i < db.size(); ++i)
      for (int x : {0xFF, 0x01}) {
        Bytes d = db;
        d[i] = static_cast<char>(d[i] ^ x);
        c.check(d, &mb, f);
      }
  }
  EXPECT_GT(c.errors, 100);
  EXPECT_GT(c.readable, 100);  // flips of bytes nobody reads change nothing
}

TEST_F(ParadoxCorruption, BlockLoopsAndBadBlockNumbers) {
  Corpus c;
  const Bytes db = slurp(test::fixture("paradoxdriver/mtdemo/KRENTAL.DB"));
  const std::size_t hs = static_cast<unsigned char>(db[2]) | static_cast<unsigned char>(db[3]) << 8;
  for (unsigned next : {1u, 2u, 0xFFFFu, 200u}) {
    Bytes d = db;
    d[hs + 1024 * 2] = static_cast<char>(next);  // block 3 points back (or away)
    d[hs + 1024 * 2 + 1] = static_cast<char>(next >> 8);
    c.check(d);
  }
  for (unsigned add : {0x8000u, 0x7FFFu, 1u, 0xFFFFu}) {  // records per block
    Bytes d = db;
    d[hs + 4] = static_cast<char>(add);
    d[hs + 5] = static_cast<char>(add >> 8);
    c.check(d);
  }
  EXPECT_EQ(c.readable, 0);
}

TEST_F(ParadoxCorruption, BadFieldSizes) {
  Corpus c;
  Bytes db = slurp(test::fixture("paradoxdriver/db/ORDERS.DB"));
  for (int s : {0, 1, 6, 9, 255}) {
    Bytes d = db;
    d[0x78 + 1] = static_cast<char>(s);  // "Order No" is a number of 8 bytes
    c.check(d);
    d = db;
    d[0x78 + 9] = static_cast<char>(s);  // "Ship VIA" is alpha of 7
    c.check(d);
  }
  EXPECT_EQ(c.readable, 0);
}

TEST_F(ParadoxCorruption, BadMemoReferences) {
  Corpus c;
  const Bytes db = slurp(test::fixture("paradoxdriver/fields/memo.db"));
  const Bytes mb = slurp(test::fixture("paradoxdriver/fields/memo.mb"));
  const std::size_t desc = 0x806 + 4 + 240;  // record 1: the memo's offset and length
  for (std::uint32_t off : {0u, 0x103eu, 0x10ffu, 0x2000u, 0x7FFFFF3Fu, 0x0000003Fu, 0x1040u}) {
    for (std::uint32_t len : {555u, 556u, 0x7FFFFFFFu, 241u}) {
      Bytes d = db;
      for (int i = 0; i < 4; ++i) {
        d[desc + i] = static_cast<char>(off >> (8 * i));
        d[desc + 4 + i] = static_cast<char>(len >> (8 * i));
      }
      c.check(d, &mb);
    }
  }
  // The sub-allocation entry of that memo, and the block type.
  for (std::size_t at : {0x1000u, 0x1147u, 0x1148u}) {
    for (int v : {0x00, 0x02, 0xFF}) {
      Bytes m = mb;
      m[at] = static_cast<char>(v);
      c.check(db, &m);
    }
  }
  EXPECT_GT(c.errors, 30);
}

}  // namespace
}  // namespace qv::pdx
