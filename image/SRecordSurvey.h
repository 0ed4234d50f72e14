// What an S-record file holds, for `mervix-cli info`: the record types and
// how many of each, the address range of the data records, and the lines
// whose checksum does not match. Informational only: the conversions never
// look at checksums, and nothing here changes what they do.
#pragma once

#include "resources/FileAccess.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mervix {

struct SRecordSurvey {
  std::size_t lines = 0;    // lines in the file
  std::size_t records = 0;  // lines that start with 'S' and a digit
  std::array<std::size_t, 10> countByType{};  // records of S0 to S9
  bool hasData = false;        // an S1, S2 or S3 record with data was read
  std::uint32_t lowest = 0;    // the lowest address a data record fills
  std::uint64_t highestEnd = 0;  // one past the highest address filled
  // 1-based lines whose checksum byte does not complete the sum of count,
  // address and data to 0xFF; and record lines too short or with non-hex
  // characters to check at all.
  std::vector<std::size_t> checksumMismatches;
  std::vector<std::size_t> unreadable;
};

// Reads the file at |path| (shared access) line by line (LF or CR LF ends)
// and surveys its records. A file that cannot be opened or read is reported
// in the status.
FileStatus SurveySRecords(const std::string& path, SRecordSurvey* survey);

// The same over text in memory.
SRecordSurvey SurveySRecordText(const std::string& text);

}  // namespace mervix
