// The handle census: classification of object names, the two handle-table layouts and
// the choice between them, the census over a scripted system (including a name query that
// never returns), and over the real one.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "child_process.h"
#include "platform/win32/handle_census.h"

namespace tarnwell::platform::win32 {
namespace {

using namespace std::chrono_literals;

TEST(ClassifyHandleName, LocalDiskFilesAndTcpEndpointsOnly) {
  struct Case {
    const char* name;
    bool file, tcp;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"\\Device\\HarddiskVolume1\\inetpub\\wwwroot\\shop\\web.config", true, false},
           {"\\Device\\Tcp", false, true}, {"\\Device\\Tcp6", false, true},
           {"\\Device\\Udp", false, false}, {"\\Device\\Udp6", false, false}, {"\\Device\\Afd", false, false},
           {"\\Device\\Afd\\Endpoint", false, false}, {"\\Device\\NamedPipe\\x", false, false},
           {"\\Device\\LanmanRedirector\\server\\share\\f.txt", false, false},
           {"\\device\\harddiskvolume1\\x.log", false, false}, {"\\DEVICE\\TCP", false, false},
           {"\\Device\\tcp", false, false}, {"\\??\\C:\\windows\\win.ini", false, false}, {"", false, false}}) {
    const auto kind = ClassifyHandleName(c.name);
    EXPECT_EQ(kind.file, c.file) << c.name;
    EXPECT_EQ(kind.tcp, c.tcp) << c.name;
  }
}

// --- The handle-table layouts ----------------------------------------------------------

constexpr std::size_t kWord = sizeof(void*);

struct Row {
  std::uint64_t pid;
  std::uint64_t value;
  std::uint16_t backTrace = 0x1357;  // legacy only: the word beside the 16-bit process id
};

// Little-endian, width bytes of v at the offset.
void Put(std::vector<std::byte>& bytes, std::size_t at, std::uint64_t v, std::size_t width) {
  std::memcpy(bytes.data() + at, &v, width);
}

// Tables written field by field at the system's offsets for this word size; the bytes no
// field covers hold noise, so a reader that strays from its field reads garbage.
std::vector<std::byte> ExtendedTable(const std::vector<Row>& rows, std::optional<std::uint64_t> claimed = {}) {
  const std::size_t header = 2 * kWord;
  const std::size_t entry = kWord == 8 ? 40 : 28;
  std::vector<std::byte> bytes(header + rows.size() * entry, std::byte{0x5A});
  Put(bytes, 0, claimed.value_or(rows.size()), kWord);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Put(bytes, header + i * entry + kWord, rows[i].pid, kWord);
    Put(bytes, header + i * entry + 2 * kWord, rows[i].value, kWord);
  }
  return bytes;
}

std::vector<std::byte> LegacyTable(const std::vector<Row>& rows, std::optional<std::uint64_t> claimed = {}) {
  const std::size_t header = kWord;  // a 32-bit count, then padding to the entries' alignment
  const std::size_t entry = kWord == 8 ? 24 : 16;
  std::vector<std::byte> bytes(header + rows.size() * entry, std::byte{0x5A});
  Put(bytes, 0, claimed.value_or(rows.size()), 4);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Put(bytes, header + i * entry, rows[i].pid, 2);
    Put(bytes, header + i * entry + 2, rows[i].backTrace, 2);
    Put(bytes, header + i * entry + 6, rows[i].value, 2);
  }
  return bytes;
}

using Values = std::vector<HandleValue>;

TEST(HandleTable, ExtendedKeepsFullWidthProcessIdsAndValuesInTableOrder) {
  std::vector<Row> rows{{700, 0x4}, {0x10000 + 700, 0x10004}, {12, 0xC}, {700, 0x1FFFC},
                        {0x10000 + 700, 0x8}, {700, 0x10}};
  if constexpr (kWord == 8) rows.push_back({(std::uint64_t{1} << 32) + 700, 0x14});  // upper half differs
  const auto table = ExtendedTable(rows);
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kExtended, 700), (Values{0x4, 0x1FFFC, 0x10}));
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kExtended, 0x10000 + 700), (Values{0x10004, 0x8}));
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kExtended, 13), Values{}) << "read, and empty";
}

TEST(HandleTable, LegacyReadsSixteenBitFieldsAndCannotFindProcessesAbove65535) {
  const auto table = LegacyTable({{700, 0x4}, {12, 0x8, 0}, {700, 0xFFFC, 0xFFFF}, {700, 0x10, 0}});
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kLegacy, 700), (Values{0x4, 0xFFFC, 0x10}))
      << "the back-trace index beside the process id is not part of it";
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kLegacy, 12), (Values{0x8}));
  // 0x10000 + 700 shares its low 16 bits with 700: no census rather than 700's handles.
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kLegacy, 0x10000 + 700), std::nullopt);
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kLegacy, 0x10000), std::nullopt);
  EXPECT_EQ(HandleValuesOf(table, HandleTableLayout::kLegacy, 0xFFFF), Values{});
}

TEST(HandleTable, EntriesBeyondTheBufferOrTheCountAreNotRead) {
  for (const auto layout : {HandleTableLayout::kExtended, HandleTableLayout::kLegacy}) {
    SCOPED_TRACE(layout == HandleTableLayout::kExtended ? "extended" : "legacy");
    const auto build = [layout](std::optional<std::uint64_t> claimed) {
      const std::vector<Row> rows{{5, 0x4}, {5, 0x8}};
      return layout == HandleTableLayout::kExtended ? ExtendedTable(rows, claimed) : LegacyTable(rows, claimed);
    };
    const auto table = build(std::nullopt);
    const std::span<const std::byte> bytes(table);
    EXPECT_EQ(HandleValuesOf(build(1000000), layout, 5), (Values{0x4, 0x8})) << "a count larger than the bytes";
    EXPECT_EQ(HandleValuesOf(build(0xFFFFFFFF), layout, 5), (Values{0x4, 0x8}));
    EXPECT_EQ(HandleValuesOf(build(1), layout, 5), (Values{0x4})) << "the count bounds the walk";
    EXPECT_EQ(HandleValuesOf(bytes.first(bytes.size() - 1), layout, 5), (Values{0x4})) << "a cut last entry";
    const std::size_t header = layout == HandleTableLayout::kExtended ? 2 * kWord : kWord;
    EXPECT_EQ(HandleValuesOf(bytes.first(header), layout, 5), Values{}) << "a header alone";
    EXPECT_EQ(HandleValuesOf(bytes.first(3), layout, 5), std::nullopt) << "shorter than the header";
    EXPECT_EQ(HandleValuesOf({}, layout, 5), std::nullopt);
  }
}

// --- The choice of table, over a scripted NtQuerySystemInformation ---------------------

struct ScriptedTables {
  static inline std::vector<std::byte> extended;
  static inline std::vector<std::byte> legacy;
  static inline NTSTATUS extendedStatus = kStatusSuccess;  // what class 64 answers instead of its table
  static inline NTSTATUS legacyStatus = kStatusSuccess;
  static inline std::vector<ULONG> asked;

  static NTSTATUS Query(ULONG infoClass, PVOID buffer, ULONG length, PULONG) {
    asked.push_back(infoClass);
    const bool isExtended = infoClass == kSystemExtendedHandleInformation;
    if (!isExtended && infoClass != kSystemHandleInformation) return kStatusInvalidInfoClass;
    const NTSTATUS status = isExtended ? extendedStatus : legacyStatus;
    if (status != kStatusSuccess) return status;
    const std::vector<std::byte>& table = isExtended ? extended : legacy;
    if (length < table.size()) return kStatusInfoLengthMismatch;
    std::memcpy(buffer, table.data(), table.size());
    return kStatusSuccess;
  }
  static void Reset(NTSTATUS extendedAnswer, NTSTATUS legacyAnswer = kStatusSuccess) {
    extended = ExtendedTable({{70004, 0x10004}, {4468, 0x4}, {70004, 0x8}});
    legacy = LegacyTable({{70004 & 0xFFFF, 0x4}, {4468, 0xC}});  // 70004's id cut to 4468
    extendedStatus = extendedAnswer;
    legacyStatus = legacyAnswer;
    asked.clear();
  }
};

constexpr auto kAccessDenied = static_cast<NTSTATUS>(0xC0000022);

TEST(ReadHandleTable, TakesTheExtendedTableAndTheLegacyOneOnlyWhenTheExtendedClassIsUnknown) {
  ScriptedTables::Reset(kStatusSuccess);
  const HandleTable extended = ReadHandleTable(&ScriptedTables::Query);
  EXPECT_TRUE(extended.block);
  EXPECT_EQ(extended.layout, HandleTableLayout::kExtended);
  EXPECT_EQ(ScriptedTables::asked, (std::vector<ULONG>{64})) << "the legacy table is not asked for";
  for (const NTSTATUS refused : {kStatusInvalidInfoClass, kStatusNotImplemented}) {
    ScriptedTables::Reset(refused);
    const HandleTable table = ReadHandleTable(&ScriptedTables::Query);
    EXPECT_TRUE(table.block);
    EXPECT_EQ(table.layout, HandleTableLayout::kLegacy);
    EXPECT_EQ(ScriptedTables::asked, (std::vector<ULONG>{64, 16}));
  }
  for (const NTSTATUS failure : {kAccessDenied, kStatusNoMemory}) {
    ScriptedTables::Reset(failure);
    EXPECT_FALSE(ReadHandleTable(&ScriptedTables::Query).block) << std::hex << failure;
    EXPECT_EQ(ScriptedTables::asked, (std::vector<ULONG>{64})) << "a failure is not a refusal";
  }
  ScriptedTables::Reset(kStatusInvalidInfoClass, kAccessDenied);
  EXPECT_FALSE(ReadHandleTable(&ScriptedTables::Query).block);
}

TEST(NativeCensusSystem, WorkerAbove65535IsListedFromTheExtendedTableAndUnknownFromTheLegacyOne) {
  const auto system = NativeCensusSystem(&ScriptedTables::Query);
  ScriptedTables::Reset(kStatusSuccess);
  EXPECT_EQ(system->HandleValues(70004), (Values{0x10004, 0x8}));
  EXPECT_EQ(system->HandleValues(4468), (Values{0x4}));

  ScriptedTables::Reset(kStatusInvalidInfoClass);
  EXPECT_EQ(system->HandleValues(70004), std::nullopt);
  EXPECT_EQ(system->HandleValues(4468), (Values{0x4, 0xC})) << "the legacy table cannot tell these apart";

  ScriptedTables::Reset(kAccessDenied);
  EXPECT_EQ(system->HandleValues(4468), std::nullopt);
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
  template <typename F>
  auto Locked(F f) {  // before its callers: they deduce its type
    std::lock_guard guard(lock_);
    return f();
  }

 public:
  std::map<HandleValue, ScriptedHandle> handles;
  bool tableReadable = true;
  bool processOpens = true;

  std::optional<std::vector<HandleValue>> HandleValues(std::uint32_t pid) override {
    if (!tableReadable || pid != kPid) return tableReadable ? std::optional(std::vector<HandleValue>{}) : std::nullopt;
    std::vector<HandleValue> values;
    for (const auto& [value, handle] : handles) values.push_back(value);
    return values;
  }
  UniqueHandle OpenForDuplication(std::uint32_t) override {
    return processOpens ? UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) : UniqueHandle();
  }
  HANDLE Duplicate(HANDLE, HandleValue value) override {
    std::lock_guard guard(lock_);
    if (!handles.at(value).duplicates) return nullptr;
    const auto fake = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(++nextDuplicate_ * 4));
    open_[fake] = value;
    return fake;
  }
  void CloseDuplicate(HANDLE duplicate) override {
    Locked([&] { badCloses_ += open_.erase(duplicate) == 1 ? 0 : 1; });
  }
  std::optional<std::string> TypeName(HANDLE duplicate, std::span<std::byte> buffer) override {
    EXPECT_GE(buffer.size(), 102400u);
    return handles.at(ValueOf(duplicate)).type;
  }
  std::optional<std::string> ObjectName(HANDLE duplicate, std::span<std::byte>) override {
    const HandleValue value = ValueOf(duplicate);
    std::unique_lock guard(lock_);
    ++nameQueries_[value];
    if (handles.at(value).hangs) released_.wait(guard, [&] { return release_; });
    return handles.at(value).name;
  }

  void Release() {
    Locked([&] { release_ = true; });
    released_.notify_all();
  }
  std::size_t OpenDuplicates() { return Locked([&] { return open_.size(); }); }
  int NameQueries(HandleValue value) { return Locked([&] { return nameQueries_[value]; }); }
  int BadCloses() { return Locked([&] { return badCloses_; }); }

  static constexpr std::uint32_t kPid = 4242;

 private:
  HandleValue ValueOf(HANDLE duplicate) { return Locked([&] { return open_.at(duplicate); }); }
  std::mutex lock_;
  std::condition_variable released_;
  bool release_ = false;
  std::uintptr_t nextDuplicate_ = 0;
  std::map<HANDLE, HandleValue> open_;
  std::map<HandleValue, int> nameQueries_;
  int badCloses_ = 0;
};

// handles, files, TCP: compared in one go.
using Counts = std::array<std::int32_t, 3>;
Counts Of(const HandleCounts& c) { return {c.handles, c.openFiles, c.openTcp}; }

// The census has one name timeout for every handle: it is long enough that an ordinary
// query comes back in time on a busy machine, and only the scripted hangs (two in all)
// ever wait it out.
constexpr CensusOptions kPatient{std::chrono::seconds(2), 32};

// Waits (bounded generously: nothing here is a timing check) until the condition holds.
template <typename Condition>
void WaitUntil(Condition done) {
  for (int i = 0; i < 6000 && !done(); ++i) std::this_thread::sleep_for(10ms);
}

TEST(HandleCensus, CountsFilesAndTcpAmongFileHandlesOnly) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x04] = {true, "File", "\\Device\\HarddiskVolume1\\inetpub\\wwwroot\\a.asp"};
  system->handles[0x08] = {true, "File", "\\Device\\Tcp"};
  system->handles[0x0C] = {true, "File", "\\Device\\Tcp6"};
  system->handles[0x10] = {true, "File", "\\Device\\Afd"};
  system->handles[0x14] = {true, "Event", "\\Device\\HarddiskVolume1\\not-a-file"};
  system->handles[0x18] = {true, "file", "\\Device\\HarddiskVolume1\\x"};  // type is exact
  system->handles[0x1C] = {false, "File", "\\Device\\HarddiskVolume1\\y"};  // duplication refused
  system->handles[0x20] = {true, std::nullopt, "\\Device\\Tcp"};            // type query fails
  system->handles[0x24] = {true, "File", std::nullopt};                     // name query fails
  HandleCensus census(system, kPatient);

  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), (Counts{9, 1, 2}));
  EXPECT_EQ(system->NameQueries(0x14), 0) << "only File handles are asked for names";
  EXPECT_EQ(system->OpenDuplicates(), 0u);
  EXPECT_EQ(system->BadCloses(), 0);

  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid + 1)), Counts{}) << "a process with no handles";
  system->processOpens = false;  // refuses duplication: the table count stays
  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), (Counts{9, 0, 0}));
  system->tableReadable = false;
  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), Counts{});
}

TEST(HandleCensus, HoldsAnyNumberOfHandles) {
  auto system = std::make_shared<ScriptedSystem>();
  for (HandleValue i = 1; i <= 10000; ++i) {
    system->handles[i * 4] = {true, i % 2 ? "File" : "Key", "\\Device\\HarddiskVolume1\\f"};
  }
  HandleCensus census(system, kPatient);
  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), (Counts{10000, 5000, 0}));
  EXPECT_EQ(system->OpenDuplicates(), 0u);
}

TEST(HandleCensus, NameQueryThatNeverReturnsIsAbandonedAndNotRepeated) {
  auto system = std::make_shared<ScriptedSystem>();
  system->handles[0x00004] = {true, "File", "\\Device\\HarddiskVolume1\\before"};
  system->handles[0x00008] = {true, "File", "\\Device\\Tcp"};
  system->handles[0x10004] = {true, "File", "\\Device\\HarddiskVolume1\\big.log"};
  system->handles[0x10008] = {true, "File", "\\Device\\NamedPipe\\stuck", true};
  system->handles[0x1000C] = {true, "File", "\\Device\\Tcp6"};
  HandleCensus census(system, kPatient);

  const Counts expected{5, 2, 2};  // the handle after the stuck one is still examined
  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), expected);
  EXPECT_EQ(census.StuckQueries(), 1u);
  EXPECT_EQ(system->OpenDuplicates(), 1u) << "the stuck query keeps its duplicate";

  // While it is stuck, the same handle is not asked again; the others are, 0x8 too,
  // which shares its low 16 bits with the stuck 0x10008: handle values are kept whole.
  EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), expected);
  EXPECT_EQ(system->NameQueries(0x10008), 1);
  EXPECT_EQ(system->NameQueries(0x8), 2);
  EXPECT_EQ(system->NameQueries(0x4), 2);

  // Once the query returns, its thread closes the duplicate and the handle is asked again.
  system->Release();
  WaitUntil([&] { return census.StuckQueries() == 0; });
  EXPECT_EQ(census.StuckQueries(), 0u);
  EXPECT_EQ(system->OpenDuplicates(), 0u);
  census.Count(ScriptedSystem::kPid);
  EXPECT_EQ(system->NameQueries(0x10008), 2);
  EXPECT_EQ(system->BadCloses(), 0);
}

TEST(HandleCensus, StopsAskingNamesWhenTooManyQueriesAreStuckAndOutlivesTheCensus) {
  auto system = std::make_shared<ScriptedSystem>();
  for (HandleValue v = 4; v <= 12; v += 4) system->handles[v] = {true, "File", "\\Device\\Tcp", true};
  {
    HandleCensus census(system, CensusOptions{kPatient.nameTimeout, 1});
    EXPECT_EQ(Of(census.Count(ScriptedSystem::kPid)), (Counts{3, 0, 0}));
    EXPECT_EQ(census.StuckQueries(), 1u);
    EXPECT_EQ(system->NameQueries(8), 0);
  }  // the census is gone; its abandoned thread still holds what it needs
  system->Release();
  WaitUntil([&] { return system->OpenDuplicates() == 0; });
  EXPECT_EQ(system->OpenDuplicates(), 0u);
  EXPECT_EQ(system->BadCloses(), 0);
}

// --- The real system -------------------------------------------------------------------

TEST(HandleTableNative, ListsAHandleThisProcessJustOpened) {
  const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const auto mine = reinterpret_cast<HandleValue>(event.get());
  const std::uint32_t pid = ::GetCurrentProcessId();

  const HandleTable table = ReadHandleTable();
  ASSERT_TRUE(table.block);
  RecordProperty("HandleTableClass", table.layout == HandleTableLayout::kExtended ? 64 : 16);
  const auto values = HandleValuesOf({static_cast<const std::byte*>(table.block.data()), table.block.size()},
                                     table.layout, pid);
  ASSERT_TRUE(values);
  EXPECT_NE(std::find(values->begin(), values->end(), mine), values->end());

  // Where the system answers both, the legacy layout finds the same handle.
  const VirtualBlock legacy = ReadSystemInformation(kSystemHandleInformation);
  if (!legacy || pid > 0xFFFF || mine > 0xFFFF) return;
  const auto legacyValues =
      HandleValuesOf({static_cast<const std::byte*>(legacy.data()), legacy.size()}, HandleTableLayout::kLegacy, pid);
  ASSERT_TRUE(legacyValues);
  EXPECT_NE(std::find(legacyValues->begin(), legacyValues->end(), mine), legacyValues->end());
}

TEST(HandleTableNative, HandleValuesAbove65535AreListedWhole) {
  if (ReadHandleTable().layout != HandleTableLayout::kExtended) GTEST_SKIP() << "only the legacy table here";
  std::vector<UniqueHandle> events;
  while (events.empty() || reinterpret_cast<HandleValue>(events.back().get()) <= 0x10000) {
    ASSERT_LT(events.size(), 40000u) << "handle values stay below 65536";
    events.emplace_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(events.back());
  }
  const auto values = NativeCensusSystem()->HandleValues(::GetCurrentProcessId());
  ASSERT_TRUE(values);
  EXPECT_GE(values->size(), events.size());
  const auto big = reinterpret_cast<HandleValue>(events.back().get());
  EXPECT_NE(std::find(values->begin(), values->end(), big), values->end()) << std::hex << big;
}

TEST(HandleCensusNative, CountsTheHandlesOfThisProcessAChildAndNoneOfAnEndedOne) {
  HandleCensus census(NativeCensusSystem(), kPatient);
  const HandleCounts before = census.Count(::GetCurrentProcessId());
  EXPECT_GT(before.handles, 0);
  const auto path = tests::ProgramDirectory() / L"census-probe.tmp";
  std::vector<UniqueHandle> files;
  for (int i = 0; i < 3; ++i) {
    files.emplace_back(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                     FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(files.back());
  }
  const HandleCounts after = census.Count(::GetCurrentProcessId());
  EXPECT_GE(after.handles, before.handles + 3);
  EXPECT_GE(after.openFiles, before.openFiles);

  tests::ChildProcess child(L"-ap \"Census\"");
  EXPECT_GT(census.Count(child.pid()).handles, 0);
  EXPECT_EQ(Of(census.Count(tests::EndedProcessId())), Counts{});
}

}  // namespace
}  // namespace tarnwell::platform::win32
