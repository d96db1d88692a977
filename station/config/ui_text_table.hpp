// The ten texts of the station window, with built-in English texts, replaced
// once from "lang.ini" in the system's language.
#pragma once

#include <cstdint>
#include <string>

namespace station {

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
// ("lang.ini") for the language identifier `langId`. A file that cannot be
// opened leaves the texts as they are. Never prints, never throws.
void LoadUiTexts(const char* path, std::uint16_t langId, UiTextTable& texts);

// The language section for a language identifier: 0x0804 "Chinese (PRC)",
// 0x0404 "Chinese (Taiwan)", anything else "English".
const char* LanguageSection(std::uint16_t langId);

// The system's default language identifier. Here it is derived from the
// locale (LC_ALL, LC_MESSAGES, LANG: zh_CN -> 0x0804, zh_TW -> 0x0404, any
// other -> 0x0409) unless a test has set one.
std::uint16_t SystemDefaultLangID();
void SetSystemDefaultLangIDForTesting(std::uint16_t langId);
void ClearSystemDefaultLangIDForTesting();

}  // namespace station
