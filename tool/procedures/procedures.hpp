// The long commands: host-driven erase pass, blank check and firmware load.
// Each returns success or failure; the command line turns that into the exit code.
#pragma once

#include <cstdint>

#include "procedures/run_context.hpp"

namespace kestrin {

bool eraseAll(RunContext& ctx, std::uint8_t modeDigit);    // keyword eraa
bool blankCheck(RunContext& ctx, std::uint8_t modeDigit);  // keyword bchk
// keyword fwup; verify: the read-back compare is on when nonzero.
bool firmwareLoad(RunContext& ctx, const char* const files[4], std::uint8_t verify);

}  // namespace kestrin
