// A prepared image's file held open: what it reads once when taken, and the
// proof of every block against what was read then.
#include "operations/HeldImage.h"
#include "operations/Sha256.h"
#include "tests/operations/OperationsTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mervix {
namespace {

using ::testing::HasSubstr;
using namespace mervix::testing;

constexpr std::uint32_t kBlock = 65536;

TEST(HeldImageTest, TakesLengthHeaderAndHashFromOneRead) {
  TempFolder dir;
  const Bytes image = MakeImage(2 * kBlock + 7, 3, 9);
  const std::string path = dir / "fw.img";
  WriteBytes(path, image);
  FileStatus status;
  const auto held = HeldImage::Take(path, ImageAccess::Exclusive, &status);
  ASSERT_NE(held, nullptr) << status.reason;
  EXPECT_EQ(held->Length(), image.size());
  EXPECT_TRUE(HasImageTag(held->Header()));
  EXPECT_EQ(MajorVersion(held->Header()), 3);
  Sha256 expected;
  expected.Update(image.data(), image.size());
  EXPECT_EQ(held->Sha256(), expected.FinishHex());
  // Held with the access of the run: nobody else takes it meanwhile.
  FileStatus second;
  EXPECT_EQ(HeldImage::Take(path, ImageAccess::Exclusive, &second), nullptr);
  EXPECT_EQ(second.problem, FileProblem::Locked);
  FileStatus missing;
  EXPECT_EQ(HeldImage::Take(dir / "none.img", ImageAccess::Exclusive, &missing), nullptr);
  EXPECT_EQ(missing.problem, FileProblem::Missing);
}

// What another program does to the file after it was taken, and which
// blocks still prove; a kept image sends the bytes it hashed whatever
// happens to the file.
TEST(HeldImageTest, EveryBlockIsProvenAgainstWhatWasRead) {
  // |change| says whether the file could be changed: on Windows a file held
  // without sharing cannot, and then every block proves.
  struct Case {
    const char* name;
    std::function<bool(const std::string& path, Bytes& bytes)> change;
    std::vector<bool> proven;  // per block, when the change was made
    const char* reason;        // of the first block that fails
  } cases[] = {
      {"untouched", [](const std::string&, Bytes&) { return true; }, {true, true, true}, ""},
      {"one byte of block 2 rewritten in place",
       [](const std::string& path, Bytes& bytes) {
         bytes[kBlock + 5] ^= 0xFF;
         return TryWriteBytes(path, bytes);
       },
       {true, false, true}, "changed since it was prepared: block 2 of 3"},
      {"cut short",
       [](const std::string& path, Bytes& bytes) {
         bytes.resize(kBlock + 10);
         return TryWriteBytes(path, bytes);
       },
       {true, false, false}, "before the length it had when it was prepared"},
  };
  for (const bool kept : {false, true}) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SCOPED_TRACE(kept ? "kept" : "read from the file");
    TempFolder dir;
    Bytes bytes = MakeImage(2 * kBlock + 300, 1, 5);
    const std::string path = dir / "fw.img";
    WriteBytes(path, bytes);
    FileStatus status;
    const auto held = HeldImage::Take(path, ImageAccess::Exclusive, &status, kept ? HeldImage::kKeepLimit : 0);
    ASSERT_NE(held, nullptr) << status.reason;
    const Bytes original = bytes;
    const bool changed = c.change(path, bytes);
    bool reasonSeen = false;
    for (std::uint32_t k = 0; k < 3; ++k) {
      const std::uint64_t offset = std::uint64_t{k} * kBlock;
      const std::uint32_t size = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlock, original.size() - offset));
      Bytes block(size);
      const FileStatus read = held->ReadBlock(offset, block.data(), size);
      EXPECT_EQ(read.ok(), kept || !changed || c.proven[k]) << "block " << k + 1 << ": " << read.reason;
      if (read.ok()) {
        EXPECT_TRUE(std::equal(block.begin(), block.end(), original.begin() + offset));
      }
      if (!read.ok() && !reasonSeen) {
        EXPECT_THAT(read.reason, HasSubstr(c.reason));
        EXPECT_THAT(read.reason, HasSubstr(path));
        reasonSeen = true;
      }
    }
  }
  }
}

TEST(HeldImageTest, OnlyTheBlocksOfTheImageCanBeRead) {
  TempFolder dir;
  const std::string path = dir / "fw.img";
  const Bytes bytes = MakeImage(kBlock + 10, 1, 5);
  WriteBytes(path, bytes);
  Bytes buffer(kBlock);
  struct Case {
    const char* what;
    std::uint64_t offset;
    std::uint32_t size;
    bool exists;
  } cases[] = {{"not at a block's start", 1, 100, false},
               {"not the block's whole length", kBlock, 9, false},
               {"past the image", 2 * kBlock, 1, false},
               {"the first block", 0, kBlock, true},
               {"the last block", kBlock, 10, true}};
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "kept" : "read from the file");
    FileStatus status;
    const auto held = HeldImage::Take(path, ImageAccess::Exclusive, &status, keep ? HeldImage::kKeepLimit : 0);
    ASSERT_NE(held, nullptr) << status.reason;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(held->ReadBlock(c.offset, buffer.data(), c.size).ok(), c.exists);
      const std::uint8_t* kept = held->KeptBlock(c.offset, c.size);
      EXPECT_EQ(kept != nullptr, keep && c.exists);
      if (kept != nullptr) EXPECT_TRUE(std::equal(kept, kept + c.size, bytes.begin() + c.offset));
    }
  }
}

}  // namespace
}  // namespace mervix
