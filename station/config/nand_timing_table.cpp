#include "config/nand_timing_table.hpp"

#include <optional>
#include <utility>

#include "common/decimal_text.hpp"
#include "config/ini_reader.hpp"

namespace station {

namespace {

std::string ToUpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

std::int32_t DecimalValue(std::string_view text) { return common::decimal_text::WrappingDecimal(text); }

void LoadNandTimingTable(const IniFile& ini, NandTimingTable& table) {
  table.clear();
  const int sections = ini.sectionCount();
  for (int n = 0; n < sections; ++n) {
    const std::string name = ToUpperAscii(ini.sectionName(n));
    if (name.size() > kMaxTimingSectionName) continue;
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos) continue;

    NAND_ENTRY entry;
    entry.Vendor = name.substr(0, slash);
    entry.Type = name.substr(slash + 1);
    for (std::size_t k = 0; k < kTimingFields.size(); ++k) {
      const std::string key = name + ":TIMING" + static_cast<char>('1' + k);
      // A missing key keeps the default the entry was made with.
      if (const std::optional<std::string> value = ini.value(key)) entry.*kTimingFields[k] = DecimalValue(*value);
    }
    table.push_back(std::move(entry));
  }
}

void LoadNandTimingTable(const char* path, NandTimingTable& table) {
  table.clear();
  const IniFile ini = IniFile::Load(path);
  if (ini.open()) LoadNandTimingTable(ini, table);
}

TimingSet LookupTiming(const NandTimingTable& table, std::string_view vendor, std::string_view type) {
  for (const NAND_ENTRY& row : table) {
    if (row.Vendor == vendor && row.Type == type) return static_cast<const TimingSet&>(row);
  }
  return TimingSet{};
}

}  // namespace station
