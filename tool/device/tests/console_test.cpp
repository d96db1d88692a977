#include "device/console.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "device/system_message.hpp"

namespace kestrin::test {
namespace {

TEST(Console, CapturesOrWritesFormattedText) {
  Console captured;
  captured.print("Block %04X:", 0x1F);
  captured.print("%s", std::string(3000, 'x').c_str());  // longer than any fixed buffer
  EXPECT_EQ(captured.captured(), "Block 001F:" + std::string(3000, 'x'));

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  Console console(file);
  console.print(" Error: %d\n", 5);
  EXPECT_EQ(console.captured(), "");
  std::rewind(file);
  char text[32] = {};
  ASSERT_NE(std::fgets(text, sizeof(text), file), nullptr);
  EXPECT_STREQ(text, " Error: 5\n");
  std::fclose(file);
}

TEST(PrintSystemMessage, PrintsTheTextOrTheFailedLookUp) {
  Console console;
  PrintSystemMessage(console, ENOENT);
  PrintSystemMessage(console, ETIMEDOUT);
  EXPECT_EQ(console.captured(), "No such file or directory\nConnection timed out\n");

  // A code the system has no text for is a failed look-up, not "Unknown error N".
  Console unknown;
  PrintSystemMessage(unknown, 4321);
  PrintSystemMessage(unknown, 0xFFFFFFFFU);
  EXPECT_EQ(unknown.captured(), "Format message failed.  Error: 22\nFormat message failed.  Error: 22\n");

  const OrSystemError<std::string> text = systemMessageText(4321);
  EXPECT_FALSE(text.ok());
  EXPECT_EQ(text.error(), static_cast<std::uint32_t>(EINVAL));
}

}  // namespace
}  // namespace kestrin::test
