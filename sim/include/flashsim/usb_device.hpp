// One emulated flash device as a high-speed USB mass-storage device: its
// descriptors, the standard and class requests on the control endpoint, and
// the Bulk-Only Transport that carries the device model's SCSI commands over
// the two bulk endpoints.
//
// The transport below (USB/IP) hands over one URB at a time and sends back
// what the device answers; the device never blocks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flashsim/device.hpp"

namespace flashsim::usb {

inline constexpr std::uint8_t kBulkInEndpoint = 1;   // address 0x81
inline constexpr std::uint8_t kBulkOutEndpoint = 2;  // address 0x02
inline constexpr std::uint16_t kBulkMaxPacket = 512;
inline constexpr std::uint16_t kDeviceRelease = 0x0100;  // bcdDevice
// The most data one command moves through the device; what a host sends
// beyond it is taken and dropped, and a host that asks for more gets less.
inline constexpr std::uint32_t kMaxCommandData = 1U << 20;

// The standard descriptors, with the field names of USB 2.0
// (chapter 9.6). bLength and bDescriptorType are set where they are encoded
// (usb_device.cpp), as is a configuration's wTotalLength. The device
// qualifier (the device at the other speed) is encoded from the device's
// descriptor: the device is the same at either speed.
struct DeviceDescriptor {
  std::uint16_t bcdUSB = 0x0200;
  std::uint8_t bDeviceClass = 0;  // 0: each interface names its own
  std::uint8_t bDeviceSubClass = 0;
  std::uint8_t bDeviceProtocol = 0;
  std::uint8_t bMaxPacketSize0 = 64;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t iManufacturer = 0;  // string indexes, 0 for none
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
  std::uint8_t bNumConfigurations = 0;
};

struct ConfigurationDescriptor {
  std::uint8_t bNumInterfaces = 0;
  std::uint8_t bConfigurationValue = 0;
  std::uint8_t iConfiguration = 0;
  std::uint8_t bmAttributes = 0x80;  // bit 7 is always set
  std::uint8_t bMaxPower = 0;        // in units of 2 mA
};

struct InterfaceDescriptor {
  std::uint8_t bInterfaceNumber = 0;
  std::uint8_t bAlternateSetting = 0;
  std::uint8_t bNumEndpoints = 0;
  std::uint8_t bInterfaceClass = 0;
  std::uint8_t bInterfaceSubClass = 0;
  std::uint8_t bInterfaceProtocol = 0;
  std::uint8_t iInterface = 0;
};

struct EndpointDescriptor {
  std::uint8_t bEndpointAddress = 0;  // bit 7: IN
  std::uint8_t bmAttributes = 0;      // 2: bulk
  std::uint16_t wMaxPacketSize = 0;
  std::uint8_t bInterval = 0;
};

// The device's one interface: mass storage, SCSI transparent command set,
// Bulk-Only Transport, with its two bulk endpoints.
inline constexpr InterfaceDescriptor kMassStorageInterface{
    .bNumEndpoints = 2, .bInterfaceClass = 0x08, .bInterfaceSubClass = 0x06, .bInterfaceProtocol = 0x50};

// One transfer request from the host.
struct Urb {
  std::uint8_t endpoint = 0;  // number, 0 to 15
  bool in = false;
  std::array<std::uint8_t, 8> setup{};                 // control transfers
  std::uint32_t length = 0;                            // bytes the host asks for (in) or sends (out)
  const std::vector<std::uint8_t>* dataOut = nullptr;  // out: the bytes
};

// What the device does with it.
struct UrbReply {
  enum class Kind {
    Done,   // completed: `data` in, `taken` bytes out
    Stall,  // the endpoint answers STALL
    Held,   // no answer until the host unlinks it (a device that hangs, or nothing to send)
    Close,  // the link breaks; with `data`, the first half of that answer still goes out
  } kind = Kind::Done;
  std::vector<std::uint8_t> data;
  std::uint32_t taken = 0;
};

class UsbDevice {
 public:
  // `serial` is the serial-number string (letters and digits).
  UsbDevice(std::shared_ptr<Device> device, std::string serial);

  UrbReply submit(const Urb& urb);

  // The descriptors as the host reads them.
  std::vector<std::uint8_t> deviceDescriptor() const;
  std::vector<std::uint8_t> configurationDescriptor(std::uint8_t type = 2) const;

 private:
  enum class Phase { Command, DataIn, DataOut, Status, Hung, Closing };

  DeviceDescriptor device() const;
  UrbReply control(const Urb& urb);
  UrbReply descriptor(std::uint16_t value, std::uint16_t length) const;
  UrbReply bulkOut(const Urb& urb);
  UrbReply bulkIn(const Urb& urb);
  void acceptCommandBlock(const std::vector<std::uint8_t>& cbw);
  void execute();  // the command in command_, with the data out in dataOut_
  void invalid();
  void resetTransport();

  std::shared_ptr<Device> device_;
  std::string serial_;
  std::uint8_t configuration_ = 0;
  bool inHalted_ = false;
  bool outHalted_ = false;
  bool needsResetRecovery_ = false;  // after an invalid CBW, until the class reset

  // Bulk-Only state of the command in progress.
  Phase phase_ = Phase::Command;
  std::uint32_t tag_ = 0;
  std::uint32_t hostLength_ = 0;  // dCBWDataTransferLength
  Command command_{};             // its dataOut is set when the device runs it
  std::vector<std::uint8_t> dataIn_;
  std::size_t sent_ = 0;
  std::vector<std::uint8_t> dataOut_;
  std::uint32_t received_ = 0;  // out bytes the host sent, also those dropped
  std::uint8_t cswStatus_ = 0;
  std::uint32_t residue_ = 0;
  bool dropMid_ = false;  // the command was carried out; its answer breaks off
};

// Command and status wrappers of Bulk-Only Transport.
inline constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCswSize = 13;
inline constexpr std::uint8_t kCswPassed = 0;
inline constexpr std::uint8_t kCswFailed = 1;
inline constexpr std::uint8_t kCswPhaseError = 2;

}  // namespace flashsim::usb
