// Every stream of a varied corpus must decode to its input, with the
// project's decoder and with independent lh5 decoders (lha, bsdtar) given
// the stream inside a minimal LHA archive.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "compress/Lh5Decoder.h"
#include "tests/compress/FirmwareLikeImage.h"
#include "tests/compress/Lh5TestSupport.h"

namespace mervix {
namespace {

using testing::Compress;
using testing::CompressResult;
using testing::ScriptedAllocator;
using testing::kBlockBufferRequest;

struct Case {
  std::string name;
  std::vector<std::uint8_t> data;
  bool smallBlockBuffer = false;  // code with the 4131-byte fallback buffer
};

std::vector<Case> BuildCorpus() {
  std::vector<Case> corpus;
  corpus.push_back({"code.bin", testing::MachineCodeLike(100000, 1)});
  corpus.push_back({"text.txt", testing::TextLike(70000, 2)});
  corpus.push_back({"zeros.bin", std::vector<std::uint8_t>(50000, 0)});
  corpus.push_back({"random.bin", testing::RandomBytes(40000, 3)});
  corpus.push_back({"firmware.img", testing::FirmwareLikeImage()});
  for (std::size_t size : {1u, 2u, 3u, 255u, 256u, 257u, 8191u, 8192u, 8193u, 8447u, 8448u, 8449u, 16383u,
                           16384u, 16385u}) {
    corpus.push_back({"size" + std::to_string(size) + ".bin", testing::FirmwareLikeImage(size, 100 + size)});
  }
  // Around the first block boundary: random bytes are coded as literals, so
  // a 16 KB block buffer closes its first block after 14544 tokens.
  const std::vector<std::uint8_t> random = testing::RandomBytes(20000, 77);
  CompressResult probe = Compress(random, nullptr, true);
  std::size_t covered = 0;
  for (std::size_t i = 0; i < 14544 && i < probe.tokens.size(); ++i) {
    covered += probe.tokens[i].code < 256 ? 1 : probe.tokens[i].code - 253;
  }
  for (std::size_t size : {covered - 1, covered, covered + 1, covered + 8}) {
    corpus.push_back({"block" + std::to_string(size) + ".bin",
                      std::vector<std::uint8_t>(random.begin(), random.begin() + static_cast<long>(size))});
  }
  corpus.push_back({"small-code.bin", testing::MachineCodeLike(100000, 5), true});
  corpus.push_back({"small-firmware.img", testing::FirmwareLikeImage(400000, 6), true});
  corpus.push_back({"small-random.bin", testing::RandomBytes(30000, 7), true});
  return corpus;
}

struct Coded {
  std::vector<std::uint8_t> stream;
  std::vector<unsigned> blocks;
};

Coded CodeCase(const Case& c) {
  ScriptedAllocator heap;
  if (c.smallBlockBuffer) heap.FailRequests(kBlockBufferRequest, kBlockBufferRequest + 12);  // 16384 .. 4590 refused
  CompressResult r = Compress(c.data, &heap);
  EXPECT_EQ(r.started, 1) << c.name;
  EXPECT_EQ(r.inputSize, c.data.size()) << c.name;
  EXPECT_EQ(r.returned, r.stream.size()) << c.name;
  return {r.stream, {}};
}

class RoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    corpus_ = new std::vector<Case>(BuildCorpus());
    coded_ = new std::vector<Coded>();
    for (const Case& c : *corpus_) coded_->push_back(CodeCase(c));
  }
  static void TearDownTestSuite() {
    delete corpus_;
    delete coded_;
  }
  static std::vector<Case>* corpus_;
  static std::vector<Coded>* coded_;
};
std::vector<Case>* RoundTrip::corpus_ = nullptr;
std::vector<Coded>* RoundTrip::coded_ = nullptr;

TEST_F(RoundTrip, OwnDecoderRestoresEveryInput) {
  for (std::size_t i = 0; i < corpus_->size(); ++i) {
    const Case& c = (*corpus_)[i];
    const std::vector<std::uint8_t>& stream = (*coded_)[i].stream;
    std::vector<std::uint8_t> out;
    std::string error;
    EXPECT_TRUE(DecodeLh5(stream.data(), stream.size(), std::nullopt, &out, &error)) << c.name << ": " << error;
    EXPECT_TRUE(out == c.data) << c.name;
    // Told the size, with the file's trailer behind the stream.
    std::vector<std::uint8_t> file = stream;
    for (char t : std::string("TOVA")) file.push_back(static_cast<std::uint8_t>(t));
    EXPECT_TRUE(DecodeLh5(file.data(), file.size(), c.data.size(), &out, &error)) << c.name << ": " << error;
    EXPECT_TRUE(out == c.data) << c.name;
  }
}

TEST_F(RoundTrip, CompressingTwiceGivesTheSameBytes) {
  for (std::size_t i = 0; i < corpus_->size(); i += 3) {
    EXPECT_TRUE(CodeCase((*corpus_)[i]).stream == (*coded_)[i].stream) << (*corpus_)[i].name;
  }
}

// Writes each stream into its own one-member level-0 archive, has the tool
// extract it, and compares. (One archive per stream: libarchive misreads a
// stream of a few bytes when another member follows it.) Streams shorter
// than minStream bytes are left out.
void CheckWithExtractor(const std::vector<Case>& corpus, const std::vector<Coded>& coded, const std::string& tool,
                        const std::string& extractCommand, std::size_t minStream = 0) {
#ifdef _WIN32
  // The Windows build's streams are compared with the Linux build's instead
  // (scripts/test-windows), which these decoders check.
  GTEST_SKIP() << tool << " is a Linux program";
#else
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
#endif
  testing::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    const Case& c = corpus[i];
    if (coded[i].stream.size() < minStream) continue;
    const std::string archivePath = dir.File(c.name + ".lzh");
    ASSERT_TRUE(testing::WriteFile(archivePath, testing::MakeLh5Archive(coded[i].stream, c.data, c.name)));
    const std::string outDir = dir.File("out" + std::to_string(i));
    std::string log;
    const std::string command = "mkdir -p '" + outDir + "' && cd '" + outDir + "' && " + extractCommand + " '" +
                                archivePath + "' 2>&1";
    EXPECT_EQ(testing::RunCommand(command, &log), 0) << c.name << ": " << log;
    std::vector<std::uint8_t> extracted;
    ASSERT_TRUE(testing::ReadFile(outDir + "/" + c.name, &extracted)) << tool << " did not extract " << c.name;
    EXPECT_TRUE(extracted == c.data) << tool << " decoded " << c.name << " differently";
  }
}

TEST_F(RoundTrip, LhaRestoresEveryInput) { CheckWithExtractor(*corpus_, *coded_, "/usr/bin/lha", "/usr/bin/lha -xq"); }

// libarchive's lzh reader refuses streams of under 10 bytes (here those of
// 1..3 input bytes, which lha and our decoder accept); the check leaves them
// to the other two decoders.
TEST_F(RoundTrip, BsdtarRestoresEveryInput) {
  CheckWithExtractor(*corpus_, *coded_, "/usr/bin/bsdtar", "/usr/bin/bsdtar -xf", 10);
}

}  // namespace
}  // namespace mervix
