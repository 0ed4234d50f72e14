#include "image/UserModuleConverter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "resources/FileAccess.h"

namespace mervix {
namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The permissions a newly created file gets under the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

FileStatus ReplaceFileContents(const std::string& path, const std::uint8_t* data, std::size_t size) {
  if (path.empty()) return FileStatus::Of(FileProblem::WriteFailed, ENOENT, "cannot write output: no file name given");
  struct stat existing;
  mode_t mode = NewFileMode();
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      return FileStatus::Of(FileProblem::Directory, EISDIR, "cannot write output '" + path + "': it is a folder, not a file");
    }
    mode = existing.st_mode & 07777;
  }
  std::string temp = FolderOf(path) + "/." + NameOf(path) + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot create output beside", path, error));
  }
  // mkstemp creates with 0600; give the file the permissions it would have
  // had if written in place. A failure here costs only that courtesy.
  if (::fchmod(fd, mode) != 0) {
  }
  bool ok = WriteAll(fd, data, size);
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path, error));
  }
  return FileStatus{};
}

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
  if (type == 0 || type >= 4) return kRecordTaken;  // header, count and end records are ignored here

  DataRecordFields fields;
  const int fieldResult = ReadDataRecordFields(line, type, fields);
  if (fieldResult != kRecordTaken) return fieldResult;

  const std::uint32_t address = fields.address;
  if (address > kUserModuleAreaSize) return kRecordOutsideArea;
  if (fields.dataCount <= 0) return kRecordTaken;  // no bytes: nothing to place, bounds unchanged
  const std::uint32_t end = address + static_cast<std::uint32_t>(fields.dataCount);  // no wrap: address <= 1 MB
  if (end > kUserModuleAreaSize) return kRecordOutsideArea;

  const int dataResult = DecodeRecordData(line, fields, area_.data() + address);
  if (dataResult != kRecordTaken) return dataResult;
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
      outcome.readError = input.error();
      if (outcome.readError != 0) return outcome;
      outcome.recordResult = code;
      outcome.line = number;
      return outcome;
    }
  }
  outcome.readError = input.error();
  return outcome;
}

ConversionResult UserModuleConverter::ConvertUserModuleSRecords(const std::string& inputPath,
                                                                const std::string& outputPath) {
  InputFile input;
  FileStatus opened = input.Open(inputPath, ImageAccess::Shared, "input");
  if (!opened.ok()) return FileFailure(std::move(opened));

  // The image replaces the output file: refuse one that cannot be written
  // before reading the whole input.
  FileStatus output = CheckOutputPath(input, outputPath);
  if (!output.ok()) return FileFailure(std::move(output));
  if (::access(FolderOf(outputPath).c_str(), W_OK | X_OK) != 0) {
    const int error = errno;
    return FileFailure(FileStatus::Of(FileProblem::WriteFailed, error,
                               FileErrorReason("cannot write output", outputPath, error)));
  }

  ByteSource source(input.fd());
  const TextOutcome outcome = ConvertText(source);
  if (outcome.readError != 0) {
    return FileFailure(FileStatus::Of(FileProblem::ReadFailed, outcome.readError,
                               FileErrorReason("cannot read input", inputPath, outcome.readError)));
  }
  if (!outcome.ok()) {
    ConversionResult result;
    result.recordResult = outcome.recordResult;
    result.line = outcome.line;
    result.reason = "'" + inputPath + "' " + DescribeRecordFailure(outcome.line, outcome.recordResult);
    return result;
  }

  const std::uint32_t length = ImageLength();
  FileStatus written = ReplaceFileContents(outputPath, area_.data() + (length ? lowest_ : 0), length);
  if (!written.ok()) return FileFailure(std::move(written));
  ConversionResult result;
  result.outputPath = outputPath;
  result.imageLength = length;
  return result;
}

}  // namespace mervix
