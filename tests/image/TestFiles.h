// Helpers of the image tests: a private temporary folder, whole-file reads
// and writes, and S-record lines built independently of the code under test.
#pragma once

#include "tests/support/TempFolder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

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

// True when anything has the name (a dangling link too).
inline bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found && !error;
}

inline bool MakeFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::create_directory(path, error);
}

// A named pipe that nobody reads or writes: a FIFO in the folder on POSIX,
// a pipe of the system's pipe namespace on Windows (its server end held
// here). Opening it must never stall the code under test.
class Pipe {
 public:
  Pipe(const TempDir& dir, const std::string& name) {
#ifdef _WIN32
    (void)dir;
    static int count = 0;
    path_ = "\\\\.\\pipe\\mervix-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) +
            "-" + name;
    server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (server_ == INVALID_HANDLE_VALUE) path_.clear();
#else
    path_ = dir / name;
    if (::mkfifo(path_.c_str(), 0600) != 0) path_.clear();
#endif
  }
  ~Pipe() {
#ifdef _WIN32
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
#endif
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
#ifdef _WIN32
  HANDLE server_ = INVALID_HANDLE_VALUE;
#endif
};

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
