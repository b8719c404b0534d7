// The headless command, run as the built program.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

using qv::test::slurp;
using qv::test::touch;

class CliTest : public ::testing::Test {
 protected:
  // Runs the command with `--drive-c` at a private folder.
  // `streams` replaces the usual redirections of stdout, stderr and stdin.
  Result run(const std::vector<std::string>& args, bool with_drive = true, const std::string& streams = "") {
    std::string cmd = "timeout 120 " + quoted(std::string(QV_BIN_DIR) + "/quorvel-migrate-cli");
    if (with_drive) cmd += " --drive-c " + quoted(drive.path().string());
    for (const std::string& a : args) cmd.append(" ").append(quoted(a));
    cmd += streams.empty()
               ? " >" + quoted((io / "out").string()) + " 2>" + quoted((io / "err").string()) + " </dev/null"
               : " " + streams;
    const int status = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(io / "out");
    r.err = slurp(io / "err");
    return r;
  }

  // A data set folder inside a "db" folder, spelt unlike the program's paths.
  fs::path data_set() {
    fs::path dir = drive.path() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "abcd1234";
    touch(dir / "Quorvel2.DB");
    return dir;
  }

  qv::test::TempDir drive;
  qv::test::TempDir io;
};

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  Result r = run({});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("OLD_TABLE_DIR"));

  r = run({"--no-such-option", "x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("Try 'quorvel-migrate-cli --help'"));
  EXPECT_EQ(run({"--codepage", "many", "x"}).code, 2);
  EXPECT_EQ(run({"--dump", "a.db", "also-a-folder"}).code, 2);

  // A batch writes local files only, even with a login at hand.
  touch(io.path() / "set" / "quorvel2.db");
  ::setenv("ISC_PASSWORD", "x", 1);
  r = run({"--all", io.path().string(), "--server", "127.0.0.1", "--server-dir", "/srv"});
  ::unsetenv("ISC_PASSWORD");
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("excludes"));

  r = run({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out, HasSubstr("--tables"));
}

TEST_F(CliTest, UnknownTableNamesAreRefusedWithTheValidOnes) {
  Result r = run({"--tables", "CARRIER.DB,nosuch.db", data_set().string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("Unknown table \"nosuch.db\""));
  EXPECT_THAT(r.err, HasSubstr("carrier.db, category.db"));
  EXPECT_THAT(r.err, HasSubstr("time10.db"));
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(CliTest, FolderWithoutMarkerIsRefused) {
  fs::create_directories(drive.path() / "MyData" / "empty");
  for (const std::string& dir : {(drive.path() / "MyData" / "empty").string(), std::string("C:\\MyData\\Empty"),
                                 std::string("C:\\no\\such\\folder")}) {
    Result r = run({dir});
    EXPECT_EQ(r.code, 2) << dir;
    EXPECT_EQ(r.err, "DIRECTORY SELECT: Doesn't appear to be a valid directory\n") << dir;
    EXPECT_THAT(r.out, IsEmpty()) << dir;
  }
}

TEST_F(CliTest, FolderOutsideADbFolderIsRefused) {
  const fs::path dir = drive.path() / "sets" / "abcd1234";
  touch(dir / "quorvel2.db");
  Result r = run({dir.string()});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("not inside a \"db\" folder"));
  EXPECT_THAT(r.err, HasSubstr("--name NAME"));
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(CliTest, NoTablesIsRefused) {
  data_set();
  // The program's own path of the folder, with a letter case of its own.
  Result r = run({"--tables", ",", "C:\\mydata\\WK-DB\\quorvel2\\db\\ABCD1234"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "DIRECTORY SELECT: No tables selected\n");
  EXPECT_THAT(r.out, IsEmpty());
}

// A real small data set inside a "db" folder.
fs::path sample_set(const fs::path& drive_root) {
  const fs::path dir = drive_root / "MyData" / "wk-db" / "Quorvel2" / "Db" / "host0001";
  qv::sample::Options o;
  o.rows = 20;
  o.jobs = 30;
  qv::sample::write_data_set(dir, o);
  return dir;
}

// Standard streams (or a report) that are closed or cannot be written:
// output that was not written is a failure, and nothing lands in the
// engine's files.
TEST_F(CliTest, UnwritableOrClosedStreams) {
  const fs::path dir = sample_set(drive.path());
  const std::string out = quoted((io / "out").string()), err = quoted((io / "err").string());
  const std::string full = ">/dev/full 2>" + err + " </dev/null";
  const std::vector<std::string> run_args = {"--replace", "--tables", "carrier.db,config.db", dir.string()};
  struct Case {
    std::vector<std::string> args;
    std::string streams;
    int code;
    std::string err_has;
  };
  const std::vector<Case> cases = {
      {run_args, full, 1, "The status log could not be written to the standard output: No space"},
      {run_args, ">&- 2>" + err + " </dev/null", 1, "The status log could not be written to the standard output: Bad file"},
      {run_args, ">" + out + " 2>&- <&-", 0, ""},
      // a reader gone before the first line: the run goes on, then says so
      {run_args, "2>" + err + " </dev/null | true", 0, "The status log could not be written to the standard output: Broken pipe"},
      {{"--check", dir.string()}, full, 1, "The check's findings could not be written to the standard output"},
      {{"--verify", "--tables", "carrier.db", dir.string()}, full, 2,
       "The verify report could not be written to the standard output"},
      {{"--dump", (dir / "City.db").string()}, full, 1, "City.db could not be written to the standard output"},
      // a report into a FIFO that nothing reads fails instead of hanging
      {{"--replace", "--tables", "carrier.db", "--report", (io / "fifo").string(), dir.string()}, "", 1,
       "Cannot write the report " + (io / "fifo").string() + ": no program reads from it"},
  };
  ASSERT_EQ(::mkfifo((io / "fifo").c_str(), 0600), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.streams);
    fs::remove(io / "out");
    fs::remove(io / "err");
    const Result r = run(c.args, true, c.streams);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.err_has));
    if (c.code == 0 && c.err_has.empty()) {
      EXPECT_THAT(r.out, HasSubstr("Conversion run complete"));
    }
    if (c.args == run_args) {
      EXPECT_EQ(run({"--verify", "--tables", "carrier.db,config.db", dir.string()}).code, 0);
    }
  }
}

// Every option is checked before the earlier database is touched.
TEST_F(CliTest, BadOptionsChangeNothing) {
  const fs::path dir = sample_set(drive.path());
  ASSERT_EQ(run({"--tables", "carrier.db", dir.string()}).code, 0);
  const fs::path db = drive.path() / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db" / "host0001.gdb";
  const auto written = fs::last_write_time(db);
  const auto size = fs::file_size(db);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--codepage", "99999"}, {"--tables", "carrier.db,nosuch.db"}, {"--check", "--codepage", "77777"}}) {
    std::vector<std::string> args = bad;
    args.insert(args.end(), {"--replace", dir.string()});
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << bad[0] << r.err;
    EXPECT_EQ(fs::last_write_time(db), written);
    EXPECT_EQ(fs::file_size(db), size);
  }
  EXPECT_THAT(run({"--codepage", "99999", dir.string()}).err, HasSubstr("code page 99999"));
}

// On a terminal the login is asked for; an empty user name keeps the default.
TEST_F(CliTest, AnEmptyUserNameAtThePromptKeepsTheDefault) {
  const std::string cli = quoted(std::string(QV_BIN_DIR) + "/quorvel-migrate-cli") + " --drive-c " +
                          quoted(drive.path().string()) + " --server 127.0.0.1/1 --server-dir /srv " +
                          quoted(data_set().string());
  const std::string cmd = "printf '\\n' | env -u ISC_USER -u ISC_PASSWORD timeout 120 script -qec " + quoted(cli) +
                          " /dev/null >" + quoted((io / "out").string()) + " 2>&1";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  EXPECT_THAT(slurp(io / "out"), HasSubstr("Password of SYSDBA on 127.0.0.1/1: "));
}

fs::path database_file(const fs::path& drive_root, const std::string& name) {
  return drive_root / "MyData" / "wk-db" / "intrbase" / "quorvel4" / "db" / (name + ".gdb");
}

nlohmann::json read_json(const fs::path& file) {
  std::ifstream in(file);
  return nlohmann::json::parse(in, nullptr, false);
}

// A database already there is refused unless --replace is given; a
// replacing run that does not complete leaves it byte for byte and keeps
// its own beside it.
TEST_F(CliTest, ExistingDatabaseIsRefusedOrReplacedWhenTheRunCompletes) {
  const fs::path dir = sample_set(drive.path());
  const fs::path db = database_file(drive.path(), "host0001");
  const fs::path partial = database_file(drive.path(), "host0001.partial");
  const fs::path report = io / "report.json";
  ASSERT_EQ(run({"--tables", "carrier.db", dir.string()}).code, 0);
  const std::string first = slurp(db);
  fs::copy_file(dir / "City.db", io / "City.db");
  struct Step {
    std::vector<std::string> args;
    int code;
    std::string err_has;   // or in stdout for --check
    bool same_database;    // the earlier database, byte for byte
    bool partial_kept;
  };
  const std::vector<Step> steps = {
      {{"--tables", "carrier.db"}, 2, "Give --replace to replace it", true, false},
      {{"--check", "--tables", "carrier.db"}, 1, "the run would be refused. Give --replace", true, false},
      {{"--check", "--replace", "--tables", "carrier.db"}, 0, "put it in its place once it completes", true, false},
      {{"--all", dir.parent_path().string(), "--log-dir", (io / "logs").string()}, 2, "is already there", true, false},
      // City.db damaged below: the replacing run stops at CITY_4
      {{"--replace", "--tables", "carrier.db,city.db"}, 1, "untouched; the one this run left is kept", true, true},
      {{"--replace", "--tables", "carrier.db,city.db"}, 0, "Database written", false, false},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(i);
    if (i == 4) std::ofstream(dir / "City.db", std::ios::trunc) << "not a table";
    if (i == 5) fs::copy_file(io / "City.db", dir / "City.db", fs::copy_options::overwrite_existing);
    std::vector<std::string> args = s.args;
    args.insert(args.end(), {"--report", report.string()});
    if (s.args.front() != "--all") args.push_back(dir.string());
    const Result r = run(args);
    EXPECT_EQ(r.code, s.code) << r.err;
    EXPECT_THAT(r.err + r.out, HasSubstr(s.err_has));
    EXPECT_EQ(slurp(db) == first, s.same_database);
    EXPECT_EQ(fs::exists(partial), s.partial_kept);
    const nlohmann::json j = read_json(report);
    if (s.args.front() != "--all") {
      EXPECT_EQ(j.value("exit_code", -1), s.code);
    }
  }
  EXPECT_EQ(run({"--verify", "--tables", "carrier.db,city.db", dir.string()}).code, 0);
}

// --on-error skip leaves the refused rows out into the reject file and goes
// on; the counts add up, verify expects what the run left out, and one row
// more than --max-errors stops the run as the first one does by default.
TEST_F(CliTest, OnErrorSkipLeavesRefusedRowsOutAndVerifyAgrees) {
  const fs::path dir = drive.path() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "host0001";
  qv::sample::Options o;
  o.rows = 20;
  o.jobs = 30;
  o.repeated_key = 7;         // QUORVEL2.db row 7: a key the table holds already
  o.fractional_order = true;  // stats_jt.db row 3: 3.5 for a whole-number column
  qv::sample::write_data_set(dir, o);
  // The temporary job-search file refuses rows 5 and 12 (a required field
  // left empty) and row 20 (a name too long for it): the keys close up.
  qv::sample::rewrite_table(dir, "JSEARCH2.db", [](auto& defs, auto& rows) {
    const std::size_t city = qv::sample::field_index(defs, "POS_CITY");
    const std::size_t name = qv::sample::field_index(defs, "CONTACT_NAME");
    defs[city].Required = defs[name].Required = false;
    defs[name].Size = 100;
    rows.at(4).at(city) = rows.at(11).at(city) = "";
    rows.at(19).at(name) = std::string(70, 'x');
  });
  const std::set<std::string> planted = {"QUORVEL2.db,7", "stats_jt.db,3", "JSEARCH2.db,5", "JSEARCH2.db,12",
                                         "JSEARCH2.db,20"};
  const fs::path db = database_file(drive.path(), "host0001");
  const fs::path rejects = db.parent_path() / "host0001.rejects.csv";
  const fs::path report = io / "report.json";
  // The rows a reject file lists ("file,row"), its header checked.
  const auto rejected = [&](const fs::path& file) {
    std::set<std::string> rows;
    std::istringstream in(slurp(file));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "old_file,row,field,value,reason\r");
    while (std::getline(in, line)) {
      const std::size_t second = line.find(',', line.find(',') + 1);
      rows.insert(line.substr(0, second));
    }
    return rows;
  };
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err_has;
    std::size_t rejected;  // rows in the reject file
    const char* reject_file;  // its name beside the database
  };
  const std::vector<Case> cases = {
      {{}, 1, "QUORVEL2.db, row 7: key PK '6' is already in QUORVEL_4", 0, ""},  // stops, as by default
      // A replacing run that fails keeps its reject file beside its database.
      {{"--replace", "--on-error", "skip", "--max-errors", "2"}, 1, "More than 2 rows were refused", 2,
       "host0001.partial.rejects.csv"},
      {{"--replace", "--on-error", "skip", "--then-verify"}, 0, "Rows refused and left out: 5, listed in", 5,
       "host0001.rejects.csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "stop" : c.args.back());
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--report", report.string(), dir.string()});
    const Result r = run(args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.err_has));
    if (c.rejected == 0) {
      EXPECT_FALSE(fs::exists(rejects));
      continue;
    }
    const std::set<std::string> listed = rejected(db.parent_path() / c.reject_file);
    EXPECT_EQ(listed.size(), c.rejected);
    EXPECT_TRUE(std::includes(planted.begin(), planted.end(), listed.begin(), listed.end()));
    if (c.code != 0) continue;
    // Every old row is written, skipped by the rules, merged or refused;
    // the rows written are those verify counts in the database.
    const nlohmann::json j = read_json(report);
    EXPECT_EQ(j["totals"]["refused"], 5);
    EXPECT_EQ(j["reject_file"], rejects.string());
    const nlohmann::json& verified = j["verify"];
    ASSERT_TRUE(verified.is_object()) << r.err;
    EXPECT_TRUE(verified["clean"]);
    ASSERT_EQ(j["tables"].size(), verified["tables"].size());
    for (std::size_t i = 0; i < j["tables"].size(); ++i) {
      const nlohmann::json& t = j["tables"][i];
      const nlohmann::json& v = verified["tables"][i];
      SCOPED_TRACE(t["table"].get<std::string>());
      EXPECT_EQ(t["old_rows"].get<int>(), t["new_rows"].get<int>() + t["skipped"].get<int>() +
                                              t["merged"].get<int>() + t["refused"].get<int>());
      EXPECT_EQ(t["new_rows"], v["found"]);
      EXPECT_EQ(t["refused"], v["refused"]);
    }
    EXPECT_THAT(r.out, HasSubstr("JSEARCH_4 JSEARCH2.db row 12: refused by the run"));
    EXPECT_EQ(run({"--verify", dir.string()}).code, 0);
  }
}

// --name gives the database's name, checked as a folder's would be.
TEST_F(CliTest, NameGivesTheDatabaseItsName) {
  const fs::path sets = drive.path() / "sets";
  fs::create_directories(sets);
  const fs::path dir = sample_set(drive.path());
  fs::rename(dir, sets / "Family");
  const std::string folder = (sets / "Family").string();
  const struct {
    std::vector<std::string> args;
    int code;
    std::string err_has;
  } cases[] = {
      {{"--name", "muchtoolong"}, 2, "longer than eight characters"},
      {{"--name", "a/b"}, 2, "one of /"},
      {{"--name", ".hidden"}, 2, "begins with a dot"},
      {{"--name", ""}, 2, "it is empty"},
      {{"--verify", "--name", "Family"}, 2, "no database"},
      {{"--name", "Family", "--tables", "carrier.db"}, 0, "family.gdb"},
      {{"--verify", "--name", "family", "--tables", "carrier.db"}, 0, "every value arrived"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> args = c.args;
    args.push_back(folder);
    const Result r = run(args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_THAT(r.err + r.out, HasSubstr(c.err_has));
  }
}

// Verify: 0 the same, 1 differences, 2 it could not verify.
TEST_F(CliTest, VerifyExitCodes) {
  const fs::path dir = sample_set(drive.path());
  const fs::path db = database_file(drive.path(), "host0001");
  EXPECT_EQ(run({"--verify", dir.string()}).code, 2);  // no database yet
  ASSERT_EQ(run({"--tables", "carrier.db", dir.string()}).code, 0);
  EXPECT_EQ(run({"--verify", "--tables", "carrier.db", dir.string()}).code, 0);
  EXPECT_EQ(run({"--verify", "--tables", "carrier.db,city.db", dir.string()}).code, 1);  // CITY_4 empty
  {
    // another program has it open, as the engine holds a database
    const int fd = ::open(db.c_str(), O_RDWR);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const Result r = run({"--verify", "--tables", "carrier.db", dir.string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("in use by another program"));
    ::close(fd);
  }
  fs::permissions(db, fs::perms::none);
  if (::access(db.c_str(), R_OK) != 0) {  // not as root
    EXPECT_EQ(run({"--verify", "--tables", "carrier.db", dir.string()}).code, 2);
  }
}

// The members docs/report-schema.md gives for a report's mode: path, type
// and whether it is required ("yes", "no", "unless refused").
struct SchemaRow {
  std::string path, type, required;
};

std::vector<SchemaRow> schema_for(const std::string& mode) {
  std::ifstream in(std::string(QV_SOURCE_DIR) + "/docs/report-schema.md");
  std::vector<SchemaRow> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    std::vector<std::string> cells{""};
    for (std::size_t i = 2; i < line.size(); ++i) {
      if (line.compare(i, 2, "\\|") == 0) {
        cells.back() += '|';
        ++i;
      } else if (line.compare(i, 3, " | ") == 0) {
        cells.emplace_back();
        i += 2;
      } else {
        cells.back() += line[i];
      }
    }
    const std::string& modes = cells.at(2);
    const bool batch = mode.rfind("batch-", 0) == 0;
    const bool applies = modes == "all" || (modes == "single" && !batch) || (modes == "batch" && batch) ||
                         (", " + modes + ",").find(" " + mode + ",") != std::string::npos;
    if (applies) rows.push_back({cells[0].substr(1, cells[0].size() - 2), cells[1], cells[3]});
  }
  return rows;
}

bool has_type(const nlohmann::json& v, const std::string& types) {
  std::stringstream alternatives(types);
  for (std::string t; std::getline(alternatives, t, '|');)
    if ((t == "integer" && v.is_number_integer()) || (t == "number" && v.is_number()) || (t == "string" && v.is_string()) ||
        (t == "boolean" && v.is_boolean()) || (t == "array" && v.is_array()) || (t == "object" && v.is_object()) ||
        (t == "null" && v.is_null()))
      return true;
  return false;
}

void expect_follows_schema(const nlohmann::json& doc) {
  ASSERT_TRUE(doc.is_object());
  const std::string mode = doc.value("mode", "");
  SCOPED_TRACE(mode);
  const std::vector<SchemaRow> rows = schema_for(mode);
  ASSERT_FALSE(rows.empty());
  const bool refused = doc.contains("error") && doc.value("exit_code", 0) == 2;
  const auto check = [&](const nlohmann::json& object, const std::string& member, const SchemaRow& row) {
    if (!object.contains(member)) {
      EXPECT_TRUE(row.required == "no" || (refused && row.required == "unless refused")) << row.path << " missing";
      return;
    }
    EXPECT_TRUE(has_type(object[member], row.type)) << row.path << ": " << object[member].dump();
  };
  std::set<std::string> top;
  for (const SchemaRow& row : rows) {
    const std::size_t dot = row.path.find("[].");
    if (dot == std::string::npos) {
      top.insert(row.path);
      check(doc, row.path, row);
      continue;
    }
    const std::string array = row.path.substr(0, dot);
    if (doc.contains(array) && doc[array].is_array())
      for (const auto& element : doc[array]) check(element, row.path.substr(dot + 3), row);
  }
  for (const auto& [key, value] : doc.items()) EXPECT_TRUE(top.count(key)) << key << " is not in the schema";
}

// The check looks at the destination and the code pages too.
TEST_F(CliTest, CheckCoversTheDestinationAndTheCodePage) {
  const fs::path dir = sample_set(drive.path());
  ASSERT_EQ(run({"--tables", "carrier.db", dir.string()}).code, 0);
  const fs::path db = database_file(drive.path(), "host0001");
  const int fd = ::open(db.c_str(), O_RDWR);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // as the engine of another program holds it
  Result r = run({"--check", "--replace", dir.string()});
  ::close(fd);
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.out, StartsWith("The run would stop: see below.\n"));
  EXPECT_THAT(r.out, HasSubstr("is in use by another program: the run would be refused"));

  r = run({"--check", "--replace", "--codepage", "850", dir.string()});
  EXPECT_EQ(r.code, 1) << r.out;  // "É" reads as "╔", which the database cannot take
  // a text of the sample as code page 850 reads it: "Montréal" becomes "MontrÚal"
  EXPECT_THAT(r.out, HasSubstr("Code page 850 (--codepage): CARRIER.db (row 14, CARRIER: \"Courrier MontrÚal\")"));
  EXPECT_THAT(r.out, Not(HasSubstr("shortened - ")));  // details only with -v
  EXPECT_THAT(run({"--check", "-v", "--replace", dir.string()}).out, HasSubstr(" - shortened"));
}

// Real reports of every mode and outcome follow docs/report-schema.md.
TEST_F(CliTest, ReportsFollowTheirSchema) {
  const fs::path dir = sample_set(drive.path());
  const fs::path report = io / "report.json";
  const std::string logs = (io / "logs").string();
  const std::vector<std::vector<std::string>> commands = {
      {"--tables", "carrier.db,city.db", dir.string()},
      {"--tables", "carrier.db", dir.string()},  // refused: the database is there
      {"--verify", dir.string()},
      {"--verify", "--tables", "nosuch.db", dir.string()},
      {"--check", "-v", dir.string()},
      {"--check", "--codepage", "99999", dir.string()},
      {"--then-verify", "--replace", "--tables", "carrier.db", dir.string()},
      {"--then-verify", "--replace", "--on-error", "skip", "--tables", "carrier.db", dir.string()},
      {"--all", dir.parent_path().string(), "--check", "--log-dir", logs},
      {"--all", dir.parent_path().string(), "--then-verify", "--replace", "--tables", "carrier.db", "--log-dir", logs + "2"},
      {"--all", dir.parent_path().string()},  // refused: the database is there
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.front() + " " + args[1]);
    fs::remove(report);
    std::vector<std::string> a = args;
    a.insert(a.begin(), {"--report", report.string()});
    const Result r = run(a);
    std::ifstream in(report);
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    EXPECT_EQ(doc.value("exit_code", -1), r.code) << r.err;
    expect_follows_schema(doc);
    for (const auto& set : doc.value("data_sets", nlohmann::json::array())) expect_follows_schema(set["report"]);
  }
}

TEST_F(CliTest, DumpPrintsATableAsCsv) {
  QV_NEEDS_FIXTURES();
  Result r = run({"--dump", qv::test::fixture("paradoxdriver/areas/STATES.DB").string()}, false);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("Abv,State,Zip From,Zip To"));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 54);  // header and 53 records

  r = run({"--dump", (drive.path() / "missing.db").string()}, false);
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("missing.db"));
}

}  // namespace
