#include "verify/structure.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "builder/schema.h"
#include "platform/text.h"

namespace qv::verify {

namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

constexpr int kDialect = 1;
constexpr int kPageSize = 4096;
constexpr const char* kDatabase = "(database)";
constexpr const char* kNone = "(none)";

// The catalogue's type codes (RDB$FIELD_TYPE).
constexpr int kSmallint = 7, kInteger = 8, kDouble = 27, kChar = 14, kVarchar = 37, kTimestamp = 35, kBlob = 261;

std::string text(const std::optional<std::string>& v) { return v ? std::string(platform::trim(*v)) : std::string(); }

long number(const std::optional<std::string>& v) {
  const std::string s = text(v);
  long n = 0;
  std::from_chars(s.data(), s.data() + s.size(), n);
  return n;
}

// A column type as the catalogue holds it: what two definitions must share.
struct CatalogType {
  long code = 0, sub_type = 0, length = 0, scale = 0, segment = 0;
  bool operator==(const CatalogType&) const = default;
};

// What the engine stores for a type of the table definitions in dialect 1:
// NUMERIC of more than 9 digits is a double with the scale kept, DATE a
// timestamp.
CatalogType expected_type(const builder::ColumnType& t) {
  using K = builder::ColumnType::Kind;
  switch (t.kind) {
    case K::character: return {kChar, 0, t.length, 0, 0};
    case K::integer: return {kInteger, 0, 0, 0, 0};
    case K::numeric: return {t.precision > 9 ? kDouble : t.precision > 4 ? kInteger : kSmallint, 0, 0, -t.scale, 0};
    case K::date: return {kTimestamp, 0, 0, 0, 0};
    case K::text_blob: return {kBlob, 1, 0, 0, t.segment_size};
    case K::other: break;
  }
  return {};
}

// The type as a reader of the table definitions would write it.
std::string type_text(const builder::ColumnType& t) {
  using K = builder::ColumnType::Kind;
  switch (t.kind) {
    case K::character: return fmt::format("CHAR({})", t.length);
    case K::integer: return "INTEGER";
    case K::numeric: return fmt::format("NUMERIC({},{})", t.precision, t.scale);
    case K::date: return "DATE";
    case K::text_blob: return fmt::format("BLOB SUB_TYPE TEXT SEGMENT SIZE {}", t.segment_size);
    case K::other: break;
  }
  return "?";
}

std::string type_text(const CatalogType& t) {
  const std::string scaled = t.scale ? fmt::format(" with {} decimals", -t.scale) : "";
  switch (t.code) {
    case kChar: return fmt::format("CHAR({})", t.length);
    case kVarchar: return fmt::format("VARCHAR({})", t.length);
    case kSmallint: return "SMALLINT" + scaled;
    case kInteger: return "INTEGER" + scaled;
    case kDouble: return "DOUBLE PRECISION" + scaled;
    case kTimestamp: return "DATE";
    case kBlob:
      return fmt::format("BLOB SUB_TYPE {} SEGMENT SIZE {}", t.sub_type == 1 ? "TEXT" : std::to_string(t.sub_type),
                         t.segment);
    default: return fmt::format("type code {}", t.code) + scaled;
  }
}

bool has_characters(const CatalogType& t) { return t.code == kChar || t.code == kVarchar || t.code == kBlob; }

class Comparer {
 public:
  explicit Comparer(fb::IBDatabase& db) : db_(db) {}

  Structure run() {
    database();
    objects();
    columns();
    keys_and_indexes();
    return std::move(out_);
  }

 private:
  void differ(std::string table, std::string key, std::string column, std::string expected, std::string found) {
    out_.differences.push_back({std::move(table), std::move(key), std::move(column), std::move(expected), std::move(found)});
  }

  void database() {
    const Rows rows = db_.Query("SELECT MON$SQL_DIALECT, MON$PAGE_SIZE FROM MON$DATABASE");
    if (rows.empty()) return;
    if (number(rows[0][0]) != kDialect) differ(kDatabase, "", "SQL dialect", std::to_string(kDialect), text(rows[0][0]));
    if (number(rows[0][1]) != kPageSize) differ(kDatabase, "", "page size", std::to_string(kPageSize), text(rows[0][1]));
  }

  // The eighteen tables and no other table, view, trigger, procedure,
  // function, package, generator, exception or domain of a user.
  void objects() {
    const Rows rows = db_.Query(
        "SELECT IIF(RDB$VIEW_BLR IS NULL, 'table', 'view'), TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS "
        "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'trigger', TRIM(RDB$TRIGGER_NAME) FROM RDB$TRIGGERS WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'procedure', TRIM(RDB$PROCEDURE_NAME) FROM RDB$PROCEDURES "
        "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'function', TRIM(RDB$FUNCTION_NAME) FROM RDB$FUNCTIONS WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'package', TRIM(RDB$PACKAGE_NAME) FROM RDB$PACKAGES WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'generator', TRIM(RDB$GENERATOR_NAME) FROM RDB$GENERATORS "
        "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'exception', TRIM(RDB$EXCEPTION_NAME) FROM RDB$EXCEPTIONS "
        "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 "
        "UNION ALL SELECT 'domain', TRIM(RDB$FIELD_NAME) FROM RDB$FIELDS "
        "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 AND RDB$FIELD_NAME NOT STARTING WITH 'RDB$' "
        "ORDER BY 1, 2");
    std::set<std::string> tables;
    for (const auto& row : rows) {
      const std::string kind = text(row[0]), name = text(row[1]);
      if (kind == "table" && builder::find_table(name)) {
        tables.insert(name);
        out_.columns[name];
        continue;
      }
      differ(kind == "table" || kind == "view" ? name : kDatabase, kind == "table" || kind == "view" ? "" : kind + " " + name,
             "", kNone, "a " + kind);
    }
    for (const builder::TableDef& t : builder::schema())
      if (!tables.count(std::string(t.name))) differ(std::string(t.name), "", "", "a table", "(no table)");
  }

  void columns() {
    const Rows rows = db_.Query(
        "SELECT TRIM(rf.RDB$RELATION_NAME), TRIM(rf.RDB$FIELD_NAME), f.RDB$FIELD_TYPE, "
        "COALESCE(f.RDB$FIELD_SUB_TYPE, 0), COALESCE(f.RDB$CHARACTER_LENGTH, f.RDB$FIELD_LENGTH), "
        "COALESCE(f.RDB$FIELD_SCALE, 0), COALESCE(f.RDB$SEGMENT_LENGTH, 0), COALESCE(f.RDB$CHARACTER_SET_ID, 0), "
        "TRIM(cs.RDB$CHARACTER_SET_NAME), COALESCE(rf.RDB$NULL_FLAG, f.RDB$NULL_FLAG, 0), "
        "CAST(COALESCE(rf.RDB$DEFAULT_SOURCE, f.RDB$DEFAULT_SOURCE) AS VARCHAR(2000)), "
        "IIF(f.RDB$COMPUTED_BLR IS NULL, 0, 1) "
        "FROM RDB$RELATION_FIELDS rf JOIN RDB$FIELDS f ON f.RDB$FIELD_NAME = rf.RDB$FIELD_SOURCE "
        "JOIN RDB$RELATIONS r ON r.RDB$RELATION_NAME = rf.RDB$RELATION_NAME "
        "LEFT JOIN RDB$CHARACTER_SETS cs ON cs.RDB$CHARACTER_SET_ID = f.RDB$CHARACTER_SET_ID "
        "WHERE COALESCE(r.RDB$SYSTEM_FLAG, 0) = 0 AND r.RDB$VIEW_BLR IS NULL "
        "ORDER BY rf.RDB$RELATION_NAME, rf.RDB$FIELD_POSITION");
    std::map<std::string, std::vector<std::string>> order;  // found columns per table, in their order
    for (const auto& row : rows) {
      const std::string table = text(row[0]), name = text(row[1]);
      const builder::TableDef* def = builder::find_table(table);
      if (!def) continue;  // an extra table, named already
      out_.columns[table].insert(name);
      order[table].push_back(name);
      const CatalogType found{number(row[2]), number(row[3]), number(row[4]), number(row[5]), number(row[6])};
      const builder::ColumnDef* c = def->find_column(name);
      const std::string key = "column " + name;
      if (!c) {
        differ(table, key, "", "(no column)", type_text(found));
        continue;
      }
      const builder::ColumnType want = builder::parse_type(c->type);
      CatalogType compared = found;
      if (found.code != kChar && found.code != kVarchar) compared.length = 0;
      if (found.code != kBlob) compared.sub_type = compared.segment = 0;
      if (!(compared == expected_type(want)) || number(row[11]) != 0)
        differ(table, key, "type", type_text(want), number(row[11]) ? "COMPUTED BY" : type_text(found));
      else if (has_characters(found) && number(row[7]) != 0)
        differ(table, key, "character set", "NONE", text(row[8]));
      if ((number(row[9]) != 0) != c->not_null)
        differ(table, key, "nullability", c->not_null ? "NOT NULL" : "NULL allowed", c->not_null ? "NULL allowed" : "NOT NULL");
      const std::string want_default = c->default_value.empty() ? "" : "DEFAULT " + std::string(c->default_value);
      if (text(row[10]) != want_default)
        differ(table, key, "default", want_default.empty() ? kNone : want_default,
               text(row[10]).empty() ? kNone : text(row[10]));
    }
    for (const builder::TableDef& t : builder::schema()) {
      auto it = out_.columns.find(std::string(t.name));
      if (it == out_.columns.end()) continue;  // the table is missing, named already
      std::vector<std::string> wanted;
      for (const builder::ColumnDef& c : t.columns) {
        wanted.emplace_back(c.name);
        if (!it->second.count(std::string(c.name)))
          differ(std::string(t.name), "column " + std::string(c.name), "", type_text(builder::parse_type(c.type)),
                 "(no column)");
      }
      if (order[it->first].size() == wanted.size() &&
          std::is_permutation(wanted.begin(), wanted.end(), order[it->first].begin()) && order[it->first] != wanted)
        differ(std::string(t.name), "", "column order", fmt::format("{}", fmt::join(wanted, ", ")), fmt::format("{}", fmt::join(order[it->first], ", ")));
    }
  }

  static std::string column_list(const std::vector<std::string>& columns) {
    return fmt::format("({})", fmt::join(columns, ", "));
  }

  void keys_and_indexes() {
    std::map<std::string, std::vector<std::string>> segments;  // per index, in order
    for (const auto& row : db_.Query("SELECT TRIM(s.RDB$INDEX_NAME), TRIM(s.RDB$FIELD_NAME) FROM RDB$INDEX_SEGMENTS s "
                                     "JOIN RDB$INDICES i ON i.RDB$INDEX_NAME = s.RDB$INDEX_NAME "
                                     "WHERE COALESCE(i.RDB$SYSTEM_FLAG, 0) = 0 "
                                     "ORDER BY s.RDB$INDEX_NAME, s.RDB$FIELD_POSITION"))
      segments[text(row[0])].push_back(text(row[1]));

    // Constraints other than NOT NULL: a primary key per keyed table, no other.
    std::set<std::string> constraint_indexes, keyed;
    for (const auto& row : db_.Query(
             "SELECT TRIM(c.RDB$RELATION_NAME), TRIM(c.RDB$CONSTRAINT_TYPE), TRIM(c.RDB$CONSTRAINT_NAME), "
             "TRIM(c.RDB$INDEX_NAME) FROM RDB$RELATION_CONSTRAINTS c "
             "JOIN RDB$RELATIONS r ON r.RDB$RELATION_NAME = c.RDB$RELATION_NAME "
             "WHERE COALESCE(r.RDB$SYSTEM_FLAG, 0) = 0 AND c.RDB$CONSTRAINT_TYPE <> 'NOT NULL' ORDER BY 1, 3")) {
      const std::string table = text(row[0]), type = text(row[1]), index = text(row[3]);
      if (!index.empty()) constraint_indexes.insert(index);
      const builder::TableDef* def = builder::find_table(table);
      if (!def) continue;
      if (type != "PRIMARY KEY") {
        differ(table, "constraint " + text(row[2]), "", kNone, type + " " + column_list(segments[index]));
        continue;
      }
      keyed.insert(table);
      const std::vector<std::string> want = def->key_columns();
      if (segments[index] != want)
        differ(table, "primary key", "", want.empty() ? kNone : column_list(want), column_list(segments[index]));
    }
    for (const builder::TableDef& t : builder::schema())
      if (!t.key_columns().empty() && out_.columns.count(std::string(t.name)) && !keyed.count(std::string(t.name)))
        differ(std::string(t.name), "primary key", "", column_list(t.key_columns()), kNone);

    std::set<std::string> seen;
    for (const auto& row : db_.Query("SELECT TRIM(RDB$INDEX_NAME), TRIM(RDB$RELATION_NAME), COALESCE(RDB$UNIQUE_FLAG, 0), "
                                     "COALESCE(RDB$INDEX_TYPE, 0), COALESCE(RDB$INDEX_INACTIVE, 0), "
                                     "IIF(RDB$EXPRESSION_BLR IS NULL, 0, 1) FROM RDB$INDICES "
                                     "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 ORDER BY 2, 1")) {
      const std::string name = text(row[0]), table = text(row[1]);
      if (constraint_indexes.count(name)) continue;
      const auto& list = builder::indexes();
      const auto def = std::find_if(list.begin(), list.end(), [&](const builder::IndexDef& d) { return d.name == name; });
      const std::vector<std::string>& columns = segments[name];
      const bool unique = number(row[2]) != 0, descending = number(row[3]) != 0, inactive = number(row[4]) != 0;
      const std::string key = "index " + name;
      if (def == list.end()) {
        differ(table, key, "", "(no index)",
               fmt::format("{}{}INDEX ON {}", unique ? "UNIQUE " : "", descending ? "DESCENDING " : "",
                           number(row[5]) ? "an expression" : column_list(columns)));
        continue;
      }
      seen.insert(name);
      const std::vector<std::string> want(def->columns.begin(), def->columns.end());
      if (table != def->table) differ(table, key, "table", std::string(def->table), table);
      if (columns != want || number(row[5]))
        differ(table, key, "columns", column_list(want), number(row[5]) ? "an expression" : column_list(columns));
      if (descending != def->descending)
        differ(table, key, "order", def->descending ? "DESCENDING" : "ASCENDING", descending ? "DESCENDING" : "ASCENDING");
      if (unique != def->unique) differ(table, key, "uniqueness", def->unique ? "UNIQUE" : "not unique", unique ? "UNIQUE" : "not unique");
      if (inactive)
        differ(table, key, "state", "ACTIVE",
               fmt::format("INACTIVE: the run did not finish building the indexes of {}", table));
    }
    for (const builder::IndexDef& d : builder::indexes())
      if (!seen.count(std::string(d.name)))
        differ(std::string(d.table), "index " + std::string(d.name), "",
               fmt::format("{}INDEX ON {}", d.descending ? "DESCENDING " : "",
                           column_list(std::vector<std::string>(d.columns.begin(), d.columns.end()))),
               "(no index)");
  }

  fb::IBDatabase& db_;
  Structure out_;
};

}  // namespace

Structure compare_structure(fb::IBDatabase& db) { return Comparer(db).run(); }

}  // namespace qv::verify
