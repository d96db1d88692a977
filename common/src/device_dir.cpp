#include "common/device_dir.hpp"

#include <cstdlib>

namespace common::device_dir {

std::string deviceDirectory() {
  const char* env = std::getenv(kEnvVar);
  if (env != nullptr && *env != '\0') {
    return env;
  }
  return "/dev";
}

std::string devicePath(std::string_view name, const std::string& dir) {
  if (name.find('/') != std::string_view::npos) {
    return std::string(name);
  }
  if (name.size() == 2 && name[1] == ':') {
    const char c = name[0];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      return dir + "/" + entryNameForLetter(c);
    }
  }
  return dir + "/" + std::string(name);
}

std::string entryNameForLetter(char letter) {
  char lower = letter;
  if (lower >= 'A' && lower <= 'Z') {
    lower = static_cast<char>(lower - 'A' + 'a');
  }
  return std::string("sd") + lower;
}

std::optional<char> letterForEntryName(std::string_view entry) {
  if (entry.size() != 3 || entry[0] != 's' || entry[1] != 'd') {
    return std::nullopt;
  }
  const char c = entry[2];
  if (c < 'a' || c > 'z') {
    return std::nullopt;
  }
  return static_cast<char>(c - 'a' + 'A');
}

bool isGenericNodeName(std::string_view entry) {
  if (entry.size() < 3 || entry.size() > 8 || entry.substr(0, 2) != "sg") {
    return false;
  }
  for (const char c : entry.substr(2)) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

}  // namespace common::device_dir
