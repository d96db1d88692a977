// The short commands that kestrin handles itself: starting and polling the
// device's own blank check, the version-gated move, erasing a range of
// blocks, and reading or writing the controller's memories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/console.hpp"
#include "procedures/run_context.hpp"

namespace kestrin {

// The length of the version string at common::vendor_opcodes::kVersionAddress in code memory.
inline constexpr std::uint16_t kVersionLength = 16;

// Prints `n` bytes as a table of 16 bytes a row under a column header.
void HexDump(Console& console, const std::uint8_t* bytes, std::size_t n);

// Whether a device with this 16-byte version string is due for the move:
// its first seven bytes must be "ZANQ006"; with byte 7 'G' the move is due
// when byte 9 is 'D' or later, otherwise when byte 8 is 'I' or later.
enum class MoveDecision { NotMovable, NotDue, Due };
MoveDecision decideMove(const std::uint8_t* version16);

// The keywords' commands, as cli/keywords.hpp runs them (KeywordHandler).
int runStartBlankCheck(RunContext& ctx, std::span<const char* const> args);  // bchks T1 T2 T3 T4
int runPollBlankCheck(RunContext& ctx, std::span<const char* const> args);   // bchkp
int runMove(RunContext& ctx, std::span<const char* const> args);             // move
int runEraseRange(RunContext& ctx, std::span<const char* const> args);       // era A B
int runReadXdata(RunContext& ctx, std::span<const char* const> args);        // rdx A
int runReadCode(RunContext& ctx, std::span<const char* const> args);         // rdc A
int runWriteXdata(RunContext& ctx, std::span<const char* const> args);       // wtx A B0 B1 B2 B3 B4

}  // namespace kestrin
