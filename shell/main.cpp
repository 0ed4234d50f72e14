// mervix: the window program.
#include "shell/DownloadApp.h"
#include "MervixVersion.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

// Printed by --help; answered before any window system is opened, so that it
// works without a display (the manual page is made from it at build time).
constexpr char kHelp[] =
    "Usage: mervix [--help] [--version] [Qt options]\n"
    "\n"
    "Writes new firmware, or an additional user module, into the flash memory of a\n"
    "network device over TCP. Type the device's host and port (2222, or 55550 when\n"
    "the setting \"Korvane\" is non-zero), press Download and choose a ready binary\n"
    "image or a Motorola S-record file, which is converted from a hexadecimal base\n"
    "address (and compressed into \"Inter.img\" when Compress is ticked). The popup\n"
    "menu of the window's background downloads a user module.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this text and exit\n"
    "  --version      show the version and exit\n"
    "  The standard Qt options are accepted too, e.g. -platform offscreen.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("mervix %s\n", mervix::kVersion);
      return 0;
    }
  }
  QApplication application(argc, argv);
  // Lets the desktop match the window to its installed entry (mervix.desktop).
  QGuiApplication::setDesktopFileName(QStringLiteral("mervix"));
  mervix::CDownloadApp app;
  return app.Run();
}
