#include "app/CommandLine.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace tarnwell {

const CommandLineSyntax kQtCommandLine{
    "tarnwell",
    "usage: tarnwell [--textfile-dir DIR] [--walkthrough DIR]\n"
    "       tarnwell --help | --version\n"
    "  Watches the IIS 6 application pools of this server. Set IIS_METABASE to the path of a\n"
    "  MetaBase.xml to read it instead of the server's metabase.\n"
    "  --textfile-dir DIR writes every monitoring pass's figures to DIR/tarnwell.prom for\n"
    "                     a Prometheus exporter's textfile collector (also\n"
    "                     TARNWELL_TEXTFILE_DIR)\n"
    "  --listen URL       is the Windows program's (tarnwell.exe), which serves each pass\n"
    "                     through the system's HTTP server; this one serves none: use\n"
    "                     --textfile-dir with an exporter's textfile collector\n"
    "  --walkthrough DIR  plays the demo's walk through in the window by itself (Refresh,\n"
    "                     every pool ticked, monitoring, an analysis of ShopPool until its\n"
    "                     overload is found, Stop), saves a picture of each tab at each step\n"
    "                     into DIR, and exits: 0 when every step was seen\n"
    "  -h, --help         shows this text\n"
    "  -v, --version      shows the version\n",
    /*walkthrough=*/true,
    /*toolkitOptions=*/true,
    /*slashQuestion=*/false,
    /*service=*/false,
};

// Shown in a message box, whose font is proportional and which wraps long lines itself:
// no columns, one paragraph a line.
const CommandLineSyntax kWin32CommandLine{
    "tarnwell.exe",
    "usage: tarnwell.exe [--textfile-dir DIR] [--listen URL]\n"
    "       tarnwell.exe (--install-service [--settings FILE] | --uninstall-service) [--quiet]\n"
    "       tarnwell.exe --help | --version\n"
    "\n"
    "Lists the application pools of the local IIS, monitors the ticked pools' worker processes and "
    "finds the application that overloads a pool. Set IIS_METABASE to the path of a MetaBase.xml to "
    "read it instead of the local IIS. The daily logs go to the log folder beside tarnwell.exe.\n"
    "\n"
    "--textfile-dir DIR: writes every monitoring pass's figures to DIR\\tarnwell.prom for a "
    "Prometheus exporter's textfile collector (also TARNWELL_TEXTFILE_DIR)\n"
    "--listen URL: serves the latest monitoring pass's figures at URL for Prometheus to scrape, "
    "through the system's HTTP server (http.sys); URL is a prefix such as http://+:9185/metrics/ "
    "(every name of this server) or http://127.0.0.1:9185/metrics/, and HOST:PORT stands for "
    "http://HOST:PORT/metrics/\n"
    "--install-service: installs the Tarnwell service, which monitors the pools that "
    "tarnwell-service.ini beside tarnwell.exe names while nobody is logged on (an administrator's "
    "command); --settings FILE copies FILE there first, and without it a file of the defaults is "
    "written when there is none\n"
    "--uninstall-service: stops and removes the service\n"
    "--quiet: with --install-service, --uninstall-service, --help or --version, answers on standard "
    "output instead of in a box, for scripts and the installer; the exit code is 0 when done, 1 when "
    "not, 2 for a mistake in the command line\n"
    "--service: how the service control manager starts the service\n"
    "-h, --help, /?: shows this text\n"
    "-v, --version: shows the version\n",
    /*walkthrough=*/false,
    /*toolkitOptions=*/false,
    /*slashQuestion=*/true,
    /*service=*/true,
};

namespace {

// Options that QGuiApplication and QApplication read themselves.
constexpr std::string_view kQtValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger", "qwindowgeometry",
    "geometry", "qwindowicon",        "icon",          "qwindowtitle", "title", "display",
    "name",     "style",              "stylesheet",    "session",      "fontengine", "dialogs"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

enum class Option {
  Unknown, Help, Version, TextfileDir, Walkthrough, QtValue, QtFlag,
  Service, InstallService, UninstallService, Settings, Quiet, Listen,
  WindowsOnly,  // a service option, where the program is no Windows one
};

constexpr std::string_view kServiceOptions[] = {"service", "install-service", "uninstall-service", "settings", "quiet"};

template <std::size_t N>
bool Among(std::string_view name, const std::string_view (&names)[N]) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

Option Find(std::string_view name, const CommandLineSyntax& syntax) {
  if (name == "h" || name == "help") return Option::Help;
  if (name == "v" || name == "version") return Option::Version;
  if (name == "textfile-dir") return Option::TextfileDir;
  if (syntax.walkthrough && name == "walkthrough") return Option::Walkthrough;
  if (name == "listen") return Option::Listen;
  if (syntax.toolkitOptions && Among(name, kQtValueOptions)) return Option::QtValue;
  if (syntax.toolkitOptions && Among(name, kQtFlags)) return Option::QtFlag;
  if (Among(name, kServiceOptions)) {
    if (!syntax.service) return Option::WindowsOnly;
    if (name == "service") return Option::Service;
    if (name == "install-service") return Option::InstallService;
    if (name == "uninstall-service") return Option::UninstallService;
    if (name == "quiet") return Option::Quiet;
    return Option::Settings;
  }
  return Option::Unknown;
}

bool TakesValue(Option option) {
  return option == Option::TextfileDir || option == Option::Walkthrough || option == Option::QtValue ||
         option == Option::Settings || option == Option::Listen;
}

// A folder option that is given holds its last value.
struct Folder {
  bool given = false;
  std::string value;
};

}  // namespace

ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments, const CommandLineSyntax& syntax,
                                   const std::string& textfileDirFromEnvironment) {
  bool help = false;
  bool version = false;
  bool quiet = false;
  Folder textfileDir;
  Folder walkthrough;
  Folder settings;
  Folder listen;
  std::vector<ProgramOptions::Action> serviceActions;  // in the order given
  std::string windowsOnly;                              // the first service option, where none is taken
  std::vector<std::string> positional;
  std::string unknown;  // the first unknown option, as typed
  std::string error;    // the first other mistake
  bool onlyPositional = false;

  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (onlyPositional || argument.size() < 2 || argument[0] != '-') {
      if (syntax.slashQuestion && argument == "/?" && !onlyPositional) {
        help = true;
      } else {
        positional.push_back(argument);
      }
      continue;
    }
    if (argument == "--") {
      onlyPositional = true;
      continue;
    }
    // One dash or two: Qt's own options are single-dash words, and so are ours when typed so.
    const std::size_t dashes = argument[1] == '-' ? 2 : 1;
    const std::size_t equals = argument.find('=');
    const std::string typed = argument.substr(0, equals);
    const Option option = Find(std::string_view(typed).substr(dashes), syntax);
    if (option == Option::Unknown) {
      if (unknown.empty()) unknown = typed;
      continue;
    }
    if (option == Option::WindowsOnly) {
      if (windowsOnly.empty()) windowsOnly = typed;
      continue;
    }
    if (!TakesValue(option)) {
      if (equals != std::string::npos) {
        if (error.empty()) error = typed + " takes no value";
      } else if (option == Option::Help) {
        help = true;
      } else if (option == Option::Version) {
        version = true;
      } else if (option == Option::Service) {
        serviceActions.push_back(ProgramOptions::Action::Service);
      } else if (option == Option::InstallService) {
        serviceActions.push_back(ProgramOptions::Action::InstallService);
      } else if (option == Option::UninstallService) {
        serviceActions.push_back(ProgramOptions::Action::UninstallService);
      } else if (option == Option::Quiet) {
        quiet = true;
      }
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];  // whatever it is, as Qt takes it
    } else {
      if (error.empty()) {
        error = typed + (option == Option::QtValue ? " needs a value"
                         : option == Option::Settings ? " needs a file"
                         : option == Option::Listen   ? " needs a URL"
                                                      : " needs a folder");
      }
      continue;
    }
    if (option == Option::TextfileDir) textfileDir = {true, value};
    if (option == Option::Walkthrough) walkthrough = {true, value};
    if (option == Option::Settings) settings = {true, value};
    if (option == Option::Listen) listen = {true, value};
  }

  ProgramOptions options;
  options.quiet = quiet;
  const std::string usage = syntax.usage;
  const std::string program = syntax.program;
  const auto fail = [&](std::string_view what, std::string_view name = {}, std::string_view after = {}) {
    options.action = ProgramOptions::Action::Fail;
    options.text = program;
    options.text.append(": ").append(what).append(name).append(after).append("\n").append(usage);
  };
  const bool installing = serviceActions.size() == 1 && serviceActions.front() == ProgramOptions::Action::InstallService;
  if (!unknown.empty()) {
    fail("unknown option ", unknown);
  } else if (!windowsOnly.empty()) {
    fail(windowsOnly, "", " is for the Windows service (tarnwell.exe); this program runs in a window only");
  } else if (listen.given && !syntax.service) {
    fail("--listen is served by the Windows program (tarnwell.exe) only, through the system's HTTP server; "
         "this program serves no HTTP: use --textfile-dir with an exporter's textfile collector");
  } else if (!error.empty()) {
    fail(error);
  } else if (!positional.empty()) {
    fail("unexpected argument '", positional.front(), "'");
  } else if (help) {
    options.action = ProgramOptions::Action::Help;
    options.text = usage;
  } else if (version) {
    options.action = ProgramOptions::Action::Version;
    options.text = "Tarnwell " TARNWELL_VERSION "\n";
  } else if (serviceActions.size() > 1) {
    fail("--service, --install-service and --uninstall-service go alone");
  } else if (settings.given && !installing) {
    fail("--settings goes with --install-service");
  } else if (settings.given && settings.value.empty()) {
    fail("--settings needs a file");
  } else if (quiet && (serviceActions.empty() || serviceActions.front() == ProgramOptions::Action::Service)) {
    fail("--quiet goes with --install-service, --uninstall-service, --help or --version");
  } else if (!serviceActions.empty() && textfileDir.given) {
    fail("--textfile-dir is the window's; the service reads textfile-dir from tarnwell-service.ini");
  } else if (!serviceActions.empty() && listen.given) {
    fail("--listen is the window's; the service reads http-address from tarnwell-service.ini");
  } else if (!serviceActions.empty()) {
    options.action = serviceActions.front();
    options.settingsFile = settings.value;
  } else if (textfileDir.given && textfileDir.value.empty()) {
    fail("--textfile-dir needs a folder");
  } else if (walkthrough.given && walkthrough.value.empty()) {
    fail("--walkthrough needs a folder");
  } else if (listen.given && !ParseMetricsUrl(listen.value)) {
    fail("--listen [", listen.value, std::string("] is not ") + kMetricsUrlForm);
  } else {
    if (listen.given) options.listen = ParseMetricsUrl(listen.value);
    options.walkthrough = walkthrough.value;
    options.textfileDir = textfileDir.given ? textfileDir.value : textfileDirFromEnvironment;
  }
  return options;
}

}  // namespace tarnwell
