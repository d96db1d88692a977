// The worked example of "ACTiming.ini" that the table tests and the window
// tests both start from: three rows (ALPHA/N1G08A, BETA/Q2, ALPHA/N4G08C),
// a comment, a hex value that reads 0, and a section without "/".
#pragma once

namespace station::test {

inline constexpr char kWorkedExampleIni[] =
    "; AC timing per NAND type\n"
    "[alpha/n1g08a]\n"
    "TIMING1 = 17\n"
    "timing2=17\n"
    "Timing3 = 120 ; slow part\n"
    "[beta/q2]\n"
    "TIMING4 = 0x20\n"
    "[alpha/n4g08c]\n"
    "TIMING1 = 33\n"
    "[gamma]\n"
    "TIMING1 = 1\n";

}  // namespace station::test
