// Synthetic inputs that look like what the coder meets in practice, for the
// tests and the benchmark. Every generator is deterministic (seeded).
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mervix::testing {

// Machine-code-like bytes: 32-bit big-endian instruction words. Compiled
// code repeats itself: the same idioms (prologues, loads of a base register,
// compare-and-branch, calls) recur with small changes of registers and
// offsets. So the generator draws from a vocabulary of short instruction
// sequences, favouring a few (a Zipf-like choice), and perturbs one field
// of some words.
inline std::vector<std::uint8_t> MachineCodeLike(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  static const std::uint32_t kOpcodes[] = {0x7C000000, 0x38000000, 0x80000000, 0x90000000, 0x48000001,
                                           0x40820000, 0x2C000000, 0x4E800020, 0x94210000, 0x7C0802A6,
                                           0x81610000, 0x3D200000, 0x60000000, 0x5463103A};
  std::mt19937 vocab(7);  // the same vocabulary for every seed, like one compiler
  std::vector<std::vector<std::uint32_t>> idioms(512);
  for (auto& idiom : idioms) {
    const int words = 2 + static_cast<int>(vocab() % 10);
    for (int w = 0; w < words; ++w) {
      std::uint32_t word = kOpcodes[vocab() % 14];
      word |= (vocab() % 8 + 1) << 21 | (vocab() % 4) << 16 | (vocab() % 32) * 4;
      idiom.push_back(word);
    }
  }
  std::vector<std::uint8_t> out;
  out.reserve(size + 64);
  while (out.size() < size) {
    // Index with density falling like 1/(k+1): small k far more often.
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const std::size_t k = static_cast<std::size_t>(std::pow(513.0, u)) - 1;
    for (std::uint32_t word : idioms[k % idioms.size()]) {
      if (rng() % 5 == 0) word = (word & 0xFFFF0000u) | (rng() % 1024) * 4;  // another offset
      if (rng() % 11 == 0) word ^= (rng() % 8) << 21;                      // another register
      for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(word >> s));
    }
  }
  out.resize(size);
  return out;
}

// Text of messages and identifiers, as in the string section of a firmware.
inline std::vector<std::uint8_t> TextLike(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* kWords[] = {"flash",   "sector", "erase",  "write",   "error",  "timeout", "device",
                                 "network", "config", "module", "address", "status", "invalid", "buffer",
                                 "the",     "of",     "is",     "not",     "ready",  "%d",      "%s"};
  std::string text;
  while (text.size() < size) {
    const int words = 2 + static_cast<int>(rng() % 8);
    for (int w = 0; w < words; ++w) {
      if (w) text += ' ';
      text += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    }
    text += (rng() % 3 == 0) ? "\r\n" : std::string(1, '\0');
  }
  text.resize(size);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Initialised data: tables of 32-bit big-endian words as a linker lays them
// out: pointers into the image, small integers, -1 markers, and flag words.
// Many short repeats and few long ones.
inline std::vector<std::uint8_t> DataTablesLike(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out;
  out.reserve(size + 4);
  while (out.size() < size) {
    std::uint32_t w;
    const unsigned kind = rng() % 8;
    if (kind < 3) {
      w = 0x00100000u + (rng() % 0x40000) * 4;  // pointer into the image
    } else if (kind < 6) {
      w = rng() % 64;  // small integer
    } else if (kind < 7) {
      w = 0xFFFFFFFFu;  // unset / -1
    } else {
      w = (rng() % 16) << 24 | (rng() % 256);  // flags and a byte
    }
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(w >> s));
  }
  out.resize(size);
  return out;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// A firmware image of the size of the conversion area (2,031,616 bytes
// unless told otherwise): a 1024-byte header with the version tag "REV-" at
// offset 8, then sections up to seven eighths of the area, drawn with the
// weights of a typical embedded image: machine code (1/2), initialised data
// tables (1/4), message strings (1/8), constant waveform/ramp tables
// (1/16) and compressed-looking resources (1/16); 0xFF padding to 256-byte
// boundaries between sections, and a zero-filled last eighth beyond the
// last section, as a conversion leaves the area.
inline std::vector<std::uint8_t> FirmwareLikeImage(std::size_t size = 2031616, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> img(size, 0);
  std::mt19937 rng(seed);
  const char header[] = "\x01\x00\x00\x00\x00\x10\x00\x00REV-\x02\x07";
  for (std::size_t i = 0; i + 1 < sizeof header && i < size; ++i) img[i] = static_cast<std::uint8_t>(header[i]);
  std::size_t pos = 1024;
  const std::size_t used = size / 8 * 7;
  auto put = [&](const std::vector<std::uint8_t>& part) {
    for (std::uint8_t b : part) {
      if (pos >= used) return;
      img[pos++] = b;
    }
  };
  while (pos < used) {
    const unsigned pick = rng() % 16;
    if (pick < 8) {
      put(MachineCodeLike(16384 + rng() % 65536, static_cast<std::uint32_t>(rng())));
    } else if (pick < 12) {
      put(DataTablesLike(8192 + rng() % 32768, static_cast<std::uint32_t>(rng())));
    } else if (pick < 14) {
      put(TextLike(2048 + rng() % 16384, static_cast<std::uint32_t>(rng())));
    } else if (pick < 15) {
      std::vector<std::uint8_t> table;
      const std::size_t n = 1024 + rng() % 8192;
      for (std::size_t i = 0; i < n; ++i) {
        // A 16-bit triangle wave, big-endian, then a ramp of offsets.
        const unsigned v = (i % 512 < 256) ? (i % 256) * 97 : (255 - i % 256) * 97;
        table.push_back(static_cast<std::uint8_t>(v >> 8));
        table.push_back(static_cast<std::uint8_t>(v));
        table.push_back(static_cast<std::uint8_t>(i * 4 >> 8));
        table.push_back(static_cast<std::uint8_t>(i * 4));
      }
      put(table);
    } else {
      put(RandomBytes(512 + rng() % 8192, static_cast<std::uint32_t>(rng())));
    }
    // Alignment padding between sections.
    while (pos < used && pos % 256 != 0) img[pos++] = 0xFF;
  }
  return img;
}

}  // namespace mervix::testing
