// Where the window's device-change messages come from: the device-change
// source on the device directory, delivering each change to Form1's Dispatch
// on the window thread as a WM_DEVICECHANGE message about a volume.
#pragma once

#include <memory>
#include <string>

#include "common/result.hpp"
#include "devicewatch/device_change_source.hpp"

class TForm1;

namespace station {

// Starts watching `directory` (common::device_dir::deviceDirectory() in the program) for
// `form`: the source, or why it cannot watch. The source must go before the
// form does.
common::Result<std::unique_ptr<DeviceChangeSource>> StartDeviceChangeMessages(TForm1& form,
                                                                              const std::string& directory);

}  // namespace station
