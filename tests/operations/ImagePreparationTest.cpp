// The preparation functions without any operator: what each input becomes,
// and the fields the front ends' flows rely on (the held image, the path
// the log names, the module name the window keeps, silent or boxed).
#include "operations/ImagePreparation.h"
#include "operations/Sha256.h"
#include "resources/MessageTable.h"
#include "tests/operations/OperationsTestSupport.h"

#include <gtest/gtest.h>

namespace mervix {
namespace {

using namespace mervix::testing;

struct Case {
  const char* name;
  std::function<PreparationResult(const TempFolder&)> prepare;
  PreparationEnd end;
  bool silent;
  const char* sent;        // the file held to be sent (or named in the log), "" for none
  const char* modulePath;  // module runs: the name field afterwards
};

PreparationResult Firmware(const TempFolder& dir, const std::string& file, bool compress, bool korvane = false) {
  FirmwareRequest request{dir / file, 0x10000, compress, korvane, dir.path()};
  FirmwareConverter converter;
  return PrepareFirmwareImage(request, converter, nullptr);
}

PreparationResult Module(const TempFolder& dir, const std::string& file, std::uint32_t address) {
  UserModuleRequest request{dir / file, address, dir.path()};
  UserModuleConverter converter;
  return PrepareUserModuleImage(request, converter);
}

TEST(ImagePreparationTest, EachInputEndsAsTheFlowsExpect) {
  TempFolder dir;
  WriteBytes(dir / "fw.bin", MakeImage(70000, 3, 9));
  WriteBytes(dir / "untagged.bin", MakeImage(300, 3, 9, false));
  WriteBytes(dir / "empty.bin", {});
  WriteText(dir / "fw.mot", SRecords(0x10000, MakeImage(3000, 1, 2)));
  WriteText(dir / "untagged.mot", SRecords(0x10000, MakeImage(3000, 1, 2, false)));
  WriteText(dir / "bad.mot", "S3FF00\r\n");
  WriteText(dir / "module.s", SRecords(0x20000, MakeImage(2000, 4, 5)));
  WriteText(dir / "badmodule.s", "S3FF00\r\n");

  const Case cases[] = {
      {"binary", [](auto& d) { return Firmware(d, "fw.bin", true); }, PreparationEnd::Prepared, true, "fw.bin", ""},
      {"untagged", [](auto& d) { return Firmware(d, "untagged.bin", false); }, PreparationEnd::MissingTag, false,
       "untagged.bin", ""},
      {"empty", [](auto& d) { return Firmware(d, "empty.bin", false); }, PreparationEnd::EmptyImage, false, "", ""},
      {"missing", [](auto& d) { return Firmware(d, "none.bin", false); }, PreparationEnd::FileError, false, "", ""},
      {"bad record", [](auto& d) { return Firmware(d, "bad.mot", false); }, PreparationEnd::ConversionFailed, false,
       "", ""},
      {"compressed", [](auto& d) { return Firmware(d, "fw.mot", true); }, PreparationEnd::Prepared, true, "Inter.img",
       ""},
      {"korvane", [](auto& d) { return Firmware(d, "fw.mot", true, true); }, PreparationEnd::Prepared, true, "fw.img",
       ""},
      {"untagged before compressing", [](auto& d) { return Firmware(d, "untagged.mot", true); },
       PreparationEnd::NoTagBeforeCompress, true, "", ""},
      {"module", [](auto& d) { return Module(d, "module.s", 0x20000); }, PreparationEnd::Prepared, true, "inter.img",
       "inter.img"},
      {"module elsewhere", [](auto& d) { return Module(d, "module.s", 0x30000); }, PreparationEnd::AddressMismatch,
       true, "", "inter.img"},
      {"module bad record", [](auto& d) { return Module(d, "badmodule.s", 0x20000); },
       PreparationEnd::ConversionFailed, true, "", ""},
      {"module untagged", [](auto& d) { return Module(d, "untagged.bin", 0x20000); }, PreparationEnd::MissingTag,
       true, "", "untagged.bin"},
      {"module missing", [](auto& d) { return Module(d, "none.s", 0x20000); }, PreparationEnd::FileError, false, "",
       "none.s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PreparationResult r = c.prepare(dir);
    EXPECT_EQ(r.end, c.end) << r.reason;
    EXPECT_EQ(r.silent, c.silent);
    EXPECT_EQ(r.failure.failed(), !r.prepared());
    // A box always has its text; a silent end still says why.
    EXPECT_EQ(r.failure.message.empty(), r.silent);
    EXPECT_FALSE(r.reason.empty());
    EXPECT_EQ(r.image.path, *c.sent ? dir / c.sent : "");
    EXPECT_EQ(r.modulePath, *c.modulePath ? dir / c.modulePath : "");
    // Only a prepared image holds its file, and what it holds is the file.
    ASSERT_EQ(r.image.held != nullptr, r.prepared());
    if (!r.prepared()) continue;
    r.image.held.reset();  // Windows lets nobody else read a held file
    const Bytes bytes = ReadBytes(r.image.path);
    EXPECT_EQ(r.image.length, bytes.size());
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    EXPECT_EQ(r.image.sha256, hash.FinishHex());
    EXPECT_EQ(r.image.compressed, std::string(c.sent) == "Inter.img");
    EXPECT_EQ(r.image.userModule, *c.modulePath != '\0');
    EXPECT_EQ(r.image.sectorAddress, r.image.userModule ? 0x20000u : 0u);
  }
}

// "Inter.img" begins with coded data: the version shown is the converted
// image's, while the bytes held are the coded ones.
TEST(ImagePreparationTest, ACompressedRunShowsTheVersionOfTheConvertedImage) {
  TempFolder dir;
  WriteText(dir / "fw.mot", SRecords(0x10000, MakeImage(3000, 7, 1)));
  const PreparationResult r = Firmware(dir, "fw.mot", true);
  ASSERT_TRUE(r.prepared()) << r.reason;
  EXPECT_EQ(MajorVersion(r.image.header), 7);
  EXPECT_EQ(MinorVersion(r.image.header), 1);
  EXPECT_FALSE(HasImageTag(r.image.held->Header()));
}

}  // namespace
}  // namespace mervix
