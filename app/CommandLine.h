#pragma once
// The program's command line, read before any window or display is needed, so that
// --help, --version and a mistyped option answer on a server console too.
#include <QString>
#include <QStringList>

namespace tarnwell {

struct ProgramOptions {
  enum class Action { Run, Help, Version, Fail };
  Action action = Action::Run;
  QString text;         // Help: the usage; Version: the version line; Fail: the error and the usage
  QString walkthrough;  // a folder: play the demo's walk through and save its pictures there
  QString textfileDir;  // a folder for tarnwell.prom; empty: none written
};

// arguments: the whole command line, the program's name first (as QCoreApplication gives
// it). Qt's own options (-platform, -style, ...) are accepted and left for Qt.
// textfileDirFromEnvironment: TARNWELL_TEXTFILE_DIR, taken when the option is not given.
ProgramOptions ParseProgramOptions(const QStringList& arguments, const QString& textfileDirFromEnvironment = {});

}  // namespace tarnwell
