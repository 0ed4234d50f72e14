// The few POSIX calls that the shared test sources make, for the Windows
// build of the tests (put in front of every test source there). The
// libraries and programs never see this file.
#pragma once

#ifdef _WIN32

#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// Sets or, with an empty value, removes a variable of this process (the
// Windows environment knows no empty values).
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Makes a new folder from a pattern ending in "XXXXXX"; the pattern is
// changed to its name. The six characters are random: _mktemp_s would try
// only 26 names made of the process id, which Wine gives out again and again.
inline char* mkdtemp(char* pattern) {
  const size_t length = strlen(pattern);
  if (length < 6 || strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
  static unsigned long long state = 0;
  if (state == 0) {
    state = (static_cast<unsigned long long>(time(nullptr)) << 20) ^ static_cast<unsigned long long>(clock()) ^
            (static_cast<unsigned long long>(_getpid()) << 40) ^ 0x9E3779B97F4A7C15ull;
  }
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    for (size_t k = 0; k < 6; ++k) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      pattern[length - 6 + k] = letters[state % 36];
    }
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}

#endif
