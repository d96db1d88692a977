#include "config/strict_integer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace station::test {
namespace {

TEST(StrictInteger, Accepted) {
  EXPECT_EQ(TryStrToInt("247"), 247);
  EXPECT_EQ(TryStrToInt("$F7"), 247);
  EXPECT_EQ(TryStrToInt("$f7"), 247);
  EXPECT_EQ(TryStrToInt("xF7"), 247);
  EXPECT_EQ(TryStrToInt("XF7"), 247);
  EXPECT_EQ(TryStrToInt("0xF7"), 247);
  EXPECT_EQ(TryStrToInt("0XF7"), 247);
  EXPECT_EQ(TryStrToInt(" 12"), 12);
  EXPECT_EQ(TryStrToInt("   -5"), -5);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("-0"), 0);
  EXPECT_EQ(TryStrToInt("007"), 7);  // no octal
  EXPECT_EQ(TryStrToInt("300"), 300);
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(TryStrToInt("$7FFFFFFF"), 2147483647);
  EXPECT_EQ(TryStrToInt("$FFFFFFFF"), -1);  // the 32-bit pattern
  EXPECT_EQ(TryStrToInt("$000000000F"), 15);
}

TEST(StrictInteger, Rejected) {
  for (const char* text : {"",
                           " ",
                           "12 ",
                           "1 2",
                           "abc",
                           "12abc",
                           "\t12",
                           "-",
                           "+",
                           "--5",
                           "+-5",
                           "- 5",
                           "$",
                           "0x",
                           "x",
                           "-$F7",
                           "+0x1",
                           "$G",
                           "0x1 ",
                           "2147483648",
                           "-2147483649",
                           "$100000000",
                           "99999999999999999999",
                           "1.0",
                           "1e3"}) {
    EXPECT_EQ(TryStrToInt(text), std::nullopt) << "'" << text << "'";
  }
  EXPECT_EQ(TryStrToInt(std::string("1\0", 2)), std::nullopt);
}

TEST(StrictInteger, StrToIntThrowsConversionError) {
  EXPECT_EQ(StrToInt("$F7"), 247);
  try {
    StrToInt("12 ");
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12 ' is not a valid integer value");
  }
  EXPECT_THROW(StrToInt(""), EConvertError);
}

}  // namespace
}  // namespace station::test
