// The NAND timing set a blank-check job hands to the device: four signed
// 32-bit values, TIMING1 ... TIMING4 in this order, with their defaults. The
// station checks no range; the tool sends the low eight bits of each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace station {

struct TimingSet {
  std::int32_t Timing1 = 247;
  std::int32_t Timing2 = 247;
  std::int32_t Timing3 = 255;
  std::int32_t Timing4 = 255;

  friend bool operator==(const TimingSet&, const TimingSet&) = default;
};

// The four fields by index 0 ... 3 (TIMING1 ... TIMING4).
inline constexpr std::array<std::int32_t TimingSet::*, 4> kTimingFields{&TimingSet::Timing1, &TimingSet::Timing2,
                                                                        &TimingSet::Timing3, &TimingSet::Timing4};

}  // namespace station
