// The names the headless command takes on its command line: code pages by
// number or name, tables by any of their names, and the nearest option to
// one mistyped.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::cli {

// The code page "850", "cp850", "IBM850", "windows-1252" or "win1252" stands
// for; nullopt when the text names none.
std::optional<int> code_page_number(std::string_view text);
// The code pages old tables are found in, one a line: number, names, what.
std::string code_page_list();

// The check-list item a table name means: "carrier", "carrier.db" and
// "CARRIER_4" alike, letter case aside; nullopt when none.
std::optional<std::size_t> table_item(std::string_view name);

// The one of `known` nearest to `typed` when it is near enough to be
// what was meant ("--tabels" -> "--tables"); empty otherwise.
std::string nearest(std::string_view typed, const std::vector<std::string>& known);

}  // namespace qv::cli
