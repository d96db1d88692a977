// eraa and bchk against the emulated device: the printed lines byte for
// byte, the blocks the device saw, the blocks it holds bad, and the progress.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <thread>

#include "common/vendor_opcodes.hpp"
#include "procedures/scratch_file.hpp"
#include "procedures/tests/procedure_fixture.hpp"

namespace kestrin::test {
namespace {

std::string line(unsigned block, std::initializer_list<const char*> pieces) {
  char head[16];
  std::snprintf(head, sizeof head, "Block %04X:", block);
  std::string s = head;
  for (const char* p : pieces) {
    s += p;
  }
  return s;
}

const std::initializer_list<const char*> kEraseGood = {" sts:good", " erase:ok\n"};
const std::initializer_list<const char*> kSkipped = {" sts:bad ", "\n"};
const std::initializer_list<const char*> kCheckGood = {" sts:good", " erase:ok", " read:ok check:ok\n"};
const std::initializer_list<const char*> kVerifyGood = {" sts:good", " prog:ok", " read:ok check:ok", " erase:ok",
                                                        " read:ok check:ok\n"};

std::set<std::uint16_t> range(std::uint16_t first, std::uint16_t last) {
  std::set<std::uint16_t> s;
  for (std::uint32_t b = first; b <= last; ++b) {
    s.insert(static_cast<std::uint16_t>(b));
  }
  return s;
}

std::set<std::uint16_t> erasedBlocks(const std::vector<Traced>& trace) {
  std::set<std::uint16_t> s;
  for (const Traced& t : trace) {
    if (t.sub == common::vendor_opcodes::kSubEraseBlock) {
      s.insert(t.block);
    }
  }
  return s;
}

class BlankCheckTest : public ProcedureTest {};

TEST_F(BlankCheckTest, EraseWalkStopsBeforeFirmwareAreaUnlessWholeDevice) {
  for (const std::uint8_t mode : {0, 2}) {
    SCOPED_TRACE(mode);
    progress.clear();
    flashsim::Profile profile;  // 4096 blocks of 64 pages of 2048 bytes
    profile.factoryBad = {7, 4070};
    Rig rig(profile);
    ASSERT_TRUE(eraseAll(rig.ctx, mode));

    const unsigned last = mode == 0 ? 4063 : 4095;
    std::string expected;
    for (unsigned b = 1; b <= last; ++b) {
      expected += line(b, (b == 7 || b == 4070) ? kSkipped : kEraseGood);
    }
    EXPECT_EQ(rig.out(), expected);

    const auto trace = vendorTrace(rig.device, 6);
    EXPECT_EQ(blocksTouched(trace), range(1, static_cast<std::uint16_t>(last)));  // never block 0
    auto erased = range(1, static_cast<std::uint16_t>(last));
    erased.erase(7);
    erased.erase(4070);
    EXPECT_EQ(erasedBlocks(trace), erased);
    EXPECT_EQ(countSub(trace, common::vendor_opcodes::kSubMarkBad), 0U);

    // 2 at the start, then every 203 (204) blocks from block 204 (205) on
    ASSERT_EQ(progress.size(), 21U);
    EXPECT_EQ(progress.front(), 2);
    EXPECT_EQ(progress[1], 5);
    EXPECT_EQ(progress.back(), 99);
    EXPECT_EQ(scratchContent(), std::string(1, static_cast<char>(progress.back())));
  }
}

TEST_F(BlankCheckTest, ProgressOfACheckOf4064BlocksEndsAt99) {
  // E = 4064 (the whole of a device with small blocks), an update every 81 blocks
  Rig rig(makeProfile(4064, 4, 512));
  ASSERT_TRUE(blankCheck(rig.ctx, 2));

  std::vector<std::uint8_t> expected = {2};
  for (unsigned b = 82; b < 4064; b += 81) {
    expected.push_back(static_cast<std::uint8_t>(100 * b / 4064));
  }
  EXPECT_EQ(progress, expected);
  ASSERT_GE(progress.size(), 5U);
  EXPECT_EQ((std::vector<std::uint8_t>(progress.begin(), progress.begin() + 5)),
            (std::vector<std::uint8_t>{2, 2, 4, 6, 7}));
  EXPECT_EQ(progress.back(), 99);
  EXPECT_EQ(scratchContent(), "\x63");

  std::string lines;
  for (unsigned b = 1; b <= 4063; ++b) {
    lines += line(b, kCheckGood);
  }
  EXPECT_EQ(rig.out(), lines);
}

// 40 blocks of 128 KiB: the firmware area is blocks 8 to 39.
flashsim::Profile smallProfile() { return makeProfile(40, 64, 2048); }

TEST_F(BlankCheckTest, ModeZeroChecksBelowFirmwareAreaWithoutProgramming) {
  flashsim::Profile profile = smallProfile();
  profile.factoryBad = {2};
  Rig rig(profile);
  ASSERT_TRUE(blankCheck(rig.ctx, 0));

  std::string expected;
  for (unsigned b = 1; b <= 7; ++b) {
    expected += line(b, b == 2 ? kSkipped : kCheckGood);
  }
  EXPECT_EQ(rig.out(), expected);
  const auto trace = vendorTrace(rig.device, 6);
  EXPECT_EQ(countSub(trace, common::vendor_opcodes::kSubProgramPage), 0U);
  EXPECT_EQ(countSub(trace, common::vendor_opcodes::kSubWriteXdata), 0U);
  EXPECT_EQ(blocksTouched(trace), range(1, 7));
  EXPECT_EQ(erasedBlocks(trace), (std::set<std::uint16_t>{1, 3, 4, 5, 6, 7}));
  EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{2}));
  // E = 8 is below 50: one update, at block 1
  EXPECT_EQ(progress, (std::vector<std::uint8_t>{2, 100 * 1 / 8}));
}

TEST_F(BlankCheckTest, EraseWalkOfFewBlocksUpdatesProgressOnce) {
  Rig rig(smallProfile());
  ASSERT_TRUE(eraseAll(rig.ctx, 0));
  EXPECT_EQ(progress, (std::vector<std::uint8_t>{2, 12}));
}

TEST_F(BlankCheckTest, IncludeBadBlocksTestsABadBlockLikeAGoodOne) {
  flashsim::Profile profile = smallProfile();
  profile.factoryBad = {3};
  {
    Rig rig(profile);
    ASSERT_TRUE(blankCheck(rig.ctx, 1));
    EXPECT_NE(rig.out().find(line(3, {" sts:bad ", " erase:ok", " read:ok check:ok\n"}) + line(4, {})),
              std::string::npos)
        << rig.out();
    EXPECT_EQ(erasedBlocks(vendorTrace(rig.device, 6)), range(1, 7));
  }
  {
    Rig rig(profile);
    ASSERT_TRUE(eraseAll(rig.ctx, 1));
    EXPECT_NE(rig.out().find(line(3, {" sts:bad ", " erase:ok\n"})), std::string::npos) << rig.out();
  }
}

TEST_F(BlankCheckTest, FailingBlocksAreMarkedBadAndTheWalkGoesOn) {
  flashsim::Profile profile = smallProfile();
  profile.faults.programFails = {2};
  profile.faults.readFails = {3};
  profile.faults.bitErrors = {4};
  profile.faults.eraseFails = {5};
  {
    SCOPED_TRACE("program and verify");
    Rig rig(profile);
    ASSERT_TRUE(blankCheck(rig.ctx, 4));
    const std::string expected = line(1, kVerifyGood) + line(2, {" sts:good", " prog:fail\n"}) +
                                 line(3, {" sts:good", " prog:ok", " read:fail", " check:fail\n"}) +
                                 line(4, {" sts:good", " prog:ok", " check:fail\n"}) +
                                 line(5, {" sts:good", " prog:ok", " read:ok check:ok", " erase:fail\n"}) +
                                 line(6, kVerifyGood) + line(7, kVerifyGood);
    EXPECT_EQ(rig.out(), expected);
    EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{2, 3, 4, 5}));

    // The zero pattern goes to the page buffer once per block and is
    // programmed into every page with the block's own number as tag.
    const auto trace = vendorTrace(rig.device, 6);
    std::size_t writes = 0;
    std::size_t programs = 0;
    for (const Traced& t : trace) {
      if (t.sub == common::vendor_opcodes::kSubEraseBlock && t.block == 1) {
        break;
      }
      writes += t.sub == common::vendor_opcodes::kSubWriteXdata ? 1 : 0;
      if (t.sub == common::vendor_opcodes::kSubProgramPage) {
        ++programs;
        EXPECT_EQ(t.block, 1);
        EXPECT_EQ(t.tag, 1);
      }
    }
    EXPECT_EQ(writes, 2048U / 512);
    EXPECT_EQ(programs, 64U);
    for (std::uint32_t p = 64; p < 128; ++p) {
      EXPECT_EQ(rig.device.page(p), std::vector<std::uint8_t>(2048, 0xFF)) << p;  // block 1 ends erased
    }
  }
  {
    SCOPED_TRACE("erase and blank check only");
    Rig rig(profile);
    ASSERT_TRUE(blankCheck(rig.ctx, 0));
    EXPECT_EQ(rig.out(), line(1, kCheckGood) + line(2, kCheckGood) +
                             line(3, {" sts:good", " erase:ok", " read:fail", " check:fail\n"}) +
                             line(4, {" sts:good", " erase:ok", " check:fail\n"}) +
                             line(5, {" sts:good", " erase:fail\n"}) + line(6, kCheckGood) + line(7, kCheckGood));
    EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{3, 4, 5}));
  }
  {
    SCOPED_TRACE("erase pass");
    Rig rig(profile);
    ASSERT_TRUE(eraseAll(rig.ctx, 0));
    EXPECT_NE(rig.out().find(line(5, {" sts:good", " erase:fail\n"}) + line(6, kEraseGood)), std::string::npos);
    EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{5}));
  }
}

// 2048 blocks of 4 pages of 512 bytes: two zones, the whole device checked.
struct ZoneCase {
  const char* name;
  std::set<std::uint16_t> eraseFails;
  std::set<std::uint16_t> factoryBad;
  bool passes;
  unsigned lastBlockPrinted;
};

TEST_F(BlankCheckTest, ZoneFailureLimit) {
  const std::set<std::uint16_t> first24 = range(1, 24);
  std::set<std::uint16_t> acrossZones = range(1010, 1033);  // 14 in zone 0, 10 in zone 1
  const std::vector<ZoneCase> cases = {
      {"24th failure fails the next block of the zone", first24, {}, false, 24},
      {"24th failure on the last block of a zone", range(1000, 1023), {}, true, 2047},
      {"failures spread over two zones", acrossZones, {}, true, 2047},
      {"24th failure on the last block", range(2024, 2047), {}, true, 2047},
      {"skipped bad blocks never count", {}, range(1, 100), true, 2047},
  };
  for (const ZoneCase& c : cases) {
    SCOPED_TRACE(c.name);
    flashsim::Profile profile = makeProfile(2048, 4, 512);
    profile.faults.eraseFails = c.eraseFails;
    profile.factoryBad = c.factoryBad;
    Rig rig(profile);
    EXPECT_EQ(blankCheck(rig.ctx, 2), c.passes);

    const std::string out = rig.out();
    const std::string limit = "fail_count_in_one_zone >= 24!!!";
    if (c.passes) {
      EXPECT_EQ(out.find(limit), std::string::npos);
      EXPECT_EQ(out.substr(out.size() - 1), "\n");
    } else {
      ASSERT_GE(out.size(), limit.size());
      EXPECT_EQ(out.substr(out.size() - limit.size()), limit);
    }
    const auto touched = blocksTouched(vendorTrace(rig.device, 2));
    EXPECT_EQ(*touched.rbegin(), c.lastBlockPrinted);
    EXPECT_EQ(out.rfind("Block "), out.rfind(line(c.lastBlockPrinted, {})));
    std::set<std::uint16_t> bad = c.eraseFails;
    bad.insert(c.factoryBad.begin(), c.factoryBad.end());
    EXPECT_EQ(rig.device.badBlocks(), bad);
  }
}

TEST_F(BlankCheckTest, LinkLostEndsTheWalkWithTheErrorCode) {
  struct Case {
    const char* name;
    std::uint8_t mode;
    std::uint64_t dropAfter;  // commands answered before the drop; the geometry read is the first
    bool mid;
    std::string expected;
    std::uint32_t error;
  };
  const std::vector<Case> cases = {
      {"inside the read-back transfer", 0, 4, true, line(1, {" sts:good", " erase:ok", " Error: 5"}), 5},
      {"inside the pattern transfer", 4, 2, true, line(1, {" sts:good", " Error: 5"}), 5},
      {"at the status", 0, 1, false, line(1, {" Error: 19\n"}), 19},
      {"at the page read", 0, 3, false, line(1, {" sts:good", " erase:ok", " Error: 19\n"}), 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    flashsim::Profile profile = smallProfile();
    profile.faults.dropAfterCommands = c.dropAfter;
    profile.faults.dropMidCommand = c.mid;
    Rig rig(profile);
    EXPECT_FALSE(blankCheck(rig.ctx, c.mode));
    EXPECT_EQ(rig.out(), c.expected);
    EXPECT_EQ(rig.ctx.failures.lastError(), c.error);
  }
}

TEST_F(BlankCheckTest, ProgressFileCanBeReadWhileTheCheckRuns) {
  // Another reader opens the file on its own while the check holds it open:
  // at every update it must already find the new value.
  std::vector<std::string> seenAtUpdate;
  ScratchFile::setObserver([&](std::uint8_t v) {
    progress.push_back(v);
    std::ifstream in(dir / kScratchFileName, std::ios::binary);
    seenAtUpdate.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> oddValues{0};
  std::thread watcher([&] {
    while (!done) {
      std::FILE* f = std::fopen(kScratchFileName, "rb");
      if (f != nullptr) {
        const int c = std::fgetc(f);
        if (c != EOF && c > 100) {
          ++oddValues;
        }
        ++reads;
        std::fclose(f);
      }
      std::this_thread::yield();
    }
  });
  Rig rig(makeProfile(2048, 4, 512));
  const bool ok = blankCheck(rig.ctx, 2);
  done = true;
  watcher.join();

  ASSERT_TRUE(ok);
  ASSERT_EQ(progress.size(), seenAtUpdate.size());
  for (std::size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(seenAtUpdate[i], std::string(1, static_cast<char>(progress[i]))) << i;
  }
  EXPECT_EQ(progress.size(), 1U + 51U);  // 2, then every 40 blocks from block 41
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(oddValues.load(), 0);
}

TEST_F(BlankCheckTest, RunsWithoutProgressFileWhenItCannotBeCreated) {
  std::filesystem::create_directory(dir / kScratchFileName);
  Rig rig(smallProfile());
  EXPECT_TRUE(blankCheck(rig.ctx, 0));
  EXPECT_TRUE(progress.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir / kScratchFileName));
}

TEST_F(BlankCheckTest, ProgressFileIsTruncatedToItsOneByte) {
  writeFile(kScratchFileName, std::vector<std::uint8_t>(100, 0x55));
  Rig rig(smallProfile());
  ASSERT_TRUE(eraseAll(rig.ctx, 0));
  EXPECT_EQ(scratchContent(), "\x0C");
}

}  // namespace
}  // namespace kestrin::test
