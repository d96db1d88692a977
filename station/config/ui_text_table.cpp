#include "config/ui_text_table.hpp"

#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "config/ini_reader.hpp"

namespace station {

namespace {

// The keys in the order they are read.
struct TextKey {
  const char* key;
  std::string UiTextTable::*text;
};
constexpr TextKey kTextKeys[] = {
    {"DeviceStr", &UiTextTable::DeviceStr},   {"LogStr", &UiTextTable::LogStr},
    {"StatusMsg", &UiTextTable::StatusMsg},   {"SuccessMsg", &UiTextTable::SuccessMsg},
    {"FailMsg", &UiTextTable::FailMsg},       {"ExceedLimitMsg", &UiTextTable::ExceedLimitMsg},
    {"TotalMsg", &UiTextTable::TotalMsg},     {"WaitDeviceMsg", &UiTextTable::WaitDeviceMsg},
    {"SettingMsg", &UiTextTable::SettingMsg}, {"CancelStr", &UiTextTable::CancelStr},
};

}  // namespace

std::uint16_t SystemDefaultLangID() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    const std::string_view locale(value);
    if (locale.starts_with("zh_CN")) return 0x0804;
    if (locale.starts_with("zh_TW")) return 0x0404;
    return 0x0409;
  }
  return 0x0409;
}

UiTextTable& UiTexts() {
  static UiTextTable texts;
  return texts;
}

const char* LanguageSection(std::uint16_t langId) {
  switch (langId) {
    case 0x0804:
      return "Chinese (PRC)";
    case 0x0404:
      return "Chinese (Taiwan)";
    default:
      return "English";
  }
}

void LoadUiTexts(const IniFile& ini, std::uint16_t langId, UiTextTable& texts) {
  if (!ini.open()) return;
  const std::string section = LanguageSection(langId);
  for (const TextKey& k : kTextKeys) {
    std::optional<std::string> value = ini.value(section + ":" + k.key);
    texts.*k.text = value ? std::move(*value) : std::string();
  }
}

void LoadUiTexts(const char* path, std::uint16_t langId, UiTextTable& texts) {
  LoadUiTexts(IniFile::Load(path), langId, texts);
}

}  // namespace station
