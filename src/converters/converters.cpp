// The seventeen table converters that run on the frame, each as data: the old
// file, the destination table as the converter names it, the heading, the
// columns and how rows are kept.
#include <array>

#include "converters/frame.h"

namespace qv {

namespace {

using conv::Column;
using conv::Skip;
using conv::TableRule;
using conv::Write;

// Columns whose old field and destination column share their name.
std::vector<Column> same_names(std::initializer_list<std::string_view> names, Write how = Write::AsRead) {
  std::vector<Column> out;
  for (auto n : names) out.push_back({n, n, how});
  return out;
}

// A lookup list: its values upper-cased and each value its own key.
TableRule lookup(std::string_view old_file, std::string_view dest_table, std::string_view heading,
                 std::initializer_list<std::string_view> columns, Skip skip) {
  return TableRule{old_file, dest_table, heading, same_names(columns, Write::Upper), skip, true, columns.size()};
}

// ---- Lookup lists ----
const TableRule kCarrier = lookup("CARRIER.db", "CARRIER_4", "CARRIER table...........", {"CARRIER"}, Skip::AnyBlank);
const TableRule kCategory = lookup("CATEGORY.db", "CATEGORY_4", "CATEGORY table...........", {"CATEGORY"}, Skip::AnyBlank);
const TableRule kCity = lookup("CITY.db", "CITY_4", "CITY table...........", {"CITY"}, Skip::AnyBlank);
const TableRule kComment = lookup("COMMENT.db", "COMMENT_4", "COMMENT table...........", {"COMMENT"}, Skip::AnyBlank);
const TableRule kCommentJs = lookup("COMMENT_JS.db", "COMMENT_JS_4", "COMMENT_JS table...........", {"COMMENT"}, Skip::AnyBlank);
const TableRule kContactName = lookup("CONTACT_NAME.db", "CONTACT_NAME_4", "CONTACT_NAME table...........", {"CONTACT_NAME"}, Skip::AnyBlank);
const TableRule kItem = lookup("ITEM.db", "ITEM_4", "ITEM table...........", {"ITEM"}, Skip::AnyBlank);
const TableRule kPoscode = lookup("POSCODE.db", "POSCODE_4", "POSCODE table...........", {"POS_CODE", "POS_DESC"}, Skip::None);
const TableRule kPosqual = lookup("POSQUAL.db", "POSQUAL_4", "POSQUAL table...........", {"POSQUAL"}, Skip::None);
const TableRule kPostitle = lookup("POSTITLE.db", "POSTITLE_4", "POSTITLE table...........", {"POS_TITLE"}, Skip::AnyBlank);
const TableRule kReason = lookup("REASON.db", "REASON_4", "REASON table...........", {"REASON"}, Skip::None);

// ---- Payment records: thirty columns as read, the old key kept ----
const TableRule kQuorvel{"QUORVEL2.db", "QUORVEL_4", "QUORVEL_4 table...........",
                         same_names({"pk", "CATEGORY", "ITEM_DATE", "YYYYMMDD", "DATE_SENT", "DATE_AVAIL",
                                     "DATE_1ST_TRY", "DATE_2ND_TRY", "DATE_3RD_TRY", "DATE_DEL", "DATE_RETURNED",
                                     "DATE_CLEAR", "DAYS_SENT_TO_AVAIL", "DAYS_SENT_TO_DEL", "DAYS_AVAIL_TO_DEL",
                                     "DAYS_DEL_TO_CLEAR", "DAYS_SENT_TO_CLEAR", "CHECK_NBR", "ITEM", "SS_AMT",
                                     "RP_AMT", "CS_AMT", "OTHER_AMT", "CARRIER", "CARR_NBR", "ITEM_FILE",
                                     "SHIP_FILE", "SIG_FILE", "CHK_STMT", "COMMENT"}),
                         Skip::None, false, 1};

// ---- Settings: as read, AUTO_ZIP as a 1/0 flag, no key ----
std::vector<Column> config_columns() {
  auto columns = same_names({"SIDE_BAR_COLOR", "BROWSE_START_HERE", "AUTO_ZIP", "MY_NAME", "MY_ADDRESS", "MY_CITY",
                             "MY_STATE", "MY_ZIP", "EX_SPOUSE_NAME", "EX_SPOUSE_SSAN", "EX_SPOUSE_ADDRESS",
                             "EX_SPOUSE_CITY", "EX_SPOUSE_STATE", "EX_SPOUSE_ZIP"});
  for (auto& c : columns)
    if (c.old_field == "AUTO_ZIP") c.write = Write::TrueFlag;
  return columns;
}
const TableRule kConfig{"CONFIG.db", "CONFIG_4", "CONFIG table...........", config_columns(), Skip::None, false, 0};

// ---- Job-search edit rules: as read, rows with any blank field left out ----
const TableRule kJsEdit{"JS_EDIT.db", "JS_EDIT_4", "JS_EDIT_4 table...........",
                        same_names({"CHANGE_FROM", "CHANGE_TO", "REASON_NO_SUBMIT"}),
                        Skip::AnyBlank, false, 1};

// ---- Statistics: upper-cased, rows with any blank field left out ----
const TableRule kStatsJt{"stats_jt.db", "stats_jt_4", "STATS_JT_4 table...........",
                         {{"ORDER", "ORDER_", Write::Upper},
                          {"CATEGORY", "CATEGORY", Write::Upper},
                          {"COUNT", "COUNT_", Write::Upper},
                          {"PERCENTAGE", "PERCENTAGE", Write::Upper},
                          {"REASON_NOT_SUBMITTED", "REASON_NOT_SUBMITTED", Write::Upper},
                          {"AS_OF_DATE", "AS_OF_DATE", Write::Upper}},
                         Skip::AnyBlank, false, 2};
const TableRule kStatsSt{"stats_st.db", "stats_st_4", "STATS_ST_4 table...........",
                         {{"STATE", "STATE", Write::Upper},
                          {"COUNT", "COUNT_", Write::Upper},
                          {"PERCENTAGE", "PERCENTAGE", Write::Upper},
                          {"AS_OF_DATE", "AS_OF_DATE", Write::Upper}},
                         Skip::AnyBlank, false, 1};

// ---- Time of day ----
const TableRule kTime10{"time10.db", "time10_4", "TIME10_4 table...........",
                        {{"24_HOUR", "x24_hour", Write::Upper}, {"12_HOUR", "x12_hour", Write::Upper}},
                        Skip::AnyBlank, false, 2};

}  // namespace

void Tconversion_form::convert_carrier_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kCarrier); }
void Tconversion_form::convert_category_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kCategory); }
void Tconversion_form::convert_city_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kCity); }
void Tconversion_form::convert_comment_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kComment); }
void Tconversion_form::convert_comment_js_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kCommentJs); }
void Tconversion_form::convert_config_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kConfig); }
void Tconversion_form::convert_contact_name_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kContactName); }
void Tconversion_form::convert_quorvel_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kQuorvel); }
void Tconversion_form::convert_item_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kItem); }
void Tconversion_form::convert_js_edit_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kJsEdit); }
void Tconversion_form::convert_poscode_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kPoscode); }
void Tconversion_form::convert_posqual_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kPosqual); }
void Tconversion_form::convert_postitle_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kPostitle); }
void Tconversion_form::convert_reason_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kReason); }
void Tconversion_form::convert_stats_jt_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kStatsJt); }
void Tconversion_form::convert_stats_st_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kStatsSt); }
void Tconversion_form::convert_time10_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, kTime10); }

const conv::TableRule* conv::rule_for_item(std::size_t check_list_index) {
  // Check-list order; the job-search table (item 10) has no rule.
  static const std::array<const TableRule*, Tconversion_form::kTables> rules = {
      &kCarrier, &kCategory, &kCity,     &kComment, &kCommentJs, &kConfig,  &kContactName, &kQuorvel, &kItem,
      &kJsEdit,  nullptr,    &kPoscode,  &kPosqual, &kPostitle,  &kReason,  &kStatsJt,     &kStatsSt, &kTime10};
  return check_list_index < rules.size() ? rules[check_list_index] : nullptr;
}

}  // namespace qv
