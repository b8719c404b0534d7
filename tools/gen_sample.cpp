// quorvel-gen-sample: writes a realistic old QUORVEL data set (eighteen
// Paradox tables) into a folder, the same for the same seed.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "sample_data.h"

int main(int argc, char** argv) {
  CLI::App app{"Writes a sample old QUORVEL data set (eighteen Paradox tables) into DIR"};
  qv::sample::Options options;
  std::string dir;
  app.add_option("--rows", options.rows, "payment records (the larger lookup lists scale with it)")
      ->capture_default_str();
  app.add_option("--jsearch-records", options.jobs, "job-search records")->capture_default_str();
  app.add_option("--seed", options.seed, "seed of the values")->capture_default_str();
  app.add_flag("--fractional-order", options.fractional_order,
               "one STATS_JT.db ORDER of 3.5 (the migration stops on it)");
  app.add_option("--repeated-key", options.repeated_key,
                 "payment record N (from 1) has the key of the record before it (the migration stops on it)");
  app.add_option("DIR", dir, "folder to write the tables into")->required();
  CLI11_PARSE(app, argc, argv);
  try {
    for (const auto& name : qv::sample::write_data_set(dir, options)) std::printf("%s\n", name.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvel-gen-sample: %s\n", e.what());
    return 1;
  }
  return 0;
}
