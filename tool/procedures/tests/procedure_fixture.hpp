// Shared pieces of the procedures' tests: an emulated device driven
// in-process, a fresh working directory per test (the progress file lies in
// the current directory), the progress values seen by the scratch file, and
// helpers that read the device's trace.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/testing/temp_dir.hpp"
#include "flashsim/device.hpp"
#include "procedures/procedures.hpp"
#include "procedures/run_context.hpp"
#include "testing/sim_transport.hpp"

namespace kestrin::test {

flashsim::Profile makeProfile(std::uint16_t blocks, std::uint16_t pagesPerBlock, std::uint16_t pageSize);

// One device with the tool's side of a run attached to it.
struct Rig {
  explicit Rig(const flashsim::Profile& profile)
      : device(profile), transport(device), commands(transport), ctx(commands, console) {}
  // For a transport that sits between the tool and the device.
  Rig(const flashsim::Profile& profile, ScsiTransport& through)
      : device(profile), transport(device), commands(through), ctx(commands, console) {}

  std::string out() const { return console.captured(); }

  flashsim::Device device;
  SimTransport transport;
  VendorCommands commands;
  Console console;
  RunContext ctx;
};

// A vendor command read back from the trace.
struct Traced {
  std::uint8_t sub = 0;       // CDB byte 1 of a vendor command
  std::uint32_t page = 0;     // page-addressed commands
  std::uint16_t block = 0;    // block of the command (erase: its block; page commands: page's block)
  std::uint16_t address = 0;  // memory commands
  std::uint16_t tag = 0;      // cmd_bProgramPage
  flashsim::Outcome outcome = flashsim::Outcome::Good;
};
std::vector<Traced> vendorTrace(const flashsim::Device& device, std::uint8_t pagesPerBlockShift);
// Blocks named by a block-addressed command (status, erase, program, read, mark bad).
std::set<std::uint16_t> blocksTouched(const std::vector<Traced>& trace);
std::size_t countSub(const std::vector<Traced>& trace, std::uint8_t sub);

class ProcedureTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Progress bytes as they reached the scratch file, in order.
  std::vector<std::uint8_t> progress;
  std::filesystem::path dir;

  // The scratch file's content now (empty when missing).
  std::string scratchContent() const;
  // Writes a file in the working directory and returns its name.
  std::string writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

 private:
  std::unique_ptr<common::test::TempDir> temp_;
  std::filesystem::path previous_;
};

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed);

}  // namespace kestrin::test
