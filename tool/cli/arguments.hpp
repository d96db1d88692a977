// The command line of kestrin: numeric arguments, the mode and verify digits,
// and the check that a command line carries everything its keyword needs.
#pragma once

#include <cstdint>
#include <span>

#include "common/result.hpp"

namespace kestrin {

// A decimal argument, read by common/decimal_text.hpp: leading white space
// skipped, one optional sign, then decimal digits up to the first non-digit;
// no digits give 0. There is no range check: the value wraps modulo 2^32
// instead of overflowing.
std::int32_t parseNumber(const char* text);

inline std::uint8_t lowByte(const char* text) { return static_cast<std::uint8_t>(parseNumber(text)); }
inline std::uint16_t low16(const char* text) { return static_cast<std::uint16_t>(parseNumber(text)); }

// The first character of `text` minus '0', as an unsigned 8-bit value,
// unvalidated (an empty text gives 0 - '0').
std::uint8_t digitValue(const char* text);

// `args` are the arguments after the program name: args[0] the device name,
// args[1] the keyword, and the keyword's own arguments after it.
// eraa: M only with exactly three arguments, else 2.
// bchk: M only with exactly three arguments, else 6.
std::uint8_t modeDigitFor(std::span<const char* const> args, std::uint8_t defaultDigit);
// fwup: V only with exactly seven arguments, else 0 (no read-back compare).
std::uint8_t verifyDigitFor(std::span<const char* const> args);

// Refuses a command line before anything is opened: a device name that does
// not fit the device path, or a keyword without all of its arguments. The
// reason is the line to print (ending in "\n").
common::Result<void> checkCommandLine(std::span<const char* const> args);

}  // namespace kestrin
