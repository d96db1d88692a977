// Runs the station's launchers (ProbeDrive, StartBlankCheck, WaitBlankCheck)
// as the Windows station runs them: CreateProcessA and GetExitCodeProcess.
//   launcher_check.exe --stub DIR   against the stand-in tool DIR\kestrin.exe
//                                   (tool_stub.cpp): command lines, the start
//                                   record, the reading and polling schedule,
//                                   the bar's steps, exit code 259, a missing
//                                   tool, handles closed
//   launcher_check.exe --drive D    ProbeDrive of drive D and, when it passes,
//                                   a whole blank check (StartBlankCheck, then
//                                   WaitBlankCheck to its verdict), with the
//                                   kestrin.exe the platform's search finds
//                                   (after this program's folder, the current
//                                   directory)
// Prints one line per check and a summary; exit 0 when every check held.
#include <windows.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/process_launcher_windows.hpp"

namespace {

// The STARTUPINFO as the 32-bit station lays it out.
#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68);
static_assert(offsetof(STARTUPINFOA, cb) == 0);
static_assert(offsetof(STARTUPINFOA, lpDesktop) == 8);
static_assert(offsetof(STARTUPINFOA, dwFlags) == 44);
static_assert(offsetof(STARTUPINFOA, wShowWindow) == 48);
static_assert(offsetof(STARTUPINFOA, lpReserved2) == 52);
static_assert(offsetof(STARTUPINFOA, hStdInput) == 56);
static_assert(offsetof(STARTUPINFOA, hStdError) == 64);
#endif

// How late a verdict may come beyond the schedule on a loaded machine.
constexpr long long kSlackUs = 400000;
constexpr long long kMs = 1000;

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

long long NowMicroseconds() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return static_cast<long long>(((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10);
}

std::string Joined(const std::vector<int>& values) {
  std::string text;
  for (int v : values) {
    if (!text.empty()) text += ' ';
    text += std::to_string(v);
  }
  return text;
}

// One run of the stand-in, as its log tells it.
struct StubRun {
  long long start = 0;
  long long end = 0;
  unsigned long priority = 0;
  std::string commandLine;
};

// The stand-in's script and log, in a folder of their own.
class Stub {
 public:
  Stub() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "launcher_check." + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    SetEnvironmentVariableA("LAUNCHER_STUB_DIR", dir_.c_str());
  }
  ~Stub() {
    DeleteFileA((dir_ + "\\script").c_str());
    DeleteFileA((dir_ + "\\log").c_str());
    RemoveDirectoryA(dir_.c_str());
  }
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  // The runs to come: exit code and delay (ms) each; the log starts empty.
  void Script(const std::vector<std::pair<unsigned long, unsigned long>>& runs) {
    DeleteFileA((dir_ + "\\log").c_str());
    if (FILE* f = std::fopen((dir_ + "\\script").c_str(), "wb")) {
      for (const auto& [code, delayMs] : runs) std::fprintf(f, "%lu %lu\n", code, delayMs);
      std::fclose(f);
    }
  }

  std::vector<StubRun> Runs() const {
    std::vector<StubRun> runs;
    FILE* f = std::fopen((dir_ + "\\log").c_str(), "rb");
    if (f == nullptr) return runs;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      StubRun run;
      int used = 0;
      if (std::sscanf(line, "%lld %lld %lx %n", &run.start, &run.end, &run.priority, &used) < 3) continue;
      run.commandLine = line + used;
      while (!run.commandLine.empty() && (run.commandLine.back() == '\n' || run.commandLine.back() == '\r')) {
        run.commandLine.pop_back();
      }
      runs.push_back(std::move(run));
    }
    std::fclose(f);
    return runs;
  }

 private:
  std::string dir_;
};

// One launcher call and what could be seen of it.
struct Outcome {
  bool result = false;
  long long returnedAt = 0;
  long long took = 0;
  std::vector<std::uint32_t> pauses;
  std::vector<int> bar;
  std::vector<StubRun> runs;
  bool handlesKept = false;
};

enum class Launcher { Probe, Start, Wait };

struct Call {
  Launcher launcher = Launcher::Probe;
  std::string drive = "E";
  std::int32_t timing[4] = {247, 247, 255, 255};
  bool cancelled = false;
};

Outcome Launch(const Stub& stub, const Call& call) {
  Outcome out;
  station::ToolRuns runs;
  runs.pause = [&out](std::uint32_t ms) {
    out.pauses.push_back(ms);
    Sleep(ms);
  };
  DWORD before = 0;
  DWORD after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  const long long started = NowMicroseconds();
  switch (call.launcher) {
    case Launcher::Probe:
      out.result = station::ProbeDrive(call.drive, runs);
      break;
    case Launcher::Start:
      out.result =
          station::StartBlankCheck(call.drive, call.timing[0], call.timing[1], call.timing[2], call.timing[3], runs);
      break;
    case Launcher::Wait:
      out.result = station::WaitBlankCheck(
          call.drive, [&call] { return call.cancelled; }, [&out](int position) { out.bar.push_back(position); }, runs);
      break;
  }
  out.returnedAt = NowMicroseconds();
  out.took = out.returnedAt - started;
  GetProcessHandleCount(GetCurrentProcess(), &after);
  out.handlesKept = before == after;
  out.runs = stub.Runs();
  return out;
}

bool AllPausesAre(const std::vector<std::uint32_t>& pauses, std::uint32_t ms) {
  for (std::uint32_t p : pauses) {
    if (p != ms) return false;
  }
  return true;
}

// The verdict came within one reading pause (and the slack) of the run's end.
bool VerdictFollowsEnd(const Outcome& out, long long pauseUs) {
  return !out.runs.empty() && out.returnedAt - out.runs.back().end <= pauseUs + kSlackUs;
}

void CheckStartRecord() {
  const STARTUPINFOA si = station::ToolStartupInfo();
  unsigned char bytes[sizeof si];
  std::memcpy(bytes, &si, sizeof si);
  bool restZero = true;
  for (std::size_t i = sizeof si.cb; i < sizeof si; ++i) restZero = restZero && bytes[i] == 0;
  const std::size_t expected = sizeof(void*) == 4 ? 68 : 104;
  check(sizeof si == expected && si.cb == expected && restZero, "STARTUPINFO: " + std::to_string(sizeof si) +
                                                                    " bytes, size field " + std::to_string(si.cb) +
                                                                    ", every other byte zero");
  check(station::kToolCreationFlags == 0x08000080, "creation flags 0x08000080 (no window, high priority)");
}

// Wine does not carry a creation priority class to the new process (it reads
// the normal class there); on Windows the tool runs in the high class.
bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

void CheckCommandLines(Stub& stub) {
  struct Case {
    Call call;
    const char* commandLine;
  };
  const Case cases[] = {
      {{Launcher::Probe, "E"}, "kestrin.exe E:"},
      {{Launcher::Start, "E"}, "kestrin.exe E: bchks 247 247 255 255"},
      {{Launcher::Start, "Z", {-1, 0, 256, INT_MAX}}, "kestrin.exe Z: bchks -1 0 256 2147483647"},
      {{Launcher::Start, "E", {INT_MIN, 7, -255, 65536}}, "kestrin.exe E: bchks -2147483648 7 -255 65536"},
      {{Launcher::Wait, "K"}, "kestrin.exe K: bchkp"},
      {{Launcher::Probe, ""}, "kestrin.exe :"},
  };
  const DWORD wantedPriority = UnderWine() ? NORMAL_PRIORITY_CLASS : HIGH_PRIORITY_CLASS;
  for (const Case& c : cases) {
    stub.Script({{0, 0}});
    const Outcome out = Launch(stub, c.call);
    const bool one = out.runs.size() == 1;
    std::string got = "runs: " + std::to_string(out.runs.size());
    if (one) got = "\"" + out.runs[0].commandLine + "\"";
    const bool ok = out.result && one && out.runs[0].commandLine == c.commandLine &&
                    out.runs[0].priority == wantedPriority && out.handlesKept;
    check(ok, std::string("command line \"") + c.commandLine + "\"" + (ok ? "" : " (got " + got + ")"));
  }
  std::printf("note  the tool's priority class as it reads it: %s\n",
              wantedPriority == HIGH_PRIORITY_CLASS ? "high" : "normal (Wine ignores the creation class)");
}

void CheckProbeAndStart(Stub& stub) {
  // A run of 600 ms is read every 100 ms, 259 each time, and judged once it
  // has ended.
  for (Launcher launcher : {Launcher::Probe, Launcher::Start}) {
    const char* name = launcher == Launcher::Probe ? "ProbeDrive" : "StartBlankCheck";
    stub.Script({{0, 600}});
    Outcome out = Launch(stub, {launcher});
    check(out.result && AllPausesAre(out.pauses, 100) && out.pauses.size() >= 5 && VerdictFollowsEnd(out, 100 * kMs) &&
              out.handlesKept,
          std::string(name) + ": a 600 ms run is read every 100 ms (" + std::to_string(out.pauses.size()) +
              " pauses) and passes " + std::to_string((out.returnedAt - out.runs.back().end) / kMs) +
              " ms after its end");

    struct Ending {
      unsigned long code;
      const char* what;
    };
    for (const Ending& e :
         {Ending{2, "2"}, Ending{1, "1"}, Ending{259, "259 (STILL_ACTIVE)"}, Ending{16777215, "16777215"}}) {
      stub.Script({{e.code, 300}});
      out = Launch(stub, {launcher});
      check(!out.result && out.runs.size() == 1 && VerdictFollowsEnd(out, 100 * kMs) && out.handlesKept,
            std::string(name) + ": a run that ends with " + e.what + " fails once it has ended");
    }
  }
}

void CheckWait(Stub& stub) {
  // Three answers of 2, then 0: runs one second apart, the bar stepped.
  stub.Script({{2, 150}, {2, 150}, {2, 150}, {0, 150}});
  Outcome out = Launch(stub, {Launcher::Wait});
  bool spaced = out.runs.size() == 4;
  std::string gaps;
  for (std::size_t i = 1; spaced && i < out.runs.size(); ++i) {
    const long long gap = out.runs[i].start - out.runs[i - 1].end;
    if (!gaps.empty()) gaps += ' ';
    gaps += std::to_string(gap / kMs);
    spaced = gap >= 1000 * kMs && gap <= (1000 + 10) * kMs + kSlackUs;
  }
  std::size_t longPauses = 0;
  for (std::uint32_t p : out.pauses) longPauses += p == 1000;
  check(out.result && spaced && longPauses == 3 && out.bar == std::vector<int>{0, 4, 8, 12} && out.handlesKept,
        "WaitBlankCheck: 2, 2, 2, 0 passes; runs " + gaps + " ms apart; bar " + Joined(out.bar));

  stub.Script({{0, 100}});
  out = Launch(stub, {Launcher::Wait});
  check(out.result && out.runs.size() == 1 && out.bar == std::vector<int>{0} && out.handlesKept,
        "WaitBlankCheck: a first answer of 0 passes with the bar at 0");

  Call cancelled{Launcher::Wait};
  cancelled.cancelled = true;
  stub.Script({{2, 150}, {0, 0}});
  out = Launch(stub, cancelled);
  check(!out.result && out.runs.size() == 1 && out.bar == std::vector<int>{0, 4} && VerdictFollowsEnd(out, 10 * kMs) &&
            out.handlesKept,
        "WaitBlankCheck: a cancel is seen after an answer of 2, without the pause; bar " + Joined(out.bar));

  for (unsigned long code : {1ul, 259ul}) {
    stub.Script({{2, 100}, {code, 100}, {0, 0}});
    out = Launch(stub, {Launcher::Wait});
    check(!out.result && out.runs.size() == 2 && out.bar == std::vector<int>{0, 4} &&
              VerdictFollowsEnd(out, 10 * kMs) && out.handlesKept,
          "WaitBlankCheck: 2 then " + std::to_string(code) + " fails once that run has ended");
  }
}

// No kestrin.exe where the search looks: every launcher fails at once.
void CheckMissingTool(Stub& stub) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string empty = std::string(temp) + "launcher_check.empty." + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(empty.c_str(), nullptr);
  char previous[MAX_PATH];
  GetCurrentDirectoryA(sizeof previous, previous);
  SetCurrentDirectoryA(empty.c_str());
  stub.Script({{0, 0}});
  for (Launcher launcher : {Launcher::Probe, Launcher::Start, Launcher::Wait}) {
    const Outcome out = Launch(stub, {launcher});
    check(!out.result && out.runs.empty() && out.pauses.empty() && out.took < kSlackUs && out.handlesKept,
          std::string(launcher == Launcher::Probe   ? "ProbeDrive"
                      : launcher == Launcher::Start ? "StartBlankCheck"
                                                    : "WaitBlankCheck") +
              ": no tool to start fails at once");
  }
  SetCurrentDirectoryA(previous);
  RemoveDirectoryA(empty.c_str());
}

int CheckWithStub(const char* stubDir) {
  if (!SetCurrentDirectoryA(stubDir)) {
    std::printf("launcher_check: no folder %s\n", stubDir);
    return 2;
  }
  Stub stub;
  CheckStartRecord();
  CheckCommandLines(stub);
  CheckProbeAndStart(stub);
  CheckWait(stub);
  CheckMissingTool(stub);
  std::printf("%d-bit launcher checks: %s\n", static_cast<int>(8 * sizeof(void*)), failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}

int CheckDrive(const std::string& drive) {
  const bool probed = station::ProbeDrive(drive);
  std::printf("ProbeDrive(%s): %s\n", drive.c_str(), probed ? "true" : "false");
  if (!probed) return 1;
  const bool started = station::StartBlankCheck(drive, 247, 247, 255, 255);
  std::printf("StartBlankCheck(%s, 247, 247, 255, 255): %s\n", drive.c_str(), started ? "true" : "false");
  if (!started) return 1;
  std::vector<int> bar;
  const bool passed = station::WaitBlankCheck(
      drive, [] { return false; }, [&bar](int p) { bar.push_back(p); });
  std::printf("WaitBlankCheck(%s): %s, bar %s\n", drive.c_str(), passed ? "true" : "false", Joined(bar).c_str());
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--stub") == 0) return CheckWithStub(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--drive") == 0) return CheckDrive(argv[2]);
  std::printf("usage: launcher_check.exe --stub DIR | --drive LETTER\n");
  return 2;
}
