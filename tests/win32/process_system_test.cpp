// The process-system seam over the real system, with helper processes of its own.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <algorithm>
#include <cstdio>

#include "child_process.h"
#include "iis/iis_workers.h"
#include "metrics/uCpuUsage.h"
#include "platform/win32/process_system_win32.h"
#include "platform/win32/text.h"

namespace tarnwell::platform {
namespace {

using tests::ChildProcess;

TEST(Win32CommandLine, ReadsBackAChildsAndItsOwnWholeInUtf8AndNothingOfUnreadableProcesses) {
  auto system = win32::OpenWin32ProcessSystem();
  ChildProcess child(L"-a \\\\.\\pipe\\iisipm5d1f2c3a-1b -ap \"Pool Name\" -v \"v2.0\" -l webengine4.dll");
  const std::string line = system->CommandLine(child.pid());  // the child runs: its parameters are set
  EXPECT_EQ(line, win32::ToUtf8(child.commandLine()));
  EXPECT_EQ(ExtractPoolName(line), "Pool Name");
  EXPECT_EQ(GetProcessCommandLine(*system, child.pid()), line);
  ChildProcess nonAscii(L"-ap \"P\u00f6ol \u2603\"");
  EXPECT_EQ(ExtractPoolName(system->CommandLine(nonAscii.pid())), "P\xC3\xB6ol \xE2\x98\x83");
  EXPECT_EQ(system->CommandLine(::GetCurrentProcessId()), win32::ToUtf8(::GetCommandLineW()));
  EXPECT_EQ(system->CommandLine(tests::EndedProcessId()), "");
  EXPECT_EQ(system->CommandLine(0), "");
}

TEST(Win32Figures, WorkingSetOfALiveAndOfAnEndedProcess) {
  auto system = win32::OpenWin32ProcessSystem();
  ChildProcess child(L"-ap \"Memory\"");
  EXPECT_GT(system->WorkingSet(child.pid()), 0);
  EXPECT_GT(GetProcessWorkingSet(*system, child.pid()), 0);
  EXPECT_EQ(system->WorkingSet(tests::EndedProcessId()), -1);
  EXPECT_EQ(RamKBFromWorkingSet(system->WorkingSet(tests::EndedProcessId())), 0);
}

// Both readings are of the test's own process, whose threads this test controls: busy with
// burner threads, then idle once they have stopped.
TEST(Win32Figures, BusyProcessReads99AndIdleOneAlmostNothing) {
  auto system = win32::OpenWin32ProcessSystem();
  {
    const auto burners = tests::Burners(4);
    auto own = system->OpenTimes(::GetCurrentProcessId());
    ASSERT_NE(own, nullptr);
    const auto before = own->Read();
    const std::uint32_t start = system->TickMs();
    const float usage = GetProcessCpuUsage(*system, ::GetCurrentProcessId());
    const auto after = own->Read();
    const std::uint32_t elapsed = system->TickMs() - start;
    ASSERT_TRUE(before && after);
    EXPECT_GT(after->user + after->kernel, before->user + before->kernel);
    EXPECT_GT(usage, 0.0f);
    EXPECT_LE(usage, 99.0f);
    // What the burners got depends on the machine's load. Whenever it was clearly more
    // than one processor over the whole call, the figure must be held at the ceiling.
    const double percent = static_cast<double>(after->user + after->kernel - before->user - before->kernel) /
                           static_cast<double>(elapsed) / 100.0;
    if (percent >= 110.0) {
      EXPECT_EQ(usage, 99.0f) << percent;
    } else {
      std::printf("processor share too small to check the ceiling: %.0f%%\n", percent);
    }
  }
  // The burners are joined. Processor time is counted in clock ticks (10 ms under wine,
  // 15.6 ms on Windows), and one tick over the half-second window reads 2 to 3 percent.
  const float idleUsage = GetProcessCpuUsage(*system, ::GetCurrentProcessId());
  EXPECT_GE(idleUsage, 0.0f);
  EXPECT_LE(idleUsage, 5.0f);
  const std::uint32_t ended = tests::EndedProcessId();
  EXPECT_EQ(GetProcessCpuUsage(*system, ended), -1.0f);
  EXPECT_EQ(system->OpenTimes(ended), nullptr);
}

TEST(Win32Snapshot, ListsThisProcessAndTheBusyHelperWithTheirThreadsAndItsProcessorUse) {
  auto system = win32::OpenWin32ProcessSystem();
  ChildProcess busy(L"-ap \"Threads\" --burn");
  std::vector<ProcessEntry> entries;
  auto find = [&](std::uint32_t pid) {
    return std::find_if(entries.begin(), entries.end(), [&](const ProcessEntry& e) { return e.pid == pid; });
  };
  ASSERT_TRUE(system->Snapshot(entries));  // the helper has started its burner threads
  const auto self = find(::GetCurrentProcessId());
  ASSERT_NE(self, entries.end());
  EXPECT_EQ(self->exeName, "tarnwell_tests_win32.exe");
  EXPECT_GE(self->threads, 1u);
  const auto child = find(busy.pid());
  ASSERT_NE(child, entries.end());
  EXPECT_EQ(child->exeName, "tarnwell_win32_child.exe");
  EXPECT_GE(child->threads, 3u);  // main and two burners
  // Under wine only the helper's threads' times move, never its process times.
  EXPECT_GT(GetProcessCpuUsage(*system, busy.pid()), 0.0f);
}

TEST(Win32Terminate, EndsTheProcessWithTheGivenExitCode) {
  auto system = win32::OpenWin32ProcessSystem();
  ChildProcess child(L"-ap \"Doomed\"");
  EXPECT_TRUE(system->Terminate(child.pid(), 101));
  EXPECT_EQ(child.WaitExit(5000), 101u);
  EXPECT_FALSE(system->Terminate(tests::EndedProcessId(), 101));
}

}  // namespace
}  // namespace tarnwell::platform
