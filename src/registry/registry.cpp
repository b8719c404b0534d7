#include "registry/registry.h"

#include <stdexcept>

#include "platform/text.h"

namespace qv::registry {

namespace {

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

const builder::TableDef* definition(std::string_view table) {
  const builder::TableDef* def = builder::find_table(table);
  if (!def) throw std::logic_error("no definition for table " + std::string(table));
  return def;
}

// An item converted on the frame by `rule`.
Item frame(std::string_view item, TableRule rule) {
  const std::string dest = platform::ascii_upper(rule.dest_table);
  return Item{item, rule.old_file, dest, std::move(rule), definition(dest)};
}

// ---- Payment records: thirty columns as read, the old key kept ----
TableRule quorvel() {
  return {"QUORVEL2.db", "QUORVEL_4", "QUORVEL_4 table...........",
          same_names({"pk", "CATEGORY", "ITEM_DATE", "YYYYMMDD", "DATE_SENT", "DATE_AVAIL", "DATE_1ST_TRY",
                      "DATE_2ND_TRY", "DATE_3RD_TRY", "DATE_DEL", "DATE_RETURNED", "DATE_CLEAR",
                      "DAYS_SENT_TO_AVAIL", "DAYS_SENT_TO_DEL", "DAYS_AVAIL_TO_DEL", "DAYS_DEL_TO_CLEAR",
                      "DAYS_SENT_TO_CLEAR", "CHECK_NBR", "ITEM", "SS_AMT", "RP_AMT", "CS_AMT", "OTHER_AMT",
                      "CARRIER", "CARR_NBR", "ITEM_FILE", "SHIP_FILE", "SIG_FILE", "CHK_STMT", "COMMENT"}),
          Skip::None, false, 1};
}

// ---- Settings: as read, AUTO_ZIP as a 1/0 flag, no key ----
TableRule config() {
  auto columns = same_names({"SIDE_BAR_COLOR", "BROWSE_START_HERE", "AUTO_ZIP", "MY_NAME", "MY_ADDRESS", "MY_CITY",
                             "MY_STATE", "MY_ZIP", "EX_SPOUSE_NAME", "EX_SPOUSE_SSAN", "EX_SPOUSE_ADDRESS",
                             "EX_SPOUSE_CITY", "EX_SPOUSE_STATE", "EX_SPOUSE_ZIP"});
  for (auto& c : columns)
    if (c.old_field == "AUTO_ZIP") c.write = Write::TrueFlag;
  return {"CONFIG.db", "CONFIG_4", "CONFIG table...........", std::move(columns), Skip::None, false, 0};
}

std::array<Item, kItems> make_items() {
  return {{
      frame("carrier.db", lookup("CARRIER.db", "CARRIER_4", "CARRIER table...........", {"CARRIER"}, Skip::AnyBlank)),
      frame("category.db",
            lookup("CATEGORY.db", "CATEGORY_4", "CATEGORY table...........", {"CATEGORY"}, Skip::AnyBlank)),
      frame("city.db", lookup("CITY.db", "CITY_4", "CITY table...........", {"CITY"}, Skip::AnyBlank)),
      frame("comment.db", lookup("COMMENT.db", "COMMENT_4", "COMMENT table...........", {"COMMENT"}, Skip::AnyBlank)),
      frame("comment_js.db",
            lookup("COMMENT_JS.db", "COMMENT_JS_4", "COMMENT_JS table...........", {"COMMENT"}, Skip::AnyBlank)),
      frame("config.db", config()),
      frame("contact_name.db",
            lookup("CONTACT_NAME.db", "CONTACT_NAME_4", "CONTACT_NAME table...........", {"CONTACT_NAME"},
                   Skip::AnyBlank)),
      frame("quorvel2.db", quorvel()),
      frame("item.db", lookup("ITEM.db", "ITEM_4", "ITEM table...........", {"ITEM"}, Skip::AnyBlank)),
      // Job-search edit rules: as read, rows with any blank field left out.
      frame("js_edit.db",
            {"JS_EDIT.db", "JS_EDIT_4", "JS_EDIT_4 table...........",
             same_names({"CHANGE_FROM", "CHANGE_TO", "REASON_NO_SUBMIT"}), Skip::AnyBlank, false, 1}),
      // The job-search records: split into temporary files, then loaded.
      Item{"jsearch2.db", "JSEARCH2.db", "JSEARCH_4", std::nullopt, definition("JSEARCH_4")},
      frame("poscode.db",
            lookup("POSCODE.db", "POSCODE_4", "POSCODE table...........", {"POS_CODE", "POS_DESC"}, Skip::None)),
      frame("posqual.db", lookup("POSQUAL.db", "POSQUAL_4", "POSQUAL table...........", {"POSQUAL"}, Skip::None)),
      frame("postitle.db",
            lookup("POSTITLE.db", "POSTITLE_4", "POSTITLE table...........", {"POS_TITLE"}, Skip::AnyBlank)),
      frame("reason.db", lookup("REASON.db", "REASON_4", "REASON table...........", {"REASON"}, Skip::None)),
      // Statistics: upper-cased, rows with any blank field left out.
      frame("stats_jt.db",
            {"stats_jt.db", "stats_jt_4", "STATS_JT_4 table...........",
             {{"ORDER", "ORDER_", Write::Upper},
              {"CATEGORY", "CATEGORY", Write::Upper},
              {"COUNT", "COUNT_", Write::Upper},
              {"PERCENTAGE", "PERCENTAGE", Write::Upper},
              {"REASON_NOT_SUBMITTED", "REASON_NOT_SUBMITTED", Write::Upper},
              {"AS_OF_DATE", "AS_OF_DATE", Write::Upper}},
             Skip::AnyBlank, false, 2}),
      frame("stats_st.db",
            {"stats_st.db", "stats_st_4", "STATS_ST_4 table...........",
             {{"STATE", "STATE", Write::Upper},
              {"COUNT", "COUNT_", Write::Upper},
              {"PERCENTAGE", "PERCENTAGE", Write::Upper},
              {"AS_OF_DATE", "AS_OF_DATE", Write::Upper}},
             Skip::AnyBlank, false, 1}),
      // Time of day.
      frame("time10.db",
            {"time10.db", "time10_4", "TIME10_4 table...........",
             {{"24_HOUR", "x24_hour", Write::Upper}, {"12_HOUR", "x12_hour", Write::Upper}}, Skip::AnyBlank, false, 2}),
  }};
}

}  // namespace

const std::array<Item, kItems>& items() {
  static const std::array<Item, kItems> all = make_items();
  return all;
}

const Item& item(std::string_view dest_table) {
  for (const Item& i : items())
    if (i.dest_table == dest_table) return i;
  throw std::logic_error("no item for the table " + std::string(dest_table));
}

const Item& job_search() {
  for (const Item& i : items())
    if (!i.rule) return i;
  throw std::logic_error("no job-search item");
}

}  // namespace qv::registry
