// mervix-cli info: what the header of an image file says.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "image/ImageHeader.h"
#include "resources/MessageTable.h"

namespace mervix::cli {
namespace {

int Run(const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
    std::fprintf(stderr, "usage: mervix-cli info FILE\n");
    return kExitUsage;
  }
  SetActiveLanguage(LanguageFromEnvironment());
  ImageHeader header;
  const HeaderReadResult read = ReadImageHeader(args[0], ImageAccess::Shared, true, header);
  if (!read.ok()) {
    std::fprintf(stderr, "mervix-cli info: %s\n", read.status.reason.c_str());
    return kExitFailure;
  }
  std::printf("file: %s\n", args[0].c_str());
  std::printf("length: %llu bytes\n", static_cast<unsigned long long>(read.length));
  if (HasImageTag(header)) {
    std::printf("tag: REV- present\n");
    std::printf("version: %s\n", ImageVersionText(header).c_str());
  } else {
    std::printf("tag: absent (not an image)\n");
  }
  return kExitSuccess;
}

const CommandRegistration reg({"info", "info FILE", "show an image file's tag, version and length", &Run});

}  // namespace
}  // namespace mervix::cli
