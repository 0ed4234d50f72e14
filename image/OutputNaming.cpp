#include "image/OutputNaming.h"

namespace mervix {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsMot(std::string_view extension) {
  return extension.size() == 3 && LowerAscii(extension[0]) == 'm' && LowerAscii(extension[1]) == 'o' &&
         LowerAscii(extension[2]) == 't';
}

}  // namespace

bool HasSRecordExtension(std::string_view path, PathStyle style) { return IsMot(ExtensionOf(path, style)); }

std::string FirmwareImagePathFor(std::string_view inputPath, PathStyle style) {
  std::string out(inputPath);
  const std::size_t lowerFrom = style == PathStyle::Windows ? 0 : FileNameStart(inputPath, style);
  for (std::size_t i = lowerFrom; i < out.size(); ++i) out[i] = LowerAscii(out[i]);
  if (HasSRecordExtension(out, style)) {
    out.replace(out.size() - 3, 3, "img");  // the extension is the path's last three characters
  } else {
    out += ".img";
  }
  return out;
}

}  // namespace mervix
