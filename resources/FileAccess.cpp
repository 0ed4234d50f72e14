#include "resources/FileAccess.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "resources/PathText.h"

#ifdef _WIN32
#include <windows.h>

#include <chrono>
#include <random>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

FileStatus LockedStatus(const std::string& action, const std::string& path, int error) {
  return FileStatus::Of(FileProblem::Locked, error, action + " '" + path + "': it is in use by another program");
}

FileStatus DirectoryStatus(const std::string& action, const std::string& path) {
  return FileStatus::Of(FileProblem::Directory, EISDIR, action + " '" + path + "': it is a folder, not a file");
}

FileStatus NotRegularStatus(const std::string& action, const std::string& path) {
  return FileStatus::Of(FileProblem::NotRegular, EINVAL, action + " '" + path + "': not a regular file");
}

// The pattern of the temporary file beside |target|: ".<name>.XXXXXX" in its
// folder, the X's to be replaced by a unique suffix.
std::string TemporaryPattern(const std::string& target) {
  const std::size_t start = FileNameStart(target);
  return target.substr(0, start) + "." + target.substr(start) + ".XXXXXX";
}

}  // namespace

std::string FileErrorReason(const char* action, const std::string& path, int error) {
  return std::string(action) + " '" + path + "': " + std::strerror(error);
}

FileStatus ReplaceFileContents(const std::string& path, const std::uint8_t* data, std::size_t size) {
  ReplacementFile file;
  FileStatus created = file.Create(path);
  if (!created.ok()) return created;
  if (!file.Write(data, size)) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path, error));
  }
  return file.Commit();
}

InputFile::~InputFile() { Close(); }

#ifdef _WIN32

// ---------------------------------------------------------------------------
// Win32: wide-character calls on the UTF-8 paths; the access modes are share
// modes.

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

// The errno value nearest to a Win32 error.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

// errno for the calling thread's last Win32 error; returns it.
int LastErrno() {
  const int error = ErrnoOf(GetLastError());
  errno = error;
  return error;
}

HANDLE Native(NativeFile file) { return file == kNoFile ? INVALID_HANDLE_VALUE : static_cast<HANDLE>(file); }

NativeFile Kept(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? kNoFile : static_cast<NativeFile>(handle); }

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Writes all bytes to |file|; false with errno set (EBADF when it is not open).
bool WriteWhole(NativeFile file, const void* data, std::size_t size) {
  if (file == kNoFile) {
    errno = EBADF;
    return false;
  }
  const HANDLE handle = Native(file);
  const auto* in = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, in, piece, &written, nullptr)) {
      LastErrno();
      return false;
    }
    in += written;
    size -= written;
  }
  return true;
}

bool CutToZero(HANDLE handle) {
  LARGE_INTEGER zero{};
  return SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

// The file a symbolic link (or other reparse point) at |path| leads to, as
// a plain path; |path| itself when it is none or cannot be followed.
std::string FinalTarget(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
  const HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return path;
  std::wstring final(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), 0);
  if (length >= final.size()) {
    final.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), 0);
  }
  CloseHandle(handle);
  if (length == 0 || length >= final.size()) return path;
  final.resize(length);
  // "\\?\C:\dir\file" -> "C:\dir\file"; a UNC path keeps its prefix.
  if (final.rfind(L"\\\\?\\", 0) == 0 && final.size() > 6 && final[5] == L':') final.erase(0, 4);
  return Utf8(final);
}

}  // namespace

void InputFile::Close() {
  if (file_ != kNoFile) CloseHandle(Native(file_));
  file_ = kNoFile;
}

FileStatus InputFile::Open(const std::string& path, ImageAccess access, const char* what) {
  Close();
  path_ = path;
  const std::string action = std::string("cannot open ") + what;
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, action + ": no file name given");

  // The access mode is the share mode: exclusive shares nothing, shared lets
  // others read and write. Folders open too (backup semantics), to be named
  // as such below.
  const std::wstring wide = Wide(path);
  const DWORD share = access == ImageAccess::Exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    const int error = ErrnoOf(failure);
    if (IsFolder(wide)) return DirectoryStatus(action, path);
    if (failure == ERROR_SHARING_VIOLATION || failure == ERROR_LOCK_VIOLATION) {
      return LockedStatus(action, path, error);
    }
    return FileStatus::Of(ProblemForOpenError(error), error, FileErrorReason(action.c_str(), path, error));
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return DirectoryStatus(action, path);
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return NotRegularStatus(action, path);
  }
  file_ = Kept(handle);
  return FileStatus{};
}

std::uint64_t InputFile::Length() const {
  LARGE_INTEGER size;
  if (file_ == kNoFile || !GetFileSizeEx(Native(file_), &size) || size.QuadPart < 0) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

long InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) const {
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(data);
  while (done < size) {
    const std::uint64_t at = offset + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD piece = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
    DWORD got = 0;
    if (!ReadFile(Native(file_), out + done, piece, &got, &position)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      LastErrno();
      return -1;
    }
    if (got == 0) break;  // end of file
    done += got;
  }
  return static_cast<long>(done);
}

bool InputFile::IsSameFileAs(const std::string& path) const {
  BY_HANDLE_FILE_INFORMATION mine, theirs;
  if (file_ == kNoFile || !GetFileInformationByHandle(Native(file_), &mine)) return false;
  // No data access asked: this open is not refused by an exclusive holder.
  const HANDLE other = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(other, &theirs);
  CloseHandle(other);
  return known && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

FileStatus CheckOutputPath(const InputFile& input, const std::string& outputPath) {
  if (outputPath.empty()) {
    return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot write output: no file name given");
  }
  if (input.IsOpen() && input.IsSameFileAs(outputPath)) {
    return FileStatus::Of(FileProblem::SameFile, EINVAL,
                          "output '" + outputPath + "' is the input file itself; choose another output");
  }
  // The permission to write an existing output is asked here: opened for
  // writing, not truncated, closed at once. A name that is not there yet is
  // a new file; creating it tells the rest.
  const std::string action = "cannot write output";
  const std::wstring wide = Wide(outputPath);
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) return FileStatus();
    if (IsFolder(wide)) return DirectoryStatus(action, outputPath);
    const int error = ErrnoOf(failure);
    if (failure == ERROR_SHARING_VIOLATION || failure == ERROR_LOCK_VIOLATION) {
      return FileStatus::Of(FileProblem::WriteFailed, error,
                            action + " '" + outputPath + "': it is in use by another program");
    }
    return FileStatus::Of(error == EACCES ? FileProblem::Denied : FileProblem::WriteFailed, error,
                          FileErrorReason(action.c_str(), outputPath, error));
  }
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info;
  const bool readOnly = regular && GetFileInformationByHandle(handle, &info) &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  CloseHandle(handle);
  if (!regular) return NotRegularStatus(action, outputPath);
  // A read-only file cannot be replaced, whatever the account may open.
  if (readOnly) return FileStatus::Of(FileProblem::Denied, EACCES, FileErrorReason(action.c_str(), outputPath, EACCES));
  return FileStatus();
}

FileStatus OutputFile::Create(const std::string& path) {
  Close();
  path_ = path;
  const char* action = "cannot create output";
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot create output: no file name given");
  const HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const int error = LastErrno();
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason(action, path, error));
  }
  // A device is refused before anything is written to it; a file is cut to
  // length 0 as it is opened.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return NotRegularStatus(action, path);
  }
  if (!CutToZero(handle)) {
    const int error = LastErrno();
    CloseHandle(handle);
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason(action, path, error));
  }
  file_ = Kept(handle);
  return FileStatus();
}

bool OutputFile::Write(const void* data, std::size_t size) { return WriteWhole(file_, data, size); }

void OutputFile::Truncate() {
  if (file_ != kNoFile) CutToZero(Native(file_));
}

FileStatus OutputFile::Close() {
  if (file_ == kNoFile) return FileStatus();
  const bool closed = CloseHandle(Native(file_));
  file_ = kNoFile;
  if (closed) return FileStatus();
  const int error = LastErrno();
  return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path_, error));
}

FileStatus ReplacementFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  target_ = path;
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot create output: no file name given");
  target_ = FinalTarget(path);
  const std::string pattern = TemporaryPattern(target_);
  const std::string stem = pattern.substr(0, pattern.size() - 6);
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::mt19937 random(static_cast<unsigned>(std::random_device{}()) ^
                      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  DWORD failure = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && (failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS);
       ++attempt) {
    std::string temporary = stem;
    for (int i = 0; i < 6; ++i) temporary += kDigits[random() % (sizeof kDigits - 1)];
    const HANDLE handle = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file_ = Kept(handle);
      temporary_ = temporary;
      return FileStatus();
    }
    failure = GetLastError();
  }
  const int error = ErrnoOf(failure);
  return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot create", path, error));
}

bool ReplacementFile::Write(const void* data, std::size_t size) { return WriteWhole(file_, data, size); }

FileStatus ReplacementFile::Commit() {
  if (temporary_.empty()) {
    return FileStatus::Of(FileProblem::WriteFailed, EBADF, "cannot write output '" + path_ + "': not created");
  }
  int error = 0;
  if (!CloseHandle(Native(file_))) error = LastErrno();
  file_ = kNoFile;
  if (error == 0 && !MoveFileExW(Wide(temporary_).c_str(), Wide(target_).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastErrno();
  }
  if (error != 0) {
    Discard();
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path_, error));
  }
  temporary_.clear();
  return FileStatus();
}

void ReplacementFile::Discard() {
  if (file_ != kNoFile) CloseHandle(Native(file_));
  file_ = kNoFile;
  if (!temporary_.empty()) DeleteFileW(Wide(temporary_).c_str());
  temporary_.clear();
}

#else

// ---------------------------------------------------------------------------
// POSIX: descriptors; the access modes are advisory locks.

namespace {

// Writes all bytes to |fd|, resuming after partial writes; false with errno
// set (EBADF when it is not open).
bool WriteWhole(int fd, const void* data, std::size_t size) {
  if (fd == kNoFile) {
    errno = EBADF;
    return false;
  }
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

// The permissions a newly created file gets under the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void InputFile::Close() {
  if (file_ >= 0) ::close(file_);  // closing also drops the advisory lock
  file_ = kNoFile;
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
    return DirectoryStatus(action, path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return NotRegularStatus(action, path);
  }
  // The access mode as an advisory lock, never waited for. A file system
  // without lock support (ENOLCK, EOPNOTSUPP) is read without one.
  const int lockMode = (access == ImageAccess::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, lockMode) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    return LockedStatus(action, path, EWOULDBLOCK);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  file_ = fd;
  return FileStatus{};
}

std::uint64_t InputFile::Length() const {
  struct stat st;
  if (file_ < 0 || ::fstat(file_, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

long InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) const {
  std::size_t done = 0;
  auto* out = static_cast<unsigned char*>(data);
  while (done < size) {
    const ssize_t n = ::pread(file_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

bool InputFile::IsSameFileAs(const std::string& path) const {
  struct stat a, b;
  if (file_ < 0 || ::fstat(file_, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileStatus CheckOutputPath(const InputFile& input, const std::string& outputPath) {
  if (outputPath.empty()) {
    return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot write output: no file name given");
  }
  // Creating or truncating the output must never destroy the input it is
  // made from (the same name, a link, or a name that differs only in case
  // on a file system that ignores case).
  if (input.IsOpen() && input.IsSameFileAs(outputPath)) {
    return FileStatus::Of(FileProblem::SameFile, EINVAL,
                          "output '" + outputPath + "' is the input file itself; choose another output");
  }
  struct stat st;
  if (::stat(outputPath.c_str(), &st) != 0) return FileStatus();  // a new file; creating it tells the rest
  if (S_ISDIR(st.st_mode)) return DirectoryStatus("cannot write output", outputPath);
  const FileStatus notRegular = NotRegularStatus("cannot write output", outputPath);
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

FileStatus OutputFile::Create(const std::string& path) {
  Close();
  path_ = path;
  const char* action = "cannot create output";
  if (path.empty()) return FileStatus::Of(FileProblem::Missing, ENOENT, "cannot create output: no file name given");
  // O_NONBLOCK: a named pipe without a reader fails at once instead of
  // stalling; regular files are not affected by it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason(action, path, error));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return NotRegularStatus(action, path);
  }
  file_ = fd;
  return FileStatus();
}

bool OutputFile::Write(const void* data, std::size_t size) { return WriteWhole(file_, data, size); }

void OutputFile::Truncate() {
  if (file_ >= 0 && ::ftruncate(file_, 0) != 0) {
    // Nothing more can be done about the output; the caller reports the
    // failure that led here.
  }
}

FileStatus OutputFile::Close() {
  if (file_ < 0) return FileStatus();
  const int closed = ::close(file_);
  file_ = kNoFile;
  if (closed == 0) return FileStatus();
  const int error = errno;
  return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path_, error));
}

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
  std::string temporary = TemporaryPattern(target_);
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot create", path, error));
  }
  // mkstemp creates with 0600; give the file the permissions it would have
  // had if written in place. A failure here costs only that courtesy.
  if (::fchmod(fd, mode) != 0) {
  }
  file_ = fd;
  temporary_ = temporary;
  return FileStatus();
}

bool ReplacementFile::Write(const void* data, std::size_t size) { return WriteWhole(file_, data, size); }

FileStatus ReplacementFile::Commit() {
  if (temporary_.empty()) {
    return FileStatus::Of(FileProblem::WriteFailed, EBADF, "cannot write output '" + path_ + "': not created");
  }
  int error = 0;
  if (::close(file_) != 0) error = errno;
  file_ = kNoFile;
  if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    Discard();
    return FileStatus::Of(FileProblem::WriteFailed, error, FileErrorReason("cannot write output", path_, error));
  }
  temporary_.clear();
  return FileStatus();
}

void ReplacementFile::Discard() {
  if (file_ >= 0) ::close(file_);
  file_ = kNoFile;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

#endif

}  // namespace mervix
