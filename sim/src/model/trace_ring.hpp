// The device's trace: the latest commands it received, each with its
// outcome, kept in a ring of fixed-size entries (no allocation per command
// once the ring is full).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "flashsim/device.hpp"

namespace flashsim {

class TraceRing {
 public:
  explicit TraceRing(std::size_t limit) : limit_(limit) {}

  void record(const Command& command, Outcome outcome);
  std::vector<TraceEntry> entries() const;  // oldest first

 private:
  struct Entry {
    std::chrono::system_clock::time_point time;
    std::array<std::uint8_t, 16> cdb{};
    std::uint32_t transferLength = 0;
    std::uint8_t cdbLength = 0;
    Direction direction = Direction::None;
    Outcome outcome = Outcome::Good;
  };

  const std::size_t limit_;
  std::vector<Entry> ring_;  // a ring once it holds limit_ entries
  std::size_t next_ = 0;     // the oldest entry once the ring is full
};

}  // namespace flashsim
