// Firmware S-record files to a binary image laid out from a base address.
//
// The converter owns the FirmwareImageArea for its lifetime, together with
// the base address value and the end mark, which persist between
// conversions. Offset 0 of the area is the base address; each S1/S2/S3
// record's data goes to (address - base). The image written is the first
// (end mark - base) bytes of the area, where the end mark is one past the
// data of the last data record in file order (not the highest address).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/AreaMemory.h"
#include "image/ByteSource.h"
#include "image/Conversion.h"
#include "image/SRecord.h"

namespace mervix {

constexpr std::uint32_t kFirmwareAreaSize = 0x1F0000;  // 2,031,616 bytes, 1984 KB

class FirmwareConverter {
 public:
  // Longest line the reader keeps; longer runs are split into lines.
  static constexpr std::size_t kMaxLineLength = 1023;

  FirmwareConverter();

  // Sets the base address value and, with it, the end mark to the same
  // number. Every conversion starts from that state again.
  void SetBaseAddress(std::uint32_t base);
  std::uint32_t baseAddress() const { return base_; }
  std::uint32_t endMark() const { return endMark_; }

  // Converts the S-record file `inputPath` into the image file `outputPath`.
  //  - The input must be an existing, readable regular file; it is never
  //    created or modified. If it cannot be opened, no output is touched.
  //  - An output that names the input itself, or names something other than
  //    a regular file (a folder, a pipe), is refused untouched.
  //  - Otherwise the output is created or truncated to length 0 first, and
  //    a failed conversion (a record that does not parse, a read or write
  //    error) leaves it with length 0.
  // On success the result carries the output path and the image length.
  ConversionResult ConvertFirmwareSRecords(const std::string& inputPath, const std::string& outputPath);

  // The conversion without files: prepares the area (PrepareArea), resets
  // the end mark to the base, then reads and parses every line of `input`.
  // Stops at the first record that does not parse. Reads the same lines as
  // ReadSRecordLine would, but parses a line that lies whole in the
  // source's buffer where it lies instead of copying it out. Afterwards
  // line() and lineNumber() are what the ReadSRecordLine loop leaves: the
  // line that failed, or when none did, the empty line past the end.
  TextOutcome ConvertText(ByteSource& input);

  // Fills the area with kUncoveredByte and then zeroes its first four bytes,
  // as every conversion does before placing records.
  void PrepareArea();

  // Reads the next line of `input` into the line buffer. LF, CR and TAB end
  // a line; CR LF is one line end; the end is not stored. After
  // kMaxLineLength characters without a line end, those form the line and
  // the next read starts a new line with the following character. A last
  // line needs no line end.
  // Returns 0 at the end of the input, otherwise the line's length plus one
  // (so an empty line gives 1).
  int ReadSRecordLine(ByteSource& input);

  // The line last read by ReadSRecordLine, and the 1-based line of the file
  // it began on (counted by LF, CR and CR LF, not by TAB or splits).
  std::string_view line() const { return std::string_view(line_, lineLength_); }
  std::size_t lineNumber() const { return lineNumber_; }

  // Parses one line and places its data. Result codes (SRecord.h):
  //   0  taken: data placed, or S0, S7, S8, S9 (ignored)
  //  -1  no 'S' at position 0 (an empty line too)
  //  -2  S4, S5 or S6
  //  -3  position 1 is not a decimal digit
  //  -4  the data would fall outside the area
  //  -5  the line ends inside the count, address or data
  //  -6  a non-hex character inside the count, address or data
  // For a data record with sound fields the end mark becomes address +
  // data count before the range test, even when it has no data.
  int ParseFirmwareRecord(std::string_view line);

  // Bytes of the image the end mark describes: end mark - base, or 0 when a
  // malformed last record left the end mark below the base.
  std::uint32_t ImageLength() const;

  const std::uint8_t* area() const { return memory_.data(); }

 private:
  // The file conversion reads its input through this many bytes right
  // after the area, in the same memory: the area and the read buffer
  // together fill one 2 MB huge page.
  static constexpr std::size_t kReadBufferSize = ByteSource::kChunkSize;

  // Keeps `line` as the line last read (line()), as ReadSRecordLine does.
  void KeepLine(std::string_view line);

  AreaMemory memory_;  // kFirmwareAreaSize bytes of area, then the read buffer
  // What the area holds: kUncoveredByte throughout (as constructed), that
  // with the first four bytes zeroed (as PrepareArea leaves it), or records
  // placed since.
  enum class AreaState { Erased, Prepared, Written };
  AreaState areaState_ = AreaState::Erased;
  std::uint32_t base_ = 0;
  std::uint32_t endMark_ = 0;
  char line_[kMaxLineLength + 1];
  std::size_t lineLength_ = 0;
  std::size_t lineNumber_ = 0;    // where the last line began
  std::size_t physicalLine_ = 1;  // where the next character lies
};

}  // namespace mervix
