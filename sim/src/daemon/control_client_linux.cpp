#include "flashsim/control_client_linux.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/deadline_io.hpp"
#include "common/unix_socket.hpp"
#include "flashsim/control_commands_linux.hpp"

namespace flashsim {

using common::Failure;
using common::deadline_io::Deadline;
using common::deadline_io::Io;

common::Result<std::string> sendControl(const std::string& dir, const std::vector<std::string>& words) {
  const std::string path = dir + "/" + kControlName;
  std::string line;
  for (const std::string& w : words) {
    if (w.find_first_of("\t\n") != std::string::npos) {
      return Failure{"an argument holds a tab or line end"};
    }
    line += (line.empty() ? "" : "\t") + w;
  }
  line += "\n";
  if (line.size() > kMaxControlRequest) {
    return Failure{controlRequestTooLong()};
  }
  const int fd = common::unix_socket::connectTo(path);
  if (fd < 0) {
    return Failure{errno == ENAMETOOLONG ? "the socket path " + path + " is too long"
                                         : "no flashsim daemon serves " + dir + " (" + std::strerror(errno) + ")"};
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
    return Failure{"the flashsim daemon did not answer"};
  }
  if (reply.rfind("ok\n", 0) == 0) {
    return reply.substr(3);
  }
  if (reply.rfind("error: ", 0) != 0) {
    return Failure{"the flashsim daemon gave no valid answer"};
  }
  std::string error = reply.substr(7);
  while (!error.empty() && error.back() == '\n') {
    error.pop_back();
  }
  return Failure{std::move(error)};
}

}  // namespace flashsim
