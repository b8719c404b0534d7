// Steps of a Convert that stand in for the builder and the converters: each
// calls its function when one is set; the database counts as created.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "form/conversion_form.h"

namespace qv::test {

struct StubSteps : ConversionSteps {
  std::function<bool(const std::string& dbname)> on_create_database;
  std::function<void(std::size_t index, const std::string& dbname)> on_convert;

  bool create_database(Tconversion_form&, const std::string& dbname) override {
    return on_create_database ? on_create_database(dbname) : true;
  }
  void convert(Tconversion_form&, std::size_t index, const std::string& dbname) override {
    if (on_convert) on_convert(index, dbname);
  }
};

}  // namespace qv::test
