#include "image/OutputNaming.h"

namespace mervix {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Position where the file name starts (after the last separator).
std::size_t FileNameStart(std::string_view path, PathStyle style) {
  const std::size_t sep = style == PathStyle::Windows ? path.find_last_of("\\/:") : path.find_last_of('/');
  return sep == std::string_view::npos ? 0 : sep + 1;
}

// Position of the dot that starts the file name's extension, or npos.
std::size_t ExtensionDot(std::string_view path, PathStyle style) {
  const std::size_t nameStart = FileNameStart(path, style);
  const std::size_t dot = path.find_last_of('.');
  return (dot == std::string_view::npos || dot < nameStart) ? std::string_view::npos : dot;
}

bool IsMotExtension(std::string_view path, std::size_t dot) {
  if (dot == std::string_view::npos || path.size() - dot != 4) return false;
  return LowerAscii(path[dot + 1]) == 'm' && LowerAscii(path[dot + 2]) == 'o' && LowerAscii(path[dot + 3]) == 't';
}

}  // namespace

bool HasSRecordExtension(std::string_view path, PathStyle style) {
  return IsMotExtension(path, ExtensionDot(path, style));
}

std::string FirmwareImagePathFor(std::string_view inputPath, PathStyle style) {
  std::string out(inputPath);
  const std::size_t lowerFrom = style == PathStyle::Windows ? 0 : FileNameStart(inputPath, style);
  for (std::size_t i = lowerFrom; i < out.size(); ++i) out[i] = LowerAscii(out[i]);
  const std::size_t dot = ExtensionDot(out, style);
  if (IsMotExtension(out, dot)) {
    out.replace(dot + 1, 3, "img");
  } else {
    out += ".img";
  }
  return out;
}

}  // namespace mervix
