// The device-change source on a Linux machine with udev running: udev's own
// announcements of disks arriving and going away.
//
// The kernel makes /dev/sdX and /dev/sgN owned by root and closed to others;
// udev then applies its rules (the group that lets the station's operator
// open the drive's generic node among them) and announces the device. The
// station listens to those announcements, not to the kernel's, and reports
// a disk "sd" + letter only when udev has finished with the disk and with its
// SCSI generic node (see disk_arrival_gate.hpp). Partitions, the generic
// nodes themselves and every other device are not reported. Disks present
// when watching starts are not reported.

#include <QSocketNotifier>
#include <QTimer>

#include <dirent.h>
#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/device_dir.hpp"
#include "devicewatch/device_change_source.hpp"
#include "devicewatch/disk_arrival_gate.hpp"
#include "devicewatch/watchers_linux.hpp"

namespace station {
namespace {

struct UdevFree {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevFree>;

// How often held arrivals are looked at again between udev's events.
constexpr int kRecheckMs = 250;
// Room for the announcements that come while the window is busy with a probe
// (asked for; the system may give less to a user without privileges).
constexpr int kReceiveBufferBytes = 1 << 20;

// The SCSI generic node of the SCSI device at `devicePath` is ready when udev
// has processed it (its database entry exists once the node's owner, group
// and mode are set). A device without one is ready unless the sg driver is
// loaded, in which case its node is on its way.
bool genericNodeReady(udev* context, const std::string& devicePath) {
  const std::string genericDir = devicePath + "/scsi_generic";
  DIR* dir = ::opendir(genericDir.c_str());
  if (dir == nullptr) {
    return ::access("/sys/class/scsi_generic", F_OK) != 0;
  }
  std::string node;
  while (const dirent* entry = ::readdir(dir)) {
    if (common::device_dir::isGenericNodeName(entry->d_name)) {
      node = genericDir + "/" + entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  if (node.empty()) {
    return false;
  }
  const UdevPtr<udev_device> device(udev_device_new_from_syspath(context, node.c_str()));
  return device != nullptr && udev_device_get_is_initialized(device.get()) > 0;
}

class UdevDiskWatcher final : public DeviceChangeSource {
 public:
  explicit UdevDiskWatcher(DeviceChangeHandler handler)
      : handler_(std::move(handler)),
        gate_([this](const std::string& path) { return genericNodeReady(context_.get(), path); }) {}

  ~UdevDiskWatcher() override {
    if (notifier_ != nullptr) {
      notifier_->setEnabled(false);  // it goes with the watcher, after the monitor's socket
    }
  }

  common::Result<void> start() override {
    if (monitor_ != nullptr) {
      return {};
    }
    context_.reset(udev_new());
    if (context_ == nullptr) {
      return common::Failure{std::string("cannot reach udev: ") + std::strerror(errno)};
    }
    UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(context_.get(), "udev"));
    if (monitor == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", "disk") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "scsi_generic", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
      return common::Failure{std::string("cannot listen to udev: ") + std::strerror(errno)};
    }
    (void)udev_monitor_set_receive_buffer_size(monitor.get(), kReceiveBufferBytes);
    monitor_ = std::move(monitor);
    notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_.get()), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { receive(); });
    recheck_.setInterval(kRecheckMs);
    QObject::connect(&recheck_, &QTimer::timeout, this, [this] { recheck(); });
    return {};
  }

 private:
  // Takes every announcement waiting, also while a report is being handled
  // (the window may be in a message box's loop): they are kept here, not in
  // the socket, whose room is small.
  void receive() {
    while (const UdevPtr<udev_device> device{udev_monitor_receive_device(monitor_.get())}) {
      take(*device);
    }
    recheck();
  }

  void recheck() {
    gate_.recheck(DiskArrivalGate::Clock::now());
    if (!gate_.holding()) {
      recheck_.stop();
    } else if (!recheck_.isActive()) {
      recheck_.start();
    }
    deliver();
  }

  void take(udev_device& device) {
    const char* subsystem = udev_device_get_subsystem(&device);
    const char* action = udev_device_get_action(&device);
    const char* name = udev_device_get_sysname(&device);
    if (subsystem == nullptr || action == nullptr || name == nullptr || std::strcmp(subsystem, "block") != 0) {
      return;  // a generic node's change: held arrivals are looked at again
    }
    const auto letter = common::device_dir::letterForEntryName(name);
    if (!letter) {
      return;
    }
    if (std::strcmp(action, "add") == 0) {
      udev_device* scsi = udev_device_get_parent_with_subsystem_devtype(&device, "scsi", "scsi_device");
      const char* path = scsi != nullptr ? udev_device_get_syspath(scsi) : nullptr;
      gate_.added(*letter, path != nullptr ? path : "", DiskArrivalGate::Clock::now());
    } else if (std::strcmp(action, "remove") == 0) {
      gate_.removed(*letter);
    }
  }

  // Hands the reports to the window one at a time. A handler may run a
  // modal loop (a message box); reports that come meanwhile wait for it.
  void deliver() {
    if (delivering_) {
      return;
    }
    delivering_ = true;
    while (const auto report = gate_.take()) {
      handler_(report->event, 1U << (report->letter - 'A'));
    }
    delivering_ = false;
  }

  DeviceChangeHandler handler_;
  UdevPtr<udev> context_;
  UdevPtr<udev_monitor> monitor_;
  DiskArrivalGate gate_;
  QSocketNotifier* notifier_ = nullptr;  // a child, from start() on
  QTimer recheck_;
  bool delivering_ = false;
};

}  // namespace

std::unique_ptr<DeviceChangeSource> MakeUdevDiskWatcher(DeviceChangeHandler handler) {
  return std::make_unique<UdevDiskWatcher>(std::move(handler));
}

}  // namespace station
