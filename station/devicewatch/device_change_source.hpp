// Where the window learns that a drive arrived or went away.
//
// On Windows the system broadcasts WM_DEVICECHANGE to top-level windows. Here
// one of two sources stands in for it (device_change_source_linux.cpp picks
// one):
//   - udev's announcements, on /dev where udevd runs: a disk "sd" + letter
//     arrives once udev has set up the disk and its SCSI generic node, and
//     goes when udev announces its removal (udev_disk_watcher_linux.cpp);
//   - inotify on the device directory anywhere else (the emulator's socket
//     folder, a machine without udevd): an entry "sd" + letter appearing is
//     an arrival of that drive letter, its disappearance a removal
//     (device_dir_watcher_linux.cpp).
// Either way the window receives (event, unit mask) on its own thread.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/result.hpp"

namespace station {

// The two events, valued as the Windows broadcast's; the window's message
// handling names them DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE.
inline constexpr std::uint32_t kDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;

// Called on the thread that owns the source, once per change.
using DeviceChangeHandler = std::function<void(std::uint32_t event, std::uint32_t unitMask)>;

class DeviceChangeSource : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  ~DeviceChangeSource() override = default;
  // Begins watching; the reason when the source cannot watch.
  virtual common::Result<void> start() = 0;
};

// The platform's source. `directory` is the device directory
// (common::device_dir::deviceDirectory()). The caller owns it: it has no parent.
std::unique_ptr<DeviceChangeSource> MakeDeviceChangeSource(const std::string& directory, DeviceChangeHandler handler);

}  // namespace station
