// The few POSIX calls that the shared test sources make, for the Windows
// build of the tests (put in front of every test source there). The
// libraries and programs never see this file.
#pragma once

#ifdef _WIN32

#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

// Sets or, with an empty value, removes a variable of this process (the
// Windows environment knows no empty values).
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Makes a new folder from a pattern ending in "XXXXXX"; the pattern is
// changed to its name.
inline char* mkdtemp(char* pattern) {
  const size_t length = strlen(pattern);
  if (length < 6 || strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
  char* suffix = pattern + length - 6;
  for (int attempt = 0; attempt < 100; ++attempt) {
    memcpy(suffix, "XXXXXX", 6);
    if (_mktemp_s(pattern, length + 1) != 0) return nullptr;
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}

#endif
