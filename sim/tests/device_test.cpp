// The device model driven in-process through Device::execute.
#include "flashsim/device.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "common/vendor_opcodes.hpp"

namespace flashsim::test {
namespace {

struct Cmd {
  std::vector<std::uint8_t> cdb;
  Direction dir = Direction::In;
  std::uint32_t length = 1;
};

Command command(const Cmd& c, std::span<const std::uint8_t> dataOut = {}) {
  Command command;
  command.cdbLength = static_cast<std::uint8_t>(c.cdb.size());
  command.direction = c.dir;
  command.transferLength = c.length;
  command.dataOut = dataOut;
  std::copy(c.cdb.begin(), c.cdb.end(), command.cdb.begin());
  return command;
}

class Host {
 public:
  explicit Host(Profile p = {}) : dev(std::move(p)) {}

  Answer run(const Cmd& c, const std::vector<std::uint8_t>& out = {}) { return dev.execute(command(c, out)); }

  // The status byte, or -1 when the answer carried none.
  int status(std::vector<std::uint8_t> cdb) {
    const Answer a = run({std::move(cdb)});
    EXPECT_EQ(a.scsiStatus, common::vendor_opcodes::kStatusGood);
    return a.dataIn.empty() ? -1 : a.dataIn[0];
  }
  bool pass(std::vector<std::uint8_t> cdb) { return status(std::move(cdb)) == kStatusPass; }

  std::vector<std::uint8_t> readX(std::uint16_t addr, std::uint32_t n) {
    return run({{0xEF, 0x01, lo(addr), hi(addr), 0, 0}, Direction::In, n}).dataIn;
  }
  void writeX(std::uint16_t addr, const std::vector<std::uint8_t>& bytes) {
    const Answer a =
        run({{0xEE, 0x02, lo(addr), hi(addr), 0, 0}, Direction::Out, static_cast<std::uint32_t>(bytes.size())}, bytes);
    EXPECT_EQ(a.scsiStatus, common::vendor_opcodes::kStatusGood);
  }
  bool erase(std::uint16_t block) { return pass({0xEF, 0x11, lo(block), hi(block), 0, 0}); }
  bool program(std::uint32_t page, std::uint16_t tag = 0) {
    return pass({0xEF, 0x12, b(page, 0), b(page, 1), b(page, 2), b(page, 3), lo(tag), hi(tag), 0x90, 0x1A});
  }
  bool read(std::uint32_t page) {
    return pass({0xEF, 0x13, b(page, 0), b(page, 1), b(page, 2), b(page, 3), 0x90, 0x1A, 0, 0});
  }
  bool blockGood(std::uint32_t firstPage) {
    return pass({0xEF, 0x1C, b(firstPage, 0), b(firstPage, 1), b(firstPage, 2), b(firstPage, 3), 0, 0});
  }
  bool markBad(std::uint32_t firstPage) {
    return pass({0xEF, 0x1F, b(firstPage, 0), b(firstPage, 1), b(firstPage, 2), b(firstPage, 3), 0x90, 0x1A, 0, 0});
  }
  // Fills the page buffer and programs it into `page`.
  bool programWith(std::uint32_t page, const std::vector<std::uint8_t>& bytes) {
    writeX(common::vendor_opcodes::kPageBufferAddress, bytes);
    return program(page);
  }
  std::vector<std::uint8_t> readBack(std::uint32_t page) {
    EXPECT_TRUE(read(page));
    return readX(common::vendor_opcodes::kPageBufferAddress, dev.profile().geometry.pageSize);
  }

  static std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v); }
  static std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
  static std::uint8_t b(std::uint32_t v, int i) { return static_cast<std::uint8_t>(v >> (8 * i)); }

  Device dev;
};

Profile small(std::uint16_t blocks = 16, std::uint16_t pages = 4, std::uint16_t pageSize = 512) {
  Profile p;
  p.geometry.blockCount = blocks;
  p.geometry.pagesPerBlock = pages;
  p.geometry.pageSize = pageSize;
  return p;
}

TEST(DeviceNand, EraseProgramReadFollowNandRules) {
  Host h(small());
  const std::vector<std::uint8_t> ff(512, 0xFF);
  EXPECT_EQ(h.readBack(5), ff) << "a fresh array reads erased";

  std::vector<std::uint8_t> a(512);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<std::uint8_t>(i * 7);
  }
  ASSERT_TRUE(h.programWith(5, a));
  EXPECT_EQ(h.dev.page(5), a);
  EXPECT_EQ(h.readBack(5), a) << "read copies the page into the page buffer";

  // Programming again can only clear bits.
  std::vector<std::uint8_t> second(512, 0x0F);
  ASSERT_TRUE(h.programWith(5, second));
  std::vector<std::uint8_t> anded(512);
  for (std::size_t i = 0; i < a.size(); ++i) {
    anded[i] = a[i] & 0x0F;
  }
  EXPECT_EQ(h.dev.page(5), anded);
  EXPECT_EQ(h.dev.page(4), ff) << "neighbouring pages untouched";

  ASSERT_TRUE(h.erase(1));  // pages 4..7
  EXPECT_EQ(h.dev.page(5), ff);
  EXPECT_EQ(h.dev.storedPageCount(), 0U);
  EXPECT_EQ(h.readBack(5), ff);
}

TEST(DeviceNand, PagesOfOneByteAreStoredCompactly) {
  Host h(small(8, 4, 2048));
  ASSERT_TRUE(h.programWith(0, std::vector<std::uint8_t>(2048, 0x00)));
  ASSERT_TRUE(h.program(1));
  std::vector<std::uint8_t> mixed(2048, 0xA5);
  mixed[100] = 0x11;
  ASSERT_TRUE(h.programWith(4, mixed));
  EXPECT_EQ(h.dev.storedPageCount(), 3U);
  EXPECT_EQ(h.dev.storedPageBytes(), 2048U) << "only the mixed page holds its bytes";
  EXPECT_EQ(h.dev.page(1), std::vector<std::uint8_t>(2048, 0x00));

  // Clearing the odd byte's bits makes the page uniform again.
  ASSERT_TRUE(h.programWith(4, std::vector<std::uint8_t>(2048, 0x01)));
  EXPECT_EQ(h.dev.page(4), std::vector<std::uint8_t>(2048, 0x01));
  EXPECT_EQ(h.dev.storedPageBytes(), 0U);

  // Programming all 0xFF leaves an erased page erased.
  ASSERT_TRUE(h.programWith(9, std::vector<std::uint8_t>(2048, 0xFF)));
  EXPECT_EQ(h.dev.storedPageCount(), 3U);
  for (std::uint16_t b = 0; b < 8; ++b) {
    ASSERT_TRUE(h.erase(b));
  }
  EXPECT_EQ(h.dev.storedPageCount(), 0U);
}

TEST(DeviceNand, BadBlocksFactoryAndMarkedPersist) {
  Profile p = small();
  p.factoryBad = {2};
  Host h(p);
  EXPECT_FALSE(h.blockGood(2 * 4));
  EXPECT_TRUE(h.blockGood(3 * 4));
  EXPECT_TRUE(h.markBad(3 * 4 + 1)) << "any page of the block names it";
  EXPECT_FALSE(h.blockGood(3 * 4));
  ASSERT_TRUE(h.erase(3));
  ASSERT_TRUE(h.programWith(12, std::vector<std::uint8_t>(512, 0)));
  EXPECT_FALSE(h.blockGood(3 * 4)) << "erase and program do not clear the mark";
  EXPECT_EQ(h.dev.badBlocks(), (std::set<std::uint16_t>{2, 3}));
  EXPECT_TRUE(h.dev.isBad(3));
  EXPECT_FALSE(h.dev.isBad(4));
}

TEST(DeviceNand, NumbersBeyondTheArrayFail) {
  Host h(small(16, 4));
  EXPECT_FALSE(h.erase(16));
  EXPECT_FALSE(h.erase(0xFFFF));
  EXPECT_FALSE(h.program(64));
  EXPECT_FALSE(h.program(0xFFFFFFFFU));
  EXPECT_FALSE(h.read(64));
  EXPECT_FALSE(h.blockGood(64));
  EXPECT_FALSE(h.markBad(64));
  EXPECT_TRUE(h.dev.page(64).empty());
  EXPECT_TRUE(h.dev.isBad(16));
  EXPECT_TRUE(h.dev.badBlocks().empty());
  EXPECT_TRUE(h.program(63));
}

TEST(DeviceMemory, GeometryRecordAndVersion) {
  Host def;
  EXPECT_EQ(def.readX(common::vendor_opcodes::kGeometryAddress, 10),
            (std::vector<std::uint8_t>{0x10, 0x00, 0x00, 0x40, 0x06, 0x08, 0x00, 0x0B, 0x00, 0x00}));
  std::vector<std::uint8_t> version(16, 0);
  std::string v = "ZANQ006GHB";
  std::copy(v.begin(), v.end(), version.begin());
  EXPECT_EQ(def.run({{0xEF, 0x03, 0x00, 0x20, 0, 0}, Direction::In, 16}).dataIn, version);

  Profile p = small(300, 128, 1024);
  p.geometry.reportedBlockCount = 0x1234;
  p.version = "0123456789ABCDEF";
  Host h(p);
  EXPECT_EQ(h.readX(common::vendor_opcodes::kGeometryAddress, 8),
            (std::vector<std::uint8_t>{0x12, 0x34, 0x00, 0x80, 0x07, 0x04, 0x00, 0x0A}));
  EXPECT_EQ(h.run({{0xEF, 0x03, 0x00, 0x20, 0, 0}, Direction::In, 16}).dataIn,
            std::vector<std::uint8_t>(p.version.begin(), p.version.end()));
  EXPECT_FALSE(h.erase(300)) << "a reported count beyond the array does not grow it";

  Profile raw = small();
  raw.geometry.rawRecord = std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Host r(raw);
  EXPECT_EQ(r.readX(common::vendor_opcodes::kGeometryAddress, 10), *raw.geometry.rawRecord);
}

TEST(DeviceMemory, AddressesWrapAt64KiB) {
  Host h(small());
  h.writeX(0xFFFE, {1, 2, 3, 4});
  EXPECT_EQ(h.readX(0xFFFE, 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(h.readX(0x0000, 2), (std::vector<std::uint8_t>{3, 4}));
  EXPECT_EQ(h.readX(0x0000, 70000).size(), 70000U);
  EXPECT_EQ(h.dev.dataMemory(0xFFFF, 2), (std::vector<std::uint8_t>{2, 3}));
}

TEST(DeviceStandard, InquiryAndReadCapacity) {
  Host h;
  const Answer inq = h.run({{0x12, 0, 0, 0, 0, 0}, Direction::In, 36});
  ASSERT_EQ(inq.dataIn.size(), 36U);
  EXPECT_EQ(std::vector<std::uint8_t>(inq.dataIn.begin(), inq.dataIn.begin() + 8),
            (std::vector<std::uint8_t>{0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00}));
  // 512 MiB in 512-byte blocks: last LBA 0x000FFFFF.
  EXPECT_EQ(h.run({{0x25, 0, 0, 0, 0, 0}, Direction::In, 8}).dataIn,
            (std::vector<std::uint8_t>{0x00, 0x0F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(h.run({{0x12, 0, 0, 0, 0, 0}, Direction::In, 4}).dataIn.size(), 4U)
      << "never more than the transfer length";

  Profile p;
  p.supported = false;
  p.capacityBlockLength = 0;
  Host un(p);
  EXPECT_EQ(un.run({{0x12, 0, 0, 0, 0, 0}, Direction::In, 36}).dataIn[1], 0x00);
  EXPECT_EQ(un.run({{0x25, 0, 0, 0, 0, 0}, Direction::In, 8}).dataIn,
            (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));

  Profile custom;
  custom.inquiryHeader = {0x05, 0x80, 0x02, 0x02, 0x1F, 0, 0, 0};
  Host c(custom);
  EXPECT_EQ(c.run({{0x12, 0, 0, 0, 0, 0}, Direction::In, 36}).dataIn[0], 0x05);
}

TEST(DeviceCommands, StatusBytesAndRefusedRequests) {
  Profile p = small();
  p.movePasses = false;
  Host h(p);
  EXPECT_EQ(h.status({0xEF, 0x04, 0x00, 0x00, 0x80, 0x01}), kStatusPass) << "cmd_bStartup completes";
  EXPECT_EQ(h.status({0xEF, 0x10, 0, 0, 0, 0}), kStatusFail);
  EXPECT_TRUE(Host(small()).pass({0xEF, 0x10, 0, 0, 0, 0}));
  EXPECT_TRUE(h.run({{0xEF, 0x11, 0, 0, 0, 0}, Direction::In, 0}).dataIn.empty()) << "no room, no status byte";

  // Unknown opcodes and sub-commands, wrong direction, CDB too short: CHECK CONDITION, no data.
  const std::vector<Cmd> refused = {
      {{0x00, 0, 0, 0, 0, 0}, Direction::In, 1},     {{0xEF, 0x99, 0, 0, 0, 0}, Direction::In, 1},
      {{0xEE, 0x01, 0, 0, 0, 0}, Direction::Out, 1}, {{0xEF, 0x11, 0, 0, 0, 0}, Direction::Out, 1},
      {{0xEF, 0x12, 0, 0, 0, 0}, Direction::In, 1},  {{0xEE, 0x02, 0, 0, 0, 0}, Direction::In, 1},
  };
  for (const Cmd& c : refused) {
    const Answer a =
        h.run(c, c.dir == Direction::Out ? std::vector<std::uint8_t>(c.length) : std::vector<std::uint8_t>{});
    EXPECT_EQ(a.scsiStatus, common::vendor_opcodes::kStatusCheckCondition) << int(c.cdb[0]) << " " << int(c.cdb[1]);
    EXPECT_TRUE(a.dataIn.empty());
  }
  EXPECT_EQ(h.dev.trace().back().outcome, Outcome::CheckCondition);

  // A controller without cmd_bStartup: that command alone is answered as unknown.
  Faults without;
  without.unknownCommands = {0xEF04};
  h.dev.setFaults(without);
  const Answer startup = h.run({{0xEF, 0x04, 0x00, 0x00, 0x80, 0x01}});
  EXPECT_EQ(startup.scsiStatus, common::vendor_opcodes::kStatusCheckCondition);
  EXPECT_TRUE(startup.dataIn.empty());
  EXPECT_EQ(h.run({{0x03, 0, 0, 0, 18, 0}, Direction::In, 18}).dataIn.at(12), 0x20);
  EXPECT_NE(h.status({0xEF, 0x10, 0, 0, 0, 0}), -1) << "other commands still answered";
}

TEST(DeviceDisk, CommandsAHostSendsByItself) {
  Host h(small());
  struct Case {
    const char* what;
    Cmd cmd;
    std::uint8_t status;
    std::vector<std::uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"test unit ready", {{0x00, 0, 0, 0, 0, 0}, Direction::None, 0}, 0, {}},
      {"prevent removal", {{0x1E, 0, 0, 0, 1, 0}, Direction::None, 0}, 0, {}},
      {"start stop unit", {{0x1B, 0, 0, 0, 1, 0}, Direction::None, 0}, 0, {}},
      {"synchronize cache", {{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Direction::None, 0}, 0, {}},
      {"read capacity (10): the logical disk",
       {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Direction::In, 8},
       0,
       {0x00, 0x00, 0x3F, 0xFF, 0x00, 0x00, 0x02, 0x00}},
      {"read capacity, vendor form: the NAND",
       {{0x25, 0, 0, 0, 0, 0}, Direction::In, 8},
       0,
       {0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x02, 0x00}},
      {"mode sense (6), write-protect clear", {{0x1A, 0, 0x3F, 0, 192, 0}, Direction::In, 192}, 0, {3, 0, 0, 0}},
      {"mode sense (10)", {{0x5A, 0, 0x08, 0, 0, 0, 0, 0, 4, 0}, Direction::In, 8}, 0, {0, 6, 0, 0}},
      {"inquiry within the allocation length",
       {{0x12, 0, 0, 0, 5, 0}, Direction::In, 36},
       0,
       {0x00, 0x80, 0x02, 0x02, 0x1F}},
      {"inquiry of a vital product data page", {{0x12, 1, 0x80, 0, 36, 0}, Direction::In, 36}, 2, {}},
      {"request sense after it: invalid field in CDB",
       {{0x03, 0, 0, 0, 18, 0}, Direction::In, 18},
       0,
       {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0}},
      {"unknown opcode", {{0xC1, 0, 0, 0, 0, 0}, Direction::None, 0}, 2, {}},
      {"request sense: invalid command operation code",
       {{0x03, 0, 0, 0, 14, 0}, Direction::In, 18},
       0,
       {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0}},
      {"sense read once: no sense", {{0x03, 0, 0, 0, 3, 0}, Direction::In, 18}, 0, {0x70, 0, 0}},
      {"read (10) beyond the disk", {{0x28, 0, 0, 0, 0x3F, 0xFF, 0, 0, 2, 0}, Direction::In, 1024}, 2, {}},
      {"request sense: LBA out of range",
       {{0x03, 0, 0, 0, 14, 0}, Direction::In, 14},
       0,
       {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0}},
  };
  for (const Case& c : cases) {
    const Answer a = h.run(c.cmd);
    EXPECT_EQ(a.scsiStatus, c.status) << c.what;
    EXPECT_EQ(a.dataIn, c.data) << c.what;
  }
  const auto t = h.dev.trace();
  ASSERT_EQ(t.size(), cases.size()) << "the host's own commands are traced";
  EXPECT_EQ(formatTraceEntry(t[0]).substr(28), "000000000000 none 0 good");
}

TEST(DeviceDisk, ReadWrite10RoundTripAndPhaseErrors) {
  Host h(small());
  const auto rw = [](std::uint8_t op, std::uint32_t lba, std::uint16_t n) {
    return std::vector<std::uint8_t>{
        op, 0, Host::b(lba, 3), Host::b(lba, 2), Host::b(lba, 1), Host::b(lba, 0), 0, Host::hi(n), Host::lo(n), 0};
  };
  EXPECT_EQ(h.run({rw(0x28, 7, 2), Direction::In, 1024}).dataIn, std::vector<std::uint8_t>(1024, 0))
      << "zeros until written";
  std::vector<std::uint8_t> bytes(1536, 0);
  for (std::size_t i = 512; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 13);
  }
  bytes.resize(2048, 0xAA);  // more than the command takes: dropped
  const Answer w = h.run({rw(0x2A, 100, 3), Direction::Out, 2048}, bytes);
  EXPECT_EQ(w.scsiStatus, 0);
  EXPECT_EQ(w.dataOutTaken, 1536U);
  const Answer r = h.run({rw(0x28, 100, 3), Direction::In, 4096});
  EXPECT_EQ(r.dataIn, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 1536));
  EXPECT_EQ(h.run({rw(0x28, 103, 1), Direction::In, 512}).dataIn, std::vector<std::uint8_t>(512, 0));

  // Less room than the sectors need, or data the other way: phase errors.
  for (const Cmd& c : {Cmd{rw(0x28, 0, 2), Direction::In, 1000}, Cmd{rw(0x2A, 0, 1), Direction::Out, 0},
                       Cmd{rw(0x2A, 0, 1), Direction::In, 512}, Cmd{{0x12, 0, 0, 0, 36, 0}, Direction::None, 0}}) {
    const Answer a = h.run(c, std::vector<std::uint8_t>(c.dir == Direction::Out ? c.length : 0));
    EXPECT_EQ(a.scsiStatus, 2);
    EXPECT_TRUE(a.phaseError) << int(c.cdb[0]);
  }
  const Answer noData = h.run({{0x00, 0, 0, 0, 0, 0}, Direction::In, 1});
  EXPECT_EQ(noData.scsiStatus, 2);
  EXPECT_FALSE(noData.phaseError) << "a command without data is no phase error";
}

TEST(DeviceBlankCheck, RunsForItsDurationAndRecordsTimings) {
  Profile p = small();
  p.blankCheckDuration = std::chrono::milliseconds(150);
  Host h(p);
  EXPECT_TRUE(h.pass({0xEF, 0x21, 0, 0, 0, 0})) << "nothing running";
  EXPECT_FALSE(h.dev.blankCheckTimings());
  ASSERT_TRUE(h.pass({0xEF, 0x20, 0xF7, 0xF7, 0xFF, 0xFF}));
  EXPECT_EQ(h.dev.blankCheckTimings(), (std::array<std::uint8_t, 4>{0xF7, 0xF7, 0xFF, 0xFF}));
  EXPECT_FALSE(h.pass({0xEF, 0x21, 0, 0, 0, 0})) << "still running";
  EXPECT_TRUE(h.dev.blankCheckRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(h.pass({0xEF, 0x21, 0, 0, 0, 0})) << "finished";

  Profile refuses = small();
  refuses.acceptsBlankCheck = false;
  Host r(refuses);
  EXPECT_FALSE(r.pass({0xEF, 0x20, 1, 2, 3, 4}));
  EXPECT_EQ(r.dev.blankCheckTimings(), (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_TRUE(r.pass({0xEF, 0x21, 0, 0, 0, 0}));
}

TEST(DeviceFaults, FailingBlocksAndBitErrors) {
  Profile p = small();
  p.faults.eraseFails = {1};
  p.faults.programFails = {2};
  p.faults.readFails = {3};
  p.faults.bitErrors = {4};
  Host h(p);
  EXPECT_FALSE(h.erase(1));
  EXPECT_TRUE(h.erase(2));
  EXPECT_FALSE(h.programWith(8, std::vector<std::uint8_t>(512, 0)));
  EXPECT_EQ(h.dev.page(8), std::vector<std::uint8_t>(512, 0xFF)) << "a failed program changes nothing";
  h.writeX(common::vendor_opcodes::kPageBufferAddress, std::vector<std::uint8_t>(512, 0x55));
  EXPECT_FALSE(h.read(12));
  EXPECT_EQ(h.readX(common::vendor_opcodes::kPageBufferAddress, 512), std::vector<std::uint8_t>(512, 0x55));
  std::vector<std::uint8_t> flipped(512, 0xFF);
  flipped[0] = 0xFE;
  EXPECT_EQ(h.readBack(16), flipped);
  EXPECT_EQ(h.dev.page(16), std::vector<std::uint8_t>(512, 0xFF)) << "the array itself is intact";

  h.dev.setFaults({});
  EXPECT_TRUE(h.erase(1));
  EXPECT_TRUE(h.read(12));
}

TEST(DeviceFaults, LinkDropAndHangCountFromWhenSet) {
  Host h(small());
  Faults f;
  f.dropAfterCommands = 2;
  h.dev.setFaults(f);
  const Cmd poll{{0xEF, 0x21, 0, 0, 0, 0}};
  EXPECT_EQ(h.run(poll).link, Answer::Link::Answered);
  EXPECT_EQ(h.run(poll).link, Answer::Link::Answered);
  EXPECT_EQ(h.run(poll).link, Answer::Link::Drop);
  EXPECT_EQ(h.run(poll).link, Answer::Link::Drop) << "a dead link stays dead";

  f.dropMidCommand = true;
  f.dropAfterCommands = 0;
  h.dev.setFaults(f);
  const Answer mid = h.run({{0xEF, 0x11, 5, 0, 0, 0}});
  EXPECT_EQ(mid.link, Answer::Link::DropMidData);
  EXPECT_EQ(mid.dataIn, std::vector<std::uint8_t>{kStatusPass}) << "carried out, the answer breaks off";

  f = {};
  f.hangAfterCommands = 1;
  h.dev.setFaults(f);
  EXPECT_EQ(h.run(poll).link, Answer::Link::Answered);
  EXPECT_EQ(h.run(poll).link, Answer::Link::Hang);
  const auto t = h.dev.trace();
  ASSERT_GE(t.size(), 2U);
  EXPECT_EQ(t[t.size() - 1].outcome, Outcome::Hung);
  EXPECT_EQ(t[t.size() - 2].outcome, Outcome::Pass);
  EXPECT_EQ(t[2].outcome, Outcome::Dropped);
}

TEST(DeviceTrace, KeepsTheLatestCommandsWithTheirBytes) {
  Profile p = small();
  p.traceLimit = 3;
  Host h(p);
  for (std::uint8_t b = 0; b < 5; ++b) {
    h.erase(b);
  }
  const auto t = h.dev.trace();
  ASSERT_EQ(t.size(), 3U);
  EXPECT_EQ(t[0].cdb, (std::vector<std::uint8_t>{0xEF, 0x11, 2, 0, 0, 0}));
  EXPECT_EQ(t[2].cdb[2], 4);
  EXPECT_EQ(h.dev.commandCount(), 5U);

  TraceEntry e;
  e.time = std::chrono::system_clock::time_point(std::chrono::microseconds(1'000'000'000'123'456LL));
  e.cdb = {0xEF, 0x20, 0xF7, 0x00};
  e.direction = Direction::In;
  e.transferLength = 1;
  e.outcome = Outcome::Pass;
  EXPECT_EQ(formatTraceEntry(e), "2001-09-09T01:46:40.123456Z EF20F700 in 1 pass");
  // Every outcome's word, as the trace's text ends.
  for (const auto& [outcome, word] :
       {std::pair{Outcome::Good, " good"}, std::pair{Outcome::Pass, " pass"},
        std::pair{Outcome::DeviceFail, " devicefail"}, std::pair{Outcome::CheckCondition, " checkcondition"},
        std::pair{Outcome::Dropped, " dropped"}, std::pair{Outcome::Hung, " hung"}}) {
    e.outcome = outcome;
    EXPECT_TRUE(formatTraceEntry(e).ends_with(word)) << word;
  }
}

TEST(DeviceProfile, RefusesWhatTheModelCannotHold) {
  const auto bad = [](auto change) {
    Profile p;
    change(p);
    return !validateProfile(p).ok();
  };
  EXPECT_FALSE(bad([](Profile&) {}));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.blockCount = 0; }));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.pagesPerBlock = 3; }));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.pagesPerBlock = 256; }));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.pageSize = 256; }));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.pageSize = 1536; }));
  EXPECT_TRUE(bad([](Profile& p) { p.factoryBad = {4096}; }));
  EXPECT_TRUE(bad([](Profile& p) { p.version = std::string(17, 'x'); }));
  EXPECT_TRUE(bad([](Profile& p) { p.geometry.rawRecord = std::vector<std::uint8_t>(9); }));
  EXPECT_THROW(Device(small(0)), std::invalid_argument);
}

TEST(DeviceThreads, ConcurrentHostsSeeConsistentPages) {
  Device dev(small(64, 4, 512));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&dev, t] {
      for (int i = 0; i < 200; ++i) {
        const auto block = static_cast<std::uint8_t>(t * 16 + i % 16);
        dev.execute(command({{0xEF, 0x11, block, 0, 0, 0}}));
        dev.execute(command({{0xEF, 0x12, static_cast<std::uint8_t>(block * 4), 0, 0, 0, 0, 0, 0x90, 0x1A}}));
        (void)dev.trace();
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(dev.commandCount(), 1600U);
}

}  // namespace
}  // namespace flashsim::test
