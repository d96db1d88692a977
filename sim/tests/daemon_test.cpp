// The flashsim daemon, driven from this (second) process through its device
// sockets and its command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <sstream>
#include <thread>

#include "flashsim/testing/link_support.hpp"

namespace flashsim::test {
namespace {

using common::sim_wire::Direction;
using namespace std::chrono_literals;

// "2026-01-02T03:04:05.123456Z EF2100000000 in 1 pass"
bool traceLineShaped(const std::string& line) {
  std::istringstream in(line);
  std::string time, cdb, dir, length, outcome, extra;
  in >> time >> cdb >> dir >> length >> outcome;
  const auto all = [](const std::string& s, const char* set) {
    return !s.empty() && s.find_first_not_of(set) == std::string::npos;
  };
  return !(in >> extra) && time.size() == 27 && time[10] == 'T' && time[19] == '.' && time.back() == 'Z' &&
         all(cdb, "0123456789ABCDEF") && cdb.size() % 2 == 0 && (dir == "in" || dir == "out" || dir == "none") &&
         all(length, "0123456789") && all(outcome, "abcdefghijklmnopqrstuvwxyz");
}

TEST(Daemon, ServesDevicesThroughOwnerOnlySockets) {
  FlashsimDaemon d({"e", "f:blocks=64,bad=3,version=ZANQ006HIA,blocklen=4096,blankcheck_ms=100"});
  ASSERT_TRUE(d.running());
  for (const std::string& name : {std::string("sde"), std::string("sdf"), std::string(".flashsim-control")}) {
    struct stat st {};
    ASSERT_EQ(::lstat((d.dir() + "/" + name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISSOCK(st.st_mode)) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600U) << name;
  }

  Link e(d.socket('e'));
  ASSERT_TRUE(e.connected());
  EXPECT_EQ(e.status({0xEF, 0x04, 0x00, 0x00, 0x80, 0x01}), 0x01);
  const Reply inq = e.send({0x12, 0, 0, 0, 0, 0}, Direction::In, 36);
  ASSERT_EQ(inq.kind, Reply::Kind::Answered);
  ASSERT_EQ(inq.data.size(), 36U);
  EXPECT_EQ(std::vector<std::uint8_t>(inq.data.begin(), inq.data.begin() + 8),
            (std::vector<std::uint8_t>{0x00, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00}));
  const Reply unknown = e.send({0xEF, 0x7A, 0, 0, 0, 0}, Direction::In, 1);
  EXPECT_EQ(unknown.kind, Reply::Kind::Answered);
  EXPECT_EQ(unknown.scsiStatus, 0x02);
  EXPECT_TRUE(unknown.data.empty());

  Link f(d.socket('f'));
  ASSERT_TRUE(f.connected());
  EXPECT_EQ(f.send({0x25, 0, 0, 0, 0, 0}, Direction::In, 8).data,
            (std::vector<std::uint8_t>{0x00, 0x00, 0x07, 0xFF, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(f.readX(0x257E, 8), (std::vector<std::uint8_t>{0x00, 0x40, 0x00, 0x40, 0x06, 0x08, 0x00, 0x0B}));

  // A page travels through the page buffer in 512-byte pieces, as the tool moves it.
  std::vector<std::uint8_t> pattern(2048);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    pattern[i] = static_cast<std::uint8_t>(i * 13 + 1);
  }
  for (std::uint16_t k = 0; k < 4; ++k) {
    ASSERT_TRUE(f.writeX(static_cast<std::uint16_t>(0x1A90 + 512 * k),
                         std::vector<std::uint8_t>(pattern.begin() + 512 * k, pattern.begin() + 512 * (k + 1))));
  }
  EXPECT_EQ(f.status(programCdb(130)), 0x01);
  EXPECT_EQ(f.status(eraseCdb(0)), 0x01);
  EXPECT_EQ(f.status(readPageCdb(130)), 0x01);
  EXPECT_EQ(f.readX(0x1A90, 2048), pattern);
  EXPECT_EQ(f.status({0xEF, 0x1C, 192, 0, 0, 0}), 0x00) << "block 3 is factory-bad";
  EXPECT_EQ(f.status({0xEF, 0x1F, 0x40, 0x01, 0, 0, 0x90, 0x1A, 0, 0}), 0x01);  // marks block 5
  EXPECT_EQ(f.status({0xEF, 0x20, 0xF7, 0xF7, 0xFF, 0xFF}), 0x01);
  EXPECT_EQ(f.status({0xEF, 0x21, 0, 0, 0, 0}), 0x00);

  // What an engineer reads back.
  const ProcessResult page = d.control("page", {"f", "130"});
  EXPECT_EQ(page.exitCode, 0) << page.err;
  EXPECT_EQ(std::vector<std::uint8_t>(page.out.begin(), page.out.end()), pattern);
  EXPECT_EQ(d.control("bad", {"f"}).out, "3\n5\n");
  EXPECT_EQ(d.control("bad", {"E"}).out, "");
  EXPECT_EQ(d.control("timings", {"f"}).out, "247 247 255 255\n");
  const ProcessResult trace = d.control("trace", {"f"});
  ASSERT_EQ(trace.exitCode, 0);
  const auto traced = common::test::splitLines(trace.out);
  ASSERT_EQ(traced.size(), 14U);
  for (const auto& l : traced) {
    EXPECT_TRUE(traceLineShaped(l)) << l;
  }
  EXPECT_NE(traced[0].find(" 250000000000 in 8 good"), std::string::npos) << traced[0];
  EXPECT_NE(traced[2].find(" EE02901A0000 out 512 good"), std::string::npos) << traced[2];
  EXPECT_NE(traced.back().find(" EF2100000000 in 1 devicefail"), std::string::npos) << traced.back();

  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(f.status({0xEF, 0x21, 0, 0, 0, 0}), 0x01) << "the device's check has finished";
}

TEST(Daemon, PlugUnplugAndReplugKeepsNandState) {
  FlashsimDaemon d;
  ASSERT_TRUE(d.running());
  EXPECT_TRUE(entries(d.dir()) == std::vector<std::string>{".flashsim-control"});
  ASSERT_EQ(d.control("plug", {"G:blocks=16,pages=4,pagesize=512"}).exitCode, 0);
  {
    Link g(d.socket('g'));
    ASSERT_TRUE(g.connected());
    ASSERT_TRUE(g.writeX(0x1A90, std::vector<std::uint8_t>(512, 0x3C)));
    ASSERT_EQ(g.status(programCdb(9)), 0x01);
  }
  const ProcessResult again = d.control("plug", {"g"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already plugged"), std::string::npos) << again.err;

  ASSERT_EQ(d.control("unplug", {"g"}).exitCode, 0);
  EXPECT_FALSE(waitFor(d.socket('g'), true, 0ms));
  Link gone(d.socket('g'));
  EXPECT_FALSE(gone.connected());
  EXPECT_EQ(gone.err(), ENOENT);
  EXPECT_EQ(d.control("unplug", {"g"}).exitCode, 1);
  EXPECT_EQ(d.control("page", {"g", "9"}).out, std::string(512, '\x3C'))
      << "an unplugged device can still be inspected";

  ASSERT_EQ(d.control("plug", {"g"}).exitCode, 0);  // the same device comes back
  {
    Link g(d.socket('g'));
    ASSERT_EQ(g.status(readPageCdb(9)), 0x01);
    EXPECT_EQ(g.readX(0x1A90, 4), std::vector<std::uint8_t>(4, 0x3C));
  }
  ASSERT_EQ(d.control("unplug", {"g"}).exitCode, 0);
  ASSERT_EQ(d.control("plug", {"g:blocks=16,pages=4,pagesize=512"}).exitCode, 0);  // a new device
  EXPECT_EQ(d.control("page", {"g", "9"}).out, std::string(512, '\xFF'));
}

TEST(Daemon, UnplugBreaksAConnectionInFlight) {
  FlashsimDaemon d({"e:hang_after=1"});
  ASSERT_TRUE(d.running());
  Link e(d.socket('e'));
  ASSERT_TRUE(e.connected());
  ASSERT_EQ(e.status({0xEF, 0x04, 0, 0, 0x80, 0x01}), 0x01);
  std::thread unplugger([&] {
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(d.control("unplug", {"e"}).exitCode, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  const Reply r = e.send({0xEF, 0x21, 0, 0, 0, 0}, Direction::In, 1, {}, 20s);
  const auto waited = std::chrono::steady_clock::now() - start;
  unplugger.join();
  EXPECT_EQ(r.kind, Reply::Kind::Closed);
  EXPECT_LT(waited, 15s) << "the link broke at the unplug, not at the time-out";
}

TEST(Daemon, LinkFaultsAsTheHostSeesThem) {
  FlashsimDaemon d({"e:drop_after=1"});
  ASSERT_TRUE(d.running());
  {
    Link e(d.socket('e'));
    EXPECT_EQ(e.status({0xEF, 0x21, 0, 0, 0, 0}), 0x01);
    EXPECT_EQ(e.send({0xEF, 0x21, 0, 0, 0, 0}, Direction::In, 1).kind, Reply::Kind::Closed);
  }
  {
    Link e(d.socket('e'));
    ASSERT_TRUE(e.connected()) << "the socket stays; the device is still plugged";
    EXPECT_EQ(e.send({0xEF, 0x21, 0, 0, 0, 0}, Direction::In, 1).kind, Reply::Kind::Closed);
  }
  ASSERT_EQ(d.control("fault", {"e", "drop_after=0", "drop_mid=1"}).exitCode, 0);
  {
    Link e(d.socket('e'));
    EXPECT_EQ(e.send({0x12, 0, 0, 0, 0, 0}, Direction::In, 36).kind, Reply::Kind::Partial);
  }
  ASSERT_EQ(d.control("fault", {"e", "drop_after=", "hang_after=0"}).exitCode, 0);
  {
    Link e(d.socket('e'));
    EXPECT_EQ(e.send({0xEF, 0x21, 0, 0, 0, 0}, Direction::In, 1, {}, 300ms).kind, Reply::Kind::TimedOut);
  }
  ASSERT_EQ(d.control("fault", {"e", "hang_after=", "erase_fail=7", "bit_error=8"}).exitCode, 0);
  {
    Link e(d.socket('e'));
    EXPECT_EQ(e.status(eraseCdb(7)), 0x00);
    EXPECT_EQ(e.status(eraseCdb(6)), 0x01);
    EXPECT_EQ(e.status(readPageCdb(8 * 64)), 0x01);
    EXPECT_EQ(e.readX(0x1A90, 2), (std::vector<std::uint8_t>{0xFE, 0xFF}));
  }
  const auto traced = common::test::splitLines(d.control("trace", {"e"}).out);
  ASSERT_EQ(traced.size(), 9U);
  EXPECT_TRUE(traced[1].ends_with(" dropped"));
  EXPECT_TRUE(traced[2].ends_with(" dropped"));
  EXPECT_TRUE(traced[3].ends_with(" dropped"));
  EXPECT_TRUE(traced[4].ends_with(" hung"));
}

TEST(Daemon, MalformedRequestClosesOnlyThatConnection) {
  FlashsimDaemon d({"e"});
  ASSERT_TRUE(d.running());
  {
    Link bad(d.socket('e'));
    const std::vector<std::uint8_t> junk(32, 0xAB);
    ASSERT_TRUE(common::sim_wire::writeAll(bad.fd(), junk.data(), junk.size()));
    std::uint8_t b = 0;
    EXPECT_FALSE(common::sim_wire::readAll(bad.fd(), &b, 1));
  }
  {
    // A transfer longer than the link allows is refused the same way.
    Link big(d.socket('e'));
    auto head = common::sim_wire::encodeRequestHeader(
        {6, Direction::Out, common::sim_wire::kMaxTransfer + 1, 1000, {0xEE, 0x02}});
    ASSERT_TRUE(common::sim_wire::writeAll(big.fd(), head.data(), head.size()));
    std::uint8_t b = 0;
    EXPECT_FALSE(common::sim_wire::readAll(big.fd(), &b, 1));
  }
  // The control socket answers nonsense with an error and carries on.
  const auto controlReply = [&](const std::string& request) {
    Link c(d.dir() + "/.flashsim-control");
    EXPECT_TRUE(common::sim_wire::writeAll(c.fd(), request.data(), request.size()));
    ::shutdown(c.fd(), SHUT_WR);
    std::string reply;
    char ch = 0;
    while (common::sim_wire::readAll(c.fd(), &ch, 1)) {
      reply += ch;
    }
    return reply;
  };
  EXPECT_EQ(controlReply("\n"), "error: unknown control command ''\n");
  EXPECT_EQ(controlReply("trace"), "error: incomplete control request\n");
  const std::string overLimit = "error: control request longer than the limit of 65536 bytes\n";
  EXPECT_EQ(controlReply("trace\t" + std::string(65530, 'e') + "\n"), overLimit);
  std::string commands = "unknown=EF04";
  for (int i = 0; i < 14000; ++i) {
    commands += "/EF04";
  }
  EXPECT_TRUE(controlReply("trace\t" + std::string(65529, 'e') + "\n").starts_with("error: expected a drive letter"))
      << "65536 bytes with the line feed are taken";
  EXPECT_EQ(d.control("fault", {"e", commands}).err, "flashsim: " + overLimit.substr(7));
  EXPECT_EQ(controlReply("plug\te:blocks=1\textra\n"), "error: wrong number of arguments for plug\n");
  EXPECT_EQ(controlReply("fault\te\tdrop_after=1\tbogus\n"), "error: expected KEY=VALUE, got 'bogus'\n");
  EXPECT_EQ(controlReply("bad\te\n"), "ok\n");

  Link good(d.socket('e'));
  EXPECT_EQ(good.status({0xEF, 0x21, 0, 0, 0, 0}), 0x01) << "a refused fault change changes nothing";
}

TEST(Daemon, BadCommandLinesFailWithAMessage) {
  FlashsimDaemon d({"e:blocks=8"});
  ASSERT_TRUE(d.running());
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"launch", "--dir", d.dir()},
      {"trace", "e"},
      {"trace", "--dir"},
      {"trace", "--dir", d.dir(), "e", "f"},
      {"trace", "--dir", d.dir(), "q"},
      {"trace", "--dir", d.dir(), "ee"},
      {"page", "--dir", d.dir(), "e", "512"},
      {"page", "--dir", d.dir(), "e", "-1"},
      {"page", "--dir", d.dir(), "e", "99999999999"},
      {"fault", "--dir", d.dir(), "e"},
      {"fault", "--dir", d.dir(), "e", "blocks=9"},
      {"fault", "--dir", d.dir(), "e", "hang_after=soon"},
      {"plug", "--dir", d.dir(), "h:pages=5"},
      {"plug", "--dir", d.dir(), "h:blocks=8,bad=8"},
      {"plug", "--dir", d.dir(), "7"},
      {"unplug", "--dir", d.dir(), "h"},
      {"timings", "--dir", d.dir(), "e"},
      {"stop", "--dir", d.dir(), "now"},
      {"serve", "--dir", d.dir()},
      {"serve", "--dir", d.dir() + "/x", "--device", "e:colour=red"},
      {"serve", "--dir", d.dir() + "/x", "--device", "e", "--device", "E"},
      {"serve", "--dir", d.dir() + "/x", "--bogus"},
      {"trace", "--dir", d.dir() + "/nowhere", "e"},
  };
  for (const auto& args : bad) {
    const ProcessResult r = runFlashsim(args);
    std::string joined;
    for (const auto& a : args) {
      joined += a + " ";
    }
    EXPECT_EQ(r.exitCode, 1) << joined;
    EXPECT_TRUE(r.out.empty()) << joined;
    EXPECT_TRUE(r.err.starts_with("flashsim") || r.err.starts_with("usage")) << joined << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n') >= 1, true) << joined;
  }
  EXPECT_TRUE(waitFor(d.socket('e'), true, 0ms)) << "the daemon lives on";
  EXPECT_FALSE(waitFor(d.socket('h'), true, 0ms));
  EXPECT_EQ(entries(d.dir() + "/x").size(), 0U) << "a refused serve leaves no sockets";
  ::rmdir((d.dir() + "/x").c_str());
}

TEST(Daemon, SigtermAndStopRemoveTheSockets) {
  {
    FlashsimDaemon d({"e", "f"});
    ASSERT_TRUE(d.running());
    Link open(d.socket('e'));  // a connection that stays open must not hold the daemon
    ASSERT_TRUE(open.connected());
    const int status = d.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(entries(d.dir()).empty());
  }
  // The background form returns once everything is in place; stop ends it.
  const TempDir temp("flashsim-test");
  const std::string dir = temp.path();
  const ProcessResult serve = runFlashsim({"serve", "--dir", dir, "--device", "k:blocks=8"});
  ASSERT_EQ(serve.exitCode, 0) << serve.err;
  EXPECT_TRUE(waitFor(dir + "/sdk", true, 0ms));
  EXPECT_TRUE(waitFor(dir + "/.flashsim-control", true, 0ms));
  const ProcessResult pid = runFlashsim({"pid", "--dir", dir});
  ASSERT_EQ(pid.exitCode, 0);
  const pid_t daemonPid = std::stoi(pid.out);
  EXPECT_EQ(runFlashsim({"serve", "--dir", dir}).exitCode, 1) << "one daemon per directory";
  EXPECT_EQ(runFlashsim({"stop", "--dir", dir}).exitCode, 0);
  EXPECT_TRUE(entries(dir).empty());
  bool ended = false;
  for (int i = 0; i < 200 && !ended; ++i) {
    ended = ::kill(daemonPid, 0) != 0;
    if (!ended) {
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace flashsim::test
