// Reading the station's INI files. The line reader applies the station's
// reading rules itself and fills an iniparser dictionary; look-ups then go
// through iniparser.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _dictionary_;

namespace station {

class IniFile {
 public:
  // Loads the file; a file that cannot be opened gives an IniFile that is not open().
  static IniFile Load(const char* path);
  // Parses text already in memory (tests, fuzzing).
  static IniFile Parse(std::string_view text);

  IniFile(IniFile&&) noexcept;
  IniFile& operator=(IniFile&&) noexcept;
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  ~IniFile();

  bool open() const { return dict_ != nullptr; }
  // Sections in the order of their first header, folded to lower case,
  // without those whose name holds ':'.
  int sectionCount() const;
  std::string sectionName(int n) const;
  // "section:key", folded for the look-up; nothing when the file holds no value.
  std::optional<std::string> value(std::string_view sectionColonKey) const;

 private:
  IniFile() = default;
  _dictionary_* dict_ = nullptr;
};

}  // namespace station
