// Which device-change source watches on Linux.
//
// For /dev on a machine where udevd runs, udev's announcements: a disk is
// reported once udev has given it and its generic node their owner, group
// and mode, which is when the operator may open them. Anywhere else (the
// emulator's socket folder, a container or a guest without udevd) inotify on
// the directory: an entry is reported when it appears.
// LUMIVAR_DEVICE_WATCH=inotify or =udev chooses one by hand (diagnostics).

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "devicewatch/device_change_source.hpp"
#include "devicewatch/watchers_linux.hpp"

namespace station {
namespace {

constexpr const char* kChoiceVariable = "LUMIVAR_DEVICE_WATCH";
constexpr const char* kUdevControl = "/run/udev/control";

// A source that cannot watch, and says why when started.
class Unusable final : public DeviceChangeSource {
 public:
  explicit Unusable(std::string why) : why_(std::move(why)) {}
  common::Result<void> start() override { return common::Failure{why_}; }

 private:
  std::string why_;
};

bool isSystemDeviceDirectory(const std::string& directory) {
  char resolved[PATH_MAX];
  return ::realpath(directory.c_str(), resolved) != nullptr && std::strcmp(resolved, "/dev") == 0;
}

}  // namespace

std::unique_ptr<DeviceChangeSource> MakeDeviceChangeSource(const std::string& directory, DeviceChangeHandler handler) {
  const char* chosen = std::getenv(kChoiceVariable);
  const std::string choice = chosen != nullptr ? chosen : "";
  bool udev = false;
  if (choice == "udev") {
    udev = true;
  } else if (choice.empty()) {
    udev = isSystemDeviceDirectory(directory) && ::access(kUdevControl, F_OK) == 0;
  } else if (choice != "inotify") {
    return std::make_unique<Unusable>(std::string(kChoiceVariable) + "=" + choice +
                                      " names no watcher (inotify or udev)");
  }
  if (udev) {
    return MakeUdevDiskWatcher(std::move(handler));
  }
  return MakeDeviceDirWatcher(directory, std::move(handler));
}

}  // namespace station
