#include "flashsim/usb_device.hpp"

#include <algorithm>
#include <string_view>

#include "common/byte_order.hpp"

namespace flashsim::usb {
namespace {

// Standard requests and descriptor types.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;
constexpr std::uint8_t kDescDevice = 1;
constexpr std::uint8_t kDescConfiguration = 2;
constexpr std::uint8_t kDescString = 3;
constexpr std::uint8_t kDescQualifier = 6;
constexpr std::uint8_t kDescOtherSpeed = 7;
constexpr std::uint16_t kFeatureEndpointHalt = 0;
constexpr std::uint16_t kFeaturePortReset = 4;
// Bulk-Only class requests.
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kMassStorageReset = 0xFF;

constexpr std::string_view kManufacturer = "FLASHSIM";
constexpr std::string_view kProduct = "NAND EMULATOR";

constexpr std::uint8_t kDescInterface = 4;
constexpr std::uint8_t kDescEndpoint = 5;
constexpr std::uint8_t kEndpointIn = 0x80;
constexpr std::uint8_t kBulk = 2;
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
// String indexes.
constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialNumberIndex = 3;
// The device's one configuration: bus-powered, at most 100 mA.
constexpr ConfigurationDescriptor kConfiguration{
    .bNumInterfaces = 1, .bConfigurationValue = 1, .bmAttributes = 0x80, .bMaxPower = 50};
// Full speed, as the other-speed configuration tells it: 64-byte bulk packets.
constexpr std::uint16_t kFullSpeedBulkMaxPacket = 64;

// The descriptors' bytes, fields in USB 2.0's order, multi-byte
// fields low byte first.
std::vector<std::uint8_t> encode(const DeviceDescriptor& d) {
  std::vector<std::uint8_t> out{
      18, kDescDevice, 0, 0, d.bDeviceClass,  d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0,   0, 0,
      0,  0,           0, 0, d.iManufacturer, d.iProduct,        d.iSerialNumber,   d.bNumConfigurations};
  common::byte_order::putLe16(out.data() + 2, d.bcdUSB);
  common::byte_order::putLe16(out.data() + 8, d.idVendor);
  common::byte_order::putLe16(out.data() + 10, d.idProduct);
  common::byte_order::putLe16(out.data() + 12, d.bcdDevice);
  return out;
}

// The device qualifier: the fields of the device descriptor that hold at
// the other speed too.
std::vector<std::uint8_t> encodeQualifier(const DeviceDescriptor& d) {
  std::vector<std::uint8_t> out{10,
                                kDescQualifier,
                                0,
                                0,
                                d.bDeviceClass,
                                d.bDeviceSubClass,
                                d.bDeviceProtocol,
                                d.bMaxPacketSize0,
                                d.bNumConfigurations,
                                0};
  common::byte_order::putLe16(out.data() + 2, d.bcdUSB);
  return out;
}

// A configuration (type Configuration or Other Speed Configuration) with its
// one interface and that interface's endpoints after it.
std::vector<std::uint8_t> encode(std::uint8_t type, const ConfigurationDescriptor& c, const InterfaceDescriptor& i,
                                 std::initializer_list<EndpointDescriptor> endpoints) {
  std::vector<std::uint8_t> out{
      9, type, 0, 0, c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration, c.bmAttributes, c.bMaxPower};
  out.insert(out.end(), {9, kDescInterface, i.bInterfaceNumber, i.bAlternateSetting, i.bNumEndpoints, i.bInterfaceClass,
                         i.bInterfaceSubClass, i.bInterfaceProtocol, i.iInterface});
  for (const EndpointDescriptor& e : endpoints) {
    out.insert(out.end(), {7, kDescEndpoint, e.bEndpointAddress, e.bmAttributes, 0, 0, e.bInterval});
    common::byte_order::putLe16(out.data() + out.size() - 3, e.wMaxPacketSize);
  }
  common::byte_order::putLe16(out.data() + 2, static_cast<std::uint16_t>(out.size()));  // wTotalLength
  return out;
}

// String descriptor 0: the one language the strings are in.
std::vector<std::uint8_t> languagesDescriptor(std::uint16_t language) {
  std::vector<std::uint8_t> d{4, kDescString, 0, 0};
  common::byte_order::putLe16(d.data() + 2, language);
  return d;
}

std::vector<std::uint8_t> stringDescriptor(std::string_view text) {
  std::vector<std::uint8_t> d(2 + 2 * text.size(), 0);
  d[0] = static_cast<std::uint8_t>(d.size());
  d[1] = kDescString;
  for (std::size_t i = 0; i < text.size(); ++i) {
    common::byte_order::putLe16(d.data() + 2 + 2 * i, static_cast<std::uint8_t>(text[i]));
  }
  return d;
}

UrbReply done(std::vector<std::uint8_t> data, std::uint32_t limit) {
  data.resize(std::min<std::size_t>(data.size(), limit));
  UrbReply r;
  r.data = std::move(data);
  return r;
}

// Empties a command's data buffer; a large one is given back, so a device
// between commands holds little.
void release(std::vector<std::uint8_t>& buffer) {
  constexpr std::size_t kKept = 64 * 1024;
  buffer.clear();
  if (buffer.capacity() > kKept) {
    std::vector<std::uint8_t>().swap(buffer);
  }
}

UrbReply stall() { return UrbReply{UrbReply::Kind::Stall, {}, 0}; }
UrbReply held() { return UrbReply{UrbReply::Kind::Held, {}, 0}; }

}  // namespace

UsbDevice::UsbDevice(std::shared_ptr<Device> device, std::string serial)
    : device_(std::move(device)), serial_(std::move(serial)) {}

DeviceDescriptor UsbDevice::device() const {
  const Profile& p = device_->profile();
  DeviceDescriptor d;
  d.idVendor = p.usbVendorId;
  d.idProduct = p.usbProductId;
  d.bcdDevice = kDeviceRelease;
  d.iManufacturer = kManufacturerIndex;
  d.iProduct = kProductIndex;
  d.iSerialNumber = kSerialNumberIndex;
  d.bNumConfigurations = 1;
  return d;
}

std::vector<std::uint8_t> UsbDevice::deviceDescriptor() const { return encode(device()); }

// The configuration at high speed (type Configuration), or as it would be at
// full speed (type Other Speed Configuration).
std::vector<std::uint8_t> UsbDevice::configurationDescriptor(std::uint8_t type) const {
  const std::uint16_t maxPacket = type == kDescOtherSpeed ? kFullSpeedBulkMaxPacket : kBulkMaxPacket;
  return encode(
      type, kConfiguration, kMassStorageInterface,
      {{.bEndpointAddress = kEndpointIn | kBulkInEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = maxPacket},
       {.bEndpointAddress = kBulkOutEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = maxPacket}});
}

UrbReply UsbDevice::descriptor(std::uint16_t value, std::uint16_t length) const {
  const auto type = static_cast<std::uint8_t>(value >> 8);
  const auto index = static_cast<std::uint8_t>(value);
  switch (type) {
    case kDescDevice:
      return done(deviceDescriptor(), length);
    case kDescConfiguration:
    case kDescOtherSpeed:
      return index == 0 ? done(configurationDescriptor(type), length) : stall();
    case kDescQualifier:
      return done(encodeQualifier(device()), length);
    case kDescString:
      switch (index) {
        case 0:
          return done(languagesDescriptor(kLanguageUsEnglish), length);
        case kManufacturerIndex:
          return done(stringDescriptor(kManufacturer), length);
        case kProductIndex:
          return done(stringDescriptor(kProduct), length);
        case kSerialNumberIndex:
          return done(stringDescriptor(serial_), length);
        default:
          return stall();
      }
    default:
      return stall();  // no BOS, no debug or other descriptors
  }
}

UrbReply UsbDevice::submit(const Urb& urb) {
  if (phase_ == Phase::Closing) {
    return UrbReply{UrbReply::Kind::Close, {}, 0};
  }
  if (urb.endpoint == 0) {
    return control(urb);
  }
  if (configuration_ == 0) {
    return stall();
  }
  if (urb.endpoint == kBulkOutEndpoint && !urb.in) {
    return bulkOut(urb);
  }
  if (urb.endpoint == kBulkInEndpoint && urb.in) {
    return bulkIn(urb);
  }
  return stall();
}

UrbReply UsbDevice::control(const Urb& urb) {
  const std::uint8_t type = urb.setup[0];
  const std::uint8_t request = urb.setup[1];
  const std::uint16_t value = common::byte_order::getLe16(urb.setup.data() + 2);
  const std::uint16_t index = common::byte_order::getLe16(urb.setup.data() + 4);
  const auto length = std::min<std::uint32_t>(common::byte_order::getLe16(urb.setup.data() + 6), urb.length);
  UrbReply ok;
  ok.taken = urb.in ? 0 : urb.length;

  bool* halt = nullptr;  // the halt flag of the endpoint a request names
  if ((type & 0x1F) == 2) {
    if (index == (0x80 | kBulkInEndpoint)) {
      halt = &inHalted_;
    } else if (index == kBulkOutEndpoint) {
      halt = &outHalted_;
    } else if ((index & 0x7F) != 0) {
      return stall();
    }
  }
  switch (type << 8 | request) {
    case 0x8000 | kGetStatus:  // device: bus-powered, no remote wake-up
    case 0x8100 | kGetStatus:  // interface
      return done({0, 0}, length);
    case 0x8200 | kGetStatus:
      return done({static_cast<std::uint8_t>(halt != nullptr && *halt ? 1 : 0), 0}, length);
    case 0x0200 | kClearFeature:
      if (value != kFeatureEndpointHalt) {
        return stall();
      }
      // After an invalid command block the bulk endpoints stay halted until
      // the class reset has come first.
      if (halt != nullptr && !needsResetRecovery_) {
        *halt = false;
      }
      return ok;
    case 0x0200 | kSetFeature:
      if (value != kFeatureEndpointHalt) {
        return stall();
      }
      if (halt != nullptr) {
        *halt = true;
      }
      return ok;
    case 0x0000 | kClearFeature:
    case 0x0000 | kSetFeature:
    case 0x0000 | kSetAddress:
      return ok;
    case 0x2300 | kSetFeature:  // a port reset passed on to the device
    case 0x0000 | kSetConfiguration:
      if (request == kSetFeature ? value != kFeaturePortReset : value > 1) {
        return stall();
      }
      configuration_ = request == kSetFeature ? 0 : static_cast<std::uint8_t>(value);
      resetTransport();
      inHalted_ = outHalted_ = needsResetRecovery_ = false;
      return ok;
    case 0x8000 | kGetDescriptor:
      return descriptor(value, static_cast<std::uint16_t>(length));
    case 0x8000 | kGetConfiguration:
      return done({configuration_}, length);
    case 0x8100 | kGetInterface:
      return index == 0 && configuration_ != 0 ? done({0}, length) : stall();
    case 0x0100 | kSetInterface:
      if (index != 0 || value != 0 || configuration_ == 0) {
        return stall();
      }
      inHalted_ = outHalted_ = false;
      return ok;
    case 0xA100 | kGetMaxLun:
      return index == 0 && value == 0 ? done({0}, length) : stall();
    case 0x2100 | kMassStorageReset:
      if (index != 0 || value != 0) {
        return stall();
      }
      resetTransport();
      needsResetRecovery_ = false;
      return ok;
    default:
      return stall();
  }
}

void UsbDevice::resetTransport() {
  phase_ = Phase::Command;
  release(dataIn_);
  release(dataOut_);
  sent_ = 0;
  received_ = 0;
  dropMid_ = false;
}

void UsbDevice::invalid() {
  resetTransport();
  inHalted_ = outHalted_ = needsResetRecovery_ = true;
}

UrbReply UsbDevice::bulkOut(const Urb& urb) {
  if (outHalted_) {
    return stall();
  }
  UrbReply reply;
  reply.taken = urb.length;
  switch (phase_) {
    case Phase::Command:
      acceptCommandBlock(*urb.dataOut);
      break;
    case Phase::DataOut: {
      const std::uint32_t want = hostLength_ - received_;
      reply.taken = std::min(urb.length, want);
      const std::size_t room =
          command_.transferLength - std::min<std::size_t>(dataOut_.size(), command_.transferLength);
      const std::size_t keep = std::min<std::size_t>(reply.taken, room);
      dataOut_.insert(dataOut_.end(), urb.dataOut->begin(), urb.dataOut->begin() + static_cast<std::ptrdiff_t>(keep));
      received_ += reply.taken;
      if (received_ == hostLength_) {
        execute();
      }
      break;
    }
    case Phase::Hung:
      return held();
    default:
      // A command block while the device owes data or status.
      invalid();
      return stall();
  }
  if (phase_ == Phase::Closing) {
    return UrbReply{UrbReply::Kind::Close, {}, 0};
  }
  return reply;
}

void UsbDevice::acceptCommandBlock(const std::vector<std::uint8_t>& cbw) {
  if (cbw.size() != kCbwSize || common::byte_order::getLe32(cbw.data()) != kCbwSignature || (cbw[12] & 0x7F) != 0 ||
      cbw[13] != 0 || cbw[14] < 1 || cbw[14] > 16) {
    invalid();
    return;
  }
  tag_ = common::byte_order::getLe32(cbw.data() + 4);
  hostLength_ = common::byte_order::getLe32(cbw.data() + 8);
  command_ = {};
  command_.cdbLength = cbw[14];
  command_.direction = hostLength_ == 0 ? Direction::None : (cbw[12] & 0x80) ? Direction::In : Direction::Out;
  command_.transferLength = std::min(hostLength_, kMaxCommandData);
  std::copy(cbw.begin() + 15, cbw.begin() + 15 + cbw[14], command_.cdb.begin());
  if (command_.direction == Direction::Out) {
    phase_ = Phase::DataOut;
    dataOut_.clear();
    received_ = 0;
    return;
  }
  execute();
}

void UsbDevice::execute() {
  if (command_.direction == Direction::Out) {
    command_.dataOut = dataOut_;
  }
  Answer a = device_->execute(command_);
  command_.dataOut = {};
  release(dataOut_);
  if (a.link == Answer::Link::Drop) {
    phase_ = Phase::Closing;
    return;
  }
  if (a.link == Answer::Link::Hang) {
    phase_ = Phase::Hung;
    return;
  }
  dropMid_ = a.link == Answer::Link::DropMidData;
  cswStatus_ = a.phaseError ? kCswPhaseError : a.scsiStatus == 0 ? kCswPassed : kCswFailed;
  residue_ = 0;
  phase_ = Phase::Status;
  if (command_.direction == Direction::In) {
    dataIn_ = std::move(a.dataIn);
    sent_ = 0;
    residue_ = hostLength_ - static_cast<std::uint32_t>(dataIn_.size());
    phase_ = Phase::DataIn;
  } else if (command_.direction == Direction::Out) {
    residue_ = hostLength_ - a.dataOutTaken;
  }
}

UrbReply UsbDevice::bulkIn(const Urb& urb) {
  if (inHalted_) {
    return stall();
  }
  if (phase_ == Phase::DataIn) {
    const std::size_t chunk = std::min<std::size_t>(urb.length, dataIn_.size() - sent_);
    UrbReply reply;
    reply.data.assign(dataIn_.begin() + static_cast<std::ptrdiff_t>(sent_),
                      dataIn_.begin() + static_cast<std::ptrdiff_t>(sent_ + chunk));
    if (dropMid_) {
      phase_ = Phase::Closing;
      reply.kind = UrbReply::Kind::Close;
      return reply;
    }
    sent_ += chunk;
    // A short transfer ends the data stage; so does the last byte the host wants.
    if (chunk < urb.length || sent_ == hostLength_) {
      phase_ = Phase::Status;
    }
    return reply;
  }
  if (phase_ != Phase::Status) {
    return held();  // nothing to send: the host waits
  }
  std::vector<std::uint8_t> csw(kCswSize, 0);
  common::byte_order::putLe32(csw.data(), kCswSignature);
  common::byte_order::putLe32(csw.data() + 4, tag_);
  common::byte_order::putLe32(csw.data() + 8, residue_);
  csw[12] = cswStatus_;
  if (dropMid_) {
    phase_ = Phase::Closing;
    return UrbReply{UrbReply::Kind::Close, std::move(csw), 0};
  }
  resetTransport();
  return done(std::move(csw), urb.length);
}

}  // namespace flashsim::usb
