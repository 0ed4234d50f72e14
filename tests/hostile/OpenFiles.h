// What this process holds open, read from /proc/self/fd: its sockets and
// files, whether one of them is a given file, and a listing for messages.
// Used to tell that a run has closed its image file and its socket.
#pragma once

#ifdef _WIN32
#include <windows.h>
// <windows.h> names MessageBoxW so; the window's own MessageBox is meant.
#undef MessageBox
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <climits>
#include <cstdlib>
#include <string>

namespace mervix::testing {

#ifdef _WIN32
// Windows names no open files of a process to itself: the count is of every
// handle it holds (the checks compare counts before and after a run), and a
// file is held open when an open of it that shares nothing is refused.
inline int OpenSocketsAndFiles() {
  DWORD count = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

inline bool HoldsOpen(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
  ::CloseHandle(h);
  return false;
}

inline std::string DescribeDescriptors() { return std::to_string(OpenSocketsAndFiles()) + " handles\n"; }
#else

// Open sockets and files of this process: descriptors that name a socket or
// a path outside /dev and /proc. Event descriptors and pipes, which a
// library's helper threads open and close as they please, are left out.
inline int OpenSocketsAndFiles() {
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[PATH_MAX];
    const ssize_t len = ::readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
    if (len <= 0) continue;
    const std::string t(target, static_cast<std::size_t>(len));
    if (t.rfind("socket:", 0) == 0 || (t[0] == '/' && t.rfind("/dev/", 0) != 0 && t.rfind("/proc/", 0) != 0)) ++n;
  }
  ::closedir(d);
  return n;
}

// Whether a descriptor of this process refers to |path| (compared after
// resolving it, as the kernel names open files by their real path).
inline bool HoldsOpen(const std::string& path) {
  char real[PATH_MAX];
  if (!::realpath(path.c_str(), real)) return false;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return false;
  bool found = false;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::string(target) == real) found = true;
  }
  ::closedir(d);
  return found;
}

// "fd -> target" for each open descriptor, one a line: the message of a
// failed descriptor check.
inline std::string DescribeDescriptors() {
  std::string text;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return text;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[PATH_MAX];
    const ssize_t n = ::readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
    text += std::string(e->d_name) + " -> " + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?") + "\n";
  }
  ::closedir(d);
  return text;
}

#endif

}  // namespace mervix::testing
