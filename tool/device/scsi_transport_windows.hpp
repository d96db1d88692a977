// The Windows SCSI pass-through on an opened drive handle.
#pragma once

#include <memory>

#include "device/scsi_transport.hpp"

namespace kestrin {

// Takes ownership of `handle` (a HANDLE from CreateFileA) and closes it when
// the transport is destroyed.
std::unique_ptr<ScsiTransport> makeWindowsPassThrough(void* handle);

}  // namespace kestrin
