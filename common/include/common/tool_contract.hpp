// What passes between the station and the command tool: the three command
// lines the station builds, and the exit codes the tool ends with. Exit code
// 0 is success, 2 answers a poll with "the device is still checking", every
// other code is a failure.
#pragma once

#include <cstddef>

namespace common::tool_contract {

// The tool's own final codes; it ends with no other.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitStillChecking = 2;  // bchkp only

// The station's command lines, formatted into a buffer of kCommandLineSize
// bytes. %s takes the drive letter without its colon.
inline constexpr char kProbeTemplate[] = "kestrin.exe %s:";
inline constexpr char kStartBlankCheckTemplate[] = "kestrin.exe %s: bchks %d %d %d %d";
inline constexpr char kPollBlankCheckTemplate[] = "kestrin.exe %s: bchkp";
inline constexpr std::size_t kCommandLineSize = 256;

// The keywords of the two blank-check command lines.
inline constexpr char kStartBlankCheckKeyword[] = "bchks";
inline constexpr char kPollBlankCheckKeyword[] = "bchkp";

}  // namespace common::tool_contract
