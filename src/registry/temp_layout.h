// The layout of the job-search temporary files ("1-js.db", ...): what the
// job-search run writes and reads, and what the check and verify expect of
// a value passing through them.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "paradox/table.h"

namespace qv::registry {

// One field of a temporary file, with the old field it is filled from (same
// name) and the destination column it is loaded into (empty: never loaded).
struct TempField {
  std::string_view name;  // old and temporary field
  pdx::FieldType type;
  int size;
  bool required;
  std::string_view dest_column;
};

// The temporary file's layout, in order. The first eighteen fields are read
// from the old table; `PK` is renumbered on loading and `MEMO` stays empty.
inline constexpr std::array<TempField, 19> kTempLayout{{
    {"PK", pdx::FieldType::AutoInc, 0, false, "PK"},
    {"ACTIVE", pdx::FieldType::Logical, 0, false, "ACTIVE_"},
    {"ACTIVE_CHANGED", pdx::FieldType::Date, 0, false, "ACTIVE_CHANGED"},
    {"REFNUM", pdx::FieldType::Number, 0, false, "REFNUM"},
    {"DATE", pdx::FieldType::Date, 0, true, "DATE_"},
    {"YYYYMMDD", pdx::FieldType::Alpha, 8, true, "YYYYMMDD"},
    {"TIME", pdx::FieldType::Alpha, 5, true, "TIME_"},
    {"CONTACT_NAME", pdx::FieldType::Alpha, 50, true, "CONTACT_NAME"},
    {"EMAIL", pdx::FieldType::Logical, 0, false, "EMAIL"},
    {"POS_TYPE", pdx::FieldType::Alpha, 2, true, "POS_TYPE"},
    {"POS_CITY", pdx::FieldType::Alpha, 50, true, "POS_CITY"},
    {"POS_STATE", pdx::FieldType::Alpha, 2, true, "POS_STATE"},
    {"POS_TITLE", pdx::FieldType::Alpha, 80, false, "POS_TITLE"},
    {"POS_TITLE_ORIGINAL", pdx::FieldType::Alpha, 80, false, "POS_TITLE_ORIGINAL"},
    {"SUBMITTED", pdx::FieldType::Logical, 0, false, "SUBMITTED"},
    {"REASON_NO_SUBMIT", pdx::FieldType::Alpha, 132, false, "REASON_NO_SUBMIT"},
    {"ITEM_FILE", pdx::FieldType::Alpha, 255, false, "ITEM_FILE"},
    {"COMMENT", pdx::FieldType::Alpha, 255, false, "COMMENT"},
    {"MEMO", pdx::FieldType::Memo, 10, false, ""},
}};

// How many fields a record carries from the old table to the destination
// (`PK` to `COMMENT`).
inline constexpr std::size_t kTempCarried = 18;

}  // namespace qv::registry
