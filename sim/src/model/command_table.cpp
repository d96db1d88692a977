// The commands the device knows, how a command finds its handler, and the
// handlers of the vendor command set.
#include <algorithm>

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"
#include "model/device_impl.hpp"

namespace flashsim {

using D = Direction;
const Device::Impl::Known Device::Impl::kCommands[] = {
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadXdata, 6, D::In, &Impl::readMemory},
    {common::vendor_opcodes::kOpWrite, common::vendor_opcodes::kSubWriteXdata, 6, D::Out, &Impl::writeXdata},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadCode, 6, D::In, &Impl::readMemory},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubStartup, 6, D::In, &Impl::startup},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubMove, 6, D::In, &Impl::move},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubEraseBlock, 6, D::In, &Impl::eraseBlock},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubProgramPage, 10, D::In, &Impl::programPage},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubReadPage, 10, D::In, &Impl::readPage},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubBlockStatus, 6, D::In, &Impl::blockStatus},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubMarkBad, 10, D::In, &Impl::markBad},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubStartBlankCheck, 6, D::In, &Impl::startBlankCheck},
    {common::vendor_opcodes::kOpRead, common::vendor_opcodes::kSubPollBlankCheck, 6, D::In, &Impl::pollBlankCheck},
    {kOpTestUnitReady, -1, 6, D::None, &Impl::testUnitReady},
    {kOpRequestSense, -1, 6, D::In, &Impl::requestSense},
    {common::vendor_opcodes::kOpInquiry, -1, 6, D::In, &Impl::inquiry},
    {kOpModeSense6, -1, 6, D::In, &Impl::modeSense6},
    {kOpStartStopUnit, -1, 6, D::None, &Impl::testUnitReady},
    {kOpPreventAllowRemoval, -1, 6, D::None, &Impl::testUnitReady},
    // The vendor form of READ CAPACITY has a 6-byte CDB; a 10-byte CDB is the standard one.
    {common::vendor_opcodes::kOpReadCapacity, -1, 6, D::In, &Impl::readCapacity6},
    {common::vendor_opcodes::kOpReadCapacity, -1, 10, D::In, &Impl::readCapacity10},
    {kOpRead10, -1, 10, D::In, &Impl::readWrite10},
    {kOpWrite10, -1, 10, D::Out, &Impl::readWrite10},
    {kOpSynchronizeCache10, -1, 10, D::None, &Impl::testUnitReady},
    {kOpModeSense10, -1, 10, D::In, &Impl::modeSense10},
};

Answer Device::Impl::run(const Command& command, Outcome& outcome) {
  const std::uint8_t* cdb = command.cdb.data();
  if (faults.unknownCommands.count(static_cast<std::uint16_t>(cdb[0] << 8 | cdb[1])) != 0) {
    return refuse(outcome, kSenseInvalidOpcode);
  }
  bool opcodeKnown = false;
  const Known* known = nullptr;
  for (const Known& k : kCommands) {
    if (k.opcode != cdb[0]) {
      continue;
    }
    opcodeKnown = true;
    // Of the layouts that fit the CDB, the longest (READ CAPACITY has two).
    if ((k.sub < 0 || k.sub == cdb[1]) && k.cdbLength <= command.cdbLength &&
        (known == nullptr || k.cdbLength > known->cdbLength)) {
      known = &k;
    }
  }
  if (!opcodeKnown) {
    return refuse(outcome, kSenseInvalidOpcode);
  }
  if (known == nullptr) {
    return refuse(outcome, kSenseInvalidField);
  }
  if (known->direction != command.direction) {
    // A command that moves data in the other direction (or none) than the
    // host asked for; one without data cannot be a phase error.
    return refuse(outcome, kSenseInvalidField, known->direction != Direction::None);
  }
  return (this->*known->handler)(Call{command, Clock::now()}, outcome);
}

Answer Device::Impl::status(const Call& c, bool pass, Outcome& outcome) {
  Answer a;
  outcome = pass ? Outcome::Pass : Outcome::DeviceFail;
  if (c.cmd.transferLength > 0) {
    a.dataIn.push_back(pass ? kStatusPass : kStatusFail);
  }
  return a;
}

Answer Device::Impl::refuse(Outcome& outcome, Sense s, bool phaseError) {
  outcome = Outcome::CheckCondition;
  sense = s;
  Answer a;
  a.scsiStatus = common::vendor_opcodes::kStatusCheckCondition;
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

Answer Device::Impl::readMemory(const Call& c, Outcome& o) {
  Answer a;
  a.dataIn.resize(c.cmd.transferLength);
  readMemory(c.cdb()[1] == common::vendor_opcodes::kSubReadXdata ? data : code,
             common::byte_order::getLe16(c.cdb() + 2), a.dataIn.data(), a.dataIn.size());
  o = Outcome::Good;
  return a;
}

Answer Device::Impl::writeXdata(const Call& c, Outcome& o) {
  if (c.cmd.dataOut.size() != c.cmd.transferLength) {
    return refuse(o, kSenseInvalidField);
  }
  writeData(common::byte_order::getLe16(c.cdb() + 2), c.cmd.dataOut.data(), c.cmd.dataOut.size());
  o = Outcome::Good;
  Answer a;
  a.dataOutTaken = c.cmd.transferLength;
  return a;
}

Answer Device::Impl::startup(const Call& c, Outcome& o) { return good(o, {kStatusPass}, c.cmd.transferLength); }

Answer Device::Impl::move(const Call& c, Outcome& o) { return status(c, profile.movePasses, o); }

Answer Device::Impl::eraseBlock(const Call& c, Outcome& o) {
  const std::uint16_t block = common::byte_order::getLe16(c.cdb() + 2);
  if (block >= profile.geometry.blockCount || faults.eraseFails.count(block) != 0) {
    return status(c, false, o);
  }
  nand.erase(block);
  return status(c, true, o);
}

Answer Device::Impl::programPage(const Call& c, Outcome& o) {
  const std::uint32_t page = common::byte_order::getLe32(c.cdb() + 2);
  if (page >= nand.pageCount() || faults.programFails.count(nand.blockOf(page)) != 0) {
    return status(c, false, o);
  }
  std::vector<std::uint8_t>& buffer = pageScratch;
  buffer.resize(profile.geometry.pageSize);
  readMemory(data, common::byte_order::getLe16(c.cdb() + 8), buffer.data(), buffer.size());
  nand.program(page, buffer.data());
  return status(c, true, o);
}

Answer Device::Impl::readPage(const Call& c, Outcome& o) {
  const std::uint32_t page = common::byte_order::getLe32(c.cdb() + 2);
  if (page >= nand.pageCount() || faults.readFails.count(nand.blockOf(page)) != 0) {
    return status(c, false, o);
  }
  std::vector<std::uint8_t>& buffer = pageScratch;
  buffer.resize(profile.geometry.pageSize);
  nand.read(page, buffer.data());
  if (faults.bitErrors.count(nand.blockOf(page)) != 0) {
    buffer[0] ^= 0x01;  // one flipped bit in the data the device returns
  }
  writeData(common::byte_order::getLe16(c.cdb() + 6), buffer.data(), buffer.size());
  return status(c, true, o);
}

Answer Device::Impl::blockStatus(const Call& c, Outcome& o) {
  const std::uint32_t page = common::byte_order::getLe32(c.cdb() + 2);
  return status(c, page < nand.pageCount() && bad.count(nand.blockOf(page)) == 0, o);
}

Answer Device::Impl::markBad(const Call& c, Outcome& o) {
  const std::uint32_t page = common::byte_order::getLe32(c.cdb() + 2);
  if (page >= nand.pageCount()) {
    return status(c, false, o);
  }
  bad.insert(nand.blockOf(page));
  return status(c, true, o);
}

Answer Device::Impl::startBlankCheck(const Call& c, Outcome& o) {
  timings = std::array<std::uint8_t, 4>{c.cdb()[2], c.cdb()[3], c.cdb()[4], c.cdb()[5]};
  if (!profile.acceptsBlankCheck) {
    return status(c, false, o);
  }
  blankCheckEnds = c.now + profile.blankCheckDuration;  // a new start begins afresh
  return status(c, true, o);
}

Answer Device::Impl::pollBlankCheck(const Call& c, Outcome& o) {
  // Pass also when no check was ever started: nothing is running.
  return status(c, !blankCheckRunning(c.now), o);
}

}  // namespace flashsim
