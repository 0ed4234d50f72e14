// Cross-check against an independent tool: S-record files written by
// srec_cat from random images must convert, byte for byte, to the image that
// srec_cat itself produces back from the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestFiles.h"
#include "image/FirmwareConverter.h"
#include "image/UserModuleConverter.h"

namespace mervix {
namespace {

using test::RandomBytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr const char kSrecCat[] = "/usr/bin/srec_cat";

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// Runs srec_cat with the given arguments, its chatter into a log file.
bool SrecCat(const TempDir& dir, const std::string& args) {
  const std::string cmd = std::string(kSrecCat) + " " + args + " 2>>'" + (dir / "srec_cat.log") + "'";
  return std::system(cmd.c_str()) == 0;
}

void ToCrLf(const std::string& path) {
  const std::vector<std::uint8_t> lf = ReadFile(path);
  std::string crlf;
  for (std::uint8_t b : lf) {
    if (b == '\n') crlf += '\r';
    crlf += static_cast<char>(b);
  }
  WriteFile(path, crlf);
}

struct Layout {
  int addressLength;  // 2: S1, 3: S2, 4: S3
  std::uint32_t base;
  std::size_t size;
  int blockSize;  // data bytes per record
  bool crlf;
};

class SrecCatCrossCheck : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    if (!test::Exists(kSrecCat)) GTEST_SKIP() << "srec_cat is not installed (package srecord)";
    ASSERT_TRUE(dir.ok());
  }
  TempDir dir;
};

TEST_P(SrecCatCrossCheck, BothConversionsMatchSrecCat) {
  const Layout& l = GetParam();
  const std::vector<std::uint8_t> original = RandomBytes(l.size, l.base ^ static_cast<std::uint32_t>(l.size));
  WriteFile(dir / "original.bin", original);
  ASSERT_TRUE(SrecCat(dir, "'" + (dir / "original.bin") + "' -binary -offset " + Hex(l.base) + " -o '" +
                               (dir / "fw.mot") + "' -Motorola -address-length=" + std::to_string(l.addressLength) +
                               " -disable=data-count -output-block-size=" + std::to_string(l.blockSize)));
  if (l.crlf) ToCrLf(dir / "fw.mot");
  ASSERT_TRUE(SrecCat(dir, "'" + (dir / "fw.mot") + "' -Motorola -offset -" + Hex(l.base) + " -o '" +
                               (dir / "back.bin") + "' -binary"));
  const std::vector<std::uint8_t> back = ReadFile(dir / "back.bin");
  ASSERT_EQ(back, original) << "srec_cat's own round trip";

  FirmwareConverter firmware;
  firmware.SetBaseAddress(l.base);
  const ConversionResult r = firmware.ConvertFirmwareSRecords(dir / "fw.mot", dir / "fw.img");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(ReadFile(dir / "fw.img"), back);

  if (l.base + l.size <= kUserModuleAreaSize) {
    UserModuleConverter module;
    const ConversionResult m = module.ConvertUserModuleSRecords(dir / "fw.mot", dir / "inter.img");
    ASSERT_TRUE(m.ok()) << m.reason;
    EXPECT_EQ(module.lowestAddress(), l.base);
    EXPECT_EQ(ReadFile(dir / "inter.img"), back);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SrecCatCrossCheck,
                         ::testing::Values(Layout{2, 0x0000, 30000, 16, false}, Layout{2, 0x1234, 40000, 32, true},
                                           Layout{3, 0x10000, 300000, 32, false},
                                           Layout{3, 0xABCDE, 100001, 64, true},
                                           Layout{4, 0x80000000, kFirmwareAreaSize, 32, false},
                                           Layout{4, 0x00400000, 123457, 250, true}));

TEST_F(SrecCatCrossCheck, GapsMatchSrecCatFilledWithErasedFlash) {
  // Three stretches with holes between them, the first at the base so that
  // the four zeroed bytes at the area's start are covered.
  const std::uint32_t base = 0x20000;
  const std::vector<std::uint8_t> a = RandomBytes(1000, 1), b = RandomBytes(77, 2), c = RandomBytes(4096, 3);
  WriteFile(dir / "a.bin", a);
  WriteFile(dir / "b.bin", b);
  WriteFile(dir / "c.bin", c);
  const std::uint32_t end = base + 0x3000 + static_cast<std::uint32_t>(c.size());
  ASSERT_TRUE(SrecCat(dir, "'" + (dir / "a.bin") + "' -binary -offset " + Hex(base) + " '" + (dir / "b.bin") +
                               "' -binary -offset " + Hex(base + 0x1100) + " '" + (dir / "c.bin") +
                               "' -binary -offset " + Hex(base + 0x3000) + " -o '" + (dir / "gaps.mot") +
                               "' -Motorola -disable=data-count -output-block-size=32"));
  ASSERT_TRUE(SrecCat(dir, "'" + (dir / "gaps.mot") + "' -Motorola -fill 0xFF " + Hex(base) + " " + Hex(end) +
                               " -offset -" + Hex(base) + " -o '" + (dir / "back.bin") + "' -binary"));
  const std::vector<std::uint8_t> back = ReadFile(dir / "back.bin");
  ASSERT_EQ(back.size(), end - base);

  FirmwareConverter firmware;
  firmware.SetBaseAddress(base);
  ASSERT_TRUE(firmware.ConvertFirmwareSRecords(dir / "gaps.mot", dir / "gaps.img").ok());
  EXPECT_EQ(ReadFile(dir / "gaps.img"), back);
  UserModuleConverter module;
  ASSERT_TRUE(module.ConvertUserModuleSRecords(dir / "gaps.mot", dir / "inter.img").ok());
  EXPECT_EQ(ReadFile(dir / "inter.img"), back);
}

TEST_F(SrecCatCrossCheck, ARecordCountFailsTheFirmwareButNotTheModule) {
  const std::vector<std::uint8_t> data = RandomBytes(500, 9);
  WriteFile(dir / "d.bin", data);
  ASSERT_TRUE(SrecCat(dir, "'" + (dir / "d.bin") + "' -binary -offset 0x300 -o '" + (dir / "count.mot") +
                               "' -Motorola -enable=data-count"));
  FirmwareConverter firmware;
  firmware.SetBaseAddress(0x300);
  const ConversionResult r = firmware.ConvertFirmwareSRecords(dir / "count.mot", dir / "count.img");
  EXPECT_EQ(r.recordResult, kRecordTypeRefused);
  UserModuleConverter module;
  ASSERT_TRUE(module.ConvertUserModuleSRecords(dir / "count.mot", dir / "inter.img").ok());
  EXPECT_EQ(ReadFile(dir / "inter.img"), data);
}

}  // namespace
}  // namespace mervix
