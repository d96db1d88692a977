// The NAND timing table read from "ACTiming.ini", and the timing set a job
// gets from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/timing_set.hpp"

namespace station {

class IniFile;

// One row of the table: Vendor, Type and the row's Timing1 ... Timing4 (the
// timing set it derives from; a key the file lacks keeps its default).
struct NAND_ENTRY : TimingSet {
  std::string Vendor;  // upper-case ASCII letters, other bytes as in the file
  std::string Type;
};

using NandTimingTable = std::vector<NAND_ENTRY>;

// The timing keys are built as "<section>:TIMINGk" in an 80-byte key buffer;
// a section whose name is longer than this gives no row.
inline constexpr std::size_t kMaxTimingSectionName = 79;

// The load step: fills `table` (cleared first) from the file at `path`
// ("ACTiming.ini" in the station). A file that cannot be opened leaves the
// table empty. Never prints, never throws for any file content.
void LoadNandTimingTable(const char* path, NandTimingTable& table);
// The same from a file already read.
void LoadNandTimingTable(const IniFile& ini, NandTimingTable& table);

// The decimal value rule: leading white space, one optional sign, decimal
// digits up to the first other character; no digits reads 0; wraps at 32 bits.
std::int32_t DecimalValue(std::string_view text);

// The timing of the first row whose Vendor and Type equal v and t exactly,
// else the defaults.
TimingSet LookupTiming(const NandTimingTable& table, std::string_view vendor, std::string_view type);

}  // namespace station
