// The command line of both faces of the window: what each takes, what a mistake says, and
// where the textfile folder comes from.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwell {
namespace {

using Action = ProgramOptions::Action;

ProgramOptions Parse(const CommandLineSyntax& syntax, std::vector<std::string> arguments,
                     const std::string& environment = {}) {
  arguments.insert(arguments.begin(), "tarnwell");
  return ParseProgramOptions(arguments, syntax, environment);
}

// The first line of the text: for a mistake, what it says before the usage.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

struct Case {
  std::vector<std::string> arguments;
  Action action;
  std::string says;  // the first line of the text: the mistake, the usage or the version
};

void Check(const CommandLineSyntax& syntax, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.arguments) line.append(" [").append(a).append("]");
    SCOPED_TRACE(std::string(syntax.program).append(line));
    const ProgramOptions options = Parse(syntax, c.arguments);
    EXPECT_EQ(options.action, c.action) << options.text;
    EXPECT_EQ(FirstLine(options.text), c.says);
    if (c.action == Action::Fail) {
      // The mistake, then the whole usage.
      EXPECT_EQ(options.text, c.says + "\n" + syntax.usage);
    }
  }
}

const std::string kVersion = "Tarnwell " TARNWELL_VERSION;

// What both faces take alike, as each names itself.
std::vector<Case> SharedCases(const std::string& program, const std::string& usage) {
  const std::string p = program + ": ";
  return {
      {{}, Action::Run, ""},
      {{"--help"}, Action::Help, usage},
      {{"-h"}, Action::Help, usage},
      {{"-help"}, Action::Help, usage},
      {{"--h"}, Action::Help, usage},
      {{"--version"}, Action::Version, kVersion},
      {{"-v"}, Action::Version, kVersion},
      {{"-version"}, Action::Version, kVersion},
      {{"--help", "--version"}, Action::Help, usage},
      {{"--version", "--help"}, Action::Help, usage},
      {{"--help", "--"}, Action::Help, usage},
      {{"--"}, Action::Run, ""},
      // An unknown option is named as typed, without its value; the first of several.
      {{"--bogus"}, Action::Fail, p + "unknown option --bogus"},
      {{"--bogus", "extra"}, Action::Fail, p + "unknown option --bogus"},
      {{"-bogus"}, Action::Fail, p + "unknown option -bogus"},
      {{"--bogus=1"}, Action::Fail, p + "unknown option --bogus"},
      {{"---x"}, Action::Fail, p + "unknown option ---x"},
      {{"--x", "--y"}, Action::Fail, p + "unknown option --x"},
      {{"--help", "--bogus"}, Action::Fail, p + "unknown option --bogus"},
      {{"--bogus", "--textfile-dir"}, Action::Fail, p + "unknown option --bogus"},
      // Letters are not folded, nor joined.
      {{"--Help"}, Action::Fail, p + "unknown option --Help"},
      {{"-H"}, Action::Fail, p + "unknown option -H"},
      {{"-hv"}, Action::Fail, p + "unknown option -hv"},
      // A word that is no option, even after one that would answer.
      {{"extra"}, Action::Fail, p + "unexpected argument 'extra'"},
      {{"extra", "--help"}, Action::Fail, p + "unexpected argument 'extra'"},
      {{"--help", "extra"}, Action::Fail, p + "unexpected argument 'extra'"},
      {{"-", "--version"}, Action::Fail, p + "unexpected argument '-'"},
      {{"--", "--version"}, Action::Fail, p + "unexpected argument '--version'"},
      // A flag given a value.
      {{"--help=1"}, Action::Fail, p + "--help takes no value"},
      {{"-h=1"}, Action::Fail, p + "-h takes no value"},
      {{"--version="}, Action::Fail, p + "--version takes no value"},
      // --textfile-dir without a folder; the next word is its folder, whatever it looks like.
      {{"--textfile-dir"}, Action::Fail, p + "--textfile-dir needs a folder"},
      {{"--help", "--textfile-dir"}, Action::Fail, p + "--textfile-dir needs a folder"},
      {{"--textfile-dir="}, Action::Fail, p + "--textfile-dir needs a folder"},
      {{"--textfile-dir", ""}, Action::Fail, p + "--textfile-dir needs a folder"},
      {{"--textfile-dir", "--help"}, Action::Run, ""},
      {{"--version", "--textfile-dir="}, Action::Version, kVersion},
      {{"-textfile-dir=/x", "--version"}, Action::Version, kVersion},
  };
}

TEST(CommandLine, QtWindowTakesTheSharedOptionsTheWalkThroughAndQtsOwn) {
  std::vector<Case> cases = SharedCases("tarnwell", FirstLine(kQtCommandLine.usage));
  const std::vector<Case> own{
      {{"--walkthrough"}, Action::Fail, "tarnwell: --walkthrough needs a folder"},
      {{"--walkthrough="}, Action::Fail, "tarnwell: --walkthrough needs a folder"},
      {{"--walkthrough", "", "--help"}, Action::Help, FirstLine(kQtCommandLine.usage)},
      {{"--walkthrough=/tmp/w", "--textfile-dir="}, Action::Fail, "tarnwell: --textfile-dir needs a folder"},
      {{"--walkthrough", "--bogus"}, Action::Run, ""},
      // Qt's own, with one dash or two, their values after them or joined.
      {{"-platform", "offscreen", "--version"}, Action::Version, kVersion},
      {{"--platform", "offscreen", "--version"}, Action::Version, kVersion},
      {{"-platform=offscreen", "--version"}, Action::Version, kVersion},
      {{"-style", "fusion", "-reverse", "-qwindowtitle", "T", "--version"}, Action::Version, kVersion},
      {{"-platform", "--bogus", "--version"}, Action::Version, kVersion},
      {{"-platform"}, Action::Fail, "tarnwell: -platform needs a value"},
      {{"-style"}, Action::Fail, "tarnwell: -style needs a value"},
      {{"-reverse=1", "--version"}, Action::Fail, "tarnwell: -reverse takes no value"},
      {{"/?"}, Action::Fail, "tarnwell: unexpected argument '/?'"},
      // The service's options are the Windows program's.
      {{"--install-service"}, Action::Fail,
       "tarnwell: --install-service is for the Windows service (tarnwell.exe); this program runs in a window only"},
      {{"--service"}, Action::Fail,
       "tarnwell: --service is for the Windows service (tarnwell.exe); this program runs in a window only"},
      {{"-uninstall-service"}, Action::Fail,
       "tarnwell: -uninstall-service is for the Windows service (tarnwell.exe); this program runs in a window only"},
      {{"--settings", "x.ini"}, Action::Fail,
       "tarnwell: --settings is for the Windows service (tarnwell.exe); this program runs in a window only"},
      {{"--quiet"}, Action::Fail, "tarnwell: --quiet is for the Windows service (tarnwell.exe); this program runs in a window only"},
      // Served only through the HTTP server of Windows; never ignored here.
      {{"--listen", "http://+:9185/metrics/"}, Action::Fail,
       "tarnwell: --listen is served by the Windows program (tarnwell.exe) only, through the system's HTTP server; "
       "this program serves no HTTP: use --textfile-dir with an exporter's textfile collector"},
  };
  cases.insert(cases.end(), own.begin(), own.end());
  Check(kQtCommandLine, cases);
}

TEST(CommandLine, Win32WindowTakesTheSharedOptionsAndSlashQuestionButNoWalkThroughNorQtOptions) {
  std::vector<Case> cases = SharedCases("tarnwell.exe", FirstLine(kWin32CommandLine.usage));
  const std::vector<Case> own{
      {{"/?"}, Action::Help, FirstLine(kWin32CommandLine.usage)},
      {{"/?", "extra"}, Action::Fail, "tarnwell.exe: unexpected argument 'extra'"},
      {{"--", "/?"}, Action::Fail, "tarnwell.exe: unexpected argument '/?'"},
      {{"--walkthrough", "C:\\shots"}, Action::Fail, "tarnwell.exe: unknown option --walkthrough"},
      {{"-platform", "offscreen"}, Action::Fail, "tarnwell.exe: unknown option -platform"},
      {{"-reverse"}, Action::Fail, "tarnwell.exe: unknown option -reverse"},
      // The service's commands.
      {{"--service"}, Action::Service, ""},
      {{"--install-service"}, Action::InstallService, ""},
      {{"--install-service", "--settings", "C:\\t\\s.ini"}, Action::InstallService, ""},
      {{"--settings=s.ini", "--install-service"}, Action::InstallService, ""},
      {{"--uninstall-service"}, Action::UninstallService, ""},
      {{"--install-service", "--help"}, Action::Help, FirstLine(kWin32CommandLine.usage)},
      {{"--install-service", "--uninstall-service"}, Action::Fail,
       "tarnwell.exe: --service, --install-service and --uninstall-service go alone"},
      {{"--service", "--service"}, Action::Fail, "tarnwell.exe: --service, --install-service and --uninstall-service go alone"},
      {{"--settings", "s.ini"}, Action::Fail, "tarnwell.exe: --settings goes with --install-service"},
      {{"--uninstall-service", "--settings", "s.ini"}, Action::Fail, "tarnwell.exe: --settings goes with --install-service"},
      {{"--install-service", "--settings"}, Action::Fail, "tarnwell.exe: --settings needs a file"},
      {{"--install-service", "--settings="}, Action::Fail, "tarnwell.exe: --settings needs a file"},
      {{"--service", "--textfile-dir", "C:\\p"}, Action::Fail,
       "tarnwell.exe: --textfile-dir is the window's; the service reads textfile-dir from tarnwell-service.ini"},
      {{"--service", "extra"}, Action::Fail, "tarnwell.exe: unexpected argument 'extra'"},
      // Quiet answers, for the installer and scripts.
      {{"--install-service", "--settings", "s.ini", "--quiet"}, Action::InstallService, ""},
      {{"-quiet", "--uninstall-service"}, Action::UninstallService, ""},
      {{"--version", "--quiet"}, Action::Version, kVersion},
      {{"--quiet"}, Action::Fail, "tarnwell.exe: --quiet goes with --install-service, --uninstall-service, --help or --version"},
      {{"--service", "--quiet"}, Action::Fail,
       "tarnwell.exe: --quiet goes with --install-service, --uninstall-service, --help or --version"},
      {{"--quiet=yes", "--uninstall-service"}, Action::Fail, "tarnwell.exe: --quiet takes no value"},
      {{"--listen", "http://+:9185/metrics/"}, Action::Run, ""},
      {{"--listen"}, Action::Fail, "tarnwell.exe: --listen needs a URL"},
      {{"--listen", "https://+:443/"}, Action::Fail,
       "tarnwell.exe: --listen [https://+:443/] is not a URL prefix such as http://+:9185/metrics/ (port 1 to 65535)"},
      {{"--service", "--listen", "+:9185"}, Action::Fail,
       "tarnwell.exe: --listen is the window's; the service reads http-address from tarnwell-service.ini"},
  };
  cases.insert(cases.end(), own.begin(), own.end());
  Check(kWin32CommandLine, cases);
  EXPECT_EQ(Parse(kWin32CommandLine, {"--install-service", "--settings", "C:\\t\\s.ini"}).settingsFile, "C:\\t\\s.ini");
  // A mistake beside --quiet is answered quietly too: no box stops an unattended install.
  EXPECT_TRUE(Parse(kWin32CommandLine, {"--uninstall-service", "--quiet", "--bogus"}).quiet);
  EXPECT_FALSE(Parse(kWin32CommandLine, {"--uninstall-service"}).quiet);
  // The same forms as the service's http-address.
  EXPECT_EQ(Parse(kWin32CommandLine, {"--listen=127.0.0.1:9185"}).listen, (MetricsUrl{"127.0.0.1", 9185, "/metrics/"}));
  EXPECT_EQ(Parse(kWin32CommandLine, {}).listen, std::nullopt);
}

TEST(CommandLine, EachUsageNamesItsProgramAndOnlyWhatItTakes) {
  const std::string qt = kQtCommandLine.usage;
  const std::string win32 = kWin32CommandLine.usage;
  EXPECT_EQ(qt.rfind("usage: tarnwell [", 0), 0u);
  EXPECT_EQ(win32.rfind("usage: tarnwell.exe [", 0), 0u);
  for (const std::string& usage : {qt, win32}) {
    SCOPED_TRACE(usage);
    EXPECT_NE(usage.find("--textfile-dir DIR"), std::string::npos);
    EXPECT_NE(usage.find("TARNWELL_TEXTFILE_DIR"), std::string::npos);
    EXPECT_NE(usage.find("--help"), std::string::npos);
    EXPECT_NE(usage.find("--version"), std::string::npos);
  }
  EXPECT_NE(qt.find("--walkthrough DIR"), std::string::npos);
  EXPECT_EQ(win32.find("walkthrough"), std::string::npos);
  EXPECT_NE(win32.find("/?"), std::string::npos);
  EXPECT_NE(win32.find("DIR\\tarnwell.prom"), std::string::npos);
  EXPECT_EQ(Parse(kQtCommandLine, {"--help"}).text, qt);
  EXPECT_EQ(Parse(kWin32CommandLine, {"/?"}).text, win32);
  EXPECT_EQ(Parse(kWin32CommandLine, {"-v"}).text, kVersion + "\n");
}

TEST(CommandLine, TextfileFolderComesFromTheOptionOverTheEnvironment) {
  for (const CommandLineSyntax* syntax : {&kQtCommandLine, &kWin32CommandLine}) {
    SCOPED_TRACE(syntax->program);
    EXPECT_EQ(Parse(*syntax, {}, "/env").textfileDir, "/env");
    EXPECT_EQ(Parse(*syntax, {}).textfileDir, "");
    EXPECT_EQ(Parse(*syntax, {"--textfile-dir", "/opt"}, "/env").textfileDir, "/opt");
    EXPECT_EQ(Parse(*syntax, {"-textfile-dir=/opt"}, "/env").textfileDir, "/opt");
    // The last one given; a value keeps every '=' after the first.
    EXPECT_EQ(Parse(*syntax, {"--textfile-dir", "/a", "--textfile-dir=/b"}).textfileDir, "/b");
    EXPECT_EQ(Parse(*syntax, {"--textfile-dir=/a=b"}).textfileDir, "/a=b");
    EXPECT_EQ(Parse(*syntax, {"--textfile-dir", "--help"}).textfileDir, "--help");
    // Kept byte for byte: a folder with spaces and letters beyond ASCII ("Prüfung 1").
    EXPECT_EQ(Parse(*syntax, {"--textfile-dir", "C:\\Pr\xC3\xBC" "fung 1"}, "/env").textfileDir,
              "C:\\Pr\xC3\xBC" "fung 1");
    // Nothing to run, nothing to write to.
    EXPECT_EQ(Parse(*syntax, {"--version", "--textfile-dir", "/opt"}, "/env").textfileDir, "");
  }
  EXPECT_EQ(Parse(kQtCommandLine, {"--walkthrough", "/shots", "--textfile-dir", "/opt"}).walkthrough, "/shots");
  EXPECT_EQ(Parse(kQtCommandLine, {"-walkthrough=/shots"}).walkthrough, "/shots");
  EXPECT_EQ(Parse(kQtCommandLine, {"--walkthrough", "--bogus"}).walkthrough, "--bogus");
  EXPECT_EQ(Parse(kQtCommandLine, {"--textfile-dir", "/opt"}).walkthrough, "");
}

}  // namespace
}  // namespace tarnwell
