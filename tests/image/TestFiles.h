// Helpers of the image tests: a private temporary folder, whole-file reads
// and writes, and S-record lines built independently of the code under test.
#pragma once

#include "tests/support/TempFolder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mervix::test {

using TempDir = mervix::testing::TempFolder;

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// One S1/S2/S3 record with a correct byte count and checksum, upper-case hex.
inline std::string DataRecord(int type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  const int addressBytes = type + 1;
  std::vector<std::uint8_t> body;
  body.push_back(static_cast<std::uint8_t>(addressBytes + data.size() + 1));
  for (int i = addressBytes - 1; i >= 0; --i) body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : body) sum += b;
  body.push_back(static_cast<std::uint8_t>(~sum));
  std::string line = "S" + std::to_string(type);
  for (auto b : body) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
  return line;
}

}  // namespace mervix::test
