// One vendor status command (cmd_bPollBlankCheck) from host to device and
// back: over the emulator's Unix-socket link, and as a USB/IP client sees it
// (command block, data, status: three URBs over loopback TCP).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/sim_wire.hpp"
#include "common/testing/temp_dir.hpp"
#include "common/unix_socket.hpp"
#include "flashsim/control_server_linux.hpp"
#include "flashsim/testing/usbip_client_linux.hpp"
#include "flashsim/usb_device.hpp"
#include "flashsim/usbip_server_linux.hpp"

namespace {

const std::vector<std::uint8_t> kPoll{0xEF, 0x21, 0, 0, 0, 0};

void BM_StatusCommandOverSocket(benchmark::State& state) {
  const common::test::TempDir dir("flashsim-bench");
  {
    flashsim::Server server(dir.path());
    flashsim::DeviceArgument arg;
    arg.letter = 'e';
    if (!server.plug(arg)) {
      state.SkipWithError("plug");
      return;
    }
    const int fd = common::unix_socket::connectTo(dir.file("sde"));
    if (fd < 0) {
      state.SkipWithError("connect");
    }
    common::sim_wire::RequestHeader h;
    h.cdbLength = 6;
    h.direction = common::sim_wire::Direction::In;
    h.transferLength = 1;
    h.timeoutMs = 20000;
    std::copy(kPoll.begin(), kPoll.end(), h.cdb.begin());
    const auto request = common::sim_wire::encodeRequestHeader(h);
    std::uint8_t answer[common::sim_wire::kAnswerHeaderSize + 1];
    for (auto _ : state) {
      if (!common::sim_wire::writeAll(fd, request.data(), request.size()) ||
          !common::sim_wire::readAll(fd, answer, sizeof answer)) {
        state.SkipWithError("link broke");
        break;
      }
    }
    ::close(fd);
    (void)server.unplug('e');  // the server goes next
  }
}
BENCHMARK(BM_StatusCommandOverSocket);

void BM_StatusCommandOverUsbip(benchmark::State& state) {
  flashsim::UsbipServer server;
  server.plug('e', std::make_shared<flashsim::Device>(flashsim::Profile{}));
  if (!server.listen("127.0.0.1:0")) {
    state.SkipWithError("listen");
    return;
  }
  flashsim::test::Client client(server.port());
  if (client.import("1-5") != 0 || !client.configure()) {
    state.SkipWithError("import");
    return;
  }
  for (auto _ : state) {
    if (client.command(kPoll, 0x80, 1).cswStatus != flashsim::usb::kCswPassed) {
      state.SkipWithError("command failed");
      break;
    }
  }
}
BENCHMARK(BM_StatusCommandOverUsbip);

}  // namespace

BENCHMARK_MAIN();
