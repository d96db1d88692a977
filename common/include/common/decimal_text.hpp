// Reading numbers the way the tool's command line and the station's timing
// file both do: leading white space, an optional sign, then decimal digits as
// far as they go. Anything after the digits is ignored, no digits read as 0,
// and too many digits wrap modulo 2^32 instead of saturating.
#pragma once

#include <cstdint>
#include <string_view>

namespace common::decimal_text {

// The C locale's white space: blank, tab, line feed, vertical tab, form feed,
// carriage return.
constexpr bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr std::int32_t WrappingDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

}  // namespace common::decimal_text
