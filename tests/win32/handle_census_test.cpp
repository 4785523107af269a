// The handle census: classification of object names, the census over a scripted system
// (including a name query that never returns), and over the real one.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "child_process.h"
#include "platform/win32/handle_census.h"

namespace tarnwell::platform::win32 {
namespace {

using namespace std::chrono_literals;

TEST(ClassifyHandleName, LocalDiskFilesAndTcpEndpoints) {
  const auto disk = ClassifyHandleName("\\Device\\HarddiskVolume1\\inetpub\\wwwroot\\shop\\web.config");
  EXPECT_TRUE(disk.file);
  EXPECT_FALSE(disk.tcp);
  for (const char* tcp : {"\\Device\\Tcp", "\\Device\\Tcp6"}) {
    const auto kind = ClassifyHandleName(tcp);
    EXPECT_TRUE(kind.tcp) << tcp;
    EXPECT_FALSE(kind.file) << tcp;
  }
}

TEST(ClassifyHandleName, EverythingElseIsNeither) {
  for (const char* name : {"\\Device\\Udp", "\\Device\\Udp6", "\\Device\\Afd", "\\Device\\Afd\\Endpoint",
                           "\\Device\\NamedPipe\\x", "\\Device\\LanmanRedirector\\server\\share\\f.txt",
                           "\\device\\harddiskvolume1\\x.log", "\\DEVICE\\TCP", "\\Device\\tcp",
                           "\\??\\C:\\windows\\win.ini", ""}) {
    const auto kind = ClassifyHandleName(name);
    EXPECT_FALSE(kind.file) << name;
    EXPECT_FALSE(kind.tcp) << name;
  }
}

// One handle of the scripted process.
struct ScriptedHandle {
  bool duplicates = true;
  std::optional<std::string> type = "File";
  std::optional<std::string> name;
  bool hangs = false;  // the name query waits until Release()
};

// A process whose handles are given by the test. Duplicates are distinct fake values
// that are checked to be closed exactly once.
class ScriptedSystem final : public CensusSystem {
 public:
  std::map<std::uint16_t, ScriptedHandle> handles;
  bool tableReadable = true;
  bool processOpens = true;

  std::optional<std::vector<std::uint16_t>> HandleValues(std::uint32_t pid) override {
    if (!tableReadable || pid != kPid) return tableReadable ? std::optional(std::vector<std::uint16_t>{}) : std::nullopt;
    std::vector<std::uint16_t> values;
    for (const auto& [value, handle] : handles) values.push_back(value);
    return values;
  }
  UniqueHandle OpenForDuplication(std::uint32_t) override {
    return processOpens ? UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) : UniqueHandle();
  }
  HANDLE Duplicate(HANDLE, std::uint16_t value) override {
    std::lock_guard guard(lock_);
    if (!handles.at(value).duplicates) return nullptr;
    const auto fake = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(++nextDuplicate_ * 4));
    open_[fake] = value;
    return fake;
  }
  void CloseDuplicate(HANDLE duplicate) override {
    std::lock_guard guard(lock_);
    if (open_.erase(duplicate) != 1) ++badCloses_;
  }
  std::optional<std::string> TypeName(HANDLE duplicate, std::span<std::byte> buffer) override {
    EXPECT_GE(buffer.size(), 102400u);
    return handles.at(ValueOf(duplicate)).type;
  }
  std::optional<std::string> ObjectName(HANDLE duplicate, std::span<std::byte>) override {
    const std::uint16_t value = ValueOf(duplicate);
    std::unique_lock guard(lock_);
    ++nameQueries_[value];
    if (handles.at(value).hangs) released_.wait(guard, [&] { return release_; });
    return handles.at(value).name;
  }

  void Release() {
    {
      std::lock_guard guard(lock_);
      release_ = true;
    }
    released_.notify_all();
  }
  std::size_t OpenDuplicates() {
    std::lock_guard guard(lock_);
    return open_.size();
  }
  int NameQueries(std::uint16_t value) {
    std::lock_guard guard(lock_);
    return nameQueries_[value];
  }
  int BadCloses() {
    std::lock_guard guard(lock_);
    return badCloses_;
  }

  static constexpr std::uint32_t kPid = 4242;

 private:
  std::uint16_t ValueOf(HANDLE duplicate) {
    std::lock_guard guard(lock_);
    return open_.at(duplicate);
  }
  std::mutex lock_;
  std::condition_variable released_;
  bool release_ = false;
  std::uintptr_t nextDuplicate_ = 0;
  std::map<HANDLE, std::uint16_t> open_;
  std::map<std::uint16_t, int> nameQueries_;
  int badCloses_ = 0;
};

// Waits (bounded) until every abandoned query has come back.
void WaitUntilNoneStuck(const HandleCensus& census) {
  for (int i = 0; i < 500 && census.StuckQueries() != 0; ++i) std::this_thread::sleep_for(10ms);
}

TEST(HandleCensus, CountsFilesAndTcpAmongFileHandlesOnly) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x04] = {true, "File", "\\Device\\HarddiskVolume1\\inetpub\\wwwroot\\a.asp", false};
  system->handles[0x08] = {true, "File", "\\Device\\Tcp", false};
  system->handles[0x0C] = {true, "File", "\\Device\\Tcp6", false};
  system->handles[0x10] = {true, "File", "\\Device\\Afd", false};
  system->handles[0x14] = {true, "Event", "\\Device\\HarddiskVolume1\\not-a-file", false};
  system->handles[0x18] = {true, "file", "\\Device\\HarddiskVolume1\\x", false};  // type is exact
  system->handles[0x1C] = {false, "File", "\\Device\\HarddiskVolume1\\y", false};  // duplication refused
  system->handles[0x20] = {true, std::nullopt, "\\Device\\Tcp", false};            // type query fails
  system->handles[0x24] = {true, "File", std::nullopt, false};                     // name query fails
  HandleCensus census(system);

  const HandleCounts counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 9);
  EXPECT_EQ(counts.openFiles, 1);
  EXPECT_EQ(counts.openTcp, 2);
  EXPECT_EQ(system->NameQueries(0x14), 0) << "only File handles are asked for names";
  EXPECT_EQ(system->OpenDuplicates(), 0u);
  EXPECT_EQ(system->BadCloses(), 0);
}

TEST(HandleCensus, WhatCannotBeCountedIsZero) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x04] = {true, "File", "\\Device\\Tcp", false};
  system->handles[0x08] = {true, "File", "\\Device\\HarddiskVolume2\\log.txt", false};
  HandleCensus census(system);

  EXPECT_EQ(census.Count(ScriptedSystem::kPid + 1).handles, 0) << "a process with no handles";

  system->processOpens = false;  // refuses duplication: the table count stays
  HandleCounts counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 2);
  EXPECT_EQ(counts.openFiles, 0);
  EXPECT_EQ(counts.openTcp, 0);

  system->tableReadable = false;
  counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 0);
  EXPECT_EQ(counts.openFiles, 0);
  EXPECT_EQ(counts.openTcp, 0);
}

TEST(HandleCensus, HoldsAnyNumberOfHandles) {
  auto system = std::make_shared<ScriptedSystem>();
  for (std::uint16_t i = 1; i <= 10000; ++i) {
    system->handles[static_cast<std::uint16_t>(i * 4)] = {true, i % 2 ? "File" : "Key",
                                                          "\\Device\\HarddiskVolume1\\f", false};
  }
  HandleCensus census(system);
  const HandleCounts counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 10000);
  EXPECT_EQ(counts.openFiles, 5000);
  EXPECT_EQ(system->OpenDuplicates(), 0u);
}

TEST(HandleCensus, NameQueryThatNeverReturnsIsAbandonedAndNotRepeated) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x04] = {true, "File", "\\Device\\HarddiskVolume1\\before", false};
  system->handles[0x08] = {true, "File", "\\Device\\NamedPipe\\stuck", true};
  system->handles[0x0C] = {true, "File", "\\Device\\Tcp", false};
  system->handles[0x10] = {true, "File", "\\Device\\HarddiskVolume1\\after", false};
  HandleCensus census(system, CensusOptions{50ms, 32});

  HandleCounts counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 4);
  EXPECT_EQ(counts.openFiles, 2) << "the handles after the stuck one are still examined";
  EXPECT_EQ(counts.openTcp, 1);
  EXPECT_EQ(census.StuckQueries(), 1u);
  EXPECT_EQ(system->OpenDuplicates(), 1u) << "the stuck query keeps its duplicate";

  // While it is stuck, the same handle is not asked again; the others are.
  counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.openFiles, 2);
  EXPECT_EQ(counts.openTcp, 1);
  EXPECT_EQ(system->NameQueries(0x08), 1);
  EXPECT_EQ(system->NameQueries(0x04), 2);

  // Once the query returns, its thread closes the duplicate and the handle is asked again.
  system->Release();
  WaitUntilNoneStuck(census);
  EXPECT_EQ(census.StuckQueries(), 0u);
  EXPECT_EQ(system->OpenDuplicates(), 0u);
  census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(system->NameQueries(0x08), 2);
  EXPECT_EQ(system->BadCloses(), 0);
}

TEST(HandleCensus, StopsAskingNamesWhenTooManyQueriesAreStuck) {
  auto system = std::make_shared<ScriptedSystem>();
  for (std::uint16_t v = 4; v <= 20; v += 4) system->handles[v] = {true, "File", "\\Device\\Tcp", true};
  HandleCensus census(system, CensusOptions{20ms, 2});

  const HandleCounts counts = census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(counts.handles, 5);
  EXPECT_EQ(counts.openTcp, 0);
  EXPECT_EQ(census.StuckQueries(), 2u);
  EXPECT_EQ(system->NameQueries(12), 0);

  system->Release();
  WaitUntilNoneStuck(census);
  EXPECT_EQ(system->OpenDuplicates(), 0u);
}

TEST(HandleCensus, ScriptedSystemOutlivesTheCensusWhileAQueryIsStuck) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x04] = {true, "File", "\\Device\\Tcp", true};
  {
    HandleCensus census(system, CensusOptions{20ms, 32});
    census.Count(ScriptedSystem::kPid);
  }  // the census is gone; its abandoned thread still holds what it needs
  system->Release();
  for (int i = 0; i < 500 && system->OpenDuplicates() != 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(system->OpenDuplicates(), 0u);
}

// --- The real system -------------------------------------------------------------------

TEST(HandleCensusNative, CountsTheHandlesThisProcessOpens) {
  HandleCensus census(NativeCensusSystem());
  const HandleCounts before = census.Count(::GetCurrentProcessId());
  EXPECT_GT(before.handles, 0);

  const auto path = tests::ProgramDirectory() / L"census-probe.tmp";
  std::vector<HANDLE> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_NE(files.back(), INVALID_HANDLE_VALUE);
  }
  const HandleCounts after = census.Count(::GetCurrentProcessId());
  for (HANDLE f : files) ::CloseHandle(f);
  EXPECT_GE(after.handles, before.handles + 3);
  EXPECT_GE(after.openFiles, before.openFiles);
}

TEST(HandleCensusNative, ChildProcessAndEndedProcess) {
  HandleCensus census(NativeCensusSystem());
  tests::ChildProcess child(L"-ap \"Census\"");
  EXPECT_GT(census.Count(child.pid()).handles, 0);

  const HandleCounts gone = census.Count(tests::EndedProcessId());
  EXPECT_EQ(gone.handles, 0);
  EXPECT_EQ(gone.openFiles, 0);
  EXPECT_EQ(gone.openTcp, 0);
}

}  // namespace
}  // namespace tarnwell::platform::win32
