// Benchmarks of the long commands, in-process on flashsim's device model.
//
// BM_BlankCheckWholeDevice: a whole bchk (ModeDigit 6) of a 4096 x 64 x 2048
// device on the device model: commands per second (per CPU second of tool
// and model together, and per second of real time).
// BM_BlankCheckToolOnly: the same bchk against a stub that answers at once:
// the tool's own CPU time per command.
//
// BM_FirmwareLoadPeakHeap: peak heap in use on the tool's side (allocations
// made inside the device model are not counted) during a load with read-back
// of four images, for a small and a large image size; streaming keeps both
// figures the same.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "common/testing/temp_dir.hpp"
#include "device/nand_device.hpp"
#include "flashsim/device.hpp"
#include "procedures/procedures.hpp"
#include "testing/sim_transport.hpp"

namespace {

// ---- heap accounting (tool side only) ----
thread_local bool tInsideDevice = false;
std::atomic<bool> gCounting{false};
std::atomic<std::int64_t> gInUse{0};
std::atomic<std::int64_t> gPeak{0};
constexpr std::size_t kHeader = 16;

void* allocate(std::size_t n) {
  auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  const bool counted = gCounting.load(std::memory_order_relaxed) && !tInsideDevice;
  *reinterpret_cast<std::size_t*>(p) = counted ? n : 0;
  if (counted) {
    const std::int64_t now = gInUse.fetch_add(static_cast<std::int64_t>(n)) + static_cast<std::int64_t>(n);
    std::int64_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
  }
  return p + kHeader;
}

void release(void* q) {
  if (q == nullptr) {
    return;
  }
  auto* p = static_cast<unsigned char*>(q) - kHeader;
  const std::size_t n = *reinterpret_cast<std::size_t*>(p);
  if (n != 0) {
    gInUse.fetch_sub(static_cast<std::int64_t>(n));
  }
  std::free(p);
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Counts commands; allocations made below it belong to the device model.
class MeteredTransport : public kestrin::ScsiTransport {
 public:
  explicit MeteredTransport(kestrin::ScsiTransport& inner) : inner_(inner) {}
  kestrin::TransportStatus execute(const kestrin::ScsiRequest& r) override {
    ++commands;
    tInsideDevice = true;
    const kestrin::TransportStatus s = inner_.execute(r);
    tInsideDevice = false;
    return s;
  }
  std::uint64_t commands = 0;

 private:
  kestrin::ScsiTransport& inner_;
};

// The least a device can do and still pass a blank check with programming:
// a page buffer, and per block whether it holds programmed (zero) pages. It
// costs next to nothing, so a run against it measures the tool's own CPU time.
class StubDevice : public kestrin::ScsiTransport {
 public:
  kestrin::TransportStatus execute(const kestrin::ScsiRequest& r) override {
    ++commands;
    const std::uint16_t word = static_cast<std::uint16_t>(r.cdb[2] | (r.cdb[3] << 8));
    const std::uint32_t page =
        word | (static_cast<std::uint32_t>(r.cdb[4]) << 16) | (static_cast<std::uint32_t>(r.cdb[5]) << 24);
    switch (r.cdb[1]) {
      case 0x01:  // read data memory
        if (word == 0x257E) {
          const std::uint8_t record[10] = {0x10, 0x00, 0, 64, 6, 0x08, 0x00, 11, 0, 0};
          std::memcpy(r.data, record, 10);
        } else {
          std::memcpy(r.data, buffer_ + (word - 0x1A90), r.length);
        }
        return {true, 0, r.length};
      case 0x02:  // write data memory
        std::memcpy(buffer_ + (word - 0x1A90), r.data, r.length);
        return {true, 0};
      case 0x11:  // erase
        programmed_[word] = false;
        break;
      case 0x12:  // program
        programmed_[page >> 6] = true;
        break;
      case 0x13:  // read page
        std::memset(buffer_, programmed_[page >> 6] ? 0x00 : 0xFF, sizeof buffer_);
        break;
      default:
        break;
    }
    r.data[0] = 0x01;  // status: pass
    return {true, 0, 1};
  }
  std::uint64_t commands = 0;

 private:
  std::uint8_t buffer_[2048] = {};
  bool programmed_[4096] = {};
};

// A temporary working directory for the length of a benchmark.
struct WorkDir {
  WorkDir() { std::filesystem::current_path(temp.path()); }
  ~WorkDir() { std::filesystem::current_path(previous); }
  const std::filesystem::path previous = std::filesystem::current_path();
  const common::test::TempDir temp{"kestrin-bench"};
};

// One whole bchk (ModeDigit 6) through `transport`, its thread CPU time
// added to cpuSeconds. False after telling the benchmark it failed.
bool timedBlankCheck(benchmark::State& state, kestrin::ScsiTransport& transport, std::FILE* sink, double& cpuSeconds) {
  kestrin::VendorCommands commands(transport);
  kestrin::Console console(sink);
  kestrin::RunContext ctx(commands, console);
  const double cpu0 = threadCpuSeconds();
  const bool ok = kestrin::blankCheck(ctx, 6);
  cpuSeconds += threadCpuSeconds() - cpu0;
  if (!ok) {
    state.SkipWithError("bchk failed");
  }
  return ok;
}

void BM_BlankCheckWholeDevice(benchmark::State& state) {
  WorkDir dir;
  std::FILE* sink = std::fopen("/dev/null", "w");
  std::uint64_t commandCount = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    flashsim::Profile profile;  // 4096 x 64 x 2048
    profile.traceLimit = 1;
    flashsim::Device device(profile);
    kestrin::test::SimTransport sim(device);
    MeteredTransport metered(sim);
    state.ResumeTiming();

    if (!timedBlankCheck(state, metered, sink, cpuSeconds)) {
      break;
    }
    commandCount += metered.commands;
  }
  std::fclose(sink);
  const auto n = static_cast<double>(commandCount);
  state.counters["commands"] = benchmark::Counter(n, benchmark::Counter::kAvgIterations);
  state.counters["commands_per_cpu_s"] = n / cpuSeconds;  // the tool and the device model together
  state.counters["commands_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BlankCheckWholeDevice)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();

void BM_BlankCheckToolOnly(benchmark::State& state) {
  WorkDir dir;
  std::FILE* sink = std::fopen("/dev/null", "w");
  std::uint64_t commandCount = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    StubDevice stub;
    if (!timedBlankCheck(state, stub, sink, cpuSeconds)) {
      break;
    }
    commandCount += stub.commands;
  }
  std::fclose(sink);
  const auto n = static_cast<double>(commandCount);
  state.counters["commands"] = benchmark::Counter(n, benchmark::Counter::kAvgIterations);
  state.counters["tool_cpu_ns_per_cmd"] = cpuSeconds * 1e9 / n;
}
BENCHMARK(BM_BlankCheckToolOnly)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_FirmwareLoadPeakHeap(benchmark::State& state) {
  WorkDir dir;
  const auto size = static_cast<std::size_t>(state.range(0));
  const char* names[4] = {"f1.bin", "f2.bin", "f3.bin", "f4.bin"};
  std::vector<char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 131 + 7);
  }
  std::memcpy(bytes.data(), "ZANQ005", 7);
  for (const char* n : names) {
    std::ofstream(n, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
  }
  std::FILE* sink = std::fopen("/dev/null", "w");
  std::int64_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    flashsim::Profile profile;
    profile.geometry.blockCount = 1024;  // 8 KiB blocks: the area holds 511 besides the header
    profile.geometry.pagesPerBlock = 4;
    profile.geometry.pageSize = 2048;
    profile.traceLimit = 1;
    flashsim::Device device(profile);
    kestrin::test::SimTransport sim(device);
    MeteredTransport metered(sim);
    kestrin::VendorCommands commands(metered);
    kestrin::Console console(sink);
    kestrin::RunContext ctx(commands, console);
    gInUse = 0;
    gPeak = 0;
    gCounting = true;
    state.ResumeTiming();

    const bool ok = kestrin::firmwareLoad(ctx, names, 1);

    state.PauseTiming();
    gCounting = false;
    peak = std::max(peak, gPeak.load());
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("fwup failed");
      break;
    }
  }
  std::fclose(sink);
  state.counters["image_bytes"] = static_cast<double>(size);
  state.counters["peak_tool_heap_bytes"] = static_cast<double>(peak);
}
BENCHMARK(BM_FirmwareLoadPeakHeap)
    ->Arg(16 * 1024)
    ->Arg(1016 * 1024)  // the largest four images that fit beside the header: 127 blocks each
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3);

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

BENCHMARK_MAIN();
