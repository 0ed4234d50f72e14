// The files of FileAccess.h, written once over the system's calls of
// FileAccessNative.h: what every system checks the same way (empty names,
// the output that is the input itself, files that are not open), the
// resumed reads and writes, the temporary file's name, and every reason.
#include "resources/FileAccess.h"

#include <cerrno>
#include <cstring>

#include "resources/FileAccessNative.h"
#include "resources/PathText.h"

namespace mervix {

// --- Reason texts -----------------------------------------------------------

std::string FileErrorReason(const char* action, const std::string& path, int error) {
  return std::string(action) + " '" + path + "': " + std::strerror(error);
}

namespace native {

FileProblem ProblemForOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return FileProblem::Missing;
    case EISDIR:
      return FileProblem::Directory;
    case EACCES:
    case EPERM:
      return FileProblem::Denied;
    default:
      return FileProblem::ReadFailed;
  }
}

FileStatus OpenFailure(const std::string& action, const std::string& path, int error) {
  return FileStatus::Of(ProblemForOpenError(error), error, FileErrorReason(action.c_str(), path, error));
}

FileStatus WriteFailure(const std::string& action, const std::string& path, int error) {
  return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason(action.c_str(), path, error));
}

FileStatus OutputRefused(const std::string& path, int error) {
  FileStatus status = WriteFailure("cannot write output", path, error);
  if (error == EACCES || error == EPERM) status.problem = FileProblem::Denied;
  return status;
}

std::string InUseReason(const std::string& action, const std::string& path) {
  return action + " '" + path + "': it is in use by another program";
}

FileStatus LockedStatus(const std::string& action, const std::string& path, int error) {
  return FileStatus::Of(FileProblem::Locked, error, InUseReason(action, path));
}

FileStatus DirectoryStatus(const std::string& action, const std::string& path) {
  return FileStatus::Of(FileProblem::Directory, EISDIR, action + " '" + path + "': it is a folder, not a file");
}

FileStatus NotRegularStatus(const std::string& action, const std::string& path) {
  return FileStatus::Of(FileProblem::NotRegular, EINVAL, action + " '" + path + "': not a regular file");
}

}  // namespace native

namespace {

FileStatus NoNameGiven(const std::string& action) {
  return FileStatus::Of(FileProblem::Missing, ENOENT, action + ": no file name given");
}

// Writes all bytes, resuming after partial writes; 0 or the error (EBADF
// when the file is not open).
int WriteWhole(NativeFile file, const void* data, std::size_t size) {
  if (file == kNoFile) return EBADF;
  const auto* in = static_cast<const unsigned char*>(data);
  while (size > 0) {
    std::size_t written = 0;
    const int error = native::WriteOnce(file, in, size, &written);
    if (error != 0) return error;
    if (written == 0) return EIO;  // a write that takes nothing would never end
    in += written;
    size -= written;
  }
  return 0;
}

}  // namespace

// --- InputFile --------------------------------------------------------------

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
  if (file_ != kNoFile) native::Close(file_);
  file_ = kNoFile;
}

FileStatus InputFile::Open(const std::string& path, ImageAccess access, const char* what) {
  Close();
  path_ = path;
  what_ = what;
  const std::string action = std::string("cannot open ") + what;
  if (path.empty()) return NoNameGiven(action);
  return native::OpenForReading(path, access, action, &file_);
}

std::uint64_t InputFile::Length() const { return file_ == kNoFile ? 0 : native::Length(file_); }

FileStatus InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size, std::size_t* got) const {
  auto* out = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  int error = file_ == kNoFile ? EBADF : 0;
  while (error == 0 && done < size) {
    std::size_t n = 0;
    error = native::ReadOnce(file_, offset + done, out + done, size - done, &n);
    if (error == 0 && n == 0) break;  // the end of the file
    done += n;
  }
  *got = done;
  if (error == 0) return FileStatus();
  return FileStatus::Of(FileProblem::ReadFailed, error, FileErrorReason(("cannot read " + what_).c_str(), path_, error));
}

bool InputFile::IsSameFileAs(const std::string& path) const {
  return file_ != kNoFile && native::IsSameFile(file_, path);
}

// --- Outputs ----------------------------------------------------------------

FileStatus CheckOutputPath(const InputFile& input, const std::string& outputPath) {
  if (outputPath.empty()) return NoNameGiven("cannot write output");
  // Creating or truncating the output must never destroy the input it is
  // made from (the same name, a link, or a name that differs only in case
  // on a file system that ignores case).
  if (input.IsOpen() && input.IsSameFileAs(outputPath)) {
    return FileStatus::Of(FileProblem::SameFile, EINVAL,
                          "output '" + outputPath + "' is the input file itself; choose another output");
  }
  return native::CheckExistingOutput(outputPath);
}

FileStatus OutputFile::Create(const std::string& path) {
  Close();
  path_ = path;
  if (path.empty()) return NoNameGiven("cannot create output");
  return native::CreateInPlace(path, &file_);
}

FileStatus OutputFile::Write(const void* data, std::size_t size) {
  const int error = WriteWhole(file_, data, size);
  return error == 0 ? FileStatus() : native::WriteFailure("cannot write output", path_, error);
}

void OutputFile::Truncate() {
  if (file_ != kNoFile) native::CutToZero(file_);
}

FileStatus OutputFile::Close() {
  if (file_ == kNoFile) return FileStatus();
  const int error = native::Close(file_);
  file_ = kNoFile;
  return error == 0 ? FileStatus() : native::WriteFailure("cannot write output", path_, error);
}

FileStatus ReplacementFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  target_ = path;
  if (path.empty()) return NoNameGiven("cannot create output");
  target_ = native::ReplacedTarget(path);
  // ".<name>.XXXXXX" in the target's folder: a rename within one folder
  // replaces the file in one step.
  const std::size_t nameStart = FileNameStart(target_);
  const std::string pattern = target_.substr(0, nameStart) + "." + target_.substr(nameStart) + ".XXXXXX";
  const int error = native::CreateUnique(pattern, target_, &temporary_, &file_);
  return error == 0 ? FileStatus() : native::WriteFailure("cannot create", path, error);
}

FileStatus ReplacementFile::Write(const void* data, std::size_t size) {
  const int error = WriteWhole(file_, data, size);
  return error == 0 ? FileStatus() : native::WriteFailure("cannot write output", path_, error);
}

FileStatus ReplacementFile::Commit() {
  if (temporary_.empty()) {
    return FileStatus::Of(FileProblem::WriteFailed, EBADF, "cannot write output '" + path_ + "': not created");
  }
  int error = native::Close(file_);
  file_ = kNoFile;
  if (error == 0) error = native::MoveOver(temporary_, target_);
  if (error != 0) {
    Discard();
    return native::WriteFailure("cannot write output", path_, error);
  }
  temporary_.clear();
  return FileStatus();
}

void ReplacementFile::Discard() {
  if (file_ != kNoFile) native::Close(file_);
  file_ = kNoFile;
  if (!temporary_.empty()) native::Remove(temporary_);
  temporary_.clear();
}

FileStatus ReplaceFileContents(const std::string& path, const std::uint8_t* data, std::size_t size) {
  ReplacementFile file;
  FileStatus status = file.Create(path);
  if (status.ok()) status = file.Write(data, size);
  if (status.ok()) status = file.Commit();
  return status;
}

}  // namespace mervix
