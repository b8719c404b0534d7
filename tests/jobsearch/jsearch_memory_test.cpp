// A million job-search records convert without the process growing with
// them: every step holds one record at a time.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "jobsearch_fixture.h"

namespace qv::test {
namespace {

// Peak resident size of this process in kB.
long peak_kb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmHWM:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

using MemoryTest = JobsearchTest;

TEST_F(MemoryTest, AMillionRecordsConvertInBoundedMemory) {
  constexpr std::int64_t kRecords = 1'000'000;
  create_destination("abcd1234");
  write_old_table(kRecords, typical_record, 16);
  form_.Memo1.Clear();
  const long before = peak_kb();
  form_.convert_jsearch_4(&form_, "abcd1234");
  const long growth_mb = (peak_kb() - before) / 1024;
  RecordProperty("peak_growth_mb", std::to_string(growth_mb));
  // The records alone would take several hundred megabytes.
  EXPECT_LT(growth_mb, 128);
  EXPECT_EQ(dest_count(), kRecords);
  EXPECT_EQ(form_.Memo1.Lines.back(), "----->Loading Temp file 201-js.db into new table");
}

}  // namespace
}  // namespace qv::test
