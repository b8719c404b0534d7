#include "builder/schema.h"

#include <cctype>
#include <charconv>

#include "platform/text.h"

namespace qv::builder {

namespace {

ColumnDef col(std::string_view name, std::string_view type) { return {name, type}; }
ColumnDef required(std::string_view name, std::string_view type) { return {name, type, {}, true}; }
ColumnDef with_default(std::string_view name, std::string_view type, std::string_view value) {
  return {name, type, value};
}

// A lookup list: one NOT NULL column that is its own key.
TableDef lookup(std::string_view table, std::string_view column, std::string_view type,
                Layout layout = Layout::wide) {
  return {table, layout, {required(column, type)}, column};
}

std::vector<TableDef> make_schema() {
  constexpr std::string_view kNa = "'N/A'";
  constexpr std::string_view kDate = "'01/01/1901'";
  std::vector<TableDef> t;
  t.push_back(lookup("CARRIER_4", "CARRIER", "CHAR(40)"));
  t.push_back(lookup("CATEGORY_4", "CATEGORY", "CHAR(25)"));
  t.push_back(lookup("CITY_4", "CITY", "CHAR(50)"));
  t.push_back(lookup("COMMENT_4", "COMMENT", "CHAR(80)"));
  t.push_back(lookup("COMMENT_JS_4", "COMMENT", "CHAR(80)"));
  t.push_back({"CONFIG_4",
               Layout::wide,
               {col("SIDE_BAR_COLOR", "CHAR(15)"), col("BROWSE_START_HERE", "CHAR(80)"),
                col("AUTO_ZIP", "INTEGER"), col("MY_NAME", "CHAR(80)"), col("MY_ADDRESS", "CHAR(80)"),
                col("MY_CITY", "CHAR(80)"), col("MY_STATE", "CHAR(2)"), col("MY_ZIP", "CHAR(5)"),
                col("EX_SPOUSE_NAME", "CHAR(80)"), col("EX_SPOUSE_SSAN", "CHAR(11)"),
                col("EX_SPOUSE_ADDRESS", "CHAR(80)"), col("EX_SPOUSE_CITY", "CHAR(80)"),
                col("EX_SPOUSE_STATE", "CHAR(80)"), col("EX_SPOUSE_ZIP", "CHAR(5)")},
               {}});
  t.push_back(lookup("CONTACT_NAME_4", "CONTACT_NAME", "CHAR(50)"));
  TableDef quorvel{"QUORVEL_4",
                   Layout::wide,
                   {required("PK", "NUMERIC(18,12)"), col("CATEGORY", "CHAR(25)"), col("ITEM_DATE", "DATE"),
                    with_default("YYYYMMDD", "CHAR(8)", "'19010101'")},
                   "PK"};
  for (std::string_view d : {"DATE_SENT", "DATE_AVAIL", "DATE_1ST_TRY", "DATE_2ND_TRY", "DATE_3RD_TRY",
                             "DATE_DEL", "DATE_RETURNED", "DATE_CLEAR"})
    quorvel.columns.push_back(with_default(d, "DATE", kDate));
  for (std::string_view d : {"DAYS_SENT_TO_AVAIL", "DAYS_SENT_TO_DEL", "DAYS_AVAIL_TO_DEL", "DAYS_DEL_TO_CLEAR",
                             "DAYS_SENT_TO_CLEAR"})
    quorvel.columns.push_back(with_default(d, "INTEGER", "0"));
  quorvel.columns.push_back(col("CHECK_NBR", "CHAR(6)"));
  quorvel.columns.push_back(with_default("ITEM", "CHAR(80)", kNa));
  for (std::string_view a : {"SS_AMT", "RP_AMT", "CS_AMT", "OTHER_AMT"})
    quorvel.columns.push_back(with_default(a, "NUMERIC(10,2)", "0"));
  quorvel.columns.push_back(with_default("CARRIER", "CHAR(40)", kNa));
  quorvel.columns.push_back(with_default("CARR_NBR", "CHAR(40)", kNa));
  quorvel.columns.push_back(with_default("ITEM_FILE", "CHAR(255)", kNa));
  quorvel.columns.push_back(with_default("SHIP_FILE", "CHAR(255)", kNa));
  quorvel.columns.back().blank_before_comma = true;
  quorvel.columns.push_back(with_default("SIG_FILE", "CHAR(255)", kNa));
  quorvel.columns.push_back(with_default("CHK_STMT", "CHAR(255)", kNa));
  quorvel.columns.push_back(with_default("COMMENT", "CHAR(80)", kNa));
  quorvel.columns.push_back(col("MEMO", "BLOB SUB_TYPE TEXT SEGMENT SIZE 1"));
  t.push_back(std::move(quorvel));
  t.push_back(lookup("ITEM_4", "ITEM", "CHAR (80)", Layout::narrow));
  t.push_back({"JS_EDIT_4",
               Layout::wide,
               {required("CHANGE_FROM", "CHAR(132)"), col("CHANGE_TO", "CHAR(132)"),
                col("REASON_NO_SUBMIT", "CHAR(132)")},
               "CHANGE_FROM"});
  t.push_back({"JSEARCH_4",
               Layout::wide,
               {required("PK", "NUMERIC(18,12)"), col("ACTIVE_", "CHAR(5)"), col("ACTIVE_CHANGED", "DATE"),
                col("REFNUM", "NUMERIC (18,12)"), col("DATE_", "DATE"), col("YYYYMMDD", "CHAR(8)"),
                col("TIME_", "CHAR(5)"), col("CONTACT_NAME", "CHAR(50)"), col("EMAIL", "CHAR(5)"),
                col("POS_TYPE", "CHAR(2)"), col("POS_CITY", "CHAR(50)"), col("POS_STATE", "CHAR(2)"),
                col("POS_TITLE", "CHAR(80)"), col("POS_TITLE_ORIGINAL", "CHAR(80)"), col("SUBMITTED", "CHAR(5)"),
                col("REASON_NO_SUBMIT", "CHAR(132)"), col("ITEM_FILE", "CHAR(255)"), col("COMMENT", "CHAR(80)"),
                col("MEMO", "BLOB SUB_TYPE TEXT SEGMENT SIZE 10"), col("FINALIZED", "CHAR(5)"),
                col("FINAL_COMMENT", "CHAR(50)")},
               "PK"});
  t.push_back({"POSCODE_4",
               Layout::narrow,
               {required("POS_CODE", "CHAR  (2)"), required("POS_DESC", "CHAR (20)")},
               "POS_CODE, POS_DESC"});
  t.push_back(lookup("POSQUAL_4", "POSQUAL", "CHAR(20)"));
  t.push_back(lookup("POSTITLE_4", "POS_TITLE", "CHAR(80)"));
  t.push_back(lookup("REASON_4", "REASON", "CHAR(132)"));
  t.push_back({"STATS_JT_4",
               Layout::wide,
               {required("ORDER_", "INTEGER"), required("CATEGORY", "CHAR(50)"), col("COUNT_", "NUMERIC(10,3)"),
                col("PERCENTAGE", "NUMERIC(10,3)"), col("REASON_NOT_SUBMITTED", "CHAR(80)"),
                col("AS_OF_DATE", "DATE")},
               "ORDER_, CATEGORY"});
  t.push_back({"STATS_ST_4",
               Layout::wide,
               {required("STATE", "CHAR(2)"), col("COUNT_", "NUMERIC(10,3)"), col("PERCENTAGE", "NUMERIC(10,3)"),
                col("AS_OF_DATE", "DATE")},
               "STATE"});
  t.push_back({"TIME10_4",
               Layout::narrow,
               {required("X24_HOUR", "CHAR (5)"), required("X12_HOUR", "CHAR (8)")},
               "X24_HOUR,X12_HOUR"});
  return t;
}

std::string padded(std::string_view s, std::size_t width) {
  std::string out(s);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

// Indentation and name field of a layout.
struct LayoutText {
  std::string_view bracket_indent;
  std::string_view item_indent;
  std::size_t name_width;  // the name is filled with blanks to this width
};

LayoutText layout_text(Layout layout) {
  if (layout == Layout::wide) return {"", "    ", 46};
  return {"       ", "         ", 0};
}

// Reads a decimal number at `pos`, skipping blanks first.
int read_int(std::string_view s, std::size_t& pos) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
  int v = 0;
  auto [end, ec] = std::from_chars(s.data() + pos, s.data() + s.size(), v);
  pos = static_cast<std::size_t>(end - s.data());
  return ec == std::errc() ? v : 0;
}

bool starts_with_word(std::string_view s, std::string_view word) {
  return s.size() >= word.size() && platform::iequals(s.substr(0, word.size()), word) &&
         (s.size() == word.size() || !std::isalnum(static_cast<unsigned char>(s[word.size()])));
}

}  // namespace

const std::vector<TableDef>& schema() {
  static const std::vector<TableDef> tables = make_schema();
  return tables;
}

const TableDef* find_table(std::string_view name) {
  for (const TableDef& t : schema())
    if (platform::iequals(t.name, name)) return &t;
  return nullptr;
}

const ColumnDef* TableDef::find_column(std::string_view column) const {
  for (const ColumnDef& c : columns)
    if (platform::iequals(c.name, column)) return &c;
  return nullptr;
}

std::vector<std::string> TableDef::key_columns() const {
  std::vector<std::string> out;
  std::string_view rest = key;
  while (!rest.empty()) {
    std::size_t cut = rest.find(',');
    std::string_view part = platform::trim(rest.substr(0, cut));
    if (!part.empty()) out.emplace_back(part);
    rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
  }
  return out;
}

std::vector<std::string> create_statement(const TableDef& table) {
  const LayoutText lt = layout_text(table.layout);
  const bool has_key = !table.key.empty();
  std::vector<std::string> lines;
  lines.push_back("CREATE TABLE " + std::string(table.name));
  lines.push_back(std::string(lt.bracket_indent) + "(");
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    const ColumnDef& c = table.columns[i];
    std::string line(lt.item_indent);
    line += lt.name_width ? padded(c.name, lt.name_width) : std::string(c.name) + " ";
    if (c.default_value.empty()) {
      line += c.type;
    } else {
      line += padded(c.type, 14);
      line += "DEFAULT ";
      line += c.default_value;
    }
    if (c.not_null) line += " NOT NULL";
    // A column list that is not followed by a key ends without a comma.
    if (has_key || i + 1 < table.columns.size()) line += c.blank_before_comma ? " ," : ",";
    lines.push_back(std::move(line));
  }
  if (has_key) lines.push_back(std::string(lt.item_indent) + "PRIMARY KEY (" + std::string(table.key) + ")");
  lines.push_back(std::string(lt.bracket_indent) + ");");
  return lines;
}

std::string create_log_line(const TableDef& table) { return "Attempting to create table " + std::string(table.name); }

ColumnType parse_type(std::string_view type) {
  ColumnType t;
  std::size_t pos = 0;
  auto open_paren = [&](std::size_t from) {
    pos = type.find('(', from);
    if (pos == std::string_view::npos) return false;
    ++pos;
    return true;
  };
  if (starts_with_word(type, "CHAR")) {
    t.kind = ColumnType::Kind::character;
    if (open_paren(4)) t.length = read_int(type, pos);
  } else if (starts_with_word(type, "INTEGER")) {
    t.kind = ColumnType::Kind::integer;
  } else if (starts_with_word(type, "NUMERIC")) {
    t.kind = ColumnType::Kind::numeric;
    if (open_paren(7)) {
      t.precision = read_int(type, pos);
      while (pos < type.size() && (type[pos] == ' ' || type[pos] == ',')) ++pos;
      t.scale = read_int(type, pos);
    }
  } else if (starts_with_word(type, "DATE")) {
    t.kind = ColumnType::Kind::date;
  } else if (starts_with_word(type, "BLOB")) {
    t.kind = ColumnType::Kind::text_blob;
    constexpr std::string_view kSegment = "SEGMENT SIZE";
    if (std::size_t at = type.find(kSegment); at != std::string_view::npos) {
      pos = at + kSegment.size();
      t.segment_size = read_int(type, pos);
    }
  }
  return t;
}

std::optional<int> char_width(const ColumnDef& column) {
  ColumnType t = parse_type(column.type);
  if (t.kind != ColumnType::Kind::character) return std::nullopt;
  return t.length;
}

std::string IndexDef::statement() const {
  std::string out = "CREATE ";
  if (unique) out += "UNIQUE ";
  if (descending) out += "DESCENDING ";
  out += "INDEX ";
  out += name;
  out = padded(out + " ", on_column);
  out += "ON " + std::string(table) + "(";
  for (std::size_t i = 0; i < columns.size(); ++i) (out += i ? ", " : "") += columns[i];
  return out + ");";
}

const std::vector<IndexDef>& indexes() {
  constexpr bool kDescending = true;
  static const std::vector<IndexDef> list = {
      {"CATEGORY_", "QUORVEL_4", {"CATEGORY"}, false, false, "Attempting to create table index QUORVEL_4(CATEGORY)"},
      {"DATE_SENT_", "QUORVEL_4", {"DATE_SENT"}, false, false, "Attempting to create table index QUORVEL_4(DATE_SENT)"},
      {"ITEM_DATE_", "QUORVEL_4", {"ITEM_DATE"}, kDescending, false,
       "Attempting to create table index QUORVEL_4(ITEM_DATE)"},
      {"YYYYMMDD_", "QUORVEL_4", {"YYYYMMDD"}, false, false, "Attempting to create table index QUORVEL_4(YYYYMMDD)"},
      {"CONTACT_NAME_", "JSEARCH_4", {"CONTACT_NAME"}, false, false,
       "Attempting to create table index JSEARCH_4(CONTACT_NAME)"},
      {"POS_STATE_", "JSEARCH_4", {"POS_STATE"}, false, false, "Attempting to create table index JSEARCH_4(POS_STATE)"},
      {"POS_STATE_CITY_", "JSEARCH_4", {"POS_STATE", "POS_CITY"}, false, false,
       "Attempting to create table index JSEARCH_4(POS_STATE, POS_CITY)", 52},
      {"REFNUM_YYYYMMDD_POS_TITLE", "JSEARCH_4", {"REFNUM", "YYYYMMDD", "POS_TITLE"}, kDescending, false,
       "Attempting to create table index JSEARCH_4(REFNUM, YYYYMMDD, POS_TITLE)"},
      {"YYYYMMDD_TIME_ASCENDING", "JSEARCH_4", {"YYYYMMDD", "TIME_"}, false, false,
       "Attempting to create table index ASCENDING JSEARCH_4(YYYYMMDD, TIME_)"},
      {"YYYYMMDD_TIME_DESCENDING", "JSEARCH_4", {"YYYYMMDD", "TIME_"}, kDescending, false,
       "Attempting to create table index DECSENDING JSEARCH_4(YYYYMMDD, TIME_)"},
  };
  return list;
}

}  // namespace qv::builder
