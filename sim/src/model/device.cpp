// The Device around its state: the profile's checks, construction, running
// one command under the link faults, and inspection.
#include "flashsim/device.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <stdexcept>

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"
#include "model/device_impl.hpp"

namespace flashsim {
namespace {

bool powerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

common::Result<void> validateProfile(const Profile& p) {
  const Geometry& g = p.geometry;
  if (g.blockCount == 0) {
    return common::Failure{"the array needs at least one block"};
  }
  if (!powerOfTwo(g.pagesPerBlock) || g.pagesPerBlock > kMaxPagesPerBlock) {
    return common::Failure{"pages per block must be a power of two from 1 to 128"};
  }
  if (!powerOfTwo(g.pageSize) || g.pageSize < kMinPageSize || g.pageSize > kMaxPageSize) {
    return common::Failure{"the page size must be a power of two from 512 to 32768"};
  }
  if (g.rawRecord && g.rawRecord->size() != 10) {
    return common::Failure{"a raw geometry record has exactly 10 bytes"};
  }
  if (!p.inquiryHeader.empty() && p.inquiryHeader.size() != 8) {
    return common::Failure{"an INQUIRY header has exactly 8 bytes"};
  }
  if (p.version.size() > 16) {
    return common::Failure{"the version string has at most 16 characters"};
  }
  for (std::uint16_t b : p.factoryBad) {
    if (b >= g.blockCount) {
      return common::Failure{"factory-bad block " + std::to_string(b) + " lies beyond the array"};
    }
  }
  if (p.blankCheckDuration.count() < 0) {
    return common::Failure{"the blank-check duration cannot be negative"};
  }
  if (p.traceLimit == 0) {
    return common::Failure{"the trace must keep at least one command"};
  }
  if (p.usbSerial.size() > 32 || !std::all_of(p.usbSerial.begin(), p.usbSerial.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0;
      })) {
    return common::Failure{"the USB serial number has at most 32 letters and digits"};
  }
  return {};
}

Device::Impl::Impl(Profile p)
    : profile(std::move(p)),
      faults(profile.faults),
      nand(profile.geometry.blockCount, profile.geometry.pagesPerBlock, profile.geometry.pageSize),
      bad(profile.factoryBad),
      trace(profile.traceLimit) {
  const Geometry& g = profile.geometry;
  std::array<std::uint8_t, 10> rec{};
  if (g.rawRecord) {
    std::copy(g.rawRecord->begin(), g.rawRecord->end(), rec.begin());
  } else {
    common::byte_order::putBe16(rec.data(), g.reportedBlockCount.value_or(g.blockCount));
    rec[3] = static_cast<std::uint8_t>(g.pagesPerBlock);
    rec[4] = static_cast<std::uint8_t>(nand.pageShift());
    common::byte_order::putBe16(rec.data() + 5, g.pageSize);
    rec[7] = static_cast<std::uint8_t>(std::countr_zero(g.pageSize));
  }
  writeData(common::vendor_opcodes::kGeometryAddress, rec.data(), rec.size());
  std::copy(profile.version.begin(), profile.version.end(), code.begin() + common::vendor_opcodes::kVersionAddress);
}

void Device::Impl::writeData(std::uint16_t address, const std::uint8_t* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    data[(address + i) & 0xFFFF] = src[i];
  }
}

void Device::Impl::readMemory(const std::vector<std::uint8_t>& mem, std::uint16_t address, std::uint8_t* dst,
                              std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    dst[i] = mem[(address + i) & 0xFFFF];
  }
}

Device::Device(Profile profile) {
  if (const common::Result<void> valid = validateProfile(profile); !valid) {
    throw std::invalid_argument(valid.error());
  }
  impl_ = std::make_unique<Impl>(std::move(profile));
}

Device::~Device() = default;

Answer Device::execute(const Command& command) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  ++d.commands;
  const std::uint64_t index = d.commandsSinceFaults++;
  Answer a;
  Outcome outcome = Outcome::Good;
  if (d.faults.hangAfterCommands && index >= *d.faults.hangAfterCommands) {
    a.link = Answer::Link::Hang;
    outcome = Outcome::Hung;
  } else if (d.faults.dropAfterCommands && index >= *d.faults.dropAfterCommands && !d.faults.dropMidCommand) {
    a.link = Answer::Link::Drop;
    outcome = Outcome::Dropped;
  } else {
    a = d.run(command, outcome);
    if (d.faults.dropAfterCommands && index >= *d.faults.dropAfterCommands) {
      // The command was carried out; its answer breaks off on the way back.
      a.link = Answer::Link::DropMidData;
      outcome = Outcome::Dropped;
    }
  }
  d.trace.record(command, outcome);
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
  if (absolutePage >= impl_->nand.pageCount()) {
    return {};
  }
  std::vector<std::uint8_t> out(impl_->profile.geometry.pageSize);
  impl_->nand.read(absolutePage, out.data());
  return out;
}

std::optional<std::array<std::uint8_t, 4>> Device::blankCheckTimings() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->timings;
}

std::vector<TraceEntry> Device::trace() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->trace.entries();
}

std::uint64_t Device::commandCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->commands;
}

std::size_t Device::storedPageCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->nand.storedPages();
}

std::size_t Device::storedPageBytes() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->nand.storedBytes();
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

}  // namespace flashsim
