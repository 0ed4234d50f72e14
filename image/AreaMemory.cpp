#include "image/AreaMemory.h"

#include <cstdint>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace mervix {

#ifdef __linux__

namespace {

// Maps `length` bytes (a multiple of the huge page size) at an address
// that is a multiple of it too: a huge page only backs an aligned stretch.
// Null when the system refuses the mapping.
std::uint8_t* MapAligned(std::size_t length) {
  constexpr std::size_t kAlign = AreaMemory::kHugePageSize;
  const std::size_t reserved = length + kAlign;
  void* p = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kAlign - 1) & ~static_cast<std::uintptr_t>(kAlign - 1);
  // Give back what lies before and after the aligned stretch.
  if (aligned > start) ::munmap(p, aligned - start);
  const std::uintptr_t end = aligned + length;
  if (start + reserved > end) ::munmap(reinterpret_cast<void*>(end), start + reserved - end);
  return reinterpret_cast<std::uint8_t*>(aligned);
}

}  // namespace

#endif

AreaMemory::AreaMemory(std::size_t size) : size_(size) {
#ifdef __linux__
  const std::size_t length = (size + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
  if (length > 0) data_ = MapAligned(length);
  if (data_ != nullptr) {
    mapped_ = length;
    // Only a request: with huge pages switched off, or none free, the
    // mapping is served with ordinary pages.
    ::madvise(data_, length, MADV_HUGEPAGE);
    return;
  }
#endif
  data_ = new std::uint8_t[size > 0 ? size : 1];
}

AreaMemory::~AreaMemory() {
  if (mapped_ == 0) {
    delete[] data_;
    return;
  }
#ifdef __linux__
  ::munmap(data_, mapped_);
#endif
}

}  // namespace mervix
