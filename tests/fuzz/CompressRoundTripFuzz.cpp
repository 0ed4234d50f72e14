// The coder over any image: what it writes must decode, with the project's
// own decoder, to exactly the input, and coding the same input twice (with
// the same coder object, as the window does run after run) must give the
// same bytes.
//
// The first input byte picks the dictionary size (9..13 bits) for the
// determinism check; the round trip always uses lh5's 13 bits, the only
// size the decoder reads.
#include "compress/CoderInterfaces.h"
#include "compress/ImageCompressor.h"
#include "compress/Lh5Decoder.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace mervix;

namespace {

std::vector<std::uint8_t> Code(ImageCompressor& coder, const std::uint8_t* data, std::size_t size,
                               std::uint16_t bits, std::uint32_t* written) {
  MemoryOutputStream out;
  FUZZ_CHECK(coder.Start(&out, bits, 0) == 1);
  for (std::size_t i = 0; i < size; ++i) coder.PutByte(data[i]);
  std::uint32_t inputSize = 0;
  *written = coder.Finish(&inputSize);
  FUZZ_CHECK(inputSize == size);
  return out.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ImageCompressor* coder = new ImageCompressor(nullptr, &SilentDiagnostics());
  if (size == 0) return 0;
  const std::uint16_t bits = static_cast<std::uint16_t>(9 + data[0] % 5);
  ++data;
  --size;

  std::uint32_t written = 0;
  const std::vector<std::uint8_t> stream = Code(*coder, data, size, kLh5DictionaryBits, &written);
  FUZZ_CHECK(written == stream.size());
  FUZZ_CHECK((size == 0) == stream.empty());

  std::vector<std::uint8_t> decoded;
  std::string error;
  const bool ok = DecodeLh5(stream.data(), stream.size(), std::nullopt, &decoded, &error);
  if (!ok) std::fprintf(stderr, "decode failed: %s\n", error.c_str());
  FUZZ_CHECK(ok);
  FUZZ_CHECK(decoded.size() == size);
  FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), data));

  std::uint32_t again = 0;
  FUZZ_CHECK(Code(*coder, data, size, kLh5DictionaryBits, &again) == stream);
  if (bits != kLh5DictionaryBits) {
    std::uint32_t first = 0, second = 0;
    const std::vector<std::uint8_t> a = Code(*coder, data, size, bits, &first);
    FUZZ_CHECK(Code(*coder, data, size, bits, &second) == a);
    FUZZ_CHECK(first == a.size() && second == a.size());
  }
  return 0;
}
