// A ScsiTransport that records every request and answers from a script.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "device/scsi_transport.hpp"

namespace kestrin::test {

struct RecordedRequest {
  std::vector<std::uint8_t> cdb;      // cdbLength bytes
  std::vector<std::uint8_t> fullCdb;  // all 16 bytes
  DataDirection direction = DataDirection::In;
  std::uint32_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  std::vector<std::uint8_t> dataOut;   // the bytes of an Out request
  std::vector<std::uint8_t> dataSeen;  // the In buffer as the transport received it
};

struct ScriptedAnswer {
  bool completed = true;
  std::uint32_t errorCode = 0;
  std::vector<std::uint8_t> dataIn;  // copied into an In buffer, at most its length
};

class RecordingTransport : public ScsiTransport {
 public:
  TransportStatus execute(const ScsiRequest& request) override {
    RecordedRequest r;
    r.cdb.assign(request.cdb.begin(), request.cdb.begin() + request.cdbLength);
    r.fullCdb.assign(request.cdb.begin(), request.cdb.end());
    r.direction = request.direction;
    r.length = request.length;
    r.timeoutSeconds = request.timeoutSeconds;
    if (request.direction == DataDirection::Out) {
      r.dataOut.assign(request.data, request.data + request.length);
    } else if (request.data != nullptr) {
      r.dataSeen.assign(request.data, request.data + request.length);
    }
    requests.push_back(r);

    ScriptedAnswer answer = fallback;
    if (!script.empty()) {
      answer = script.front();
      script.pop_front();
    }
    std::uint32_t received = 0;
    if (request.direction == DataDirection::In) {
      received = static_cast<std::uint32_t>(std::min<std::size_t>(answer.dataIn.size(), request.length));
      std::copy_n(answer.dataIn.begin(), received, request.data);
    }
    return {answer.completed, answer.errorCode, answer.completed ? received : 0};
  }

  void answer(ScriptedAnswer a) { script.push_back(std::move(a)); }
  void answerStatus(std::uint8_t status) { answer({true, 0, {status}}); }
  void failWith(std::uint32_t code) { answer({false, code, {}}); }

  std::vector<RecordedRequest> requests;
  std::deque<ScriptedAnswer> script;
  ScriptedAnswer fallback{true, 0, {}};
};

}  // namespace kestrin::test
