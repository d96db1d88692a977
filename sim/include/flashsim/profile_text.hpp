// The textual form of a device and its faults, as the flashsim command line
// and control socket take them:
//   LETTER[:KEY=VALUE[,KEY=VALUE...]]
// Keys and their values are listed in sim/README.md. Every number is decimal
// without sign; block lists are '/'-separated ("1/5/9"); hex keys take an
// even number of hex digits.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "flashsim/device.hpp"

namespace flashsim {

struct DeviceArgument {
  char letter = 0;          // lower case 'a' to 'z'
  bool bareLetter = false;  // no ':' part: the caller may re-plug the previous device
  Profile profile;
};

common::Result<DeviceArgument> parseDeviceArgument(std::string_view text);

// One "a"..."z" or "A"..."Z"; 0 for anything else.
char parseLetter(std::string_view text);

// Applies one KEY=VALUE fault setting (erase_fail, program_fail, read_fail,
// bit_error, unknown, drop_after, drop_mid, hang_after). An empty value clears the
// fault.
common::Result<void> applyFaultSetting(Faults& faults, std::string_view setting);

}  // namespace flashsim
