// Operation codes and fixed controller addresses of the flash controller's
// vendor SCSI command set. The command tool builds requests from them and
// the emulator decodes them, so both sides read the same table.
#pragma once

#include <cstdint>

namespace common::vendor_opcodes {

inline constexpr std::uint8_t kOpRead = 0xEF;   // vendor commands that read or only report
inline constexpr std::uint8_t kOpWrite = 0xEE;  // the one vendor command that sends data
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadCapacity = 0x25;  // sent with a 6-byte CDB

// Sub-commands (CDB byte 1).
inline constexpr std::uint8_t kSubReadXdata = 0x01;
inline constexpr std::uint8_t kSubWriteXdata = 0x02;  // with kOpWrite
inline constexpr std::uint8_t kSubReadCode = 0x03;
inline constexpr std::uint8_t kSubStartup = 0x04;
inline constexpr std::uint8_t kSubMove = 0x10;
inline constexpr std::uint8_t kSubEraseBlock = 0x11;
inline constexpr std::uint8_t kSubProgramPage = 0x12;
inline constexpr std::uint8_t kSubReadPage = 0x13;
inline constexpr std::uint8_t kSubBlockStatus = 0x1C;
inline constexpr std::uint8_t kSubMarkBad = 0x1F;
inline constexpr std::uint8_t kSubStartBlankCheck = 0x20;
inline constexpr std::uint8_t kSubPollBlankCheck = 0x21;

// Fixed controller addresses.
inline constexpr std::uint16_t kGeometryAddress = 0x257E;    // data memory, 10-byte record
inline constexpr std::uint16_t kPageBufferAddress = 0x1A90;  // data memory
inline constexpr std::uint16_t kVersionAddress = 0x2000;     // code memory, 16 bytes

// The block tag written with firmware pages.
inline constexpr std::uint16_t kFirmwareBlockTag = 0xFFF0;

// SCSI status bytes that the emulator link carries.
inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;

}  // namespace common::vendor_opcodes
