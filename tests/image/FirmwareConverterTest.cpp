#include "image/FirmwareConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "TestFiles.h"
#include "image/UserModuleConverter.h"

namespace mervix {
namespace {

using test::DataRecord;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Runs the whole file conversion over `text` with the given base address.
class FirmwareConversion : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }

  ConversionResult Convert(const std::string& text, std::uint32_t base) {
    WriteFile(dir / "fw.mot", text);
    converter->SetBaseAddress(base);
    return converter->ConvertFirmwareSRecords(dir / "fw.mot", dir / "fw.img");
  }
  std::vector<std::uint8_t> Image() { return ReadFile(dir / "fw.img"); }

  TempDir dir;
  std::unique_ptr<FirmwareConverter> converter = std::make_unique<FirmwareConverter>();
};

TEST_F(FirmwareConversion, HeaderDataAndEndRecordsWithCrLfConvert) {
  const std::vector<std::uint8_t> a = {1, 2, 3, 4, 5, 6, 7, 8}, b = {9, 10, 11};
  const std::string text = "S00600004844521B\r\n" + DataRecord(1, 0x1000, a) + "\r\n" + DataRecord(1, 0x1008, b) +
                           "\r\nS9031000EC\r\n";
  const ConversionResult r = Convert(text, 0x1000);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(r.outputPath, dir / "fw.img");
  EXPECT_EQ(r.imageLength, 11u);
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST_F(FirmwareConversion, BlankLinesAndLeadingBlanksFailWithMinusOneAndLeaveAnEmptyOutput) {
  const std::string rec = DataRecord(1, 0, {0xAA, 0xBB});
  struct Case {
    std::string text;
    std::size_t line;
  } cases[] = {
      {rec + "\n\n" + rec + "\n", 2},
      {rec + "\n" + rec + "\n\n", 3},     // blank line after the last record
      {rec + "\r\n\r\n", 2},              // CR LF is one end, so the second is a blank line
      {" " + rec + "\n", 1},              // a leading blank
      {"\n", 1},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "fw.img", std::string("stale image"));
    const ConversionResult r = Convert(c.text, 0);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.recordResult, kRecordNotSRecord);
    EXPECT_EQ(r.line, c.line);
    EXPECT_NE(r.reason.find("line " + std::to_string(c.line) + ": result -1"), std::string::npos) << r.reason;
    EXPECT_TRUE(Image().empty()) << "a failed conversion leaves its output with length 0";
  }
}

TEST_F(FirmwareConversion, RecordTypesFourToSixFailWhileSevenToNineAreIgnored) {
  const std::string rec = DataRecord(2, 0, {0x11, 0x22});
  for (const char* refused : {"S5030001FB", "S4030001FB", "S6040000010B"}) {
    const ConversionResult r = Convert(rec + "\n" + refused + "\n", 0);
    EXPECT_EQ(r.recordResult, kRecordTypeRefused) << refused;
    EXPECT_EQ(r.line, 2u);
  }
  const ConversionResult ok = Convert(rec + "\nS70500000000FA\nS804000000FB\nS9030000FC\n", 0);
  ASSERT_TRUE(ok.ok()) << ok.reason;
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0x11, 0x22}));
  EXPECT_EQ(Convert("SX030000FC\n", 0).recordResult, kRecordTypeNotDigit);
  EXPECT_EQ(Convert("S\n", 0).recordResult, kRecordTypeNotDigit);
}

TEST_F(FirmwareConversion, DataIsPlacedRelativeToTheBaseAndMustLieWithinTheArea) {
  const std::vector<std::uint8_t> four = {0xDE, 0xAD, 0xBE, 0xEF};
  ConversionResult r = Convert(DataRecord(2, 0x010000, four) + "\n", 0x10000);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(Image(), four);

  // Below the base: the unsigned offset is huge.
  r = Convert(DataRecord(2, 0x00FFFF, four) + "\n", 0x10000);
  EXPECT_EQ(r.recordResult, kRecordOutsideArea);

  // The area's last byte may be written; one byte more may not.
  const std::uint32_t base = 0x10000;
  r = Convert(DataRecord(3, base + kFirmwareAreaSize - 4, four) + "\n", base);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(r.imageLength, kFirmwareAreaSize);
  const std::vector<std::uint8_t> image = Image();
  ASSERT_EQ(image.size(), kFirmwareAreaSize);
  EXPECT_EQ(std::vector<std::uint8_t>(image.end() - 4, image.end()), four);
  r = Convert(DataRecord(3, base + kFirmwareAreaSize - 3, four) + "\n", base);
  EXPECT_EQ(r.recordResult, kRecordOutsideArea);
  // A record without data right at the area's end is no fault.
  EXPECT_TRUE(Convert(DataRecord(3, base + kFirmwareAreaSize, {}) + "\n", base).ok());
  EXPECT_EQ(Convert(DataRecord(3, base + kFirmwareAreaSize + 1, {}) + "\n", base).recordResult, kRecordOutsideArea);
}

TEST_F(FirmwareConversion, TheLastRecordInFileOrderSetsTheLengthAndLaterRecordsOverwrite) {
  const std::string text = DataRecord(1, 0x20, {0xA0, 0xA1}) + "\n" + DataRecord(1, 0x10, {0xB0, 0xB1}) + "\n" +
                           DataRecord(1, 0x00, {0xC0, 0xC1, 0xC2, 0xC3, 0xC4}) + "\n" +
                           DataRecord(1, 0x02, {0xD2}) + "\n";
  const ConversionResult r = Convert(text, 0);
  ASSERT_TRUE(r.ok()) << r.reason;
  // Ends after the last record read (0x02 + 1), not after the highest (0x22).
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0xC0, 0xC1, 0xD2}));
}

TEST_F(FirmwareConversion, ChecksumIsNotVerifiedAndTextAfterTheDataIsIgnored) {
  std::string rec = DataRecord(1, 0, {0x12, 0x34});
  rec[rec.size() - 1] = rec[rec.size() - 1] == '0' ? '1' : '0';  // wrong checksum
  EXPECT_TRUE(Convert(rec + "\n", 0).ok());
  EXPECT_TRUE(Convert(rec + "zz comment\n", 0).ok());
  // Even a checksum that is missing or not hex: the data is all there.
  const std::string bare = rec.substr(0, rec.size() - 2);
  EXPECT_TRUE(Convert(bare + "\n", 0).ok());
  EXPECT_TRUE(Convert(bare + "Q\n", 0).ok());
  EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0x12, 0x34}));
}

TEST_F(FirmwareConversion, ARecordWithoutDataStoresNothingAndMovesTheEndMark) {
  const std::string text = DataRecord(1, 0x100, std::vector<std::uint8_t>(16, 0x5A)) + "\n" + DataRecord(1, 0x108, {}) + "\n";
  const ConversionResult r = Convert(text, 0x100);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(converter->endMark(), 0x108u);
  EXPECT_EQ(Image(), std::vector<std::uint8_t>(8, 0x5A));
}

TEST_F(FirmwareConversion, ANegativeDataCountBelowTheBaseWritesAnEmptyImage) {
  // Count 2 on an S1 record: data count -1, so the end mark is base - 1.
  const ConversionResult r = Convert("S1020100FC\n", 0x100);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(r.imageLength, 0u);
  EXPECT_TRUE(Image().empty());
}

TEST_F(FirmwareConversion, UncoveredBytesAreErasedFlashAtEveryConversionButTheFirstFourAreZero) {
  // The first conversion covers everything with 0x11.
  std::string full;
  for (std::uint32_t a = 0; a < 64; a += 16) full += DataRecord(1, a, std::vector<std::uint8_t>(16, 0x11)) + "\n";
  ASSERT_TRUE(Convert(full, 0).ok());
  // The second leaves gaps at 0..3 and 8..31 and must show none of the 0x11s.
  const ConversionResult r = Convert(DataRecord(1, 4, {1, 2, 3, 4}) + "\n" + DataRecord(1, 32, {9}) + "\n", 0);
  ASSERT_TRUE(r.ok()) << r.reason;
  std::vector<std::uint8_t> expected = {0, 0, 0, 0, 1, 2, 3, 4};
  expected.resize(32, 0xFF);
  expected.push_back(9);
  EXPECT_EQ(Image(), expected);
}

TEST_F(FirmwareConversion, EachConversionStartsFromErasedFlashWhateverTheOneBeforeLeft) {
  // One converter, its area new, covered by records, half written by a
  // record that then failed, untouched by a file without data: a record at
  // offset 8 must always come out behind four zeros and four erased bytes.
  std::string cover, partly = DataRecord(1, 0x100, std::vector<std::uint8_t>(16, 0x22));
  for (std::uint32_t a = 0; a < 64; a += 16) cover += DataRecord(1, 0x100 + a, std::vector<std::uint8_t>(16, 0x11)) + "\n";
  partly[20] = 'G';  // six bytes are placed, then the record fails
  for (const std::string& before : {std::string(), cover, partly + "\n", std::string("S00600004844521B\n")}) {
    if (!before.empty()) Convert(before, 0x100);
    ASSERT_TRUE(Convert(DataRecord(1, 0x108, {1, 2, 3}) + "\n", 0x100).ok()) << before;
    EXPECT_EQ(Image(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3})) << before;
    EXPECT_EQ(converter->area()[0x20], kUncoveredByte) << before;
  }
}

TEST_F(FirmwareConversion, ShortOrNonHexRecordsFailInsteadOfPlacingWrongBytes) {
  const std::string good = DataRecord(2, 0, {0x10, 0x20, 0x30, 0x40});  // S2 08 000000 10203040 cc
  struct Case {
    std::string line;
    int code;
  } cases[] = {
      {"S2", kRecordTooShort},
      {"S20", kRecordTooShort},
      {"S2080000", kRecordTooShort},           // address cut off
      {good.substr(0, 16), kRecordTooShort},   // data cut off after three bytes
      {good.substr(0, 17), kRecordTooShort},   // half a byte
      {"S2G8000000102030409F", kRecordNotHex},  // in the count
      {"S2080 0000102030409F", kRecordNotHex},  // in the address
      {"S208000000102 30409F", kRecordNotHex},  // in the data
      {"S2080000001020x0409F", kRecordNotHex},
  };
  for (const Case& c : cases) {
    const ConversionResult r = Convert(good + "\n" + c.line + "\n", 0);
    EXPECT_EQ(r.recordResult, c.code) << c.line;
    EXPECT_EQ(r.line, 2u) << c.line;
    EXPECT_TRUE(Image().empty()) << c.line;
  }
}

TEST_F(FirmwareConversion, AnEmptyFileOrOneWithoutDataWritesAnEmptyImage) {
  ASSERT_TRUE(Convert("", 0x100).ok());
  EXPECT_TRUE(Image().empty());
  ASSERT_TRUE(Convert("S00600004844521B\nS9030000FC", 0x100).ok());
  EXPECT_TRUE(Image().empty());
}

TEST_F(FirmwareConversion, FilesThatCannotBeUsedAreReportedAndNothingIsCreated) {
  converter->SetBaseAddress(0);
  ConversionResult r = converter->ConvertFirmwareSRecords(dir / "missing.mot", dir / "missing.img");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.file.problem, FileProblem::Missing);
  EXPECT_NE(r.reason.find("missing.mot"), std::string::npos) << r.reason;
  EXPECT_FALSE(test::Exists(dir / "missing.mot"));
  EXPECT_FALSE(test::Exists(dir / "missing.img"));

  ASSERT_TRUE(test::MakeFolder(dir / "folder.mot"));
  r = converter->ConvertFirmwareSRecords(dir / "folder.mot", dir / "folder.img");
  EXPECT_EQ(r.file.problem, FileProblem::Directory);
  EXPECT_FALSE(test::Exists(dir / "folder.img"));

  // An output that is the input itself would be truncated before reading.
  const std::string text = DataRecord(1, 0, {1, 2}) + "\n";
  WriteFile(dir / "same", text);
  r = converter->ConvertFirmwareSRecords(dir / "same", dir / "same");
  EXPECT_EQ(r.file.problem, FileProblem::SameFile);
  EXPECT_EQ(ReadFile(dir / "same"), std::vector<std::uint8_t>(text.begin(), text.end()));

  // An output that cannot be created: a folder is refused before anything.
  ASSERT_TRUE(test::MakeFolder(dir / "out.img"));
  r = converter->ConvertFirmwareSRecords(dir / "same", dir / "out.img");
  EXPECT_EQ(r.file.problem, FileProblem::Directory);
  EXPECT_NE(r.reason.find("out.img"), std::string::npos) << r.reason;

  // A pipe as output, with nobody reading it, must not stall the conversion.
  const test::Pipe pipe(dir, "pipe.img");
  ASSERT_TRUE(pipe.ok());
  r = converter->ConvertFirmwareSRecords(dir / "same", pipe.path());
  EXPECT_FALSE(r.ok());
}

TEST_F(FirmwareConversion, AnInputHeldExclusivelyElsewhereIsReportedAsInUse) {
  const std::string text = DataRecord(1, 0, {1, 2}) + "\n";
  WriteFile(dir / "held.mot", text);
  InputFile holder;  // another opener holding the file alone
  ASSERT_TRUE(holder.Open(dir / "held.mot", ImageAccess::Exclusive).ok());
  converter->SetBaseAddress(0);
  const ConversionResult r = converter->ConvertFirmwareSRecords(dir / "held.mot", dir / "held.img");
  holder.Close();
  EXPECT_EQ(r.file.problem, FileProblem::Locked);
  EXPECT_FALSE(test::Exists(dir / "held.img"));
}

// The line reader on its own, over text in memory.
std::vector<std::string> Lines(const std::string& text, FirmwareConverter& c, std::vector<std::size_t>* numbers = nullptr) {
  ByteSource source(text);
  std::vector<std::string> lines;
  int n;
  while ((n = c.ReadSRecordLine(source)) != 0) {
    EXPECT_EQ(static_cast<std::size_t>(n), c.line().size() + 1);
    lines.emplace_back(c.line());
    if (numbers) numbers->push_back(c.lineNumber());
  }
  return lines;
}

TEST(FirmwareLineReader, LfCrAndTabEndALineAndCrLfIsOneEnd) {
  FirmwareConverter c;
  using V = std::vector<std::string>;
  EXPECT_EQ(Lines("a\nb\rc\td\r\ne", c), (V{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(Lines("a\n\nb\n", c), (V{"a", "", "b"}));
  EXPECT_EQ(Lines("a\r\r\nb", c), (V{"a", "", "b"}));
  EXPECT_EQ(Lines("\n", c), (V{""}));
  EXPECT_EQ(Lines("", c), V{});
  EXPECT_EQ(Lines("last", c), (V{"last"}));
}

TEST(FirmwareLineReader, LinesLongerThan1023CharactersAreSplit) {
  FirmwareConverter c;
  const std::string longLine = std::string(1023, 'x') + "yz";
  const std::vector<std::string> lines = Lines(longLine + "\nS", c);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(1023, 'x'));
  EXPECT_EQ(lines[1], "yz");
  EXPECT_EQ(lines[2], "S");
  // Exactly 1023 characters and then a line end: the end comes back as an
  // empty line of its own.
  EXPECT_EQ(Lines(std::string(1023, 'x') + "\r\nS", c).size(), 3u);
}

TEST(FirmwareLineReader, CountsTheFileLinesWhereEachLineBegins) {
  FirmwareConverter c;
  std::vector<std::size_t> numbers;
  Lines("a\r\nb\tc\rd\ne", c, &numbers);
  EXPECT_EQ(numbers, (std::vector<std::size_t>{1, 2, 2, 3, 4}));
}

TEST(LineReaders, ACrLfSplitBetweenTwoFileReadsIsStillOneLineEnd) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Records of 8 bytes at ascending addresses, the line that crosses the
  // first chunk read from the file padded (after its checksum) so that its
  // CR is the chunk's last byte and its LF the next chunk's first.
  const std::vector<std::uint8_t> eight(8, 0x33);
  std::string text;
  std::uint32_t address = 0;
  while (text.size() + 1000 < ByteSource::kChunkSize) {
    text += DataRecord(3, address, eight) + "\r\n";
    address += 8;
  }
  text += DataRecord(3, address, eight);
  address += 8;
  text += std::string(ByteSource::kChunkSize - 1 - text.size(), ' ') + "\r\n";
  ASSERT_EQ(text[ByteSource::kChunkSize - 1], '\r');
  for (; address < 8 * 20000; address += 8) text += DataRecord(3, address, eight) + "\r\n";
  WriteFile(dir / "split.mot", text);

  FirmwareConverter firmware;
  firmware.SetBaseAddress(0);
  ConversionResult r = firmware.ConvertFirmwareSRecords(dir / "split.mot", dir / "split.img");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(r.imageLength, 8u * 20000u);
  UserModuleConverter module;
  r = module.ConvertUserModuleSRecords(dir / "split.mot", dir / "inter.img");
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(ReadFile(dir / "inter.img"), std::vector<std::uint8_t>(8 * 20000, 0x33));
}

// ConvertText parses most lines where they lie in the source's buffer and
// hands the rest to ReadSRecordLine. Whatever the text and wherever the
// buffer's chunks end, it must come to what the plain loop of
// ReadSRecordLine and ParseFirmwareRecord comes to: the same result, line,
// end mark, area and last line.
TEST(FirmwareConvertText, AgreesWithTheLineByLineLoopFromMemoryAndThroughEveryChunkSize) {
  const std::vector<std::uint8_t> data = test::RandomBytes(32, 7);
  const std::string rec = DataRecord(2, 0x10000, data), records = rec + "\r\n" + rec + "\r\n" + rec + "\r\n";
  const auto padded = [&](std::size_t n) { return rec + std::string(n - rec.size(), 'z'); };  // a line of n
  std::vector<std::string> texts = {
      "S00600004844521B\r\n" + records + "S804010000FA\r\n", rec + "\n" + rec + "\r" + rec + "\t" + rec,
      records + rec + "\r\r\n" + records, records + rec + "\r", records + "\r\n" + records,
      records + padded(1022) + "\r\n" + records, records + padded(1023) + "\r\n" + records,
      records + padded(1024) + "\r\n" + records, records + padded(1023), records + padded(3000) + "\n" + records,
      records + "S5030001FB\r\n", records + DataRecord(3, 0x10000 + kFirmwareAreaSize, {1}) + "\r\n",
      records + rec.substr(0, 40) + "\r\n" + records, records + rec.substr(0, 40) + "\r" + rec.substr(40) + "\n",
      records + rec.substr(0, 40) + "G" + rec.substr(41) + "\r\n", records + "S1020100FC\r\n", ""};
  std::mt19937 rng(2024);  // and the first text with a byte or three changed anywhere
  for (int i = 0; i < 40; ++i) {
    std::string text = texts[0];
    for (int k = 0; k <= i % 3; ++k) text[rng() % text.size()] = "\r\n\tG0S "[rng() % 7];
    texts.push_back(text);
  }
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  auto loop = std::make_unique<FirmwareConverter>(), converter = std::make_unique<FirmwareConverter>();
  for (const std::string& text : texts) {
    loop->SetBaseAddress(0x10000);
    ByteSource nothing(std::string_view{}), lines(text);
    ASSERT_TRUE(loop->ConvertText(nothing).ok());  // the area prepared, the line count from 1
    int want = 0;
    while (want == 0 && loop->ReadSRecordLine(lines) != 0) want = loop->ParseFirmwareRecord(loop->line());
    WriteFile(dir / "text.mot", text);
    InputFile file;
    ASSERT_TRUE(file.Open(dir / "text.mot", ImageAccess::Shared, "input").ok());
    // From memory, then through chunks that end at every position of a
    // record's line and chunks shorter and longer than the longest line.
    for (const std::size_t chunk : {0, 1, 2, 3, 16, 17, 75, 76, 77, 1023, 1024, 1025, 4096}) {
      std::vector<unsigned char> buffer(std::max<std::size_t>(chunk, 1));
      ByteSource memory(text), fromFile(file, buffer.data(), buffer.size());
      converter->SetBaseAddress(0x10000);
      const TextOutcome got = converter->ConvertText(chunk == 0 ? memory : fromFile);
      const std::string what = "chunks of " + std::to_string(chunk) + " over:\n" + text.substr(0, 300);
      EXPECT_TRUE(got.read.ok()) << what;
      EXPECT_EQ(got.recordResult, want) << what;
      EXPECT_EQ(got.line, want == 0 ? 0 : loop->lineNumber()) << what;
      EXPECT_EQ(converter->endMark(), loop->endMark()) << what;
      EXPECT_EQ(converter->line(), loop->line()) << what;
      EXPECT_EQ(converter->lineNumber(), loop->lineNumber()) << what;
      EXPECT_EQ(std::memcmp(converter->area(), loop->area(), kFirmwareAreaSize), 0) << what;
    }
  }
}

}  // namespace
}  // namespace mervix
