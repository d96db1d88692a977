#include "daemon/device_link_linux.hpp"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "common/deadline_io.hpp"
#include "common/sim_wire.hpp"
#include "daemon/daemon_log_linux.hpp"

namespace flashsim {
namespace {

using common::deadline_io::Deadline;
using common::deadline_io::Io;
using common::deadline_io::TimedSocket;

// Pipelined request headers and small data-out arrive here, most requests
// in one receive.
constexpr std::size_t kStagingSize = 8192;
// A data-out buffer grown beyond this is given back after its request, so an
// idle connection holds little.
constexpr std::size_t kKeptDataOut = 64 * 1024;

// One connection to a device: takes requests, has the device carry them out,
// sends the answers.
class DeviceLink {
 public:
  DeviceLink(int fd, Device& device) : link_(fd), device_(device), staged_(kStagingSize) {}

  // Serves until the peer closes the link, the link is shut down from
  // outside (unplug, stop) or a fault breaks it.
  void serve() {
    while (const auto request = receiveRequest()) {
      // The rest of a request and its answer move within the time the host
      // said it waits (a second at least).
      const Deadline deadline =
          Deadline::after(std::chrono::milliseconds(std::max<std::uint32_t>(request->timeoutMs, 1000)));
      if (!receiveDataOut(*request, deadline) || !answer(*request, deadline)) {
        break;
      }
    }
  }

 private:
  std::optional<common::sim_wire::RequestHeader> receiveRequest() {
    if (end_ - begin_ < common::sim_wire::kRequestHeaderSize) {
      std::memmove(staged_.data(), staged_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
      std::size_t got = 0;  // an idle link may wait for ever
      const Io result = link_.receive(staged_.data() + end_, staged_.size() - end_,
                                      common::sim_wire::kRequestHeaderSize - end_, Deadline::never(), got);
      end_ += got;
      if (result != Io::Ok) {
        return std::nullopt;
      }
    }
    const auto request = common::sim_wire::decodeRequestHeader(staged_.data() + begin_);
    if (!request) {
      logLine("malformed request header; closing the connection");
      return std::nullopt;
    }
    begin_ += common::sim_wire::kRequestHeaderSize;
    return request;
  }

  bool receiveDataOut(const common::sim_wire::RequestHeader& request, const Deadline& deadline) {
    dataOut_.clear();
    if (request.direction != common::sim_wire::Direction::Out) {
      return true;
    }
    const std::size_t length = request.transferLength;
    const std::size_t staged = std::min(length, end_ - begin_);
    dataOut_.assign(staged_.data() + begin_, staged_.data() + begin_ + staged);
    begin_ += staged;
    return link_.receiveAppending(dataOut_, length - staged, deadline) == Io::Ok;
  }

  bool answer(const common::sim_wire::RequestHeader& request, const Deadline& deadline) {
    const Answer answer = device_.execute(command(request));
    if (dataOut_.capacity() > kKeptDataOut) {
      std::vector<std::uint8_t>().swap(dataOut_);
    }
    if (answer.link == Answer::Link::Drop) {
      return false;
    }
    if (answer.link == Answer::Link::Hang) {
      // Never answer; keep the link until the peer goes or we are unplugged.
      std::size_t got = 0;
      while (link_.receive(staged_.data(), staged_.size(), 1, Deadline::never(), got) == Io::Ok) {
      }
      return false;
    }
    common::sim_wire::AnswerHeader h;
    h.scsiStatus = answer.scsiStatus;
    h.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(
        request.direction == common::sim_wire::Direction::In ? answer.dataIn.size() : 0, request.transferLength));
    auto head = common::sim_wire::encodeAnswerHeader(h);
    iovec pieces[2] = {{head.data(), head.size()}, {const_cast<std::uint8_t*>(answer.dataIn.data()), h.dataLength}};
    if (answer.link == Answer::Link::DropMidData) {
      // Half of the answer, header and data, then the link breaks.
      const std::size_t half = std::max<std::size_t>(1, (head.size() + h.dataLength) / 2);
      pieces[0].iov_len = std::min(half, head.size());
      pieces[1].iov_len = half - pieces[0].iov_len;
      link_.send(pieces, 2, deadline);
      return false;
    }
    return link_.send(pieces, 2, deadline) == Io::Ok;
  }

  // The request as the device takes it, with the data-out bytes that came.
  Command command(const common::sim_wire::RequestHeader& request) const {
    Command c;
    c.cdb = request.cdb;
    c.cdbLength = request.cdbLength;
    c.direction = request.direction == common::sim_wire::Direction::In    ? Direction::In
                  : request.direction == common::sim_wire::Direction::Out ? Direction::Out
                                                                          : Direction::None;
    c.transferLength = request.transferLength;
    c.dataOut = dataOut_;
    return c;
  }

  TimedSocket link_;
  Device& device_;
  std::vector<std::uint8_t> staged_;
  std::size_t begin_ = 0;  // the staged bytes not yet taken: [begin_, end_)
  std::size_t end_ = 0;
  std::vector<std::uint8_t> dataOut_;
};

}  // namespace

void serveDeviceLink(int fd, Device& device) { DeviceLink(fd, device).serve(); }

}  // namespace flashsim
