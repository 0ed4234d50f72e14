// The decoder over any stream: it must fail with a reason or stop, never
// read outside its input or write past what it reports, whatever the bytes
// (AddressSanitizer watches the reads; the input is copied by the runner
// into a buffer of exactly its size).
//
// The first input byte chooses between decoding to the stream's end and
// decoding to an expected size taken from the next two bytes. Checks: a
// failure comes with a reason; with an expected size, success means exactly
// that many bytes and a failure never more; the output stays under the cap;
// a stream that decoded re-decodes identically, and one decoded to its end
// decodes to the same bytes when its size is given.
#include "compress/Lh5Decoder.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace mervix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::optional<std::size_t> expected;
  std::size_t skip = 1;
  if (data[0] & 1) {
    if (size < 3) return 0;
    // Up to 256 KiB: enough for blocks that expand far beyond their input.
    expected = (static_cast<std::size_t>(data[1]) << 10 | static_cast<std::size_t>(data[2]) << 2);
    skip = 3;
  }
  const std::vector<std::uint8_t> stream(data + skip, data + size);

  std::vector<std::uint8_t> out;
  std::string error;
  Lh5StreamInfo info;
  const bool ok = DecodeLh5(stream.data(), stream.size(), expected, &out, &error, &info);
  FUZZ_CHECK(out.size() <= kMaxLh5DecodedSize);
  FUZZ_CHECK(info.bitsRead <= stream.size() * 8);
  if (!ok) {
    FUZZ_CHECK(!error.empty());
  }
  if (expected) {
    if (ok) FUZZ_CHECK(out.size() == *expected);
    else FUZZ_CHECK(out.size() <= *expected);
  }
  if (ok) {
    std::vector<std::uint8_t> again;
    FUZZ_CHECK(DecodeLh5(stream.data(), stream.size(), expected, &again, nullptr));
    FUZZ_CHECK(again == out);
    // A stream that decodes to its end also decodes when its size is given.
    if (!expected) {
      std::vector<std::uint8_t> sized;
      FUZZ_CHECK(DecodeLh5(stream.data(), stream.size(), out.size(), &sized, nullptr));
      FUZZ_CHECK(sized == out);
    }
  }
  return 0;
}
