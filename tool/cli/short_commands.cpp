#include "cli/short_commands.hpp"

#include <cstring>

#include "cli/arguments.hpp"
#include "common/tool_contract.hpp"
#include "common/vendor_opcodes.hpp"

namespace kestrin {

using common::tool_contract::kExitFailure;
using common::tool_contract::kExitStillChecking;
using common::tool_contract::kExitSuccess;

namespace {

constexpr std::uint16_t kMemoryReadLength = 512;

}  // namespace

void HexDump(Console& console, const std::uint8_t* bytes, std::size_t n) {
  console.print("      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n");
  console.print("      ---------------------------------------------------------------\n");
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 16 == 0) console.print(" %03X  ", static_cast<unsigned>(i));
    console.print("%02X  ", static_cast<unsigned>(bytes[i]));
    if ((i + 1) % 8 == 0) console.print(" ");
    if ((i + 1) % 16 == 0) console.print("\n");
  }
  console.print("\n\n");
}

MoveDecision decideMove(const std::uint8_t* version16) {
  if (std::memcmp(version16, "ZANQ006", 7) != 0) return MoveDecision::NotMovable;
  const unsigned v7 = version16[7];
  const unsigned v8 = version16[8];
  const unsigned v9 = version16[9];
  const bool due = (v7 == 'G') ? (v9 >= 'D') : (v8 >= 'I');
  return due ? MoveDecision::Due : MoveDecision::NotDue;
}

int runStartBlankCheck(RunContext& ctx, std::span<const char* const> args) {
  const CommandOutcome outcome =
      ctx.commands.cmd_bStartBlankCheck(lowByte(args[2]), lowByte(args[3]), lowByte(args[4]), lowByte(args[5]));
  if (outcome.transportError()) ctx.failures.keep(outcome);
  return outcome.pass() ? kExitSuccess : kExitFailure;
}

int runPollBlankCheck(RunContext& ctx, std::span<const char* const> /*args*/) {
  const CommandOutcome outcome = ctx.commands.cmd_bPollBlankCheck();
  switch (outcome.kind) {
    case Outcome::Pass:
      ctx.console.print("blanking check done!!!\n");
      return kExitSuccess;
    case Outcome::DeviceFail:
      ctx.console.print("blanking check...\n");
      return kExitStillChecking;
    case Outcome::TransportError:
      break;
  }
  ctx.failures.report(outcome, FailureForm::EndOfLine);
  return kExitFailure;
}

int runMove(RunContext& ctx, std::span<const char* const> /*args*/) {
  std::uint8_t* version = ctx.ioBuffer.data();
  const CommandOutcome read =
      ctx.commands.cmd_bReadCode(common::vendor_opcodes::kVersionAddress, version, kVersionLength);
  if (read.transportError()) {
    ctx.failures.keep(read);
    return kExitFailure;
  }
  switch (decideMove(version)) {
    case MoveDecision::NotMovable:
      return kExitFailure;
    case MoveDecision::NotDue:
      return kExitSuccess;
    case MoveDecision::Due:
      break;
  }
  const CommandOutcome move = ctx.commands.cmd_bMove();
  if (move.transportError()) ctx.failures.keep(move);
  return move.pass() ? kExitSuccess : kExitFailure;
}

int runEraseRange(RunContext& ctx, std::span<const char* const> args) {
  // The block number is 16 bits wide; B is read again before every
  // comparison. Block 65535 is the last one there is: the walk ends after it
  // instead of wrapping to block 0.
  std::uint16_t block = low16(args[2]);
  while (static_cast<std::int32_t>(block) <= parseNumber(args[3])) {
    ctx.console.print("Block %04X:", static_cast<unsigned>(block));
    const CommandOutcome outcome = ctx.commands.cmd_bEraseBlock(block);
    if (outcome.transportError()) {
      ctx.failures.report(outcome, FailureForm::EndOfLine);
      break;
    }
    ctx.console.print(outcome.pass() ? " erase:ok\n" : " erase:fail\n");
    if (block == 0xFFFF) break;
    ++block;
  }
  return kExitSuccess;
}

int runReadXdata(RunContext& ctx, std::span<const char* const> args) {
  const CommandOutcome outcome = ctx.commands.cmd_bReadXdata(low16(args[2]), ctx.ioBuffer.data(), kMemoryReadLength);
  if (outcome.transportError()) ctx.failures.report(outcome, FailureForm::WithSystemText);
  HexDump(ctx.console, ctx.ioBuffer.data(), kMemoryReadLength);
  return kExitSuccess;
}

int runReadCode(RunContext& ctx, std::span<const char* const> args) {
  const CommandOutcome outcome = ctx.commands.cmd_bReadCode(low16(args[2]), ctx.ioBuffer.data(), kMemoryReadLength);
  if (outcome.transportError()) ctx.failures.report(outcome, FailureForm::WithSystemText);
  HexDump(ctx.console, ctx.ioBuffer.data(), kMemoryReadLength);
  return kExitSuccess;
}

int runWriteXdata(RunContext& ctx, std::span<const char* const> args) {
  for (std::size_t k = 0; k < 5; ++k) ctx.ioBuffer[k] = lowByte(args[3 + k]);
  const CommandOutcome outcome = ctx.commands.cmd_bWriteXdata(low16(args[2]), ctx.ioBuffer.data(), 5);
  if (outcome.transportError()) ctx.failures.report(outcome, FailureForm::WithSystemText);
  return kExitSuccess;
}

}  // namespace kestrin
