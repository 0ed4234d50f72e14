// What the system's own read and write failures become on Linux, through
// every caller of the file layer: the error the system gave, the caller's
// reason naming the file, and outputs left as each caller promises.
//  - A read fails on /proc/self/mem: a regular file whose first page is
//    never mapped, so reading it gives EIO.
//  - A write fails past a file size limit (RLIMIT_FSIZE, with SIGXFSZ
//    ignored), which gives EFBIG after the bytes that still fit.
#include "compress/CompressedImageFile.h"
#include "image/FirmwareConverter.h"
#include "image/ImageHeader.h"
#include "image/SRecordSurvey.h"
#include "image/UserModuleConverter.h"
#include "operations/Sha256.h"
#include "resources/FileAccess.h"
#include "tests/operations/OperationsTestSupport.h"
#include "tests/support/Patterns.h"

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace mervix {
namespace {

using testing::Bytes;
using testing::MakeImage;
using testing::ReadBytes;
using testing::SRecords;
using testing::TempFolder;
using testing::WriteBytes;

constexpr char kUnreadable[] = "/proc/self/mem";

struct ReadFailureCase {
  const char* caller;
  const char* action;  // how the caller words the read
  std::function<std::string(const TempFolder&)> reason;
};

TEST(SystemReadFailures, EveryCallerNamesTheFileAndTheSystemsError) {
  InputFile file;
  ASSERT_TRUE(file.Open(kUnreadable, ImageAccess::Shared, "image").ok());
  std::uint8_t bytes[16];
  std::size_t got = 99;
  const FileStatus read = file.ReadAt(0, bytes, sizeof bytes, &got);
  EXPECT_EQ(read.problem, FileProblem::ReadFailed);
  EXPECT_EQ(read.systemError, EIO);
  EXPECT_EQ(got, 0u);

  const ReadFailureCase cases[] = {
      {"image header", "cannot read image",
       [](const TempFolder&) {
         ImageHeader header;
         return ReadImageHeader(kUnreadable, ImageAccess::Shared, true, header).status.reason;
       }},
      {"firmware conversion", "cannot read input",
       [](const TempFolder& dir) { return FirmwareConverter().ConvertFirmwareSRecords(kUnreadable, dir / "fw.img").reason; }},
      {"user module conversion", "cannot read input",
       [](const TempFolder& dir) {
         return UserModuleConverter().ConvertUserModuleSRecords(kUnreadable, dir / "inter.img").reason;
       }},
      {"S-record survey", "cannot read",
       [](const TempFolder&) {
         SRecordSurvey survey;
         return SurveySRecords(kUnreadable, &survey).reason;
       }},
      {"SHA-256", "cannot read image",
       [](const TempFolder&) {
         FileStatus status;
         FileSha256(kUnreadable, &status);
         return status.reason;
       }},
      {"compression", "cannot read image",
       [](const TempFolder& dir) { return WriteCompressedImageFile(kUnreadable, dir / "Inter.img").reason; }},
  };
  for (const ReadFailureCase& c : cases) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    EXPECT_EQ(c.reason(dir), FileErrorReason(c.action, kUnreadable, EIO)) << c.caller;
  }
}

// The file size limit for one test, and SIGXFSZ ignored so that a write past
// it fails instead of ending the process; both restored afterwards.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    savedSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedSignal_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*savedSignal_)(int) = SIG_DFL;
  bool ok_ = false;
};

constexpr rlim_t kLimit = 4096;

struct WriteFailureCase {
  const char* caller;
  const char* action;   // how the caller words the write
  bool keepsOldOutput;  // a replaced output stays as it was; else it is cut to length 0
  std::function<std::string(const TempFolder& dir, const Bytes& image)> reason;
};

// Each case writes dir/out.img, over the old bytes {1, 2, 3}, from the image
// or from dir/fw.mot (its S-records) or dir/random.img (which codes to about
// its own size).
TEST(SystemWriteFailures, EveryCallerNamesTheOutputAndLeavesItAsPromised) {
  const WriteFailureCase cases[] = {
      {"in-place output", "cannot write output", false,
       [](const TempFolder& dir, const Bytes& image) {
         OutputFile file;
         EXPECT_TRUE(file.Create(dir / "out.img").ok());
         const FileStatus written = file.Write(image.data(), image.size());
         EXPECT_EQ(written.problem, FileProblem::WriteFailed);
         EXPECT_EQ(written.systemError, EFBIG);
         file.Truncate();
         return written.reason;
       }},
      {"replaced output", "cannot write output", true,
       [](const TempFolder& dir, const Bytes& image) {
         return ReplaceFileContents(dir / "out.img", image.data(), image.size()).reason;
       }},
      {"firmware conversion", "cannot write output", false,
       [](const TempFolder& dir, const Bytes&) {
         return FirmwareConverter().ConvertFirmwareSRecords(dir / "fw.mot", dir / "out.img").reason;
       }},
      {"user module conversion", "cannot write output", true,
       [](const TempFolder& dir, const Bytes&) {
         return UserModuleConverter().ConvertUserModuleSRecords(dir / "fw.mot", dir / "out.img").reason;
       }},
      {"compression", "cannot write", true,
       [](const TempFolder& dir, const Bytes&) { return WriteCompressedImageFile(dir / "random.img", dir / "out.img").reason; }},
  };
  const Bytes image = MakeImage(3 * kLimit, 1, 5);
  const Bytes old = {1, 2, 3};
  for (const WriteFailureCase& c : cases) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    testing::WriteText(dir / "fw.mot", SRecords(0, image));
    WriteBytes(dir / "random.img", testing::PatternBytes(16 * kLimit, 3));
    WriteBytes(dir / "out.img", old);
    std::string reason;
    {
      FileSizeLimit limit(kLimit);
      ASSERT_TRUE(limit.ok());
      reason = c.reason(dir, image);
    }
    EXPECT_EQ(reason, FileErrorReason(c.action, dir / "out.img", EFBIG)) << c.caller;
    EXPECT_EQ(ReadBytes(dir / "out.img"), c.keepsOldOutput ? old : Bytes()) << c.caller;
    const auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(files, 3) << c.caller << ": no temporary file is left";
  }
}

}  // namespace
}  // namespace mervix
