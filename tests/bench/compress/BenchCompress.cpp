// Compression speed and memory of the image coder beside `gzip -6`, on the
// same firmware-like 2,031,616-byte image in the same run.
//
// The image (tests/compress/FirmwareLikeImage.h): a 1024-byte header with
// the "REV-" tag, then sections up to seven eighths of the area, weighted as
// in a typical embedded image: machine code drawn from a vocabulary of
// recurring instruction sequences (1/2), initialised data tables of 32-bit
// words (pointers, small integers, -1, flags; 1/4), message strings (1/8),
// waveform and ramp tables (1/16), random (already compressed) resources
// (1/16); 0xFF padding to 256-byte boundaries, and a zero-filled last eighth.
//
// Reports, best of several runs:
// - in the process: MB/s of input and the ratio (coded size / input size)
//   of the coder fed byte by byte (PutByte, one thread) and given the whole
//   image (PutAll, parsed in two pieces on two threads), and of gzip -6;
// - whole processes, from start to exit, on the same file in the same run:
//   `mervix-cli compress IMAGE OUT` beside `gzip -6 -c IMAGE > FILE`, their
//   ratio against the target of at least 2x, and the start-up of mervix-cli
//   alone (`mervix-cli --version`);
// - the peak heap of a compress-only run: the coder's own memory through a
//   counting allocator, plus anything else taken from operator new while it
//   runs (expected: nothing).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "compress/ImageCompressor.h"
#include "compress/Lh5Decoder.h"
#include "tests/compress/FirmwareLikeImage.h"
#include "tests/support/Programs.h"

extern char** environ;

namespace {

// operator new accounting for the whole process, switched on around the
// compress-only run.
std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gNewBytes{0};
std::atomic<std::size_t> gNewCalls{0};

}  // namespace

void* operator new(std::size_t n) {
  if (gCounting.load(std::memory_order_relaxed)) {
    gNewBytes += n;
    gNewCalls += 1;
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// The replacement pair new/malloc, delete/free is consistent; GCC's check
// cannot see that across the replaced operators.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using Clock = std::chrono::steady_clock;

class CountingAllocator : public mervix::Allocator {
 public:
  void* Allocate(std::size_t bytes) override {
    void* p = std::malloc(bytes + sizeof(std::max_align_t));
    if (p == nullptr) return nullptr;
    *static_cast<std::size_t*>(p) = bytes;
    live += bytes;
    peak = std::max(peak, live);
    return static_cast<char*>(p) + sizeof(std::max_align_t);
  }
  void Release(void* block) override {
    if (block == nullptr) return;
    char* p = static_cast<char*>(block) - sizeof(std::max_align_t);
    live -= *reinterpret_cast<std::size_t*>(p);
    std::free(p);
  }
  std::size_t live = 0;
  std::size_t peak = 0;
};

// Counts the coded bytes without keeping them (no allocation).
class CountingStream : public mervix::OutputStream {
 public:
  void WriteByte(std::uint8_t) override { ++bytes; }
  void Write(const std::uint8_t*, std::size_t n) override { bytes += n; }
  std::size_t bytes = 0;
};

struct Run {
  double seconds;
  std::size_t outBytes;
};

// The coder fed byte by byte, or given the whole image at once.
Run RunCoder(const std::vector<std::uint8_t>& image, mervix::OutputStream* out, mervix::Allocator* alloc,
             bool whole = false) {
  mervix::ImageCompressor coder(alloc, &mervix::SilentDiagnostics());
  const auto t0 = Clock::now();
  if (coder.Start(out, mervix::kLh5DictionaryBits, 1) != 1) {
    std::fprintf(stderr, "bench_compress: the coder did not start\n");
    std::exit(1);
  }
  if (whole) {
    coder.PutAll(image.data(), image.size());
  } else {
    for (std::uint8_t b : image) coder.PutByte(b);
  }
  const std::uint32_t n = coder.Finish(nullptr);
  return {std::chrono::duration<double>(Clock::now() - t0).count(), n};
}

// Runs a program from start to exit, its standard output into outPath
// (standard error to /dev/null); seconds, or 0 when it did not exit with 0.
double RunProcess(const std::vector<std::string>& argv, const std::string& outPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto t0 = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  int status = 0;
  const bool ok = spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  posix_spawn_file_actions_destroy(&actions);
  return ok ? s : 0;
}

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
  std::vector<std::uint8_t> data;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  std::uint8_t buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  return data;
}

// gzip -6 reading the file and writing into a pipe that is drained here.
Run RunGzip(const std::string& path) {
  const std::string command = "gzip -6 -c '" + path + "'";
  const auto t0 = Clock::now();
  std::FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return {0, 0};
  static char buf[1 << 16];
  std::size_t total = 0;
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) total += n;
  const int status = pclose(p);
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  if (status != 0) return {0, 0};
  return {s, total};
}

}  // namespace

int main() {
  const std::vector<std::uint8_t> image = mervix::testing::FirmwareLikeImage();
  char dir[] = "/tmp/bench-compress-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/firmware.img";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) return 1;

  // Check once that the stream is right before timing it.
  mervix::MemoryOutputStream check;
  RunCoder(image, &check, nullptr);
  std::vector<std::uint8_t> decoded;
  std::string error;
  if (!mervix::DecodeLh5(check.Bytes().data(), check.Bytes().size(), std::nullopt, &decoded, &error) ||
      decoded != image) {
    std::fprintf(stderr, "bench_compress: the stream does not decode to the image (%s)\n", error.c_str());
    return 1;
  }

  constexpr int kRounds = 7;
  Run bestCoder{1e9, 0};
  Run bestWhole{1e9, 0};
  Run bestGzip{1e9, 0};
  for (int i = 0; i < kRounds; ++i) {
    CountingStream out;
    const Run c = RunCoder(image, &out, nullptr);
    if (c.seconds < bestCoder.seconds) bestCoder = c;
    CountingStream wholeOut;
    const Run w = RunCoder(image, &wholeOut, nullptr, true);
    if (w.seconds < bestWhole.seconds) bestWhole = w;
    const Run g = RunGzip(path);
    if (g.seconds > 0 && g.seconds < bestGzip.seconds) bestGzip = g;
  }

  // Whole processes, alternating, on the same file. The coder's file must
  // be the stream and the trailer.
  const std::string cli = mervix::testing::CliPath();
  const std::string coded = std::string(dir) + "/Inter.img";
  const std::string gzipped = std::string(dir) + "/firmware.img.gz";
  const std::string console = std::string(dir) + "/console.txt";
  std::vector<std::uint8_t> expected = check.Bytes();
  for (char t : std::string("TOVA")) expected.push_back(static_cast<std::uint8_t>(t));
  const bool cliWorks = RunProcess({cli, "compress", path, coded}, console) > 0 && ReadWhole(coded) == expected;
  if (!cliWorks) std::fprintf(stderr, "bench_compress: %s compress did not write the expected file\n", cli.c_str());
  constexpr int kProcessRounds = 11;
  double cliSeconds = 1e9;
  double gzipSeconds = 1e9;
  double startSeconds = 1e9;
  for (int i = 0; cliWorks && i < kProcessRounds; ++i) {
    const double c = RunProcess({cli, "compress", path, coded}, console);
    if (c > 0) cliSeconds = std::min(cliSeconds, c);
    const double g = RunProcess({"gzip", "-6", "-c", path}, gzipped);
    if (g > 0) gzipSeconds = std::min(gzipSeconds, g);
    const double v = RunProcess({cli, "--version"}, console);
    if (v > 0) startSeconds = std::min(startSeconds, v);
  }

  // Compress-only run for the memory figures.
  CountingAllocator counting;
  CountingStream sink;
  gCounting = true;
  RunCoder(image, &sink, &counting);
  gCounting = false;

  const double mb = static_cast<double>(image.size()) / 1e6;
  std::printf("image: %zu bytes (firmware-like)\n", image.size());
  std::printf("in the process:\n");
  std::printf("  %-30s %8.1f MB/s  %9zu bytes  ratio %.3f\n", "lh5 coder, PutByte (1 thread)",
              mb / bestCoder.seconds, bestCoder.outBytes,
              static_cast<double>(bestCoder.outBytes) / static_cast<double>(image.size()));
  std::printf("  %-30s %8.1f MB/s  %9zu bytes  ratio %.3f\n", "lh5 coder, PutAll (2 threads)",
              mb / bestWhole.seconds, bestWhole.outBytes,
              static_cast<double>(bestWhole.outBytes) / static_cast<double>(image.size()));
  if (bestGzip.outBytes != 0) {
    std::printf("  %-30s %8.1f MB/s  %9zu bytes  ratio %.3f\n", "gzip -6 (through a pipe)", mb / bestGzip.seconds,
                bestGzip.outBytes, static_cast<double>(bestGzip.outBytes) / static_cast<double>(image.size()));
    std::printf("  speed lh5/gzip: %.2fx byte by byte, %.2fx whole\n", bestGzip.seconds / bestCoder.seconds,
                bestGzip.seconds / bestWhole.seconds);
  } else {
    std::printf("  gzip -6: not available\n");
  }
  std::printf("whole process, best of %d:\n", kProcessRounds);
  if (cliWorks && cliSeconds < 1e9 && gzipSeconds < 1e9) {
    std::printf("  %-30s %8.1f ms\n", "mervix-cli compress", cliSeconds * 1e3);
    std::printf("  %-30s %8.1f ms\n", "gzip -6 -c", gzipSeconds * 1e3);
    std::printf("  %-30s %8.1f ms\n", "mervix-cli --version (start-up)", startSeconds * 1e3);
    std::printf("coder vs gzip -6 (whole process): %.2fx  (target: at least 2x)%s\n", gzipSeconds / cliSeconds,
                gzipSeconds / cliSeconds >= 2.0 ? "" : "  BELOW TARGET");
  } else {
    std::printf("  not measured (mervix-cli or gzip -6 failed)\n");
  }
  std::printf("peak heap of the coder: %zu bytes (plan 199027); other heap use while coding: %zu bytes in %zu calls\n",
              counting.peak, gNewBytes.load(), gNewCalls.load());

  std::remove(path.c_str());
  std::remove(coded.c_str());
  std::remove(gzipped.c_str());
  std::remove(console.c_str());
  rmdir(dir);
  return 0;
}
