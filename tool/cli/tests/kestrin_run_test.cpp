// One run of the command line in-process, against a scripted device.
#include "cli/kestrin_run.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli/short_commands.hpp"
#include "cli/tests/scripted_device.hpp"
#include "device/system_message.hpp"

namespace kestrin::test {
namespace {

std::string systemText(std::uint32_t code) {
  const OrSystemError<std::string> text = systemMessageText(code);
  if (!text) return "Format message failed.  Error: " + std::to_string(text.error()) + "\n";
  return *text + "\n";
}

struct RunResult {
  int code = -1;
  std::string out;
};

class KestrinRun : public ::testing::Test {
 protected:
  RunResult run(std::vector<const char*> args) {
    Console console;
    RunResult r;
    r.code = runKestrin(args, console, std::ref(opener));
    r.out = console.captured();
    return r;
  }
  // The requests after the three start-up probes.
  std::vector<SeenRequest> commandRequests() const {
    return {script.seen.begin() + std::min<std::size_t>(3, script.seen.size()), script.seen.end()};
  }

  DeviceScript script;
  ScriptedOpener opener{script, 0, std::nullopt};
};

TEST_F(KestrinRun, NoArgumentPrintsTheBannerAndFails) {
  const RunResult r = run({});
  EXPECT_EQ(r.code, 1);
  Console banner;
  printBanner(banner);
  EXPECT_EQ(r.out, banner.captured());
  EXPECT_EQ(opener.calls, 0);
}

TEST_F(KestrinRun, RefusedCommandLinesNeverOpenTheDevice) {
  const std::string longName(24, 'E');
  for (const std::vector<const char*>& args : std::vector<std::vector<const char*>>{{"E:", "wtx", "1", "2", "3"},
                                                                                    {"E:", "era", "1"},
                                                                                    {"E:", "bchks", "1", "2", "3"},
                                                                                    {"E:", "fwup", "a", "b", "c"},
                                                                                    {"E:", "rdx"},
                                                                                    {longName.c_str()}}) {
    const RunResult r = run(args);
    EXPECT_EQ(r.code, 1) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(r.out.empty());
  }
  EXPECT_EQ(opener.calls, 0);
}

TEST_F(KestrinRun, OpenFailureNamesTheDeviceAndTheSystemText) {
  opener.failWith = ENOENT;
  const RunResult r = run({"E:", "bchkp"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "CreateFile, Error opening E:. Error: " + std::to_string(ENOENT) + "\n" + systemText(ENOENT));
}

TEST_F(KestrinRun, ProbesInOrderThenNothingForAProbeOrAnUnknownKeyword) {
  for (const char* keyword : {static_cast<const char*>(nullptr), "BCHKP", "bchkpx", ""}) {
    script.seen.clear();
    script.closed = false;
    std::vector<const char*> args{"E:"};
    if (keyword) args.push_back(keyword);
    const RunResult r = run(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(script.seen.size(), 3U);
    EXPECT_EQ(script.seen[0].cdb, (std::vector<std::uint8_t>{0xEF, 0x04, 0x00, 0x00, 0x80, 0x01}));
    EXPECT_EQ(script.seen[1].cdb, (std::vector<std::uint8_t>{0x12, 0, 0, 0, 0, 0}));
    EXPECT_EQ(script.seen[1].length, 36U);
    EXPECT_EQ(script.seen[2].cdb, (std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(script.closed);
  }
}

TEST_F(KestrinRun, EachProbeFailureHasItsMessageAndClosesTheDevice) {
  struct Case {
    std::uint8_t op, sub;
    bool completes;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {0xEF, 0x04, false, "Error: 5  " + systemText(5)},
      {0x12, 0x00, false, "cmd_bInquiry() fail!\n"},
      {0x25, 0x00, false, "ReadCapacity Error: 110  " + systemText(110)},
  };
  for (const Case& c : cases) {
    script = DeviceScript{};
    script.override = [&](const ScsiRequest& r, std::uint8_t*) -> std::optional<TransportStatus> {
      if (r.cdb[0] == c.op && r.cdb[1] == c.sub) return TransportStatus{false, c.op == 0x25 ? 110U : 5U};
      return std::nullopt;
    };
    const RunResult r = run({"E:", "bchkp"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, c.expected);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(script.count(0xEF, 0x21), 0U);
  }

  // A completed INQUIRY with a header other than the supported one.
  script = DeviceScript{};
  script.override = [](const ScsiRequest& r, std::uint8_t* in) -> std::optional<TransportStatus> {
    if (r.cdb[0] != 0x12) return std::nullopt;
    const std::uint8_t notRemovable[8] = {0x00, 0x00, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
    std::memcpy(in, notRemovable, 8);
    return TransportStatus{true, 0, 8};
  };
  EXPECT_EQ(run({"E:"}).out, "cmd_bInquiry() fail!\n");

  script = DeviceScript{};
  script.blockLength = 0;
  const RunResult zero = run({"E:"});
  EXPECT_EQ(zero.code, 1);
  EXPECT_EQ(zero.out, "cmd_bReadCapacity() fail!\n");
  EXPECT_TRUE(script.closed);
}

TEST(HexDump, PrintsTheTableByteForByte) {
  std::uint8_t bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<std::uint8_t>(i * 17);
  Console console;
  HexDump(console, bytes, sizeof bytes);
  EXPECT_EQ(console.captured(),
            "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
            "      ---------------------------------------------------------------\n"
            " 000  00  11  22  33  44  55  66  77   88  99  AA  BB  CC  DD  EE  FF   \n"
            " 010  10  21  32  43  \n\n");
}

TEST(HexDump, FullRowsOfAMemoryRead) {
  std::uint8_t bytes[512] = {};
  bytes[511] = 0xAB;
  Console console;
  HexDump(console, bytes, sizeof bytes);
  const std::string& out = console.captured();
  EXPECT_NE(out.find("\n 1F0  00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  AB   \n\n\n"),
            std::string::npos);
  EXPECT_EQ(out.size(), 70U + 70U + 32U * (6U + 16U * 4U + 2U + 1U) + 2U);
}

TEST(DecideMove, FollowsTheVersionLetters) {
  auto decide = [](const char* version) {
    std::uint8_t v[16] = {};
    std::memcpy(v, version, std::strlen(version));
    return decideMove(v);
  };
  EXPECT_EQ(decide("ZANQ006GHB"), MoveDecision::NotDue);
  EXPECT_EQ(decide("ZANQ006GAD"), MoveDecision::Due);
  EXPECT_EQ(decide("ZANQ006GZC"), MoveDecision::NotDue);  // with G only the third letter counts
  EXPECT_EQ(decide("ZANQ006HIA"), MoveDecision::Due);
  EXPECT_EQ(decide("ZANQ006HHZ"), MoveDecision::NotDue);
  EXPECT_EQ(decide("ZANQ006\xC8"
                   "AA"),
            MoveDecision::NotDue);  // unsigned comparison
  EXPECT_EQ(decide("ZANQ006A\xC8"
                   "A"),
            MoveDecision::Due);
  EXPECT_EQ(decide("ZANQ005GAD"), MoveDecision::NotMovable);
  EXPECT_EQ(decide(""), MoveDecision::NotMovable);
}

TEST_F(KestrinRun, MoveSendsTheMoveOnlyWhenDue) {
  script.setVersion("ZANQ006GAD");
  EXPECT_EQ(run({"E:", "move"}).code, 0);
  ASSERT_EQ(script.count(0xEF, 0x10), 1U);
  EXPECT_EQ(script.seen.back().timeoutSeconds, 60U);

  script.statusByte = 0x00;
  const RunResult failed = run({"E:", "move"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, "");

  script = DeviceScript{};
  script.setVersion("ZANQ006GHB");
  EXPECT_EQ(run({"E:", "move"}).code, 0);
  script.setVersion("QZAN006GAD");
  EXPECT_EQ(run({"E:", "move"}).code, 1);
  EXPECT_EQ(script.count(0xEF, 0x10), 0U);
}

TEST_F(KestrinRun, EraseRangeWalksSixteenBitBlocksAndStopsAfterTheLast) {
  const RunResult r = run({"E:", "era", "65534", "70000"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Block FFFE: erase:ok\nBlock FFFF: erase:ok\n");
  const auto sent = commandRequests();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(sent[1].cdb, (std::vector<std::uint8_t>{0xEF, 0x11, 0xFF, 0xFF, 0x00, 0x00}));

  script = DeviceScript{};
  EXPECT_EQ(run({"E:", "era", "-1", "65535"}).out, "Block FFFF: erase:ok\n");
  EXPECT_EQ(run({"E:", "era", "0", "-1"}).out, "");
}

TEST_F(KestrinRun, EraseRangeReportsEachBlockAndStopsAtATransportError) {
  int erases = 0;
  script.override = [&](const ScsiRequest& r, std::uint8_t* in) -> std::optional<TransportStatus> {
    if (r.cdb[0] != 0xEF || r.cdb[1] != 0x11) return std::nullopt;
    ++erases;
    if (erases == 3) return TransportStatus{false, 19};
    in[0] = (erases == 2) ? 0x02 : 0x03;
    return TransportStatus{true, 0, 1};
  };
  const RunResult r = run({"E:", "era", "16", "40"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "Block 0010: erase:ok\nBlock 0011: erase:fail\nBlock 0012: Error: 19\n");
  EXPECT_EQ(erases, 3);
  EXPECT_TRUE(script.closed);
}

TEST_F(KestrinRun, ShortCommandsSendTheLowBitsOfTheirArguments) {
  EXPECT_EQ(run({"E:", "bchks", "256", "-1", " 247", "+255x"}).code, 0);
  EXPECT_EQ(commandRequests().at(0).cdb, (std::vector<std::uint8_t>{0xEF, 0x20, 0x00, 0xFF, 0xF7, 0xFF}));

  script = DeviceScript{};
  EXPECT_EQ(run({"E:", "wtx", "74565", "1", "258", "-2", "3", "4"}).out, "");
  const auto write = commandRequests().at(0);
  EXPECT_EQ(write.cdb, (std::vector<std::uint8_t>{0xEE, 0x02, 0x45, 0x23, 0x00, 0x00}));
  EXPECT_EQ(write.dataOut, (std::vector<std::uint8_t>{0x01, 0x02, 0xFE, 0x03, 0x04}));
}

TEST_F(KestrinRun, PollReportsAllThreeOutcomes) {
  script.statusByte = 0x03;
  EXPECT_EQ(run({"E:", "bchkp"}).out, "blanking check done!!!\n");
  script.statusByte = 0x02;
  const RunResult running = run({"E:", "bchkp"});
  EXPECT_EQ(running.code, 2);
  EXPECT_EQ(running.out, "blanking check...\n");
  script.override = [](const ScsiRequest& r, std::uint8_t*) -> std::optional<TransportStatus> {
    if (r.cdb[0] == 0xEF && r.cdb[1] == 0x21) return TransportStatus{false, 110};
    return std::nullopt;
  };
  const RunResult failed = run({"E:", "bchkp"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, " Error: 110\n");
}

TEST_F(KestrinRun, MemoryReadPrintsTheTableAlsoAfterAFailedRead) {
  script.override = [](const ScsiRequest& r, std::uint8_t*) -> std::optional<TransportStatus> {
    if (r.cdb[0] == 0xEF && r.cdb[1] == 0x01) return TransportStatus{false, 5};
    return std::nullopt;
  };
  const RunResult r = run({"E:", "rdx", "9598"});
  EXPECT_EQ(r.code, 0);
  const std::string prefix = "Error: 5  " + systemText(5) + "      00  01";
  EXPECT_EQ(r.out.substr(0, prefix.size()), prefix);
  EXPECT_NE(r.out.find(" 1F0  00  00"), std::string::npos);
  EXPECT_EQ(commandRequests().at(0).cdb, (std::vector<std::uint8_t>{0xEF, 0x01, 0x7E, 0x25, 0x00, 0x00}));
}

}  // namespace
}  // namespace kestrin::test
