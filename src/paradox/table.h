// Our Paradox table engine: reads Paradox 3.0 to 7 tables (and their .MB memo
// companions) with every offset and size checked, and writes the Paradox 7
// tables the job-search conversion keeps its temporary records in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::pdx {

// Every failure of the engine; what() names the file and what is wrong.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FieldType : char {
  Alpha = 'A', Date = 'D', Short = 'S', Long = 'I', AutoInc = '+', Number = 'N',
  Money = '$', Logical = 'L', BCD = '#', Time = 'T', Timestamp = '@', Bytes = 'Y',
  Memo = 'M', FmtMemo = 'F', Blob = 'B', OLE = 'O', Graphic = 'G'
};

struct FieldDef {
  std::string Name;
  FieldType DataType = FieldType::Alpha;
  int Size = 0;
  int Precision = 0;
  bool Required = false;
};

// Aliases name folders for tables opened through DatabaseName. They live for
// the running program only.
class Session {
 public:
  static Session& instance();
  void DeleteAlias(std::string_view name);  // no error when not registered
  // `path` is a program path (Windows or native), mapped when the alias is used.
  void AddStandardAlias(std::string_view name, std::string_view path, std::string_view driver = "PARADOX");
  std::optional<std::string> AliasPath(std::string_view name) const;  // case-insensitive
 private:
  Session() = default;
};

class PDTable;

class PDField {
 public:
  // The value of the current record as text: date "MM/DD/YYYY", time
  // "HH:MM:SS", timestamp "MM/DD/YYYY HH:MM:SS", logical "True"/"False",
  // integers in decimal, numbers/money/BCD as plain decimal text, alpha and
  // memo as UTF-8 text, other blobs as raw bytes. No value: empty text.
  // The text is kept by the field: it stays valid until the table moves to
  // another record, appends, or is closed. Once a record is posted it is the
  // current one until the table moves: its values read as stored, as they
  // read from the file.
  const std::string& AsString() const;
  bool IsNull() const;
  // Sets the value of the record being appended from text (converted to the
  // field's type; an error names field and file when it cannot be).
  void SetAsString(std::string_view text);

  PDField(PDTable* t, std::size_t index) : table_(t), index_(index) {}

 private:
  PDTable* table_;
  std::size_t index_;
};

class PDTable {
 public:
  PDTable();
  ~PDTable();
  PDTable(const PDTable&) = delete;
  PDTable& operator=(const PDTable&) = delete;

  // Empty: a bare TableName opens in Directory. Otherwise an alias name.
  std::string DatabaseName;
  std::string TableName;  // "CARRIER.db", matched without regard to case
  // The folder bare names open in (the chosen old-table folder); a program path.
  std::string Directory;
  std::string TableType = "ttParadox";
  // Tables are opened read-only unless this is cleared; old tables never are.
  bool ReadOnly = true;
  // Code page used instead of the header's (0: the header's; version 3: 437).
  int CodePageOverride = 0;

  std::vector<FieldDef> FieldDefs;  // for CreateTable
  // Size of the data blocks of a table CreateTable makes: 1, 2, 4, 8, 16 or
  // 32 KiB; 0 picks 4 KiB, or the smallest larger size a record fits. A
  // table has at most 65,535 blocks, so 4 KiB blocks hold about 260,000
  // records of 1,000 bytes, 32 KiB blocks about 2,000,000; Post fails with
  // an error naming the file when the table is full.
  int BlockSizeKiB = 0;
  // Code page of the texts of a table CreateTable makes (single-byte pages:
  // 437, 850, 852, 866, 1250, 1251, 1252, ...).
  int NewTableCodePage = 1252;

  void Open();
  void Close();
  bool Active() const;
  void SetActive(bool on) { on ? Open() : Close(); }

  void First();
  void Last();
  void Next();
  bool Eof() const;
  std::int64_t RecordCount() const;
  std::int64_t RecNo() const;  // 1-based number of the current record

  PDField& FieldByName(std::string_view name);  // unknown: error naming field and file
  const std::vector<FieldDef>& Fields() const;   // of the open table
  int CodePage() const;
  int FileVersion() const;

  // Appending (tables opened with ReadOnly false): the record is written to
  // the file when posted. Post refuses a record whose required field is empty.
  void Append();
  void Post();
  // Drops the record being appended (one that Post refused, say).
  void Cancel();

  // Creates an empty Paradox 7 table (with its .MB when a memo field is
  // defined) from FieldDefs, replacing a file of the same name.
  void CreateTable();
  // The records a table created from FieldDefs and BlockSizeKiB can hold.
  std::int64_t Capacity() const;

  std::filesystem::path FilePath() const;  // resolved path of TableName

 private:
  struct Impl;
  Impl& impl();
  std::unique_ptr<Impl> impl_;
  friend class PDField;
};

// Writes a table as CSV (RFC 4180): a header row of field names, then each
// record's values as text (non-memo blobs as hex).
void dump_csv(const std::filesystem::path& file, std::ostream& out, int code_page_override = 0);

}  // namespace qv::pdx
