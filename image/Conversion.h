// What a conversion reports back: the output path on success, or why it
// failed in words a caller can show (which line, which result code, or which
// file and the system's reason).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "resources/FileAccess.h"

namespace mervix {

// Bytes of the image that no data record covers: erased flash.
constexpr std::uint8_t kUncoveredByte = 0xFF;

// The outcome of running the record parser over a whole text, before any
// output is written.
struct TextOutcome {
  int recordResult = 0;   // 0, or the failing record's negative result code
  std::size_t line = 0;   // 1-based line of the failing record; 0 when none failed
  FileStatus read;        // a failed read of the input, naming it; ok otherwise

  bool ok() const { return recordResult == 0 && read.ok(); }
};

struct ConversionResult {
  std::string outputPath;      // the image written; empty when the conversion failed
  std::uint32_t imageLength = 0;  // bytes written to the output
  int recordResult = 0;        // the failing record's result code, 0 otherwise
  std::size_t line = 0;        // 1-based line of the failing record, 0 otherwise
  FileStatus file;             // the file problem, when a file is what failed
  std::string reason;          // one line for the operator or standard error

  bool ok() const { return !outputPath.empty(); }
};

// A conversion that failed on a file.
inline ConversionResult FileFailure(FileStatus status) {
  ConversionResult result;
  result.reason = status.reason;
  result.file = std::move(status);
  return result;
}

// "line 7: result -4 (the record's data would fall outside the work area)"
std::string DescribeRecordFailure(std::size_t line, int recordResult);

}  // namespace mervix
