#include "cli/names.h"

#include <algorithm>
#include <charconv>

#include <fmt/format.h>

#include "paradox/codepage.h"
#include "platform/text.h"
#include "registry/registry.h"

namespace qv::cli {

namespace {

struct CodePage {
  int number;
  const char* what;
};

// DOS pages under their cp/ibm names, Windows pages also as windows-N.
constexpr CodePage kCodePages[] = {
    {437, "DOS, United States"},         {737, "DOS, Greek"},
    {850, "DOS, Western Europe"},        {852, "DOS, Central Europe"},
    {855, "DOS, Cyrillic"},              {857, "DOS, Turkish"},
    {860, "DOS, Portuguese"},            {861, "DOS, Icelandic"},
    {862, "DOS, Hebrew"},                {863, "DOS, Canadian French"},
    {864, "DOS, Arabic"},                {865, "DOS, Nordic"},
    {866, "DOS, Russian"},               {869, "DOS, Greek 2"},
    {874, "Windows, Thai"},              {932, "Windows, Japanese"},
    {936, "Windows, Simplified Chinese"}, {949, "Windows, Korean"},
    {950, "Windows, Traditional Chinese"}, {1250, "Windows, Central Europe"},
    {1251, "Windows, Cyrillic"},         {1252, "Windows, Western Europe (the tables' usual one)"},
    {1253, "Windows, Greek"},            {1254, "Windows, Turkish"},
    {1255, "Windows, Hebrew"},           {1256, "Windows, Arabic"},
    {1257, "Windows, Baltic"},           {1258, "Windows, Vietnamese"},
};

bool windows_page(int n) { return n >= 1250 || n == 874 || n >= 932; }

std::optional<int> number(std::string_view digits) {
  int n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || n <= 0) return std::nullopt;
  return n;
}

}  // namespace

std::optional<int> code_page_number(std::string_view text) {
  const std::string name = platform::ascii_lower(platform::trim(text));
  std::string_view rest = name;
  for (std::string_view prefix : {"windows-", "windows", "win-", "win", "cp-", "cp", "ibm-", "ibm", "dos-", "dos"})
    if (rest.substr(0, prefix.size()) == prefix) {
      rest.remove_prefix(prefix.size());
      break;
    }
  const auto n = number(rest);
  // A Windows name for a DOS page (windows-850) names nothing.
  if (n && rest.size() != name.size() && name[0] == 'w' && !windows_page(*n)) return std::nullopt;
  return n;
}

std::string code_page_list() {
  std::string out;
  for (const CodePage& c : kCodePages) {
    const std::string names = windows_page(c.number) ? fmt::format("cp{0}, windows-{0}", c.number)
                                                     : fmt::format("cp{0}, ibm{0}", c.number);
    bool usable = true;
    try {
      pdx::TextCodec codec(c.number);
    } catch (const std::exception&) {
      usable = false;  // this system's iconv lacks it
    }
    out += fmt::format("{:>5}  {:<22} {}{}\n", c.number, names, c.what, usable ? "" : " (not on this system)");
  }
  return out;
}

std::optional<std::size_t> table_item(std::string_view name) {
  const auto& items = registry::items();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string_view item = items[i].item;  // "carrier.db"
    const std::string_view stem = item.substr(0, item.rfind('.'));
    if (platform::iequals(name, item) || platform::iequals(name, stem) || platform::iequals(name, items[i].dest_table))
      return i;
  }
  return std::nullopt;
}

std::string nearest(std::string_view typed, const std::vector<std::string>& known) {
  // Edit distance (insert, delete, replace, swap of neighbours).
  auto distance = [](std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
      for (std::size_t j = 1; j <= b.size(); ++j) {
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[a.size()][b.size()];
  };
  std::string best;
  std::size_t best_distance = 0;
  for (const std::string& k : known) {
    const std::size_t dist = distance(typed, k);
    if (best.empty() || dist < best_distance) {
      best = k;
      best_distance = dist;
    }
  }
  // Near enough: a third of the word may differ, or it is the start of one.
  if (!best.empty() && best_distance * 3 <= std::max<std::size_t>(typed.size(), 3)) return best;
  for (const std::string& k : known)
    if (typed.size() >= 4 && k.substr(0, typed.size()) == typed) return k;
  return {};
}

}  // namespace qv::cli
