#include "cli/keywords.hpp"

#include <cstdint>

#include "cli/arguments.hpp"
#include "cli/short_commands.hpp"
#include "common/tool_contract.hpp"
#include "procedures/procedures.hpp"

namespace kestrin {
namespace {

using common::tool_contract::kExitFailure;
using common::tool_contract::kExitSuccess;

constexpr std::uint8_t kEraseAllDefaultMode = 2;    // WholeDevice
constexpr std::uint8_t kBlankCheckDefaultMode = 6;  // WholeDevice, ProgramVerify

int exitCode(bool success) { return success ? kExitSuccess : kExitFailure; }

int runEraseAll(RunContext& ctx, std::span<const char* const> args) {
  return exitCode(eraseAll(ctx, modeDigitFor(args, kEraseAllDefaultMode)));
}

int runBlankCheck(RunContext& ctx, std::span<const char* const> args) {
  return exitCode(blankCheck(ctx, modeDigitFor(args, kBlankCheckDefaultMode)));
}

int runFirmwareLoad(RunContext& ctx, std::span<const char* const> args) {
  const char* const files[4] = {args[2], args[3], args[4], args[5]};
  return exitCode(firmwareLoad(ctx, files, verifyDigitFor(args)));
}

constexpr Keyword kKeywords[] = {
    {"eraa", "", "eraa [M]", runEraseAll},
    {"bchk", "", "bchk [M]", runBlankCheck},
    {"fwup", "F1 F2 F3 F4", "fwup F1 F2 F3 F4 [V]", runFirmwareLoad},
    {common::tool_contract::kStartBlankCheckKeyword, "T1 T2 T3 T4", "bchks T1 T2 T3 T4", runStartBlankCheck},
    {common::tool_contract::kPollBlankCheckKeyword, "", "bchkp", runPollBlankCheck},
    {"move", "", "move", runMove},
    {"era", "A B", "era A B", runEraseRange},
    {"rdx", "A", "rdx A", runReadXdata},
    {"rdc", "A", "rdc A", runReadCode},
    {"wtx", "A B0 B1 B2 B3 B4", "wtx A B0 B1 B2 B3 B4", runWriteXdata},
};

}  // namespace

std::span<const Keyword> keywords() { return kKeywords; }

const Keyword* findKeyword(std::string_view name) {
  for (const Keyword& k : kKeywords) {
    if (k.name == name) return &k;
  }
  return nullptr;
}

}  // namespace kestrin
