#include "resources/FileAccess.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mervix {
namespace {

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

}  // namespace

std::string FileErrorReason(const char* action, const std::string& path, int error) {
  return std::string(action) + " '" + path + "': " + std::strerror(error);
}

InputFile::~InputFile() { Close(); }

void InputFile::Close() {
  if (fd_ >= 0) ::close(fd_);  // closing also drops the advisory lock
  fd_ = -1;
}

FileStatus InputFile::Open(const std::string& path, ImageAccess access, const char* what) {
  Close();
  path_ = path;
  const std::string action = std::string("cannot open ") + what;
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, action + ": no file name given");

  // O_NONBLOCK keeps a named pipe from stalling the open; regular files are
  // not affected by it. O_CREAT is never given: reading never creates.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(ProblemForOpenError(error), error, FileErrorReason(action.c_str(), path, error));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return FileStatus::Of(FileProblem::ReadFailed, error, FileErrorReason(action.c_str(), path, error));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return FileStatus::Of(FileProblem::Directory, EISDIR, action + " '" + path + "': it is a folder, not a file");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return FileStatus::Of(FileProblem::NotRegular, EINVAL, action + " '" + path + "': not a regular file");
  }
  // The access mode as an advisory lock, never waited for. A file system
  // without lock support (ENOLCK, EOPNOTSUPP) is read without one.
  const int lockMode = (access == ImageAccess::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, lockMode) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    return FileStatus::Of(FileProblem::Locked, EWOULDBLOCK, action + " '" + path + "': it is in use by another program");
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  return FileStatus{};
}

std::uint64_t InputFile::Length() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

long InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) const {
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(data);
  while (done < size) {
    const ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* in = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, in, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    in += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool IsSameFile(int fd, const std::string& path) {
  struct stat a, b;
  if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileStatus CheckOutputPath(const InputFile& input, const std::string& outputPath) {
  if (outputPath.empty()) {
    return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot write output: no file name given");
  }
  // Creating or truncating the output must never destroy the input it is
  // made from (the same name, a link, or a name that differs only in case
  // on a file system that ignores case).
  if (input.fd() >= 0 && IsSameFile(input.fd(), outputPath)) {
    return FileStatus::Of(FileProblem::SameFile, EINVAL,
                   "output '" + outputPath + "' is the input file itself; choose another output");
  }
  struct stat st;
  if (::stat(outputPath.c_str(), &st) != 0) return FileStatus();  // a new file; creating it tells the rest
  if (S_ISDIR(st.st_mode)) {
    return FileStatus::Of(FileProblem::Directory, EISDIR,
                   "cannot write output '" + outputPath + "': it is a folder, not a file");
  }
  const FileStatus notRegular =
      FileStatus::Of(FileProblem::NotRegular, EINVAL, "cannot write output '" + outputPath + "': not a regular file");
  if (!S_ISREG(st.st_mode)) return notRegular;
  // A replaced output never meets its own mode, so the permission to write
  // it is asked here: opened for writing, not truncated, closed at once.
  // O_NONBLOCK: a file swapped for a pipe since the stat cannot stall it.
  const int fd = ::open(outputPath.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(error == EACCES || error == EPERM ? FileProblem::Denied : FileProblem::WriteFailed, error,
                          FileErrorReason("cannot write output", outputPath, error));
  }
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular ? FileStatus() : notRegular;
}

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

FileStatus ReplacementFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  target_ = path;
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot create output: no file name given");
  mode_t mode = NewFileMode();
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target_ = resolved;
      std::free(resolved);
    }
  }
  if (::stat(target_.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string temporary = FolderOf(target_) + "/." + NameOf(target_) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot create", path, error));
  }
  // mkstemp creates with 0600; give the file the permissions it would have
  // had if written in place. A failure here costs only that courtesy.
  if (::fchmod(fd, mode) != 0) {
  }
  fd_ = fd;
  temporary_ = temporary;
  return FileStatus();
}

FileStatus ReplacementFile::Commit() {
  if (temporary_.empty()) {
    return FileStatus::Of(FileProblem::WriteFailed, EBADF, "cannot write output '" + path_ + "': not created");
  }
  int error = 0;
  if (::close(fd_) != 0) error = errno;
  fd_ = -1;
  if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    Discard();
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path_, error));
  }
  temporary_.clear();
  return FileStatus();
}

void ReplacementFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

FileStatus ReplaceFileContents(const std::string& path, const std::uint8_t* data, std::size_t size) {
  ReplacementFile file;
  FileStatus created = file.Create(path);
  if (!created.ok()) return created;
  if (!WriteAll(file.fd(), data, size)) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path, error));
  }
  return file.Commit();
}

}  // namespace mervix
