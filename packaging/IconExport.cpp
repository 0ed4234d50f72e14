// mervix-icon-export: writes the program icon, drawn by shell/Artwork, as
// PNG files in the freedesktop icon theme layout, for installation:
//
//   mervix-icon-export OUTPUT_DIR SIZE...
//
// writes OUTPUT_DIR/hicolor/<SIZE>x<SIZE>/apps/mervix.png for every size.
// The English image is used: the Japanese one only adds a corner mark that
// belongs to the window's own title bar.
#include "shell/Artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: mervix-icon-export OUTPUT_DIR SIZE...\n");
    return 2;
  }
  QGuiApplication application(argc, argv);
  const QString root = QString::fromLocal8Bit(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    if (size < 16 || size > 1024) {
      std::fprintf(stderr, "mervix-icon-export: size '%s' is not from 16 to 1024\n", argv[i]);
      return 2;
    }
    const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(root).arg(size);
    const QString file = folder + QStringLiteral("/mervix.png");
    if (!QDir().mkpath(folder) || !mervix::ProgramIconImage(size, mervix::Language::English).save(file, "PNG")) {
      std::fprintf(stderr, "mervix-icon-export: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
