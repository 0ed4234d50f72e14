// mervix-cli convert: an S-record file to a binary image, as the firmware
// download (relative to a base address) or the user module download
// (absolute addresses, "inter.img") prepares it.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "image/FirmwareConverter.h"
#include "image/HexText.h"
#include "image/OutputNaming.h"
#include "image/UserModuleConverter.h"

namespace mervix::cli {
namespace {

constexpr const char kUsage[] = "convert (--base-address HEX IN.mot | --module IN) [OUT]";

int UsageError(const char* what) {
  std::fprintf(stderr, "mervix-cli convert: %s\nusage: mervix-cli %s\n", what, kUsage);
  return kExitUsage;
}

int Run(const std::vector<std::string>& args) {
  bool module = false;
  bool haveBase = false;
  std::string baseText;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--base-address") {
      if (i + 1 >= args.size()) return UsageError("--base-address needs a hexadecimal address");
      baseText = args[++i];
      haveBase = true;
    } else if (a == "--module") {
      module = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError(("unknown option " + a).c_str());
    } else {
      paths.push_back(a);
    }
  }
  if (module == haveBase) return UsageError("give either --base-address HEX or --module");
  if (paths.empty() || paths.size() > 2) return UsageError("give the input file and at most one output file");
  // The window takes whatever was typed; here a text that does not stand
  // for one plain 32-bit number ("0x100", "1 0", 9 digits) is refused
  // rather than converted relative to the wrong base.
  if (haveBase && !IsPlainAddressText(baseText)) {
    return UsageError(("base address '" + baseText + "' is not 1 to 8 hexadecimal digits").c_str());
  }
  const std::string& input = paths[0];

  if (module) {
    const std::string output = paths.size() > 1 ? paths[1] : kUserModuleImageName;
    UserModuleConverter converter;
    const ConversionResult result = converter.ConvertUserModuleSRecords(input, output);
    if (!result.ok()) {
      std::fprintf(stderr, "mervix-cli convert: %s\n", result.reason.c_str());
      return kExitFailure;
    }
    std::printf("%s: %u bytes, lowest address %X\n", result.outputPath.c_str(),
                static_cast<unsigned>(result.imageLength), static_cast<unsigned>(converter.lowestAddress()));
    return kExitSuccess;
  }

  const std::string output = paths.size() > 1 ? paths[1] : FirmwareImagePathFor(input);
  FirmwareConverter converter;
  converter.SetBaseAddress(ParseAddressText(baseText));
  const ConversionResult result = converter.ConvertFirmwareSRecords(input, output);
  if (!result.ok()) {
    std::fprintf(stderr, "mervix-cli convert: %s\n", result.reason.c_str());
    return kExitFailure;
  }
  std::printf("%s: %u bytes from base address %X\n", result.outputPath.c_str(),
              static_cast<unsigned>(result.imageLength), static_cast<unsigned>(converter.baseAddress()));
  return kExitSuccess;
}

const CommandRegistration reg({"convert", kUsage, "convert an S-record file into a binary image", &Run, true});

}  // namespace
}  // namespace mervix::cli
