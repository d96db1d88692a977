#include "device/vendor_commands.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "device/tests/recording_transport.hpp"

namespace kestrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct CommandCase {
  std::string name;
  std::function<CommandOutcome(VendorCommands&)> send;
  Bytes cdb;  // exactly the CDB length
  DataDirection direction;
  std::uint32_t length;
  std::uint32_t timeoutSeconds;
};

std::vector<CommandCase> everyCommand() {
  static std::array<std::uint8_t, 512> buffer{};
  static const std::array<std::uint8_t, 5> five{1, 2, 3, 4, 5};
  static std::array<std::uint8_t, 36> inquiry{};
  static std::uint32_t lba = 0;
  static std::uint32_t blockLength = 0;
  return {
      {"ReadXdata",
       [](VendorCommands& c) { return c.cmd_bReadXdata(0x1234, buffer.data(), 512); },
       {0xEF, 0x01, 0x34, 0x12, 0x00, 0x00},
       DataDirection::In,
       512,
       20},
      {"WriteXdata",
       [](VendorCommands& c) { return c.cmd_bWriteXdata(0xABCD, five.data(), 5); },
       {0xEE, 0x02, 0xCD, 0xAB, 0x00, 0x00},
       DataDirection::Out,
       5,
       20},
      {"ReadCode",
       [](VendorCommands& c) { return c.cmd_bReadCode(0x2000, buffer.data(), 16); },
       {0xEF, 0x03, 0x00, 0x20, 0x00, 0x00},
       DataDirection::In,
       16,
       20},
      {"Startup",
       [](VendorCommands& c) { return c.cmd_bStartup(0, 0x0180); },
       {0xEF, 0x04, 0x00, 0x00, 0x80, 0x01},
       DataDirection::In,
       1,
       20},
      {"Move",
       [](VendorCommands& c) { return c.cmd_bMove(); },
       {0xEF, 0x10, 0x00, 0x00, 0x00, 0x00},
       DataDirection::In,
       1,
       60},
      {"EraseBlock",
       [](VendorCommands& c) { return c.cmd_bEraseBlock(0x0FE0); },
       {0xEF, 0x11, 0xE0, 0x0F, 0x00, 0x00},
       DataDirection::In,
       1,
       20},
      {"ProgramPage",
       [](VendorCommands& c) { return c.cmd_bProgramPage(0x0203, 7, 0x1A90); },
       {0xEF, 0x12, 0x03, 0x02, 0x00, 0x00, 0x07, 0x00, 0x90, 0x1A},
       DataDirection::In,
       1,
       20},
      {"ProgramPageWide",
       [](VendorCommands& c) { return c.cmd_bProgramPage(0x12345678, 0xFFF0, 0x1A90); },
       {0xEF, 0x12, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xFF, 0x90, 0x1A},
       DataDirection::In,
       1,
       20},
      {"ReadPage",
       [](VendorCommands& c) { return c.cmd_bReadPage(0x00040102, 0x1A90); },
       {0xEF, 0x13, 0x02, 0x01, 0x04, 0x00, 0x90, 0x1A, 0x00, 0x00},
       DataDirection::In,
       1,
       20},
      {"BlockStatus",
       [](VendorCommands& c) { return c.cmd_bBlockStatus(0x0003FFC0); },
       {0xEF, 0x1C, 0xC0, 0xFF, 0x03, 0x00},
       DataDirection::In,
       1,
       20},
      {"MarkBad",
       [](VendorCommands& c) { return c.cmd_bMarkBad(0x00000200, 0x1A90); },
       {0xEF, 0x1F, 0x00, 0x02, 0x00, 0x00, 0x90, 0x1A, 0x00, 0x00},
       DataDirection::In,
       1,
       20},
      {"StartBlankCheck",
       [](VendorCommands& c) { return c.cmd_bStartBlankCheck(0xF7, 0xF6, 0xFF, 0x01); },
       {0xEF, 0x20, 0xF7, 0xF6, 0xFF, 0x01},
       DataDirection::In,
       1,
       20},
      {"PollBlankCheck",
       [](VendorCommands& c) { return c.cmd_bPollBlankCheck(); },
       {0xEF, 0x21, 0x00, 0x00, 0x00, 0x00},
       DataDirection::In,
       1,
       20},
      {"Inquiry",
       [](VendorCommands& c) { return c.cmd_bInquiry(inquiry.data()); },
       {0x12, 0x00, 0x00, 0x00, 0x00, 0x00},
       DataDirection::In,
       36,
       20},
      {"ReadCapacity",
       [](VendorCommands& c) { return c.cmd_bReadCapacity(lba, blockLength); },
       {0x25, 0x00, 0x00, 0x00, 0x00, 0x00},
       DataDirection::In,
       8,
       20},
  };
}

TEST(VendorCommands, EveryCommandSendsItsExactRequest) {
  for (const CommandCase& c : everyCommand()) {
    SCOPED_TRACE(c.name);
    RecordingTransport transport;
    VendorCommands commands(transport);
    c.send(commands);
    ASSERT_EQ(transport.requests.size(), 1U);
    const auto& r = transport.requests[0];
    EXPECT_EQ(r.cdb, c.cdb);
    // Bytes past the CDB length stay zero.
    for (std::size_t i = c.cdb.size(); i < r.fullCdb.size(); ++i) {
      EXPECT_EQ(r.fullCdb[i], 0) << "byte " << i;
    }
    EXPECT_EQ(r.direction, c.direction);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.timeoutSeconds, c.timeoutSeconds);
  }
}

TEST(VendorCommands, WriteXdataCarriesTheCallersBytesAtAnyLength) {
  RecordingTransport transport;
  VendorCommands commands(transport);
  Bytes page(2048);
  for (std::size_t i = 0; i < page.size(); ++i) {
    page[i] = static_cast<std::uint8_t>(i * 7);
  }
  EXPECT_TRUE(commands.cmd_bWriteXdata(0x1A90, page.data(), 2048).pass());
  ASSERT_EQ(transport.requests.size(), 1U);
  EXPECT_EQ(transport.requests[0].dataOut, page);

  transport.failWith(EIO);
  const CommandOutcome failed = commands.cmd_bWriteXdata(0x1A90, page.data(), 5);
  EXPECT_EQ(failed.kind, Outcome::TransportError);
  EXPECT_EQ(failed.errorCode, static_cast<std::uint32_t>(EIO));
}

TEST(VendorCommands, StatusCommandsJudgeOnlyBitZeroOfTheStatusByte) {
  const std::vector<std::function<CommandOutcome(VendorCommands&)>> statusCommands = {
      [](VendorCommands& c) { return c.cmd_bMove(); },
      [](VendorCommands& c) { return c.cmd_bEraseBlock(1); },
      [](VendorCommands& c) { return c.cmd_bProgramPage(1, 1, 0x1A90); },
      [](VendorCommands& c) { return c.cmd_bReadPage(1, 0x1A90); },
      [](VendorCommands& c) { return c.cmd_bBlockStatus(64); },
      [](VendorCommands& c) { return c.cmd_bMarkBad(64, 0x1A90); },
      [](VendorCommands& c) { return c.cmd_bStartBlankCheck(1, 2, 3, 4); },
      [](VendorCommands& c) { return c.cmd_bPollBlankCheck(); },
  };
  for (std::size_t i = 0; i < statusCommands.size(); ++i) {
    SCOPED_TRACE(i);
    RecordingTransport transport;
    VendorCommands commands(transport);
    transport.answerStatus(0x02);
    EXPECT_EQ(statusCommands[i](commands).kind, Outcome::DeviceFail);
    transport.answerStatus(0x03);
    EXPECT_EQ(statusCommands[i](commands).kind, Outcome::Pass);
    transport.answerStatus(0xFE);
    EXPECT_EQ(statusCommands[i](commands).kind, Outcome::DeviceFail);
    transport.answer({true, 0, {}});  // completed without the byte
    EXPECT_EQ(statusCommands[i](commands).kind, Outcome::DeviceFail);
    transport.answer({false, ETIMEDOUT, {0x01}});  // not completed: the byte does not matter
    const CommandOutcome lost = statusCommands[i](commands);
    EXPECT_EQ(lost.kind, Outcome::TransportError);
    EXPECT_EQ(lost.errorCode, static_cast<std::uint32_t>(ETIMEDOUT));
    // Every request started from a zero status byte.
    for (const auto& r : transport.requests) {
      EXPECT_EQ(r.dataSeen, Bytes{0x00});
    }
  }
}

TEST(VendorCommands, MemoryReadsAndStartupKnowOnlyCompletion) {
  RecordingTransport transport;
  VendorCommands commands(transport);
  std::array<std::uint8_t, 16> out{};
  out.fill(0xAA);

  // A short answer: the bytes the device did not send keep what the caller
  // put there, so a read-back primed with the opposite pattern cannot pass
  // on bytes that never arrived.
  transport.answer({true, 0, {0x41, 0x42, 0x43}});
  EXPECT_EQ(commands.cmd_bReadCode(0x2000, out.data(), 16).kind, Outcome::Pass);
  EXPECT_EQ(out[0], 0x41);
  EXPECT_EQ(out[2], 0x43);
  EXPECT_EQ(out[3], 0xAA);
  EXPECT_EQ(out[15], 0xAA);

  // A failed read leaves the caller's bytes as they were.
  out.fill(0xAA);
  transport.failWith(ENODEV);
  const CommandOutcome failed = commands.cmd_bReadXdata(0x0000, out.data(), 16);
  EXPECT_EQ(failed.kind, Outcome::TransportError);
  EXPECT_EQ(failed.errorCode, static_cast<std::uint32_t>(ENODEV));
  std::array<std::uint8_t, 16> untouched{};
  untouched.fill(0xAA);
  EXPECT_EQ(out, untouched);

  // cmd_bStartup passes on completion whatever its byte says.
  transport.answerStatus(0x00);
  EXPECT_EQ(commands.cmd_bStartup(0, 0x0180).kind, Outcome::Pass);
  transport.failWith(EIO);
  EXPECT_EQ(commands.cmd_bStartup(0, 0x0180).kind, Outcome::TransportError);
}

TEST(VendorCommands, ReadsLongerThanOneRecordAreRefusedWithoutARequest) {
  RecordingTransport transport;
  VendorCommands commands(transport);
  std::vector<std::uint8_t> out(600, 0xAA);
  const CommandOutcome xdata = commands.cmd_bReadXdata(0, out.data(), 513);
  EXPECT_EQ(xdata.kind, Outcome::TransportError);
  EXPECT_EQ(xdata.errorCode, static_cast<std::uint32_t>(EINVAL));
  EXPECT_EQ(commands.cmd_bReadCode(0, out.data(), 600).kind, Outcome::TransportError);
  EXPECT_TRUE(transport.requests.empty());
  EXPECT_EQ(out, std::vector<std::uint8_t>(600, 0x00));
  EXPECT_EQ(commands.cmd_bReadXdata(0, nullptr, 4).kind, Outcome::TransportError);
  EXPECT_TRUE(transport.requests.empty());
}

TEST(VendorCommands, InquiryPassesOnlyWithTheSupportedHeader) {
  const Bytes supported = {0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00, 'V', 'E', 'N', 'D'};
  RecordingTransport transport;
  VendorCommands commands(transport);
  std::array<std::uint8_t, 36> out{};

  transport.answer({true, 0, supported});
  EXPECT_EQ(commands.cmd_bInquiry(out.data()).kind, Outcome::Pass);
  EXPECT_EQ(out[8], 'V');

  Bytes notRemovable = supported;
  notRemovable[1] = 0x00;
  transport.answer({true, 0, notRemovable});
  EXPECT_EQ(commands.cmd_bInquiry(out.data()).kind, Outcome::DeviceFail);

  Bytes otherLength = supported;
  otherLength[4] = 0x5B;
  transport.answer({true, 0, otherLength});
  EXPECT_EQ(commands.cmd_bInquiry(out.data()).kind, Outcome::DeviceFail);

  transport.answer({true, 0, Bytes(supported.begin(), supported.begin() + 4)});  // header cut short
  EXPECT_EQ(commands.cmd_bInquiry(out.data()).kind, Outcome::DeviceFail);

  transport.answer({false, EIO, supported});
  const CommandOutcome lost = commands.cmd_bInquiry(out.data());
  EXPECT_EQ(lost.kind, Outcome::TransportError);
  EXPECT_EQ(lost.errorCode, static_cast<std::uint32_t>(EIO));
}

TEST(VendorCommands, ReadCapacityDecodesBigEndianValues) {
  RecordingTransport transport;
  VendorCommands commands(transport);
  std::uint32_t lba = 1;
  std::uint32_t blockLength = 1;
  transport.answer({true, 0, {0x00, 0x0F, 0x42, 0x3F, 0x00, 0x00, 0x02, 0x00}});
  EXPECT_EQ(commands.cmd_bReadCapacity(lba, blockLength).kind, Outcome::Pass);
  EXPECT_EQ(lba, 0x000F423FU);
  EXPECT_EQ(blockLength, 512U);

  transport.answer({false, ETIMEDOUT, {}});
  const CommandOutcome lost = commands.cmd_bReadCapacity(lba, blockLength);
  EXPECT_EQ(lost.kind, Outcome::TransportError);
  EXPECT_EQ(lost.errorCode, static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_EQ(blockLength, 0U);
}

}  // namespace
}  // namespace kestrin::test
