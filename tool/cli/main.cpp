// kestrin: one device operation per run; the verdict is the exit code.
#include <cstdio>
#include <exception>
#include <span>

#include "cli/kestrin_run.hpp"
#include "cli/process.hpp"
#include "common/tool_contract.hpp"
#include "device/console.hpp"
#include "device/scsi_transport.hpp"

int main(int argc, char** argv) {
  kestrin::beginProcess();
  kestrin::Console console(stdout);
  std::span<const char* const> args;
  if (argc > 1) args = std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1));
  int code = common::tool_contract::kExitFailure;
  try {
    code = kestrin::runKestrin(args, console, kestrin::openDevice);
  } catch (const std::exception& e) {
    console.print("Internal error: %s\n", e.what());
    code = common::tool_contract::kExitFailure;
  }
  kestrin::endProcess(code);
}
