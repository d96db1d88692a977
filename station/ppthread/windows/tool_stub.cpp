// A stand-in for kestrin.exe in the launcher's checks. Each run reads the
// folder LAUNCHER_STUB_DIR names (from the environment it inherited):
//   script  one line "EXIT_CODE DELAY_MS" per run, in order
//   log     one line per finished run, appended as it ends:
//           "START_US END_US PRIORITY_CLASS COMMAND_LINE"
// Run k (counted by the lines of the log when it starts) waits DELAY_MS and
// ends with EXIT_CODE; with no line of its own it ends with 1 at once.
// Times are microseconds of the system clock, so that the check program can
// set its own readings against them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

unsigned long long NowMicroseconds() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return ((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10;
}

int CountLines(const std::string& path) {
  int lines = 0;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
    std::fclose(f);
  }
  return lines;
}

}  // namespace

int main() {
  const unsigned long long start = NowMicroseconds();
  const char* dir = std::getenv("LAUNCHER_STUB_DIR");
  if (dir == nullptr) return 1;
  const std::string log = std::string(dir) + "\\log";
  const int run = CountLines(log);

  unsigned long code = 1;
  unsigned long delayMs = 0;
  if (FILE* f = std::fopen((std::string(dir) + "\\script").c_str(), "rb")) {
    unsigned long c = 0;
    unsigned long d = 0;
    for (int i = 0; std::fscanf(f, "%lu %lu", &c, &d) == 2; ++i) {
      if (i == run) {
        code = c;
        delayMs = d;
        break;
      }
    }
    std::fclose(f);
  }
  Sleep(delayMs);

  if (FILE* f = std::fopen(log.c_str(), "ab")) {
    std::fprintf(f, "%llu %llu %lx %s\n", start, NowMicroseconds(), GetPriorityClass(GetCurrentProcess()),
                 GetCommandLineA());
    std::fclose(f);
  }
  ExitProcess(static_cast<UINT>(code));
}
