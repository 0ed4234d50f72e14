#include "tests/compress/Lh5TestSupport.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace mervix::testing {

void* ScriptedAllocator::Allocate(std::size_t bytes) {
  const int index = requests++;
  requestedSizes.push_back(bytes);
  if (index >= failFirst && index <= failLast) return nullptr;
  void* p = std::malloc(bytes);
  if (p == nullptr) return nullptr;
  live_.push_back({p, bytes});
  liveBytes += bytes;
  liveBlocks += 1;
  if (liveBytes > peakBytes) peakBytes = liveBytes;
  return p;
}

void ScriptedAllocator::Release(void* block) {
  if (block == nullptr) return;
  for (auto it = live_.begin(); it != live_.end(); ++it) {
    if (it->first == block) {
      liveBytes -= it->second;
      liveBlocks -= 1;
      live_.erase(it);
      std::free(block);
      return;
    }
  }
  std::abort();  // released something never allocated: a real fault
}

CompressResult Compress(const std::vector<std::uint8_t>& input, Allocator* allocator, bool recordTokens) {
  CompressResult result;
  RecordingSink sink;
  TokenRecorder recorder;
  MemoryOutputStream out;
  ImageCompressor coder(allocator, &sink);
  if (recordTokens) coder.SetTokenObserver(&recorder);
  result.started = coder.Start(&out, 13, 1);
  if (result.started == 1) {
    for (std::uint8_t b : input) coder.PutByte(b);
    result.returned = coder.Finish(&result.inputSize);
  }
  result.stream = out.Bytes();
  result.diagnostics = sink.output;
  result.tokens = recorder.tokens;
  return result;
}

std::uint16_t Crc16(const std::vector<std::uint8_t>& data) {
  std::uint16_t crc = 0;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

namespace {
void PutLe(std::vector<std::uint8_t>* v, std::uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v->push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
}  // namespace

std::vector<std::uint8_t> MakeLh5Archive(const std::vector<std::uint8_t>& stream,
                                         const std::vector<std::uint8_t>& original, const std::string& name) {
  // Level-0 header: size, checksum, then from offset 2 the method, packed
  // and original sizes, DOS time stamp, attribute, level, name, CRC-16.
  std::vector<std::uint8_t> h;
  for (char c : std::string("-lh5-")) h.push_back(static_cast<std::uint8_t>(c));
  PutLe(&h, static_cast<std::uint32_t>(stream.size()), 4);
  PutLe(&h, static_cast<std::uint32_t>(original.size()), 4);
  PutLe(&h, 0x5A210000u, 4);  // 2025-01-01 00:00
  h.push_back(0x20);          // archive attribute
  h.push_back(0x00);          // header level 0
  h.push_back(static_cast<std::uint8_t>(name.size()));
  for (char c : name) h.push_back(static_cast<std::uint8_t>(c));
  PutLe(&h, Crc16(original), 2);
  std::uint8_t sum = 0;
  for (std::uint8_t b : h) sum = static_cast<std::uint8_t>(sum + b);
  std::vector<std::uint8_t> archive;
  archive.push_back(static_cast<std::uint8_t>(h.size()));
  archive.push_back(sum);
  archive.insert(archive.end(), h.begin(), h.end());
  archive.insert(archive.end(), stream.begin(), stream.end());
  archive.push_back(0);  // end of archive
  return archive;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  // An empty vector's data() may be null, which fwrite must not be given.
  const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  data->clear();
  std::uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

int RunCommand(const std::string& command, std::string* output) {
#ifdef _WIN32
  std::FILE* p = _popen(command.c_str(), "rb");
#else
  std::FILE* p = popen(command.c_str(), "r");
#endif
  if (!p) return -1;
  char buf[4096];
  std::size_t n;
  if (output) output->clear();
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
    if (output) output->append(buf, n);
  }
#ifdef _WIN32
  return _pclose(p);  // the command's exit code, or -1
#else
  const int status = pclose(p);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
#endif
}

}  // namespace mervix::testing
