// SHA-256 against the standard's test vectors, fed whole and in uneven
// pieces, and a file's digest against the system's sha256sum.
#include "operations/Sha256.h"

#include "tests/operations/OperationsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace mervix {
namespace {

std::string Digest(const std::string& text, std::size_t piece) {
  Sha256 hash;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size(); at += piece) hash.Update(bytes + at, std::min(piece, text.size() - at));
  return hash.FinishHex();
}

TEST(Sha256, StandardVectorsWholeAndInPieces) {
  struct Vector {
    std::string text;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{1 << 20}}) {
      if (v.text.size() > 100000 && piece == 1) continue;
      EXPECT_EQ(Digest(v.text, piece), v.digest) << v.text.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(Sha256, FileDigestMatchesTheSystemsTool) {
#ifdef _WIN32
  GTEST_SKIP() << "sha256sum is a Linux program";
#else
  testing::TempFolder dir;
  const std::string path = dir / "image.img";
  testing::WriteBytes(path, testing::MakeImage(300001, 1, 2));
  FileStatus status;
  const std::string digest = FileSha256(path, &status);
  ASSERT_TRUE(status.ok()) << status.reason;
  std::FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[128] = {};
  ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
  ::pclose(p);
  EXPECT_EQ(digest, std::string(line).substr(0, 64));

  EXPECT_EQ(FileSha256(dir / "missing.img", &status), "");
  EXPECT_EQ(status.problem, FileProblem::Missing);
#endif
}

}  // namespace
}  // namespace mervix
