// Figures of a process read from /proc: its open descriptors, its resident
// memory now and at its peak. The soak compares them between the start, the
// middle and the end of its runs.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace mervix::soak {

struct ProcessFigures {
  int descriptors = -1;  // entries of /proc/PID/fd
  long rssKb = -1;       // VmRSS
  long peakRssKb = -1;   // VmHWM, the high-water mark of VmRSS
};

// The figures of process |pid|, 0 for this process. Fields that cannot be
// read stay -1.
inline ProcessFigures ReadProcessFigures(pid_t pid = 0) {
  const std::string base = pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
  ProcessFigures f;
  if (DIR* d = ::opendir((base + "/fd").c_str())) {
    int n = 0;
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    // Listing our own folder holds one descriptor of its own.
    f.descriptors = pid == 0 ? n - 1 : n;
  }
  std::ifstream status(base + "/status");
  std::string key;
  while (status >> key) {
    long value = 0;
    if (key == "VmRSS:" && status >> value) f.rssKb = value;
    else if (key == "VmHWM:" && status >> value) f.peakRssKb = value;
  }
  return f;
}

}  // namespace mervix::soak
