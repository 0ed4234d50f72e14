// The system's calls of the file layer on POSIX: descriptors; the access
// modes are advisory locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstdlib>

#include "resources/FileAccessNative.h"

namespace mervix::native {
namespace {

// The permissions a newly created file gets under the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Closes a descriptor that is given up after a failed check, keeping the
// failure's own error.
FileStatus Abandon(int fd, FileStatus status) {
  ::close(fd);
  return status;
}

}  // namespace

FileStatus OpenForReading(const std::string& path, ImageAccess access, const std::string& action, NativeFile* file) {
  // O_NONBLOCK keeps a named pipe from stalling the open; regular files are
  // not affected by it. O_CREAT is never given: reading never creates.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return OpenFailure(action, path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    return Abandon(fd, FileStatus::Of(FileProblem::ReadFailed, error, FileErrorReason(action.c_str(), path, error)));
  }
  if (S_ISDIR(st.st_mode)) return Abandon(fd, DirectoryStatus(action, path));
  if (!S_ISREG(st.st_mode)) return Abandon(fd, NotRegularStatus(action, path));
  // The access mode as an advisory lock, never waited for. A file system
  // without lock support (ENOLCK, EOPNOTSUPP) is read without one.
  const int lockMode = (access == ImageAccess::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, lockMode) != 0 && errno == EWOULDBLOCK) return Abandon(fd, LockedStatus(action, path, EWOULDBLOCK));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *file = fd;
  return FileStatus();
}

int Close(NativeFile file) { return ::close(file) == 0 ? 0 : errno; }  // closing also drops the advisory lock

std::uint64_t Length(NativeFile file) {
  struct stat st;
  if (::fstat(file, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

int ReadOnce(NativeFile file, std::uint64_t offset, void* data, std::size_t size, std::size_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t n = ::pread(file, data, size, static_cast<off_t>(offset));
    if (n >= 0) {
      *got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int WriteOnce(NativeFile file, const void* data, std::size_t size, std::size_t* written) {
  *written = 0;
  for (;;) {
    const ssize_t n = ::write(file, data, size);
    if (n >= 0) {
      *written = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

bool IsSameFile(NativeFile file, const std::string& path) {
  struct stat a, b;
  if (::fstat(file, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileStatus CheckExistingOutput(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileStatus();  // a new file; creating it tells the rest
  if (S_ISDIR(st.st_mode)) return DirectoryStatus("cannot write output", path);
  const FileStatus notRegular = NotRegularStatus("cannot write output", path);
  if (!S_ISREG(st.st_mode)) return notRegular;
  // A replaced output never meets its own mode, so the permission to write
  // it is asked here: opened for writing, not truncated, closed at once.
  // O_NONBLOCK: a file swapped for a pipe since the stat cannot stall it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return OutputRefused(path, errno);
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular ? FileStatus() : notRegular;
}

FileStatus CreateInPlace(const std::string& path, NativeFile* file) {
  const char* action = "cannot create output";
  // O_NONBLOCK: a named pipe without a reader fails at once instead of
  // stalling; regular files are not affected by it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return WriteFailure(action, path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Abandon(fd, NotRegularStatus(action, path));
  *file = fd;
  return FileStatus();
}

void CutToZero(NativeFile file) {
  if (::ftruncate(file, 0) != 0) {
    // Nothing more can be done about the output; the caller reports the
    // failure that led here.
  }
}

std::string ReplacedTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string target = resolved;
  std::free(resolved);
  return target;
}

int CreateUnique(const std::string& pattern, const std::string& target, std::string* name, NativeFile* file) {
  // The new file keeps the old one's permissions; a new name gets the usual
  // ones.
  mode_t mode = NewFileMode();
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string temporary = pattern;
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  // mkstemp creates with 0600; give the file the permissions it would have
  // had if written in place. A failure here costs only that courtesy.
  if (::fchmod(fd, mode) != 0) {
  }
  *file = fd;
  *name = temporary;
  return 0;
}

int MoveOver(const std::string& temporary, const std::string& target) {
  return ::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
}

void Remove(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace mervix::native

namespace mervix {

std::FILE* OpenForAppending(const std::string& path) { return std::fopen(path.c_str(), "a+b"); }

bool FlushToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  return ::fsync(fileno(stream)) == 0;
}

std::tm UtcCalendarTime(std::time_t time) {
  std::tm tm{};
  gmtime_r(&time, &tm);
  return tm;
}

std::tm LocalCalendarTime(std::time_t time) {
  std::tm tm{};
  localtime_r(&time, &tm);
  return tm;
}

}  // namespace mervix
