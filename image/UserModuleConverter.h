// User module S-record files to a binary image at absolute addresses.
//
// The converter owns the UserModuleArea for its lifetime: byte i of the area
// holds the byte for device address i. Records may come in any order; the
// image is the stretch from the lowest data address to the highest data
// end, and the caller compares the lowest address with the address the
// module must be written to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/ByteSource.h"
#include "image/Conversion.h"
#include "image/SRecord.h"

namespace mervix {

constexpr std::uint32_t kUserModuleAreaSize = 0x100000;  // 1,048,576 bytes, 1 MB

// The output file name of the user module conversion, in the working folder.
inline constexpr const char kUserModuleImageName[] = "inter.img";

class UserModuleConverter {
 public:
  // Only the first kKeptLineLength characters of a line are kept: the
  // longest record (S3 with a count of 255) ends at character 514, and the
  // rest of a line is never read. Lines themselves may be of any length.
  static constexpr std::size_t kKeptLineLength = 1024;

  UserModuleConverter();

  // Lowest address := 1,048,576, highest end := 0. Every conversion starts
  // from there; the bounds then persist until the next conversion.
  void ResetBounds();
  std::uint32_t lowestAddress() const { return lowest_; }
  std::uint32_t highestEnd() const { return highestEnd_; }

  // Converts the S-record file `inputPath` into `outputPath` (normally
  // kUserModuleImageName).
  //  - The input must be an existing, readable regular file (opened with
  //    shared access); it is never created or modified.
  //  - The image is built in memory and written only on success, through a
  //    temporary file beside the output that then replaces it, so the output
  //    holds exactly the image; a failed conversion leaves an existing output
  //    unchanged and creates none. An output that names the input itself,
  //    is no regular file or may not be written is refused (CheckOutputPath).
  ConversionResult ConvertUserModuleSRecords(const std::string& inputPath, const std::string& outputPath);

  // The conversion without files: resets the bounds, prepares the area and
  // parses every line of `input`. Stops at the first record that fails.
  TextOutcome ConvertText(ByteSource& input);

  // Fills the area with kUncoveredByte and then zeroes its first four bytes.
  void PrepareArea();

  // Reads the next line: up to LF, with a CR right before the LF dropped;
  // a lone CR and a TAB are ordinary characters. A last line without a line
  // end still counts. Returns false at the end of the input.
  static bool ReadModuleLine(ByteSource& input, std::string& line);

  // Parses one line and places its data at its absolute address:
  //   0  taken: data placed, or S0, S4..S9 (ignored)
  //  -1  no 'S' at position 0 (an empty line too)
  //  -3  position 1 is not a decimal digit
  //  -4  the data would fall outside the area
  //  -5  the line ends inside the count, address or data
  //  -6  a non-hex character inside the count, address or data
  //  -7  the ignored text after the data holds a CR followed by 'S' and a
  //      digit: the file ends its lines with CR alone, which this reader
  //      does not take as a line end, and the records there would be lost
  // Never -2. A data record that carries no data (its count does not exceed
  // the address bytes and the checksum) leaves the bounds alone: it
  // describes no byte of the image.
  int ParseModuleRecord(std::string_view line);

  // highest end - lowest address, or 0 when no record carried data.
  std::uint32_t ImageLength() const;

  const std::uint8_t* area() const { return area_.data(); }

 private:
  std::vector<std::uint8_t> area_;
  std::uint32_t lowest_ = kUserModuleAreaSize;
  std::uint32_t highestEnd_ = 0;
};

}  // namespace mervix
