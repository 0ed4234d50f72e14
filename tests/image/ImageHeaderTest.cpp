#include "image/ImageHeader.h"

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "resources/MessageTable.h"

namespace mervix {
namespace {

using test::TempDir;
using test::WriteFile;

// A header with the given tag bytes and version, padded to `size` bytes.
std::string HeaderFile(const std::string& tag, std::uint8_t major, std::uint8_t minor, std::size_t size = 1024) {
  std::string bytes = "\x01\x02\x03\x04\x05\x06\x07\x08" + tag;
  bytes += static_cast<char>(major);
  bytes += static_cast<char>(minor);
  bytes.resize(size, '\x5A');
  return bytes;
}

class HeaderRead : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    SetActiveLanguage(Language::English);
  }
  void TearDown() override { SetActiveLanguage(Language::English); }

  HeaderReadResult Read(const std::string& bytes, bool takeLength = true) {
    WriteFile(dir / "image.img", bytes);
    return ReadImageHeader(dir / "image.img", ImageAccess::Exclusive, takeLength, header);
  }

  TempDir dir;
  ImageHeader header;
};

TEST_F(HeaderRead, TheTagIsUpperCaseRevHyphenExactly) {
  ASSERT_TRUE(Read(HeaderFile("REV-", 1, 0)).ok());
  EXPECT_TRUE(HasImageTag(header));
  for (const char* wrong : {"rev-", "REV ", "Rev-", "REV_", "XREV"}) {
    ASSERT_TRUE(Read(HeaderFile(wrong, 1, 0)).ok());
    EXPECT_FALSE(HasImageTag(header)) << wrong;
  }
}

TEST_F(HeaderRead, VersionBytesAreUnsignedAndTheMinorHasTwoDigits) {
  struct Case {
    std::uint8_t major, minor;
    const char* text;
  } cases[] = {
      {1, 0, "Firmware version 1.00 ."},   {2, 5, "Firmware version 2.05 ."},
      {10, 7, "Firmware version 10.07 ."}, {0x80, 3, "Firmware version 128.03 ."},
      {4, 255, "Firmware version 4.255 ."}, {255, 123, "Firmware version 255.123 ."},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Read(HeaderFile("REV-", c.major, c.minor)).ok());
    EXPECT_EQ(MajorVersion(header), c.major);
    EXPECT_EQ(MinorVersion(header), c.minor);
    EXPECT_EQ(ImageVersionText(header), c.text);
  }
  SetActiveLanguage(Language::Japanese);
  const std::string ja = ImageVersionText(header);
  EXPECT_EQ(ja, GetMessageText(IDS_INFO_VERSION) + " 255.123 です。");
}

TEST_F(HeaderRead, TheLengthIsTheWholeFileAndOnlyTakenWhenAsked) {
  HeaderReadResult r = Read(HeaderFile("REV-", 1, 0, 300000));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.length, 300000u);
  EXPECT_EQ(header.filled, 1024u);
  r = Read(HeaderFile("REV-", 1, 0, 1024));
  EXPECT_EQ(r.length, 1024u);
  EXPECT_TRUE(HasImageTag(header));
  r = Read(HeaderFile("REV-", 1, 0, 5000), false);
  EXPECT_EQ(r.length, 0u);
}

TEST_F(HeaderRead, AShortFileNeverShowsAnEarlierFilesTag) {
  ASSERT_TRUE(Read(HeaderFile("REV-", 3, 4)).ok());
  ASSERT_TRUE(HasImageTag(header));
  const HeaderReadResult r = Read(std::string("\x01\x02\x03\x04\x05\x06\x07\x08REV", 11));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.length, 11u);
  EXPECT_EQ(header.filled, 11u);
  EXPECT_FALSE(HasImageTag(header));
  EXPECT_EQ(MajorVersion(header), 0u);
  ASSERT_TRUE(Read("").ok());
  EXPECT_EQ(header.filled, 0u);
  EXPECT_FALSE(StartsWithSRecordMark(header));
}

TEST_F(HeaderRead, TheFirstByteMarksSRecordText) {
  ASSERT_TRUE(Read("S00600004844521B\n", false).ok());
  EXPECT_TRUE(StartsWithSRecordMark(header));
  ASSERT_TRUE(Read("s0", false).ok());
  EXPECT_FALSE(StartsWithSRecordMark(header));
}

TEST_F(HeaderRead, UnusableFilesAreReportedWithAReasonAndNeverCreated) {
  ASSERT_TRUE(Read(HeaderFile("REV-", 1, 0)).ok());
  HeaderReadResult r = ReadImageHeader(dir / "absent.img", ImageAccess::Exclusive, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::Missing);
  EXPECT_NE(r.status.reason.find("absent.img"), std::string::npos) << r.status.reason;
  EXPECT_FALSE(test::Exists(dir / "absent.img"));
  EXPECT_FALSE(HasImageTag(header)) << "the buffer is cleared even when the read fails";

  r = ReadImageHeader(dir.path(), ImageAccess::Shared, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::Directory);
  r = ReadImageHeader("", ImageAccess::Shared, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::Missing);
  const test::Pipe pipe(dir, "pipe");
  ASSERT_TRUE(pipe.ok());
  r = ReadImageHeader(pipe.path(), ImageAccess::Shared, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::NotRegular) << "a pipe must not stall the read";
}

TEST_F(HeaderRead, ExclusiveAndSharedAccessMatchHowTheFileIsHeld) {
  WriteFile(dir / "held.img", HeaderFile("REV-", 1, 0));
  InputFile holder;
  ASSERT_TRUE(holder.Open(dir / "held.img", ImageAccess::Shared).ok());  // another reader sharing the file
  EXPECT_TRUE(ReadImageHeader(dir / "held.img", ImageAccess::Shared, true, header).ok());
  HeaderReadResult r = ReadImageHeader(dir / "held.img", ImageAccess::Exclusive, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::Locked);
  EXPECT_NE(r.status.reason.find("in use"), std::string::npos) << r.status.reason;

  holder.Close();
  ASSERT_TRUE(holder.Open(dir / "held.img", ImageAccess::Exclusive).ok());  // another opener holding it alone
  r = ReadImageHeader(dir / "held.img", ImageAccess::Shared, true, header);
  EXPECT_EQ(r.status.problem, FileProblem::Locked);

  holder.Close();
  EXPECT_TRUE(ReadImageHeader(dir / "held.img", ImageAccess::Exclusive, true, header).ok());
}

}  // namespace
}  // namespace mervix
