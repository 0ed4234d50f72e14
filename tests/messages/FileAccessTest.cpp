// The file layer's status values on every system: a read reports how much
// it got and comes up short only at the end of the file; a read or write of
// a file that is not open fails with the problem, the system's error and a
// reason that names the file in the role it was opened for.
#include "resources/FileAccess.h"
#include "tests/support/TempFolder.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace mervix {
namespace {

using testing::TempFolder;
using testing::WriteBytes;

struct ReadCase {
  std::uint64_t offset;
  std::size_t size;
  std::size_t got;
};

TEST(FileReads, GetWhatTheFileHoldsAndComeUpShortOnlyAtItsEnd) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  std::vector<std::uint8_t> bytes(10);  // 1 to 10: never the 0 the reads start from
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
  WriteBytes(dir / "fw.img", bytes);
  InputFile file;
  ASSERT_TRUE(file.Open(dir / "fw.img", ImageAccess::Shared, "image").ok());
  const ReadCase cases[] = {{0, 10, 10}, {3, 4, 4}, {6, 10, 4}, {9, 1, 1}, {10, 5, 0}, {4096, 5, 0}, {2, 0, 0}};
  for (const ReadCase& c : cases) {
    std::vector<std::uint8_t> into(c.size + 1, 0);
    std::size_t got = 99;
    const FileStatus read = file.ReadAt(c.offset, into.data(), c.size, &got);
    EXPECT_TRUE(read.ok()) << "at " << c.offset << ": " << read.reason;
    ASSERT_EQ(got, c.got) << "at " << c.offset;
    for (std::size_t i = 0; i < got; ++i) EXPECT_EQ(into[i], bytes[c.offset + i]) << "at " << c.offset;
    EXPECT_EQ(into[got], 0) << "nothing written past what was read, at " << c.offset;
  }
}

TEST(FileFailures, FilesThatAreNotOpenFailWithTheFileNamed) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  std::uint8_t byte = 0;

  const std::string missing = dir / "missing.img";
  InputFile input;
  EXPECT_EQ(input.Open(missing, ImageAccess::Shared, "image").problem, FileProblem::Missing);
  std::size_t got = 99;
  const FileStatus read = input.ReadAt(0, &byte, 1, &got);
  EXPECT_EQ(read.problem, FileProblem::ReadFailed);
  EXPECT_EQ(read.systemError, EBADF);
  EXPECT_EQ(read.reason, FileErrorReason("cannot read image", missing, EBADF));
  EXPECT_EQ(got, 0u);

  const std::string nowhere = dir / "no-such-folder/out.img";
  OutputFile output;
  EXPECT_FALSE(output.Create(nowhere).ok());
  const FileStatus written = output.Write(&byte, 1);
  EXPECT_EQ(written.problem, FileProblem::WriteFailed);
  EXPECT_EQ(written.systemError, EBADF);
  EXPECT_EQ(written.reason, FileErrorReason("cannot write output", nowhere, EBADF));

  ReplacementFile replacement;
  EXPECT_FALSE(replacement.Create(nowhere).ok());
  EXPECT_EQ(replacement.Write(&byte, 1).reason, FileErrorReason("cannot write output", nowhere, EBADF));
  EXPECT_EQ(replacement.Commit().reason, "cannot write output '" + nowhere + "': not created");
  EXPECT_FALSE(ReplaceFileContents(nowhere, &byte, 1).ok());
}

}  // namespace
}  // namespace mervix
