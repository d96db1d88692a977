#include "devicewatch/disk_arrival_gate.hpp"

#include <algorithm>

#include "devicewatch/device_change_source.hpp"

namespace station {

void DiskArrivalGate::added(char letter, const std::string& devicePath, Clock::time_point now) {
  // A letter announced again is held afresh (one arrival goes out for it).
  dropArrival(letter);
  held_[letter] = Held{devicePath, now};
  recheck(now);
}

void DiskArrivalGate::removed(char letter) {
  held_.erase(letter);
  // An arrival not taken yet concerns a disk that is gone: nobody will probe it.
  dropArrival(letter);
  out_.push_back(Report{kDeviceRemoveComplete, letter});
}

void DiskArrivalGate::dropArrival(char letter) {
  out_.erase(std::remove(out_.begin(), out_.end(), Report{kDeviceArrival, letter}), out_.end());
}

void DiskArrivalGate::recheck(Clock::time_point now) {
  for (auto it = held_.begin(); it != held_.end();) {
    const Held& held = it->second;
    if (held.devicePath.empty() || now - held.since >= kLongestWait || nodeReady_(held.devicePath)) {
      out_.push_back(Report{kDeviceArrival, it->first});
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<DiskArrivalGate::Report> DiskArrivalGate::take() {
  if (out_.empty()) {
    return std::nullopt;
  }
  const Report report = out_.front();
  out_.pop_front();
  return report;
}

}  // namespace station
