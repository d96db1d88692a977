#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/deadline_io.hpp"

namespace common::deadline_io {
namespace {

// A receive time-out this much longer than what is left of a deadline is
// not worth a system call to shorten.
constexpr long kSlackMs = 20;

Io waitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    const int ms = deadline.pollTimeout();
    if (ms == 0) {
      return Io::TimedOut;
    }
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, ms);
    if (ready > 0) {
      return Io::Ok;  // ready, hung up or in error: the next call tells
    }
    if (ready < 0 && errno != EINTR) {
      return Io::Error;
    }
  }
}

// The pieces still to go, advanced as bytes move.
class Pieces {
 public:
  Pieces(const iovec* pieces, int count) {
    for (int i = 0; i < count; ++i) {
      if (pieces[i].iov_len > 0) {
        left_[count_++] = pieces[i];
      }
    }
  }
  // One system call moving what is left: plain send/recv for one piece
  // (cheaper in the kernel), sendmsg/recvmsg for more.
  ssize_t send(int fd, int flags) {
    if (count_ - first_ == 1) {
      return ::send(fd, left_[first_].iov_base, left_[first_].iov_len, flags);
    }
    msghdr m = message();
    return ::sendmsg(fd, &m, flags);
  }
  ssize_t receive(int fd) {
    if (count_ - first_ == 1) {
      return ::recv(fd, left_[first_].iov_base, left_[first_].iov_len, 0);
    }
    msghdr m = message();
    return ::recvmsg(fd, &m, 0);
  }
  void advance(std::size_t n) {
    while (n > 0 && first_ < count_) {
      const std::size_t step = std::min(n, left_[first_].iov_len);
      left_[first_].iov_base = static_cast<char*>(left_[first_].iov_base) + step;
      left_[first_].iov_len -= step;
      n -= step;
      if (left_[first_].iov_len == 0) {
        ++first_;
      }
    }
  }
  bool empty() const { return first_ == count_; }

 private:
  msghdr message() {
    msghdr m{};
    m.msg_iov = left_ + first_;
    m.msg_iovlen = static_cast<std::size_t>(count_ - first_);
    return m;
  }

  iovec left_[TimedSocket::kMaxPieces] = {};
  int count_ = 0;
  int first_ = 0;
};

}  // namespace

int Deadline::pollTimeout() const {
  if (!when_) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*when_ - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

void TimedSocket::armReceiveTimeout(const Deadline& deadline) {
  if (deadline.isNever()) {
    return;  // a time-out left from earlier only makes the receive fall back on poll
  }
  const long left = std::max(deadline.pollTimeout(), 1);
  if (armedMs_ > 0 && armedMs_ <= left + kSlackMs) {
    return;
  }
  timeval tv{};
  tv.tv_sec = left / 1000;
  tv.tv_usec = (left % 1000) * 1000;
  armedMs_ = ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? left : -1;
}

Io TimedSocket::send(const iovec* pieces, int count, const Deadline& deadline) {
  if (count < 0 || count > kMaxPieces) {
    return Io::Error;
  }
  Pieces left(pieces, count);
  while (!left.empty()) {
    const ssize_t n = left.send(fd_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      left.advance(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const Io waited = waitFor(fd_, POLLOUT, deadline);
      if (waited != Io::Ok) {
        return waited;
      }
      continue;
    }
    return errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Error;
  }
  return Io::Ok;
}

Io TimedSocket::send(const void* data, std::size_t size, const Deadline& deadline) {
  const iovec piece{const_cast<void*>(data), size};
  return send(&piece, 1, deadline);
}

Io TimedSocket::receive(const iovec* pieces, int count, std::size_t atLeast, const Deadline& deadline,
                        std::size_t& got) {
  got = 0;
  if (count < 0 || count > kMaxPieces) {
    return Io::Error;
  }
  Pieces left(pieces, count);
  armReceiveTimeout(deadline);
  bool wait = false;
  while (got < atLeast && !left.empty()) {
    if (wait) {
      const Io waited = waitFor(fd_, POLLIN, deadline);
      if (waited != Io::Ok) {
        return waited;
      }
      wait = false;
    }
    const ssize_t n = left.receive(fd_);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      left.advance(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      return Io::Closed;
    }
    const int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
      if (deadline.passed()) {
        return Io::TimedOut;
      }
      wait = error != EINTR;
      continue;
    }
    return error == ECONNRESET ? Io::Closed : Io::Error;
  }
  return got >= atLeast ? Io::Ok : Io::Error;
}

Io TimedSocket::receive(void* data, std::size_t size, std::size_t atLeast, const Deadline& deadline, std::size_t& got) {
  const iovec piece{data, size};
  return receive(&piece, 1, atLeast, deadline, got);
}

Io TimedSocket::receiveAppending(std::vector<std::uint8_t>& into, std::size_t size, const Deadline& deadline) {
  constexpr std::size_t kLeastStep = 8192;
  const std::size_t end = into.size() + size;
  while (into.size() < end) {
    const std::size_t have = into.size();
    const std::size_t step = std::min(end - have, std::max(have, kLeastStep));
    into.resize(have + step);
    std::size_t got = 0;
    const Io result = receive(into.data() + have, step, step, deadline, got);
    if (result != Io::Ok) {
      into.resize(have + got);
      return result;
    }
  }
  return Io::Ok;
}

}  // namespace common::deadline_io
