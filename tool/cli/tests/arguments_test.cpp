#include "cli/arguments.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrin::test {
namespace {

TEST(parseNumber, ReadsLikeTheCommandLineDescribes) {
  EXPECT_EQ(parseNumber("247"), 247);
  EXPECT_EQ(parseNumber("  \t\n 42"), 42);
  EXPECT_EQ(parseNumber("-5"), -5);
  EXPECT_EQ(parseNumber("+7"), 7);
  EXPECT_EQ(parseNumber("12abc"), 12);
  EXPECT_EQ(parseNumber("0x10"), 0);  // decimal only: stops at 'x'
  EXPECT_EQ(parseNumber("abc"), 0);
  EXPECT_EQ(parseNumber(""), 0);
  EXPECT_EQ(parseNumber("-"), 0);
  EXPECT_EQ(parseNumber("+-3"), 0);  // one sign only
  EXPECT_EQ(parseNumber("- 3"), 0);  // no blanks after the sign
  EXPECT_EQ(parseNumber("1 2"), 1);
}

TEST(parseNumber, WrapsInsteadOfOverflowing) {
  EXPECT_EQ(parseNumber("2147483647"), 2147483647);
  EXPECT_EQ(parseNumber("2147483648"), INT32_MIN);
  EXPECT_EQ(parseNumber("4294967297"), 1);
  EXPECT_EQ(parseNumber("-2147483648"), INT32_MIN);
  // A very long digit string wraps too: 10^1000 is a multiple of 2^32, so
  // 1000 nines are -1 modulo 2^32.
  EXPECT_EQ(parseNumber(std::string(1000, '9').c_str()), -1);
}

TEST(parseNumber, ByteAndWordFieldsKeepTheLowBits) {
  EXPECT_EQ(lowByte("247"), 0xF7);
  EXPECT_EQ(lowByte("256"), 0x00);
  EXPECT_EQ(lowByte("-1"), 0xFF);
  EXPECT_EQ(lowByte("511"), 0xFF);
  EXPECT_EQ(low16("65536"), 0);
  EXPECT_EQ(low16("70000"), 4464);
  EXPECT_EQ(low16("-1"), 0xFFFF);
}

TEST(ModeDigit, TakenOnlyWithExactlyThreeArguments) {
  const char* three[] = {"E:", "eraa", "3"};
  const char* two[] = {"E:", "eraa"};
  const char* four[] = {"E:", "eraa", "3", "x"};
  EXPECT_EQ(modeDigitFor(three, 2), 3);
  EXPECT_EQ(modeDigitFor(two, 2), 2);
  EXPECT_EQ(modeDigitFor(four, 2), 2);
  EXPECT_EQ(modeDigitFor(two, 6), 6);
  // Unvalidated: the first character minus '0' as an unsigned byte.
  const char* letter[] = {"E:", "bchk", "x"};
  const char* many[] = {"E:", "bchk", "17"};
  const char* empty[] = {"E:", "bchk", ""};
  const char* below[] = {"E:", "bchk", "!"};
  EXPECT_EQ(modeDigitFor(letter, 6), static_cast<std::uint8_t>('x' - '0'));
  EXPECT_EQ(modeDigitFor(many, 6), 1);
  EXPECT_EQ(modeDigitFor(empty, 6), static_cast<std::uint8_t>(0 - '0'));
  EXPECT_EQ(modeDigitFor(below, 6), static_cast<std::uint8_t>('!' - '0'));
}

TEST(VerifyDigit, TakenOnlyWithExactlySevenArguments) {
  const char* six[] = {"E:", "fwup", "a", "b", "c", "d"};
  const char* seven[] = {"E:", "fwup", "a", "b", "c", "d", "1"};
  const char* sevenZero[] = {"E:", "fwup", "a", "b", "c", "d", "0"};
  const char* eight[] = {"E:", "fwup", "a", "b", "c", "d", "1", "1"};
  EXPECT_EQ(verifyDigitFor(six), 0);
  EXPECT_EQ(verifyDigitFor(seven), 1);
  EXPECT_EQ(verifyDigitFor(sevenZero), 0);
  EXPECT_EQ(verifyDigitFor(eight), 0);
}

std::string refusal(std::vector<const char*> args) {
  const common::Result<void> checked = checkCommandLine(args);
  return checked ? "(accepted)" : checked.error();
}

TEST(CheckCommandLine, NamesTheMissingArguments) {
  EXPECT_EQ(refusal({"E:", "wtx", "1", "2", "3"}),
            "wtx: missing arguments B2 B3 B4 (expected: wtx A B0 B1 B2 B3 B4)\n");
  EXPECT_EQ(refusal({"E:", "wtx", "1", "2", "3", "4", "5"}),
            "wtx: missing argument B4 (expected: wtx A B0 B1 B2 B3 B4)\n");
  EXPECT_EQ(refusal({"E:", "era", "1"}), "era: missing argument B (expected: era A B)\n");
  EXPECT_EQ(refusal({"E:", "bchks", "1", "2", "3"}), "bchks: missing argument T4 (expected: bchks T1 T2 T3 T4)\n");
  EXPECT_EQ(refusal({"E:", "fwup", "a", "b"}), "fwup: missing arguments F3 F4 (expected: fwup F1 F2 F3 F4 [V])\n");
  EXPECT_EQ(refusal({"E:", "rdx"}), "rdx: missing argument A (expected: rdx A)\n");
  EXPECT_EQ(refusal({"E:", "rdc"}), "rdc: missing argument A (expected: rdc A)\n");
}

TEST(CheckCommandLine, AcceptsCompleteAndOtherCommandLines) {
  EXPECT_EQ(refusal({"E:"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "eraa"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "bchk", "3", "x"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "bchkp"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "move"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "fwup", "a", "b", "c", "d"}), "(accepted)");
  EXPECT_EQ(refusal({"E:", "wtx", "1", "2", "3", "4", "5", "6", "7"}), "(accepted)");  // extra ignored
  EXPECT_EQ(refusal({"E:", "WTX"}), "(accepted)");                                     // not a keyword: the probe only
  EXPECT_EQ(refusal({"E:", "rdxx"}), "(accepted)");
}

TEST(CheckCommandLine, RefusesADeviceNameThatDoesNotFitThePath) {
  const std::string fits(23, 'n');
  const std::string tooLong(24, 'n');
  EXPECT_EQ(refusal({fits.c_str()}), "(accepted)");
  EXPECT_EQ(refusal({tooLong.c_str(), "rdx"}), "Device name too long: " + tooLong + " (at most 23 characters)\n");
}

}  // namespace
}  // namespace kestrin::test
