// A device-change source on Linux: inotify on the device directory.
//
// Device nodes of hot-plugged disks and the emulator's sockets both show up
// as directory entries. An entry is taken when it is created or moved in,
// and let go when it is deleted or moved out. Only names "sd" + one letter
// count; partitions ("sdb1") and everything else are ignored. Entries that
// exist when watching starts are not reported.

#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/device_dir.hpp"
#include "devicewatch/device_change_source.hpp"
#include "devicewatch/watchers_linux.hpp"

namespace station {
namespace {

class DeviceDirWatcher final : public DeviceChangeSource {
 public:
  DeviceDirWatcher(std::string directory, DeviceChangeHandler handler)
      : directory_(std::move(directory)), handler_(std::move(handler)) {}

  ~DeviceDirWatcher() override {
    if (fd_ >= 0) {
      notifier_->setEnabled(false);  // it goes with the watcher, after the descriptor
      ::close(fd_);
    }
  }

  common::Result<void> start() override {
    if (fd_ >= 0) {
      return {};
    }
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      return common::Failure{std::string("cannot watch devices: ") + std::strerror(errno)};
    }
    const std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
    if (::inotify_add_watch(fd_, directory_.c_str(), mask) < 0) {
      common::Failure<std::string> failure{"cannot watch " + directory_ + ": " + std::strerror(errno)};
      ::close(fd_);
      fd_ = -1;
      return failure;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    return {};
  }

 private:
  void drain() {
    // A handler may run a modal loop (a message box); changes that arrive
    // meanwhile wait in the queue instead of re-entering the handler.
    if (draining_) {
      return;
    }
    draining_ = true;
    notifier_->setEnabled(false);
    drainQueue();
    notifier_->setEnabled(true);
    draining_ = false;
  }

  void drainQueue() {
    alignas(inotify_event) std::array<char, 16384> buffer;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n <= 0) {
        return;  // EAGAIN: nothing more for now
      }
      std::size_t offset = 0;
      while (offset + sizeof(inotify_event) <= static_cast<std::size_t>(n)) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + offset, sizeof event);
        const char* name = buffer.data() + offset + sizeof(inotify_event);
        offset += sizeof(inotify_event) + event.len;
        if (event.len == 0 || offset > static_cast<std::size_t>(n)) {
          continue;
        }
        report(event.mask, std::string(name, ::strnlen(name, event.len)));
      }
    }
  }

  void report(std::uint32_t mask, const std::string& name) {
    const auto letter = common::device_dir::letterForEntryName(name);
    if (!letter) {
      return;
    }
    const std::uint32_t unitMask = 1U << (*letter - 'A');
    if ((mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
      handler_(kDeviceArrival, unitMask);
    } else if ((mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
      handler_(kDeviceRemoveComplete, unitMask);
    }
  }

  std::string directory_;
  DeviceChangeHandler handler_;
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;  // a child, from start() on
  bool draining_ = false;
};

}  // namespace

std::unique_ptr<DeviceChangeSource> MakeDeviceDirWatcher(const std::string& directory, DeviceChangeHandler handler) {
  return std::make_unique<DeviceDirWatcher>(directory, std::move(handler));
}

}  // namespace station
