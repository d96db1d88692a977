// Where device nodes live and how a drive name becomes a path.
//
// The command tool opens a drive named like "E:"; the station watches for the
// same drives appearing. Both map the name into one device directory: /dev,
// unless KESTRIN_DEVICE_DIR names another (the emulator's socket directory).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace common::device_dir {

inline constexpr const char* kEnvVar = "KESTRIN_DEVICE_DIR";

// The device directory: $KESTRIN_DEVICE_DIR when set and not empty, else "/dev".
std::string deviceDirectory();

// Maps a drive name to a path inside `dir`:
//   "E:" (one letter and a colon, either case)  -> dir + "/sde"
//   a name holding '/'                          -> the name itself
//   any other name                              -> dir + "/" + name
std::string devicePath(std::string_view name, const std::string& dir);

// The entry name of a drive letter: 'E' or 'e' -> "sde". Letters only.
std::string entryNameForLetter(char letter);

// The upper-case drive letter of a directory entry "sd" + one lower-case
// letter ("sde" -> 'E'); nothing for any other name ("sdb1", "sdaa", "tty0").
std::optional<char> letterForEntryName(std::string_view entry);

// Whether a directory entry names a SCSI generic node: "sg" and one to six
// digits ("sg0", "sg12").
bool isGenericNodeName(std::string_view entry);

}  // namespace common::device_dir
