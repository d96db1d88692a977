// The two device-change sources on Linux; MakeDeviceChangeSource picks one.
#pragma once

#include <memory>
#include <string>

#include "devicewatch/device_change_source.hpp"

namespace station {

// inotify on a directory: entries "sd" + letter appearing and going away.
std::unique_ptr<DeviceChangeSource> MakeDeviceDirWatcher(const std::string& directory, DeviceChangeHandler handler);

// udev's announcements of disks, once udev has set up the disk and its
// SCSI generic node.
std::unique_ptr<DeviceChangeSource> MakeUdevDiskWatcher(DeviceChangeHandler handler);

}  // namespace station
