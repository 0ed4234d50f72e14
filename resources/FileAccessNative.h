// Inside the file layer only: the calls each system provides
// (FileAccessPosix.cpp, FileAccessWindows.cpp; the build compiles one), on
// which FileAccess.cpp builds the files of FileAccess.h once, and the
// reason texts both systems' calls share.
//
// A call that fails returns the system's error as an errno value (Win32
// errors mapped to the nearest one), taken at once after the failing system
// call, or a FileStatus worded with the shared texts below. None leaves
// anything in errno for its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "resources/FileAccess.h"

namespace mervix::native {

// --- Provided by the system's file (an open file is never kNoFile) --------

// Opens an existing regular file for reading with the access mode as the
// system keeps it, never creating it and never blocking; `action` starts
// the reasons ("cannot open image"). *file is set only on success.
FileStatus OpenForReading(const std::string& path, ImageAccess access, const std::string& action, NativeFile* file);

// Closes the file (dropping the access mode); 0 or the error.
int Close(NativeFile file);

// The length the file system reports now; 0 when it cannot tell.
std::uint64_t Length(NativeFile file);

// One read of at most `size` bytes at `offset`, leaving the file position
// to nobody: *got is the count, 0 at the end of the file. 0 or the error
// (*got is then 0).
int ReadOnce(NativeFile file, std::uint64_t offset, void* data, std::size_t size, std::size_t* got);

// One write of at most `size` bytes at the file's position: *written is the
// count, possibly less than size. 0 or the error (*written is then 0).
int WriteOnce(NativeFile file, const void* data, std::size_t size, std::size_t* written);

// True when `path` names the open file by any name or link.
bool IsSameFile(NativeFile file, const std::string& path);

// The checks of an output path that ask the system: a name not there yet
// passes; an existing one must be a regular file this process may write.
FileStatus CheckExistingOutput(const std::string& path);

// Creates `path`, or opens an existing file and cuts it to length 0, for
// writing; never blocks and refuses anything but a regular file before
// writing to it. *file is set only on success.
FileStatus CreateInPlace(const std::string& path, NativeFile* file);

// Cuts an open file back to length 0. A failure is not reported: this runs
// after a failed write, which is what the caller reports.
void CutToZero(NativeFile file);

// What a replacement of `path` replaces: the file a symbolic link at `path`
// leads to, else `path` itself.
std::string ReplacedTarget(const std::string& path);

// Creates a new file named `pattern` with its last six characters (X's)
// made unique, open for writing, and gives it the permissions the system
// gives a replacement of `target`. 0 (with *name and *file set) or the
// error.
int CreateUnique(const std::string& pattern, const std::string& target, std::string* name, NativeFile* file);

// Puts `temporary` in the place of `target` in one step; 0 or the error.
int MoveOver(const std::string& temporary, const std::string& target);

// Removes a file, if it can.
void Remove(const std::string& path);

// --- Shared reason texts (FileAccess.cpp) ---------------------------------

// The problem an error of opening an existing file stands for.
FileProblem ProblemForOpenError(int error);
// "<action> '<path>': <strerror>" with the problem the error stands for.
FileStatus OpenFailure(const std::string& action, const std::string& path, int error);
// "<action> '<path>': <strerror>" as a failure to write.
FileStatus WriteFailure(const std::string& action, const std::string& path, int error);
// An existing output that could not be opened for writing: denied, or a
// failure to write.
FileStatus OutputRefused(const std::string& path, int error);
// "<action> '<path>': it is in use by another program".
std::string InUseReason(const std::string& action, const std::string& path);
FileStatus LockedStatus(const std::string& action, const std::string& path, int error);
FileStatus DirectoryStatus(const std::string& action, const std::string& path);
FileStatus NotRegularStatus(const std::string& action, const std::string& path);

}  // namespace mervix::native
