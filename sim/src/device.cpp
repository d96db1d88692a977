#include "flashsim/device.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"

namespace flashsim {
namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome : std::uint8_t { Good, Pass, DeviceFail, CheckCondition, Dropped, Hung };

const char* outcomeName(Outcome o) {
  switch (o) {
    case Outcome::Good: return "good";
    case Outcome::Pass: return "pass";
    case Outcome::DeviceFail: return "devicefail";
    case Outcome::CheckCondition: return "checkcondition";
    case Outcome::Dropped: return "dropped";
    case Outcome::Hung: return "hung";
  }
  return "?";
}

// The trace as kept in memory: fixed size, no allocation per command.
struct CompactTrace {
  std::chrono::system_clock::time_point time;
  std::array<std::uint8_t, 16> cdb{};
  std::uint32_t transferLength = 0;
  std::uint8_t cdbLength = 0;
  wire::Direction direction = wire::Direction::None;
  Outcome outcome = Outcome::Good;
};

// Standard disk commands besides INQUIRY and READ CAPACITY.
constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpRequestSense = 0x03;
constexpr std::uint8_t kOpModeSense6 = 0x1A;
constexpr std::uint8_t kOpStartStopUnit = 0x1B;
constexpr std::uint8_t kOpPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2A;
constexpr std::uint8_t kOpSynchronizeCache10 = 0x35;
constexpr std::uint8_t kOpModeSense10 = 0x5A;

// Fixed-format sense: key, additional sense code and qualifier.
struct Sense {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};
constexpr std::uint8_t kKeyIllegalRequest = 0x05;
constexpr Sense kSenseInvalidOpcode{kKeyIllegalRequest, 0x20, 0};
constexpr Sense kSenseLbaOutOfRange{kKeyIllegalRequest, 0x21, 0};
constexpr Sense kSenseInvalidField{kKeyIllegalRequest, 0x24, 0};

bool powerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

// One NAND page. Without bytes, every byte of the page is `fill`.
struct PageSlot {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint8_t fill = 0xFF;
};

}  // namespace

std::string validateProfile(const Profile& p) {
  const Geometry& g = p.geometry;
  if (g.blockCount == 0) {
    return "the array needs at least one block";
  }
  if (!powerOfTwo(g.pagesPerBlock) || g.pagesPerBlock > kMaxPagesPerBlock) {
    return "pages per block must be a power of two from 1 to 128";
  }
  if (!powerOfTwo(g.pageSize) || g.pageSize < kMinPageSize || g.pageSize > kMaxPageSize) {
    return "the page size must be a power of two from 512 to 32768";
  }
  if (g.rawRecord && g.rawRecord->size() != 10) {
    return "a raw geometry record has exactly 10 bytes";
  }
  if (!p.inquiryHeader.empty() && p.inquiryHeader.size() != 8) {
    return "an INQUIRY header has exactly 8 bytes";
  }
  if (p.version.size() > 16) {
    return "the version string has at most 16 characters";
  }
  for (std::uint16_t b : p.factoryBad) {
    if (b >= g.blockCount) {
      return "factory-bad block " + std::to_string(b) + " lies beyond the array";
    }
  }
  if (p.blankCheckDuration.count() < 0) {
    return "the blank-check duration cannot be negative";
  }
  if (p.traceLimit == 0) {
    return "the trace must keep at least one command";
  }
  if (p.usbSerial.size() > 32 ||
      !std::all_of(p.usbSerial.begin(), p.usbSerial.end(),
                   [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
    return "the USB serial number has at most 32 letters and digits";
  }
  return {};
}

struct Device::Impl {
  explicit Impl(Profile p) : profile(std::move(p)) {}

  const Profile profile;
  std::uint32_t pageShift = 0;  // log2 of pages per block
  std::uint32_t pageSizeShift = 0;

  mutable std::mutex mutex;
  Faults faults;
  std::uint64_t commandsSinceFaults = 0;
  std::uint64_t commands = 0;
  std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kMemorySize, 0);
  std::vector<std::uint8_t> code = std::vector<std::uint8_t>(kMemorySize, 0);
  // One entry per block; empty when the whole block is erased.
  std::vector<std::unique_ptr<PageSlot[]>> blocks;
  std::size_t storedPages = 0;
  std::size_t storedBytes = 0;
  std::set<std::uint16_t> bad;
  std::optional<std::array<std::uint8_t, 4>> timings;
  std::optional<Clock::time_point> blankCheckEnds;
  std::vector<CompactTrace> trace;  // a ring once it holds traceLimit entries
  // Page-sized work areas, kept to spare an allocation per NAND command.
  std::vector<std::uint8_t> pageScratch;
  std::vector<std::uint8_t> programScratch;
  std::size_t traceNext = 0;

  std::uint32_t pageCount() const {
    return static_cast<std::uint32_t>(profile.geometry.blockCount) << pageShift;
  }

  void writeData(std::uint16_t address, const std::uint8_t* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      data[(address + i) & 0xFFFF] = src[i];
    }
  }

  static void readMemory(const std::vector<std::uint8_t>& mem, std::uint16_t address,
                         std::uint8_t* dst, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      dst[i] = mem[(address + i) & 0xFFFF];
    }
  }

  const PageSlot* slot(std::uint32_t page) const {
    const auto& block = blocks[page >> pageShift];
    return block ? &block[page & ((1U << pageShift) - 1)] : nullptr;
  }

  // Copies page `page` into dst (pageSize bytes).
  void readPage(std::uint32_t page, std::uint8_t* dst) const {
    const std::size_t size = profile.geometry.pageSize;
    const PageSlot* s = slot(page);
    if (s == nullptr) {
      std::memset(dst, 0xFF, size);
    } else if (s->bytes) {
      std::memcpy(dst, s->bytes.get(), size);
    } else {
      std::memset(dst, s->fill, size);
    }
  }

  void eraseBlock(std::uint16_t block) {
    auto& pages = blocks[block];
    if (!pages) {
      return;
    }
    for (std::uint32_t i = 0; i < (1U << pageShift); ++i) {
      if (pages[i].bytes) {
        storedBytes -= profile.geometry.pageSize;
      }
      if (pages[i].bytes || pages[i].fill != 0xFF) {
        --storedPages;
      }
    }
    pages.reset();
  }

  // NAND programming: the page becomes the AND of what it held and `src`.
  void programPage(std::uint32_t page, const std::uint8_t* src) {
    const std::size_t size = profile.geometry.pageSize;
    auto& pages = blocks[page >> pageShift];
    if (!pages) {
      pages = std::make_unique<PageSlot[]>(1U << pageShift);
    }
    PageSlot& s = pages[page & ((1U << pageShift) - 1)];
    const bool wasStored = s.bytes || s.fill != 0xFF;
    std::vector<std::uint8_t>& result = programScratch;
    result.resize(size);
    readPage(page, result.data());
    for (std::size_t i = 0; i < size; ++i) {
      result[i] &= src[i];
    }
    const bool uniform =
        std::all_of(result.begin(), result.end(), [&](std::uint8_t b) { return b == result[0]; });
    if (s.bytes) {
      storedBytes -= size;
    }
    if (uniform) {
      s.bytes.reset();
      s.fill = result[0];
    } else {
      if (!s.bytes) {
        s.bytes = std::make_unique<std::uint8_t[]>(size);
      }
      std::memcpy(s.bytes.get(), result.data(), size);
      storedBytes += size;
    }
    const bool isStored = s.bytes || s.fill != 0xFF;
    if (isStored && !wasStored) {
      ++storedPages;
    } else if (!isStored && wasStored) {
      --storedPages;
    }
  }

  void record(const wire::RequestHeader& r, Outcome o) {
    CompactTrace t;
    t.time = std::chrono::system_clock::now();
    t.cdb = r.cdb;
    t.cdbLength = r.cdbLength;
    t.direction = r.direction;
    t.transferLength = r.transferLength;
    t.outcome = o;
    if (trace.size() < profile.traceLimit) {
      trace.push_back(t);
    } else {
      trace[traceNext] = t;
      traceNext = (traceNext + 1) % trace.size();
    }
  }

  bool blankCheckRunning(Clock::time_point now) const {
    return blankCheckEnds && now < *blankCheckEnds;
  }

  // One request as the handlers see it.
  struct Call {
    const wire::RequestHeader& r;
    const std::vector<std::uint8_t>& dataOut;
    Clock::time_point now;
  };
  using Handler = Answer (Impl::*)(const Call&, Outcome&);

  // One command the device knows: operation code, the sub-command in CDB
  // byte 1 (vendor commands; -1 for any), the length of its CDB layout, the
  // direction its data moves and its handler.
  struct Command {
    std::uint8_t opcode;
    int sub;
    std::uint8_t cdbLength;
    wire::Direction direction;
    Handler handler;
  };
  static const Command kCommands[];

  Answer run(const wire::RequestHeader& r, const std::vector<std::uint8_t>& dataOut,
             Outcome& outcome);
  Answer status(const wire::RequestHeader& r, bool pass, Outcome& outcome) const;
  Answer refuse(Outcome& outcome, Sense s, bool phaseError = false);
  static Answer good(Outcome& outcome, std::vector<std::uint8_t> dataIn, std::uint32_t limit);

  // Vendor commands.
  Answer readMemory(const Call& c, Outcome& o);
  Answer writeXdata(const Call& c, Outcome& o);
  Answer startup(const Call& c, Outcome& o);
  Answer move(const Call& c, Outcome& o);
  Answer eraseBlockCmd(const Call& c, Outcome& o);
  Answer programPageCmd(const Call& c, Outcome& o);
  Answer readPageCmd(const Call& c, Outcome& o);
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

  Sense sense{};  // of the last failed command, until REQUEST SENSE reads it
  // The logical disk: written sectors that are not all zeros.
  std::map<std::uint32_t, std::unique_ptr<std::uint8_t[]>> disk;
};

using D = wire::Direction;
const Device::Impl::Command Device::Impl::kCommands[] = {
    {vendor::kOpRead, vendor::kSubReadXdata, 6, D::In, &Impl::readMemory},
    {vendor::kOpWrite, vendor::kSubWriteXdata, 6, D::Out, &Impl::writeXdata},
    {vendor::kOpRead, vendor::kSubReadCode, 6, D::In, &Impl::readMemory},
    {vendor::kOpRead, vendor::kSubStartup, 6, D::In, &Impl::startup},
    {vendor::kOpRead, vendor::kSubMove, 6, D::In, &Impl::move},
    {vendor::kOpRead, vendor::kSubEraseBlock, 6, D::In, &Impl::eraseBlockCmd},
    {vendor::kOpRead, vendor::kSubProgramPage, 10, D::In, &Impl::programPageCmd},
    {vendor::kOpRead, vendor::kSubReadPage, 10, D::In, &Impl::readPageCmd},
    {vendor::kOpRead, vendor::kSubBlockStatus, 6, D::In, &Impl::blockStatus},
    {vendor::kOpRead, vendor::kSubMarkBad, 10, D::In, &Impl::markBad},
    {vendor::kOpRead, vendor::kSubStartBlankCheck, 6, D::In, &Impl::startBlankCheck},
    {vendor::kOpRead, vendor::kSubPollBlankCheck, 6, D::In, &Impl::pollBlankCheck},
    {kOpTestUnitReady, -1, 6, D::None, &Impl::testUnitReady},
    {kOpRequestSense, -1, 6, D::In, &Impl::requestSense},
    {vendor::kOpInquiry, -1, 6, D::In, &Impl::inquiry},
    {kOpModeSense6, -1, 6, D::In, &Impl::modeSense6},
    {kOpStartStopUnit, -1, 6, D::None, &Impl::testUnitReady},
    {kOpPreventAllowRemoval, -1, 6, D::None, &Impl::testUnitReady},
    // The vendor form of READ CAPACITY has a 6-byte CDB; a 10-byte CDB is the standard one.
    {vendor::kOpReadCapacity, -1, 6, D::In, &Impl::readCapacity6},
    {vendor::kOpReadCapacity, -1, 10, D::In, &Impl::readCapacity10},
    {kOpRead10, -1, 10, D::In, &Impl::readWrite10},
    {kOpWrite10, -1, 10, D::Out, &Impl::readWrite10},
    {kOpSynchronizeCache10, -1, 10, D::None, &Impl::testUnitReady},
    {kOpModeSense10, -1, 10, D::In, &Impl::modeSense10},
};

Answer Device::Impl::status(const wire::RequestHeader& r, bool pass, Outcome& outcome) const {
  Answer a;
  outcome = pass ? Outcome::Pass : Outcome::DeviceFail;
  if (r.transferLength > 0) {
    a.dataIn.push_back(pass ? kStatusPass : kStatusFail);
  }
  return a;
}

Answer Device::Impl::refuse(Outcome& outcome, Sense s, bool phaseError) {
  outcome = Outcome::CheckCondition;
  sense = s;
  Answer a;
  a.scsiStatus = vendor::kStatusCheckCondition;
  a.phaseError = phaseError;
  return a;
}

Answer Device::Impl::good(Outcome& outcome, std::vector<std::uint8_t> dataIn, std::uint32_t limit) {
  outcome = Outcome::Good;
  dataIn.resize(std::min<std::size_t>(dataIn.size(), limit));
  Answer a;
  a.dataIn = std::move(dataIn);
  return a;
}

// Runs one command on the model; the caller holds the mutex.
Answer Device::Impl::run(const wire::RequestHeader& r, const std::vector<std::uint8_t>& dataOut,
                         Outcome& outcome) {
  if (faults.unknownCommands.count(static_cast<std::uint16_t>(r.cdb[0] << 8 | r.cdb[1])) != 0) {
    return refuse(outcome, kSenseInvalidOpcode);
  }
  bool opcodeKnown = false;
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (c.opcode != r.cdb[0]) {
      continue;
    }
    opcodeKnown = true;
    // Of the layouts that fit the CDB, the longest (READ CAPACITY has two).
    if ((c.sub < 0 || c.sub == r.cdb[1]) && c.cdbLength <= r.cdbLength &&
        (command == nullptr || c.cdbLength > command->cdbLength)) {
      command = &c;
    }
  }
  if (!opcodeKnown) {
    return refuse(outcome, kSenseInvalidOpcode);
  }
  if (command == nullptr) {
    return refuse(outcome, kSenseInvalidField);
  }
  if (command->direction != r.direction) {
    // A command that moves data in the other direction (or none) than the
    // host asked for; one without data cannot be a phase error.
    return refuse(outcome, kSenseInvalidField, command->direction != wire::Direction::None);
  }
  return (this->*command->handler)(Call{r, dataOut, Clock::now()}, outcome);
}

Answer Device::Impl::readMemory(const Call& c, Outcome& o) {
  Answer a;
  a.dataIn.resize(c.r.transferLength);
  readMemory(c.r.cdb[1] == vendor::kSubReadXdata ? data : code, byteorder::getLe16(c.r.cdb.data() + 2), a.dataIn.data(),
             a.dataIn.size());
  o = Outcome::Good;
  return a;
}

Answer Device::Impl::writeXdata(const Call& c, Outcome& o) {
  if (c.dataOut.size() != c.r.transferLength) {
    return refuse(o, kSenseInvalidField);
  }
  writeData(byteorder::getLe16(c.r.cdb.data() + 2), c.dataOut.data(), c.dataOut.size());
  o = Outcome::Good;
  Answer a;
  a.dataOutTaken = c.r.transferLength;
  return a;
}

Answer Device::Impl::startup(const Call& c, Outcome& o) {
  return good(o, {kStatusPass}, c.r.transferLength);
}

Answer Device::Impl::move(const Call& c, Outcome& o) { return status(c.r, profile.movePasses, o); }

Answer Device::Impl::eraseBlockCmd(const Call& c, Outcome& o) {
  const std::uint16_t block = byteorder::getLe16(c.r.cdb.data() + 2);
  if (block >= profile.geometry.blockCount || faults.eraseFails.count(block) != 0) {
    return status(c.r, false, o);
  }
  eraseBlock(block);
  return status(c.r, true, o);
}

Answer Device::Impl::programPageCmd(const Call& c, Outcome& o) {
  const std::uint32_t page = byteorder::getLe32(c.r.cdb.data() + 2);
  if (page >= pageCount() || faults.programFails.count(page >> pageShift) != 0) {
    return status(c.r, false, o);
  }
  std::vector<std::uint8_t>& buffer = pageScratch;
  buffer.resize(profile.geometry.pageSize);
  readMemory(data, byteorder::getLe16(c.r.cdb.data() + 8), buffer.data(), buffer.size());
  programPage(page, buffer.data());
  return status(c.r, true, o);
}

Answer Device::Impl::readPageCmd(const Call& c, Outcome& o) {
  const std::uint32_t page = byteorder::getLe32(c.r.cdb.data() + 2);
  const auto block = static_cast<std::uint16_t>(page >> pageShift);
  if (page >= pageCount() || faults.readFails.count(block) != 0) {
    return status(c.r, false, o);
  }
  std::vector<std::uint8_t>& buffer = pageScratch;
  buffer.resize(profile.geometry.pageSize);
  readPage(page, buffer.data());
  if (faults.bitErrors.count(block) != 0) {
    buffer[0] ^= 0x01;  // one flipped bit in the data the device returns
  }
  writeData(byteorder::getLe16(c.r.cdb.data() + 6), buffer.data(), buffer.size());
  return status(c.r, true, o);
}

Answer Device::Impl::blockStatus(const Call& c, Outcome& o) {
  const std::uint32_t page = byteorder::getLe32(c.r.cdb.data() + 2);
  return status(c.r, page < pageCount() && bad.count(page >> pageShift) == 0, o);
}

Answer Device::Impl::markBad(const Call& c, Outcome& o) {
  const std::uint32_t page = byteorder::getLe32(c.r.cdb.data() + 2);
  if (page >= pageCount()) {
    return status(c.r, false, o);
  }
  bad.insert(static_cast<std::uint16_t>(page >> pageShift));
  return status(c.r, true, o);
}

Answer Device::Impl::startBlankCheck(const Call& c, Outcome& o) {
  timings = std::array<std::uint8_t, 4>{c.r.cdb[2], c.r.cdb[3], c.r.cdb[4], c.r.cdb[5]};
  if (!profile.acceptsBlankCheck) {
    return status(c.r, false, o);
  }
  blankCheckEnds = c.now + profile.blankCheckDuration;  // a new start begins afresh
  return status(c.r, true, o);
}

Answer Device::Impl::pollBlankCheck(const Call& c, Outcome& o) {
  // Pass also when no check was ever started: nothing is running.
  return status(c.r, !blankCheckRunning(c.now), o);
}

Answer Device::Impl::inquiry(const Call& c, Outcome& o) {
  if ((c.r.cdb[1] & 0x01) != 0 || c.r.cdb[2] != 0) {
    return refuse(o, kSenseInvalidField);  // no vital product data pages
  }
  std::vector<std::uint8_t> reply(36, ' ');
  static constexpr std::uint8_t kSupported[8] = {0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
  static constexpr std::uint8_t kNotRemovable[8] = {0x00, 0x00, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
  const std::uint8_t* header = profile.supported ? kSupported : kNotRemovable;
  if (!profile.inquiryHeader.empty()) {
    header = profile.inquiryHeader.data();
  }
  std::copy(header, header + 8, reply.begin());
  static constexpr char kIdentity[] = "FLASHSIMNAND EMULATOR   0001";  // vendor, product, revision
  std::copy(kIdentity, kIdentity + 28, reply.begin() + 8);
  // The command tool leaves the allocation length 0 and takes what its
  // transfer length holds; a host that names one gets at most that.
  const std::uint32_t allocation = std::uint32_t{byteorder::getBe16(c.r.cdb.data() + 3)};
  return good(o, std::move(reply),
              allocation == 0 ? c.r.transferLength : std::min(allocation, c.r.transferLength));
}

Answer Device::Impl::readCapacity6(const Call& c, Outcome& o) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(pageCount()) << pageSizeShift;
  std::uint64_t lastLba = 0;
  if (profile.capacityBlockLength != 0 && bytes >= profile.capacityBlockLength) {
    lastLba = std::min<std::uint64_t>(bytes / profile.capacityBlockLength - 1, 0xFFFFFFFFU);
  }
  std::vector<std::uint8_t> reply(8);
  byteorder::putBe32(reply.data(), static_cast<std::uint32_t>(lastLba));
  byteorder::putBe32(reply.data() + 4, profile.capacityBlockLength);
  return good(o, std::move(reply), c.r.transferLength);
}

Answer Device::Impl::readCapacity10(const Call& c, Outcome& o) {
  std::vector<std::uint8_t> reply(8);
  byteorder::putBe32(reply.data(), kDiskSectors - 1);
  byteorder::putBe32(reply.data() + 4, kDiskSectorSize);
  return good(o, std::move(reply), c.r.transferLength);
}

Answer Device::Impl::testUnitReady(const Call&, Outcome& o) { return good(o, {}, 0); }

Answer Device::Impl::requestSense(const Call& c, Outcome& o) {
  std::vector<std::uint8_t> reply(18, 0);
  reply[0] = 0x70;  // current error, fixed format
  reply[2] = sense.key;
  reply[7] = 10;  // additional length
  reply[12] = sense.asc;
  reply[13] = sense.ascq;
  sense = {};
  return good(o, std::move(reply), std::min<std::uint32_t>(c.r.cdb[4], c.r.transferLength));
}

// MODE SENSE answers the header alone: no block descriptors, no pages, and
// the write-protect bit clear.
Answer Device::Impl::modeSense6(const Call& c, Outcome& o) {
  return good(o, {3, 0, 0, 0}, std::min<std::uint32_t>(c.r.cdb[4], c.r.transferLength));
}

Answer Device::Impl::modeSense10(const Call& c, Outcome& o) {
  return good(o, {0, 6, 0, 0, 0, 0, 0, 0}, std::min<std::uint32_t>(std::uint32_t{byteorder::getBe16(c.r.cdb.data() + 7)}, c.r.transferLength));
}

Answer Device::Impl::readWrite10(const Call& c, Outcome& o) {
  const std::uint32_t lba = byteorder::getBe32(c.r.cdb.data() + 2);
  const std::uint32_t count = std::uint32_t{byteorder::getBe16(c.r.cdb.data() + 7)};
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * kDiskSectorSize;
  if (bytes > c.r.transferLength) {
    return refuse(o, kSenseInvalidField, true);  // the request cannot hold the sectors
  }
  if (static_cast<std::uint64_t>(lba) + count > kDiskSectors) {
    return refuse(o, kSenseLbaOutOfRange);
  }
  const bool write = c.r.cdb[0] == kOpWrite10;
  if (write && c.dataOut.size() < bytes) {
    return refuse(o, kSenseInvalidField);
  }
  Answer a;
  if (!write) {
    a.dataIn.assign(bytes, 0);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto at = i * static_cast<std::size_t>(kDiskSectorSize);
    auto it = disk.find(lba + i);
    if (!write) {
      if (it != disk.end()) {
        std::memcpy(a.dataIn.data() + at, it->second.get(), kDiskSectorSize);
      }
      continue;
    }
    const std::uint8_t* src = c.dataOut.data() + at;
    if (std::all_of(src, src + kDiskSectorSize, [](std::uint8_t b) { return b == 0; })) {
      if (it != disk.end()) {
        disk.erase(it);
      }
      continue;
    }
    if (it == disk.end()) {
      it = disk.emplace(lba + i, std::make_unique<std::uint8_t[]>(kDiskSectorSize)).first;
    }
    std::memcpy(it->second.get(), src, kDiskSectorSize);
  }
  a.dataOutTaken = write ? static_cast<std::uint32_t>(bytes) : 0;
  o = Outcome::Good;
  return a;
}

Device::Device(Profile profile) {
  const std::string fault = validateProfile(profile);
  if (!fault.empty()) {
    throw std::invalid_argument(fault);
  }
  impl_ = std::make_unique<Impl>(std::move(profile));
  Impl& d = *impl_;
  const Geometry& g = d.profile.geometry;
  d.pageShift = static_cast<std::uint32_t>(std::countr_zero(g.pagesPerBlock));
  d.pageSizeShift = static_cast<std::uint32_t>(std::countr_zero(g.pageSize));
  d.faults = d.profile.faults;
  d.blocks.resize(g.blockCount);
  d.bad = d.profile.factoryBad;

  std::array<std::uint8_t, 10> rec{};
  if (g.rawRecord) {
    std::copy(g.rawRecord->begin(), g.rawRecord->end(), rec.begin());
  } else {
    const std::uint16_t reported = g.reportedBlockCount.value_or(g.blockCount);
    rec[0] = static_cast<std::uint8_t>(reported >> 8);
    rec[1] = static_cast<std::uint8_t>(reported);
    rec[3] = static_cast<std::uint8_t>(g.pagesPerBlock);
    rec[4] = static_cast<std::uint8_t>(d.pageShift);
    rec[5] = static_cast<std::uint8_t>(g.pageSize >> 8);
    rec[6] = static_cast<std::uint8_t>(g.pageSize);
    rec[7] = static_cast<std::uint8_t>(d.pageSizeShift);
  }
  d.writeData(vendor::kGeometryAddress, rec.data(), rec.size());
  std::copy(d.profile.version.begin(), d.profile.version.end(),
            d.code.begin() + vendor::kVersionAddress);
}

Device::~Device() = default;

Answer Device::execute(const wire::RequestHeader& request, const std::vector<std::uint8_t>& dataOut) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  ++d.commands;
  const std::uint64_t index = d.commandsSinceFaults++;
  Answer a;
  Outcome outcome = Outcome::Good;
  if (d.faults.hangAfterCommands && index >= *d.faults.hangAfterCommands) {
    a.link = Answer::Link::Hang;
    outcome = Outcome::Hung;
  } else if (d.faults.dropAfterCommands && index >= *d.faults.dropAfterCommands &&
             !d.faults.dropMidCommand) {
    a.link = Answer::Link::Drop;
    outcome = Outcome::Dropped;
  } else {
    a = d.run(request, dataOut, outcome);
    if (d.faults.dropAfterCommands && index >= *d.faults.dropAfterCommands) {
      // The command was carried out; its answer breaks off on the way back.
      a.link = Answer::Link::DropMidData;
      outcome = Outcome::Dropped;
    }
  }
  d.record(request, outcome);
  return a;
}

const Profile& Device::profile() const { return impl_->profile; }

bool Device::isBad(std::uint16_t block) const {
  std::lock_guard lock(impl_->mutex);
  return block >= impl_->profile.geometry.blockCount || impl_->bad.count(block) != 0;
}

std::set<std::uint16_t> Device::badBlocks() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bad;
}

std::vector<std::uint8_t> Device::page(std::uint32_t absolutePage) const {
  std::lock_guard lock(impl_->mutex);
  if (absolutePage >= impl_->pageCount()) {
    return {};
  }
  std::vector<std::uint8_t> out(impl_->profile.geometry.pageSize);
  impl_->readPage(absolutePage, out.data());
  return out;
}

std::optional<std::array<std::uint8_t, 4>> Device::blankCheckTimings() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->timings;
}

std::vector<TraceEntry> Device::trace() const {
  std::lock_guard lock(impl_->mutex);
  const Impl& d = *impl_;
  std::vector<TraceEntry> out;
  out.reserve(d.trace.size());
  for (std::size_t i = 0; i < d.trace.size(); ++i) {
    const CompactTrace& t = d.trace[(d.traceNext + i) % d.trace.size()];
    TraceEntry e;
    e.time = t.time;
    e.cdb.assign(t.cdb.begin(), t.cdb.begin() + std::min<std::size_t>(t.cdbLength, 16));
    e.direction = t.direction;
    e.transferLength = t.transferLength;
    e.outcome = outcomeName(t.outcome);
    out.push_back(std::move(e));
  }
  return out;
}

std::uint64_t Device::commandCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->commands;
}

std::size_t Device::storedPageCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->storedPages;
}

std::size_t Device::storedPageBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->storedBytes;
}

bool Device::blankCheckRunning() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->blankCheckRunning(Clock::now());
}

Faults Device::faults() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->faults;
}

std::vector<std::uint8_t> Device::dataMemory(std::uint16_t address, std::size_t n) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::uint8_t> out(n);
  Impl::readMemory(impl_->data, address, out.data(), n);
  return out;
}

void Device::setFaults(const Faults& faults) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults = faults;
  impl_->commandsSinceFaults = 0;
}

std::string formatTraceEntry(const TraceEntry& e) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto sinceEpoch = e.time.time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch - secs);
  const std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &tt);
#else
  gmtime_r(&tt, &tm);
#endif
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string line = stamp;
  char frac[16];
  std::snprintf(frac, sizeof frac, ".%06ldZ ", static_cast<long>(micros.count()));
  line += frac;
  for (std::uint8_t b : e.cdb) {
    line += kHex[b >> 4];
    line += kHex[b & 0xF];
  }
  switch (e.direction) {
    case wire::Direction::None: line += " none "; break;
    case wire::Direction::In: line += " in "; break;
    case wire::Direction::Out: line += " out "; break;
  }
  line += std::to_string(e.transferLength);
  line += ' ';
  line += e.outcome;
  return line;
}

}  // namespace flashsim
