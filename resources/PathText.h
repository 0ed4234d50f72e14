// Taking a path's text apart: where its file name starts and what its
// extension is. The one place that knows how each system separates the
// parts of a path; the file layer, the image naming and the user module's
// extension all ask here.
#pragma once

#include <cstddef>
#include <string_view>

namespace mervix {

// How paths are spelled and compared.
//  - Windows: '\', '/' and the drive ':' separate; names compare without
//    regard to case.
//  - Posix: '/' separates and names are case-sensitive.
enum class PathStyle { Posix, Windows };

#ifdef _WIN32
constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

// Where the last component (the file name) starts: just after the last
// separator, 0 when there is none. On Windows "C:fw.mot" has its name at 2.
std::size_t FileNameStart(std::string_view path, PathStyle style = kNativePathStyle);

// The file name's extension: the text after its last dot, without the dot;
// empty when the name has no dot (dots in folder names do not count). A
// view into `path`, always at its end.
std::string_view ExtensionOf(std::string_view path, PathStyle style = kNativePathStyle);

}  // namespace mervix
