// libFuzzer target: any bytes as the content of "ACTiming.ini" or "lang.ini".
// Besides crashes and sanitizer reports it traps when a loaded table breaks
// what the station relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ini_reader.hpp"
#include "config/nand_timing_table.hpp"
#include "config/strict_integer.hpp"
#include "config/ui_text_table.hpp"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool HasLowerAscii(std::string_view s) {
  for (char c : s) {
    if (c >= 'a' && c <= 'z') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const station::IniFile ini = station::IniFile::Parse(text);
  Require(ini.open());

  const int sections = ini.sectionCount();
  Require(sections >= 0 && static_cast<std::size_t>(sections) <= station::IniFile::kMaxEntries);
  for (int n = 0; n < sections; ++n) {
    const std::string name = ini.sectionName(n);
    Require(!name.empty() && name.size() < station::IniFile::kChunkLength);
    Require(name.find(':') == std::string::npos && name.find('\0') == std::string::npos);
    Require(station::FoldToLower(name) == name);
  }

  station::NandTimingTable table;
  station::LoadNandTimingTable(ini, table);
  for (const station::NAND_ENTRY& row : table) {
    Require(!HasLowerAscii(row.Vendor) && !HasLowerAscii(row.Type));
    Require(row.Vendor.size() + 1 + row.Type.size() <= station::kMaxTimingSectionName);
    for (const station::NAND_ENTRY& other : table) {
      Require(&row == &other || row.Vendor != other.Vendor || row.Type != other.Type);
    }
  }

  for (std::uint16_t langId : {0x0409, 0x0804, 0x0404}) {
    station::UiTextTable texts;
    station::LoadUiTexts(ini, langId, texts);
  }

  // The two value conversions on the raw bytes as well.
  (void)station::DecimalValue(text);
  (void)station::TryStrToInt(text);
  return 0;
}
