#include "procedures/tests/procedure_fixture.hpp"

#include <fstream>
#include <iterator>
#include <random>

#include "common/vendor_opcodes.hpp"
#include "procedures/scratch_file.hpp"

namespace kestrin::test {

flashsim::Profile makeProfile(std::uint16_t blocks, std::uint16_t pagesPerBlock, std::uint16_t pageSize) {
  flashsim::Profile p;
  p.geometry.blockCount = blocks;
  p.geometry.pagesPerBlock = pagesPerBlock;
  p.geometry.pageSize = pageSize;
  p.traceLimit = 2'000'000;
  return p;
}

std::vector<Traced> vendorTrace(const flashsim::Device& device, std::uint8_t shift) {
  std::vector<Traced> out;
  for (const flashsim::TraceEntry& e : device.trace()) {
    if (e.cdb.size() < 6 ||
        (e.cdb[0] != common::vendor_opcodes::kOpRead && e.cdb[0] != common::vendor_opcodes::kOpWrite)) {
      continue;
    }
    Traced t;
    t.sub = e.cdb[1];
    t.outcome = e.outcome;
    const std::uint16_t word = static_cast<std::uint16_t>(e.cdb[2] | (e.cdb[3] << 8));
    const std::uint32_t page = static_cast<std::uint32_t>(e.cdb[2]) | (static_cast<std::uint32_t>(e.cdb[3]) << 8) |
                               (static_cast<std::uint32_t>(e.cdb[4]) << 16) |
                               (static_cast<std::uint32_t>(e.cdb[5]) << 24);
    switch (t.sub) {
      case common::vendor_opcodes::kSubEraseBlock:
        t.block = word;
        break;
      case common::vendor_opcodes::kSubProgramPage:
        t.page = page;
        t.block = static_cast<std::uint16_t>(page >> shift);
        t.tag = static_cast<std::uint16_t>(e.cdb[6] | (e.cdb[7] << 8));
        break;
      case common::vendor_opcodes::kSubReadPage:
      case common::vendor_opcodes::kSubBlockStatus:
      case common::vendor_opcodes::kSubMarkBad:
        t.page = page;
        t.block = static_cast<std::uint16_t>(page >> shift);
        break;
      default:
        t.address = word;
        break;
    }
    out.push_back(t);
  }
  return out;
}

std::set<std::uint16_t> blocksTouched(const std::vector<Traced>& trace) {
  std::set<std::uint16_t> blocks;
  for (const Traced& t : trace) {
    switch (t.sub) {
      case common::vendor_opcodes::kSubEraseBlock:
      case common::vendor_opcodes::kSubProgramPage:
      case common::vendor_opcodes::kSubReadPage:
      case common::vendor_opcodes::kSubBlockStatus:
      case common::vendor_opcodes::kSubMarkBad:
        blocks.insert(t.block);
        break;
      default:
        break;
    }
  }
  return blocks;
}

std::size_t countSub(const std::vector<Traced>& trace, std::uint8_t sub) {
  std::size_t n = 0;
  for (const Traced& t : trace) {
    n += t.sub == sub ? 1 : 0;
  }
  return n;
}

void ProcedureTest::SetUp() {
  previous_ = std::filesystem::current_path();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  temp_ = std::make_unique<common::test::TempDir>("kestrin-proc-" + name);
  dir = temp_->path();
  std::filesystem::current_path(dir);
  ScratchFile::setObserver([this](std::uint8_t v) { progress.push_back(v); });
}

void ProcedureTest::TearDown() {
  ScratchFile::setObserver({});
  std::filesystem::current_path(previous_);
  temp_.reset();
}

std::string ProcedureTest::scratchContent() const {
  std::ifstream in(dir / kScratchFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ProcedureTest::writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return name;
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) {
    b = static_cast<std::uint8_t>(gen());
  }
  return v;
}

}  // namespace kestrin::test
