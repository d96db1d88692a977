/* The floor of the emulator link: round trips of one request and one answer
 * over a Unix stream socket between two processes, and nothing else (one send
 * and one receive on each side).
 *
 *   link_pingpong COUNT OUT IN   COUNT round trips of OUT bytes out, IN back
 *   link_pingpong FILE           one round trip per line "OUT IN" of FILE
 *
 * Prints the number of round trips. Exit 0 when all went through. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kMaxBytes = (1 << 20) + 64 };

struct Trip {
  unsigned out;
  unsigned in;
};

static int moveAll(int fd, unsigned char* buf, unsigned size, int sending) {
  while (size > 0) {
    const ssize_t n = sending ? send(fd, buf, size, MSG_NOSIGNAL) : recv(fd, buf, size, MSG_WAITALL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return 0;
    }
    buf += n;
    size -= (unsigned)n;
  }
  return 1;
}

static struct Trip* readTrips(int argc, char** argv, size_t* count) {
  struct Trip* trips = NULL;
  size_t have = 0;
  size_t room = 0;
  if (argc == 4) {
    const size_t n = strtoul(argv[1], NULL, 10);
    trips = calloc(n ? n : 1, sizeof *trips);
    for (; trips && have < n; ++have) {
      trips[have].out = (unsigned)strtoul(argv[2], NULL, 10);
      trips[have].in = (unsigned)strtoul(argv[3], NULL, 10);
    }
  } else if (argc == 2) {
    FILE* in = fopen(argv[1], "r");
    unsigned out = 0;
    unsigned back = 0;
    while (in && fscanf(in, "%u %u", &out, &back) == 2) {
      if (have == room) {
        room = room ? 2 * room : 4096;
        struct Trip* grown = realloc(trips, room * sizeof *trips);
        if (!grown) {
          break;
        }
        trips = grown;
      }
      trips[have].out = out;
      trips[have++].in = back;
    }
    if (in) {
      fclose(in);
    }
  }
  for (size_t i = 0; i < have; ++i) {
    if (trips[i].out == 0 || trips[i].out > kMaxBytes || trips[i].in == 0 || trips[i].in > kMaxBytes) {
      have = 0;
    }
  }
  *count = have;
  return trips;
}

int main(int argc, char** argv) {
  size_t count = 0;
  struct Trip* trips = readTrips(argc, argv, &count);
  static unsigned char buf[kMaxBytes];
  int sv[2];
  if (count == 0) {
    fputs("usage: link_pingpong COUNT OUT IN | link_pingpong FILE (lines \"OUT IN\", 1 to 1048640 each)\n", stderr);
    return 2;
  }
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    perror("socketpair");
    return 1;
  }
  const pid_t answerer = fork();
  if (answerer < 0) {
    perror("fork");
    return 1;
  }
  if (answerer == 0) {
    close(sv[0]);
    for (size_t i = 0; i < count; ++i) {
      if (!moveAll(sv[1], buf, trips[i].out, 0) || !moveAll(sv[1], buf, trips[i].in, 1)) {
        _exit(1);
      }
    }
    _exit(0);
  }
  close(sv[1]);
  size_t done = 0;
  while (done < count && moveAll(sv[0], buf, trips[done].out, 1) && moveAll(sv[0], buf, trips[done].in, 0)) {
    ++done;
  }
  close(sv[0]);
  int status = 0;
  waitpid(answerer, &status, 0);
  printf("%zu\n", done);
  free(trips);
  return done == count && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
