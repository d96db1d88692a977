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

namespace kestrin::testing {

struct SeenRequest {
  std::vector<std::uint8_t> cdb;
  DataDirection direction = DataDirection::In;
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  std::vector<std::uint8_t> dataOut;
};

struct FakeScript {
  std::vector<SeenRequest> seen;
  bool closed = false;
  // Answer of a request; when it gives nothing, the defaults below answer.
  std::function<std::optional<TransportStatus>(const ScsiRequest&, std::uint8_t* dataIn)> override;
  std::uint8_t statusByte = 0x01;            // every status command
  std::array<std::uint8_t, 16> version{};    // code memory at 0x2000
  std::uint32_t blockLength = 512;
  std::uint8_t memoryFill = 0xA5;            // other memory reads

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

class FakeTransport : public ScsiTransport {
 public:
  explicit FakeTransport(FakeScript& script) : script_(script) {}
  ~FakeTransport() override { script_.closed = true; }

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
    if (op == 0x12) {  // INQUIRY
      const std::uint8_t header[8] = {0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
      std::memcpy(in, header, std::min<std::uint32_t>(8, r.length));
    } else if (op == 0x25) {  // READ CAPACITY
      const std::uint8_t data[8] = {0x00, 0x1F, 0xFF, 0xFF,
                                    static_cast<std::uint8_t>(script_.blockLength >> 24),
                                    static_cast<std::uint8_t>(script_.blockLength >> 16),
                                    static_cast<std::uint8_t>(script_.blockLength >> 8),
                                    static_cast<std::uint8_t>(script_.blockLength)};
      std::memcpy(in, data, std::min<std::uint32_t>(8, r.length));
    } else if (op == 0xEF && sub == 0x03 && r.cdb[2] == 0x00 && r.cdb[3] == 0x20) {  // version
      std::memcpy(in, script_.version.data(), std::min<std::uint32_t>(16, r.length));
    } else if (op == 0xEF && (sub == 0x01 || sub == 0x03)) {
      std::memset(in, script_.memoryFill, r.length);
    } else if (op == 0xEF && sub >= 0x10 && in != nullptr && r.length >= 1) {
      in[0] = script_.statusByte;
    }
    return {true, 0};
  }

 private:
  FakeScript& script_;
};

// An opener that hands out a FakeTransport over `script`, counting its calls.
struct FakeOpener {
  FakeScript& script;
  int calls = 0;
  std::optional<std::uint32_t> failWith;

  std::unique_ptr<ScsiTransport> operator()(std::string_view, std::uint32_t& errorCode) {
    ++calls;
    if (failWith) {
      errorCode = *failWith;
      return nullptr;
    }
    return std::make_unique<FakeTransport>(script);
  }
};

}  // namespace kestrin::testing
