#include "config/ini_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/testing/temp_dir.hpp"

namespace station::test {
namespace {

using namespace std::string_literals;

std::vector<std::string> Sections(const IniFile& ini) {
  std::vector<std::string> names;
  for (int n = 0; n < ini.sectionCount(); ++n) names.push_back(ini.sectionName(n));
  return names;
}

using Names = std::vector<std::string>;

TEST(IniReader, CommentsAndLeadingWhiteSpace) {
  const IniFile ini = IniFile::Parse(
      "; comment = 1\n"
      "   # also = 2\n"
      "\t\n"
      "  [s]\n"
      "\t  a = 1\n"
      "   ;b = 2\n"
      "#c = 3\n");
  EXPECT_EQ(Sections(ini), Names{"s"});
  EXPECT_EQ(ini.value("s:a"), "1");
  EXPECT_EQ(ini.value("s:b"), std::nullopt);
  EXPECT_EQ(ini.value("s:c"), std::nullopt);
}

TEST(IniReader, SectionHeaders) {
  const IniFile ini = IniFile::Parse(
      "[ alpha / kappa ]\n"
      "a=1\n"
      "[beta] trailing text=9\n"
      "b=2\n"
      "[]\n"      // not a header: no name, no '='
      "c=3\n"     // still in beta
      "[]d=4\n"   // a key line with the key "[]d"
      "[gamma\n"  // no ']': the name keeps its line break
      "e=5\n"
      "[delta]]x]\n"  // the first ']' ends the name
      "[\n");         // '[' and a line break: a section named "\n"
  EXPECT_EQ(Sections(ini), (Names{" alpha / kappa ", "beta", "gamma\n", "delta", "\n"}));
  EXPECT_EQ(ini.value(" alpha / kappa :a"), "1");
  EXPECT_EQ(ini.value("alpha/kappa:a"), std::nullopt);
  EXPECT_EQ(ini.value("beta:b"), "2");
  EXPECT_EQ(ini.value("beta:c"), "3");
  EXPECT_EQ(ini.value("beta:[]d"), "4");
  EXPECT_EQ(ini.value("beta:trailing text"), std::nullopt);
  EXPECT_EQ(ini.value("gamma\n:e"), "5");
  EXPECT_EQ(ini.value("gamma:e"), std::nullopt);
}

TEST(IniReader, HeaderWithoutBracketAtEndOfFile) {
  const IniFile ini = IniFile::Parse("[a]\n[last");
  EXPECT_EQ(Sections(ini), (Names{"a", "last"}));
  const IniFile crlf = IniFile::Parse("[open\r\nk=v\r\n");
  EXPECT_EQ(Sections(crlf), Names{"open\r\n"});
  EXPECT_EQ(crlf.value("open\r\n:k"), "v");
}

TEST(IniReader, KeyLines) {
  const IniFile ini = IniFile::Parse(
      "[s]\n"
      "plain = some text   \n"
      "tight=x\n"
      "spaced key \t= y\n"
      "comment = 120 ; slow part\n"
      "hash = 7#8\n"
      "dq = \"  a;b#c  \"  ignored\n"
      "sq = '  it;s  ' ignored\n"
      "mixed = \"it's\"\n"
      "emptydq = \"\"\n"
      "emptysq = ''\n"
      "blankdq = \"   \"\n"
      "open = \"no end  \n"
      "eq = a=b\n"
      "crlf = v \r\n"
      "novalue =\n"
      "novalue2 =    \n"
      "commentvalue = ; nothing\n"
      "hashvalue = #nothing\n"
      " = no key\n"
      "no equals sign\n");
  EXPECT_EQ(ini.value("s:plain"), "some text");
  EXPECT_EQ(ini.value("s:tight"), "x");
  EXPECT_EQ(ini.value("s:spaced key"), "y");
  EXPECT_EQ(ini.value("s:comment"), "120");
  EXPECT_EQ(ini.value("s:hash"), "7");
  EXPECT_EQ(ini.value("s:dq"), "  a;b#c");
  EXPECT_EQ(ini.value("s:sq"), "  it;s");
  EXPECT_EQ(ini.value("s:mixed"), "it's");
  EXPECT_EQ(ini.value("s:emptydq"), "");
  EXPECT_EQ(ini.value("s:emptysq"), "");
  EXPECT_EQ(ini.value("s:blankdq"), "");
  EXPECT_EQ(ini.value("s:open"), "no end");
  EXPECT_EQ(ini.value("s:eq"), "a=b");
  EXPECT_EQ(ini.value("s:crlf"), "v");
  // No key line at all: nothing stored, which differs from an empty value.
  EXPECT_EQ(ini.value("s:novalue"), std::nullopt);
  EXPECT_EQ(ini.value("s:novalue2"), std::nullopt);
  EXPECT_EQ(ini.value("s:commentvalue"), std::nullopt);
  EXPECT_EQ(ini.value("s:hashvalue"), std::nullopt);
  EXPECT_EQ(ini.value("s:"), std::nullopt);
  EXPECT_EQ(ini.value("s:no equals sign"), std::nullopt);
}

TEST(IniReader, KeysBeforeFirstHeaderAreDropped) {
  const IniFile ini = IniFile::Parse("top = 1\n[s]\nk = 2\n");
  EXPECT_EQ(Sections(ini), Names{"s"});
  EXPECT_EQ(ini.value("top"), std::nullopt);
  EXPECT_EQ(ini.value(":top"), std::nullopt);
  EXPECT_EQ(ini.value("s:top"), std::nullopt);
}

TEST(IniReader, FoldsOnlyAsciiLettersAndLooksUpCaseInsensitively) {
  const IniFile ini = IniFile::Parse(
      "[MiXeD \xC3\x84\xC0]\n"
      "KeY\xC0 = VaLuE\n");
  EXPECT_EQ(Sections(ini), Names{"mixed \xC3\x84\xC0"});
  EXPECT_EQ(ini.value("MIXED \xC3\x84\xC0:KEY\xC0"), "VaLuE");
  EXPECT_EQ(ini.value("mixed \xC3\x84\xC0:key\xC0"), "VaLuE");
  // Bytes above 0x7F are compared as they are, never folded.
  EXPECT_EQ(ini.value("mixed \xC3\xA4\xE0:key\xE0"), std::nullopt);
  EXPECT_EQ(FoldToLower("AZaz@[`{\x80\xFF"), "azaz@[`{\x80\xFF");
}

TEST(IniReader, RepeatedSectionsAndKeys) {
  const IniFile ini = IniFile::Parse(
      "[One]\n"
      "k = first\n"
      "[two]\n"
      "[ONE]\n"
      "K = second\n"
      "other = x\n"
      "[one]\n");
  EXPECT_EQ(Sections(ini), (Names{"one", "two"}));
  EXPECT_EQ(ini.value("one:k"), "second");
  EXPECT_EQ(ini.value("one:other"), "x");
}

TEST(IniReader, SectionsWithColonAreNotEnumerated) {
  const IniFile ini = IniFile::Parse(
      "[a]\n"
      "[b:c]\n"
      "k = 1\n"
      "[d]\n");
  EXPECT_EQ(Sections(ini), (Names{"a", "d"}));
  EXPECT_EQ(ini.value("b:c:k"), "1");
  // A section's own entry is no value.
  EXPECT_EQ(ini.value("a"), std::nullopt);
}

TEST(IniReader, LongLinesAreReadIn1023ByteChunks) {
  // 1500 characters: the first 1023 form one line, the rest another.
  const std::string line = "k=" + std::string(1021, 'v') + "x=tail" + std::string(471, 't');
  ASSERT_EQ(line.size(), 1500u);
  const IniFile ini = IniFile::Parse("[s]\n" + line + "\n");
  EXPECT_EQ(ini.value("s:k"), std::string(1021, 'v'));
  EXPECT_EQ(ini.value("s:x"), "tail" + std::string(471, 't'));

  // A line of exactly 1022 bytes and its line break is read whole.
  const IniFile whole = IniFile::Parse("[s]\nk=" + std::string(1020, 'a') + "\nnext=1\n");
  EXPECT_EQ(whole.value("s:k"), std::string(1020, 'a'));
  EXPECT_EQ(whole.value("s:next"), "1");

  // A header without ']' in an overlong line takes the rest of its chunk;
  // the line's remainder is a line of its own.
  const IniFile header = IniFile::Parse("[" + std::string(1500, 'h') + "\nk=1\n");
  EXPECT_EQ(Sections(header), Names{std::string(1022, 'h')});
  EXPECT_EQ(header.value(std::string(1022, 'h') + ":k"), "1");
}

TEST(IniReader, ByteOrderMarkAndUtf16AndNulBytes) {
  const IniFile bom = IniFile::Parse("\xEF\xBB\xBF[English]\nDeviceStr=Slot\n[English]\nLogStr=L\n");
  EXPECT_EQ(Sections(bom), Names{"english"});
  EXPECT_EQ(bom.value("English:DeviceStr"), std::nullopt);
  EXPECT_EQ(bom.value("English:LogStr"), "L");

  std::string utf16le("\xFF\xFE", 2);
  for (char c : std::string("[English]\r\nDeviceStr=Slot\r\n")) {
    utf16le.push_back(c);
    utf16le.push_back('\0');
  }
  const IniFile wide = IniFile::Parse(utf16le);
  EXPECT_TRUE(wide.open());
  EXPECT_EQ(wide.sectionCount(), 0);
  EXPECT_EQ(wide.value("English:DeviceStr"), std::nullopt);

  const IniFile nul = IniFile::Parse("[s]\nk=ab\0cd\n\0x=1\ny=2\n"s);
  EXPECT_EQ(nul.value("s:k"), "ab");
  EXPECT_EQ(nul.value("s:x"), std::nullopt);
  EXPECT_EQ(nul.value("s:y"), "2");
  EXPECT_EQ(nul.value("s:k\0z"s), std::nullopt);
}

TEST(IniReader, ManyEntriesAreCappedAndOrderKept) {
  std::string text;
  for (std::size_t i = 0; i < IniFile::kMaxEntries; ++i) text += "[s" + std::to_string(i) + "]\n";
  text += "[s0]\nk=late\n[extra]\n";
  const IniFile ini = IniFile::Parse(text);
  ASSERT_EQ(ini.sectionCount(), static_cast<int>(IniFile::kMaxEntries));
  EXPECT_EQ(ini.sectionName(0), "s0");
  EXPECT_EQ(ini.sectionName(4000), "s4000");
  EXPECT_EQ(ini.sectionName(-1), "");
  EXPECT_EQ(ini.sectionName(ini.sectionCount()), "");
  EXPECT_EQ(ini.value("s0:k"), std::nullopt);  // a new entry past the limit
}

class IniFileOnDisk : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir_.file(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  const common::test::TempDir dir_{"ini_reader_test"};
};

TEST_F(IniFileOnDisk, LoadsLikeParseAndTreatsUnreadableAsAbsent) {
  std::string text = "[big]\n";
  for (int i = 0; i < 20000; ++i) text += "k" + std::to_string(i % 50) + " = " + std::to_string(i) + "\n";
  const IniFile ini = IniFile::Load(Write("big.ini", text).c_str());
  ASSERT_TRUE(ini.open());
  EXPECT_EQ(ini.value("big:k49"), "19999");

  EXPECT_FALSE(IniFile::Load(dir_.file("missing.ini").c_str()).open());
  EXPECT_FALSE(IniFile::Load(dir_.path().c_str()).open());  // a directory
  EXPECT_FALSE(IniFile::Load("/dev/zero").open());          // would never end
  EXPECT_FALSE(IniFile::Load(nullptr).open());
  const IniFile empty = IniFile::Load(Write("empty.ini", "").c_str());
  EXPECT_TRUE(empty.open());
  EXPECT_EQ(empty.sectionCount(), 0);
}

TEST(IniReader, MalformedInputPrintsNothing) {
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  const IniFile ini = IniFile::Parse("garbage\n[unclosed\n=\n[]\n\xEF\xBB\xBF[x]\nk=\"\n");
  EXPECT_EQ(ini.sectionCount(), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(IniReader, MovedFromFileIsClosed) {
  IniFile a = IniFile::Parse("[s]\nk=1\n");
  IniFile b = std::move(a);
  EXPECT_FALSE(a.open());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.sectionCount(), 0);
  EXPECT_EQ(a.value("s:k"), std::nullopt);
  EXPECT_EQ(b.value("s:k"), "1");
  b = IniFile::Parse("[t]\n");
  EXPECT_EQ(Sections(b), Names{"t"});
}

}  // namespace
}  // namespace station::test
