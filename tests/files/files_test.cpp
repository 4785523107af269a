// Paths are UTF-8 in the program: a name outside ASCII (or outside the ANSI code page on
// Windows) must reach the file system as it is written and come back the same.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/files/os_file.h"
#include "platform/files/utf8_path.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::platform {
namespace {

using testutil::kNonAsciiName;
using testutil::TempDir;

std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(Utf8FromPath(entry.path().filename()));
  return names;
}

TEST(Utf8Path, NamesOutsideAsciiReachTheFileSystemAndComeBackWhole) {
  TempDir dir;
  // Latin-1, beyond it, and beyond the 16-bit range (a surrogate pair in UTF-16).
  const std::set<std::string> names{std::string(kNonAsciiName), "K\xC3\xBC" "che \xE5\xBA\x97",
                                    "\xC5\x81\xC3\xB3" "d\xC5\xBA \xF0\x9D\x84\x9E"};
  for (const std::string& name : names) {
    EXPECT_EQ(Utf8FromPath(PathFromUtf8(name)), name);
    ASSERT_TRUE(std::filesystem::create_directory(dir.Path() / PathFromUtf8(name))) << name;
    testutil::WriteFile(dir.File(name + "/inside.txt"), name);
  }
  EXPECT_EQ(Names(dir.Path()), names);
  for (const std::string& name : names) EXPECT_EQ(testutil::ReadAll(dir.File(name) + "/inside.txt"), name);
#ifdef _WIN32
  EXPECT_EQ(PathFromUtf8("K\xC3\xBC" "che \xE5\xBA\x97").native(), L"K\u00FCche \u5E97");
#endif
}

TEST(Utf8Path, TextThatIsNotUtf8IsNoError) {
  // From the environment or another program: a path that names nothing, not an exception.
  EXPECT_NO_THROW(PathFromUtf8("bad\xFF\xC3("));
#ifdef _WIN32
  EXPECT_EQ(Utf8FromPath(std::filesystem::path(std::wstring{L'a', wchar_t(0xD800), L'b'})), "a\xEF\xBF\xBD" "b");
#else
  EXPECT_EQ(Utf8FromPath(PathFromUtf8("bad\xFF")), "bad\xFF");  // bytes, as the system keeps them
#endif
}

// The daily log's and the journal's way to disk, in a folder named outside ASCII.
TEST(OsFile, FilesInAFolderNamedOutsideAsciiAreAppendedToMadeAndCleanedUp) {
  TempDir dir{kNonAsciiName};
  const std::string log = dir.File("trnw061226.log");
  for (const char* line : {"first\r\n", "second\r\n"}) {
    FileDescriptor fd = OpenForAppend(log);
    ASSERT_TRUE(fd.IsOpen()) << log;
    EXPECT_EQ(WriteAll(fd.Get(), line), 0);
    EXPECT_EQ(fd.Close(), 0);
  }
  EXPECT_EQ(testutil::ReadAll(log), "first\r\nsecond\r\n");

  const std::string fresh = dir.File("fresh.tmp");
  {
    NewFileGuard guard(PathFromUtf8(fresh));  // never kept: a save that fails half-way
    FileDescriptor fd = CreateEmpty(fresh);
    ASSERT_TRUE(fd.IsOpen()) << fresh;
    EXPECT_EQ(WriteAll(fd.Get(), "half"), 0);
  }
  {
    NewFileGuard guard(PathFromUtf8(dir.File("kept.tmp")));
    FileDescriptor fd = CreateEmpty(dir.File("kept.tmp"));
    ASSERT_TRUE(fd.IsOpen());
    guard.Keep();
  }
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"trnw061226.log", "kept.tmp"}));
}

}  // namespace
}  // namespace tarnwell::platform
