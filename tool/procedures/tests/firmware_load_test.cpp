// fwup against the emulated device: the stored layout byte for byte, the
// read-back compare, progress, and the loads that must fail cleanly.
#include <algorithm>
#include <cstring>

#include "common/vendor_opcodes.hpp"
#include "procedures/scratch_file.hpp"
#include "procedures/tests/procedure_fixture.hpp"

namespace kestrin::test {
namespace {

// 1024 blocks of 16 pages of 512 bytes (8 MiB): blocks of 8 KiB, the
// firmware area is blocks 512 to 1023.
constexpr std::uint16_t kPages = 16;
constexpr std::uint16_t kPageSize = 512;
constexpr std::uint32_t kBlockBytes = kPages * kPageSize;
constexpr std::uint8_t kShift = 4;

flashsim::Profile firmwareProfile(std::set<std::uint16_t> bad = {}) {
  flashsim::Profile p = makeProfile(1024, kPages, kPageSize);
  p.factoryBad = std::move(bad);
  return p;
}

std::vector<std::uint8_t> image(std::size_t size, std::uint32_t seed, bool tagged) {
  std::vector<std::uint8_t> bytes = randomBytes(size, seed);
  if (tagged) {
    std::memcpy(bytes.data(), "ZANQ005", std::min<std::size_t>(size, 7));
  }
  return bytes;
}

struct Entry {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint16_t> blocks;
};

std::vector<std::uint8_t> headerPage(const std::vector<Entry>& entries, std::size_t pageSize) {
  std::vector<std::uint8_t> page(pageSize, 0);
  std::memcpy(page.data(), "Q005", 4);
  std::size_t pos = 4;
  for (const Entry& e : entries) {
    const auto size = static_cast<std::uint32_t>(e.bytes.size());
    for (int i = 0; i < 4; ++i) {
      page[pos++] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    for (std::uint16_t b : e.blocks) {
      page[pos++] = static_cast<std::uint8_t>(b);
      page[pos++] = static_cast<std::uint8_t>(b >> 8);
    }
  }
  return page;
}

class FirmwareLoadTest : public ProcedureTest {
 protected:
  // The four images of most cases: 3 blocks (the tagged one), exactly one
  // block, nothing, and one block and one byte.
  void writeStandardImages() {
    images[0] = image(20007, 1, true);
    images[1] = image(kBlockBytes, 2, false);
    images[2] = {};
    images[3] = image(kBlockBytes + 1, 4, false);
    for (std::size_t k = 0; k < 4; ++k) {
      writeFile(names[k], images[k]);
    }
  }
  std::string loadLines(bool verify) const {
    std::string s;
    for (const char* n : names) {
      s += std::string("load '") + n + "'...ok\n";
    }
    if (verify) {
      for (const char* n : names) {
        s += std::string("read back compare '") + n + "'...ok\n";
      }
    }
    return s;
  }

  const char* names[4] = {"a.bin", "b.bin", "c.bin", "d.bin"};
  std::vector<std::uint8_t> images[4];
};

TEST_F(FirmwareLoadTest, StoresTheLayoutInGoodBlocksAndComparesIt) {
  writeStandardImages();
  for (const std::uint8_t verify : {0, 1}) {
    SCOPED_TRACE(verify);
    Rig rig(firmwareProfile({512, 514, 517}));
    ASSERT_TRUE(firmwareLoad(rig.ctx, names, verify)) << rig.out();
    EXPECT_EQ(rig.out(), loadLines(verify != 0));

    // H is the first good block of the area; files follow in good blocks, ascending.
    const std::uint16_t H = 513;
    const std::vector<Entry> entries = {
        {images[0], {515, 516, 518}}, {images[1], {519}}, {images[2], {}}, {images[3], {520, 521}}};
    EXPECT_EQ(rig.device.page(H << kShift), headerPage(entries, kPageSize));
    for (std::uint32_t p = 1; p < kPages; ++p) {
      EXPECT_EQ(rig.device.page((H << kShift) + p), std::vector<std::uint8_t>(kPageSize, 0xFF));
    }
    for (const Entry& e : entries) {
      for (std::size_t i = 0; i * kPageSize < e.bytes.size(); ++i) {
        const std::uint32_t page = (static_cast<std::uint32_t>(e.blocks[i / kPages]) << kShift) + i % kPages;
        const std::size_t n = std::min<std::size_t>(kPageSize, e.bytes.size() - i * kPageSize);
        const std::vector<std::uint8_t> stored = rig.device.page(page);
        ASSERT_TRUE(std::equal(e.bytes.begin() + i * kPageSize, e.bytes.begin() + i * kPageSize + n, stored.begin()))
            << "page " << page;
      }
    }
    // the extra byte takes a block of its own, one page of it
    for (std::uint32_t p = 1; p < kPages; ++p) {
      EXPECT_EQ(rig.device.page((521U << kShift) + p), std::vector<std::uint8_t>(kPageSize, 0xFF));
    }

    const auto trace = vendorTrace(rig.device, kShift);
    std::set<std::uint16_t> erased;
    const Traced* lastProgram = nullptr;
    for (const Traced& t : trace) {
      if (t.sub == common::vendor_opcodes::kSubEraseBlock) {
        erased.insert(t.block);
      }
      if (t.sub == common::vendor_opcodes::kSubProgramPage) {
        EXPECT_EQ(t.tag, 0xFFF0);
        lastProgram = &t;
      }
    }
    EXPECT_EQ(erased, (std::set<std::uint16_t>{513, 515, 516, 518, 519, 520, 521}));
    ASSERT_NE(lastProgram, nullptr);
    EXPECT_EQ(lastProgram->page, static_cast<std::uint32_t>(H) << kShift);  // the header comes last
    EXPECT_EQ(countSub(trace, common::vendor_opcodes::kSubReadPage) > 0, verify != 0);
    EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{512, 514, 517}));
  }
}

TEST_F(FirmwareLoadTest, ProgressGoesUpByFiveAndStopsAt100) {
  auto fives = [](int updates) {
    std::vector<std::uint8_t> v = {2};
    for (int i = 1; i <= updates; ++i) {
      v.push_back(static_cast<std::uint8_t>(std::min(100, 5 * i)));
    }
    return v;
  };
  struct Case {
    std::size_t pages;
    std::uint8_t verify;
    std::vector<std::uint8_t> expected;
  };
  const std::vector<Case> cases = {
      {30, 1, fives(20)},  // an update every 3 pages: 10 while loading, 10 while comparing
      {30, 0, fives(30)},  // every page: 100 after 20 pages, and there it stays
      {9, 1, fives(18)},   // so few pages that every page of the load and the compare counts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pages);
    progress.clear();
    images[0] = image(c.pages * kPageSize, 9, true);
    writeFile(names[0], images[0]);
    for (std::size_t k = 1; k < 4; ++k) {
      writeFile(names[k], {});
    }
    Rig rig(firmwareProfile());
    ASSERT_TRUE(firmwareLoad(rig.ctx, names, c.verify));
    EXPECT_EQ(progress, c.expected);
    EXPECT_EQ(scratchContent(), std::string(1, static_cast<char>(c.expected.back())));
  }
}

TEST_F(FirmwareLoadTest, FirstFileWithoutTagIsRefusedBeforeAnyDeviceWrite) {
  const std::vector<std::vector<std::uint8_t>> firsts = {
      {'Z', 'A', 'N', 'Q', '0'}, {}, image(5000, 3, false), {'Z', 'A', 'N', 'Q', '0', '0', '6', 'x'}};
  for (const auto& first : firsts) {
    SCOPED_TRACE(first.size());
    writeFile(names[0], first);
    for (std::size_t k = 1; k < 4; ++k) {
      writeFile(names[k], image(100, 5, false));
    }
    Rig rig(firmwareProfile());
    EXPECT_FALSE(firmwareLoad(rig.ctx, names, 1));
    EXPECT_EQ(rig.out(), "The tag of 'a.bin' error!\n");
    const auto trace = vendorTrace(rig.device, kShift);
    ASSERT_EQ(trace.size(), 1U);  // the geometry read
    EXPECT_EQ(trace[0].sub, common::vendor_opcodes::kSubReadXdata);
    EXPECT_EQ(scratchContent(), "\x02");
  }
}

TEST_F(FirmwareLoadTest, FileThatCannotBeOpenedIsNamed) {
  writeStandardImages();
  {
    const char* files[4] = {"missing.bin", names[1], names[2], names[3]};
    Rig rig(firmwareProfile());
    EXPECT_FALSE(firmwareLoad(rig.ctx, files, 0));
    EXPECT_EQ(rig.out(), "The file 'missing.bin' can not open!\n");
    EXPECT_FALSE(std::filesystem::exists(dir / kScratchFileName));  // created only after the first file opened
  }
  {
    const char* files[4] = {names[0], names[1], "missing.bin", names[3]};
    Rig rig(firmwareProfile());
    EXPECT_FALSE(firmwareLoad(rig.ctx, files, 0));
    EXPECT_EQ(rig.out(), "The file 'missing.bin' can not open!\n");
    EXPECT_EQ(scratchContent(), "\x02");
    EXPECT_EQ(vendorTrace(rig.device, kShift).size(), 1U);
  }
}

TEST_F(FirmwareLoadTest, FailedEraseOrProgramMarksTheBlockBadAndKeepsTheOldHeader) {
  writeStandardImages();
  struct Case {
    const char* name;
    flashsim::Faults faults;
  };
  flashsim::Faults erase;
  erase.eraseFails = {514};
  flashsim::Faults program;
  program.programFails = {514};
  flashsim::Faults header;
  header.eraseFails = {512};
  for (const Case& c : {Case{"erase", erase}, Case{"program", program}, Case{"header erase", header}}) {
    SCOPED_TRACE(c.name);
    Rig rig(firmwareProfile());
    ASSERT_TRUE(firmwareLoad(rig.ctx, names, 0));
    const std::vector<std::uint8_t> oldHeader = rig.device.page(512U << kShift);
    rig.device.setFaults(c.faults);
    rig.console = Console();

    EXPECT_FALSE(firmwareLoad(rig.ctx, names, 1));
    const std::uint16_t block =
        c.faults.eraseFails.empty() ? *c.faults.programFails.begin() : *c.faults.eraseFails.begin();
    EXPECT_EQ(rig.device.badBlocks(), (std::set<std::uint16_t>{block}));
    if (block == 512) {
      EXPECT_EQ(rig.out(), loadLines(false));
    } else {
      EXPECT_EQ(rig.out(), "load 'a.bin'...");
      EXPECT_EQ(rig.device.page(512U << kShift), oldHeader);
    }
  }
}

// Replaces the stored header page just before the read-back reads it, as a
// device whose header went bad would answer.
class HeaderSwap : public ScsiTransport {
 public:
  TransportStatus execute(const ScsiRequest& r) override {
    const bool headerRead = r.cdb[0] == common::vendor_opcodes::kOpRead &&
                            r.cdb[1] == common::vendor_opcodes::kSubReadPage &&
                            r.cdb[2] == static_cast<std::uint8_t>(headerPage) &&
                            r.cdb[3] == static_cast<std::uint8_t>(headerPage >> 8) && r.cdb[4] == 0 && r.cdb[5] == 0;
    if (headerRead && !swapped) {
      swapped = true;
      VendorCommands direct(*inner);
      direct.cmd_bEraseBlock(static_cast<std::uint16_t>(headerPage >> kShift));
      direct.cmd_bWriteXdata(common::vendor_opcodes::kPageBufferAddress, replacement.data(), kPageSize);
      direct.cmd_bProgramPage(headerPage, 0xFFF0, common::vendor_opcodes::kPageBufferAddress);
    }
    return inner->execute(r);
  }
  SimTransport* inner = nullptr;
  std::uint32_t headerPage = 0;
  std::vector<std::uint8_t> replacement;
  bool swapped = false;
};

TEST_F(FirmwareLoadTest, CorruptStoredHeaderFailsTheCompareCleanly) {
  writeStandardImages();
  // The good header: H = 512; a in 513-515, b in 516, c empty, d in 517-518.
  const std::vector<Entry> good = {
      {images[0], {513, 514, 515}}, {images[1], {516}}, {images[2], {}}, {images[3], {517, 518}}};
  auto put32 = [](std::vector<std::uint8_t>& p, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
  };
  auto put16 = [](std::vector<std::uint8_t>& p, std::size_t at, std::uint16_t v) {
    p[at] = static_cast<std::uint8_t>(v);
    p[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> corrupt;
    int comparedOk;  // files that compare before the failure
  };
  const std::vector<Case> cases = {
      {"tag", [](auto& p) { p[3] = '6'; }, 0},
      {"first size runs past the page", [&](auto& p) { put32(p, 4, 0xFFFFFFFFU); }, 0},
      {"first size shifts the entries", [&](auto& p) { put32(p, 4, 5 * kBlockBytes); }, 0},
      {"a later block below the header", [&](auto& p) { put16(p, 10, 0); }, 0},
      {"the last block beyond the device", [&](auto& p) { put16(p, 12, 0xFFFF); }, 0},
      {"a stored size smaller than the file", [&](auto& p) { put32(p, 14, kBlockBytes - 1); }, 1},
      {"the last size runs past the page", [&](auto& p) { put32(p, 24, 0x7FFFFFFFU); }, 3},
      {"the last block list runs past the page", [&](auto& p) { put32(p, 24, 300 * kBlockBytes); }, 3},
      {"a list of good block numbers runs past the page",
       [&](auto& p) {
         put32(p, 24, 300 * kBlockBytes);
         for (std::size_t at = 28; at < kPageSize; at += 2) {
           put16(p, at, 517);
         }
       },
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeaderSwap swap;
    Rig rig(firmwareProfile(), swap);
    swap.inner = &rig.transport;
    swap.headerPage = 512U << kShift;
    swap.replacement = headerPage(good, kPageSize);
    c.corrupt(swap.replacement);

    EXPECT_FALSE(firmwareLoad(rig.ctx, names, 1));
    EXPECT_TRUE(swap.swapped);
    std::string expected = loadLines(false);
    for (int k = 0; k < c.comparedOk; ++k) {
      expected += std::string("read back compare '") + names[k] + "'...ok\n";
    }
    expected += std::string("read back compare '") + names[c.comparedOk] + "'...";
    EXPECT_EQ(rig.out(), expected);
    for (const Traced& t : vendorTrace(rig.device, kShift)) {
      if (t.sub == common::vendor_opcodes::kSubReadPage) {  // never outside the firmware area
        EXPECT_GE(t.block, 512);
        EXPECT_LT(t.block, 1024);
      }
    }
  }
}

TEST_F(FirmwareLoadTest, ImagesThatCannotFitAreRefusedBeforeAnyDeviceWrite) {
  struct Case {
    const char* name;
    std::size_t firstSize;
    std::size_t secondSize;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"more blocks than the area holds besides the header", 300 * kBlockBytes, 212 * kBlockBytes,
       "The images need 512 blocks, the firmware area holds 511!\n"},
      {"block lists longer than a page", 200 * kBlockBytes, 46 * kBlockBytes + 1,
       "The header of the images needs 514 bytes, a page holds 512!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(names[0], image(c.firstSize, 1, true));
    writeFile(names[1], image(c.secondSize, 2, false));
    writeFile(names[2], {});
    writeFile(names[3], {});
    Rig rig(firmwareProfile());
    EXPECT_FALSE(firmwareLoad(rig.ctx, names, 1));
    EXPECT_EQ(rig.out(), c.message);
    EXPECT_EQ(vendorTrace(rig.device, kShift).size(), 1U);  // the geometry read only
  }
  {
    SCOPED_TRACE("a file over 4 GiB");
    writeFile(names[0], image(100, 1, true));
    writeFile(names[1], {});
    std::filesystem::resize_file(dir / names[1], (std::uintmax_t{1} << 32) + 1);  // sparse
    Rig rig(firmwareProfile());
    EXPECT_FALSE(firmwareLoad(rig.ctx, names, 0));
    EXPECT_EQ(rig.out(), "The file 'b.bin' is too large!\n");
    EXPECT_EQ(vendorTrace(rig.device, kShift).size(), 1U);
  }
}

TEST_F(FirmwareLoadTest, BlockListsThatJustFillThePageAreStored) {
  // 4 + 4 * 4 + 2 * 246 = 512 bytes
  images[0] = image(200 * kBlockBytes, 1, true);
  images[1] = image(46 * kBlockBytes, 2, false);
  writeFile(names[0], images[0]);
  writeFile(names[1], images[1]);
  writeFile(names[2], {});
  writeFile(names[3], {});
  Rig rig(firmwareProfile());
  ASSERT_TRUE(firmwareLoad(rig.ctx, names, 1)) << rig.out();
  const std::vector<std::uint8_t> header = rig.device.page(512U << kShift);
  // b's last block (513 + 246 - 1 = 758) ends at 503; the sizes of c and d (0) fill the page
  EXPECT_EQ(header[502], static_cast<std::uint8_t>(758 & 0xFF));
  EXPECT_EQ(header[503], 758 >> 8);
  EXPECT_EQ(std::vector<std::uint8_t>(header.begin() + 504, header.end()), std::vector<std::uint8_t>(8, 0));
}

TEST_F(FirmwareLoadTest, ImagesThatFitOnlyWithoutTheBadBlocksLeaveTheOldHeader) {
  // 1024 blocks of 4 pages of 2048 bytes: the area is 512 blocks of 8 KiB,
  // and a page has room for the block list of all of them.
  flashsim::Profile profile = makeProfile(1024, 4, 2048);
  for (std::uint16_t b = 1000; b < 1010; ++b) {
    profile.factoryBad.insert(b);
  }
  Rig rig(profile);
  writeFile(names[0], image(100, 1, true));
  for (std::size_t k = 1; k < 4; ++k) {
    writeFile(names[k], {});
  }
  ASSERT_TRUE(firmwareLoad(rig.ctx, names, 0));
  const std::vector<std::uint8_t> oldHeader = rig.device.page(512U << 2);

  writeFile(names[0], image(505 * 8192, 1, true));  // 505 of the 511 blocks, only 501 of them good
  rig.console = Console();
  EXPECT_FALSE(firmwareLoad(rig.ctx, names, 0));
  EXPECT_EQ(rig.out(), "load 'a.bin'...No good block left in the firmware area!\n");
  EXPECT_EQ(rig.device.page(512U << 2), oldHeader);
  EXPECT_EQ(rig.device.badBlocks().size(), 10U);
}

TEST_F(FirmwareLoadTest, FileShorterThanItsSizeFailsInsteadOfPadding) {
  images[0] = image(10000, 1, true);
  writeFile(names[0], images[0]);
  for (std::size_t k = 1; k < 4; ++k) {
    writeFile(names[k], {});
  }
  // the file shrinks once it has been opened and measured
  ScratchFile::setObserver([this](std::uint8_t) { std::filesystem::resize_file(dir / names[0], 1000); });
  Rig rig(firmwareProfile());
  EXPECT_FALSE(firmwareLoad(rig.ctx, names, 0));
  EXPECT_EQ(rig.out(), "load 'a.bin'...The file 'a.bin' can not be read!\n");
  const auto trace = vendorTrace(rig.device, kShift);
  EXPECT_EQ(countSub(trace, common::vendor_opcodes::kSubProgramPage), 1U);  // the first page only, no header
}

}  // namespace
}  // namespace kestrin::test
