// The daemon under hostile load: many connections, connections that announce
// big transfers and send nothing, slow control clients, no room for threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>
#include <thread>

#include "daemon_support.hpp"

namespace simtest {
namespace {

using wire::Direction;
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
  const auto head = wire::encodeRequestHeader({6, Direction::Out, wire::kMaxTransfer, 20000, {0xEE, 0x02}});
  ASSERT_TRUE(wire::writeAll(link.fd(), head.data(), head.size()));
}

TEST(DaemonLoad, ConnectionsAndTheirMemoryAreBoundedPerDevice) {
  Daemon d({"e", "f"});
  ASSERT_TRUE(d.ready());
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
  EXPECT_NE(d.errors().find("refusing another"), std::string::npos) << d.errors();

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

TEST(DaemonLoad, NoRoomForAThreadRefusesTheConnectionNotTheDaemon) {
  if (kSanitized) {
    GTEST_SKIP() << "a sanitizer's shadow memory does not live under an address-space limit";
  }
  Daemon d({"e", "f"});
  ASSERT_TRUE(d.ready());
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
  EXPECT_NE(d.errors().find("cannot start a thread"), std::string::npos) << d.errors();
  EXPECT_EQ(e.status(kPoll), 0x01) << "the connections that have their thread are still served";
  EXPECT_EQ(f.status(kPoll), 0x01);
  EXPECT_EQ(d.control("pid").exitCode, 0);
  const int status = d.terminate();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(entries(d.dir()).empty()) << "every socket removed";
}

TEST(DaemonLoad, SlowControlClientsHoldUpNoOneElse) {
  Daemon d({"e"});
  ASSERT_TRUE(d.ready());
  const std::string control = d.dir() + "/.flashsim-control";
  Link idle(control);  // connects and sends nothing
  Link trickle(control);
  ASSERT_TRUE(idle.connected() && trickle.connected());
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    while (!done && wire::writeAll(trickle.fd(), "p", 1)) {
      std::this_thread::sleep_for(200ms);
    }
  });
  std::this_thread::sleep_for(300ms);

  auto start = std::chrono::steady_clock::now();
  const ProgramRun pid = d.control("pid");
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
}  // namespace simtest
