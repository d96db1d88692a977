// Holds back a disk's arrival until the disk is ready for the tool.
//
// udev announces a SCSI disk once its own rules have run, but the disk's SCSI
// generic node (/dev/sgN, the node the tool sends its commands through) is a
// device of its own with its own event: its owner, group and mode may be set
// before the disk's announcement or after it. An arrival therefore waits here
// until the generic node is ready as well (or there is none to wait for), and
// only then goes out as a report. Removals go out at once; a removal drops an
// arrival of the same letter that is still held back or not yet taken.
//
// No I/O here: whether a disk's generic node is ready is asked through
// `NodeReady`, and time is passed in.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace station {

class DiskArrivalGate {
 public:
  using Clock = std::chrono::steady_clock;

  // One report for the window: kDeviceArrival or kDeviceRemoveComplete and
  // the drive letter ('A' … 'Z').
  struct Report {
    std::uint32_t event;
    char letter;
    bool operator==(const Report&) const = default;
  };

  // Whether the generic node of the disk whose SCSI device is at
  // `devicePath` has been set up, or the disk has none and will get none.
  using NodeReady = std::function<bool(const std::string& devicePath)>;

  // How long an arrival is held back at most: udev's own time limit for one
  // event (its default). Past it udev has given up on the node, and the disk
  // is reported anyway: the tool meets the node as it is.
  static constexpr std::chrono::seconds kLongestWait{180};

  explicit DiskArrivalGate(NodeReady nodeReady) : nodeReady_(std::move(nodeReady)) {}

  // A disk "sd" + letter announced; `devicePath` is its SCSI device's sysfs
  // path, empty when it has none (then there is nothing to wait for).
  void added(char letter, const std::string& devicePath, Clock::time_point now);
  void removed(char letter);
  // Lets out every held arrival that is now ready or has waited too long.
  void recheck(Clock::time_point now);

  // The oldest report not yet taken.
  std::optional<Report> take();
  bool holding() const { return !held_.empty(); }

 private:
  struct Held {
    std::string devicePath;
    Clock::time_point since;
  };

  void dropArrival(char letter);

  NodeReady nodeReady_;
  std::map<char, Held> held_;
  std::deque<Report> out_;
};

}  // namespace station
