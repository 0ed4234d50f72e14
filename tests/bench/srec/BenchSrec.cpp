// Firmware S-record conversion speed beside srec_cat, on the same file in
// the same run: the S-record form (S2 records of 32 data bytes) of a
// 2,031,616-byte pseudo-random image, converted to binary.
// Prints MB/s of S-record text for both and the ratio; best of several runs.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

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

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double RunSrecCat(const std::string& in, const std::string& out) {
  std::string a0 = "srec_cat", a1 = in, a2 = "-o", a3 = out, a4 = "-binary";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, "/usr/bin/srec_cat", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  char folder[] = "/tmp/mervix-bench-srec-XXXXXX";
  if (!mkdtemp(folder)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = folder;
  const std::string motPath = dir + "/image.mot", ours = dir + "/ours.img", theirs = dir + "/srec_cat.img";

  std::mt19937 rng(20261209);
  std::vector<std::uint8_t> image(mervix::kFirmwareAreaSize);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  const std::string text = SRecordText(image);
  {
    std::ofstream out(motPath, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  const double megabytes = static_cast<double>(text.size()) / 1e6;
  std::printf("S-record text: %zu bytes (%zu records), image %zu bytes\n", text.size(), image.size() / 32,
              image.size());

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

  double bestSrecCat = 1e9;
  bool haveSrecCat = true;
  for (int i = 0; i < 5; ++i) {
    const double t = RunSrecCat(motPath, theirs);
    if (t < 0) {
      haveSrecCat = false;
      break;
    }
    bestSrecCat = std::min(bestSrecCat, t);
  }

  const std::vector<char> a = ReadAll(ours);
  const bool same = std::equal(a.begin(), a.end(), image.begin(), image.end(),
                               [](char x, std::uint8_t y) { return static_cast<std::uint8_t>(x) == y; });
  std::printf("mervix file to file:   %8.2f ms  %8.1f MB/s%s\n", bestFile * 1e3, megabytes / bestFile,
              same ? "" : "  (OUTPUT DIFFERS FROM THE IMAGE)");
  std::printf("mervix text in memory: %8.2f ms  %8.1f MB/s\n", bestMemory * 1e3, megabytes / bestMemory);
  if (haveSrecCat) {
    const bool agree = ReadAll(theirs) == a;
    std::printf("srec_cat -binary:      %8.2f ms  %8.1f MB/s%s\n", bestSrecCat * 1e3, megabytes / bestSrecCat,
                agree ? "" : "  (OUTPUT DIFFERS FROM MERVIX)");
    std::printf("ratio (srec_cat time / mervix time): %.1fx  (target: at least 5x)\n", bestSrecCat / bestFile);
  } else {
    std::printf("srec_cat: not available (package srecord)\n");
  }
  const std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  return same ? 0 : 1;
}
