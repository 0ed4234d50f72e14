#include "image/ImageHeader.h"

#include <cstdio>

#include "resources/MessageTable.h"

namespace mervix {

HeaderReadResult ReadImageHeader(const std::string& path, ImageAccess access, bool takeLength, ImageHeader& header) {
  // Cleared first: a short file must not show an earlier file's tag.
  header.Clear();
  HeaderReadResult result;
  InputFile file;
  result.status = file.Open(path, access, "image");
  if (!result.ok()) return result;
  if (takeLength) result.length = file.Length();
  std::size_t n = 0;
  result.status = file.ReadAt(0, header.bytes.data(), header.bytes.size(), &n);
  if (!result.ok()) {
    header.Clear();
    result.length = 0;
    return result;
  }
  header.filled = n;
  return result;
}

bool HasImageTag(const ImageHeader& header) {
  static constexpr std::uint8_t kTag[4] = {'R', 'E', 'V', '-'};
  for (std::size_t i = 0; i < 4; ++i) {
    if (header.bytes[kImageTagOffset + i] != kTag[i]) return false;
  }
  return true;
}

std::uint8_t MajorVersion(const ImageHeader& header) { return header.bytes[kMajorVersionOffset]; }

std::uint8_t MinorVersion(const ImageHeader& header) { return header.bytes[kMinorVersionOffset]; }

std::string ImageVersionText(const ImageHeader& header) {
  return FormatVersionText(MajorVersion(header), MinorVersion(header));
}

std::string ImageVersionNumber(const ImageHeader& header) {
  char number[16];
  std::snprintf(number, sizeof number, "%u.%02u", static_cast<unsigned>(MajorVersion(header)),
                static_cast<unsigned>(MinorVersion(header)));
  return number;
}

bool StartsWithSRecordMark(const ImageHeader& header) { return header.filled >= 1 && header.bytes[0] == 'S'; }

}  // namespace mervix
