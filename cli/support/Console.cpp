#include "cli/support/Console.h"

#include <cstdlib>
#include <initializer_list>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace mervix::cli {

#ifdef _WIN32

namespace {

HANDLE ConsoleOf(std::FILE* stream) {
  const int fd = stream ? _fileno(stream) : -1;
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// What PrepareConsole changed, put back at exit.
UINT g_savedOutputCodePage = 0;
struct SavedMode {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD mode = 0;
};
SavedMode g_savedModes[2];

void RestoreConsole() {
  if (g_savedOutputCodePage != 0) SetConsoleOutputCP(g_savedOutputCodePage);
  for (const SavedMode& saved : g_savedModes) {
    if (saved.handle != INVALID_HANDLE_VALUE) SetConsoleMode(saved.handle, saved.mode);
  }
}

bool LocaleVariableSet() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

void PrepareConsole() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  if (!LocaleVariableSet() && PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE) {
    _putenv_s("LANG", "ja_JP.UTF-8");
  }
  bool changed = false;
  const UINT codePage = GetConsoleOutputCP();
  if (codePage != 0 && codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    g_savedOutputCodePage = codePage;
    changed = true;
  }
  std::FILE* streams[2] = {stdout, stderr};
  for (int i = 0; i < 2; ++i) {
    const HANDLE handle = ConsoleOf(streams[i]);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) continue;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) continue;
    if (SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      g_savedModes[i] = SavedMode{handle, mode};
      changed = true;
    }
  }
  if (changed) std::atexit(RestoreConsole);
}

bool IsTerminal(std::FILE* stream) {
  // _isatty is true for every character device, the NUL device included;
  // only a console answers GetConsoleMode.
  DWORD mode = 0;
  const HANDLE handle = ConsoleOf(stream);
  return handle != INVALID_HANDLE_VALUE && _isatty(_fileno(stream)) && GetConsoleMode(handle, &mode);
}

TerminalExtent TerminalSize(std::FILE* stream) {
  TerminalExtent extent;
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE handle = ConsoleOf(stream);
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info)) {
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (rows > 0 && columns > 0) extent = TerminalExtent{rows, columns};
  }
  return extent;
}

#else

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) { return stream != nullptr && isatty(fileno(stream)) != 0; }

TerminalExtent TerminalSize(std::FILE* stream) {
  TerminalExtent extent;
  winsize size{};
  if (stream != nullptr && ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    extent = TerminalExtent{size.ws_row, size.ws_col};
  }
  return extent;
}

#endif

}  // namespace mervix::cli
