// Download throughput on loopback: a 2,031,616-byte image sent to the device
// simulator (started in download mode, so the 3 s mode switch is left out)
// by the command line's path (a DownloadJob carried out by the Asio runner,
// as "mervix-cli send" runs it), beside a minimal client doing the same
// lock-step exchange with plain blocking sockets, once with default sockets
// and once with TCP_NODELAY. Each is reported in MB/s (the "MB" counter:
// 10^6 bytes per second of wall time, connect to last acknowledgement).
// The job's path should stay within 1.25 times the time of the NODELAY
// client.
#include "cli/support/AsioRunner.h"
#include "operations/DownloadJob.h"
#include "resources/LogPane.h"
#include "tests/bench/download/MinimalClient.h"
#include "tests/support/DevsimProcess.h"

#include <asio/io_context.hpp>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace mervix {
namespace {

constexpr std::size_t kImageSize = 2031616;

// Answers OK to the confirmation and No to "Retry?"; the boxes go nowhere
// (the run's failure says what went wrong).
class QuietDialogs : public cli::RunDialogs {
 public:
  Answer Ask(Question question, const std::string&, ButtonSet) override {
    return question == Question::Confirm ? Answer::Ok : Answer::No;
  }
  void Show(std::uint16_t, const std::string&) override {}
};

// One simulator and one image file for the whole program.
struct Setup {
  testing::DevsimProcess sim;
  std::vector<std::uint8_t> image;
  std::string imagePath;
  std::string error;
  bool ok = false;

  Setup() {
    image.resize(kImageSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    sim.SetWriteImage(false);
    if (!sim.Start({"--download-mode"}, &error)) return;
    imagePath = sim.Folder() + "/bench.img";
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    ok = true;
  }
  ~Setup() { std::remove(imagePath.c_str()); }
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

void ReportThroughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
  state.counters["MB"] = benchmark::Counter(static_cast<double>(state.iterations() * kImageSize) / 1e6,
                                              benchmark::Counter::kIsRate);
}

void BM_JobDownload(benchmark::State& state) {
  Setup& s = TheSetup();
  if (!s.ok) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  PreparedImage image;
  image.path = s.imagePath;
  image.length = static_cast<std::uint32_t>(kImageSize);
  for (auto _ : state) {
    asio::io_context io;
    QuietDialogs dialogs;
    LogPane log;
    DownloadJob job(log);
    cli::AsioRunner runner(io, dialogs, cli::RunnerLimits{10000, 10000});
    runner.Attach(job);
    if (!job.Start(image, "127.0.0.1", s.sim.Port(), runner)) {
      state.SkipWithError("the job did not start");
      return;
    }
    io.run();
    if (runner.Outcome() != RunOutcome::Finished) {
      state.SkipWithError(("the run did not finish: " + Describe(runner.LastFailure())).c_str());
      return;
    }
  }
  ReportThroughput(state);
}

void BM_MinimalClient(benchmark::State& state) {
  Setup& s = TheSetup();
  if (!s.ok) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  const bool noDelay = state.range(0) != 0;
  for (auto _ : state) {
    if (!bench::MinimalDownload(s.sim.Port(), s.image, noDelay)) {
      state.SkipWithError("minimal client: unexpected reply");
      return;
    }
  }
  ReportThroughput(state);
}

// Default sockets stall every block on Nagle's algorithm and delayed
// acknowledgements (about 1.3 s per image): a few iterations suffice.
BENCHMARK(BM_MinimalClient)->ArgName("nodelay")->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinimalClient)->ArgName("nodelay")->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JobDownload)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mervix

BENCHMARK_MAIN();
