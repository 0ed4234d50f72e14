// The file access of the Windows build against what Windows programs do
// with files: the two access modes are share modes (checked against other
// openers with every combination of access and sharing), names are UTF-8
// (the test program itself runs in a non-UTF-8 code page, so an ANSI call
// would lose them), devices are no files, and outputs held or read-only
// elsewhere are refused without harm.
#include "resources/FileAccess.h"
#include "tests/support/TempFolder.h"

#include <windows.h>

#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mervix {
namespace {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

// Another program's open of the file, with its own access and sharing.
class OtherOpener {
 public:
  OtherOpener(const std::string& path, DWORD access, DWORD share)
      : handle_(CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
  ~OtherOpener() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  DWORD Error() const { return error_; }

 private:
  HANDLE handle_;
  DWORD error_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct HolderCase {
  const char* holder;
  DWORD access;
  DWORD share;
  bool sharedOpens;     // ImageAccess::Shared may open beside it
  bool exclusiveOpens;  // ImageAccess::Exclusive may open beside it
};

class AccessModes : public ::testing::TestWithParam<HolderCase> {};

// Shared asks for reading and lets others read and write; exclusive lets
// nobody else in. Whether an open succeeds beside another program's follows
// from both sides' access and sharing, as for any Windows program.
TEST_P(AccessModes, OpensBesideAnotherProgramAsItsSharingAllows) {
  const HolderCase& c = GetParam();
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  WriteBytes(dir / "fw.img", {1, 2, 3});
  OtherOpener other(dir / "fw.img", c.access, c.share);
  ASSERT_TRUE(other.Open()) << c.holder;

  InputFile shared;
  const FileStatus s = shared.Open(dir / "fw.img", ImageAccess::Shared, "image");
  EXPECT_EQ(s.ok(), c.sharedOpens) << c.holder << ": " << s.reason;
  if (!c.sharedOpens) {
    EXPECT_EQ(s.problem, FileProblem::Locked) << c.holder;
    EXPECT_NE(s.reason.find("in use by another program"), std::string::npos) << s.reason;
  }
  shared.Close();

  InputFile exclusive;
  const FileStatus e = exclusive.Open(dir / "fw.img", ImageAccess::Exclusive, "image");
  EXPECT_EQ(e.ok(), c.exclusiveOpens) << c.holder << ": " << e.reason;
  if (!c.exclusiveOpens) {
    EXPECT_EQ(e.problem, FileProblem::Locked) << c.holder;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Holders, AccessModes,
    ::testing::Values(
        HolderCase{"reader sharing everything", GENERIC_READ, kShareAll, true, false},
        HolderCase{"reader sharing reading", GENERIC_READ, FILE_SHARE_READ, true, false},
        HolderCase{"writer sharing reading and writing", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true,
                   false},
        HolderCase{"writer sharing reading only", GENERIC_WRITE, FILE_SHARE_READ, true, false},
        HolderCase{"reader sharing nothing", GENERIC_READ, 0, false, false},
        HolderCase{"reader sharing writing only", GENERIC_READ, FILE_SHARE_WRITE, false, false},
        HolderCase{"attribute reader", FILE_READ_ATTRIBUTES, 0, true, true}),
    [](const ::testing::TestParamInfo<HolderCase>& info) {
      std::string name;
      for (const char* p = info.param.holder; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// The other way round: what another program may do while the image is
// held. Shared lets it read and write but not delete or rename; exclusive
// lets it do nothing with the contents.
TEST(AccessModesHeld, OtherProgramsGetWhatTheModeShares) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  WriteBytes(dir / "fw.img", {1, 2, 3});
  {
    InputFile held;
    ASSERT_TRUE(held.Open(dir / "fw.img", ImageAccess::Shared).ok());
    EXPECT_TRUE(OtherOpener(dir / "fw.img", GENERIC_READ, kShareAll).Open());
    EXPECT_TRUE(OtherOpener(dir / "fw.img", GENERIC_WRITE, kShareAll).Open());
    const OtherOpener deleter(dir / "fw.img", DELETE, kShareAll);
    EXPECT_FALSE(deleter.Open());
    EXPECT_EQ(deleter.Error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  {
    InputFile held;
    ASSERT_TRUE(held.Open(dir / "fw.img", ImageAccess::Exclusive).ok());
    const OtherOpener reader(dir / "fw.img", GENERIC_READ, kShareAll);
    EXPECT_FALSE(reader.Open());
    EXPECT_EQ(reader.Error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Held exclusively it is still the same file by its other spellings.
    EXPECT_TRUE(held.IsSameFileAs(dir / "FW.IMG"));
    EXPECT_TRUE(held.IsSameFileAs(dir.path() + "\\.\\fw.img"));
    EXPECT_EQ(CheckOutputPath(held, dir / "Fw.Img").problem, FileProblem::SameFile);
  }
  InputFile again;
  EXPECT_TRUE(again.Open(dir / "fw.img", ImageAccess::Exclusive).ok()) << "closing lets go of the file";
}

// Names beyond ASCII (Japanese, half-width katakana) reach the file system
// intact: read, checked against each other, replaced, truncated.
TEST(Utf8Names, JapaneseNamesAreOpenedWrittenAndReplaced) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  const std::string input = dir / "\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\xB6\xEF\xBE\x80\xEF\xBD\xB6\xEF\xBE\x85.img";  // 日本ｶﾀｶﾅ.img
  const std::string output = dir / "\xE5\x87\xBA\xE5\x8A\x9B.img";                                            // 出力.img
  const HANDLE created = CreateFileW(Wide(input).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(created, "abcdef", 6, &written, nullptr));
  CloseHandle(created);

  InputFile file;
  ASSERT_TRUE(file.Open(input, ImageAccess::Shared, "image").ok());
  EXPECT_EQ(file.Length(), 6u);
  char bytes[6] = {};
  std::size_t got = 0;
  EXPECT_TRUE(file.ReadAt(2, bytes, sizeof bytes, &got).ok());
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(bytes, got), "cdef");
  EXPECT_EQ(CheckOutputPath(file, input).problem, FileProblem::SameFile);
  EXPECT_TRUE(CheckOutputPath(file, output).ok());

  const std::uint8_t replaced[] = {9, 8, 7};
  ASSERT_TRUE(ReplaceFileContents(output, replaced, sizeof replaced).ok());
  EXPECT_NE(GetFileAttributesW(Wide(output).c_str()), INVALID_FILE_ATTRIBUTES) << "the name arrived intact";
  OutputFile truncated;
  ASSERT_TRUE(truncated.Create(output).ok());
  ASSERT_TRUE(truncated.Write("xy", 2).ok());
  ASSERT_TRUE(truncated.Close().ok());
  InputFile check;
  ASSERT_TRUE(check.Open(output, ImageAccess::Exclusive).ok());
  EXPECT_EQ(check.Length(), 2u) << "the in-place output was cut back before writing";
}

// Devices are no files: refused as input and as output, before anything is
// written to them.
TEST(Devices, TheNullDeviceIsNoRegularFile) {
  InputFile input;
  EXPECT_EQ(input.Open("NUL", ImageAccess::Shared, "image").problem, FileProblem::NotRegular);
  EXPECT_EQ(CheckOutputPath(input, "NUL").problem, FileProblem::NotRegular);
  OutputFile output;
  EXPECT_EQ(output.Create("NUL").problem, FileProblem::NotRegular);
}

// Outputs that may not be written: a read-only file is refused as denied; a
// file another program holds without sharing writes is refused as in use;
// a replacement over a file held without sharing deletion fails and leaves
// both the file and the folder as they were.
TEST(Outputs, ReadOnlyAndHeldOutputsAreRefusedWithoutHarm) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  InputFile none;

  WriteBytes(dir / "readonly.img", {1});
  ASSERT_TRUE(SetFileAttributesW(Wide(dir / "readonly.img").c_str(), FILE_ATTRIBUTE_READONLY));
  const FileStatus readOnly = CheckOutputPath(none, dir / "readonly.img");
  EXPECT_EQ(readOnly.problem, FileProblem::Denied) << readOnly.reason;
  SetFileAttributesW(Wide(dir / "readonly.img").c_str(), FILE_ATTRIBUTE_NORMAL);

  WriteBytes(dir / "held.img", {1, 2});
  {
    const OtherOpener holder(dir / "held.img", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(holder.Open());
    const FileStatus held = CheckOutputPath(none, dir / "held.img");
    EXPECT_EQ(held.problem, FileProblem::WriteFailed);
    EXPECT_NE(held.reason.find("in use by another program"), std::string::npos) << held.reason;
  }
  {
    InputFile reader;  // shares reading and writing, not deletion
    ASSERT_TRUE(reader.Open(dir / "held.img", ImageAccess::Shared).ok());
    const std::uint8_t bytes[] = {7, 7, 7};
    const FileStatus replaced = ReplaceFileContents(dir / "held.img", bytes, sizeof bytes);
    EXPECT_EQ(replaced.problem, FileProblem::WriteFailed) << replaced.reason;
  }
  EXPECT_EQ(ReadBytes(dir / "held.img"), (std::vector<std::uint8_t>{1, 2}));
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(Wide(dir / ".held.img.*").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "the temporary file is gone";
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

// Every way through the file access closes what it opened: after opens
// that succeed and fail, checks, in-place and replaced outputs, the process
// holds as many handles as before.
TEST(Handles, NoneIsLeftOpen) {
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  WriteBytes(dir / "fw.img", {1, 2, 3});
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  for (int round = 0; round < 3; ++round) {
    InputFile held;
    ASSERT_TRUE(held.Open(dir / "fw.img", ImageAccess::Exclusive).ok());
    InputFile refused;
    EXPECT_EQ(refused.Open(dir / "fw.img", ImageAccess::Shared).problem, FileProblem::Locked);
    EXPECT_EQ(refused.Open(dir / "missing.img", ImageAccess::Shared).problem, FileProblem::Missing);
    EXPECT_EQ(refused.Open(dir.path(), ImageAccess::Shared).problem, FileProblem::Directory);
    EXPECT_EQ(refused.Open("NUL", ImageAccess::Shared).problem, FileProblem::NotRegular);
    EXPECT_TRUE(held.IsSameFileAs(dir / "fw.img"));
    EXPECT_TRUE(CheckOutputPath(held, dir / "out.img").ok());
    const std::uint8_t bytes[] = {4, 5};
    EXPECT_TRUE(ReplaceFileContents(dir / "out.img", bytes, sizeof bytes).ok());
    OutputFile out;
    EXPECT_TRUE(out.Create(dir / "out2.img").ok());
    EXPECT_TRUE(out.Write(bytes, sizeof bytes).ok());
    EXPECT_TRUE(out.Close().ok());
    ReplacementFile abandoned;
    EXPECT_TRUE(abandoned.Create(dir / "out.img").ok());
  }
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace mervix
