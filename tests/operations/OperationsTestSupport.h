// Helpers of the operations tests: a private temporary folder, images and
// S-record files built here (independently of the code under test), and a
// device scripted for a whole download.
#pragma once

#include "operations/SettingsStore.h"
#include "tests/support/ScriptedRunner.h"
#include "tests/support/TempFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace mervix::testing {

using Bytes = std::vector<std::uint8_t>;

// An image of |size| bytes (at least 14) with the tag "REV-" at offset 8
// (unless |tagged| is false) and the version bytes at 12 and 13; the rest a
// pseudo-random pattern with enough repetition to compress.
inline Bytes MakeImage(std::size_t size, std::uint8_t major, std::uint8_t minor, bool tagged = true,
                       unsigned seed = 1) {
  Bytes image(size);
  std::uint32_t x = seed * 2654435761u + 7;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    image[i] = static_cast<std::uint8_t>((x >> 16) % 23);
  }
  if (size >= 14) {
    const char* tag = tagged ? "REV-" : "rev-";
    for (int i = 0; i < 4; ++i) image[8 + i] = static_cast<std::uint8_t>(tag[i]);
    image[12] = major;
    image[13] = minor;
  }
  return image;
}

// The bytes as S3 records of 32 data bytes from |address| on, between an S0
// and an S7 record, with CR LF line ends and correct checksums.
inline std::string SRecords(std::uint32_t address, const Bytes& data) {
  auto hex = [](std::string* out, unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int d = digits - 1; d >= 0; --d) out->push_back(kDigits[(value >> (4 * d)) & 0xF]);
  };
  std::string text = "S00600004844521B\r\n";
  for (std::size_t off = 0; off < data.size(); off += 32) {
    const std::size_t n = std::min<std::size_t>(32, data.size() - off);
    const std::uint32_t a = address + static_cast<std::uint32_t>(off);
    const unsigned count = static_cast<unsigned>(n + 5);
    unsigned sum = count + (a >> 24) + ((a >> 16) & 0xFF) + ((a >> 8) & 0xFF) + (a & 0xFF);
    std::string line = "S3";
    hex(&line, count, 2);
    hex(&line, a, 8);
    for (std::size_t i = 0; i < n; ++i) {
      hex(&line, data[off + i], 2);
      sum += data[off + i];
    }
    hex(&line, (~sum) & 0xFF, 2);
    text += line + "\r\n";
  }
  text += "S70500000000FA\r\n";
  return text;
}

// Scripts a device that answers a whole download of |imageSize| bytes: the
// status query (status 1, the switch and the reconnect first unless
// |downloadMode|), the sector request of a user module run, the size
// request and every block.
inline void ScriptWholeDownload(ScriptedRunner& link, std::size_t imageSize, bool downloadMode, bool userModule) {
  if (!downloadMode) {
    link.ThenFrame(StatusFrame(1));
    link.ThenFrame(AckFrame());
  }
  link.ThenFrame(StatusFrame(2));
  if (userModule) link.ThenFrame(StatusFrame(3));
  link.ThenFrame(AckFrame());
  for (std::size_t sent = 0; sent < imageSize; sent += 65536) link.ThenFrame(AckFrame());
}

// The frames' command bytes (byte 1), in order: 0x21 status, 0x20 switch,
// 0x23 sector, 0x22 size.
inline std::vector<int> FrameCodes(const ScriptedRunner& link) { return link.FrameCodes(); }

inline std::uint32_t FrameValue(const ProtocolFrame& f) {
  return (std::uint32_t{f[2]} << 24) | (std::uint32_t{f[3]} << 16) | (std::uint32_t{f[4]} << 8) | f[5];
}

}  // namespace mervix::testing
