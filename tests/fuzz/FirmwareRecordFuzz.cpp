// Firmware S-record text of any bytes: the line reader, the record parser
// and the whole conversion.
//
// Input: one selector byte for the base address, then the text. Checks:
//  - ReadSRecordLine returns length + 1 for a line of at most 1023
//    characters that holds no line end;
//  - ParseFirmwareRecord returns one of its result codes, and a data record
//    it takes has its bytes in the area at (address - base);
//  - ConvertText over the same text stops at the same line with the same
//    result as the line-by-line loop, and a successful conversion describes
//    an image that fits the area.
#include "image/ByteSource.h"
#include "image/FirmwareConverter.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <string_view>

using mervix::ByteSource;
using mervix::FirmwareConverter;
using mervix::kFirmwareAreaSize;
using mervix::fuzz::InputCursor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The 2 MB area is prepared by every conversion, so one converter serves all runs.
  static FirmwareConverter* converter = new FirmwareConverter();
  InputCursor in(data, size);
  const std::uint8_t selector = in.Byte();
  std::uint32_t base = 0;
  switch (selector & 3) {
    case 0: base = 0; break;
    case 1: base = 0x00010000; break;
    case 2: base = 0xFFFF0000u; break;  // records near the top of the address space
    case 3: base = in.Long(); break;
  }
  const std::string_view text = in.Rest();

  // Line by line, as the conversion does it, with the checks in between.
  // A conversion of nothing prepares the area and starts the line count
  // afresh, as ConvertText does before its first line.
  converter->SetBaseAddress(base);
  {
    ByteSource nothing(std::string_view{});
    FUZZ_CHECK(converter->ConvertText(nothing).ok());
    FUZZ_CHECK(converter->ImageLength() == 0);
  }
  int firstFailure = 0;
  std::size_t failureLine = 0;
  std::size_t previousLine = 0;
  {
    ByteSource source(text);
    for (;;) {
      const int got = converter->ReadSRecordLine(source);
      if (got == 0) break;
      const std::string_view line = converter->line();
      FUZZ_CHECK(static_cast<std::size_t>(got) == line.size() + 1);
      FUZZ_CHECK(line.size() <= FirmwareConverter::kMaxLineLength);
      FUZZ_CHECK(line.find_first_of("\r\n\t") == std::string_view::npos);
      FUZZ_CHECK(converter->lineNumber() >= previousLine && converter->lineNumber() >= 1);
      previousLine = converter->lineNumber();
      const int result = converter->ParseFirmwareRecord(line);
      FUZZ_CHECK(result <= 0 && result >= -6);
      if (result != 0) {
        firstFailure = result;
        failureLine = converter->lineNumber();
        break;
      }
      mervix::fuzz::CheckPlacedData(line, converter->area(), kFirmwareAreaSize, base);
    }
  }
  const std::uint32_t loopLength = converter->ImageLength();

  // The whole conversion agrees with the loop.
  converter->SetBaseAddress(base);
  ByteSource source(text);
  const mervix::TextOutcome outcome = converter->ConvertText(source);
  FUZZ_CHECK(outcome.read.ok());
  FUZZ_CHECK(outcome.recordResult == firstFailure);
  FUZZ_CHECK(outcome.line == failureLine);
  FUZZ_CHECK(converter->ImageLength() == loopLength);
  if (outcome.ok()) FUZZ_CHECK(converter->ImageLength() <= kFirmwareAreaSize);
  return 0;
}
