// Whole pages through colour separation, error diffusion and row encoding
// into the output buffer, flushed to a "KLP1:" that discards the bytes. The
// pages are made before timing starts; each timed page is the page reset,
// every line, and the flush of what is left in the buffer.
//   cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKELO_BUILD_TESTS=OFF
//   cmake --build build-release -j2 --target separation_bench
//   build-release/bin/separation_bench --benchmark_repetitions=7
//       --benchmark_enable_random_interleaving=true
//       --benchmark_filter='PhotoGrey$|PhotoColour$|PhotoSeparationAvx2|PhotoGreyDiffusionOnly'
//   (all on one line). After the usual table it prints the speed goals'
//   ratios between cases of this run, as CPU time per page of repetition i
//   of one case over repetition i of the other (min / median / max), the
//   ratio of the two cases' medians and the goal beside it. Interleaving
//   spreads every case's repetitions over the whole run, so the machine's
//   drift falls on both cases of a ratio alike. A ratio whose cases did not
//   both run (filtered out, or skipped with an error) is left out. With
//   --benchmark_report_aggregates_only=true the library passes only the
//   aggregates to the display, so only the ratio of the medians is printed.
//
// Time is CPU time per page (ms); time_per_px is CPU time per pixel of the
// page's 640 x 904 and time_per_page the CPU time per page, both in seconds
// with an SI prefix.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "channel/output_buffer.h"
#include "platform/host/host_api.h"
#include "raster/colour_separation.h"
#include "raster/diffusion.h"
#include "raster/page_buffers.h"
#include "raster/separation_line.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 904;

class DiscardingService : public kelo::host::Device {
 public:
  BOOL IoControl(uintptr_t, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLen,
                 DWORD*) override {
    if ((code & 0xFFFF00) == KLP_OPEN && out != nullptr && outLen >= 1) out[0] = 1;
    return TRUE;
  }
};

using Page = std::vector<BYTE>;  // kHeight lines of kWidth blue-green-red pixels

Page PhotoPage() {
  Page page(static_cast<size_t>(kWidth) * kHeight * 3);
  std::mt19937 random(1);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double wave = 127.5 + 120 * std::sin((x * (c + 1) + y * (3 - c)) / 90.0);
        const int v = static_cast<int>(wave) + static_cast<int>(random() % 15) - 7;
        page[(static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 3 +
             static_cast<size_t>(c)] = static_cast<BYTE>(std::clamp(v, 0, 255));
      }
    }
  }
  return page;
}

// Mostly white, lines of text-like strokes and a barcode.
Page ReceiptPage() {
  Page page(static_cast<size_t>(kWidth) * kHeight * 3, 0xFF);
  std::mt19937 random(2);
  auto ink = [&](int x, int y) {
    std::fill_n(page.begin() + (static_cast<ptrdiff_t>(y) * kWidth + x) * 3, 3, BYTE{0});
  };
  for (int line = 0; line < 30; ++line) {
    const int top = 20 + line * 24;
    for (int glyph = 0; glyph < 40; ++glyph) {
      const int left = 20 + glyph * 15;
      for (int y = 0; y < 14; ++y) {
        for (int x = 0; x < 10; ++x) {
          if (random() % 3 == 0) ink(left + x, top + y);
        }
      }
    }
  }
  for (int bar = 0; bar < 60; ++bar) {
    if (random() % 2 == 0) continue;
    for (int y = 780; y < 880; ++y) {
      for (int x = 40 + bar * 9; x < 46 + bar * 9; ++x) ink(x, y);
    }
  }
  return page;
}

// A raster state and a channel to a discarding port, as the driver sets
// them up for one page geometry.
class Bench {
 public:
  explicit Bench(bool colour) : channel_(std::make_unique<PrinterChannel>()) {
    kelo::host::UnregisterDevice(u"KLP1:");
    kelo::host::RegisterDevice(u"KLP1:", std::make_shared<DiscardingService>());
    OpenChannel(*channel_, u"LPT1:");
    // As the driver sets it: the page filter counts plane rows per line.
    channel_->planesPerLine = colour ? 4 : 1;
    GDIINFO info = {};
    info.ulHorzRes = kWidth;
    info.ulVertRes = kHeight;
    DEVMODEW devmode = {};
    devmode.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
    SetupRaster(raster, info, devmode);
  }
  ~Bench() {
    ReleaseRasterBuffers(raster);
    CloseChannel(*channel_);
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  PrinterChannel& channel() { return *channel_; }
  RasterState raster;

 private:
  std::unique_ptr<PrinterChannel> channel_;
};

// Inverted rates are the library's own CPU time divided by iterations x
// the count given: seconds per pixel and seconds per page, printed with
// their SI prefix and the unit "s" (for example "11.5ns" and "6.67ms").
void CountPerPixelAndPage(benchmark::State& state) {
  const auto perUnit =
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
  state.counters["time_per_px"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight, perUnit);
  state.counters["time_per_page"] = benchmark::Counter(1, perUnit);
}

void RunPages(benchmark::State& state, const Page& page, bool colour) {
  Bench bench(colour);
  for (auto _ : state) {
    ResetPageRaster(bench.raster);
    bench.raster.rowCounter = 0;
    for (int y = 0; y < kHeight; ++y) {
      SeparateRow(bench.raster, bench.channel(), page.data() + static_cast<size_t>(y) * kWidth * 3);
    }
    Flush(bench.channel());
  }
  CountPerPixelAndPage(state);
}

// The K plane's diffusion and encoding alone, on the tones of the grey
// photo page: what a grey page costs once its separation is done.
void BM_PhotoGreyDiffusionOnly(benchmark::State& state) {
  Bench bench(false);
  RasterState& r = bench.raster;
  const Page page = PhotoPage();
  std::vector<int16_t> tones(static_cast<size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    SeparateRow(r, bench.channel(), page.data() + static_cast<size_t>(y) * kWidth * 3);
    std::copy_n(r.kValues, kWidth, tones.begin() + static_cast<ptrdiff_t>(y) * kWidth);
  }
  for (auto _ : state) {
    ResetPageRaster(r);
    for (int y = 0; y < kHeight; ++y) {
      r.rowCounter = y;
      DiffuseRow(r, bench.channel(), tones.data() + static_cast<size_t>(y) * kWidth, r.kErrors,
                 r.kDots, nullptr, r.dotWeightK, r.kSeed, kPlaneK);
    }
    Flush(bench.channel());
  }
  CountPerPixelAndPage(state);
}

// The grey photo page with its grey conversion on one path, otherwise as
// SeparateRow prints it: the per-pixel path beside the one SeparateRow
// takes, in the same run.
void GreyPageOnPath(benchmark::State& state, SeparationPath path) {
  if (!SeparationPathAvailable(path)) {
    state.SkipWithError("this processor or build has no such path");
    return;
  }
  Bench bench(false);
  RasterState& r = bench.raster;
  const Page page = PhotoPage();
  for (auto _ : state) {
    ResetPageRaster(r);
    for (int y = 0; y < kHeight; ++y) {
      r.rowCounter = y;
      GreyToneLine(r, page.data() + static_cast<size_t>(y) * kWidth * 3, kWidth, path);
      DiffuseRow(r, bench.channel(), r.kValues, r.kErrors, r.kDots, nullptr, r.dotWeightK, r.kSeed,
                 kPlaneK);
    }
    Flush(bench.channel());
  }
  CountPerPixelAndPage(state);
}

using LineFunction = void (*)(const RasterState&, const BYTE*, int, SeparationPath);

// Colour separation or grey conversion alone of every line of the photo
// page, on one path; compare time_per_px with the grey photo page's.
void LineOnly(benchmark::State& state, SeparationPath path, bool colour, LineFunction line) {
  if (!SeparationPathAvailable(path)) {
    state.SkipWithError("this processor or build has no such path");
    return;
  }
  Bench bench(colour);
  const Page page = PhotoPage();
  for (auto _ : state) {
    for (int y = 0; y < kHeight; ++y) {
      line(bench.raster, page.data() + static_cast<size_t>(y) * kWidth * 3, kWidth, path);
    }
    benchmark::ClobberMemory();
  }
  CountPerPixelAndPage(state);
}
void SeparationOnly(benchmark::State& state, SeparationPath path) {
  LineOnly(state, path, true, SeparateColourLine);
}
void GreyLineOnly(benchmark::State& state, SeparationPath path) {
  LineOnly(state, path, false, GreyToneLine);
}

void BM_PhotoGreyPerPixelLine(benchmark::State& state) {
  GreyPageOnPath(state, SeparationPath::kScalar);
}
void BM_PhotoGreyLineScalar(benchmark::State& state) {
  GreyLineOnly(state, SeparationPath::kScalar);
}
void BM_PhotoGreyLineVector(benchmark::State& state) {
  GreyLineOnly(state, SeparationPath::kVector);
}
void BM_PhotoGreyLineAvx2(benchmark::State& state) {
  GreyLineOnly(state, SeparationPath::kVectorAvx2);
}
void BM_PhotoSeparationScalar(benchmark::State& state) {
  SeparationOnly(state, SeparationPath::kScalar);
}
void BM_PhotoSeparationVector(benchmark::State& state) {
  SeparationOnly(state, SeparationPath::kVector);
}
void BM_PhotoSeparationAvx2(benchmark::State& state) {
  SeparationOnly(state, SeparationPath::kVectorAvx2);
}
void BM_PhotoGrey(benchmark::State& state) { RunPages(state, PhotoPage(), false); }
void BM_PhotoColour(benchmark::State& state) { RunPages(state, PhotoPage(), true); }
void BM_ReceiptGrey(benchmark::State& state) { RunPages(state, ReceiptPage(), false); }
void BM_ReceiptColour(benchmark::State& state) { RunPages(state, ReceiptPage(), true); }

}  // namespace

// With repetitions, min and max beside the mean and median: these machines
// drift, so compare a separation's figures with the grey page's of the same
// run (time_per_px).
#define KELO_BENCH(name)                                                                  \
  BENCHMARK(name)                                                                         \
      ->Unit(benchmark::kMillisecond)                                                     \
      ->ComputeStatistics("min",                                                          \
                          [](const std::vector<double>& v) {                              \
                            return *std::min_element(v.begin(), v.end());                 \
                          })                                                              \
      ->ComputeStatistics("max", [](const std::vector<double>& v) {                       \
        return *std::max_element(v.begin(), v.end());                                     \
      })
KELO_BENCH(BM_PhotoGrey);
KELO_BENCH(BM_PhotoColour);
KELO_BENCH(BM_ReceiptGrey);
KELO_BENCH(BM_ReceiptColour);
KELO_BENCH(BM_PhotoGreyDiffusionOnly);
KELO_BENCH(BM_PhotoGreyPerPixelLine);
KELO_BENCH(BM_PhotoGreyLineScalar);
KELO_BENCH(BM_PhotoGreyLineVector);
KELO_BENCH(BM_PhotoGreyLineAvx2);
KELO_BENCH(BM_PhotoSeparationScalar);
KELO_BENCH(BM_PhotoSeparationVector);
KELO_BENCH(BM_PhotoSeparationAvx2);

namespace {

// The speed goals: numerator / denominator of CPU time per page, at most
// `goal`.
struct RatioGoal {
  const char* label;
  const char* numerator;
  const char* denominator;
  const char* goal;
};
constexpr RatioGoal kRatioGoals[] = {
    {"AVX2 separation / grey page", "BM_PhotoSeparationAvx2", "BM_PhotoGrey", "0.7"},
    {"colour page / grey page", "BM_PhotoColour", "BM_PhotoGrey", "3.0"},
    {"grey page / its diffusion alone", "BM_PhotoGrey", "BM_PhotoGreyDiffusionOnly", "1.3"},
};

// The middle value, or the mean of the two middle ones, as the library's
// "median" aggregate takes it. `values` is not empty.
double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t half = values.size() / 2;
  return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// Passes every report on unchanged to the display reporter the flags chose
// and keeps, per case, the CPU seconds per iteration of each repetition (and
// the median aggregate, the only figure left when just aggregates arrive).
class RatioReporter : public benchmark::BenchmarkReporter {
 public:
  explicit RatioReporter(benchmark::BenchmarkReporter& display) : display_(display) {}

  bool ReportContext(const Context& context) override { return display_.ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) Keep(run);
    display_.ReportRuns(runs);
  }
  void Finalize() override { display_.Finalize(); }

  // One line per goal whose two cases both have figures from this run.
  void PrintRatios(std::ostream& out) const {
    std::ostringstream lines;
    lines << std::fixed << std::setprecision(2);
    bool anyPaired = false;
    bool anyMedianOnly = false;
    for (const RatioGoal& goal : kRatioGoals) {
      const auto numerator = cases_.find(goal.numerator);
      const auto denominator = cases_.find(goal.denominator);
      if (numerator == cases_.end() || denominator == cases_.end()) continue;
      const Case& top = numerator->second;
      const Case& bottom = denominator->second;
      std::vector<double> ratios;
      for (const auto& [repetition, seconds] : top.repetitions) {
        const auto other = bottom.repetitions.find(repetition);
        if (other != bottom.repetitions.end()) ratios.push_back(seconds / other->second);
      }
      if (!ratios.empty()) {
        anyPaired = true;
        lines << goal.label << ": " << *std::min_element(ratios.begin(), ratios.end()) << " / "
              << Median(ratios) << " / " << *std::max_element(ratios.begin(), ratios.end())
              << " (medians " << top.Median() / bottom.Median() << "; goal <= " << goal.goal
              << ")\n";
      } else if (top.median > 0 && bottom.median > 0) {
        anyMedianOnly = true;
        lines << goal.label << ": medians " << top.median / bottom.median << " (goal <= "
              << goal.goal << ")\n";
      }
    }
    if (anyPaired) {
      out << "\nRatios of CPU time per page: min / median / max of repetition i of one case"
             " over repetition i of the other\n";
    }
    if (anyMedianOnly) {
      out << (anyPaired ? "" : "\n")
          << "Only aggregates were reported (--benchmark_report_aggregates_only), so where no"
             " repetitions pair up only the ratio of the median aggregates is given\n";
    }
    out << lines.str() << std::flush;
  }

 private:
  struct Case {
    std::map<int64_t, double> repetitions;  // repetition index -> CPU s per iteration
    double median = 0;  // CPU s per iteration, from the median aggregate; 0 if none

    double Median() const {
      std::vector<double> values;
      for (const auto& entry : repetitions) values.push_back(entry.second);
      return ::Median(std::move(values));
    }
  };

  void Keep(const Run& run) {
    if (run.error_occurred) return;
    const double seconds =
        run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    if (!(seconds > 0)) return;
    Case& entry = cases_[run.run_name.function_name];
    if (run.run_type == Run::RT_Iteration) {
      entry.repetitions[run.repetition_index] = seconds;
    } else if (run.aggregate_name == "median") {
      entry.median = seconds;
    }
  }

  benchmark::BenchmarkReporter& display_;
  std::map<std::string, Case> cases_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The library keeps this reporter for the life of the program.
  benchmark::BenchmarkReporter& display = *benchmark::CreateDefaultDisplayReporter();
  RatioReporter reporter(display);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Beside the console table on its stream; beside JSON or CSV on stderr,
  // so that stdout stays one document.
  const bool console = dynamic_cast<benchmark::ConsoleReporter*>(&display) != nullptr;
  reporter.PrintRatios(console ? display.GetOutputStream() : std::cerr);
  benchmark::Shutdown();
  return 0;
}
