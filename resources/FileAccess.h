// Opening the files that image preparation, compression and the runs read
// and write, with reasons a caller can show when that fails: the one place
// the libraries meet the file system. The files are built once
// (FileAccess.cpp) on a few calls that each system provides
// (FileAccessPosix.cpp, FileAccessWindows.cpp; the build takes one); paths
// are UTF-8 on both.
//
// Nothing here ever creates a file that is to be read: a path that names no
// file, a directory, a file without read permission or one held by another
// program is reported as such, and the path stays as it was.
//
// Every call that can fail returns a FileStatus: the problem, the system's
// error and a reason that names the file. The error is an errno value on
// every system (Win32 errors are mapped to the nearest one), so callers
// report it the same way everywhere; errno itself is not part of the
// interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace mervix {

// How an image file is opened (the two access modes of the operations).
//  - Exclusive: no other opener may hold the file while it is open. On
//    POSIX an exclusive advisory lock, which fails while anyone holds a
//    lock; on Windows no sharing at all, which fails while anyone has the
//    file open.
//  - Shared: other openers may read and write. On POSIX a shared advisory
//    lock, which only an exclusive holder refuses; on Windows read and write
//    sharing, which an opener that shares less refuses.
//  - ReadersOnly: others may read but not write it while it is open, so two
//    command-line runs can send one file at once. On POSIX the shared lock
//    (an exclusive holder refuses it, and it refuses one; it cannot stop a
//    writer that takes no lock, which the held image's proof catches); on
//    Windows read sharing only, which refuses any writer.
// All open for reading only: the image is never modified by a header read
// or a conversion, so a read-only image is as good as any.
enum class ImageAccess { Exclusive, Shared, ReadersOnly };

// Why a file could not be used.
enum class FileProblem {
  None,
  Missing,      // the path names no file (or is empty)
  Directory,    // the path names a folder
  NotRegular,   // a device, pipe or socket
  Denied,       // no permission
  Locked,       // held by another program (the access mode refused)
  ReadFailed,   // opened, but reading failed
  WriteFailed,  // an output could not be created, written or renamed
  SameFile,     // the output would be the input itself
};

// The outcome of a file operation: no problem, or one with the system's
// error (an errno value) and a reason that names the file, e.g.
// "cannot open input 'fw.mot': No such file or directory".
struct FileStatus {
  FileProblem problem = FileProblem::None;
  int systemError = 0;
  std::string reason;

  bool ok() const { return problem == FileProblem::None; }

  static FileStatus Of(FileProblem problem, int error, std::string reason) {
    FileStatus status;
    status.problem = problem;
    status.systemError = error;
    status.reason = std::move(reason);
    return status;
  }
};

// The system's handle of an open file: a descriptor on POSIX, a HANDLE on
// Windows.
#ifdef _WIN32
using NativeFile = void*;
inline constexpr NativeFile kNoFile = nullptr;
#else
using NativeFile = int;
inline constexpr NativeFile kNoFile = -1;
#endif

// A file opened for reading, closed by the destructor.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing regular file for reading with the given access. Never
  // creates the file and never blocks (a pipe or a lock held elsewhere is
  // refused at once). `what` names the file's role in the reasons of the
  // open and of later reads ("input", "image").
  FileStatus Open(const std::string& path, ImageAccess access, const char* what = "file");

  // Length in bytes, as the file system reports it at the moment of the call.
  std::uint64_t Length() const;

  // Reads up to `size` bytes from `offset` and puts the number read in
  // *got: less than size only at the end of the file, or when the read
  // failed ("cannot read <what> '<path>': <reason>"; *got then counts the
  // bytes read before the failure). Reads at different offsets do not
  // disturb each other.
  FileStatus ReadAt(std::uint64_t offset, void* data, std::size_t size, std::size_t* got) const;

  // True when `path` names this open file, by any name or link (the same
  // device and inode; on Windows the same volume and file index).
  bool IsSameFileAs(const std::string& path) const;

  bool IsOpen() const { return file_ != kNoFile; }
  const std::string& path() const { return path_; }
  void Close();

 private:
  NativeFile file_ = kNoFile;
  std::string path_;
  std::string what_;
};

// The reason text for a system error (an errno value) of an operation on a
// path: "<action> '<path>': <strerror>".
std::string FileErrorReason(const char* action, const std::string& path, int error);

// The checks every writer of a file made from an input makes before it
// creates, truncates or replaces the output, none of which can block: not
// the input itself (by any name or link), not a folder, not a pipe, device
// or socket, and an existing file only when this process may write it.
FileStatus CheckOutputPath(const InputFile& input, const std::string& outputPath);

// An output written in place: created, or an existing file truncated to
// length 0, when opened (what a failed conversion leaves behind). The open
// never blocks, and anything but a regular file is refused. Check the path
// with CheckOutputPath first. Closed by the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  FileStatus Create(const std::string& path);
  // Writes all bytes, resuming after partial writes ("cannot write output
  // '<path>': <reason>" when that fails).
  FileStatus Write(const void* data, std::size_t size);
  // Cuts the file back to length 0 (after a failed write).
  void Truncate();
  // Closes the file; a failure to close is a failure to write.
  FileStatus Close();

 private:
  NativeFile file_ = kNoFile;
  std::string path_;
};

// An output written beside its path and moved into place only when whole:
// the path holds the old file or the new one, never a part of either, and
// a failure or an abandoned write leaves an existing file as it was. The
// temporary file (".<name>.XXXXXX" in the same folder) is removed unless
// committed. An output that is a symbolic link stays one: the file it
// points to is replaced. On POSIX the new file keeps the old one's
// permissions (a new name gets the usual ones); on Windows it gets those
// of its folder. Check the path with CheckOutputPath first.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile() { Discard(); }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file for `path`, open for writing.
  FileStatus Create(const std::string& path);
  // Appends all bytes to the temporary file ("cannot write output
  // '<path>': <reason>" when that fails).
  FileStatus Write(const void* data, std::size_t size);
  // Closes the temporary file and renames it over the path.
  FileStatus Commit();
  // Closes and removes the temporary file, if any.
  void Discard();

 private:
  NativeFile file_ = kNoFile;
  std::string path_;       // as the caller named it, for the reasons
  std::string target_;     // what the rename replaces
  std::string temporary_;  // empty when there is nothing to remove
};

// Replaces the file at `path` with `size` bytes from `data` through a
// ReplacementFile.
FileStatus ReplaceFileContents(const std::string& path, const std::uint8_t* data, std::size_t size);

// Opens the file at |path| (UTF-8) for reading and appending in binary mode,
// creating it; null when the system refuses.
std::FILE* OpenForAppending(const std::string& path);

// Flushes |stream| and has the system write the file through to the disk.
// False when either fails.
bool FlushToDisk(std::FILE* stream);

// |time| as a UTC calendar time, and in the system's time zone.
std::tm UtcCalendarTime(std::time_t time);
std::tm LocalCalendarTime(std::time_t time);

}  // namespace mervix
