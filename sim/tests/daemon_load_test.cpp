// The daemon under hostile load: many connections, connections that announce
// big transfers and send nothing (on the socket link and over USB/IP), slow
// control clients, no room for threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "flashsim/testing/link_support.hpp"
#include "flashsim/testing/usbip_client_linux.hpp"
#include "flashsim/usb_device.hpp"

namespace flashsim::test {
namespace {

using common::sim_wire::Direction;
using namespace std::chrono_literals;

constexpr std::size_t kConnectionsPerDevice = 8;  // the daemon's bound (sim/README.md)
const std::vector<std::uint8_t> kPoll = {0xEF, 0x21, 0, 0, 0, 0};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Announces a 1 MiB write and sends none of its bytes.
void announceBigWrite(const Link& link) {
  const auto head =
      common::sim_wire::encodeRequestHeader({6, Direction::Out, common::sim_wire::kMaxTransfer, 20000, {0xEE, 0x02}});
  ASSERT_TRUE(common::sim_wire::writeAll(link.fd(), head.data(), head.size()));
}

TEST(DaemonLoad, ConnectionsAndTheirMemoryAreBoundedPerDevice) {
  FlashsimDaemon d({"e", "f"});
  ASSERT_TRUE(d.running());
  const long before = statusKiB(d.pid(), "VmRSS");
  std::vector<std::unique_ptr<Link>> links;
  std::size_t served = 0;
  std::size_t refused = 0;
  for (std::size_t i = 0; i < kConnectionsPerDevice + 4; ++i) {
    links.push_back(std::make_unique<Link>(d.socket('e')));
    ASSERT_TRUE(links.back()->connected());
    const Reply r = links.back()->send(kPoll, Direction::In, 1);
    served += r.kind == Reply::Kind::Answered;
    refused += r.kind == Reply::Kind::Closed;
  }
  EXPECT_EQ(served, kConnectionsPerDevice);
  EXPECT_EQ(refused, 4U);
  EXPECT_NE(d.log().find("refusing another"), std::string::npos) << d.log();

  for (std::size_t i = 0; i < kConnectionsPerDevice; ++i) {
    announceBigWrite(*links[i]);
  }
  Link f(d.socket('f'));
  EXPECT_EQ(f.status(kPoll), 0x01) << "the other device is served";
  EXPECT_EQ(d.control("pid").exitCode, 0);
  if (!kSanitized) {
    EXPECT_LT(statusKiB(d.pid(), "VmRSS") - before, 4 * 1024L) << "announced bytes that never came cost no memory";
  }

  links.clear();
  std::this_thread::sleep_for(100ms);
  Link again(d.socket('e'));
  EXPECT_EQ(again.status(kPoll), 0x01) << "closed connections make room";
}

// Refusals are reported at most once a second, with how many there were.
TEST(DaemonLoad, RefusalsAreReportedAtMostOnceASecond) {
  FlashsimDaemon d({"e"});
  ASSERT_TRUE(d.running());
  std::vector<std::unique_ptr<Link>> held;
  for (std::size_t i = 0; i < kConnectionsPerDevice; ++i) {
    held.push_back(std::make_unique<Link>(d.socket('e')));
    ASSERT_EQ(held.back()->status(kPoll), 0x01);
  }
  for (int i = 0; i < 100; ++i) {
    Link refused(d.socket('e'));
  }
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(Link(d.socket('e')).send(kPoll, Direction::In, 1).kind, Reply::Kind::Closed);
  const std::string errors = d.log();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
  EXPECT_NE(errors.find("refusing another\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("refusing another (100 refused since the last line)\n"), std::string::npos) << errors;
}

// Over USB/IP a URB holds memory for the bytes that came, not for the length
// it announces, and gives it back when done: every device imported, each
// with one whole 4 MiB URB, answers nobody reads and a 4 MiB URB of which
// 64 KiB arrive.
TEST(DaemonLoad, UsbipUrbsHoldOnlyTheBytesThatArrived) {
  std::vector<std::string> devices;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    devices.push_back(std::string(1, letter) + ":blocks=64,pages=4,pagesize=512");
  }
  const std::uint16_t port = freeTcpPort();
  FlashsimDaemon d(devices, {"--usbip", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(d.running());
  const long start = statusKiB(d.pid(), "VmHWM");
  std::vector<std::unique_ptr<Client>> peers;
  for (int n = 1; n <= 26; ++n) {
    peers.push_back(std::make_unique<Client>(port));
    Client& c = *peers.back();
    ASSERT_EQ(c.import("1-" + std::to_string(n)), 0U);
    const std::vector<std::uint8_t> whole(flashsim::usbip::kMaxUrbLength, 0x5A);
    ASSERT_TRUE(c.submit(flashsim::usb::kBulkOutEndpoint, false, flashsim::usbip::kMaxUrbLength, {}, whole).answered);
    for (int i = 0; i < 4; ++i) {
      c.sendSubmit(0, true, 18, {0x80, 6, 0, 1, 0, 0, 18, 0});
    }
    c.sendSubmit(flashsim::usb::kBulkOutEndpoint, false, flashsim::usbip::kMaxUrbLength, {},
                 std::vector<std::uint8_t>(64 * 1024, 0x5A));
  }
  EXPECT_EQ(d.control("pid").exitCode, 0);
  std::this_thread::sleep_for(200ms);
  const long peak = statusKiB(d.pid(), "VmHWM");
  std::printf("flashsim peak resident: %ld KiB before, %ld KiB after 26 URBs and with 26 under way\n", start, peak);
  if (!kSanitized) {
    EXPECT_LT(peak, 64 * 1024L);
  }
}

TEST(DaemonLoad, NoRoomForAThreadRefusesTheConnectionNotTheDaemon) {
  if (kSanitized) {
    GTEST_SKIP() << "a sanitizer's shadow memory does not live under an address-space limit";
  }
  FlashsimDaemon d({"e", "f"});
  ASSERT_TRUE(d.running());
  Link e(d.socket('e'));
  Link f(d.socket('f'));
  ASSERT_EQ(e.status(kPoll), 0x01);
  ASSERT_EQ(f.status(kPoll), 0x01);
  // From now on the daemon's address space has no room for another thread's stack.
  const rlim_t size = static_cast<rlim_t>(statusKiB(d.pid(), "VmSize") + 1024) * 1024;
  const rlimit limit{size, size};
  ASSERT_EQ(::prlimit(d.pid(), RLIMIT_AS, &limit, nullptr), 0);

  for (int i = 0; i < 3; ++i) {
    Link more(d.socket('e'));
    EXPECT_EQ(more.send(kPoll, Direction::In, 1).kind, Reply::Kind::Closed);
  }
  EXPECT_NE(d.log().find("cannot start a thread"), std::string::npos) << d.log();
  EXPECT_EQ(e.status(kPoll), 0x01) << "the connections that have their thread are still served";
  EXPECT_EQ(f.status(kPoll), 0x01);
  EXPECT_EQ(d.control("pid").exitCode, 0);
  const int status = d.terminate();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(entries(d.dir()).empty()) << "every socket removed";
}

TEST(DaemonLoad, SlowControlClientsHoldUpNoOneElse) {
  FlashsimDaemon d({"e"});
  ASSERT_TRUE(d.running());
  const std::string control = d.dir() + "/.flashsim-control";
  Link idle(control);  // connects and sends nothing
  Link trickle(control);
  ASSERT_TRUE(idle.connected() && trickle.connected());
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    while (!done && common::sim_wire::writeAll(trickle.fd(), "p", 1)) {
      std::this_thread::sleep_for(200ms);
    }
  });
  std::this_thread::sleep_for(300ms);

  auto start = std::chrono::steady_clock::now();
  const ProcessResult pid = d.control("pid");
  EXPECT_EQ(pid.exitCode, 0) << pid.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  start = std::chrono::steady_clock::now();
  const int status = d.terminate();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  done = true;
  trickler.join();
}

}  // namespace
}  // namespace flashsim::test
