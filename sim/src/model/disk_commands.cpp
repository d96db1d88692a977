// The standard disk commands: what a host's storage driver sends by itself
// (INQUIRY, READ CAPACITY, TEST UNIT READY, REQUEST SENSE, MODE SENSE), and
// READ/WRITE (10) on a small logical disk of its own, apart from the NAND.
#include <algorithm>
#include <cstring>

#include "common/byte_order.hpp"
#include "model/device_impl.hpp"

namespace flashsim {

Answer Device::Impl::inquiry(const Call& c, Outcome& o) {
  if ((c.cdb()[1] & 0x01) != 0 || c.cdb()[2] != 0) {
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
  const std::uint32_t allocation = common::byte_order::getBe16(c.cdb() + 3);
  const std::uint32_t length = c.cmd.transferLength;
  return good(o, std::move(reply), allocation == 0 ? length : std::min(allocation, length));
}

Answer Device::Impl::readCapacity6(const Call& c, Outcome& o) {
  const std::uint64_t bytes = std::uint64_t{nand.pageCount()} * profile.geometry.pageSize;
  std::uint64_t lastLba = 0;
  if (profile.capacityBlockLength != 0 && bytes >= profile.capacityBlockLength) {
    lastLba = std::min<std::uint64_t>(bytes / profile.capacityBlockLength - 1, 0xFFFFFFFFU);
  }
  std::vector<std::uint8_t> reply(8);
  common::byte_order::putBe32(reply.data(), static_cast<std::uint32_t>(lastLba));
  common::byte_order::putBe32(reply.data() + 4, profile.capacityBlockLength);
  return good(o, std::move(reply), c.cmd.transferLength);
}

Answer Device::Impl::readCapacity10(const Call& c, Outcome& o) {
  std::vector<std::uint8_t> reply(8);
  common::byte_order::putBe32(reply.data(), kDiskSectors - 1);
  common::byte_order::putBe32(reply.data() + 4, kDiskSectorSize);
  return good(o, std::move(reply), c.cmd.transferLength);
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
  return good(o, std::move(reply), std::min<std::uint32_t>(c.cdb()[4], c.cmd.transferLength));
}

// MODE SENSE answers the header alone: no block descriptors, no pages, and
// the write-protect bit clear.
Answer Device::Impl::modeSense6(const Call& c, Outcome& o) {
  return good(o, {3, 0, 0, 0}, std::min<std::uint32_t>(c.cdb()[4], c.cmd.transferLength));
}

Answer Device::Impl::modeSense10(const Call& c, Outcome& o) {
  return good(o, {0, 6, 0, 0, 0, 0, 0, 0},
              std::min<std::uint32_t>(common::byte_order::getBe16(c.cdb() + 7), c.cmd.transferLength));
}

Answer Device::Impl::readWrite10(const Call& c, Outcome& o) {
  const std::uint32_t lba = common::byte_order::getBe32(c.cdb() + 2);
  const std::uint32_t count = common::byte_order::getBe16(c.cdb() + 7);
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * kDiskSectorSize;
  if (bytes > c.cmd.transferLength) {
    return refuse(o, kSenseInvalidField, true);  // the request cannot hold the sectors
  }
  if (static_cast<std::uint64_t>(lba) + count > kDiskSectors) {
    return refuse(o, kSenseLbaOutOfRange);
  }
  const bool write = c.cdb()[0] == kOpWrite10;
  if (write && c.cmd.dataOut.size() < bytes) {
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
    const std::uint8_t* src = c.cmd.dataOut.data() + at;
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

}  // namespace flashsim
