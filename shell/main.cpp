// mervix: the window program.
#include "shell/DownloadApp.h"

#include <QApplication>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  mervix::CDownloadApp app;
  return app.Run();
}
