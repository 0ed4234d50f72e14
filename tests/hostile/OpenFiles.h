// What this process holds open, read from /proc/self/fd: the number of
// descriptors, and whether one of them is a given file. Used to tell that a
// run has closed its image file and its socket.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace mervix::testing {

// Open descriptors of this process, not counting the one used to list them;
// -1 when /proc cannot be read.
inline int OpenDescriptorCount() {
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n - 1;
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

}  // namespace mervix::testing
