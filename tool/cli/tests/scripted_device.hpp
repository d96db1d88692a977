// A scripted stand-in for the device: answers the start-up probes like a
// supported device, the status commands with a chosen status byte, and
// records every request it receives.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "device/scsi_transport.hpp"

namespace kestrin::test {

struct SeenRequest {
  std::vector<std::uint8_t> cdb;
  DataDirection direction = DataDirection::In;
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  std::vector<std::uint8_t> dataOut;
};

struct DeviceScript {
  std::vector<SeenRequest> seen;
  bool closed = false;
  // Answer of a request; when it gives nothing, the defaults below answer.
  std::function<std::optional<TransportStatus>(const ScsiRequest&, std::uint8_t* dataIn)> override;
  std::uint8_t statusByte = 0x01;          // every status command
  std::array<std::uint8_t, 16> version{};  // code memory at 0x2000
  std::uint32_t blockLength = 512;
  std::uint8_t memoryFill = 0xA5;  // other memory reads

  std::size_t count(std::uint8_t op, std::uint8_t sub) const {
    return static_cast<std::size_t>(std::count_if(seen.begin(), seen.end(), [&](const SeenRequest& r) {
      return r.cdb.size() > 1 && r.cdb[0] == op && r.cdb[1] == sub;
    }));
  }
  void setVersion(std::string_view text) {
    version.fill(0);
    std::memcpy(version.data(), text.data(), std::min(text.size(), version.size()));
  }
};

class ScriptedDevice : public ScsiTransport {
 public:
  explicit ScriptedDevice(DeviceScript& script) : script_(script) {}
  ~ScriptedDevice() override { script_.closed = true; }

  TransportStatus execute(const ScsiRequest& r) override {
    SeenRequest seen;
    seen.cdb.assign(r.cdb.begin(), r.cdb.begin() + r.cdbLength);
    seen.direction = r.direction;
    seen.length = r.length;
    seen.timeoutSeconds = r.timeoutSeconds;
    if (r.direction == DataDirection::Out && r.data != nullptr) seen.dataOut.assign(r.data, r.data + r.length);
    script_.seen.push_back(seen);
    if (script_.override) {
      if (auto answer = script_.override(r, r.data)) return *answer;
    }
    std::uint8_t* in = (r.direction == DataDirection::In) ? r.data : nullptr;
    const std::uint8_t op = r.cdb[0];
    const std::uint8_t sub = r.cdb[1];
    std::uint32_t sent = 0;
    if (op == 0x12) {  // INQUIRY
      const std::uint8_t header[8] = {0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
      sent = std::min<std::uint32_t>(8, r.length);
      std::memcpy(in, header, sent);
    } else if (op == 0x25) {  // READ CAPACITY
      const std::uint8_t data[8] = {0x00,
                                    0x1F,
                                    0xFF,
                                    0xFF,
                                    static_cast<std::uint8_t>(script_.blockLength >> 24),
                                    static_cast<std::uint8_t>(script_.blockLength >> 16),
                                    static_cast<std::uint8_t>(script_.blockLength >> 8),
                                    static_cast<std::uint8_t>(script_.blockLength)};
      sent = std::min<std::uint32_t>(8, r.length);
      std::memcpy(in, data, sent);
    } else if (op == 0xEF && sub == 0x03 && r.cdb[2] == 0x00 && r.cdb[3] == 0x20) {  // version
      sent = std::min<std::uint32_t>(16, r.length);
      std::memcpy(in, script_.version.data(), sent);
    } else if (op == 0xEF && (sub == 0x01 || sub == 0x03)) {
      sent = r.length;
      std::memset(in, script_.memoryFill, sent);
    } else if (op == 0xEF && sub >= 0x10 && in != nullptr && r.length >= 1) {
      in[0] = script_.statusByte;
      sent = 1;
    }
    return {true, 0, sent};
  }

 private:
  DeviceScript& script_;
};

// An opener that hands out a ScriptedDevice over `script`, counting its calls.
struct ScriptedOpener {
  DeviceScript& script;
  int calls = 0;
  std::optional<std::uint32_t> failWith;

  OrSystemError<std::unique_ptr<ScsiTransport>> operator()(std::string_view) {
    ++calls;
    if (failWith) {
      return common::Failure{*failWith};
    }
    return std::unique_ptr<ScsiTransport>(std::make_unique<ScriptedDevice>(script));
  }
};

}  // namespace kestrin::test
