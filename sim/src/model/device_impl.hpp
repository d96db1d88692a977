// Inside one device: its state, the table of the commands it knows and their
// handlers. The vendor commands are in command_table.cpp, the standard disk
// commands in disk_commands.cpp, the Device class around them in device.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "flashsim/device.hpp"
#include "model/nand_store.hpp"
#include "model/trace_ring.hpp"

namespace flashsim {

using Clock = std::chrono::steady_clock;

// Standard disk commands besides INQUIRY and READ CAPACITY.
inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpRequestSense = 0x03;
inline constexpr std::uint8_t kOpModeSense6 = 0x1A;
inline constexpr std::uint8_t kOpStartStopUnit = 0x1B;
inline constexpr std::uint8_t kOpPreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpWrite10 = 0x2A;
inline constexpr std::uint8_t kOpSynchronizeCache10 = 0x35;
inline constexpr std::uint8_t kOpModeSense10 = 0x5A;

// Fixed-format sense: key, additional sense code and qualifier.
struct Sense {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};
inline constexpr std::uint8_t kKeyIllegalRequest = 0x05;
inline constexpr Sense kSenseInvalidOpcode{kKeyIllegalRequest, 0x20, 0};
inline constexpr Sense kSenseLbaOutOfRange{kKeyIllegalRequest, 0x21, 0};
inline constexpr Sense kSenseInvalidField{kKeyIllegalRequest, 0x24, 0};

struct Device::Impl {
  explicit Impl(Profile p);

  const Profile profile;

  mutable std::mutex mutex;  // everything below
  Faults faults;
  std::uint64_t commandsSinceFaults = 0;
  std::uint64_t commands = 0;
  std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kMemorySize, 0);
  std::vector<std::uint8_t> code = std::vector<std::uint8_t>(kMemorySize, 0);
  NandStore nand;
  std::set<std::uint16_t> bad;
  std::optional<std::array<std::uint8_t, 4>> timings;
  std::optional<Clock::time_point> blankCheckEnds;
  TraceRing trace;
  std::vector<std::uint8_t> pageScratch;  // a page, kept to spare an allocation per NAND command
  Sense sense{};                          // of the last failed command, until REQUEST SENSE reads it
  // The logical disk: written sectors that are not all zeros.
  std::map<std::uint32_t, std::unique_ptr<std::uint8_t[]>> disk;

  void writeData(std::uint16_t address, const std::uint8_t* src, std::size_t n);
  // Reads n bytes of a 64 KiB memory, wrapping at 0xFFFF.
  static void readMemory(const std::vector<std::uint8_t>& mem, std::uint16_t address, std::uint8_t* dst, std::size_t n);
  bool blankCheckRunning(Clock::time_point now) const { return blankCheckEnds && now < *blankCheckEnds; }

  // Runs one command on the model; the caller holds the mutex.
  Answer run(const Command& command, Outcome& outcome);

  // One command as the handlers see it.
  struct Call {
    const Command& cmd;
    Clock::time_point now;
    const std::uint8_t* cdb() const { return cmd.cdb.data(); }
  };
  using Handler = Answer (Impl::*)(const Call&, Outcome&);

  // One command the device knows: operation code, the sub-command in CDB
  // byte 1 (vendor commands; -1 for any), the length of its CDB layout, the
  // direction its data moves and its handler.
  struct Known {
    std::uint8_t opcode;
    int sub;
    std::uint8_t cdbLength;
    Direction direction;
    Handler handler;
  };
  static const Known kCommands[];

  // Answers of the three kinds: a status byte (none when the transfer
  // length is 0), CHECK CONDITION with sense, data of which the host takes
  // at most `limit` bytes.
  static Answer status(const Call& c, bool pass, Outcome& outcome);
  Answer refuse(Outcome& outcome, Sense s, bool phaseError = false);
  static Answer good(Outcome& outcome, std::vector<std::uint8_t> dataIn, std::uint32_t limit);

  // Vendor commands.
  Answer readMemory(const Call& c, Outcome& o);
  Answer writeXdata(const Call& c, Outcome& o);
  Answer startup(const Call& c, Outcome& o);
  Answer move(const Call& c, Outcome& o);
  Answer eraseBlock(const Call& c, Outcome& o);
  Answer programPage(const Call& c, Outcome& o);
  Answer readPage(const Call& c, Outcome& o);
  Answer blockStatus(const Call& c, Outcome& o);
  Answer markBad(const Call& c, Outcome& o);
  Answer startBlankCheck(const Call& c, Outcome& o);
  Answer pollBlankCheck(const Call& c, Outcome& o);
  // Disk commands.
  Answer inquiry(const Call& c, Outcome& o);
  Answer readCapacity6(const Call& c, Outcome& o);
  Answer readCapacity10(const Call& c, Outcome& o);
  Answer testUnitReady(const Call& c, Outcome& o);
  Answer requestSense(const Call& c, Outcome& o);
  Answer modeSense6(const Call& c, Outcome& o);
  Answer modeSense10(const Call& c, Outcome& o);
  Answer readWrite10(const Call& c, Outcome& o);
};

}  // namespace flashsim
