#include "cli/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "cli/keywords.hpp"
#include "common/decimal_text.hpp"
#include "device/scsi_transport.hpp"

namespace kestrin {

std::int32_t parseNumber(const char* text) { return common::decimal_text::WrappingDecimal(text); }

std::uint8_t digitValue(const char* text) {
  return static_cast<std::uint8_t>(static_cast<unsigned char>(text[0]) - static_cast<unsigned char>('0'));
}

std::uint8_t modeDigitFor(std::span<const char* const> args, std::uint8_t defaultDigit) {
  return args.size() == 3 ? digitValue(args[2]) : defaultDigit;
}

std::uint8_t verifyDigitFor(std::span<const char* const> args) { return args.size() == 7 ? digitValue(args[6]) : 0; }

common::Result<void> checkCommandLine(std::span<const char* const> args) {
  if (args.empty()) return {};
  if (std::strlen(args[0]) > kMaxDeviceNameLength) {
    return common::Failure{"Device name too long: " + std::string(args[0]) + " (at most " +
                           std::to_string(kMaxDeviceNameLength) + " characters)\n"};
  }
  if (args.size() < 2) return {};
  const Keyword* keyword = findKeyword(args[1]);
  if (keyword == nullptr) return {};
  // Split the required names and keep those that are not present.
  std::string missing;
  std::size_t count = 0;
  std::size_t index = 0;
  std::string_view rest = keyword->required;
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    const std::string_view name = rest.substr(0, space);
    rest = (space == std::string_view::npos) ? std::string_view{} : rest.substr(space + 1);
    if (2 + index >= args.size()) {
      if (!missing.empty()) missing += ' ';
      missing += name;
      ++count;
    }
    ++index;
  }
  if (count == 0) return {};
  return common::Failure{std::string(keyword->name) + (count == 1 ? ": missing argument " : ": missing arguments ") +
                         missing + " (expected: " + std::string(keyword->usage) + ")\n"};
}

}  // namespace kestrin
