// User module S-record text of any bytes: the line reader, the record
// parser and the whole conversion.
//
// Checks: ParseModuleRecord returns one of its result codes and never the
// firmware-only -2; a data record it takes has its bytes at its absolute
// address; ConvertText stops where the line-by-line loop stops; a
// successful conversion's bounds lie inside the 1 MB area.
#include "image/ByteSource.h"
#include "image/UserModuleConverter.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>

using mervix::ByteSource;
using mervix::kUserModuleAreaSize;
using mervix::UserModuleConverter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static UserModuleConverter* converter = new UserModuleConverter();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  converter->ResetBounds();
  converter->PrepareArea();
  int firstFailure = 0;
  std::size_t failureLine = 0;
  {
    ByteSource source(text);
    std::string line;
    std::size_t number = 0;
    while (UserModuleConverter::ReadModuleLine(source, line)) {
      ++number;
      FUZZ_CHECK(line.find('\n') == std::string::npos);
      const int result = converter->ParseModuleRecord(line);
      FUZZ_CHECK(result <= 0 && result >= -7 && result != -2);
      if (result != 0) {
        firstFailure = result;
        failureLine = number;
        break;
      }
      mervix::fuzz::CheckPlacedData(line, converter->area(), kUserModuleAreaSize, 0);
    }
  }
  const std::uint32_t loopLow = converter->lowestAddress();
  const std::uint32_t loopEnd = converter->highestEnd();

  ByteSource source(text);
  const mervix::TextOutcome outcome = converter->ConvertText(source);
  FUZZ_CHECK(outcome.read.ok());
  FUZZ_CHECK(outcome.recordResult == firstFailure);
  FUZZ_CHECK(outcome.line == failureLine);
  FUZZ_CHECK(converter->lowestAddress() == loopLow && converter->highestEnd() == loopEnd);
  if (outcome.ok() && converter->ImageLength() > 0) {
    FUZZ_CHECK(converter->lowestAddress() < converter->highestEnd());
    FUZZ_CHECK(converter->highestEnd() <= kUserModuleAreaSize);
    FUZZ_CHECK(converter->ImageLength() == converter->highestEnd() - converter->lowestAddress());
  }
  return 0;
}
