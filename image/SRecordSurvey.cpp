#include "image/SRecordSurvey.h"

#include "image/HexText.h"

namespace mervix {
namespace {

// Address bytes of each record type; S4 is not defined and has none.
constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// The byte at character position |at|, or -1 when it is cut off or not hex.
int HexByte(const std::string& line, std::size_t at) {
  if (at + 1 >= line.size()) return -1;
  const std::uint8_t high = HexDigitValue(static_cast<unsigned char>(line[at]));
  const std::uint8_t low = HexDigitValue(static_cast<unsigned char>(line[at + 1]));
  if (high == kNotHexDigit || low == kNotHexDigit) return -1;
  return high * 16 + low;
}

void SurveyLine(std::string line, std::size_t number, SRecordSurvey& s) {
  ++s.lines;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return;
  ++s.records;
  const int type = line[1] - '0';
  ++s.countByType[static_cast<std::size_t>(type)];
  // Count, then count bytes (address, data, checksum); their sum with the
  // count is 0xFF when the checksum is right.
  const int count = HexByte(line, 2);
  if (count < 1) {
    s.unreadable.push_back(number);
    return;
  }
  unsigned sum = static_cast<unsigned>(count);
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < count; ++i) {
    const int b = HexByte(line, 4 + 2 * static_cast<std::size_t>(i));
    if (b < 0) {
      s.unreadable.push_back(number);
      return;
    }
    bytes.push_back(static_cast<std::uint8_t>(b));
    sum += static_cast<unsigned>(b);
  }
  if ((sum & 0xFF) != 0xFF) s.checksumMismatches.push_back(number);
  if (type < 1 || type > 3) return;
  const int addressBytes = kAddressBytes[type];
  const int dataBytes = count - addressBytes - 1;
  if (dataBytes <= 0) return;
  std::uint32_t address = 0;
  for (int i = 0; i < addressBytes; ++i) address = (address << 8) | bytes[static_cast<std::size_t>(i)];
  const std::uint64_t end = static_cast<std::uint64_t>(address) + static_cast<std::uint64_t>(dataBytes);
  if (!s.hasData || address < s.lowest) s.lowest = address;
  if (!s.hasData || end > s.highestEnd) s.highestEnd = end;
  s.hasData = true;
}

}  // namespace

SRecordSurvey SurveySRecordText(const std::string& text) {
  SRecordSurvey survey;
  std::size_t from = 0;
  std::size_t number = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    SurveyLine(text.substr(from, end - from), ++number, survey);
    from = end + 1;
  }
  return survey;
}

FileStatus SurveySRecords(const std::string& path, SRecordSurvey* survey) {
  InputFile file;
  FileStatus status = file.Open(path, ImageAccess::Shared, "file");
  if (!status.ok()) return status;
  std::string text;
  char piece[65536];
  for (std::uint64_t offset = 0;;) {
    std::size_t got = 0;
    const FileStatus read = file.ReadAt(offset, piece, sizeof piece, &got);
    if (!read.ok()) {
      return FileStatus::Of(read.problem, read.systemError, FileErrorReason("cannot read", path, read.systemError));
    }
    if (got == 0) break;
    text.append(piece, got);
    offset += got;
  }
  *survey = SurveySRecordText(text);
  return FileStatus();
}

}  // namespace mervix
