#include "sample_data.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string_view>

namespace qv::sample {

namespace fs = std::filesystem;
using pdx::FieldDef;
using pdx::FieldType;

namespace {

FieldDef alpha(const char* name, int size) { return {name, FieldType::Alpha, size, 0, false}; }
FieldDef typed(const char* name, FieldType type) { return {name, type, 0, 0, false}; }

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : g_(seed) {}
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(g_() % n); }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) { return items[below(N)]; }

 private:
  std::mt19937_64 g_;
};

// Days since 1 January 1999 as the old tables write dates, and as YYYYMMDD.
std::chrono::year_month_day to_ymd(int day) {
  using namespace std::chrono;
  return year_month_day{sys_days{year{1999} / January / 1} + days{day}};
}
// "MM/DD/YYYY" as a date field takes it, or the compact "YYYYMMDD".
std::string day_text(int day, bool compact) {
  const auto d = to_ymd(day);
  const int y = static_cast<int>(d.year());
  const auto m = static_cast<unsigned>(d.month()), dd = static_cast<unsigned>(d.day());
  char buf[16];
  if (compact)
    std::snprintf(buf, sizeof buf, "%04d%02u%02u", y, m, dd);
  else
    std::snprintf(buf, sizeof buf, "%02u/%02u/%04d", m, dd, y);
  return buf;
}
std::string date_text(int day) { return day_text(day, false); }
std::string yyyymmdd(int day) { return day_text(day, true); }
std::string money(Rng& r, std::size_t max_dollars) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zu.%02zu", r.below(max_dollars), r.below(100));
  return buf;
}

// Value pools, spelled as a person types them.
const std::array<std::string_view, 14> kCarriers = {
    "UPS", "Ups", "  ups", "FedEx", "fedex", "USPS", "DHL Express", "Purolator",
    "Postes Canada", "Courrier Montréal", "Airborne", "certified mail", "Émery Freight", "Local courier"};
const std::array<std::string_view, 10> kCategories = {
    "Child Support", "child support", "Rent", "Utilities", "Médical", "Insurance", "Car payment", "Tuition",
    "  Alimony", "Taxes"};
const std::array<std::string_view, 16> kCityNames = {
    "Albany", "albany", "  Buffalo", "New York", "Montréal", "Québec", "São Paulo", "Syracuse",
    "rochester", "Utica", "Ithaca", "Schenectady", "Poughkeepsie", "Binghamton", "Zürich", "Troy"};
const std::array<std::string_view, 12> kFirst = {"John", "mary", "José", "Anne-Marie", "  Robert", "Zoë",
                                                  "William", "susan", "François", "Chen", "Olga", "Björn"};
const std::array<std::string_view, 12> kLast = {"Smith", "o'brien", "Müller", "García", "Johnson", "LeBlanc",
                                                 "Nguyen", "williams", "Dubois", "Kowalski", "Østergaard", "Brown"};
// Letters whose capitals Windows-1252 lacks (µ, ƒ) stay as they are when upper-cased.
const std::array<std::string_view, 12> kItems = {
    "Support check", "support check", "Court filing", "Lease renewal", "Insurance claim",
    "Medical receipts", "  Tax return", "Résumé packet", "Bank statement", "Notarized affidavit",
    "5µm filter receipt", "ƒ-post notice"};
const std::array<std::string_view, 12> kTitles = {
    "Software Engineer", "software engineer", "Senior Accountant", "Data Entry Clerk", "Project Manager",
    "  Network Administrator", "Chef de cuisine", "Sales Représentant", "Warehouse associate",
    "Technical Writer", "Help Desk Analyst", "Quality Assurance Tester"};
const std::array<std::string_view, 8> kComments = {
    "Left with neighbor", "signed by front desk", "Delivered late", "  Returned to sender",
    "Refused at door", "Café owner signed", "No answer, card left", "ok"};
const std::array<std::string_view, 6> kReasons = {
    "Position filled", "salary too low", "Commute too long", "  Overqualified", "Requires relocation",
    "Posting expired"};
const std::array<std::string_view, 8> kStates = {"NY", "ny", "NJ", "Ct", "PA", "ca", "TX", "MA"};
const std::array<std::string_view, 5> kPosTypes = {"FT", "PT", "ct", "Ft", "TP"};
const std::string kLongComment =
    "Called twice about this one; the clerk said the package was held at the depot because the address label "
    "was smudged, then it went out again on the Monday route and was signed for by the mail room.";

// Row i of a lookup list: first the blank and control-character rows a real
// list picks up over the years (and, when asked, a value wider than its new
// column), then `value(k)` for k = 0, 1, ...
void lookup_row(std::size_t i, std::vector<std::string>& v, std::size_t overlong,
                const std::function<std::string(std::size_t)>& value) {
  static const std::array<std::string_view, 3> kBlank = {"", "   ", "\t\x01"};
  if (i < kBlank.size()) {
    v[0] = std::string(kBlank[i]);
  } else if (overlong > 0 && i == kBlank.size()) {
    v[0] = "Overlong - " + std::string(overlong + 4, 'x');
  } else {
    v[0] = value(i - kBlank.size() - (overlong > 0 ? 1 : 0));
  }
}

std::string person(Rng& r) { return std::string(r.pick(kFirst)) + " " + std::string(r.pick(kLast)); }

}  // namespace

void write_table(const fs::path& dir, const std::string& file_name, const std::vector<FieldDef>& defs,
                 std::size_t count, const std::function<void(std::size_t, std::vector<std::string>&)>& fill) {
  pdx::PDTable t;
  t.ReadOnly = false;
  t.Directory = dir.string();
  t.TableName = file_name;
  t.FieldDefs = defs;
  if (static_cast<std::int64_t>(count) > t.Capacity()) t.BlockSizeKiB = 32;  // the large job-search and payment tables
  t.CreateTable();
  t.Open();
  std::vector<pdx::PDField*> fields;
  for (const auto& d : defs) fields.push_back(&t.FieldByName(d.Name));
  std::vector<std::string> values(defs.size());
  for (std::size_t i = 0; i < count; ++i) {
    for (auto& v : values) v.clear();
    fill(i, values);
    t.Append();
    for (std::size_t f = 0; f < fields.size(); ++f)
      if (!values[f].empty()) fields[f]->SetAsString(values[f]);
    t.Post();
  }
  t.Close();
}

// The dates are timestamp fields, as later versions of the old program made
// them.
std::size_t field_index(const std::vector<FieldDef>& defs, const std::string& name) {
  for (std::size_t i = 0; i < defs.size(); ++i)
    if (defs[i].Name == name) return i;
  throw std::runtime_error("no field " + name);
}

void rewrite_table(const fs::path& dir, const std::string& file_name,
                   const std::function<void(std::vector<FieldDef>&, std::vector<std::vector<std::string>>&)>& change) {
  std::vector<FieldDef> defs;
  std::vector<std::vector<std::string>> rows;
  {
    pdx::PDTable t;
    t.Directory = dir.string();
    t.TableName = file_name;
    t.Open();
    defs = t.Fields();
    for (; !t.Eof(); t.Next()) {
      auto& row = rows.emplace_back();
      for (const auto& d : defs) row.push_back(t.FieldByName(d.Name).AsString());
    }
  }
  change(defs, rows);
  write_table(dir, file_name, defs, rows.size(), [&](std::size_t i, std::vector<std::string>& v) { v = rows[i]; });
}

std::vector<FieldDef> jsearch_fields() {
  return {typed("PK", FieldType::Number),       typed("ACTIVE", FieldType::Logical),
          typed("ACTIVE_CHANGED", FieldType::Timestamp), typed("REFNUM", FieldType::Number),
          typed("DATE", FieldType::Timestamp),   alpha("YYYYMMDD", 8),
          alpha("TIME", 5),                      alpha("CONTACT_NAME", 50),
          typed("EMAIL", FieldType::Logical),    alpha("POS_TYPE", 2),
          alpha("POS_CITY", 50),                 alpha("POS_STATE", 2),
          alpha("POS_TITLE", 80),                alpha("POS_TITLE_ORIGINAL", 80),
          typed("SUBMITTED", FieldType::Logical), alpha("REASON_NO_SUBMIT", 132),
          alpha("ITEM_FILE", 255),               alpha("COMMENT", 255)};
}

void write_jsearch(const fs::path& dir, std::size_t count, std::uint64_t seed) {
  Rng r(seed ^ 0x6a5eull);
  auto logical = [&r] { return r.chance(15) ? std::string() : std::string(r.chance(50) ? "True" : "False"); };
  write_table(dir, "JSEARCH2.db", jsearch_fields(), count, [&](std::size_t i, std::vector<std::string>& v) {
    const int day = 1500 + static_cast<int>(i / 12);
    v[0] = std::to_string(1 + i + i / 3);  // old keys with gaps
    v[1] = logical();
    // Some changes hold the time of day they were made at.
    if (r.chance(50)) v[2] = date_text(day + static_cast<int>(r.below(30))) + (i % 25 ? "" : " 16:45:00");
    if (!r.chance(10)) v[3] = std::to_string(100000 + r.below(900000)) + (r.chance(10) ? ".5" : "");
    v[4] = date_text(day);
    v[5] = yyyymmdd(day);
    char time[8];
    std::snprintf(time, sizeof time, "%02zu:%02zu", 8 + r.below(10), r.below(4) * 15);
    v[6] = time;
    v[7] = person(r);
    v[8] = logical();
    v[9] = std::string(r.pick(kPosTypes));
    v[10] = std::string(r.pick(kCityNames));
    v[11] = std::string(r.pick(kStates));
    v[12] = std::string(r.pick(kTitles));
    v[13] = r.chance(30) ? v[12] : std::string(r.pick(kTitles));
    v[14] = logical();
    if (v[14] != "True") v[15] = std::string(r.pick(kReasons));
    v[16] = "c:\\mydata\\resumes\\resume_" + std::to_string(i % 40) + ".doc";
    if (r.chance(3))
      v[17] = kLongComment;
    else if (r.chance(40))
      v[17] = std::string(r.pick(kComments));
  });
}

std::vector<std::string> write_data_set(const fs::path& dir, const Options& o) {
  fs::create_directories(dir);
  Rng r(o.seed);
  std::vector<std::string> written;
  auto table = [&](const std::string& name, const std::vector<FieldDef>& defs, std::size_t count,
                   const std::function<void(std::size_t, std::vector<std::string>&)>& fill) {
    write_table(dir, name, defs, count, fill);
    written.push_back(name);
  };
  // A lookup list of `count` values (blank rows come on top); `overlong`
  // adds one value wider than the new column of that width.
  auto lookup = [&](const std::string& name, const char* field, int width, std::size_t count, std::size_t overlong,
                    const std::function<std::string(std::size_t)>& value) {
    table(name, {alpha(field, width + 20)}, count + 3 + (overlong ? 1 : 0),
          [&](std::size_t i, std::vector<std::string>& v) { lookup_row(i, v, overlong, value); });
  };
  // Each value of a pool once, then pool values numbered.
  auto from = [&r](const auto& pool) {
    return [&r, p = &pool](std::size_t k) {
      return k < p->size() ? std::string((*p)[k]) : std::string(r.pick(*p)) + " " + std::to_string(r.below(40));
    };
  };
  const std::size_t big_list = std::max<std::size_t>(20, o.rows / 3);

  lookup("carrier.DB", "CARRIER", 40, kCarriers.size(), 40, from(kCarriers));
  lookup("CATEGORY.db", "CATEGORY", 25, kCategories.size(), 0, from(kCategories));
  lookup("City.db", "CITY", 50, big_list, 0, from(kCityNames));
  lookup("COMMENT.db", "COMMENT", 80, kComments.size(), 80, from(kComments));
  lookup("COMMENT_JS.db", "COMMENT", 80, kComments.size(), 0, from(kComments));

  // Settings: the AUTO_ZIP texts a person or an older version left behind.
  static const std::array<std::string_view, 8> kAutoZip = {"True", "true", "TRUE", "False", "", "T", " TRUE", "1"};
  table("CONFIG.db",
        {alpha("SIDE_BAR_COLOR", 15), alpha("BROWSE_START_HERE", 80), alpha("AUTO_ZIP", 6), alpha("MY_NAME", 80),
         alpha("MY_ADDRESS", 80), alpha("MY_CITY", 80), alpha("MY_STATE", 20), alpha("MY_ZIP", 5),
         alpha("EX_SPOUSE_NAME", 80), alpha("EX_SPOUSE_SSAN", 11), alpha("EX_SPOUSE_ADDRESS", 80),
         alpha("EX_SPOUSE_CITY", 80), alpha("EX_SPOUSE_STATE", 80), alpha("EX_SPOUSE_ZIP", 5)},
        kAutoZip.size() + 1, [&](std::size_t i, std::vector<std::string>& v) {
          if (i == kAutoZip.size()) return;  // a row left all empty
          v = {i % 2 ? "clLime" : "clSilver", "c:\\mydata\\wk-db\\quorvel2\\db", std::string(kAutoZip[i]),
               person(r), std::to_string(10 + r.below(900)) + " Main St.", i == 1 ? " Albany " : "Albany",
               i == 2 ? "New York" : (i == 3 ? "ny" : "NY"), "12207", person(r), "123-45-6789",
               "PO Box " + std::to_string(r.below(999)), std::string(r.pick(kCityNames)), "New Jersey", "07030"};
        });

  lookup("CONTACT_NAME.db", "CONTACT_NAME", 50, big_list, 0, [&r](std::size_t) { return person(r); });

  // Payment records.
  table("quorvel2.db",
        {typed("pk", FieldType::Number),        alpha("CATEGORY", 25),
         typed("ITEM_DATE", FieldType::Date),   alpha("YYYYMMDD", 8),
         typed("DATE_SENT", FieldType::Date),   typed("DATE_AVAIL", FieldType::Date),
         typed("DATE_1ST_TRY", FieldType::Date), typed("DATE_2ND_TRY", FieldType::Date),
         typed("DATE_3RD_TRY", FieldType::Date), typed("DATE_DEL", FieldType::Timestamp),
         typed("DATE_RETURNED", FieldType::Date), typed("DATE_CLEAR", FieldType::Date),
         typed("DAYS_SENT_TO_AVAIL", FieldType::Short), typed("DAYS_SENT_TO_DEL", FieldType::Short),
         typed("DAYS_AVAIL_TO_DEL", FieldType::Short), typed("DAYS_DEL_TO_CLEAR", FieldType::Short),
         typed("DAYS_SENT_TO_CLEAR", FieldType::Long), alpha("CHECK_NBR", 6),
         alpha("ITEM", 80),                     typed("SS_AMT", FieldType::Money),
         typed("RP_AMT", FieldType::Money),     typed("CS_AMT", FieldType::Money),
         typed("OTHER_AMT", FieldType::Number), alpha("CARRIER", 40),
         alpha("CARR_NBR", 40),                 alpha("ITEM_FILE", 255),
         alpha("SHIP_FILE", 255),               alpha("SIG_FILE", 255),
         alpha("CHK_STMT", 255),                alpha("COMMENT", 120),
         {"MEMO", FieldType::Memo, 10, 0, false}},
        o.rows, [&](std::size_t i, std::vector<std::string>& v) {
          const std::size_t base = i + 1;
          const std::size_t key = base == o.repeated_key && base > 1 ? base - 1 : base;
          v[0] = std::to_string(key) + (key % 25 == 12 ? ".5" : "");  // 12.5, 37.5, ...
          if (i == 5) return;  // every field but the key empty
          const int item = static_cast<int>(r.below(1800));
          const int sent = item + static_cast<int>(r.below(3));
          const int avail = sent + 1 + static_cast<int>(r.below(5));
          const int tried = avail + static_cast<int>(r.below(3));
          const bool delivered = !r.chance(10);
          const int del = tried + static_cast<int>(r.below(2));
          const bool cleared = delivered && !r.chance(20);
          const int clear = del + 3 + static_cast<int>(r.below(18));
          v[1] = std::string(r.pick(kCategories));
          v[2] = date_text(item);
          if (!r.chance(5)) v[3] = yyyymmdd(item);
          v[4] = date_text(sent);
          v[5] = date_text(avail);
          v[6] = date_text(tried);
          if (r.chance(30)) v[7] = date_text(tried + 2);
          if (r.chance(10)) v[8] = date_text(tried + 4);
          if (delivered) v[9] = date_text(del) + " 15:20:00";  // a timestamp: the time arrives too
          if (r.chance(5)) v[10] = date_text(tried + 10);
          if (cleared) v[11] = date_text(clear);
          v[12] = std::to_string(avail - sent);
          if (delivered) v[13] = std::to_string(del - sent);
          if (delivered) v[14] = std::to_string(del - avail);
          if (cleared) v[15] = std::to_string(clear - del);
          if (cleared) v[16] = std::to_string(clear - sent);
          if (!r.chance(10)) v[17] = std::to_string(1000 + r.below(99000));
          v[18] = std::string(r.pick(kItems));
          v[19] = money(r, 900);
          v[20] = money(r, 300);
          v[21] = r.chance(50) ? "0" : money(r, 100);
          if (r.chance(40)) v[22] = money(r, 50);
          v[23] = std::string(r.pick(kCarriers));
          v[24] = "1Z" + std::to_string(100000000 + r.below(900000000));
          v[25] = "c:\\mydata\\quorvel2\\items\\item" + std::to_string(base) + ".pdf";
          if (delivered) v[26] = "c:\\mydata\\quorvel2\\ship\\Ship" + std::to_string(base) + ".TIF";
          if (r.chance(60)) v[27] = "c:\\mydata\\quorvel2\\sig\\sig" + std::to_string(base) + ".jpg";
          if (cleared) v[28] = "c:\\mydata\\quorvel2\\stmt\\" + yyyymmdd(clear) + ".pdf";
          v[29] = r.chance(5) ? kLongComment.substr(0, 110) : std::string(r.pick(kComments));
          if (r.chance(10)) v[30] = "Notes kept with the item.\r\nSecond line of the note.";
        });

  lookup("ITEM.db", "ITEM", 80, kItems.size(), 0, from(kItems));

  // Edit rules: every key distinct as written; some rows left incomplete.
  static const std::array<std::array<std::string_view, 3>, 10> kRules = {{
      {"Sr.", "Senior", "Title abbreviation"},
      {"sr.", "Senior", "title abbreviation"},
      {"  Jr.", "Junior", "Leading blanks kept"},
      {"Mgr", "Manager", ""},
      {"Eng", "   ", "Engineer"},
      {"   ", "Nothing", "Blank key"},
      {"Asst", "Assistant", "Abbreviation"},
      {"Admin", "Administrator", "Abbreviation"},
      {"Café", "Cafe", "Accent removed"},
      {"Tech", "Technician", "\t"},
  }};
  table("JS_EDIT.db", {alpha("CHANGE_FROM", 132), alpha("CHANGE_TO", 132), alpha("REASON_NO_SUBMIT", 132)},
        kRules.size(), [&](std::size_t i, std::vector<std::string>& v) {
          v = {std::string(kRules[i][0]), std::string(kRules[i][1]), std::string(kRules[i][2])};
        });

  write_jsearch(dir, o.jobs, o.seed);
  written.push_back("JSEARCH2.db");

  table("poscode.db", {alpha("POS_CODE", 2), alpha("POS_DESC", 20)}, 8, [&](std::size_t i, std::vector<std::string>& v) {
    static const std::array<std::array<std::string_view, 2>, 8> kCodes = {{{"FT", "Full time"},
                                                                            {"PT", "Part time"},
                                                                            {"ft", "full time"},
                                                                            {"CT", "Contract"},
                                                                            {"CT", "Contract to hire"},
                                                                            {"", ""},
                                                                            {"TP", "Temporary"},
                                                                            {"IN", "Internship (unpaid)"}}};
    v = {std::string(kCodes[i][0]), std::string(kCodes[i][1])};
  });
  table("POSQUAL.db", {alpha("POSQUAL", 20)}, 7, [&](std::size_t i, std::vector<std::string>& v) {
    static const std::array<std::string_view, 7> kQual = {"Entry", "Senior", "", "  Mid level", "senior", "   ", "Expert"};
    v[0] = std::string(kQual[i]);
  });
  lookup("POSTITLE.db", "POS_TITLE", 80, big_list, 0, from(kTitles));
  table("REASON.db", {alpha("REASON", 140)}, kReasons.size() + 2, [&](std::size_t i, std::vector<std::string>& v) {
    if (i < kReasons.size()) v[0] = std::string(kReasons[i]);
    else if (i == kReasons.size()) v[0] = "  ";
  });

  // Statistics: keys distinct after upper-casing; some rows incomplete.
  table("stats_jt.db",
        {typed("ORDER", o.fractional_order ? FieldType::Number : FieldType::Short), alpha("CATEGORY", 50),
         typed("COUNT", FieldType::Number),
         typed("PERCENTAGE", FieldType::Number), alpha("REASON_NOT_SUBMITTED", 80), typed("AS_OF_DATE", FieldType::Date)},
        kReasons.size() + 3, [&](std::size_t i, std::vector<std::string>& v) {
          v[0] = std::to_string(i + 1) + (o.fractional_order && i == 2 ? ".5" : "");
          v[1] = i % 2 ? "job type" : "Job Type";
          v[2] = i == 1 ? "0" : std::to_string(r.below(40));
          v[3] = i == 2 ? "12.5" : std::to_string(r.below(100)) + ".25";
          v[4] = i < kReasons.size() ? std::string(kReasons[i]) : "  ";
          v[5] = date_text(1600);
          if (i == 3) v[2].clear();
        });
  table("stats_st.db",
        {alpha("STATE", 2), typed("COUNT", FieldType::Number), typed("PERCENTAGE", FieldType::Number),
         typed("AS_OF_DATE", FieldType::Date)},
        9, [&](std::size_t i, std::vector<std::string>& v) {
          static const std::array<std::string_view, 9> kSt = {"ny", "NJ", "Ct", "PA", "ca", "TX", "MA", "  ", "VT"};
          v = {std::string(kSt[i]), std::to_string(r.below(500)), std::to_string(r.below(100)) + ".5", date_text(1600)};
          if (i == 8) v[2].clear();
        });

  // Time of day, every half hour, the 12-hour marker written either way.
  table("TIME10.DB", {alpha("24_HOUR", 5), alpha("12_HOUR", 8)}, 50, [&](std::size_t i, std::vector<std::string>& v) {
    if (i >= 48) {
      v = i == 48 ? std::vector<std::string>{"23:59", ""} : std::vector<std::string>{"   ", "11:59 pm"};
      return;
    }
    const std::size_t h = i / 2, m = (i % 2) * 30;
    char h24[8], h12[12];
    std::snprintf(h24, sizeof h24, "%02zu:%02zu", h, m);
    std::snprintf(h12, sizeof h12, "%zu:%02zu %s", h % 12 == 0 ? 12 : h % 12, m,
                  h < 12 ? (i % 3 ? "am" : "AM") : (i % 3 ? "pm" : "PM"));
    v = {h24, h12};
  });
  return written;
}

}  // namespace qv::sample
