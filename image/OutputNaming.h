// Where the firmware conversion writes its image: beside the S-record file,
// under the same name in lower case, with the extension "mot" replaced by
// "img" (Router.MOT gives router.img).
#pragma once

#include <string>
#include <string_view>

#include "resources/PathText.h"

namespace mervix {

// True when the file name's extension is "mot", compared without regard to
// case; folders in the path do not count (motor/fw.bin has none).
bool HasSRecordExtension(std::string_view path, PathStyle style = kNativePathStyle);

// The image path for an S-record file: lower case as the style says (ASCII
// letters only, so other characters pass through unchanged), the extension
// "mot" replaced by "img". A name without the extension "mot" gets ".img"
// appended instead, so the image never takes the input's own name.
//  - Windows: names compare without regard to case, so the whole path is
//    lower-cased (D:\Fw\Router.MOT -> d:\fw\router.img) and still names the
//    same folder.
//  - Posix: lower-casing a folder would name another folder, so only the
//    file name is lowered.
std::string FirmwareImagePathFor(std::string_view inputPath, PathStyle style = kNativePathStyle);

}  // namespace mervix
