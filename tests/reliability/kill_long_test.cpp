// Runs killed at many points across the creation and every converter.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "form/conversion_form.h"
#include "platform/paths.h"
#include "reliability/child.h"
#include "support/testsupport.h"

namespace qv::test {
namespace {

TEST(KilledRuns, AtManyPoints) {
  DriveC drive;
  const auto data = drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "kill0001";
  write_sample(data, 40, 300);
  // Every run after the probe replaces the database the one before left: a
  // killed run must leave the last complete one (or none) and take nothing
  // from it into the next run.
  const std::vector<std::string> args{"--drive-c", drive.root().string(), "--replace", data.string()};
  const ChildResult probe = run_cli(args);
  ASSERT_TRUE(probe.completed()) << probe.all();
  const auto lines = static_cast<long>(probe.out.size());
  std::mt19937 random(12345);
  std::vector<long> points;
  for (long i = 0; i < 20; ++i)  // spread over every table's lines
    points.push_back(1 + i * (lines - 2) / 20 + static_cast<long>(random() % static_cast<unsigned>(lines / 20)));
  for (int i = 0; i < 4; ++i) points.push_back(-static_cast<long>(50 + random() % 1500));
  std::printf("%zu kill points over a run of %ld log lines\n", points.size(), lines);
  kill_and_rerun(args, data, platform::map_path(Tconversion_form::destination_file("kill0001")), points);
}

}  // namespace
}  // namespace qv::test
