// Reading a Paradox table to text: rows of 20 fields per second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "paradox/table.h"

namespace {

namespace fs = std::filesystem;
using qv::pdx::FieldDef;
using qv::pdx::FieldType;
using qv::pdx::PDTable;

constexpr int kRows = 200000;

// A table of 20 fields (alpha, number, date, long, logical) with kRows rows.
const fs::path& table_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / (std::string("qv-bench-").append(std::to_string(std::random_device{}())));
    fs::create_directories(d);
    PDTable t;
    t.Directory = d.string();
    t.TableName = "bench.db";
    t.ReadOnly = false;
    const FieldType types[] = {FieldType::Alpha, FieldType::Number, FieldType::Date, FieldType::Long, FieldType::Logical};
    for (int i = 0; i < 20; ++i) {
      FieldDef f;
      f.Name = std::string("F").append(std::to_string(i));
      f.DataType = types[i % 5];
      f.Size = f.DataType == FieldType::Alpha ? 30 : 0;
      t.FieldDefs.push_back(f);
    }
    t.CreateTable();
    t.Open();
    for (int r = 0; r < kRows; ++r) {
      t.Append();
      for (int i = 0; i < 20; ++i) {
        auto& f = t.FieldByName(std::string("F").append(std::to_string(i)));
        switch (i % 5) {
          case 0: f.SetAsString(std::string("Name number ").append(std::to_string(r))); break;
          case 1: f.SetAsString(std::to_string(r) + ".25"); break;
          case 2: f.SetAsString(std::string("03/").append(std::to_string(1 + r % 28)).append("/1999")); break;
          case 3: f.SetAsString(std::to_string(r * 7)); break;
          default: f.SetAsString(r % 2 ? "True" : "False");
        }
      }
      t.Post();
    }
    t.Close();
    return d;
  }();
  return dir;
}

void BM_ReadToText(benchmark::State& state) {
  const fs::path& dir = table_dir();
  std::int64_t rows = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    PDTable t;
    t.Directory = dir.string();
    t.TableName = "BENCH.DB";
    t.Open();
    std::vector<qv::pdx::PDField*> fields;
    for (const auto& f : t.Fields()) fields.push_back(&t.FieldByName(f.Name));
    for (t.First(); !t.Eof(); t.Next(), ++rows)
      for (auto* f : fields) bytes += f->AsString().size();
  }
  benchmark::DoNotOptimize(bytes);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadToText)->Unit(benchmark::kMillisecond);

}  // namespace
