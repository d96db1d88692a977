#include "config/nand_timing_table.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/testing/temp_dir.hpp"
#include "config/ini_reader.hpp"
#include "config/tests/worked_example_ini.hpp"

namespace station::test {

void PrintTo(const TimingSet& t, std::ostream* out) {
  *out << "{" << t.Timing1 << ", " << t.Timing2 << ", " << t.Timing3 << ", " << t.Timing4 << "}";
}

namespace {

NandTimingTable TableOf(const std::string& text) {
  NandTimingTable table;
  LoadNandTimingTable(IniFile::Parse(text), table);
  return table;
}

TimingSet TimingsOf(const NAND_ENTRY& row) { return row; }

// The defaults as the table file's documentation gives them.
constexpr TimingSet kDefaultTimingSet{247, 247, 255, 255};

TEST(NandTimingTable, WorkedExample) {
  const NandTimingTable table = TableOf(station::test::kWorkedExampleIni);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].Vendor, "ALPHA");
  EXPECT_EQ(table[0].Type, "N1G08A");
  EXPECT_EQ(TimingsOf(table[0]), (TimingSet{17, 17, 120, 255}));
  EXPECT_EQ(table[1].Vendor, "BETA");
  EXPECT_EQ(table[1].Type, "Q2");
  EXPECT_EQ(TimingsOf(table[1]), (TimingSet{247, 247, 255, 0}));
  EXPECT_EQ(table[2].Vendor, "ALPHA");
  EXPECT_EQ(table[2].Type, "N4G08C");
  EXPECT_EQ(TimingsOf(table[2]), (TimingSet{33, 247, 255, 255}));

  EXPECT_EQ(LookupTiming(table, "ALPHA", "N4G08C"), (TimingSet{33, 247, 255, 255}));
  EXPECT_EQ(LookupTiming(table, "BETA", "Q2"), (TimingSet{247, 247, 255, 0}));
  EXPECT_EQ(LookupTiming(table, "alpha", "n4g08c"), kDefaultTimingSet);  // exact match only
  EXPECT_EQ(LookupTiming(table, "", ""), kDefaultTimingSet);
  EXPECT_EQ(LookupTiming(NandTimingTable{}, "ALPHA", "N1G08A"), kDefaultTimingSet);
  EXPECT_EQ(TimingSet{}, kDefaultTimingSet);
  EXPECT_EQ(TimingsOf(NAND_ENTRY{}), kDefaultTimingSet);
}

TEST(NandTimingTable, SectionNamesGiveVendorAndType) {
  const NandTimingTable table = TableOf(
      "[alpha/kappa]\n"
      "TIMING1 = 1\n"
      "TIMING2 = 2\n"
      "[alpha/kappa/b]\n"
      "[ alpha / kappa ]\n"
      "[ALPHA/KAPPA]\n"
      "timing1 = 9\n"
      "[v\xC3\xA9ndor/]\n"
      "[/t]\n"
      "[plain]\n"
      "[with:colon/x]\n"
      "[Open/End\n");
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table[0].Vendor, "ALPHA");
  EXPECT_EQ(table[0].Type, "KAPPA");
  EXPECT_EQ(TimingsOf(table[0]), (TimingSet{9, 2, 255, 255}));  // one row, the later value
  EXPECT_EQ(table[1].Vendor, "ALPHA");
  EXPECT_EQ(table[1].Type, "KAPPA/B");
  EXPECT_EQ(table[2].Vendor, " ALPHA ");
  EXPECT_EQ(table[2].Type, " KAPPA ");
  EXPECT_EQ(table[3].Vendor, "V\xC3\xA9NDOR");  // only a-z are upper-cased
  EXPECT_EQ(table[3].Type, "");
  EXPECT_EQ(table[4].Vendor, "");
  EXPECT_EQ(table[4].Type, "T");
  EXPECT_EQ(table[5].Vendor, "OPEN");
  EXPECT_EQ(table[5].Type, "END\n");
  for (std::size_t i = 1; i < table.size(); ++i) {
    EXPECT_EQ(TimingsOf(table[i]), kDefaultTimingSet) << table[i].Vendor << "/" << table[i].Type;
  }
}

TEST(NandTimingTable, ValuesFollowTheDecimalRule) {
  const NandTimingTable table = TableOf(
      "[v/t]\n"
      "TIMING1 = -5\n"
      "TIMING2 = 0x1F\n"
      "TIMING3 = 010\n"
      "TIMING4 = 12abc\n"
      "[v/empty]\n"
      "TIMING1 = \"\"\n"  // an empty value reads 0 ...
      "TIMING2 =\n"       // ... no key line keeps the default
      "TIMING3 = ' +300 '\n"
      "TIMING4 = \"  -7\"\n");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(TimingsOf(table[0]), (TimingSet{-5, 0, 10, 12}));
  EXPECT_EQ(TimingsOf(table[1]), (TimingSet{0, 247, 300, -7}));
}

TEST(NandTimingTable, DecimalValue) {
  EXPECT_EQ(DecimalValue(""), 0);
  EXPECT_EQ(DecimalValue("abc"), 0);
  EXPECT_EQ(DecimalValue("-"), 0);
  EXPECT_EQ(DecimalValue(" \t\r\n+42x"), 42);
  EXPECT_EQ(DecimalValue("+-1"), 0);
  EXPECT_EQ(DecimalValue("- 1"), 0);
  EXPECT_EQ(DecimalValue("2147483647"), 2147483647);
  EXPECT_EQ(DecimalValue("-2147483648"), INT32_MIN);
  EXPECT_EQ(DecimalValue("2147483648"), INT32_MIN);  // wraps, not detected
  EXPECT_EQ(DecimalValue("4294967297"), 1);
  EXPECT_EQ(DecimalValue("-4294967295"), 1);
  EXPECT_EQ(DecimalValue(std::string(5000, '9')), -1);  // 10^5000 - 1 modulo 2^32
}

TEST(NandTimingTable, OverlongSectionNamesAreSkipped) {
  const std::string name79 = "v/" + std::string(77, 't');
  const std::string name80 = "v/" + std::string(78, 't');
  const NandTimingTable table = TableOf("[" + name80 + "]\nTIMING1=1\n[" + name79 + "]\nTIMING1=2\n[" +
                                        std::string(1500, 'x') + "/y]\nTIMING1=3\n");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].Type.size(), 77u);
  EXPECT_EQ(table[0].Timing1, 2);
}

TEST(NandTimingTable, Utf16FileAndByteOrderMarkGiveNoRows) {
  std::string wide("\xFF\xFE", 2);
  for (char c : std::string("[alpha/x]\r\nTIMING1=1\r\n")) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  EXPECT_TRUE(TableOf(wide).empty());
  const NandTimingTable bom = TableOf("\xEF\xBB\xBF[alpha/x]\nTIMING1=1\n[beta/y]\n");
  ASSERT_EQ(bom.size(), 1u);
  EXPECT_EQ(bom[0].Vendor, "BETA");
}

TEST(NandTimingTable, LoadsFromFileAndMissingFileLeavesTableEmpty) {
  const common::test::TempDir temp("nand_timing_test");
  const std::filesystem::path dir = temp.path();
  const std::string path = (dir / "ACTiming.ini").string();
  std::ofstream(path, std::ios::binary) << "[alpha/kappa]\r\nTIMING3 = 100\r\n";

  NandTimingTable table{NAND_ENTRY{{}, "OLD", "ROW"}};
  LoadNandTimingTable(path.c_str(), table);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(TimingsOf(table[0]), (TimingSet{247, 247, 100, 255}));

  LoadNandTimingTable((dir / "missing.ini").string().c_str(), table);
  EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace station::test
