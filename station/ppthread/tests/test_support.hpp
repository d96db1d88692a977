// What the launcher and job tests share: a fresh folder for the stand-in
// tool's scripts and logs, and a recording replacement for the launchers'
// pauses.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/testing/temp_dir.hpp"
#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/product_thread.hpp"

namespace station::test {

// A fresh temporary folder, named to the stand-in tool by STANDIN_DIR.
class StandinFolder {
 public:
  StandinFolder();
  ~StandinFolder();
  StandinFolder(const StandinFolder&) = delete;
  StandinFolder& operator=(const StandinFolder&) = delete;

  // The script for runs on `drive` (a letter; "" for every drive without a
  // script of its own): one line per run, "<code> [<sleep ms>]" or
  // "signal <n> [<sleep ms>]"; the last line repeats.
  void Script(const std::string& drive, const std::vector<std::string>& lines) const;
  // The command lines received (arguments after the program name), in order:
  // all runs for "" or the runs on one drive.
  std::vector<std::string> CommandLines(const std::string& drive = "") const;
  // The details the stand-in noted for each run ("stdio=111,extra=0,nice=0").
  std::vector<std::string> Details(const std::string& drive = "") const;

  const std::string& Path() const { return path_; }
  // The program search that finds the stand-in in its own folder (nothing on PATH).
  static station::ToolSearch Search();

 private:
  std::vector<std::string> LogLines(const std::string& drive) const;
  common::test::TempDir folder_;
  std::string path_;
};

// A replacement for the launchers' pauses (Pause()): each pause is noted and
// lasts 1 ms. Optionally stores 1 into a cancel flag at the n-th pause of a
// given length from now on (counting from 1).
class RecordedPauses {
 public:
  RecordedPauses();

  std::function<void(std::uint32_t)> Pause() const;
  std::vector<std::uint32_t> Pauses() const;
  int Count(std::uint32_t ms) const;
  void CancelAt(std::uint32_t ms, int nth, std::atomic<std::int32_t>* flag);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Tool runs of the stand-in with the recorded pauses.
station::ToolRuns StandinRuns(const RecordedPauses& pauses);
// What a job is given in these tests: those runs, and a hand-over to the
// window thread of its own (closing it touches no other test's jobs).
station::JobServices StandinJobs(const RecordedPauses& pauses);

// Lines of a script: `count` times `line`.
std::vector<std::string> Repeat(const std::string& line, int count);
std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b);

}  // namespace station::test
