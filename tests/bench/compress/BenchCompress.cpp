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
// Reports, best of several runs: MB/s of input and the ratio (coded size /
// input size) for both coders, and the peak heap of a compress-only run:
// the coder's own memory through a counting allocator, plus anything else
// taken from operator new while it runs (expected: nothing).
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

Run RunCoder(const std::vector<std::uint8_t>& image, mervix::OutputStream* out, mervix::Allocator* alloc) {
  mervix::ImageCompressor coder(alloc, &mervix::SilentDiagnostics());
  const auto t0 = Clock::now();
  if (coder.Start(out, mervix::kLh5DictionaryBits, 1) != 1) {
    std::fprintf(stderr, "bench_compress: the coder did not start\n");
    std::exit(1);
  }
  for (std::uint8_t b : image) coder.PutByte(b);
  const std::uint32_t n = coder.Finish(nullptr);
  return {std::chrono::duration<double>(Clock::now() - t0).count(), n};
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
  Run bestGzip{1e9, 0};
  for (int i = 0; i < kRounds; ++i) {
    CountingStream out;
    const Run c = RunCoder(image, &out, nullptr);
    if (c.seconds < bestCoder.seconds) bestCoder = c;
    const Run g = RunGzip(path);
    if (g.seconds > 0 && g.seconds < bestGzip.seconds) bestGzip = g;
  }

  // Compress-only run for the memory figures.
  CountingAllocator counting;
  CountingStream sink;
  gCounting = true;
  RunCoder(image, &sink, &counting);
  gCounting = false;

  const double mb = static_cast<double>(image.size()) / 1e6;
  std::printf("image: %zu bytes (firmware-like)\n", image.size());
  std::printf("%-14s %8.1f MB/s  %9zu bytes  ratio %.3f\n", "lh5 coder", mb / bestCoder.seconds, bestCoder.outBytes,
              static_cast<double>(bestCoder.outBytes) / static_cast<double>(image.size()));
  if (bestGzip.outBytes != 0) {
    std::printf("%-14s %8.1f MB/s  %9zu bytes  ratio %.3f\n", "gzip -6", mb / bestGzip.seconds, bestGzip.outBytes,
                static_cast<double>(bestGzip.outBytes) / static_cast<double>(image.size()));
    std::printf("speed lh5/gzip: %.2fx (%s)\n", bestGzip.seconds / bestCoder.seconds,
                bestCoder.seconds < bestGzip.seconds ? "faster than gzip -6" : "SLOWER than gzip -6");
  } else {
    std::printf("gzip -6: not available\n");
  }
  std::printf("peak heap of the coder: %zu bytes (plan 199027); other heap use while coding: %zu bytes in %zu calls\n",
              counting.peak, gNewBytes.load(), gNewCalls.load());

  std::remove(path.c_str());
  rmdir(dir);
  return 0;
}
