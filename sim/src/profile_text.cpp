#include "flashsim/profile_text.hpp"

#include <cctype>
#include <limits>
#include <optional>

namespace flashsim {
namespace {

using common::Result;

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 20) {
    return std::nullopt;
  }
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    v = v * 10 + digit;
  }
  if (v > max) {
    return std::nullopt;
  }
  return v;
}

common::Failure<std::string> badValue(std::string_view key, std::string_view value, std::string_view what) {
  return {"bad value '" + std::string(value) + "' for " + std::string(key) + ": " + std::string(what)};
}

// "1/5/9" -> {1, 5, 9} with `item` reading each piece into a 16-bit value;
// empty text -> {}.
template <typename ParseItem>
std::optional<std::set<std::uint16_t>> parseList(std::string_view text, ParseItem item) {
  std::set<std::uint16_t> out;
  while (!text.empty()) {
    const std::size_t slash = text.find('/');
    const std::optional<std::uint16_t> n = item(text.substr(0, slash));
    if (!n) {
      return std::nullopt;
    }
    out.insert(*n);
    if (slash == std::string_view::npos) {
      break;
    }
    text.remove_prefix(slash + 1);
    if (text.empty()) {
      return std::nullopt;  // a trailing '/'
    }
  }
  return out;
}

std::optional<std::set<std::uint16_t>> parseBlockList(std::string_view text) {
  return parseList(text, [](std::string_view piece) -> std::optional<std::uint16_t> {
    const auto n = parseNumber(piece, 0xFFFF);
    if (!n) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(*n);
  });
}

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      const char c = text[i + k];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v |= c - 'A' + 10;
      } else {
        return std::nullopt;
      }
    }
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

// "EF20/EE02" -> {0xEF20, 0xEE02}: four hex digits each; empty text -> {}.
std::optional<std::set<std::uint16_t>> parseCommandList(std::string_view text) {
  return parseList(text, [](std::string_view piece) -> std::optional<std::uint16_t> {
    const auto bytes = parseHex(piece);
    if (!bytes || bytes->size() != 2) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
  });
}

std::optional<bool> parseFlag(std::string_view text) {
  if (text == "0") {
    return false;
  }
  if (text == "1") {
    return true;
  }
  return std::nullopt;
}

// Fault keys; nothing when `key` is not one of them.
std::optional<Result<void>> applyFault(Faults& f, std::string_view key, std::string_view value) {
  std::set<std::uint16_t>* list = nullptr;
  if (key == "erase_fail") {
    list = &f.eraseFails;
  } else if (key == "program_fail") {
    list = &f.programFails;
  } else if (key == "read_fail") {
    list = &f.readFails;
  } else if (key == "bit_error") {
    list = &f.bitErrors;
  }
  if (key == "unknown") {
    const auto commands = parseCommandList(value);
    if (!commands) {
      return badValue(key, value, "a '/'-separated list of opcode and CDB byte 1, four hex digits each");
    }
    f.unknownCommands = *commands;
    return Result<void>{};
  }
  if (list != nullptr) {
    const auto blocks = parseBlockList(value);
    if (!blocks) {
      return badValue(key, value, "a '/'-separated list of block numbers 0 to 65535");
    }
    *list = *blocks;
    return Result<void>{};
  }
  std::optional<std::uint64_t>* count = nullptr;
  if (key == "drop_after") {
    count = &f.dropAfterCommands;
  } else if (key == "hang_after") {
    count = &f.hangAfterCommands;
  }
  if (count != nullptr) {
    if (value.empty()) {
      count->reset();
      return Result<void>{};
    }
    const auto n = parseNumber(value, std::numeric_limits<std::uint64_t>::max());
    if (!n) {
      return badValue(key, value, "a number of commands");
    }
    *count = *n;
    return Result<void>{};
  }
  if (key == "drop_mid") {
    const auto flag = value.empty() ? std::optional<bool>(false) : parseFlag(value);
    if (!flag) {
      return badValue(key, value, "0 or 1");
    }
    f.dropMidCommand = *flag;
    return Result<void>{};
  }
  return std::nullopt;
}

Result<void> applyProfileSetting(Profile& p, std::string_view key, std::string_view value) {
  if (const std::optional<Result<void>> fault = applyFault(p.faults, key, value)) {
    return *fault;
  }
  if (key == "blocks" || key == "reported_blocks") {
    const auto n = parseNumber(value, 0xFFFF);
    if (!n || (key == "blocks" && *n == 0)) {
      return badValue(key, value, "a block count from 1 to 65535");
    }
    if (key == "blocks") {
      p.geometry.blockCount = static_cast<std::uint16_t>(*n);
    } else {
      p.geometry.reportedBlockCount = static_cast<std::uint16_t>(*n);
    }
  } else if (key == "pages") {
    const auto n = parseNumber(value, kMaxPagesPerBlock);
    if (!n || (*n & (*n - 1)) != 0 || *n == 0) {
      return badValue(key, value, "a power of two from 1 to 128");
    }
    p.geometry.pagesPerBlock = static_cast<std::uint16_t>(*n);
  } else if (key == "pagesize") {
    const auto n = parseNumber(value, kMaxPageSize);
    if (!n || *n < kMinPageSize || (*n & (*n - 1)) != 0) {
      return badValue(key, value, "a power of two from 512 to 32768");
    }
    p.geometry.pageSize = static_cast<std::uint16_t>(*n);
  } else if (key == "bad") {
    const auto blocks = parseBlockList(value);
    if (!blocks) {
      return badValue(key, value, "a '/'-separated list of block numbers");
    }
    p.factoryBad = *blocks;
  } else if (key == "version") {
    if (value.size() > 16) {
      return badValue(key, value, "at most 16 characters");
    }
    p.version = std::string(value);
  } else if (key == "blocklen") {
    const auto n = parseNumber(value, 0xFFFFFFFFU);
    if (!n) {
      return badValue(key, value, "a number from 0 to 4294967295");
    }
    p.capacityBlockLength = static_cast<std::uint32_t>(*n);
  } else if (key == "supported" || key == "accepts_blankcheck") {
    const auto flag = parseFlag(value);
    if (!flag) {
      return badValue(key, value, "0 or 1");
    }
    (key == "supported" ? p.supported : p.acceptsBlankCheck) = *flag;
  } else if (key == "blankcheck_ms") {
    const auto n = parseNumber(value, 24ULL * 3600 * 1000);
    if (!n) {
      return badValue(key, value, "milliseconds, at most one day");
    }
    p.blankCheckDuration = std::chrono::milliseconds(*n);
  } else if (key == "move") {
    if (value != "pass" && value != "fail") {
      return badValue(key, value, "pass or fail");
    }
    p.movePasses = value == "pass";
  } else if (key == "record" || key == "inquiry") {
    const auto bytes = parseHex(value);
    const std::size_t want = key == "record" ? 10 : 8;
    if (!bytes || bytes->size() != want) {
      return badValue(key, value, std::to_string(want * 2) + " hex digits");
    }
    if (key == "record") {
      p.geometry.rawRecord = *bytes;
    } else {
      p.inquiryHeader = *bytes;
    }
  } else if (key == "usb_vid" || key == "usb_pid") {
    const auto bytes = parseHex(value);
    if (!bytes || bytes->size() != 2) {
      return badValue(key, value, "4 hex digits");
    }
    (key == "usb_vid" ? p.usbVendorId : p.usbProductId) = static_cast<std::uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
  } else if (key == "usb_serial") {
    p.usbSerial = std::string(value);  // validateProfile checks it
  } else if (key == "trace_limit") {
    const auto n = parseNumber(value, 10000000);
    if (!n || *n == 0) {
      return badValue(key, value, "a number of commands from 1 to 10000000");
    }
    p.traceLimit = static_cast<std::size_t>(*n);
  } else {
    return common::Failure{"unknown key '" + std::string(key) + "'"};
  }
  return {};
}

std::pair<std::string_view, std::string_view> splitSetting(std::string_view setting, bool& ok) {
  const std::size_t eq = setting.find('=');
  ok = eq != std::string_view::npos && eq > 0;
  if (!ok) {
    return {};
  }
  return {setting.substr(0, eq), setting.substr(eq + 1)};
}

}  // namespace

char parseLetter(std::string_view text) {
  if (text.size() != 1 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return 0;
  }
  return static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
}

Result<DeviceArgument> parseDeviceArgument(std::string_view text) {
  DeviceArgument out;
  const std::size_t colon = text.find(':');
  out.letter = parseLetter(text.substr(0, colon));
  if (out.letter == 0) {
    return common::Failure{"a device starts with one drive letter a to z: '" + std::string(text) + "'"};
  }
  if (colon == std::string_view::npos) {
    out.bareLetter = true;
    return out;
  }
  std::string_view rest = text.substr(colon + 1);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view setting = rest.substr(0, comma);
    bool ok = false;
    const auto [key, value] = splitSetting(setting, ok);
    if (!ok) {
      return common::Failure{"expected KEY=VALUE, got '" + std::string(setting) + "'"};
    }
    if (const Result<void> applied = applyProfileSetting(out.profile, key, value); !applied) {
      return common::Failure{applied.error()};
    }
    if (comma == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(comma + 1);
    if (rest.empty()) {
      return common::Failure{"a ',' with no setting after it"};
    }
  }
  if (const Result<void> valid = validateProfile(out.profile); !valid) {
    return common::Failure{valid.error()};
  }
  return out;
}

Result<void> applyFaultSetting(Faults& faults, std::string_view setting) {
  bool ok = false;
  const auto [key, value] = splitSetting(setting, ok);
  if (!ok) {
    return common::Failure{"expected KEY=VALUE, got '" + std::string(setting) + "'"};
  }
  if (const std::optional<Result<void>> fault = applyFault(faults, key, value)) {
    return *fault;
  }
  return common::Failure{"'" + std::string(key) + "' is not a fault key"};
}

}  // namespace flashsim
