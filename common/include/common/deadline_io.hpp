// Stream-socket I/O that gives up at a deadline: the one way the command
// tool's emulator link, the emulator daemon and its control client wait.
//
// Every call goes straight to the system call. A send waits (poll) only when
// the socket would block. A receive blocks in the kernel under the socket's
// receive time-out, which is set to what is left of the deadline and changed
// only when it must shrink; when it runs out early, or the socket is
// non-blocking, the rest is waited for with poll. So a request and its answer
// cost one send and one receive when the bytes travel in one piece.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct iovec;  // <sys/uio.h>; the framing header that includes this one stays portable

namespace common::deadline_io {

using Clock = std::chrono::steady_clock;

class Deadline {
 public:
  static Deadline never() { return Deadline(); }
  static Deadline after(std::chrono::milliseconds span) { return Deadline(Clock::now() + span); }
  explicit Deadline(Clock::time_point when) : when_(when) {}

  bool isNever() const { return !when_; }
  bool passed() const { return when_ && Clock::now() >= *when_; }
  // Milliseconds left, rounded up, as poll() takes them: -1 without a
  // deadline, 0 once it has passed.
  int pollTimeout() const;

 private:
  Deadline() = default;
  std::optional<Clock::time_point> when_;
};

enum class Io { Ok, Closed, TimedOut, Error };

// One connected stream socket (not owned). Keeps what its receive time-out
// is set to, so keep one object per socket for as long as it is used.
class TimedSocket {
 public:
  explicit TimedSocket(int fd) : fd_(fd) {}

  int fd() const { return fd_; }

  // Sends every byte of the pieces: one system call when the socket takes them.
  // Closed when the peer has gone (SIGPIPE is not raised).
  Io send(const iovec* pieces, int count, const Deadline& deadline);
  Io send(const void* data, std::size_t size, const Deadline& deadline);

  // Receives into the pieces until at least `atLeast` bytes in all have come,
  // taking whatever more is already there, up to the pieces' size. `got`
  // counts the bytes received, also when the result is not Ok. Closed when
  // the peer closed the link (or reset it) before `atLeast` bytes.
  Io receive(const iovec* pieces, int count, std::size_t atLeast, const Deadline& deadline, std::size_t& got);
  Io receive(void* data, std::size_t size, std::size_t atLeast, const Deadline& deadline, std::size_t& got);
  // Receives `size` bytes onto the end of `into`, which grows with what
  // arrives (by what it holds, 8 KiB at least), so bytes announced and never
  // sent cost no memory.
  Io receiveAppending(std::vector<std::uint8_t>& into, std::size_t size, const Deadline& deadline);

  static constexpr int kMaxPieces = 4;

 private:
  void armReceiveTimeout(const Deadline& deadline);

  int fd_;
  long armedMs_ = -1;  // the socket's receive time-out: 0 none, -1 not known
};

}  // namespace common::deadline_io
