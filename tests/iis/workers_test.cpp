#include <gtest/gtest.h>

#include "iis/iis_workers.h"
#include "tests/fakes/fake_process_system.h"

namespace tarnwell {
namespace {

TEST(ExtractPoolName, TakesTheQuotedNameWhereverItStands) {
  EXPECT_EQ(ExtractPoolName(R"(c:\windows\system32\inetsrv\w3wp.exe -a \\.\pipe\iisipm1a2b -ap "DefaultAppPool")"),
            "DefaultAppPool");
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -a \\.\pipe\x -ap "MyPool2" -v "v1.1" -l "webengine4.dll")"), "MyPool2");
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap "Shop Pool  2" -a \\.\pipe\x)"), "Shop Pool  2");
  // The first occurrence wins.
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap "First" -ap "Second")"), "First");
}

TEST(ExtractPoolName, EmptyWithoutAWellFormedArgument) {
  EXPECT_EQ(ExtractPoolName(""), "");
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -a \\.\pipe\x)"), "");
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -AP "Pool")"), "");     // capitals are not the argument
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap Pool)"), "");       // no quote
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap  "Pool")"), "");    // two blanks
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap ")"), "");          // ends after the quote
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap "Unclosed)"), "");  // no closing quote
}

TEST(ExtractPoolName, EmptyQuotesGiveAnEmptyNameNotTheNextArguments) {
  EXPECT_EQ(ExtractPoolName(R"(w3wp.exe -ap "" -v "v2.0")"), "");
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
