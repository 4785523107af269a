#include <gtest/gtest.h>

#include <utility>

#include "iis/iis_workers.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

// The quoted name after "-ap " wherever it stands, the first if there are two; empty
// without a well-formed argument, and empty quotes never give the next arguments.
TEST(ExtractPoolName, TakesTheQuotedNameOrNothing) {
  const std::pair<const char*, const char*> rows[] = {
      {R"(c:\windows\system32\inetsrv\w3wp.exe -a \\.\pipe\iisipm1a2b -ap "DefaultAppPool")", "DefaultAppPool"},
      {R"(w3wp.exe -a \\.\pipe\x -ap "MyPool2" -v "v1.1" -l "webengine4.dll")", "MyPool2"},
      {R"(w3wp.exe -ap "Shop Pool  2" -a \\.\pipe\x)", "Shop Pool  2"},
      {R"(w3wp.exe -ap "First" -ap "Second")", "First"},
      {"", ""},
      {R"(w3wp.exe -a \\.\pipe\x)", ""},
      {R"(w3wp.exe -AP "Pool")", ""},     // capitals are not the argument
      {R"(w3wp.exe -ap Pool)", ""},       // no quote
      {R"(w3wp.exe -ap  "Pool")", ""},    // two blanks
      {R"(w3wp.exe -ap ")", ""},          // ends after the quote
      {R"(w3wp.exe -ap "Unclosed)", ""},  // no closing quote
      {R"(w3wp.exe -ap "" -v "v2.0")", ""},
  };
  for (const auto& [line, name] : rows) EXPECT_EQ(ExtractPoolName(line), name) << line;
}

TEST(GetProcessCommandLine, ReadsThroughTheSeamAndIsEmptyForAnEndedProcess) {
  fakes::FakeProcessSystem fake;
  fake.AddWorker(2044, "DefaultAppPool");
  const std::string line = GetProcessCommandLine(fake, 2044);
  EXPECT_EQ(ExtractPoolName(line), "DefaultAppPool");
  fake.Remove(2044);
  EXPECT_EQ(GetProcessCommandLine(fake, 2044), "");
  EXPECT_EQ(ExtractPoolName(GetProcessCommandLine(fake, 2044)), "");
}

}  // namespace
}  // namespace tarnwell
