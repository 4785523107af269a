// Every program's own command line: --help and --version answer without a display and
// without touching a file; an unknown option is named, with the usage, and exits 2.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

// Runs the command in the folder with no display.
CommandResult RunIn(const std::string& folder, const std::string& command) {
  return RunCommand("cd '" + folder + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + command +
                    " 2>&1 </dev/null");
}

// The names in the folder.
std::vector<std::string> Entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

TEST(CommandLines, HelpVersionAndUnknownOptionsTouchNoFile) {
  struct Case {
    std::string command;
    int status;
    std::string says;
  };
  std::vector<std::string> programs{TARNWELL_W3SVC_EXE, TARNWELL_W3WP_EXE, TARNWELL_GENMETA_EXE};
#ifdef TARNWELL_APP_EXE
  programs.push_back(TARNWELL_APP_EXE);
#endif
  for (const std::string& program : programs) {
    // A copy runs from the test's folder, so that what it would write beside itself (its
    // log folder) or in the working folder shows there.
    const std::string name = std::filesystem::path(program).filename().string();
    const std::string copy = "./" + name;
    const std::vector<Case> cases{
        {copy + " --help", 0, "usage: "},
        {copy + " -h", 0, "usage: "},
        {copy + " --version", 0, " " TARNWELL_VERSION "\n"},
        {copy + " --bogus", 2, "unknown option --bogus"},
        {copy + " --bogus extra", 2, "usage: "},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(name + ": " + c.command);
      TempDir folder;
      std::filesystem::copy_file(program, folder.Path() / name);
      const CommandResult outcome = RunIn(folder.Path().string(), c.command);
      EXPECT_EQ(outcome.status, c.status) << outcome.output;
      EXPECT_NE(outcome.output.find(c.says), std::string::npos) << outcome.output;
      EXPECT_EQ(Entries(folder.Path()), std::vector<std::string>{name}) << "a file was written";
    }
  }
#ifdef TARNWELL_APP_EXE
  // Qt's own options stay Qt's.
  TempDir folder;
  EXPECT_EQ(RunIn(folder.Path().string(), std::string(TARNWELL_APP_EXE) + " -platform offscreen --version").status, 0);
#endif
}

}  // namespace
}  // namespace tarnwell::e2e
