#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <thread>

#include "common/unix_socket.hpp"
#include "flashsim/testing/link_support.hpp"

namespace flashsim::test {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(d);
  return names;
}

bool waitFor(const std::string& path, bool present, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    struct stat st {};
    if ((::lstat(path.c_str(), &st) == 0) == present) {
      return true;
    }
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long statusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::stol(line.substr(key.size() + 1));
    }
  }
  return -1;
}

Link::Link(const std::string& path) : fd_(common::unix_socket::connectTo(path)), errno_(fd_ < 0 ? errno : 0) {}

Link::~Link() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Reply Link::send(const std::vector<std::uint8_t>& cdb, common::sim_wire::Direction dir, std::uint32_t length,
                 const std::vector<std::uint8_t>& dataOut, std::chrono::milliseconds timeout) {
  Reply r;
  common::sim_wire::RequestHeader h;
  h.cdbLength = static_cast<std::uint8_t>(cdb.size());
  h.direction = dir;
  h.transferLength = length;
  h.timeoutMs = static_cast<std::uint32_t>(timeout.count());
  std::copy(cdb.begin(), cdb.end(), h.cdb.begin());
  const auto head = common::sim_wire::encodeRequestHeader(h);
  std::vector<std::uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), dataOut.begin(), dataOut.end());
  if (!common::sim_wire::writeAll(fd_, out.data(), out.size())) {
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::uint8_t answer[common::sim_wire::kAnswerHeaderSize];
  std::size_t got = 0;
  // Read the header byte by byte so that a partial header is told apart.
  while (got < sizeof answer) {
    const auto res = common::sim_wire::readAllBy(fd_, answer + got, 1, deadline);
    if (res == common::sim_wire::ReadResult::TimedOut) {
      r.kind = Reply::Kind::TimedOut;
      return r;
    }
    if (res != common::sim_wire::ReadResult::Ok) {
      r.kind = got == 0 ? Reply::Kind::Closed : Reply::Kind::Partial;
      return r;
    }
    ++got;
  }
  const auto decoded = common::sim_wire::decodeAnswerHeader(answer);
  if (!decoded) {
    r.kind = Reply::Kind::Partial;
    return r;
  }
  r.scsiStatus = decoded->scsiStatus;
  r.data.resize(decoded->dataLength);
  const auto res = common::sim_wire::readAllBy(fd_, r.data.data(), r.data.size(), deadline);
  r.kind = res == common::sim_wire::ReadResult::Ok         ? Reply::Kind::Answered
           : res == common::sim_wire::ReadResult::TimedOut ? Reply::Kind::TimedOut
                                                           : Reply::Kind::Partial;
  return r;
}

int Link::status(const std::vector<std::uint8_t>& cdb) {
  const Reply r = send(cdb, common::sim_wire::Direction::In, 1);
  return r.kind == Reply::Kind::Answered && !r.data.empty() ? r.data[0] : -1;
}

std::vector<std::uint8_t> Link::readX(std::uint16_t address, std::uint32_t n) {
  return send({0xEF, 0x01, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), 0, 0},
              common::sim_wire::Direction::In, n)
      .data;
}

bool Link::writeX(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
  return send({0xEE, 0x02, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), 0, 0},
              common::sim_wire::Direction::Out, static_cast<std::uint32_t>(bytes.size()), bytes)
             .kind == Reply::Kind::Answered;
}

namespace {
std::vector<std::uint8_t> pageCdb(std::uint8_t sub, std::uint32_t page, bool withTag) {
  std::vector<std::uint8_t> c{0xEF, sub};
  for (int i = 0; i < 4; ++i) {
    c.push_back(static_cast<std::uint8_t>(page >> (8 * i)));
  }
  if (withTag) {
    c.insert(c.end(), {0x00, 0x00, 0x90, 0x1A});
  } else {
    c.insert(c.end(), {0x90, 0x1A, 0x00, 0x00});
  }
  return c;
}
}  // namespace

std::vector<std::uint8_t> programCdb(std::uint32_t page) { return pageCdb(0x12, page, true); }
std::vector<std::uint8_t> readPageCdb(std::uint32_t page) { return pageCdb(0x13, page, false); }
std::vector<std::uint8_t> eraseCdb(std::uint16_t block) {
  return {0xEF, 0x11, static_cast<std::uint8_t>(block), static_cast<std::uint8_t>(block >> 8), 0, 0};
}

}  // namespace flashsim::test
