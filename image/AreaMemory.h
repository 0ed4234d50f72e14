// The memory of a conversion's work area: one block of bytes for the life of
// the converter.
//
// On Linux the block is an anonymous mapping aligned to 2 MB that asks the
// kernel for transparent huge pages. A 2 MB area in ordinary 4 KB pages
// takes some 500 page faults the first time it is filled, and in a fresh
// `mervix-cli convert` process those cost more than reading and converting
// the whole S-record file; backed by a huge page it takes one. Where huge
// pages are not to be had the same mapping simply gets ordinary pages;
// other systems get ordinary heap memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mervix {

class AreaMemory {
 public:
  // `size` bytes, their contents unspecified. Throws std::bad_alloc when the
  // system has no memory for them.
  explicit AreaMemory(std::size_t size);
  ~AreaMemory();

  AreaMemory(const AreaMemory&) = delete;
  AreaMemory& operator=(const AreaMemory&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // The alignment a mapping is given on Linux: the size of a huge page.
  static constexpr std::size_t kHugePageSize = 2 * 1024 * 1024;

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped at data_; 0 when data_ is heap memory
};

}  // namespace mervix
