#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/sim_wire.hpp"
#include "common/testing/temp_dir.hpp"
#include "common/unix_socket.hpp"
#include "device/scsi_transport_socket_linux.hpp"
#include "device/vendor_commands.hpp"

namespace kestrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Received {
  common::sim_wire::RequestHeader header;
  Bytes dataOut;
};

// The device end of a socket pair, served by a thread that takes requests and
// answers each through `reply` until the reply returns false (the device end
// then closes) or the host closes the link.
class FakeDevice {
 public:
  using Reply = std::function<bool(int fd, const Received&)>;

  explicit FakeDevice(Reply reply) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      std::abort();
    }
    transport = std::make_unique<SocketTransport>(fds[0]);
    const int deviceFd = fds[1];
    thread_ = std::thread([this, deviceFd, reply] {
      for (;;) {
        std::uint8_t raw[common::sim_wire::kRequestHeaderSize];
        if (!common::sim_wire::readAll(deviceFd, raw, sizeof(raw))) {
          break;
        }
        const auto header = common::sim_wire::decodeRequestHeader(raw);
        if (!header) {
          break;
        }
        Received r{*header, {}};
        if (r.header.direction == common::sim_wire::Direction::Out) {
          r.dataOut.resize(r.header.transferLength);
          if (!common::sim_wire::readAll(deviceFd, r.dataOut.data(), r.dataOut.size())) {
            break;
          }
        }
        received_.push_back(r);
        if (!reply(deviceFd, r)) {
          break;
        }
      }
      ::close(deviceFd);
    });
  }

  ~FakeDevice() { finish(); }

  // Closes the host end (if still open) and waits for the device thread;
  // then gives what the device received.
  const std::vector<Received>& finish() {
    transport.reset();
    if (thread_.joinable()) {
      thread_.join();
    }
    return received_;
  }

  std::unique_ptr<SocketTransport> transport;

 private:
  std::vector<Received> received_;
  std::thread thread_;
};

bool sendAnswer(int fd, std::uint8_t status, const Bytes& data, std::uint32_t claimed) {
  const auto header = common::sim_wire::encodeAnswerHeader({status, claimed});
  return common::sim_wire::writeAll(fd, header.data(), header.size()) &&
         common::sim_wire::writeAll(fd, data.data(), data.size());
}

bool sendAnswer(int fd, std::uint8_t status, const Bytes& data) {
  return sendAnswer(fd, status, data, static_cast<std::uint32_t>(data.size()));
}

TEST(SocketTransport, CarriesRequestsAndTheirAnswers) {
  FakeDevice device([](int fd, const Received& r) {
    switch (r.header.cdb[1]) {
      case 0x03:
        return sendAnswer(fd, 0, {'Z', 'A', 'N', 'Q'});  // 4 of the 16 bytes asked for
      case 0x02:
        return sendAnswer(fd, 0, {});  // a data-out request gets no data back
      case 0x21:
        return sendAnswer(fd, 2, {});  // CHECK CONDITION without data
      default:
        return sendAnswer(fd, 0, {0x01});
    }
  });
  VendorCommands commands(*device.transport);

  std::uint8_t version[16];
  std::memset(version, 0xAA, sizeof(version));
  EXPECT_TRUE(commands.cmd_bReadCode(0x2000, version, 16).pass());
  EXPECT_EQ(std::memcmp(version, "ZANQ", 4), 0);
  EXPECT_EQ(version[4], 0xAA);  // not sent: left as the caller had it

  const std::uint8_t five[5] = {9, 8, 7, 6, 5};
  EXPECT_TRUE(commands.cmd_bWriteXdata(0x1A90, five, 5).pass());
  EXPECT_EQ(commands.cmd_bMove().kind, Outcome::Pass);
  EXPECT_EQ(commands.cmd_bPollBlankCheck().kind, Outcome::DeviceFail);  // completed, no status byte
  EXPECT_TRUE(device.transport->connected());

  // Bytes an In request did not get stay as the caller had them.
  std::uint8_t raw[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  ScsiRequest request;
  request.cdb = {0xEF, 0x03};
  request.data = raw;
  request.length = 8;
  EXPECT_TRUE(device.transport->execute(request).completed);
  EXPECT_EQ(raw[4], 1);

  const auto& received = device.finish();
  ASSERT_EQ(received.size(), 5U);
  EXPECT_EQ(received[0].header.cdbLength, 6);
  EXPECT_EQ(received[0].header.direction, common::sim_wire::Direction::In);
  EXPECT_EQ(received[0].header.transferLength, 16U);
  EXPECT_EQ(received[0].header.timeoutMs, 20000U);
  EXPECT_EQ(received[0].header.cdb[3], 0x20);
  EXPECT_EQ(received[1].header.cdb[0], 0xEE);
  EXPECT_EQ(received[1].header.direction, common::sim_wire::Direction::Out);
  EXPECT_EQ(received[1].dataOut, (Bytes{9, 8, 7, 6, 5}));
  EXPECT_EQ(received[2].header.timeoutMs, 60000U);
}

TEST(SocketTransport, ARequestLeavesInOneSendAndItsAnswerComesInOneReceive) {
  // On a packet socket each send is one record, and a receive too short for
  // a record loses the rest of it: the device end sees how the host sends,
  // and its one-record answers arrive whole only when taken in one receive.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  SocketTransport transport(fds[0]);
  std::vector<std::size_t> records;
  std::thread device([&] {
    std::uint8_t record[4096];
    for (ssize_t n; (n = ::recv(fds[1], record, sizeof(record), 0)) > 0;) {
      records.push_back(static_cast<std::size_t>(n));
      Bytes answer(common::sim_wire::kAnswerHeaderSize);
      if (const auto header = common::sim_wire::decodeRequestHeader(record);
          header && header->direction == common::sim_wire::Direction::In) {
        answer.insert(answer.end(), {'Z', 'A', 'N', 'Q'});
      }
      const auto head = common::sim_wire::encodeAnswerHeader(
          {0, static_cast<std::uint32_t>(answer.size() - common::sim_wire::kAnswerHeaderSize)});
      std::copy(head.begin(), head.end(), answer.begin());
      ::send(fds[1], answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    ::close(fds[1]);
  });

  std::uint8_t data[16] = {9, 8, 7, 6, 5};
  ScsiRequest request;
  request.cdb = {0xEE, 0x02};
  request.direction = DataDirection::Out;
  request.data = data;
  request.length = 5;
  request.timeoutSeconds = 1;
  EXPECT_TRUE(transport.execute(request).completed);
  request.cdb = {0xEF, 0x03};
  request.direction = DataDirection::In;
  request.length = sizeof(data);
  const TransportStatus in = transport.execute(request);
  EXPECT_TRUE(in.completed);
  EXPECT_EQ(in.received, 4U);
  EXPECT_EQ(std::memcmp(data, "ZANQ", 4), 0);
  EXPECT_EQ(data[4], 5) << "bytes the device did not send stay";

  ::shutdown(fds[0], SHUT_RDWR);
  device.join();
  EXPECT_EQ(records,
            (std::vector<std::size_t>{common::sim_wire::kRequestHeaderSize + 5, common::sim_wire::kRequestHeaderSize}));
}

// Runs one request against a device that behaves as `reply` says, and a
// second request after it.
struct Broken {
  TransportStatus first;
  TransportStatus second;
  std::size_t requestsReceived;
};

Broken runBroken(FakeDevice::Reply reply, std::uint32_t timeoutSeconds = 20) {
  FakeDevice device(std::move(reply));
  std::uint8_t data[8] = {};
  ScsiRequest request;
  request.cdb = {0xEF, 0x01};
  request.data = data;
  request.length = sizeof(data);
  request.timeoutSeconds = timeoutSeconds;
  Broken result;
  result.first = device.transport->execute(request);
  result.second = device.transport->execute(request);
  result.requestsReceived = device.finish().size();
  return result;
}

TEST(SocketTransport, ABrokenLinkIsNotCompletedAndStaysDropped) {
  struct Case {
    const char* name;
    FakeDevice::Reply reply;
    std::uint32_t code;
  };
  const std::vector<Case> cases = {
      {"closed before answering", [](int, const Received&) { return false; }, ENODEV},
      {"closed inside the answer header",
       [](int fd, const Received&) {
         const auto header = common::sim_wire::encodeAnswerHeader({0, 8});
         common::sim_wire::writeAll(fd, header.data(), 5);
         return false;
       },
       EIO},
      {"closed inside the data",
       [](int fd, const Received&) {
         sendAnswer(fd, 0, {1, 2, 3}, 8);
         return false;
       },
       EIO},
      {"answer with a bad magic",
       [](int fd, const Received&) {
         std::uint8_t junk[common::sim_wire::kAnswerHeaderSize] = {'H', 'T', 'T', 'P'};
         return common::sim_wire::writeAll(fd, junk, sizeof(junk));
       },
       EIO},
      {"more data than asked for", [](int fd, const Received&) { return sendAnswer(fd, 0, Bytes(9, 0x55)); }, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Broken result = runBroken(c.reply);
    EXPECT_FALSE(result.first.completed);
    EXPECT_EQ(result.first.errorCode, c.code);
    EXPECT_FALSE(result.second.completed);
    EXPECT_EQ(result.second.errorCode, static_cast<std::uint32_t>(ENODEV));
    EXPECT_EQ(result.requestsReceived, 1U) << "nothing is sent over a dropped link";
  }
}

TEST(SocketTransport, ADeviceThatNeverAnswersTimesOut) {
  const auto start = std::chrono::steady_clock::now();
  const Broken result = runBroken(
      [](int fd, const Received&) {
        char c;
        while (::recv(fd, &c, 1, 0) > 0) {
        }
        return false;  // returns only once the host has dropped the link
      },
      1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(result.first.completed);
  EXPECT_EQ(result.first.errorCode, static_cast<std::uint32_t>(ETIMEDOUT));
  EXPECT_EQ(result.second.errorCode, static_cast<std::uint32_t>(ENODEV));
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
}

TEST(SocketTransport, ConnectsToAListeningSocketOnly) {
  const common::test::TempDir temp("kestrin-socket");
  const std::string dir = temp.path();
  const std::string path = dir + "/sde";

  const auto missing = connectSocketTransport(path);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), static_cast<std::uint32_t>(ENOENT));
  const auto tooLong = connectSocketTransport(dir + "/" + std::string(200, 'x'));
  EXPECT_FALSE(tooLong.ok());
  EXPECT_EQ(tooLong.error(), static_cast<std::uint32_t>(ENAMETOOLONG));

  const int listener = common::unix_socket::listenAt(path, 1);
  ASSERT_GE(listener, 0);
  auto connected = connectSocketTransport(path);
  ASSERT_TRUE(connected.ok());
  auto transport = std::move(connected).value();
  EXPECT_TRUE(transport->connected());
  transport.reset();

  ::close(listener);
}

}  // namespace
}  // namespace kestrin::test
