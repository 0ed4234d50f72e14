#include "image/SRecord.h"

#include "image/HexText.h"
#include "image/TextScan.h"

namespace mervix {
namespace {

// Parses `width` characters from `pos` as one hex field. The field must lie
// wholly inside the line and be hex digits only; ParseHexText alone would
// stop early at a stray character and yield a silently wrong value.
int ReadHexField(std::string_view line, std::size_t pos, std::size_t width, std::uint32_t& value) {
  if (line.size() < pos + width) return kRecordTooShort;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::uint8_t digit = HexDigitValue(static_cast<unsigned char>(line[pos + i]));
    if (digit == kNotHexDigit) return kRecordNotHex;
    v = v * 16u + digit;
  }
  value = v;
  return kRecordTaken;
}

}  // namespace

const char* DescribeRecordResult(int code) {
  switch (code) {
    case kRecordTaken:
      return "record taken";
    case kRecordNotSRecord:
      return "the line does not start with 'S'";
    case kRecordTypeRefused:
      return "record type S4, S5 or S6 is not accepted";
    case kRecordTypeNotDigit:
      return "the record type is not a decimal digit";
    case kRecordOutsideArea:
      return "the record's data would fall outside the work area";
    case kRecordTooShort:
      return "the line is shorter than the record's byte count implies";
    case kRecordNotHex:
      return "a character that is not a hex digit inside the record's count, address or data";
    case kRecordLoneCrLineEnd:
      return "lone CR line ends are not read by this conversion";
    default:
      return "unknown result";
  }
}

int ReadDataRecordFields(std::string_view line, int type, DataRecordFields& fields) {
  // S1: 2 address bytes, S2: 3, S3: 4.
  const std::size_t addressBytes = static_cast<std::size_t>(type) + 1;
  std::uint32_t count = 0;
  int result = ReadHexField(line, 2, 2, count);
  if (result != kRecordTaken) return result;
  std::uint32_t address = 0;
  result = ReadHexField(line, 4, addressBytes * 2, address);
  if (result != kRecordTaken) return result;
  fields.address = address;
  // The count covers the address bytes and the checksum byte too.
  fields.dataCount = static_cast<int>(count) - static_cast<int>(addressBytes) - 1;
  fields.dataStart = 4 + addressBytes * 2;
  return kRecordTaken;
}

int DecodeRecordData(std::string_view line, const DataRecordFields& fields, std::uint8_t* out) {
  if (fields.dataCount <= 0) return kRecordTaken;
  const std::size_t count = static_cast<std::size_t>(fields.dataCount);
  if (line.size() < fields.dataStart + 2 * count) return kRecordTooShort;
  const auto* text = reinterpret_cast<const unsigned char*>(line.data()) + fields.dataStart;
  return DecodeHexPairs(text, count, out) == count ? kRecordTaken : kRecordNotHex;
}

}  // namespace mervix
