// What the benchmarks share: the firmware-sized image they send, and the
// machine's load average printed beside their figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace mervix::bench {

// The size of the images the fleet and download benchmarks send.
constexpr std::size_t kImageSize = 2031616;

// kImageSize bytes that repeat no short pattern.
inline std::vector<std::uint8_t> BenchImage() {
  std::vector<std::uint8_t> image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  return image;
}

// The 1, 5 and 15 minute load averages, "0.12 0.30 0.41".
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace mervix::bench
