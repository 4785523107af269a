// The program: the local metabase and process system, and the main window over them.
#include <QApplication>
#include <QString>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Walkthrough.h"
#include "app/main.h"
#include "app/ProgramSeams.h"

int main(int argc, char* argv[]) {
  // Before QApplication: --help and --version need no display.
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(QString::fromLocal8Bit(argv[i]).toStdString());
  const tarnwell::ProgramOptions options = tarnwell::ParseProgramOptions(
      arguments, tarnwell::kQtCommandLine, qEnvironmentVariable("TARNWELL_TEXTFILE_DIR").toStdString());
  switch (options.action) {
    case tarnwell::ProgramOptions::Action::Help:
    case tarnwell::ProgramOptions::Action::Version:
      std::fputs(QString::fromStdString(options.text).toLocal8Bit().constData(), stdout);
      return 0;
    case tarnwell::ProgramOptions::Action::Service:  // the Qt face's syntax refuses these
    case tarnwell::ProgramOptions::Action::InstallService:
    case tarnwell::ProgramOptions::Action::UninstallService:
    case tarnwell::ProgramOptions::Action::Fail:
      std::fputs(QString::fromStdString(options.text).toLocal8Bit().constData(), stderr);
      return 2;
    case tarnwell::ProgramOptions::Action::Run:
      break;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell"));
  QApplication::setApplicationVersion(QStringLiteral(TARNWELL_VERSION));

  // The seams outlive the window that uses them.
  auto metabase = tarnwell::OpenLocalMetabase();
  auto processes = tarnwell::OpenProcessSystem();

  if (!options.walkthrough.empty()) {
    return tarnwell::PlayWalkthrough(QCoreApplication::applicationDirPath(), *metabase, *processes,
                                     QString::fromStdString(options.walkthrough));
  }
  tarnwell::TFrmMain window(QCoreApplication::applicationDirPath(), *metabase, *processes);
  window.SetTextfileDir(options.textfileDir);
  window.CentreOnScreen();
  window.show();
  return QApplication::exec();
}
