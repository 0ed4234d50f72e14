#include "image/UserModuleConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "TestFiles.h"

namespace mervix {
namespace {

using test::DataRecord;
using test::RandomBytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ModuleConversion : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }

  ConversionResult Convert(const std::string& text) {
    WriteFile(dir / "module.mot", text);
    return converter->ConvertUserModuleSRecords(dir / "module.mot", dir / "inter.img");
  }
  std::vector<std::uint8_t> Image() { return ReadFile(dir / "inter.img"); }

  // S3 records of 32 bytes covering `data` from `address` on.
  static std::vector<std::string> Records(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < data.size(); i += 32) {
      const std::size_t n = std::min<std::size_t>(32, data.size() - i);
      lines.push_back(DataRecord(3, address + static_cast<std::uint32_t>(i),
                                 std::vector<std::uint8_t>(data.begin() + i, data.begin() + i + n)));
    }
    return lines;
  }
  static std::string Join(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const auto& l : lines) text += l + end;
    return text;
  }

  TempDir dir;
  std::unique_ptr<UserModuleConverter> converter = std::make_unique<UserModuleConverter>();
};

TEST_F(ModuleConversion, RecordsAtAbsoluteAddressesGiveTheStretchFromLowestToHighest) {
  const std::vector<std::uint8_t> data = RandomBytes(0x10000, 7);
  const ConversionResult r =
      Convert("S00600004844521B\r\n" + Join(Records(0x20000, data), "\r\n") + "S70500020000F8\r\n");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(r.outputPath, dir / "inter.img");
  EXPECT_EQ(converter->lowestAddress(), 0x20000u);
  EXPECT_EQ(converter->highestEnd(), 0x30000u);
  EXPECT_EQ(Image(), data);
}

TEST_F(ModuleConversion, RecordOrderDoesNotMatter) {
  const std::vector<std::uint8_t> data = RandomBytes(4000, 8);
  std::vector<std::string> lines = Records(0x4000, data);
  ASSERT_TRUE(Convert(Join(lines)).ok());
  const std::vector<std::uint8_t> ascending = Image();
  std::reverse(lines.begin(), lines.end());
  ASSERT_TRUE(Convert(Join(lines)).ok());
  EXPECT_EQ(Image(), ascending);
  EXPECT_EQ(ascending, data);
  EXPECT_EQ(converter->lowestAddress(), 0x4000u);
}

TEST_F(ModuleConversion, CountRecordsAreIgnoredHereUnlikeInFirmware) {
  const std::string text = DataRecord(1, 0x100, {1, 2, 3}) + "\nS5030001FB\nS4030001FB\nS6040000010B\nS9030100FB\n";
  const ConversionResult r = Convert(text);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(Convert("SZ\n").recordResult, kRecordTypeNotDigit);
}

TEST_F(ModuleConversion, TheAreaEndsAtOneMegabyte) {
  ConversionResult r = Convert(DataRecord(2, 0xFFFFF, {0x77}) + "\n");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(converter->highestEnd(), kUserModuleAreaSize);
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0x77}));
  EXPECT_EQ(Convert(DataRecord(2, 0xFFFFF, {0x77, 0x78}) + "\n").recordResult, kRecordOutsideArea);
  EXPECT_EQ(Convert(DataRecord(2, 0x100000, {0x77}) + "\n").recordResult, kRecordOutsideArea);
  EXPECT_EQ(Convert(DataRecord(3, 0xFFFFFFFF, {0x77}) + "\n").recordResult, kRecordOutsideArea);
  EXPECT_EQ(Convert(DataRecord(2, 0x100001, {}) + "\n").recordResult, kRecordOutsideArea);
}

TEST_F(ModuleConversion, TabsCommentsAndLoneCarriageReturnsAfterTheChecksumAreHarmless) {
  const std::string text = DataRecord(1, 0x10, {0xAB, 0xCD}) + "\t; first\n" + DataRecord(1, 0x12, {0xEF}) +
                           "\r\r\n" + DataRecord(1, 0x13, {0x01}) + "\r junk\n" + DataRecord(1, 0x14, {0x02}) +
                           "\rS\rSX\rs1\n" + DataRecord(1, 0x15, {0x03});
  const ConversionResult r = Convert(text);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03}));
}

TEST_F(ModuleConversion, ARecordAfterALoneCarriageReturnFailsInsteadOfVanishing) {
  // Only LF ends a line here, so a file with CR line ends is one line whose
  // later records would lie in the ignored text after the first checksum.
  ASSERT_TRUE(Convert(DataRecord(1, 0x10, {0xAB}) + "\n").ok());
  const std::vector<std::uint8_t> before = Image();
  const std::string a = DataRecord(1, 0x00, {0x11, 0x22}), b = DataRecord(1, 0x02, {0x33, 0x44}),
                    c = DataRecord(1, 0x04, {0x55});
  struct Case {
    std::string text;
    std::size_t line;
  } cases[] = {
      {a + "\r" + b + "\r" + c + "\r", 1},                      // CR line ends throughout
      {"S00600004844521B\r" + a + "\r" + b + "\r", 1},          // behind a header, which is ignored whole
      {a + "\n" + b + "\r" + c + "\n", 2},                      // one lone CR on line 2
      {a + "\n" + b + " ; note\rS9030000FC\n", 2},              // an end record after a comment
      {a + "\r\r" + b + "\r\n", 1},                              // an empty line between
      {"S1030000\r" + b + "\n", 1},                              // a record without data
  };
  for (const Case& c : cases) {
    const ConversionResult r = Convert(c.text);
    EXPECT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.recordResult, kRecordLoneCrLineEnd) << c.text;
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_NE(r.reason.find("line " + std::to_string(c.line) +
                            ": result -7 (lone CR line ends are not read by this conversion)"),
              std::string::npos)
        << r.reason;
    EXPECT_EQ(Image(), before) << c.text;
  }
}

TEST_F(ModuleConversion, AFailedConversionLeavesAnExistingImageUnchanged) {
  ASSERT_TRUE(Convert(DataRecord(1, 0x10, {0xAB, 0xCD}) + "\n").ok());
  const std::vector<std::uint8_t> before = Image();
  const std::string rec = DataRecord(1, 0x20, {1, 2, 3, 4});
  struct Case {
    std::string text;
    int code;
    std::size_t line;
  } cases[] = {
      {rec + "\n\n", kRecordNotSRecord, 2},  // a blank line after the last record
      {rec + "\n" + rec.substr(0, 11) + "\n", kRecordTooShort, 2},
      {rec + "\nS1070020010G0304CC\n", kRecordNotHex, 2},
      {"x\n", kRecordNotSRecord, 1},
  };
  for (const Case& c : cases) {
    const ConversionResult r = Convert(c.text);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.recordResult, c.code) << c.text;
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_EQ(Image(), before) << c.text;
  }
  // No output appears when there was none before.
  ASSERT_TRUE(std::filesystem::remove(dir / "inter.img"));
  EXPECT_FALSE(Convert(rec + "\n\n").ok());
  EXPECT_FALSE(test::Exists(dir / "inter.img"));
}

TEST_F(ModuleConversion, ASmallModuleAfterALargeOneGivesAnExactlySizedImage) {
  ASSERT_TRUE(Convert(Join(Records(0x1000, RandomBytes(50000, 1)))).ok());
  ASSERT_EQ(Image().size(), 50000u);
  const std::vector<std::uint8_t> small = RandomBytes(100, 2);
  ASSERT_TRUE(Convert(Join(Records(0x9000, small))).ok());
  EXPECT_EQ(Image(), small);
  EXPECT_EQ(converter->lowestAddress(), 0x9000u) << "bounds start afresh at every conversion";
}

TEST_F(ModuleConversion, GapsAreErasedFlashAndTheAreasFirstFourBytesZero) {
  ASSERT_TRUE(Convert(Join(Records(0, std::vector<std::uint8_t>(64, 0x11)))).ok());
  const ConversionResult r = Convert(DataRecord(1, 0, {0xAA}) + "\n" + DataRecord(1, 8, {0xBB}) + "\n");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0xAA, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xBB}));
}

TEST_F(ModuleConversion, RecordsWithoutDataLeaveTheBoundsAlone) {
  const std::string text = DataRecord(1, 0x10, {}) + "\n" + DataRecord(1, 0x20, {5, 6}) + "\nS1020400F9\n";
  const ConversionResult r = Convert(text);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(converter->lowestAddress(), 0x20u);
  EXPECT_EQ(converter->highestEnd(), 0x22u);
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{5, 6}));
  // Nothing but such records: an empty image, the bounds still at their start.
  ASSERT_TRUE(Convert(DataRecord(1, 0x10, {}) + "\nS9030000FC\n").ok());
  EXPECT_TRUE(Image().empty());
  EXPECT_EQ(converter->lowestAddress(), kUserModuleAreaSize);
  EXPECT_EQ(converter->highestEnd(), 0u);
}

TEST_F(ModuleConversion, FilesThatCannotBeUsedAreReportedAndNothingIsCreated) {
  ConversionResult r = converter->ConvertUserModuleSRecords(dir / "nothing", dir / "inter.img");
  EXPECT_EQ(r.file.problem, FileProblem::Missing);
  EXPECT_FALSE(test::Exists(dir / "nothing"));
  EXPECT_FALSE(test::Exists(dir / "inter.img"));

  WriteFile(dir / "m.mot", DataRecord(1, 0, {1}) + "\n");
  ASSERT_TRUE(test::MakeFolder(dir / "out"));
  r = converter->ConvertUserModuleSRecords(dir / "m.mot", dir / "out");
  EXPECT_EQ(r.file.problem, FileProblem::Directory);
  const std::vector<std::uint8_t> source = ReadFile(dir / "m.mot");
  r = converter->ConvertUserModuleSRecords(dir / "m.mot", dir / "m.mot");
  EXPECT_EQ(r.file.problem, FileProblem::SameFile);
  EXPECT_EQ(ReadFile(dir / "m.mot"), source) << "the input is never replaced";
  r = converter->ConvertUserModuleSRecords(dir / "m.mot", dir / "no-such-folder/inter.img");
  EXPECT_EQ(r.file.problem, FileProblem::WriteFailed);
  EXPECT_NE(r.reason.find("inter.img"), std::string::npos) << r.reason;
}

TEST(ModuleLineReader, LinesEndAtLfOnlyAndMayBeOfAnyLength) {
  const std::string longTail(5000, 'c');
  const std::string text = "a\r\nb\rc\td\n\n" + std::string("S1") + longTail + "\r\nlast";
  ByteSource source(text);
  std::string line;
  std::vector<std::string> lines;
  while (UserModuleConverter::ReadModuleLine(source, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1], "b\rc\td");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3].substr(0, 4), "S1cc");  // only the start of a long line is kept
  EXPECT_EQ(lines[4], "last");
}

}  // namespace
}  // namespace mervix
