#include "common/inherited_files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace common::test {

namespace {

// In a child: opens descriptors up to lowest + 7, closes from `lowest` up
// but `keep`, and exits with a bit per descriptor lowest .. lowest + 7 still
// open (255 when it could not open them).
int openAfterClosing(int lowest, int keep) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    for (int fd = null; fd < lowest + 7;) {
      if ((fd = ::dup(null)) < 0) {
        _exit(255);
      }
    }
    common::inherited_files::closeFrom(lowest, keep);
    int open = 0;
    for (int i = 0; i < 8; ++i) {
      open |= ::fcntl(lowest + i, F_GETFD) >= 0 ? 1 << i : 0;
    }
    _exit(open);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InheritedFiles, ClosesFromTheLowestUpButTheOneKept) {
  struct Case {
    int keep;
    int open;  // bits: lowest + 0 .. lowest + 7
  };
  const int lowest = 20;
  for (const Case& c :
       std::vector<Case>{{-1, 0}, {lowest - 1, 0}, {lowest, 0x01}, {lowest + 3, 0x08}, {lowest + 7, 0x80}}) {
    EXPECT_EQ(openAfterClosing(lowest, c.keep), c.open) << "keep " << c.keep;
  }
}

}  // namespace

}  // namespace common::test
