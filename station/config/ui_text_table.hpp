// The ten texts of the station window, with built-in English texts, replaced
// once from "lang.ini" in the system's language.
#pragma once

#include <cstdint>
#include <string>

namespace station {

class IniFile;

struct UiTextTable {
  std::string DeviceStr = "Device";
  std::string LogStr = "Log";
  std::string StatusMsg = "Status";
  std::string SuccessMsg = "successful";
  std::string FailMsg = "fail";
  std::string ExceedLimitMsg = "Exceed the device limit!";
  std::string TotalMsg = "Total";
  std::string WaitDeviceMsg = "Waiting device...";
  std::string SettingMsg = "Setting";
  std::string CancelStr = "Cancel";
};

// The process-wide table, built-in texts from the start.
UiTextTable& UiTexts();

// The load step: replaces all ten texts of `texts` from the file at `path`
// ("lang.ini") for the language identifier `langId`; a text the file does not
// hold (section or key missing) becomes empty. A file that cannot be opened
// leaves the texts as they are. Never prints, never throws.
void LoadUiTexts(const char* path, std::uint16_t langId, UiTextTable& texts);
// The same from a file already read (a file that is not open() changes nothing).
void LoadUiTexts(const IniFile& ini, std::uint16_t langId, UiTextTable& texts);

// The language section for a language identifier: 0x0804 "Chinese (PRC)",
// 0x0404 "Chinese (Taiwan)", anything else "English".
const char* LanguageSection(std::uint16_t langId);

// The system's default language identifier. Here it is derived from the
// locale environment (the first non-empty of LC_ALL, LC_MESSAGES, LANG:
// zh_CN... -> 0x0804, zh_TW... -> 0x0404, anything else or none -> 0x0409).
std::uint16_t SystemDefaultLangID();

}  // namespace station
