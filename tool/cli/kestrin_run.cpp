#include "cli/kestrin_run.hpp"

#include <string>
#include <string_view>

#include "cli/arguments.hpp"
#include "cli/keywords.hpp"
#include "common/tool_contract.hpp"
#include "device/vendor_commands.hpp"
#include "procedures/run_context.hpp"

namespace kestrin {

using common::tool_contract::kExitFailure;
using common::tool_contract::kExitSuccess;

namespace {

constexpr std::uint16_t kStartupFirst = 0;
constexpr std::uint16_t kStartupSecond = 0x0180;

// The start-up probes after the device is open; false after printing why.
bool probe(RunContext& ctx) {
  const CommandOutcome startup = ctx.commands.cmd_bStartup(kStartupFirst, kStartupSecond);
  if (startup.transportError()) {
    ctx.failures.report(startup, FailureForm::WithSystemText);
    return false;
  }

  std::uint8_t inquiry[36] = {};
  const CommandOutcome identified = ctx.commands.cmd_bInquiry(inquiry);
  if (!identified.pass()) {
    if (identified.transportError()) ctx.failures.keep(identified);
    ctx.console.print("cmd_bInquiry() fail!\n");
    return false;
  }

  std::uint32_t lastBlockAddress = 0;
  std::uint32_t blockLength = 0;
  const CommandOutcome capacity = ctx.commands.cmd_bReadCapacity(lastBlockAddress, blockLength);
  if (capacity.transportError()) {
    ctx.console.print("ReadCapacity ");
    ctx.failures.report(capacity, FailureForm::WithSystemText);
    return false;
  }
  if (blockLength == 0) {
    ctx.console.print("cmd_bReadCapacity() fail!\n");
    return false;
  }
  return true;
}

int dispatch(RunContext& ctx, std::span<const char* const> args) {
  const Keyword* keyword = findKeyword(args[1]);
  return keyword != nullptr ? keyword->run(ctx, args) : kExitSuccess;  // any other word: the probes only
}

}  // namespace

void printBanner(Console& console) { console.print("kestrin.exe, building date: %s, %s\n", __DATE__, __TIME__); }

int runKestrin(std::span<const char* const> args, Console& console, const DeviceOpener& open) {
  if (args.empty()) {
    printBanner(console);
    return kExitFailure;
  }
  if (const common::Result<void> usable = checkCommandLine(args); !usable) {
    console.print("%s", usable.error().c_str());
    return kExitFailure;
  }

  OrSystemError<std::unique_ptr<ScsiTransport>> opened = open(args[0]);
  if (!opened) {
    console.print("CreateFile, Error opening %s. Error: %d\n", args[0], static_cast<int>(opened.error()));
    PrintSystemMessage(console, opened.error());
    return kExitFailure;
  }
  std::unique_ptr<ScsiTransport> device = std::move(opened).value();

  // From here on the device is closed (the transport destroyed) on every
  // path before the exit code is handed back.
  VendorCommands commands(*device);
  RunContext ctx(commands, console);
  int code = kExitFailure;
  if (probe(ctx)) {
    code = (args.size() < 2) ? kExitSuccess : dispatch(ctx, args);
  }
  device.reset();
  return code;
}

}  // namespace kestrin
