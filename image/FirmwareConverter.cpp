#include "image/FirmwareConverter.h"

#include <algorithm>
#include <cstring>

#include "image/TextScan.h"
#include "resources/FileAccess.h"

namespace mervix {

FirmwareConverter::FirmwareConverter() : memory_(kFirmwareAreaSize + kReadBufferSize) {
  std::memset(memory_.data(), kUncoveredByte, kFirmwareAreaSize);
  line_[0] = '\0';
}

void FirmwareConverter::SetBaseAddress(std::uint32_t base) {
  base_ = base;
  endMark_ = base;
}

void FirmwareConverter::PrepareArea() {
  // Filling 2 MB again is skipped when nothing was placed since the last
  // fill: a new converter's first conversion fills it once, not twice.
  if (areaState_ == AreaState::Written) std::memset(memory_.data(), kUncoveredByte, kFirmwareAreaSize);
  std::memset(memory_.data(), 0, 4);
  areaState_ = AreaState::Prepared;
}

int FirmwareConverter::ReadSRecordLine(ByteSource& input) {
  lineNumber_ = physicalLine_;
  std::size_t n = 0;
  bool sawAnything = false;
  // Copies whole runs of ordinary characters out of the source's buffer;
  // the line ends at the first LF, CR or TAB or when the line buffer is full.
  while (n < kMaxLineLength) {
    const std::string_view chunk = input.Buffered();
    if (chunk.empty()) break;  // end of the input
    sawAnything = true;
    const std::size_t room = kMaxLineLength - n;
    const std::size_t scan = chunk.size() < room ? chunk.size() : room;
    const std::size_t i = FindLineEnd(chunk.data(), scan);
    std::memcpy(line_ + n, chunk.data(), i);
    n += i;
    if (i == scan) {
      input.Consume(i);
      continue;  // chunk used up, or the line buffer full
    }
    const char end = chunk[i];
    input.Consume(i + 1);
    if (end == '\r') input.Skip('\n');  // CR LF is a single line end
    // A TAB ends the line but not the file's line: what follows it is read
    // as a new line of the same physical line.
    if (end != '\t') ++physicalLine_;
    line_[n] = '\0';
    lineLength_ = n;
    return static_cast<int>(n) + 1;
  }
  line_[n] = '\0';
  lineLength_ = n;
  // Either the buffer is full (the next read continues the physical line) or
  // the input ended: a last line without a line end still counts, nothing
  // at all means the input is finished.
  if (!sawAnything) return 0;
  return static_cast<int>(n) + 1;
}

int FirmwareConverter::ParseFirmwareRecord(std::string_view line) {
  if (line.empty() || line[0] != 'S') return kRecordNotSRecord;
  if (line.size() < 2 || line[1] < '0' || line[1] > '9') return kRecordTypeNotDigit;
  const int type = line[1] - '0';
  switch (type) {
    case 0:
    case 7:
    case 8:
    case 9:
      return kRecordTaken;  // header and end records leave no trace
    case 4:
    case 5:
    case 6:
      return kRecordTypeRefused;
    default:
      break;
  }

  DataRecordFields fields;
  const int fieldResult = ReadDataRecordFields(line, type, fields);
  if (fieldResult != kRecordTaken) return fieldResult;

  // The end mark follows the last data record in file order, also one with
  // no data (count 3 for S1 moves it to the record's own address) and also
  // when the range test below then refuses the record.
  endMark_ = fields.address + static_cast<std::uint32_t>(fields.dataCount);

  // Unsigned: an address below the base gives a huge offset and fails.
  const std::uint32_t offset = fields.address - base_;
  if (offset > kFirmwareAreaSize) return kRecordOutsideArea;
  if (fields.dataCount >= 1 &&
      static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(fields.dataCount) > kFirmwareAreaSize) {
    return kRecordOutsideArea;
  }
  // A later record over the same addresses overwrites these bytes.
  if (fields.dataCount >= 1) areaState_ = AreaState::Written;
  return DecodeRecordData(line, fields, memory_.data() + offset);
}

std::uint32_t FirmwareConverter::ImageLength() const {
  // Every accepted record keeps end mark - base within the area, except a
  // record with a negative data count, which may leave it a few bytes below
  // the base: the unsigned difference then wraps far past the area's size.
  const std::uint32_t length = endMark_ - base_;
  return length <= kFirmwareAreaSize ? length : 0;
}

void FirmwareConverter::KeepLine(std::string_view line) {
  std::copy(line.begin(), line.end(), line_);
  line_[line.size()] = '\0';
  lineLength_ = line.size();
}

TextOutcome FirmwareConverter::ConvertText(ByteSource& input) {
  PrepareArea();
  endMark_ = base_;
  physicalLine_ = 1;
  TextOutcome outcome;
  for (;;) {
    const std::string_view chunk = input.Buffered();
    if (chunk.empty()) {
      // The end of the input, where ReadSRecordLine leaves an empty line.
      lineNumber_ = physicalLine_;
      KeepLine({});
      break;
    }
    int code;
    // Most lines lie whole in the buffer, shorter than the longest line and
    // with the character after their end buffered too: parsed in place,
    // they are the line ReadSRecordLine would copy out, and taking their
    // end (a CR LF included) needs no further read. The rest (a line that
    // runs on past the buffer, or to the longest line's length) go through
    // ReadSRecordLine.
    const std::size_t window = std::min(chunk.size() - 1, kMaxLineLength);
    const std::size_t end = FindLineEnd(chunk.data(), window);
    if (end < window) {
      lineNumber_ = physicalLine_;
      const std::string_view line = chunk.substr(0, end);
      code = ParseFirmwareRecord(line);
      if (code != kRecordTaken) KeepLine(line);
      const char ending = chunk[end];
      std::size_t used = end + 1;
      if (ending == '\r' && chunk[used] == '\n') ++used;  // CR LF is a single line end
      if (ending != '\t') ++physicalLine_;
      input.Consume(used);
    } else {
      ReadSRecordLine(input);  // not 0: the buffer holds at least a character
      code = ParseFirmwareRecord(line());
    }
    if (code != kRecordTaken) {
      // A line cut short by a failed read is the read's fault, not the file's.
      outcome.read = input.status();
      if (!outcome.read.ok()) return outcome;
      outcome.recordResult = code;
      outcome.line = lineNumber_;
      return outcome;
    }
  }
  outcome.read = input.status();
  return outcome;
}

ConversionResult FirmwareConverter::ConvertFirmwareSRecords(const std::string& inputPath,
                                                            const std::string& outputPath) {
  InputFile input;
  FileStatus opened = input.Open(inputPath, ImageAccess::Shared, "input");
  if (!opened.ok()) return FileFailure(std::move(opened));

  FileStatus output = CheckOutputPath(input, outputPath);
  if (!output.ok()) return FileFailure(std::move(output));
  OutputFile out;
  FileStatus created = out.Create(outputPath);
  if (!created.ok()) return FileFailure(std::move(created));

  ByteSource source(input, memory_.data() + kFirmwareAreaSize, kReadBufferSize);
  const TextOutcome outcome = ConvertText(source);
  ConversionResult result;
  if (!outcome.ok()) {
    out.Close();  // left with length 0: it was truncated when opened
    if (!outcome.read.ok()) return FileFailure(outcome.read);
    result.recordResult = outcome.recordResult;
    result.line = outcome.line;
    result.reason = "'" + inputPath + "' " + DescribeRecordFailure(outcome.line, outcome.recordResult);
    return result;
  }

  const std::uint32_t length = ImageLength();
  FileStatus written = out.Write(memory_.data(), length);
  if (!written.ok()) {
    out.Truncate();
    out.Close();
    return FileFailure(std::move(written));
  }
  FileStatus closed = out.Close();
  if (!closed.ok()) return FileFailure(std::move(closed));
  result.outputPath = outputPath;
  result.imageLength = length;
  return result;
}

}  // namespace mervix
