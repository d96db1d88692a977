/* The floor of the kernel's road: the SG_IO calls of one tool run, one after
 * the other through a SCSI generic node, and nothing else between them.
 *
 *   sgio_floor NODE TRACE
 *
 * TRACE holds the requests as flashsim's trace prints them, one a line:
 * "TIME CDB in|out|none LENGTH [OUTCOME]" (CDB in hex, 6 to 16 bytes). Each
 * request goes out as the tool sends it: the same header fields, a 32-byte
 * sense buffer, a 20-second time-out, one data buffer for all (sent as
 * zeros). All are read and the node opened before the first call.
 * Prints the number of calls and the seconds the calls took; exit 0 when
 * every call completed, 1 otherwise, 2 on bad arguments. */
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

enum { kMaxLength = 1 << 20, kSenseLength = 32, kTimeoutMs = 20000 };

struct Request {
  unsigned char cdb[16];
  unsigned char cdbLength;
  int direction;
  unsigned length;
};

static int parseLine(const char* line, struct Request* r) {
  char cdb[40];
  char direction[8];
  unsigned length = 0;
  if (sscanf(line, "%*s %39s %7s %u", cdb, direction, &length) != 3) {
    return 0;
  }
  const size_t digits = strlen(cdb);
  if (digits % 2 != 0 || digits < 12 || digits > 32 || length > kMaxLength) {
    return 0;
  }
  for (size_t i = 0; i < digits / 2; ++i) {
    unsigned byte = 0;
    if (sscanf(cdb + 2 * i, "%2x", &byte) != 1) {
      return 0;
    }
    r->cdb[i] = (unsigned char)byte;
  }
  r->cdbLength = (unsigned char)(digits / 2);
  r->length = length;
  if (strcmp(direction, "none") == 0 || length == 0) {
    r->direction = SG_DXFER_NONE;
    r->length = 0;
  } else if (strcmp(direction, "in") == 0) {
    r->direction = SG_DXFER_FROM_DEV;
  } else if (strcmp(direction, "out") == 0) {
    r->direction = SG_DXFER_TO_DEV;
  } else {
    return 0;
  }
  return 1;
}

static struct Request* readRequests(const char* path, size_t* count) {
  FILE* in = fopen(path, "r");
  if (in == NULL) {
    perror(path);
    return NULL;
  }
  struct Request* requests = NULL;
  size_t have = 0;
  size_t room = 0;
  char line[256];
  unsigned number = 0;
  while (fgets(line, sizeof line, in) != NULL) {
    ++number;
    if (have == room) {
      room = room ? 2 * room : 1024;
      struct Request* grown = realloc(requests, room * sizeof *requests);
      if (grown == NULL) {
        break;
      }
      requests = grown;
    }
    if (!parseLine(line, &requests[have])) {
      fprintf(stderr, "%s:%u: not a request: %s", path, number, line);
      free(requests);
      fclose(in);
      return NULL;
    }
    ++have;
  }
  fclose(in);
  *count = have;
  return requests;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: sgio_floor NODE TRACE\n");
    return 2;
  }
  size_t count = 0;
  struct Request* requests = readRequests(argv[2], &count);
  if (requests == NULL) {
    return 2;
  }
  static unsigned char data[kMaxLength];
  unsigned char sense[kSenseLength];
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 2;
  }

  struct timespec start;
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  size_t done = 0;
  for (; done < count; ++done) {
    struct Request* r = &requests[done];
    sg_io_hdr_t header;
    memset(&header, 0, sizeof header);
    header.interface_id = 'S';
    header.dxfer_direction = r->direction;
    header.cmd_len = r->cdbLength;
    header.mx_sb_len = kSenseLength;
    header.dxfer_len = r->length;
    header.dxferp = r->length ? data : NULL;
    header.cmdp = r->cdb;
    header.sbp = sense;
    header.timeout = kTimeoutMs;
    if (ioctl(fd, SG_IO, &header) < 0) {
      break;
    }
    /* Completed as the tool judges it: no host adapter error, and no driver
     * error beyond sense data (0x08). */
    const unsigned driver = header.driver_status & 0x0FU;
    if (header.host_status != 0 || (driver != 0 && driver != 0x08)) {
      errno = EIO;
      break;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const int saved = errno;
  close(fd);
  free(requests);
  if (done < count) {
    fprintf(stderr, "sgio_floor: request %zu did not complete: %s\n", done + 1, strerror(saved));
    return 1;
  }
  printf("%zu calls in %.6f s\n", count,
         (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
  return 0;
}
