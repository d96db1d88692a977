// A full-size device (4096 blocks x 64 pages x 2048 bytes, 512 MiB) that has
// been programmed throughout and erased once keeps the daemon small.
#include <gtest/gtest.h>

#include <random>

#include "flashsim/device.hpp"
#include "flashsim/testing/link_support.hpp"

namespace flashsim::test {
namespace {

constexpr std::uint32_t kBlocks = 4096;
constexpr std::uint32_t kPages = kBlocks * 64;
constexpr long kLimitKiB = 64 * 1024;

// Sends many status commands, a batch at a time ahead of their answers, and
// counts the passes.
std::uint32_t sendBatched(Link& link, const std::vector<std::vector<std::uint8_t>>& cdbs) {
  constexpr std::size_t kBatch = 256;  // well inside the socket buffers both ways
  std::uint32_t passes = 0;
  for (std::size_t start = 0; start < cdbs.size(); start += kBatch) {
    const std::size_t end = std::min(cdbs.size(), start + kBatch);
    std::vector<std::uint8_t> out;
    for (std::size_t i = start; i < end; ++i) {
      common::sim_wire::RequestHeader h;
      h.cdbLength = static_cast<std::uint8_t>(cdbs[i].size());
      h.direction = common::sim_wire::Direction::In;
      h.transferLength = 1;
      h.timeoutMs = 20000;
      std::copy(cdbs[i].begin(), cdbs[i].end(), h.cdb.begin());
      const auto head = common::sim_wire::encodeRequestHeader(h);
      out.insert(out.end(), head.begin(), head.end());
    }
    if (!common::sim_wire::writeAll(link.fd(), out.data(), out.size())) {
      return passes;
    }
    for (std::size_t i = start; i < end; ++i) {
      std::uint8_t answer[common::sim_wire::kAnswerHeaderSize + 1];
      if (!common::sim_wire::readAll(link.fd(), answer, sizeof answer)) {
        return passes;
      }
      passes += answer[common::sim_wire::kAnswerHeaderSize] & 1U;
    }
  }
  return passes;
}

TEST(DaemonMemory, FullyProgrammedThenErasedDeviceStaysSmall) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory and quarantine make the resident size meaningless";
#endif
  FlashsimDaemon d({"e"});
  ASSERT_TRUE(d.running());
  Link e(d.socket('e'));
  ASSERT_TRUE(e.connected());

  for (std::uint16_t k = 0; k < 4; ++k) {
    ASSERT_TRUE(e.writeX(static_cast<std::uint16_t>(0x1A90 + 512 * k), std::vector<std::uint8_t>(512, 0)));
  }
  std::vector<std::vector<std::uint8_t>> cdbs;
  cdbs.reserve(kPages);
  for (std::uint32_t p = 0; p < kPages; ++p) {
    cdbs.push_back(programCdb(p));
  }
  ASSERT_EQ(sendBatched(e, cdbs), kPages);

  // Random contents in a few hundred pages (already zero, so program them
  // into the next erase's pages instead: erase those blocks first).
  std::mt19937 rng(42);
  std::vector<std::uint32_t> randomPages;
  for (int i = 0; i < 300; ++i) {
    randomPages.push_back(static_cast<std::uint32_t>(rng() % kPages));
  }
  for (std::uint32_t p : randomPages) {
    ASSERT_EQ(e.status(eraseCdb(static_cast<std::uint16_t>(p / 64))), 0x01);
  }
  std::vector<std::uint8_t> noise(2048);
  for (std::uint32_t p : randomPages) {
    for (auto& b : noise) {
      b = static_cast<std::uint8_t>(rng());
    }
    for (std::uint16_t k = 0; k < 4; ++k) {
      ASSERT_TRUE(e.writeX(static_cast<std::uint16_t>(0x1A90 + 512 * k),
                           std::vector<std::uint8_t>(noise.begin() + 512 * k, noise.begin() + 512 * (k + 1))));
    }
    ASSERT_EQ(e.status(programCdb(p)), 0x01);
  }
  const ProcessResult page = d.control("page", {"e", std::to_string(randomPages.back())});
  EXPECT_EQ(std::vector<std::uint8_t>(page.out.begin(), page.out.end()), noise);
  const long programmedKiB = statusKiB(d.pid(), "VmRSS");

  cdbs.clear();
  for (std::uint32_t b = 0; b < kBlocks; ++b) {
    cdbs.push_back(eraseCdb(static_cast<std::uint16_t>(b)));
  }
  ASSERT_EQ(sendBatched(e, cdbs), kBlocks);
  EXPECT_EQ(d.control("page", {"e", std::to_string(randomPages.back())}).out, std::string(2048, '\xFF'));

  const long rss = statusKiB(d.pid(), "VmRSS");
  const long peak = statusKiB(d.pid(), "VmHWM");
  RecordProperty("rss_programmed_kib", std::to_string(programmedKiB));
  RecordProperty("rss_erased_kib", std::to_string(rss));
  RecordProperty("rss_peak_kib", std::to_string(peak));
  std::printf("flashsim resident: %ld KiB programmed, %ld KiB erased, peak %ld KiB\n", programmedKiB, rss, peak);
  ASSERT_GT(rss, 0);
  EXPECT_LT(rss, kLimitKiB);
  EXPECT_LT(peak, kLimitKiB);
}

TEST(DeviceMemoryUse, ZeroPagesHoldNoPageBytes) {
  flashsim::Profile p;  // full size
  flashsim::Device dev(p);
  flashsim::Command program;
  program.cdbLength = 10;
  program.direction = flashsim::Direction::In;
  program.transferLength = 1;
  // The page buffer starts as zeros in data memory.
  for (std::uint32_t page = 0; page < kPages; page += 97) {
    const auto cdb = programCdb(page);
    std::copy(cdb.begin(), cdb.end(), program.cdb.begin());
    ASSERT_EQ(dev.execute(program).dataIn.at(0), 0x01);
  }
  EXPECT_GT(dev.storedPageCount(), 2000U);
  EXPECT_EQ(dev.storedPageBytes(), 0U);
}

}  // namespace
}  // namespace flashsim::test
