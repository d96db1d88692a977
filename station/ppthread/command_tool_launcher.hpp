// The station's side of the command tool contract (common/tool_contract.hpp):
// three launchers, each of which formats one command line, runs the tool as a
// child process, waits for the run to end and turns the exit code into yes or
// no. Exit code 0 is success, 2 answers a poll with "still checking",
// anything else fails.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ppthread/process_launcher.hpp"

namespace station {

// The command lines are the contract's three templates, formatted into a
// buffer of common::tool_contract::kCommandLineSize bytes. See process_launcher.hpp for
// how the program name is found on each platform.

// Pauses, in milliseconds: between two readings of a probe or set-up run,
// between two readings of a running poll run, and between two poll runs.
inline constexpr std::uint32_t kRunReadingPauseMs = 100;
inline constexpr std::uint32_t kPollRunReadingPauseMs = 10;
inline constexpr std::uint32_t kPollPauseMs = 1000;

// How the launchers start the tool and pause. The defaults are the
// station's own.
struct ToolRuns {
  // Where the program is looked for; unset: StationToolSearch() at each run.
  std::optional<ToolSearch> search;
  // Takes every pause of the launchers (milliseconds); unset: the thread sleeps.
  std::function<void(std::uint32_t)> pause;
};

// Is `drive` (one letter, no colon) a device that the tool supports? True
// when the tool started and ended with 0. Blocks until the run has ended.
bool ProbeDrive(const std::string& drive, const ToolRuns& runs = {});

// Has the device start its own blank check under the four timing values.
// True when the run ended with 0. Blocks until the run has ended.
bool StartBlankCheck(const std::string& drive, std::int32_t timing1, std::int32_t timing2, std::int32_t timing3,
                     std::int32_t timing4, const ToolRuns& runs = {});

// Polls until the device's blank check has finished: true as soon as a poll
// run ends with 0; false when a run cannot be started or ends with anything
// but 0 or 2, and when a cancel is found requested after an answer of 2.
// The row's bar (range 0..100) is set to 0 first and stepped 4, 8, ... 96,
// 0, 4 ... with each answer of 2. The two outside effects are functions,
// both called on the caller's thread: `cancelRequested` (the row's cancel
// flag) is asked only after an answer of 2, `setBarPosition` gets every bar
// position (the job hands it to the window thread). Either may be empty.
bool WaitBlankCheck(const std::string& drive, const std::function<bool()>& cancelRequested,
                    const std::function<void(int)>& setBarPosition, const ToolRuns& runs = {});

}  // namespace station
