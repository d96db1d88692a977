// One connection to a device socket: takes the emulator link's requests
// (common/sim_wire.hpp), has the device carry each out as a Command, and
// sends the answers.
#pragma once

#include "flashsim/device.hpp"

namespace flashsim {

// Serves connected socket `fd` (not closed here) until the peer closes the
// link, the link is shut down from outside (unplug, stop) or a fault breaks it.
void serveDeviceLink(int fd, Device& device);

}  // namespace flashsim
