// The system's calls of the file layer on Windows: wide-character calls on
// the UTF-8 paths; the access modes are share modes.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <chrono>
#include <random>

#include "resources/FileAccessNative.h"

namespace mervix::native {
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

// The calling thread's last Win32 error as an errno value.
int LastError() { return ErrnoOf(GetLastError()); }

bool IsSharingError(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

HANDLE Native(NativeFile file) { return file == kNoFile ? INVALID_HANDLE_VALUE : static_cast<HANDLE>(file); }

NativeFile Kept(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? kNoFile : static_cast<NativeFile>(handle); }

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Closes a handle that is given up after a failed check.
FileStatus Abandon(HANDLE handle, FileStatus status) {
  CloseHandle(handle);
  return status;
}

// One call moves at most this many bytes.
DWORD Piece(std::size_t size) { return static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30)); }

}  // namespace

FileStatus OpenForReading(const std::string& path, ImageAccess access, const std::string& action, NativeFile* file) {
  // The access mode is the share mode: exclusive shares nothing, shared lets
  // others read and write, readers-only lets them read. Folders open too (backup semantics), to be named
  // as such below.
  const std::wstring wide = Wide(path);
  const DWORD share = access == ImageAccess::Exclusive     ? 0
                      : access == ImageAccess::ReadersOnly ? FILE_SHARE_READ
                                                           : FILE_SHARE_READ | FILE_SHARE_WRITE;
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    const int error = ErrnoOf(failure);
    if (IsFolder(wide)) return DirectoryStatus(action, path);
    if (IsSharingError(failure)) return LockedStatus(action, path, error);
    return OpenFailure(action, path, error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Abandon(handle, DirectoryStatus(action, path));
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) return Abandon(handle, NotRegularStatus(action, path));
  *file = Kept(handle);
  return FileStatus();
}

int Close(NativeFile file) { return CloseHandle(Native(file)) ? 0 : LastError(); }

std::uint64_t Length(NativeFile file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(Native(file), &size) || size.QuadPart < 0) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

int ReadOnce(NativeFile file, std::uint64_t offset, void* data, std::size_t size, std::size_t* got) {
  *got = 0;
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!ReadFile(Native(file), data, Piece(size), &read, &position)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : LastError();
  }
  *got = read;
  return 0;
}

int WriteOnce(NativeFile file, const void* data, std::size_t size, std::size_t* written) {
  *written = 0;
  DWORD done = 0;
  if (!WriteFile(Native(file), data, Piece(size), &done, nullptr)) return LastError();
  *written = done;
  return 0;
}

bool IsSameFile(NativeFile file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION mine, theirs;
  if (!GetFileInformationByHandle(Native(file), &mine)) return false;
  // No data access asked: this open is not refused by an exclusive holder.
  const HANDLE other = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(other, &theirs);
  CloseHandle(other);
  return known && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
}

FileStatus CheckExistingOutput(const std::string& path) {
  // The permission to write an existing output is asked here: opened for
  // writing, not truncated, closed at once. A name that is not there yet is
  // a new file; creating it tells the rest.
  const std::string action = "cannot write output";
  const std::wstring wide = Wide(path);
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) return FileStatus();
    if (IsFolder(wide)) return DirectoryStatus(action, path);
    const int error = ErrnoOf(failure);
    if (IsSharingError(failure)) return FileStatus::Of(FileProblem::WriteFailed, error, InUseReason(action, path));
    return OutputRefused(path, error);
  }
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info;
  const bool readOnly = regular && GetFileInformationByHandle(handle, &info) &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  CloseHandle(handle);
  if (!regular) return NotRegularStatus(action, path);
  // A read-only file cannot be replaced, whatever the account may open.
  if (readOnly) return OutputRefused(path, EACCES);
  return FileStatus();
}

FileStatus CreateInPlace(const std::string& path, NativeFile* file) {
  const char* action = "cannot create output";
  const HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return WriteFailure(action, path, LastError());
  // A device is refused before anything is written to it; a file is cut to
  // length 0 as it is opened.
  if (GetFileType(handle) != FILE_TYPE_DISK) return Abandon(handle, NotRegularStatus(action, path));
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    return Abandon(handle, WriteFailure(action, path, LastError()));
  }
  *file = Kept(handle);
  return FileStatus();
}

void CutToZero(NativeFile file) {
  LARGE_INTEGER zero{};
  if (SetFilePointerEx(Native(file), zero, nullptr, FILE_BEGIN)) SetEndOfFile(Native(file));
}

std::string ReplacedTarget(const std::string& path) {
  // The file a symbolic link (or other reparse point) leads to, as a plain
  // path; the path itself when it is none or cannot be followed.
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

int CreateUnique(const std::string& pattern, const std::string& target, std::string* name, NativeFile* file) {
  // The new file gets the permissions of its folder, as any new file there.
  (void)target;
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
      *file = Kept(handle);
      *name = temporary;
      return 0;
    }
    failure = GetLastError();
  }
  return ErrnoOf(failure);
}

int MoveOver(const std::string& temporary, const std::string& target) {
  return MoveFileExW(Wide(temporary).c_str(), Wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : LastError();
}

void Remove(const std::string& path) { DeleteFileW(Wide(path).c_str()); }

}  // namespace mervix::native

namespace mervix {

std::FILE* OpenForAppending(const std::string& path) {
  return _wfopen(native::Wide(path).c_str(), L"a+b");
}

bool FlushToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  return _commit(_fileno(stream)) == 0;
}

std::tm UtcCalendarTime(std::time_t time) {
  std::tm tm{};
  gmtime_s(&tm, &time);
  return tm;
}

std::tm LocalCalendarTime(std::time_t time) {
  std::tm tm{};
  localtime_s(&tm, &time);
  return tm;
}

}  // namespace mervix
