// A private drive root, the data module, a form, an old "JSEARCH2.db" of our
// making and a destination database with JSEARCH_4.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "form/conversion_form.h"
#include "datamodule/datamodule.h"
#include "support/testsupport.h"

namespace qv::test {

// Old field values of one record; a field left out gets no value.
using OldRecord = std::map<std::string, std::string>;

// A record with every required field filled; `i` varies the values.
OldRecord typical_record(std::int64_t i);

class NoBoxes : public MessageBoxes {
 public:
  void Show(const std::string& text, const std::string& caption) override {
    ADD_FAILURE() << "unexpected message box " << caption << ": " << text;
  }
};

class JobsearchTest : public ::testing::Test {
 protected:
  explicit JobsearchTest(FormSetup setup = {});

  // Writes JSEARCH2.db of `count` records into the old-table folder; a
  // positive `alpha_cap` narrows its alpha fields (more records fit a file).
  void write_old_table(std::int64_t count, const std::function<OldRecord(std::int64_t)>& record = typical_record,
                       int alpha_cap = 0);
  // A new destination database with its tables, built by the form; the
  // connection is left closed with the converters' login lines.
  void create_destination(const std::string& dbname);
  // Rows of the destination, after committing what the converter left open.
  std::vector<std::vector<std::optional<std::string>>> query(const std::string& sql);
  std::int64_t dest_count();
  // Records of a temporary file.
  std::int64_t temp_records(int number);
  bool temp_exists(int number);
  std::filesystem::path temp_folder() const;

  DriveC drive_;
  TempDir old_dir_;
  DataModuleScope module_;
  NoBoxes boxes_;
  Tconversion_form form_;
  TDataModule2& dm_ = *DataModule2;
};

}  // namespace qv::test
