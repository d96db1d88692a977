// flashsim's model of one flash device: the controller's memories, the NAND
// array and its own blank check, answering the vendor SCSI command set and
// the disk commands a host's storage driver sends by itself (a small logical
// disk behind READ/WRITE (10)).
//
// The device takes one Command at a time through Device::execute. Each way a
// host reaches it builds the Command from its own framing: the daemon from
// the emulator link's request header, the USB device from a Bulk-Only
// command block, the command tool's in-process transport from its SCSI
// request.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace flashsim {

struct Geometry {
  std::uint16_t blockCount = 4096;   // blocks in the array
  std::uint16_t pagesPerBlock = 64;  // a power of two
  std::uint16_t pageSize = 2048;     // bytes, a power of two
  // What the geometry record in data memory reports; by default the values
  // above. A fault profile may report more blocks than the array has, or any
  // raw record at all.
  std::optional<std::uint16_t> reportedBlockCount;
  std::optional<std::vector<std::uint8_t>> rawRecord;  // 10 bytes, replaces the record
};

// Limits of the model. pagesPerBlock: a power of two up to 128 (the record
// holds it in one byte); pageSize: a power of two from 512 to 32768.
inline constexpr std::uint16_t kMaxPagesPerBlock = 128;
inline constexpr std::uint16_t kMinPageSize = 512;
inline constexpr std::uint16_t kMaxPageSize = 32768;
inline constexpr std::size_t kMemorySize = 0x10000;  // data and code memory, each

// Status byte values of the status commands (only bit 0 counts).
inline constexpr std::uint8_t kStatusPass = 0x01;
inline constexpr std::uint8_t kStatusFail = 0x00;

// The logical disk behind READ (10) and WRITE (10): 512-byte sectors that
// read zeros until written. Only written sectors that are not all zeros are
// held, so a device never holds more than the disk's size.
inline constexpr std::uint32_t kDiskSectorSize = 512;
inline constexpr std::uint32_t kDiskSectors = 16384;  // 8 MiB

// USB identity defaults: a vendor ID that no vendor holds and a product ID of
// our own choosing (both settable per device).
inline constexpr std::uint16_t kDefaultUsbVendorId = 0xFFFF;
inline constexpr std::uint16_t kDefaultUsbProductId = 0xF1A5;

// Faults injected into one device. Block sets name blocks of the array.
struct Faults {
  std::set<std::uint16_t> eraseFails;    // cmd_bEraseBlock answers DeviceFail
  std::set<std::uint16_t> programFails;  // cmd_bProgramPage answers DeviceFail
  std::set<std::uint16_t> readFails;     // cmd_bReadPage answers DeviceFail
  std::set<std::uint16_t> bitErrors;     // cmd_bReadPage flips one bit of the data it returns
  // Commands the device answers as unknown (CHECK CONDITION, sense 0x20, no
  // data), each as opcode << 8 | CDB byte 1: a controller without them.
  std::set<std::uint16_t> unknownCommands;
  // The link: after this many commands have been answered, the next one is
  // never answered and the link drops (the socket closes, like a pulled
  // cable). With dropMidCommand the drop happens after part of that command's
  // data has moved.
  std::optional<std::uint64_t> dropAfterCommands;
  bool dropMidCommand = false;
  // After this many commands have been answered, the next one is never
  // answered, but the link stays up (the host's time-out must fire).
  std::optional<std::uint64_t> hangAfterCommands;
  // Both counts run from the moment the faults were set (construction or
  // setFaults) over every connection; once reached, every later command drops
  // or hangs as well, like a device that has died, until the faults change.
};

struct Profile {
  Geometry geometry;
  bool supported = true;                    // false: INQUIRY says not removable (0x00 0x00 ...)
  std::vector<std::uint8_t> inquiryHeader;  // when not empty, replaces the 8-byte INQUIRY header
  std::uint32_t capacityBlockLength = 512;  // READ CAPACITY block length, 0 allowed
  std::string version = "ZANQ006GHB";       // at VersionAddress in code memory, padded with 0 to 16
  std::set<std::uint16_t> factoryBad;       // blocks bad from the start
  std::chrono::milliseconds blankCheckDuration{3000};
  bool acceptsBlankCheck = true;  // false: cmd_bStartBlankCheck answers DeviceFail
  bool movePasses = true;
  Faults faults;
  std::size_t traceLimit = 100000;  // the trace keeps this many latest commands
  // Served as a USB device: vendor and product ID, and the serial number
  // (empty: the USB layer makes one unique per device).
  std::uint16_t usbVendorId = kDefaultUsbVendorId;
  std::uint16_t usbProductId = kDefaultUsbProductId;
  std::string usbSerial;
};

// Whether the profile describes a device the model can hold; else the reason.
common::Result<void> validateProfile(const Profile& profile);

// Which way a command's data moves: none, to the host (in) or from it (out).
enum class Direction : std::uint8_t { None, In, Out };

// One command as the host hands it over.
struct Command {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;  // 1 to 16
  Direction direction = Direction::None;
  // In: the most bytes the host takes; out: the bytes it sends.
  std::uint32_t transferLength = 0;
  // Out: the data bytes that came (the device checks that they are all there).
  std::span<const std::uint8_t> dataOut;
};

// How a command ended: Pass or DeviceFail for the status commands, Good for
// those without a status byte (memory commands, cmd_bStartup, INQUIRY, READ
// CAPACITY), CheckCondition, or never answered (Dropped, Hung). The trace's
// text names them "pass", "devicefail", "good", "checkcondition", "dropped"
// and "hung".
enum class Outcome : std::uint8_t { Good, Pass, DeviceFail, CheckCondition, Dropped, Hung };

// One command as the device saw it.
struct TraceEntry {
  std::chrono::system_clock::time_point time;
  std::vector<std::uint8_t> cdb;
  Direction direction = Direction::None;
  std::uint32_t transferLength = 0;
  Outcome outcome = Outcome::Good;
};

// What the device does with one command.
struct Answer {
  enum class Link { Answered, Drop, DropMidData, Hang } link = Link::Answered;
  std::uint8_t scsiStatus = 0;
  std::vector<std::uint8_t> dataIn;  // at most the transfer length
  // Of the data-out bytes, how many the command used (the rest were dropped).
  std::uint32_t dataOutTaken = 0;
  // The request cannot carry the data the command moves: the wrong
  // direction, or less room than the command needs (always with CHECK
  // CONDITION). A USB host hears this as a phase error.
  bool phaseError = false;
};

class Device {
 public:
  // The profile must pass validateProfile(): one that does not is the
  // caller's mistake, and throws std::invalid_argument.
  explicit Device(Profile profile);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Runs one command. Thread-safe.
  Answer execute(const Command& command);

  // Inspection, for tests and for the daemon's queries.
  const Profile& profile() const;         // as constructed; faults() gives the current faults
  bool isBad(std::uint16_t block) const;  // factory-bad, marked, or beyond the array
  std::set<std::uint16_t> badBlocks() const;
  // pageSize bytes; empty for a page beyond the array.
  std::vector<std::uint8_t> page(std::uint32_t absolutePage) const;
  std::optional<std::array<std::uint8_t, 4>> blankCheckTimings() const;  // from cmd_bStartBlankCheck
  std::vector<TraceEntry> trace() const;                                 // oldest first, at most profile().traceLimit
  std::uint64_t commandCount() const;                                    // commands received in the device's life
  std::size_t storedPageCount() const;                                   // pages held in memory (not erased)
  std::size_t storedPageBytes() const;  // bytes of page data held (compact pages hold none)
  bool blankCheckRunning() const;
  Faults faults() const;
  std::vector<std::uint8_t> dataMemory(std::uint16_t address, std::size_t n) const;  // wraps at 0xFFFF

  // Changes while the device runs. Restarts the drop and hang counts.
  void setFaults(const Faults& faults);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One trace entry as a line of text: time, CDB in hex, direction, length, outcome.
std::string formatTraceEntry(const TraceEntry& e);

}  // namespace flashsim
