#include "model/trace_ring.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

namespace flashsim {
namespace {

const char* outcomeName(Outcome o) {
  switch (o) {
    case Outcome::Good:
      return "good";
    case Outcome::Pass:
      return "pass";
    case Outcome::DeviceFail:
      return "devicefail";
    case Outcome::CheckCondition:
      return "checkcondition";
    case Outcome::Dropped:
      return "dropped";
    case Outcome::Hung:
      return "hung";
  }
  return "?";
}

}  // namespace

void TraceRing::record(const Command& command, Outcome outcome) {
  Entry e;
  e.time = std::chrono::system_clock::now();
  e.cdb = command.cdb;
  e.cdbLength = command.cdbLength;
  e.direction = command.direction;
  e.transferLength = command.transferLength;
  e.outcome = outcome;
  if (ring_.size() < limit_) {
    ring_.push_back(e);
  } else {
    ring_[next_] = e;
    next_ = (next_ + 1) % ring_.size();
  }
}

std::vector<TraceEntry> TraceRing::entries() const {
  std::vector<TraceEntry> out;
  out.reserve(ring_.size());
  for (std::size_t i = 0; i < ring_.size(); ++i) {
    const Entry& t = ring_[(next_ + i) % ring_.size()];
    TraceEntry e;
    e.time = t.time;
    e.cdb.assign(t.cdb.begin(), t.cdb.begin() + std::min<std::size_t>(t.cdbLength, 16));
    e.direction = t.direction;
    e.transferLength = t.transferLength;
    e.outcome = t.outcome;
    out.push_back(std::move(e));
  }
  return out;
}

std::string formatTraceEntry(const TraceEntry& e) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto sinceEpoch = e.time.time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch - secs);
  const std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string line = stamp;
  char frac[16];
  std::snprintf(frac, sizeof frac, ".%06ldZ ", static_cast<long>(micros.count()));
  line += frac;
  for (std::uint8_t b : e.cdb) {
    line += kHex[b >> 4];
    line += kHex[b & 0xF];
  }
  switch (e.direction) {
    case Direction::None:
      line += " none ";
      break;
    case Direction::In:
      line += " in ";
      break;
    case Direction::Out:
      line += " out ";
      break;
  }
  line += std::to_string(e.transferLength);
  line += ' ';
  line += outcomeName(e.outcome);
  return line;
}

}  // namespace flashsim
