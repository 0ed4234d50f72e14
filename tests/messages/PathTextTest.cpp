// Taking paths apart under both systems' rules, whatever system runs the
// test: the separators each one knows, the drive only on Windows, dots in
// folder names never taken for an extension.
#include "resources/PathText.h"

#include <string>

#include <gtest/gtest.h>

namespace mervix {
namespace {

struct PathCase {
  const char* path;
  PathStyle style;
  std::size_t nameStart;
  const char* extension;
};

constexpr PathStyle kPosix = PathStyle::Posix;
constexpr PathStyle kWindows = PathStyle::Windows;

const PathCase kPathCases[] = {
    {"", kPosix, 0, ""},
    {"fw.mot", kPosix, 0, "mot"},
    {"/data/fw.MOT", kPosix, 6, "MOT"},
    {"/data/", kPosix, 6, ""},
    {"archive.tar.gz", kPosix, 0, "gz"},
    {"fw.", kPosix, 0, ""},
    {"/srv/Motor.d/fw", kPosix, 13, ""},        // a dot in a folder name only
    {"dir\\fw.mot", kPosix, 0, "mot"},          // a backslash is part of a POSIX name
    {"C:fw.mot", kPosix, 0, "mot"},             // so is a colon
    {"dir\\fw.mot", kWindows, 4, "mot"},
    {"a/b\\c.img", kWindows, 4, "img"},         // both separators, the last one counts
    {"a\\b/c.img", kWindows, 4, "img"},
    {"C:fw.mot", kWindows, 2, "mot"},           // a drive without a folder
    {"D:\\Fw.D\\fw", kWindows, 8, ""},          // a dot in a folder name only
    {"\\\\host\\share\\x.y.bin", kWindows, 13, "bin"},
};

TEST(PathText, FindsTheFileNameAndItsExtensionUnderEachSystemsRules) {
  for (const PathCase& c : kPathCases) {
    const char* style = c.style == kWindows ? "windows" : "posix";
    EXPECT_EQ(FileNameStart(c.path, c.style), c.nameStart) << c.path << " (" << style << ")";
    EXPECT_EQ(std::string(ExtensionOf(c.path, c.style)), c.extension) << c.path << " (" << style << ")";
    // Without a style the system's own rules apply.
    if (c.style == kNativePathStyle) {
      EXPECT_EQ(FileNameStart(c.path), c.nameStart) << c.path;
      EXPECT_EQ(std::string(ExtensionOf(c.path)), c.extension) << c.path;
    }
  }
}

}  // namespace
}  // namespace mervix
