#include "config/ui_text_table.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/testing/temp_dir.hpp"
#include "config/ini_reader.hpp"

namespace station::test {
namespace {

std::vector<std::string> All(const UiTextTable& t) {
  return {t.DeviceStr,      t.LogStr,   t.StatusMsg,     t.SuccessMsg, t.FailMsg,
          t.ExceedLimitMsg, t.TotalMsg, t.WaitDeviceMsg, t.SettingMsg, t.CancelStr};
}

const std::vector<std::string> kBuiltIn = {
    "Device",  "Log",   "Status", "successful", "fail", "Exceed the device limit!", "Total", "Waiting device...",
    "Setting", "Cancel"};
const std::vector<std::string> kAllEmpty(10);

UiTextTable Loaded(const std::string& text, std::uint16_t langId) {
  UiTextTable texts;
  LoadUiTexts(IniFile::Parse(text), langId, texts);
  return texts;
}

const char* const kThreeLanguages =
    "[English]\n"
    "DeviceStr=Device\nLogStr=Log\nStatusMsg=Status\nSuccessMsg=successful\nFailMsg=fail\n"
    "ExceedLimitMsg=Exceed the device limit!\nTotalMsg=Total\nWaitDeviceMsg=Waiting device...\n"
    "SettingMsg=Setting\nCancelStr=Cancel\n"
    "[Chinese (PRC)]\n"
    "DeviceStr=prc-device\nCancelStr=prc-cancel\n"
    "[Chinese (Taiwan)]\n"
    "DeviceStr=tw-device\n";

TEST(UiTextTable, BuiltInTexts) {
  EXPECT_EQ(All(UiTextTable{}), kBuiltIn);
  EXPECT_EQ(All(UiTexts()), kBuiltIn);
  EXPECT_EQ(&UiTexts(), &UiTexts());
}

TEST(UiTextTable, LanguageChoice) {
  EXPECT_STREQ(LanguageSection(0x0804), "Chinese (PRC)");
  EXPECT_STREQ(LanguageSection(0x0404), "Chinese (Taiwan)");
  EXPECT_STREQ(LanguageSection(0x0C04), "English");
  EXPECT_STREQ(LanguageSection(0x0004), "English");
  EXPECT_STREQ(LanguageSection(0x0409), "English");

  EXPECT_EQ(All(Loaded(kThreeLanguages, 0x0409)), kBuiltIn);
  EXPECT_EQ(All(Loaded(kThreeLanguages, 0x0C04)), kBuiltIn);  // Hong Kong reads English

  // A key missing from the chosen section becomes empty; no fall-back.
  std::vector<std::string> prc(10);
  prc[0] = "prc-device";
  prc[9] = "prc-cancel";
  EXPECT_EQ(All(Loaded(kThreeLanguages, 0x0804)), prc);
  std::vector<std::string> tw(10);
  tw[0] = "tw-device";
  EXPECT_EQ(All(Loaded(kThreeLanguages, 0x0404)), tw);
}

TEST(UiTextTable, MissingSectionEmptiesEveryText) {
  const std::string englishOnly = "[English]\nDeviceStr=Slot\nCancelStr=Stop\n";
  EXPECT_EQ(All(Loaded(englishOnly, 0x0804)), kAllEmpty);
  EXPECT_EQ(All(Loaded("", 0x0409)), kAllEmpty);
  // A byte-order mark hides the first header; a UTF-16 file holds nothing.
  EXPECT_EQ(All(Loaded("\xEF\xBB\xBF[English]\nDeviceStr=Slot\n", 0x0409)), kAllEmpty);
  std::string wide("\xFF\xFE", 2);
  for (char c : englishOnly) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  EXPECT_EQ(All(Loaded(wide, 0x0409)), kAllEmpty);
}

TEST(UiTextTable, ValuesAndCaseFolding) {
  const UiTextTable t = Loaded(
      "[english]\n"
      "devicestr = Slot ; comment\n"
      "LOGSTR = \"  Log; #1   \"\n"
      "StatusMsg = \"\"\n"
      "SuccessMsg = 'Done # really'\n"
      "FailMsg = Bad#1\n"
      "TotalMsg = Sum   \n"
      "WaitDeviceMsg =\n"
      "CancelStr = \xB0\xFC \xC8\xA1\xCF\xFB\n",
      0x0409);
  EXPECT_EQ(t.DeviceStr, "Slot");
  EXPECT_EQ(t.LogStr, "  Log; #1");
  EXPECT_EQ(t.StatusMsg, "");
  EXPECT_EQ(t.SuccessMsg, "Done # really");
  EXPECT_EQ(t.FailMsg, "Bad");
  EXPECT_EQ(t.TotalMsg, "Sum");
  EXPECT_EQ(t.WaitDeviceMsg, "");
  EXPECT_EQ(t.ExceedLimitMsg, "");
  EXPECT_EQ(t.CancelStr, "\xB0\xFC \xC8\xA1\xCF\xFB");  // bytes pass unchanged
}

TEST(UiTextTable, MissingFileKeepsTexts) {
  const common::test::TempDir temp("ui_text_test");
  const std::filesystem::path dir = temp.path();
  UiTextTable texts;
  texts.DeviceStr = "kept";
  LoadUiTexts((dir / "lang.ini").string().c_str(), 0x0409, texts);
  EXPECT_EQ(texts.DeviceStr, "kept");
  EXPECT_EQ(texts.CancelStr, "Cancel");

  std::ofstream(dir / "lang.ini", std::ios::binary) << "[Chinese (PRC)]\r\nDeviceStr = \"\xC9\xE8\xB1\xB8\" \r\n";
  LoadUiTexts((dir / "lang.ini").string().c_str(), 0x0804, texts);
  EXPECT_EQ(texts.DeviceStr, "\xC9\xE8\xB1\xB8");
  EXPECT_EQ(texts.CancelStr, "");
}

class SystemLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* old = std::getenv(v);
      saved_.push_back(old ? std::optional<std::string>(old) : std::nullopt);
      unsetenv(v);
    }
  }
  void TearDown() override {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 3; ++i) {
      if (saved_[i]) {
        setenv(names[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(names[i]);
      }
    }
  }
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(SystemLanguage, FromLocaleEnvironment) {
  EXPECT_EQ(SystemDefaultLangID(), 0x0409);
  setenv("LANG", "zh_TW.UTF-8", 1);
  EXPECT_EQ(SystemDefaultLangID(), 0x0404);
  setenv("LC_MESSAGES", "zh_CN.GB2312", 1);
  EXPECT_EQ(SystemDefaultLangID(), 0x0804);
  setenv("LC_ALL", "zh_HK.UTF-8", 1);
  EXPECT_EQ(SystemDefaultLangID(), 0x0409);
  setenv("LC_ALL", "", 1);  // empty means unset
  EXPECT_EQ(SystemDefaultLangID(), 0x0804);
}

}  // namespace
}  // namespace station::test
