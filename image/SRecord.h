// The S-record line layout shared by the firmware and the user module
// conversions, and the result codes of their record parsers.
//
// Positions are counted from 0 and every field is hexadecimal text, two
// characters per byte:
//   0            'S'
//   1            record type, one decimal digit
//   2-3          byte count: the bytes that follow (address, data, checksum)
//   4...         address: 4 (S1), 6 (S2) or 8 (S3) characters
//   after it     data: byte count - address bytes - 1 bytes
//   last two     checksum: never read, never verified
// Anything after the data is ignored, checksum included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mervix {

// Result codes of ParseFirmwareRecord and ParseModuleRecord.
enum RecordResult : int {
  kRecordTaken = 0,          // data placed, or a record type that is ignored
  kRecordNotSRecord = -1,    // the line does not start with 'S' (an empty line included)
  kRecordTypeRefused = -2,   // S4, S5 or S6 in a firmware file
  kRecordTypeNotDigit = -3,  // the character after 'S' is not a decimal digit
  kRecordOutsideArea = -4,   // the data would fall outside the work area
  kRecordTooShort = -5,      // the line ends inside the count, address or data
  kRecordNotHex = -6,        // a non-hex character inside the count, address or data
  kRecordLoneCrLineEnd = -7,  // a user module line hides a record behind a lone CR
};

// A short description of a result code, e.g. "the line does not start with 'S'".
const char* DescribeRecordResult(int code);

// The fields of an S1, S2 or S3 record that place data.
struct DataRecordFields {
  std::uint32_t address = 0;
  // Data bytes the byte count implies; zero or negative when the count does
  // not exceed the address bytes plus the checksum byte.
  int dataCount = 0;
  std::size_t dataStart = 0;  // position of the first data character
};

// Reads the byte count and the address of a data record of type 1, 2 or 3
// (the caller has checked positions 0 and 1). Returns kRecordTaken, or
// kRecordTooShort / kRecordNotHex when these fields are cut off or hold a
// character that is not a hex digit.
int ReadDataRecordFields(std::string_view line, int type, DataRecordFields& fields);

// Decodes the record's dataCount bytes (nothing when it is 0 or less) into
// `out`, which has room for them. Returns kRecordTaken, kRecordTooShort when
// the line ends inside the data, or kRecordNotHex for a non-hex character
// there; on a failure, bytes before the fault may already have been stored.
int DecodeRecordData(std::string_view line, const DataRecordFields& fields, std::uint8_t* out);

}  // namespace mervix
