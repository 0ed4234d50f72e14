#include "image/UserModuleConverter.h"

#include <cstring>

#include "resources/FileAccess.h"

namespace mervix {
namespace {

// The ignored text of a record, from `from` on (after its data, or after the
// type of a record that places nothing), hides another record behind a
// lone CR.
bool HidesRecordBehindCr(std::string_view line, std::size_t from) {
  for (std::size_t cr = line.find('\r', from); cr != std::string_view::npos; cr = line.find('\r', cr + 1)) {
    if (cr + 2 < line.size() && line[cr + 1] == 'S' && line[cr + 2] >= '0' && line[cr + 2] <= '9') return true;
  }
  return false;
}

}  // namespace

UserModuleConverter::UserModuleConverter() : area_(kUserModuleAreaSize, kUncoveredByte) {}

void UserModuleConverter::ResetBounds() {
  lowest_ = kUserModuleAreaSize;
  highestEnd_ = 0;
}

void UserModuleConverter::PrepareArea() {
  std::memset(area_.data(), kUncoveredByte, area_.size());
  std::memset(area_.data(), 0, 4);
}

bool UserModuleConverter::ReadModuleLine(ByteSource& input, std::string& line) {
  line.clear();
  const bool ended = input.AppendUntil('\n', line, kKeptLineLength);
  if (!ended && line.empty()) return false;  // nothing left at all
  // CR LF counts as one LF. Past kKeptLineLength the CR was dropped already.
  if (ended && !line.empty() && line.size() < kKeptLineLength && line.back() == '\r') line.pop_back();
  return true;
}

int UserModuleConverter::ParseModuleRecord(std::string_view line) {
  if (line.empty() || line[0] != 'S') return kRecordNotSRecord;
  if (line.size() < 2 || line[1] < '0' || line[1] > '9') return kRecordTypeNotDigit;
  const int type = line[1] - '0';
  if (type == 0 || type >= 4) {  // header, count and end records are ignored here
    return HidesRecordBehindCr(line, 2) ? kRecordLoneCrLineEnd : kRecordTaken;
  }

  DataRecordFields fields;
  const int fieldResult = ReadDataRecordFields(line, type, fields);
  if (fieldResult != kRecordTaken) return fieldResult;

  const std::uint32_t address = fields.address;
  if (address > kUserModuleAreaSize) return kRecordOutsideArea;
  if (fields.dataCount <= 0) {  // no bytes: nothing to place, bounds unchanged
    return HidesRecordBehindCr(line, fields.dataStart) ? kRecordLoneCrLineEnd : kRecordTaken;
  }
  const std::uint32_t end = address + static_cast<std::uint32_t>(fields.dataCount);  // no wrap: address <= 1 MB
  if (end > kUserModuleAreaSize) return kRecordOutsideArea;

  const int dataResult = DecodeRecordData(line, fields, area_.data() + address);
  if (dataResult != kRecordTaken) return dataResult;
  if (HidesRecordBehindCr(line, fields.dataStart + 2 * static_cast<std::size_t>(fields.dataCount))) {
    return kRecordLoneCrLineEnd;
  }
  if (address < lowest_) lowest_ = address;
  if (end > highestEnd_) highestEnd_ = end;
  return kRecordTaken;
}

std::uint32_t UserModuleConverter::ImageLength() const {
  return highestEnd_ > lowest_ ? highestEnd_ - lowest_ : 0;
}

TextOutcome UserModuleConverter::ConvertText(ByteSource& input) {
  ResetBounds();
  PrepareArea();
  TextOutcome outcome;
  std::string line;
  line.reserve(kKeptLineLength);
  std::size_t number = 0;
  while (ReadModuleLine(input, line)) {
    ++number;
    const int code = ParseModuleRecord(line);
    if (code != kRecordTaken) {
      // A line cut short by a failed read is the read's fault, not the file's.
      outcome.read = input.status();
      if (!outcome.read.ok()) return outcome;
      outcome.recordResult = code;
      outcome.line = number;
      return outcome;
    }
  }
  outcome.read = input.status();
  return outcome;
}

ConversionResult UserModuleConverter::ConvertUserModuleSRecords(const std::string& inputPath,
                                                                const std::string& outputPath) {
  InputFile input;
  FileStatus opened = input.Open(inputPath, ImageAccess::Shared, "input");
  if (!opened.ok()) return FileFailure(std::move(opened));

  // The image replaces the output file: refuse one that cannot be written,
  // and make its temporary file, before reading the whole input.
  FileStatus output = CheckOutputPath(input, outputPath);
  if (!output.ok()) return FileFailure(std::move(output));
  ReplacementFile replacement;
  FileStatus created = replacement.Create(outputPath);
  if (!created.ok()) return FileFailure(std::move(created));

  ByteSource source(input);
  const TextOutcome outcome = ConvertText(source);
  if (!outcome.read.ok()) return FileFailure(outcome.read);
  if (!outcome.ok()) {
    ConversionResult result;
    result.recordResult = outcome.recordResult;
    result.line = outcome.line;
    result.reason = "'" + inputPath + "' " + DescribeRecordFailure(outcome.line, outcome.recordResult);
    return result;
  }

  const std::uint32_t length = ImageLength();
  FileStatus written = replacement.Write(area_.data() + (length ? lowest_ : 0), length);
  if (written.ok()) written = replacement.Commit();
  if (!written.ok()) return FileFailure(std::move(written));
  ConversionResult result;
  result.outputPath = outputPath;
  result.imageLength = length;
  return result;
}

}  // namespace mervix
