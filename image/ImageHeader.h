// The 1,024-byte header every image begins with: the tag "REV-" at offset 8
// and the version bytes at offsets 12 (major) and 13 (minor). Nothing else
// of it is interpreted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "resources/FileAccess.h"

namespace mervix {

constexpr std::size_t kImageHeaderSize = 1024;
constexpr std::size_t kImageTagOffset = 8;
constexpr std::size_t kMajorVersionOffset = 12;
constexpr std::size_t kMinorVersionOffset = 13;

struct ImageHeader {
  std::array<std::uint8_t, kImageHeaderSize> bytes{};
  std::size_t filled = 0;  // bytes the last read put in; the rest are zero

  void Clear() {
    bytes.fill(0);
    filled = 0;
  }
};

struct HeaderReadResult {
  FileStatus status;        // why the file could not be read, if it could not
  std::uint64_t length = 0;  // the whole file's length, when it was asked for

  bool ok() const { return status.ok(); }
};

// Reads the header of the image file at `path`: clears `header`, opens the
// file with `access`, takes its length when `takeLength` is set, reads up to
// 1,024 bytes from offset 0 and closes the file. A file shorter than 1,024
// bytes fills only as many; the rest stays zero, so a file of fewer than 12
// bytes never shows a tag. A path that names no file, a folder, a file that
// cannot be opened (permissions, held by another program) or read is
// reported in the result with a reason naming the file; nothing is created.
HeaderReadResult ReadImageHeader(const std::string& path, ImageAccess access, bool takeLength, ImageHeader& header);

// True when bytes 8 to 11 are 'R', 'E', 'V', '-' exactly (upper case).
bool HasImageTag(const ImageHeader& header);

std::uint8_t MajorVersion(const ImageHeader& header);
std::uint8_t MinorVersion(const ImageHeader& header);

// "%s %d.%02d %s" from message 108, the major and minor version (unsigned)
// and message 120, in the active language: "Firmware version 1.05 ."
std::string ImageVersionText(const ImageHeader& header);
// The version alone, "1.02", the same in every language (records, events).
std::string ImageVersionNumber(const ImageHeader& header);

// True when the file read began with 'S' (0x53), the mark by which a user
// module file is taken for S-record text.
bool StartsWithSRecordMark(const ImageHeader& header);

}  // namespace mervix
