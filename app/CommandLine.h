#pragma once
// The program's command line, read before any window or display is needed, so that
// --help, --version and a mistyped option answer on a server console too. Both faces of
// the window read it here, in UTF-8, with no toolkit.
#include <optional>
#include <string>
#include <vector>

#include "textfile/metrics_http.h"

namespace tarnwell {

// What one face's command line takes besides --textfile-dir, --help and --version, and
// how it names itself.
struct CommandLineSyntax {
  const char* program;   // in the messages: "tarnwell: unknown option ..."
  const char* usage;
  bool walkthrough;      // --walkthrough DIR
  bool toolkitOptions;   // Qt's own options (-platform offscreen, -style X, ...), left for Qt
  bool slashQuestion;    // /? as --help, as Windows programs take it
  bool service;          // --service, --install-service [--settings FILE], --uninstall-service, --quiet, --listen URL
};

extern const CommandLineSyntax kQtCommandLine;
extern const CommandLineSyntax kWin32CommandLine;

struct ProgramOptions {
  enum class Action { Run, Help, Version, Fail, Service, InstallService, UninstallService };
  Action action = Action::Run;
  std::string text;         // Help: the usage; Version: the version line; Fail: the error and the usage
  std::string walkthrough;  // a folder: play the demo's walk through and save its pictures there
  std::string textfileDir;  // a folder for tarnwell.prom; empty: none written
  std::optional<MetricsUrl> listen;  // where the window serves its latest pass; none: not served
  std::string settingsFile;  // InstallService: the settings to put beside the executable; empty: keep or make one
  bool quiet = false;        // --quiet, even beside a mistake: answer on standard output, never in a box
};

// arguments: the whole command line, the program's name first. An option's name is
// matched with one dash or two, and its value follows it or is joined with '='.
// textfileDirFromEnvironment: TARNWELL_TEXTFILE_DIR, taken when the option is not given.
ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments, const CommandLineSyntax& syntax,
                                   const std::string& textfileDirFromEnvironment = {});

}  // namespace tarnwell
