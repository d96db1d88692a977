#include "devicewatch/disk_arrival_gate.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "devicewatch/device_change_source.hpp"

namespace station::test {
namespace {

using Report = DiskArrivalGate::Report;
using namespace std::chrono_literals;

struct GateTest : ::testing::Test {
  std::set<std::string> ready;  // SCSI devices whose generic node is set up
  DiskArrivalGate gate{[this](const std::string& path) { return ready.count(path) != 0; }};
  DiskArrivalGate::Clock::time_point t0{};

  std::vector<Report> taken() {
    std::vector<Report> out;
    while (const auto r = gate.take()) out.push_back(*r);
    return out;
  }
};

TEST_F(GateTest, ArrivalWaitsForTheGenericNode) {
  ready.insert("/sys/h0");
  gate.added('B', "/sys/h0", t0);  // node set up before the disk's announcement
  gate.added('C', "/sys/h1", t0);  // node not yet
  gate.added('D', "", t0);         // no SCSI device behind it: nothing to wait for
  EXPECT_EQ(taken(), (std::vector<Report>{{kDeviceArrival, 'B'}, {kDeviceArrival, 'D'}}));
  EXPECT_TRUE(gate.holding());

  gate.recheck(t0 + 5s);
  EXPECT_TRUE(taken().empty());
  ready.insert("/sys/h1");
  gate.recheck(t0 + 6s);
  EXPECT_EQ(taken(), (std::vector<Report>{{kDeviceArrival, 'C'}}));
  EXPECT_FALSE(gate.holding());

  // A node that never gets set up does not lose the disk.
  gate.added('E', "/sys/h2", t0);
  gate.recheck(t0 + DiskArrivalGate::kLongestWait - 1ms);
  EXPECT_TRUE(taken().empty());
  gate.recheck(t0 + DiskArrivalGate::kLongestWait);
  EXPECT_EQ(taken(), (std::vector<Report>{{kDeviceArrival, 'E'}}));
}

TEST_F(GateTest, RemovalDropsWhatConcernsTheGoneDisk) {
  gate.added('F', "/sys/h3", t0);  // held
  ready.insert("/sys/h4");
  gate.added('G', "/sys/h4", t0);  // out, not taken yet
  gate.removed('F');
  gate.removed('G');
  gate.removed('H');  // never announced: the window ignores it
  ready.insert("/sys/h3");
  gate.recheck(t0 + 1s);
  EXPECT_EQ(taken(), (std::vector<Report>{
                         {kDeviceRemoveComplete, 'F'}, {kDeviceRemoveComplete, 'G'}, {kDeviceRemoveComplete, 'H'}}));
  EXPECT_FALSE(gate.holding());

  // Plugged again: one arrival, however often announced.
  gate.added('G', "/sys/h4", t0);
  gate.added('G', "/sys/h4", t0);
  EXPECT_EQ(taken(), (std::vector<Report>{{kDeviceArrival, 'G'}}));
}

}  // namespace
}  // namespace station::test
