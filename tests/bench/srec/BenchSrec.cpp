// Firmware S-record conversion speed beside srec_cat, on the same file in
// the same run: the S-record form (S2 records of 32 data bytes, CR LF) of a
// 2,031,616-byte pseudo-random image, the whole firmware area, converted to
// binary.
//
// The headline is the whole process, as an operator meets it: `mervix-cli
// convert` and `srec_cat -binary`, each spawned from start to exit, taking
// turns so that a busy machine slows both alike, best of several runs each.
// Each such run writes a new output: the one before is removed first,
// outside the timing. Overwritten instead, a run's truncation of the image
// waits for the write-back that ext4 started when the previous run closed
// it (it does so for a file truncated and written again), which couples
// the runs to the disk; those figures follow as well. Beside them, the
// start-up alone (`mervix-cli --version`, and the conversion of a file of
// one record), and the conversion inside this process: file to file, and
// text in memory. Every output is compared with the image; the exit status
// is 1 when one differs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/ByteSource.h"
#include "image/FirmwareConverter.h"
#include "tests/support/Programs.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSrecCat[] = "/usr/bin/srec_cat";

std::string SRecordText(const std::vector<std::uint8_t>& image) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "S00600004844521B\r\n";
  text.reserve(image.size() * 5 / 2);
  for (std::size_t at = 0; at < image.size(); at += 32) {
    const std::size_t n = std::min<std::size_t>(32, image.size() - at);
    std::vector<std::uint8_t> body = {static_cast<std::uint8_t>(n + 4), static_cast<std::uint8_t>(at >> 16),
                                      static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at)};
    body.insert(body.end(), image.begin() + at, image.begin() + at + n);
    unsigned sum = 0;
    for (auto b : body) sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum));
    text += "S2";
    for (auto b : body) {
      text += kDigits[b >> 4];
      text += kDigits[b & 15];
    }
    text += "\r\n";
  }
  text += "S804000000FB\r\n";
  return text;
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SameAsImage(const std::vector<char>& bytes, const std::vector<std::uint8_t>& image) {
  return std::equal(bytes.begin(), bytes.end(), image.begin(), image.end(),
                    [](char x, std::uint8_t y) { return static_cast<std::uint8_t>(x) == y; });
}

// Runs a program from spawn to exit, its standard output and error thrown
// away; the seconds it took, or a negative number when it could not be
// started or did not exit with 0.
double TimeProcess(const std::vector<std::string>& args) {
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best time of a program over the runs it was given.
struct Best {
  double seconds = 1e9;
  int runs = 0;
  bool failed = false;

  // `fresh`: an output path to remove before the run.
  void Run(const std::vector<std::string>& args, const std::string& fresh = "") {
    if (!fresh.empty()) unlink(fresh.c_str());
    const double t = TimeProcess(args);
    if (t < 0) {
      failed = true;
      return;
    }
    seconds = std::min(seconds, t);
    ++runs;
  }
  double ms() const { return seconds * 1e3; }
};

}  // namespace

int main() {
  char folder[] = "/tmp/mervix-bench-srec-XXXXXX";
  if (!mkdtemp(folder)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = folder;
  const std::string motPath = dir + "/image.mot", ours = dir + "/ours.img", theirs = dir + "/srec_cat.img";
  const std::string cliOut = dir + "/cli.img", tinyPath = dir + "/tiny.mot", tinyOut = dir + "/tiny.img";
  const std::string cliKept = dir + "/cli-kept.img", theirsKept = dir + "/srec_cat-kept.img";

  std::mt19937 rng(20261209);
  std::vector<std::uint8_t> image(mervix::kFirmwareAreaSize);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  const std::string text = SRecordText(image);
  WriteAll(motPath, text);
  WriteAll(tinyPath, SRecordText(std::vector<std::uint8_t>(image.begin(), image.begin() + 32)));
  const double megabytes = static_cast<double>(text.size()) / 1e6;
  std::printf("S-record text: %zu bytes (%zu records), image %zu bytes\n", text.size(), image.size() / 32,
              image.size());

  // In this process.
  constexpr int kRuns = 9;
  mervix::FirmwareConverter converter;
  double bestFile = 1e9, bestMemory = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    converter.SetBaseAddress(0);
    auto start = Clock::now();
    const mervix::ConversionResult r = converter.ConvertFirmwareSRecords(motPath, ours);
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    if (!r.ok()) {
      std::fprintf(stderr, "conversion failed: %s\n", r.reason.c_str());
      return 1;
    }
    bestFile = std::min(bestFile, t);

    mervix::ByteSource memory(text);
    start = Clock::now();
    const mervix::TextOutcome o = converter.ConvertText(memory);
    bestMemory = std::min(bestMemory, std::chrono::duration<double>(Clock::now() - start).count());
    if (!o.ok()) return 1;
  }
  const bool same = SameAsImage(ReadAll(ours), image);
  std::printf("in process:\n");
  std::printf("  mervix file to file:      %8.2f ms  %8.1f MB/s%s\n", bestFile * 1e3, megabytes / bestFile,
              same ? "" : "  (OUTPUT DIFFERS FROM THE IMAGE)");
  std::printf("  mervix text in memory:    %8.2f ms  %8.1f MB/s\n", bestMemory * 1e3, megabytes / bestMemory);

  // Whole processes, taking turns: several conversions by mervix-cli (the
  // shorter run, so the more exposed to a moment's disturbance) for each
  // one by srec_cat.
  const std::string cli = mervix::testing::CliPath();
  const std::vector<std::string> convert = {cli, "convert", "--base-address", "0", motPath, cliOut};
  const std::vector<std::string> version = {cli, "--version"};
  const std::vector<std::string> tiny = {cli, "convert", "--base-address", "0", tinyPath, tinyOut};
  const std::vector<std::string> convertOver = {cli, "convert", "--base-address", "0", motPath, cliKept};
  const std::vector<std::string> srecCat = {kSrecCat, motPath, "-o", theirs, "-binary"};
  const std::vector<std::string> srecCatOver = {kSrecCat, motPath, "-o", theirsKept, "-binary"};
  const bool haveSrecCat = access(kSrecCat, X_OK) == 0;
  constexpr int kRounds = 9, kCliRunsPerRound = 3;
  Best cliConvert, cliOver, cliVersion, cliTiny, srecCatRun, srecCatOverRun;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kCliRunsPerRound; ++i) {
      cliConvert.Run(convert, cliOut);
      cliOver.Run(convertOver);
      cliVersion.Run(version);
      cliTiny.Run(tiny, tinyOut);
    }
    if (haveSrecCat) {
      srecCatRun.Run(srecCat, theirs);
      srecCatOverRun.Run(srecCatOver);
    }
  }
  if (cliConvert.failed || cliOver.failed || cliVersion.failed || cliTiny.failed) {
    std::fprintf(stderr, "mervix-cli (%s) could not be run or failed\n", cli.c_str());
    return 1;
  }
  const bool cliSame = SameAsImage(ReadAll(cliOut), image) && SameAsImage(ReadAll(cliKept), image);
  std::printf("whole process, spawn to exit, best of %d runs (srec_cat: %d), taking turns:\n", cliConvert.runs,
              srecCatRun.runs);
  std::printf("  mervix-cli --version:             %8.2f ms\n", cliVersion.ms());
  std::printf("  mervix-cli convert, one record:   %8.2f ms\n", cliTiny.ms());
  std::printf("  mervix-cli convert:               %8.2f ms  %8.1f MB/s%s\n", cliConvert.ms(),
              megabytes / cliConvert.seconds, cliSame ? "" : "  (OUTPUT DIFFERS FROM THE IMAGE)");
  bool srecCatSame = true;
  if (haveSrecCat && !srecCatRun.failed && !srecCatOverRun.failed) {
    srecCatSame = SameAsImage(ReadAll(theirs), image) && SameAsImage(ReadAll(theirsKept), image);
    std::printf("  srec_cat -binary:                 %8.2f ms  %8.1f MB/s%s\n", srecCatRun.ms(),
                megabytes / srecCatRun.seconds, srecCatSame ? "" : "  (OUTPUT DIFFERS FROM THE IMAGE)");
    std::printf("  overwriting the previous output:  mervix-cli %.2f ms, srec_cat %.2f ms: %.1fx\n", cliOver.ms(),
                srecCatOverRun.ms(), srecCatOverRun.seconds / cliOver.seconds);
    std::printf("in-process file to file vs srec_cat (whole process): %.1fx\n", srecCatRun.seconds / bestFile);
    std::printf("conversion vs srec_cat (whole process): %.1fx  (target: at least 10x)\n",
                srecCatRun.seconds / cliConvert.seconds);
  } else {
    std::printf("srec_cat: not available or failed (package srecord)\n");
  }

  const std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  return same && cliSame && srecCatSame ? 0 : 1;
}
