#include "resources/PathText.h"

namespace mervix {

std::size_t FileNameStart(std::string_view path, PathStyle style) {
  const std::size_t separator = style == PathStyle::Windows ? path.find_last_of("/\\:") : path.find_last_of('/');
  return separator == std::string_view::npos ? 0 : separator + 1;
}

std::string_view ExtensionOf(std::string_view path, PathStyle style) {
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || dot < FileNameStart(path, style)) return std::string_view();
  return path.substr(dot + 1);
}

}  // namespace mervix
