// Runs the Windows device files against the system (under Wine in CI): the
// system message look-up, opening drives, and requests through the
// pass-through on a drive that does not take them.
//   platform_check.exe [DRIVE]        DRIVE: an existing drive without SCSI pass-through (default C:)
//   platform_check.exe --message N    prints the system's text for code N straight
//                                     from FormatMessageA (a reference for kestrin.exe's output)
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/scsi_transport.hpp"
#include "device/system_message.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what, unsigned long detail = 0) {
  if (!ok) {
    std::printf("FAILED: %s (%lu)\n", what, detail);
    ++failures;
  }
}

void checkSystemMessages() {
  const auto known = kestrin::systemMessageText(ERROR_FILE_NOT_FOUND);
  expect(known.ok(), "text for ERROR_FILE_NOT_FOUND", known.ok() ? 0 : known.error());
  expect(known && !known->empty() && known->back() != '\n' && known->back() != '\r', "text without its line end");

  const auto unknown = kestrin::systemMessageText(0x2FFFFFFFu);
  expect(!unknown.ok(), "no text for an unknown code");
  expect(!unknown.ok() && unknown.error() != 0, "the failed look-up's own code");

  // Every text of the table, those with insertion sequences such as %1
  // included, comes back whole or not at all, and fits the 80-character buffer.
  int found = 0;
  for (std::uint32_t code = 0; code < 16000; ++code) {
    if (const auto text = kestrin::systemMessageText(code)) {
      ++found;
      expect(text->size() < 80, "text fits the buffer", code);
      expect(text->empty() || (text->back() != '\n' && text->back() != '\r'), "no line end", code);
    }
  }
  expect(found > 100, "the system's message table answers", static_cast<unsigned long>(found));
}

void checkOpen(const char* drive) {
  // The system error code of an open that fails; 0 when it opens.
  const auto failure = [](std::string_view name) -> std::uint32_t {
    const auto opened = kestrin::openDevice(name);
    return opened ? 0 : opened.error();
  };
  std::uint32_t code = failure("Q:");
  expect(code != 0, "Q: does not open");
  expect(code == ERROR_FILE_NOT_FOUND, "a missing drive is ERROR_FILE_NOT_FOUND", code);

  code = failure("ABCDEFGHIJKLMNOPQRSTUVWX");
  expect(code != 0, "24 characters do not fit");
  expect(code == ERROR_FILENAME_EXCED_RANGE, "too long a name", code);
  code = failure(std::string_view("C:\0x", 4));
  expect(code != 0, "an embedded NUL is refused");
  expect(code == ERROR_INVALID_NAME, "invalid name", code);

  auto opened = kestrin::openDevice(drive);
  expect(opened.ok(), "the existing drive opens", opened.ok() ? 0 : opened.error());
  if (!opened) return;
  const auto device = std::move(opened).value();

  std::array<std::uint8_t, 36> buffer;
  buffer.fill(0x5A);
  kestrin::ScsiRequest inquiry;
  inquiry.cdb = {0x12};
  inquiry.cdbLength = 6;
  inquiry.direction = kestrin::DataDirection::In;
  inquiry.data = buffer.data();
  inquiry.length = static_cast<std::uint32_t>(buffer.size());
  kestrin::TransportStatus status = device->execute(inquiry);
  expect(!status.completed && status.errorCode != 0, "a drive without pass-through fails the request",
         status.errorCode);
  bool untouched = true;
  for (std::uint8_t b : buffer) untouched = untouched && b == 0x5A;
  expect(untouched, "a failed read leaves the caller's bytes alone");

  const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
  kestrin::ScsiRequest write;
  write.cdb = {0xEE, 0x02, 0x90, 0x1A};
  write.cdbLength = 6;
  write.direction = kestrin::DataDirection::Out;
  write.data = const_cast<std::uint8_t*>(bytes);
  write.length = 5;
  status = device->execute(write);
  expect(!status.completed && status.errorCode != 0, "the direct write fails likewise", status.errorCode);

  std::array<std::uint8_t, 600> big{};
  kestrin::ScsiRequest tooLong = inquiry;
  tooLong.data = big.data();
  tooLong.length = 513;
  status = device->execute(tooLong);
  expect(!status.completed && status.errorCode == ERROR_INVALID_PARAMETER, "513 bytes do not fit the record",
         status.errorCode);

  kestrin::ScsiRequest noBuffer = inquiry;
  noBuffer.data = nullptr;
  status = device->execute(noBuffer);
  expect(!status.completed && status.errorCode == ERROR_INVALID_PARAMETER, "no buffer", status.errorCode);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--message") {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)),
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    std::printf("%.*s\n", static_cast<int>(length), text);
    return length > 0 ? 0 : 1;
  }
  checkSystemMessages();
  checkOpen(argc > 1 ? argv[1] : "C:");
  std::printf("%d-bit platform checks: %s\n", static_cast<int>(8 * sizeof(void*)), failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
