#include "common/sim_wire.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <thread>

namespace common::test {

using namespace std::chrono_literals;

TEST(SimWire, HeadersRoundTripAndRejectGarbage) {
  common::sim_wire::RequestHeader h;
  h.cdbLength = 10;
  h.direction = common::sim_wire::Direction::Out;
  h.transferLength = 512;
  h.timeoutMs = 20000;
  h.cdb[0] = 0xEF;
  h.cdb[9] = 0x1A;
  auto bytes = common::sim_wire::encodeRequestHeader(h);
  auto back = common::sim_wire::decodeRequestHeader(bytes.data());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->cdbLength, 10);
  EXPECT_EQ(back->direction, common::sim_wire::Direction::Out);
  EXPECT_EQ(back->transferLength, 512u);
  EXPECT_EQ(back->timeoutMs, 20000u);
  EXPECT_EQ(back->cdb, h.cdb);

  auto bad = bytes;
  bad[0] ^= 1;
  EXPECT_FALSE(common::sim_wire::decodeRequestHeader(bad.data()));
  bad = bytes;
  bad[4] = 17;
  EXPECT_FALSE(common::sim_wire::decodeRequestHeader(bad.data()));
  bad = bytes;
  bad[5] = 3;
  EXPECT_FALSE(common::sim_wire::decodeRequestHeader(bad.data()));
  bad = bytes;
  bad[11] = 0x7F;  // transfer length far beyond the bound
  EXPECT_FALSE(common::sim_wire::decodeRequestHeader(bad.data()));

  auto a = common::sim_wire::encodeAnswerHeader({2, 36});
  auto ab = common::sim_wire::decodeAnswerHeader(a.data());
  ASSERT_TRUE(ab);
  EXPECT_EQ(ab->scsiStatus, 2);
  EXPECT_EQ(ab->dataLength, 36u);
  a[1] = 0;
  EXPECT_FALSE(common::sim_wire::decodeAnswerHeader(a.data()));
}

TEST(SimWire, DeadlineReadTellsTimeoutCloseAndData) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  char buf[4];
  EXPECT_EQ(common::sim_wire::readAllBy(sv[0], buf, 4, std::chrono::steady_clock::now() + 50ms),
            common::sim_wire::ReadResult::TimedOut);
  std::thread writer([&] {
    std::this_thread::sleep_for(20ms);
    common::sim_wire::writeAll(sv[1], "ab", 2);
    std::this_thread::sleep_for(20ms);
    common::sim_wire::writeAll(sv[1], "cd", 2);
  });
  EXPECT_EQ(common::sim_wire::readAllBy(sv[0], buf, 4, std::chrono::steady_clock::now() + 2s),
            common::sim_wire::ReadResult::Ok);
  writer.join();
  EXPECT_EQ(std::string(buf, 4), "abcd");
  ::close(sv[1]);
  EXPECT_EQ(common::sim_wire::readAllBy(sv[0], buf, 4, std::chrono::steady_clock::now() + 2s),
            common::sim_wire::ReadResult::Closed);
  EXPECT_FALSE(common::sim_wire::readAll(sv[0], buf, 1));
  ::close(sv[0]);
}

TEST(DeadlineIo, PiecesTravelWholeAndTheReceiveTimeOutFollowsTheDeadline) {
  using common::deadline_io::Deadline;
  using common::deadline_io::Io;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  common::deadline_io::TimedSocket host(sv[0]);
  common::deadline_io::TimedSocket device(sv[1]);
  char head[2] = {'h', 'e'};
  char tail[3] = {'l', 'l', 'o'};
  const iovec out[2] = {{head, 2}, {tail, 3}};
  ASSERT_EQ(device.send(out, 2, Deadline::never()), Io::Ok);
  char a[3];
  char b[10];
  const iovec in[2] = {{a, 3}, {b, 10}};
  std::size_t got = 0;
  ASSERT_EQ(host.receive(in, 2, 5, Deadline::after(10s), got), Io::Ok);  // arms a long time-out
  EXPECT_EQ(got, 5U);
  EXPECT_EQ(std::string(a, 3) + std::string(b, 2), "hello");

  // A shorter deadline shortens the wait; a longer one outlasts the time-out set before.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host.receive(b, 10, 1, Deadline::after(100ms), got), Io::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  std::thread late([&] {
    std::this_thread::sleep_for(400ms);
    device.send("xy", 2, Deadline::never());
  });
  EXPECT_EQ(host.receive(b, 10, 2, Deadline::after(5s), got), Io::Ok);
  late.join();
  EXPECT_EQ(std::string(b, got), "xy");

  ::close(sv[1]);
  EXPECT_EQ(host.receive(b, 10, 1, Deadline::never(), got), Io::Closed);
  EXPECT_EQ(host.send("z", 1, Deadline::never()), Io::Closed);
  ::close(sv[0]);
}

}  // namespace common::test
