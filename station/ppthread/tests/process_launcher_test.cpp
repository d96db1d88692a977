// Starting the tool as a child process on Linux: where the program is found,
// what the child inherits, exit codes, and that nothing is left behind.
#include "ppthread/process_launcher.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ppthread/tests/test_support.hpp"

namespace station::test {

namespace {
namespace fs = std::filesystem;
using station::GetToolExitCode;
using station::kStillActive;
using station::StartToolProcess;
using station::ToolProcess;

// The stand-in is found in its own folder.
const station::ToolSearch kStandin = station::test::StandinFolder::Search();

std::uint32_t RunToEnd(const char* line) {
  std::string buffer = line;
  ToolProcess p;
  if (!StartToolProcess(buffer.data(), p, kStandin)) return 1000;
  std::uint32_t code = kStillActive;
  while (GetToolExitCode(p, code) && code == kStillActive) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  station::CloseToolProcess(p);
  return code;
}

int OpenDescriptors() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

void MakeFile(const fs::path& p, const std::string& text, fs::perms perms) {
  std::ofstream(p) << text;
  fs::permissions(p, perms);
}

TEST(ProcessLauncher, ChildGetsArgumentsSplitOnBlanksNullStdioAndNoInheritedDescriptors) {
  station::test::StandinFolder folder;
  folder.Script("", {"0"});
  const int leaky = open("/dev/zero", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(leaky, 0);
  errno = 0;
  const int ownNice = getpriority(PRIO_PROCESS, 0);

  EXPECT_EQ(RunToEnd("kestrin.exe E:  bchks\t1 -2 3 4"), 0u);
  close(leaky);

  ASSERT_EQ(folder.CommandLines(), (std::vector<std::string>{"E: bchks 1 -2 3 4"}));
  const std::string details = folder.Details().at(0);
  EXPECT_NE(details.find("stdio=111,extra=0,"), std::string::npos) << details;
  // Raised priority where permitted, the station's own otherwise.
  const int childNice = std::stoi(details.substr(details.find("nice=") + 5));
  EXPECT_LE(childNice, ownNice);
  EXPECT_GE(childNice, ownNice - 5);
}

TEST(ProcessLauncher, ExitCodeReadsStillActiveUntilTheEndThenTheCode) {
  station::test::StandinFolder folder;
  folder.Script("", {"7 500", "signal 9", "signal 2"});
  std::string line = "kestrin.exe A:";
  ToolProcess p;
  ASSERT_TRUE(StartToolProcess(line.data(), p, kStandin));
  std::uint32_t code = 12345;
  ASSERT_TRUE(GetToolExitCode(p, code));
  EXPECT_EQ(code, kStillActive);
  while (GetToolExitCode(p, code) && code == kStillActive) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(code, 7u);
  ASSERT_TRUE(GetToolExitCode(p, code));  // read again after the end: the same code
  EXPECT_EQ(code, 7u);
  station::CloseToolProcess(p);

  // Ended by a signal: never 0 and never the poll's 2, even for signal 2.
  EXPECT_EQ(RunToEnd("kestrin.exe A:"), 128u + 9u);
  EXPECT_EQ(RunToEnd("kestrin.exe A:"), 128u + 2u);
}

TEST(ProcessLauncher, LeavesNoChildAndNoDescriptorBehind) {
  station::test::StandinFolder folder;
  folder.Script("", {"0", "3", "signal 15"});
  const int before = OpenDescriptors();
  for (int i = 0; i < 10; ++i) RunToEnd("kestrin.exe B: bchkp");
  EXPECT_EQ(OpenDescriptors(), before);
  int status = 0;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no child left, not even a zombie
  EXPECT_EQ(errno, ECHILD);

  // A handle closed while the child still runs: the child is reaped when it ends.
  folder.Script("", {"0 200"});
  std::string line = "kestrin.exe B:";
  ToolProcess p;
  ASSERT_TRUE(StartToolProcess(line.data(), p, kStandin));
  const auto pid = static_cast<pid_t>(p.process);
  station::CloseToolProcess(p);
  const fs::path proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 500 && fs::exists(proc); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(fs::exists(proc));
}

TEST(ProcessLauncher, ProgramIsFoundInTheOwnDirectoryFirstThenPathNeverTheCurrentDirectory) {
  station::test::StandinFolder folder;
  const fs::path root = folder.Path();
  for (const char* d : {"own", "path1", "path2", "cwd", "empty"}) fs::create_directory(root / d);
  const auto exec = fs::perms::owner_all;
  MakeFile(root / "path1" / "kestrin", "x", fs::perms::owner_read);  // not executable: skipped
  MakeFile(root / "path2" / "kestrin", "x", exec);
  MakeFile(root / "cwd" / "kestrin", "x", exec);
  MakeFile(root / "own" / "kestrin", "x", exec);

  const std::string pathList = (root / "path1").string() + ":" + (root / "path2").string();
  EXPECT_EQ(station::FindToolProgram("kestrin", {(root / "own").string(), pathList}),
            (root / "own" / "kestrin").string());
  EXPECT_EQ(station::FindToolProgram("kestrin", {(root / "empty").string(), pathList}),
            (root / "path2" / "kestrin").string());

  // Empty and relative PATH entries would mean the current directory.
  const fs::path oldCwd = fs::current_path();
  fs::current_path(root / "cwd");
  const station::ToolSearch relative{"", ":.:cwd:" + (root / "empty").string()};
  EXPECT_EQ(station::FindToolProgram("kestrin", relative), "");
  std::string line = "kestrin.exe C:";
  ToolProcess p;
  EXPECT_FALSE(StartToolProcess(line.data(), p, relative));
  fs::current_path(oldCwd);

  const station::ToolSearch nowhere{"", ""};
  EXPECT_EQ(station::FindToolProgram((root / "path2" / "kestrin").string(), nowhere),
            (root / "path2" / "kestrin").string());
  EXPECT_EQ(station::FindToolProgram("path2/kestrin", nowhere), "");

  // The station's own search: its executable's directory, then PATH.
  const std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", pathList.c_str(), 1);
  const station::ToolSearch own = station::StationToolSearch();
  setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(own.ownDirectory, fs::read_symlink("/proc/self/exe").parent_path().string());
  EXPECT_EQ(own.pathList, pathList);
}

TEST(ProcessLauncher, ProgramThatCannotBeExecutedFailsTheStart) {
  station::test::StandinFolder folder;
  const fs::path dir = fs::path(folder.Path()) / "bad";
  fs::create_directory(dir);
  MakeFile(dir / "kestrin",
           std::string("\x7f"
                       "ELF garbage",
                       12),
           fs::perms::owner_all);
  const station::ToolSearch bad{dir.string(), ""};
  std::string line = "kestrin.exe D:";
  ToolProcess p;
  EXPECT_FALSE(StartToolProcess(line.data(), p, bad));
  int status = 0;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  std::string empty = "  ";
  EXPECT_FALSE(StartToolProcess(empty.data(), p, bad));
}

}  // namespace

}  // namespace station::test
