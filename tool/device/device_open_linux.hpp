// How a SCSI disk's block node leads to the disk's SCSI generic node.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kestrin {

struct ScsiGenericNode {
  std::string name;  // "sg0": the node's name in the device directory
  dev_t number = 0;  // its character device number
};

// The SCSI generic node of the whole disk whose block device number is `disk`,
// as sysfs under `sysfsRoot` ("/sys") tells it:
// dev/block/MAJ:MIN/device/scsi_generic/sgN/dev. Nothing for a partition, a
// disk that is not a SCSI device, or when the sg driver is not loaded.
std::optional<ScsiGenericNode> scsiGenericNodeOf(const std::string& sysfsRoot, dev_t disk);

}  // namespace kestrin
