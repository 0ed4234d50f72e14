// Download throughput on loopback: a 2,031,616-byte image sent to the device
// simulator (started in download mode, so the 3 s mode switch is left out)
// by the protocol session over the command line's POSIX link, beside a
// minimal client doing the same lock-step exchange with plain sockets, once
// with default sockets and once with TCP_NODELAY. Each is reported in MB/s
// (the "MB" counter: 10^6 bytes per second of wall time, connect to last
// acknowledgement).
#include "cli/support/PosixDeviceLink.h"
#include "protocol/Operator.h"
#include "protocol/Session.h"
#include "resources/LogPane.h"
#include "tests/bench/download/MinimalClient.h"
#include "tests/e2e/DevsimProcess.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace mervix {
namespace {

constexpr std::size_t kImageSize = 2031616;

// Answers OK to the confirmation and No to "Retry?", and remembers whether
// anything but the final "Download finished" box was shown.
class QuietOperator : public Operator {
 public:
  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override {
    last = text;
    if (buttons == ButtonSet::OkCancel) return Answer::Ok;
    if (buttons == ButtonSet::YesNo) return Answer::No;
    return Answer::Ok;
  }
  void SetDownloadEnabled(bool) override {}
  std::string last;
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

void BM_SessionDownload(benchmark::State& state) {
  Setup& s = TheSetup();
  if (!s.ok) {
    state.SkipWithError(s.error.c_str());
    return;
  }
  for (auto _ : state) {
    cli::PosixDeviceLink link;
    QuietOperator op;
    LogPane log;
    ProtocolSession session(link, op, log);
    session.SetImage(s.imagePath, static_cast<std::uint32_t>(kImageSize));
    if (!session.ConnectDevice("127.0.0.1", s.sim.Port())) {
      state.SkipWithError("cannot connect to the simulator");
      return;
    }
    session.SendStatusQuery();
    while (session.HasConnection() &&
           link.WaitAndDispatch(10000) == cli::PosixDeviceLink::Dispatch::Notified) {
    }
    if (session.LastOutcome() != RunOutcome::Finished) {
      state.SkipWithError(("session run did not finish: " + op.last).c_str());
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
BENCHMARK(BM_SessionDownload)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mervix

BENCHMARK_MAIN();
