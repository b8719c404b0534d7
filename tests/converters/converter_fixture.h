// A private drive root, the data module, a form, old tables of the test's
// own making and a destination database with the tables a test needs.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "form/conversion_form.h"
#include "paradox/table.h"
#include "datamodule/datamodule.h"
#include "support/testsupport.h"

namespace qv::test {

using Rows = std::vector<std::vector<std::string>>;
using Result = std::vector<std::vector<std::optional<std::string>>>;

class NoBoxes : public MessageBoxes {
 public:
  void Show(const std::string& text, const std::string& caption) override {
    ADD_FAILURE() << "unexpected message box " << caption << ": " << text;
  }
};

pdx::FieldDef alpha(const std::string& name, int size);
pdx::FieldDef typed(const std::string& name, pdx::FieldType type);

class ConverterTest : public ::testing::Test {
 protected:
  static constexpr const char* kDb = "conv0001";

  ConverterTest();

  // Writes an old table (an empty text leaves the field without a value).
  void write_old(const std::string& file, const std::vector<pdx::FieldDef>& defs, const Rows& rows);
  // A single-field alpha table.
  void write_list(const std::string& file, const std::string& field, const std::vector<std::string>& values);
  // A new destination database holding the named tables, created as the
  // builder creates them.
  void create_destination(std::initializer_list<const char*> tables);
  // Rows of the destination, after committing what the converters left open.
  Result query(const std::string& sql);
  // The values of the first column, trailing blanks of CHAR columns removed.
  std::vector<std::string> column(const std::string& sql);
  // The log from the line `first` on.
  std::vector<std::string> log_from(const std::string& first) const;

  DriveC drive_;
  TempDir old_dir_;
  DataModuleScope module_;
  NoBoxes boxes_;
  Tconversion_form form_{&boxes_};
};

}  // namespace qv::test
