// The compressed image file (stream + "TOVA") and the two commands of
// mervix-cli that make and check it, run as the operator would.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/support/Programs.h"
#include "compress/CompressedImageFile.h"
#include "compress/Lh5Decoder.h"
#include "tests/compress/FirmwareLikeImage.h"
#include "tests/compress/Lh5TestSupport.h"

namespace mervix {
namespace {

std::vector<std::uint8_t> WithTrailer(std::vector<std::uint8_t> stream) {
  for (char c : std::string("TOVA")) stream.push_back(static_cast<std::uint8_t>(c));
  return stream;
}

TEST(CompressedImageFile, IsTheStreamFollowedByTheTrailer) {
  testing::TempDir dir;
  std::vector<std::uint8_t> file;
  testing::RecordingSink sink;
  // A small image, and one of the full conversion area (read whole and
  // parsed in two pieces): the stream of the byte-by-byte coder either way.
  for (const std::vector<std::uint8_t>& image : {testing::FirmwareLikeImage(70000, 21), testing::FirmwareLikeImage()}) {
    ASSERT_TRUE(testing::WriteFile(dir.File("fw.img"), image));
    sink.output.clear();
    const CompressedImageResult r = WriteCompressedImageFile(dir.File("fw.img"), dir.File("Inter.img"), &sink);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(r.inputBytes, image.size());
    EXPECT_EQ(sink.output, "使用メモリ:4605+3224+174814+16384=199027バイト\n");
    ASSERT_TRUE(testing::ReadFile(dir.File("Inter.img"), &file));
    EXPECT_TRUE(file == WithTrailer(testing::Compress(image).stream)) << image.size();
    EXPECT_EQ(r.fileBytes, file.size());
    EXPECT_EQ(r.streamBytes + 4, file.size());
  }

  // An empty image leaves only the trailer; an existing output is truncated.
  ASSERT_TRUE(testing::WriteFile(dir.File("empty.img"), {}));
  const CompressedImageResult e = WriteCompressedImageFile(dir.File("empty.img"), dir.File("Inter.img"), &sink);
  ASSERT_TRUE(e.ok);
  ASSERT_TRUE(testing::ReadFile(dir.File("Inter.img"), &file));
  EXPECT_EQ(file, WithTrailer({}));
  EXPECT_EQ(e.streamBytes, 0u);
}

#ifndef _WIN32
// (POSIX permissions and links; Windows outputs get their folder's.)
TEST(CompressedImageFile, AReplacedOutputKeepsItsPermissionsAndStaysALink) {
  // The new file takes the old one's place: same mode, and an output named
  // through a symbolic link replaces the file the link points to.
  testing::TempDir dir;
  testing::RecordingSink sink;
  const std::vector<std::uint8_t> image = testing::FirmwareLikeImage(9000, 8);
  ASSERT_TRUE(testing::WriteFile(dir.File("fw.img"), image));
  const std::vector<std::uint8_t> expected = WithTrailer(testing::Compress(image).stream);
  ASSERT_TRUE(testing::WriteFile(dir.File("target.img"), {'o', 'l', 'd'}));
  ASSERT_EQ(::chmod(dir.File("target.img").c_str(), 0604), 0);
  ASSERT_EQ(::symlink("target.img", dir.File("link.img").c_str()), 0);
  for (const char* output : {"target.img", "link.img"}) {
    const CompressedImageResult r = WriteCompressedImageFile(dir.File("fw.img"), dir.File(output), &sink);
    ASSERT_TRUE(r.ok) << r.reason;
    std::vector<std::uint8_t> file;
    ASSERT_TRUE(testing::ReadFile(dir.File("target.img"), &file));
    EXPECT_EQ(file, expected) << output;
    ASSERT_TRUE(testing::WriteFile(dir.File("target.img"), {'o', 'l', 'd'}));
    struct stat st {};
    ASSERT_EQ(::stat(dir.File("target.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u) << output;
    ASSERT_EQ(::lstat(dir.File("link.img").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << output;
  }
}
#endif

// The names in a folder, sorted.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CompressedImageFile, AFailureKeepsAnExistingOutputAndLeavesNoOtherFile) {
  testing::TempDir dir;
  testing::RecordingSink sink;
  const std::vector<std::uint8_t> older = {'o', 'l', 'd'};
  ASSERT_TRUE(testing::WriteFile(dir.File("Inter.img"), older));
  ASSERT_TRUE(testing::WriteFile(dir.File("fw.img"), testing::FirmwareLikeImage(5000, 3)));
  const std::vector<std::string> before = Entries(dir.path());

  const CompressedImageResult missing = WriteCompressedImageFile(dir.File("missing.img"), dir.File("Inter.img"), &sink);
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.reason.find("No such file"), std::string::npos) << missing.reason;
  // The coder without its memory: the output is not emptied.
  testing::ScriptedAllocator heap;
  heap.FailRequests(0, 1000);
  const CompressedImageResult noMemory =
      WriteCompressedImageFile(dir.File("fw.img"), dir.File("Inter.img"), &sink, &heap);
  EXPECT_FALSE(noMemory.ok);
  EXPECT_TRUE(noMemory.coderRefused);
  EXPECT_EQ(heap.liveBlocks, 0);
  std::vector<std::uint8_t> kept;
  ASSERT_TRUE(testing::ReadFile(dir.File("Inter.img"), &kept));
  EXPECT_EQ(kept, older);
  EXPECT_EQ(Entries(dir.path()), before) << "a temporary file was left behind";

  const CompressedImageResult noDir = WriteCompressedImageFile(dir.File("fw.img"), dir.File("no/such/dir"), &sink);
  EXPECT_FALSE(noDir.ok);
  EXPECT_NE(noDir.reason.find("cannot create"), std::string::npos) << noDir.reason;
  // A device is no output: it would be replaced, or written without end.
#ifdef _WIN32
  const std::string deviceName = "NUL";
#else
  const std::string deviceName = "/dev/full";
#endif
  const CompressedImageResult device = WriteCompressedImageFile(dir.File("fw.img"), deviceName, &sink);
  EXPECT_FALSE(device.ok);
  EXPECT_NE(device.reason.find("'" + deviceName + "': not a regular file"), std::string::npos) << device.reason;
}

// The commands run through the POSIX shell; the Windows build's commands
// are checked against the Linux build's by scripts/test-windows.
#ifndef _WIN32
std::string Cli() { return ::mervix::testing::CliPath(); }

TEST(CompressCommand, CompressesIntoInterImgAndDecompressesBack) {
  testing::TempDir dir;
  const std::vector<std::uint8_t> image = testing::FirmwareLikeImage(150000, 31);
  ASSERT_TRUE(testing::WriteFile(dir.File("fw.img"), image));
  std::string out;
  // Default output name, in the working directory.
  ASSERT_EQ(testing::RunCommand("cd '" + dir.path() + "' && '" + Cli() + "' compress fw.img", &out), 0) << out;
  EXPECT_EQ(out.rfind("使用メモリ:4605+3224+174814+16384=199027バイト\n", 0), 0u) << out;
  std::vector<std::uint8_t> file;
  ASSERT_TRUE(testing::ReadFile(dir.File("Inter.img"), &file));
  EXPECT_EQ(file, WithTrailer(testing::Compress(image).stream));
  EXPECT_NE(out.find("150000 bytes in"), std::string::npos) << out;
  EXPECT_NE(out.find(std::to_string(file.size()) + " bytes"), std::string::npos) << out;

  // Back, with and without the size; the trailer is not part of the data.
  for (const std::string options : {"", "--size 150000 "}) {
    ASSERT_EQ(testing::RunCommand("cd '" + dir.path() + "' && '" + Cli() + "' decompress " + options +
                                      "Inter.img back.img",
                                  &out),
              0)
        << out;
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(testing::ReadFile(dir.File("back.img"), &back));
    EXPECT_TRUE(back == image) << options;
  }
  // An explicit output name.
  ASSERT_EQ(testing::RunCommand("'" + Cli() + "' compress '" + dir.File("fw.img") + "' '" + dir.File("x.lzs") + "'",
                                &out),
            0);
  std::vector<std::uint8_t> named;
  ASSERT_TRUE(testing::ReadFile(dir.File("x.lzs"), &named));
  EXPECT_EQ(named, file);
}

TEST(CompressCommand, ExitCodes) {
  testing::TempDir dir;
  const std::string cli = "'" + Cli() + "'";
  ASSERT_TRUE(testing::WriteFile(dir.File("junk.bin"), testing::RandomBytes(100, 4)));
  EXPECT_EQ(testing::RunCommand(cli + " compress 2>/dev/null", nullptr), 2);
  EXPECT_EQ(testing::RunCommand(cli + " compress a b c 2>/dev/null", nullptr), 2);
  EXPECT_EQ(testing::RunCommand(cli + " compress --fast a 2>/dev/null", nullptr), 2);
  EXPECT_EQ(testing::RunCommand(cli + " compress '" + dir.File("none") + "' '" + dir.File("o") + "' 2>/dev/null",
                                nullptr),
            1);
  EXPECT_EQ(testing::RunCommand(cli + " decompress --size 12x a b 2>/dev/null", nullptr), 2);
  EXPECT_EQ(testing::RunCommand(cli + " decompress a 2>/dev/null", nullptr), 2);
  EXPECT_EQ(testing::RunCommand(cli + " decompress '" + dir.File("junk.bin") + "' '" + dir.File("o") + "' 2>/dev/null",
                                nullptr),
            1);
  // More bytes asked than the stream holds.
  ASSERT_TRUE(testing::WriteFile(dir.File("abc.img"), {'a', 'b', 'c'}));
  ASSERT_EQ(testing::RunCommand(cli + " compress '" + dir.File("abc.img") + "' '" + dir.File("abc.lzs") + "'", nullptr),
            0);
  EXPECT_EQ(testing::RunCommand(cli + " decompress --size 4 '" + dir.File("abc.lzs") + "' '" + dir.File("o") +
                                    "' 2>/dev/null",
                                nullptr),
            1);
}

TEST(CompressCommand, AFailedWriteKeepsTheOldOutputForBothDirections) {
  // A file size limit stands in for a full disk: the writes past it fail
  // (the signal that would end the program is ignored). A failure must not
  // leave the older output shortened, nor a temporary file beside it.
  testing::TempDir dir;
  const std::string cli = "'" + Cli() + "'";
  ASSERT_TRUE(testing::WriteFile(dir.File("fw.img"), testing::FirmwareLikeImage(150000, 5)));
  ASSERT_EQ(testing::RunCommand(cli + " compress '" + dir.File("fw.img") + "' '" + dir.File("fw.lzs") + "' >/dev/null",
                                nullptr),
            0);
  const std::vector<std::uint8_t> older = {'o', 'l', 'd'};
  ASSERT_TRUE(testing::WriteFile(dir.File("out"), older));
  const std::vector<std::string> before = Entries(dir.path());
  for (const std::string command : {"compress fw.img out", "decompress fw.lzs out"}) {
    std::string err;
    const int code = testing::RunCommand("cd '" + dir.path() + "' && trap '' XFSZ && ulimit -f 16 && " + cli + " " +
                                             command + " 2>&1 >/dev/null",
                                         &err);
    EXPECT_EQ(code, 1) << command << ": " << err;
    EXPECT_NE(err.find("File too large"), std::string::npos) << command << ": " << err;
    std::vector<std::uint8_t> kept;
    ASSERT_TRUE(testing::ReadFile(dir.File("out"), &kept));
    EXPECT_EQ(kept, older) << command;
    EXPECT_EQ(Entries(dir.path()), before) << command << " left a temporary file";
  }
}

#endif

}  // namespace
}  // namespace mervix
