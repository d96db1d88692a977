// The built kestrin as a process against flashsim devices: standard output
// byte for byte, the exit code, an empty standard error, and the commands the
// device received.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "flashsim/testing/flashsim_daemon_linux.hpp"

namespace kestrin::test {

namespace {

// "kestrin.exe, building date: Mmm dd yyyy, hh:mm:ss\n", the day padded with a blank.
bool isBanner(const std::string& text) {
  const std::string prefix = "kestrin.exe, building date: ";
  if (text.size() != prefix.size() + 11 + 2 + 8 + 1 || text.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = text.substr(prefix.size());
  const std::string shape = "Aaa d9 9999, 99:99:99\n";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(rest[i]);
    const char s = shape[i];
    const bool ok = s == 'A'   ? std::isupper(c)
                    : s == 'a' ? std::islower(c)
                    : s == '9' ? std::isdigit(c)
                    : s == 'd' ? (c == ' ' || std::isdigit(c))
                               : c == static_cast<unsigned char>(s);
    if (!ok) return false;
  }
  return true;
}

using namespace std::chrono_literals;
using common::test::ProcessResult;
using flashsim::test::FlashsimDaemon;

// One line of `flashsim trace`: time, CDB hex, direction, length, outcome.
struct Command {
  std::string cdb;
  std::string direction;
  unsigned length = 0;
  std::string outcome;
};

std::vector<Command> parse(const std::vector<std::string>& lines) {
  std::vector<Command> commands;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string time;
    Command c;
    in >> time >> c.cdb >> c.direction >> c.length >> c.outcome;
    commands.push_back(c);
  }
  return commands;
}

std::vector<std::string> cdbs(const std::vector<Command>& commands) {
  std::vector<std::string> cdbs;
  for (const Command& c : commands) cdbs.push_back(c.cdb);
  return cdbs;
}

const std::vector<std::string> kProbes = {"EF0400008001", "120000000000", "250000000000"};

std::string systemText(int code) { return std::string(std::strerror(code)) + "\n"; }

// The table that rdx and rdc print for 512 bytes of which only the first
// `head` are given; the rest are 0.
std::string table(const std::vector<unsigned char>& head) {
  std::string out =
      "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
      "      " +
      std::string(63, '-') + "\n";
  char piece[16];
  for (unsigned i = 0; i < 512; ++i) {
    if (i % 16 == 0) {
      std::snprintf(piece, sizeof piece, " %03X  ", i);
      out += piece;
    }
    std::snprintf(piece, sizeof piece, "%02X  ", i < head.size() ? head[i] : 0U);
    out += piece;
    if ((i + 1) % 8 == 0) out += " ";
    if ((i + 1) % 16 == 0) out += "\n";
  }
  return out + "\n\n";
}

class KestrinBlackBox : public ::testing::Test {
 protected:
  void start(const std::vector<std::string>& specs) {
    sim_ = std::make_unique<FlashsimDaemon>(specs);
    ASSERT_TRUE(sim_->running()) << sim_->log();
  }

  // Runs kestrin with the arguments against the daemon's devices, in a
  // scratch working directory. Every run: nothing on standard error, and an
  // exit code of 0, 1 or 2.
  ProcessResult kestrin(const std::vector<std::string>& args, std::chrono::milliseconds limit = 50s,
                        common::test::StandardOutput output = common::test::StandardOutput::Captured) {
    std::vector<std::string> argv = {KESTRIN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    common::test::Environment env;
    if (sim_) env = sim_->environment();
    const ProcessResult r = common::test::runProcess(argv, env, limit, work_.path(), output);
    EXPECT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? " (timed out)" : "");
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1 || r.exitCode == 2) << r.exitCode;
    EXPECT_EQ(r.err, "");
    return r;
  }

  std::vector<Command> trace(char letter = 'E') { return parse(sim_->trace(letter)); }

  std::unique_ptr<FlashsimDaemon> sim_;
  common::test::TempDir work_{"kestrin-work"};
};

TEST_F(KestrinBlackBox, NoArgumentPrintsTheBannerAndFails) {
  const ProcessResult r = kestrin({});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(isBanner(r.out)) << r.out;
}

TEST_F(KestrinBlackBox, ProbeOfASupportedDeviceAndKeywordsOutsideTheTable) {
  start({"E"});
  ProcessResult r = kestrin({"E:"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  const std::vector<Command> probes = trace();
  ASSERT_EQ(probes.size(), 3U);
  EXPECT_EQ(cdbs(probes), kProbes);
  EXPECT_EQ(probes[0].direction, "in");
  EXPECT_EQ(probes[0].length, 1U);
  EXPECT_EQ(probes[1].length, 36U);
  EXPECT_EQ(probes[2].length, 8U);

  for (const char* keyword : {"BCHKS", "Bchkp", "bchkpp", "rd", "eraa2", "hello"}) {
    r = kestrin({"E:", keyword, "1", "2", "3", "4"});
    EXPECT_EQ(r.exitCode, 0) << keyword;
    EXPECT_EQ(r.out, "") << keyword;
  }
  EXPECT_EQ(trace().size(), 7U * 3U);  // the probes only, every time
}

TEST_F(KestrinBlackBox, IncompleteCommandLinesAreRefusedBeforeAnythingIsSent) {
  start({"E"});
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"E:", "wtx", "4096", "1", "2"}, "wtx: missing arguments B2 B3 B4 (expected: wtx A B0 B1 B2 B3 B4)\n"},
      {{"E:", "era", "3"}, "era: missing argument B (expected: era A B)\n"},
      {{"E:", "bchks", "247", "247", "255"}, "bchks: missing argument T4 (expected: bchks T1 T2 T3 T4)\n"},
      {{"E:", "fwup", "a", "b", "c"}, "fwup: missing argument F4 (expected: fwup F1 F2 F3 F4 [V])\n"},
      {{"E:", "rdx"}, "rdx: missing argument A (expected: rdx A)\n"},
      {{"E:", "rdc"}, "rdc: missing argument A (expected: rdc A)\n"},
      {{"E:/../../../../../../../sde", "bchkp"},
       "Device name too long: E:/../../../../../../../sde (at most 23 characters)\n"},
  };
  for (const auto& [args, message] : cases) {
    const ProcessResult r = kestrin(args);
    EXPECT_EQ(r.exitCode, 1) << args[1];
    EXPECT_EQ(r.out, message);
  }
  EXPECT_EQ(trace().size(), 0U);
}

TEST_F(KestrinBlackBox, MissingDeviceGivesTheOpenFailureWithTheSystemText) {
  start({"E"});
  const ProcessResult r = kestrin({"F:", "bchkp"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "CreateFile, Error opening F:. Error: 2\n" + systemText(ENOENT));
}

TEST_F(KestrinBlackBox, UnsupportedDevicesFailTheProbe) {
  start({"E:supported=0", "F:blocklen=0", "G:inquiry=0080020200000000"});
  ProcessResult r = kestrin({"E:", "bchks", "1", "2", "3", "4"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "cmd_bInquiry() fail!\n");
  EXPECT_EQ(cdbs(trace('E')), (std::vector<std::string>{kProbes[0], kProbes[1]}));

  r = kestrin({"G:"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "cmd_bInquiry() fail!\n");

  r = kestrin({"F:", "bchks", "1", "2", "3", "4"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "cmd_bReadCapacity() fail!\n");
  EXPECT_EQ(cdbs(trace('F')), kProbes);
}

TEST_F(KestrinBlackBox, ProbesThatDoNotCompleteTellTheSystemError) {
  start({"E:drop_after=0", "F:drop_after=1", "G:drop_after=2"});
  ProcessResult r = kestrin({"E:"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Error: 19  " + systemText(ENODEV));
  r = kestrin({"F:"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "cmd_bInquiry() fail!\n");
  r = kestrin({"G:"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "ReadCapacity Error: 19  " + systemText(ENODEV));
}

TEST_F(KestrinBlackBox, StartBlankCheckSendsTheLowBytesOfTheTimings) {
  start({"E", "F:accepts_blankcheck=0"});
  ProcessResult r = kestrin({"E:", "bchks", "247", "247", "255", "255"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sim_->control("timings", {"E"}).out, "247 247 255 255\n");

  r = kestrin({"E:", "bchks", "256", "0", "0", "0"});
  EXPECT_EQ(r.exitCode, 0);
  r = kestrin({"E:", "bchks", " -1", "+7x", "abc", "4294967551"});
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<Command> received = trace();
  ASSERT_EQ(received.size(), 12U);
  EXPECT_EQ(received[3].cdb, "EF20F7F7FFFF");
  EXPECT_EQ(received[7].cdb, "EF2000000000");
  EXPECT_EQ(received[11].cdb, "EF20FF0700FF");

  r = kestrin({"F:", "bchks", "247", "247", "255", "255"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
}

TEST_F(KestrinBlackBox, PollSaysStillCheckingUntilTheCheckIsDone) {
  start({"E"});  // the check takes 3 s
  ASSERT_EQ(kestrin({"E:", "bchks", "247", "247", "255", "255"}).exitCode, 0);
  const auto started = std::chrono::steady_clock::now();
  ProcessResult r = kestrin({"E:", "bchkp"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "blanking check...\n");
  std::this_thread::sleep_until(started + 4000ms);
  r = kestrin({"E:", "bchkp"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "blanking check done!!!\n");
  EXPECT_EQ(trace().back().cdb, "EF2100000000");
}

TEST_F(KestrinBlackBox, PollThatDoesNotCompleteFails) {
  start({"E:drop_after=3"});
  const ProcessResult r = kestrin({"E:", "bchkp"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, " Error: 19\n");
}

TEST_F(KestrinBlackBox, MoveFollowsTheVersionString) {
  start({"E:version=ZANQ006GHB", "F:version=ZANQ006GAD", "G:version=ZANQ006HIA", "H:version=ZANQ006HHZ",
         "I:version=ZANQ006HIA,move=fail", "J:version=ZANQ005HIA"});
  struct Case {
    char letter;
    int exitCode;
    bool moved;
  };
  for (const Case c : {Case{'E', 0, false}, Case{'F', 0, true}, Case{'G', 0, true}, Case{'H', 0, false},
                       Case{'I', 1, true}, Case{'J', 1, false}}) {
    const ProcessResult r = kestrin({std::string(1, c.letter) + ":", "move"});
    EXPECT_EQ(r.exitCode, c.exitCode) << c.letter;
    EXPECT_EQ(r.out, "") << c.letter;
    const std::vector<Command> received = trace(c.letter);
    ASSERT_GE(received.size(), 4U) << c.letter;
    EXPECT_EQ(received[3].cdb, "EF0300200000") << c.letter;
    EXPECT_EQ(received.size(), c.moved ? 5U : 4U) << c.letter;
    if (c.moved) {
      EXPECT_EQ(received[4].cdb, "EF1000000000") << c.letter;
    }
  }
}

TEST_F(KestrinBlackBox, EraseRangeErasesBlocksAToB) {
  start({"E:erase_fail=4"});
  ProcessResult r = kestrin({"E:", "era", "5", "3"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(trace().size(), 3U);

  r = kestrin({"E:", "era", "3", "3"});
  EXPECT_EQ(r.out, "Block 0003: erase:ok\n");
  r = kestrin({"E:", "era", "3", "5"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Block 0003: erase:ok\nBlock 0004: erase:fail\nBlock 0005: erase:ok\n");
  const std::vector<Command> received = trace();
  ASSERT_EQ(received.size(), 3U + 4U + 6U);
  EXPECT_EQ(received[6].cdb, "EF1103000000");
  EXPECT_EQ(received[11].cdb, "EF1104000000");
  EXPECT_EQ(sim_->control("bad", {"E"}).out, "");  // a failed erase is not marked bad
}

TEST_F(KestrinBlackBox, DeviceUnpluggedInTheMiddleOfACommand) {
  // The link drops at the third erase: the walk stops, the exit code stays 0.
  start({"E:drop_after=5", "F:drop_after=3,drop_mid=1"});
  ProcessResult r = kestrin({"E:", "era", "0", "10"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Block 0000: erase:ok\nBlock 0001: erase:ok\nBlock 0002: Error: 19\n");

  // A read broken in the middle of its data still prints the table.
  r = kestrin({"F:", "rdx", "4096"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Error: 5  " + systemText(EIO) + table({}));

  // Unplugged between runs: the next run cannot open it.
  ASSERT_TRUE(sim_->unplug('E'));
  r = kestrin({"E:", "bchkp"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "CreateFile, Error opening E:. Error: 2\n" + systemText(ENOENT));
}

TEST_F(KestrinBlackBox, MemoryCommandsReadAndWriteTheControllerMemories) {
  start({"E"});
  ProcessResult r = kestrin({"E:", "wtx", "69632", "1", "2", "258", "-1", "4000000000"});  // 69632 = 0x11000
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  r = kestrin({"E:", "rdx", "4096"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, table({0x01, 0x02, 0x02, 0xFF, 0x00}));
  r = kestrin({"E:", "rdc", "8192"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, table({'Z', 'A', 'N', 'Q', '0', '0', '6', 'G', 'H', 'B'}));

  const std::vector<Command> received = trace();
  ASSERT_EQ(received.size(), 12U);
  EXPECT_EQ(received[3].cdb, "EE0200100000");
  EXPECT_EQ(received[3].direction, "out");
  EXPECT_EQ(received[3].length, 5U);
  EXPECT_EQ(received[7].cdb, "EF0100100000");
  EXPECT_EQ(received[7].length, 512U);
  EXPECT_EQ(received[11].cdb, "EF0300200000");
}

TEST_F(KestrinBlackBox, ProceduresGetTheirModeDigit) {
  // 40 blocks of 128 KiB: the last 32 hold the firmware; block 5 is bad.
  start({"E:blocks=40,bad=5"});
  // Four arguments: the default ModeDigit 2 (whole device, bad blocks skipped).
  ProcessResult r = kestrin({"E:", "eraa", "3", "x"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Block 0005: sts:bad \nBlock 0006: sts:good erase:ok\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Block 0027: sts:good erase:ok\n"), std::string::npos);
  // Exactly three: ModeDigit 3 also erases the bad block.
  r = kestrin({"E:", "eraa", "3"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Block 0005: sts:bad  erase:ok\n"), std::string::npos) << r.out;
  // bchk 0: blocks 1 to 7 only, no programming.
  r = kestrin({"E:", "bchk", "0"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.find("Block 0008:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Block 0007: sts:good erase:ok read:ok check:ok\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("prog:"), std::string::npos);
  // fwup with image files that do not exist fails.
  r = kestrin({"E:", "fwup", "no1.bin", "no2.bin", "no3.bin", "no4.bin"});
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(KestrinBlackBox, DeviceThatNeverAnswersTimesOutAfterTwentySeconds) {
  start({"E:hang_after=3"});
  const ProcessResult r = kestrin({"E:", "bchkp"}, 55s);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, " Error: 110\n");
  EXPECT_GE(r.elapsed, 19s);
  EXPECT_LT(r.elapsed, 45s);
}

// Hostile surroundings: closed or broken standard streams, and names in the
// working directory that are links, FIFOs, devices or directories.

TEST_F(KestrinBlackBox, ClosedStandardOutputNeverReachesTheDevice) {
  start({"E"});
  const ProcessResult r = kestrin({"E:", "era", "1", "3"}, 50s, common::test::StandardOutput::Closed);
  EXPECT_EQ(r.exitCode, 0);
  const std::vector<Command> received = trace();
  ASSERT_EQ(received.size(), 6U);
  EXPECT_EQ(cdbs(received), (std::vector<std::string>{kProbes[0], kProbes[1], kProbes[2], "EF1101000000",
                                                      "EF1102000000", "EF1103000000"}));
}

TEST_F(KestrinBlackBox, ABrokenOutputPipeKeepsTheRunAndItsVerdict) {
  start({"E:blocks=40", "F:blocks=40"});
  const ProcessResult whole = kestrin({"E:", "bchk", "0"});
  ASSERT_EQ(whole.exitCode, 0);
  const ProcessResult broken = kestrin({"F:", "bchk", "0"}, 50s, common::test::StandardOutput::BrokenPipe);
  EXPECT_EQ(broken.exitCode, 0);
  EXPECT_EQ(trace('F').size(), trace('E').size());  // the check went on to its end
}

TEST_F(KestrinBlackBox, TheProgressFileIsOnlyEverARegularFile) {
  start({"E:blocks=40"});
  const std::filesystem::path dir = work_.path();
  const std::filesystem::path scratch = dir / "ZANQTMPV.VAR";
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {"a link to a file",
       [&] {
         std::ofstream(dir / "target.bin") << "keep";
         std::filesystem::create_symlink("target.bin", scratch);
       },
       [&] {
         std::ifstream in(dir / "target.bin");
         EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
       }},
      {"a dangling link", [&] { std::filesystem::create_symlink("created.bin", scratch); },
       [&] { EXPECT_FALSE(std::filesystem::exists(dir / "created.bin")); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(scratch.c_str(), 0600), 0); },
       [&] { EXPECT_TRUE(std::filesystem::is_fifo(std::filesystem::symlink_status(scratch))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant();
    const ProcessResult r = kestrin({"E:", "eraa"}, 15s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Block 0027: sts:good erase:ok\n"), std::string::npos) << r.out;
    c.check();
    std::filesystem::remove(scratch);
    std::filesystem::remove(dir / "target.bin");
  }
}

TEST_F(KestrinBlackBox, FirmwareImagesAreOnlyEverRegularFiles) {
  start({"E:blocks=40"});
  const std::filesystem::path dir = work_.path();
  std::ofstream(dir / "image.bin") << "ZANQ005 image";
  ASSERT_EQ(mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.bin");
  const std::vector<std::vector<std::string>> cases = {
      {"fifo.bin", "image.bin", "image.bin", "image.bin"},
      {"/dev/zero", "image.bin", "image.bin", "image.bin"},
      {"folder.bin", "image.bin", "image.bin", "image.bin"},
      {"image.bin", "image.bin", "fifo.bin", "image.bin"},
  };
  for (const std::vector<std::string>& files : cases) {
    const std::string& refused = files[0] == "image.bin" ? files[2] : files[0];
    SCOPED_TRACE(refused);
    std::vector<std::string> args = {"E:", "fwup"};
    args.insert(args.end(), files.begin(), files.end());
    const ProcessResult r = kestrin(args, 15s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "The file '" + refused + "' can not open!\n");
  }
}

}  // namespace

}  // namespace kestrin::test
