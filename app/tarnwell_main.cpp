// The program: the local metabase and process system, and the main window over them.
#include <QApplication>

#include "app/main.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell"));

  // The seams outlive the window that uses them.
  auto metabase = tarnwell::platform::OpenLocalMetabase();
  auto processes = tarnwell::platform::OpenProcessSystem();

  tarnwell::TFrmMain window(QCoreApplication::applicationDirPath(), *metabase, *processes);
  window.CentreOnScreen();
  window.show();
  return QApplication::exec();
}
