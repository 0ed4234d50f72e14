// The console of mervix-cli, the same calls on every system: whether a
// stream is a terminal, the terminal's size, writing a file through to the
// disk and the UTC calendar time (from resources/FileAccess.h). On Windows PrepareConsole also makes the
// console show UTF-8 (the Japanese texts) and the escape sequences the
// progress line and the fleet board draw with.
#pragma once

#include "resources/FileAccess.h"

#include <cstdio>
#include <ctime>

namespace mervix::cli {

// Called once at the start of main. On Windows: the console's output code
// page becomes UTF-8 and its escape sequences are switched on, both put back
// when the process exits; with none of LC_ALL, LC_MESSAGES, LANG set, a
// Japanese user interface language sets LANG=ja_JP.UTF-8 for this process,
// so the texts follow the system as they follow the locale elsewhere.
// Nothing happens on other systems.
void PrepareConsole();

// True when |stream| is a terminal: a tty, or on Windows a console (not the
// NUL device, a file or a pipe).
bool IsTerminal(std::FILE* stream);

struct TerminalExtent {
  int rows = 24;
  int columns = 80;
};

// The size of the terminal behind |stream|; 24 by 80 when it cannot be told.
TerminalExtent TerminalSize(std::FILE* stream);

}  // namespace mervix::cli
