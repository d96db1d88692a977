#include "ppthread/tests/test_support.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace station::test {

StandinFolder::StandinFolder() : folder_("ppthread-test"), path_(folder_.path()) {
  setenv("STANDIN_DIR", path_.c_str(), 1);
}

StandinFolder::~StandinFolder() { unsetenv("STANDIN_DIR"); }

station::ToolSearch StandinFolder::Search() { return {STANDIN_DIR, ""}; }

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

struct RecordedPauses::State {
  std::mutex mutex;
  std::vector<std::uint32_t> pauses;
  std::map<std::uint32_t, int> seen;
  std::uint32_t cancelMs = 0;
  int cancelNth = 0;
  std::atomic<std::int32_t>* cancelFlag = nullptr;
};

RecordedPauses::RecordedPauses() : state_(std::make_shared<State>()) {}

std::function<void(std::uint32_t)> RecordedPauses::Pause() const {
  return [state = state_](std::uint32_t ms) {
    {
      std::lock_guard lock(state->mutex);
      state->pauses.push_back(ms);
      const int n = ++state->seen[ms];
      if (state->cancelFlag != nullptr && ms == state->cancelMs && n == state->cancelNth) {
        state->cancelFlag->store(1);
        state->cancelFlag = nullptr;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
}

std::vector<std::uint32_t> RecordedPauses::Pauses() const {
  std::lock_guard lock(state_->mutex);
  return state_->pauses;
}

int RecordedPauses::Count(std::uint32_t ms) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->seen.find(ms);
  return it == state_->seen.end() ? 0 : it->second;
}

void RecordedPauses::CancelAt(std::uint32_t ms, int nth, std::atomic<std::int32_t>* flag) {
  std::lock_guard lock(state_->mutex);
  state_->cancelMs = ms;
  state_->cancelNth = state_->seen[ms] + nth;  // counted from now
  state_->cancelFlag = flag;
}

station::ToolRuns StandinRuns(const RecordedPauses& pauses) { return {StandinFolder::Search(), pauses.Pause()}; }

station::JobServices StandinJobs(const RecordedPauses& pauses) {
  station::JobServices jobs;
  jobs.tools = StandinRuns(pauses);
  jobs.handOver = station::WindowHandOver{};
  return jobs;
}

std::vector<std::string> Repeat(const std::string& line, int count) {
  return std::vector<std::string>(static_cast<std::size_t>(count), line);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace station::test
