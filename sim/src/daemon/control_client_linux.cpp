#include "flashsim/control_client_linux.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/deadline_io.hpp"
#include "common/unix_socket.hpp"
#include "flashsim/control_commands_linux.hpp"

namespace flashsim {

using common::deadline_io::Deadline;
using common::deadline_io::Io;

bool sendControl(const std::string& dir, const std::vector<std::string>& words, std::string& payload,
                 std::string& error) {
  const std::string path = dir + "/" + kControlName;
  std::string line;
  for (const std::string& w : words) {
    if (w.find_first_of("\t\n") != std::string::npos) {
      error = "an argument holds a tab or line end";
      return false;
    }
    line += (line.empty() ? "" : "\t") + w;
  }
  line += "\n";
  if (line.size() > kMaxControlRequest) {
    error = controlRequestTooLong();
    return false;
  }
  const int fd = common::unix_socket::connectTo(path);
  if (fd < 0) {
    error = errno == ENAMETOOLONG ? "the socket path " + path + " is too long"
                                  : "no flashsim daemon serves " + dir + " (" + std::strerror(errno) + ")";
    return false;
  }
  // The daemon answers at once; a minute covers a trace of millions of lines.
  const Deadline deadline = Deadline::after(std::chrono::seconds(60));
  common::deadline_io::TimedSocket link(fd);
  std::string reply;
  Io result = link.send(line.data(), line.size(), deadline);
  char buf[8192];
  while (result == Io::Ok) {
    std::size_t got = 0;
    result = link.receive(buf, sizeof buf, 1, deadline, got);
    reply.append(buf, got);
  }
  ::close(fd);
  if (result == Io::TimedOut) {
    error = "the flashsim daemon did not answer";
    return false;
  }
  if (reply.rfind("ok\n", 0) == 0) {
    payload = reply.substr(3);
    return true;
  }
  if (reply.rfind("error: ", 0) == 0) {
    error = reply.substr(7);
    while (!error.empty() && error.back() == '\n') {
      error.pop_back();
    }
  } else {
    error = "the flashsim daemon gave no valid answer";
  }
  return false;
}

}  // namespace flashsim
