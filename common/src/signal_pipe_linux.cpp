#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "common/signal_pipe.hpp"

namespace common::signal_pipe {
namespace {

int gPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(gPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int readEnd() {
  if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    gPipe[0] = gPipe[1] = -1;
  }
  return gPipe[0];
}

bool route(std::initializer_list<int> which, bool restart) {
  if (readEnd() < 0) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = restart ? SA_RESTART : 0;
  bool ok = true;
  for (const int signal : which) {
    ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
  }
  return ok;
}

void drain() {
  char bytes[16];
  while (gPipe[0] >= 0 && ::read(gPipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace common::signal_pipe
