#include "test_support.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "ppthread/command_tool_launcher.hpp"
#include "ppthread/process_launcher.hpp"

namespace jobs_test {
namespace fs = std::filesystem;

StandinFolder::StandinFolder() {
  std::string pattern = (fs::temp_directory_path() / "ppthread-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
  setenv("STANDIN_DIR", path_.c_str(), 1);
  station::SetToolSearchForTesting(STANDIN_DIR, "");
}

StandinFolder::~StandinFolder() {
  station::ClearToolSearchForTesting();
  unsetenv("STANDIN_DIR");
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void StandinFolder::Script(const std::string& drive, const std::vector<std::string>& lines) const {
  std::ofstream out(path_ + (drive.empty() ? "/script" : "/script-" + drive), std::ios::trunc);
  for (const auto& l : lines) out << l << '\n';
}

std::vector<std::string> StandinFolder::LogLines(const std::string& drive) const {
  std::vector<std::string> lines;
  std::ifstream in(path_ + (drive.empty() ? "/log" : "/log-" + drive));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::vector<std::string> StandinFolder::CommandLines(const std::string& drive) const {
  std::vector<std::string> out;
  for (const auto& l : LogLines(drive)) out.push_back(l.substr(0, l.find('|')));
  return out;
}

std::vector<std::string> StandinFolder::Details(const std::string& drive) const {
  std::vector<std::string> out;
  for (const auto& l : LogLines(drive)) out.push_back(l.substr(l.find('|') + 1));
  return out;
}

namespace {

struct PauseState {
  std::mutex mutex;
  std::vector<std::uint32_t> pauses;
  std::map<std::uint32_t, int> seen;
  std::uint32_t cancelMs = 0;
  int cancelNth = 0;
  std::atomic<std::int32_t>* cancelFlag = nullptr;
};
PauseState& State() {
  static PauseState s;
  return s;
}

void RecordPause(std::uint32_t ms) {
  PauseState& s = State();
  {
    std::lock_guard lock(s.mutex);
    s.pauses.push_back(ms);
    const int n = ++s.seen[ms];
    if (s.cancelFlag != nullptr && ms == s.cancelMs && n == s.cancelNth) {
      s.cancelFlag->store(1);
      s.cancelFlag = nullptr;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

RecordedPauses::RecordedPauses() {
  {
    std::lock_guard lock(State().mutex);
    State().pauses.clear();
    State().seen.clear();
    State().cancelFlag = nullptr;
  }
  station::SetLauncherPauseForTesting(&RecordPause);
}

RecordedPauses::~RecordedPauses() {
  station::SetLauncherPauseForTesting(nullptr);
  std::lock_guard lock(State().mutex);
  State().cancelFlag = nullptr;
}

std::vector<std::uint32_t> RecordedPauses::Pauses() const {
  std::lock_guard lock(State().mutex);
  return State().pauses;
}

int RecordedPauses::Count(std::uint32_t ms) const {
  std::lock_guard lock(State().mutex);
  const auto it = State().seen.find(ms);
  return it == State().seen.end() ? 0 : it->second;
}

void RecordedPauses::CancelAt(std::uint32_t ms, int nth, std::atomic<std::int32_t>* flag) {
  std::lock_guard lock(State().mutex);
  State().cancelMs = ms;
  State().cancelNth = State().seen[ms] + nth;  // counted from now
  State().cancelFlag = flag;
}

std::vector<std::string> Repeat(const std::string& line, int count) {
  return std::vector<std::string>(static_cast<std::size_t>(count), line);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace jobs_test
