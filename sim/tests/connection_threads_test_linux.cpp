#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "flashsim/connection_threads_linux.hpp"

namespace flashsim::test {
namespace {

using Event = ConnectionThreads::Event;

// The far end sees the connection closed (shut down or refused).
bool closedAtFarEnd(int far) {
  char b;
  return ::read(far, &b, 1) == 0;
}

TEST(ConnectionThreads, BoundsReapsAndEndsBlockedConnections) {
  std::mutex m;
  std::vector<Event> events;
  ConnectionThreads threads(2, [&](Event why, const char*, std::size_t) {
    std::lock_guard lock(m);
    events.push_back(why);
  });
  const auto blockUntilShutDown = [](int fd) {
    char b;
    while (::read(fd, &b, 1) > 0) {
    }
  };
  std::vector<std::array<int, 2>> pairs(4);
  for (auto& p : pairs) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p.data()), 0);
  }
  ASSERT_TRUE(threads.start(pairs[0][0], blockUntilShutDown));
  ASSERT_TRUE(threads.start(pairs[1][0], [](int) { throw std::runtime_error("broken"); }));
  EXPECT_TRUE(closedAtFarEnd(pairs[1][1])) << "an exception closes its connection";
  for (int i = 0; i < 5000 && threads.count() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(threads.count(), 1U) << "the failed one is joined, the blocked one stays";
  ASSERT_TRUE(threads.start(pairs[2][0], blockUntilShutDown));
  EXPECT_FALSE(threads.start(pairs[3][0], blockUntilShutDown));
  EXPECT_TRUE(closedAtFarEnd(pairs[3][1])) << "refused over the bound";
  threads.endAll();
  EXPECT_EQ(threads.count(), 0U);
  EXPECT_TRUE(closedAtFarEnd(pairs[0][1]));
  EXPECT_TRUE(closedAtFarEnd(pairs[2][1]));
  EXPECT_EQ(events, (std::vector<Event>{Event::Failed, Event::Full}));
  for (auto& p : pairs) {
    ::close(p[1]);
  }
}

}  // namespace
}  // namespace flashsim::test
