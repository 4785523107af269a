#include "platform/win32/handle_census.h"

#include <winternl.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/win32/text.h"

namespace tarnwell::platform::win32 {

HandleClass ClassifyHandleName(std::string_view name) {
  return HandleClass{name.find("\\Device\\Harddisk") != std::string_view::npos,
                     name.find("\\Device\\Tcp") != std::string_view::npos};
}

namespace {

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX, one entry of class 64: 28 bytes on 32-bit Windows,
// 40 on 64-bit.
struct ExtendedEntry {
  PVOID object;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};
static_assert(sizeof(ExtendedEntry) == (sizeof(void*) == 8 ? 40 : 28));
static_assert(offsetof(ExtendedEntry, uniqueProcessId) == sizeof(void*));
static_assert(offsetof(ExtendedEntry, handleValue) == 2 * sizeof(void*));
static_assert(offsetof(ExtendedEntry, handleAttributes) == 3 * sizeof(void*) + 8);

// The entry count and a reserved word, both ULONG_PTR, precede the entries.
constexpr std::size_t kExtendedHeader = 2 * sizeof(ULONG_PTR);

// SYSTEM_HANDLE_TABLE_ENTRY_INFO, one entry of class 16: 16 bytes on 32-bit Windows, 24
// on 64-bit (the object pointer is aligned and the entry padded to it).
struct LegacyEntry {
  USHORT uniqueProcessId;
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR handleAttributes;
  USHORT handleValue;
  PVOID object;
  ULONG grantedAccess;
};
static_assert(sizeof(LegacyEntry) == (sizeof(void*) == 8 ? 24 : 16));
static_assert(offsetof(LegacyEntry, creatorBackTraceIndex) == 2);
static_assert(offsetof(LegacyEntry, handleValue) == 6);
static_assert(offsetof(LegacyEntry, object) == 8);

// The entry count (ULONG) is followed by the entries at their own alignment.
constexpr std::size_t kLegacyHeader = alignof(LegacyEntry);

constexpr ULONG kObjectInfoSize = 102400;  // bytes, per query buffer
constexpr ACCESS_MASK kDuplicateAccess = 2;

// Values of the entries that match, of the first count entries the buffer holds whole.
template <typename Count, typename Entry, std::size_t header, typename Matches>
std::optional<std::vector<HandleValue>> MatchingValues(std::span<const std::byte> table, Matches matches) {
  static_assert(sizeof(Count) <= header && header % alignof(Entry) == 0);
  if (table.size() < header) return std::nullopt;
  Count count = 0;
  std::memcpy(&count, table.data(), sizeof count);
  const std::size_t fits = (table.size() - header) / sizeof(Entry);
  const std::size_t n = count < fits ? static_cast<std::size_t>(count) : fits;
  std::vector<HandleValue> values;
  for (std::size_t i = 0; i < n; ++i) {
    Entry entry;
    std::memcpy(&entry, table.data() + header + i * sizeof(Entry), sizeof entry);
    if (matches(entry)) values.push_back(static_cast<HandleValue>(entry.handleValue));
  }
  return values;
}

bool RefusedAsUnknownClass(NTSTATUS status) {
  return status == kStatusInvalidInfoClass || status == kStatusNotImplemented;
}

}  // namespace

std::optional<std::vector<HandleValue>> HandleValuesOf(std::span<const std::byte> table, HandleTableLayout layout,
                                                       std::uint32_t pid) {
  if (layout == HandleTableLayout::kExtended) {
    return MatchingValues<ULONG_PTR, ExtendedEntry, kExtendedHeader>(
        table, [pid](const ExtendedEntry& e) { return e.uniqueProcessId == pid; });
  }
  // The legacy table keeps only the low 16 bits of each process id: a process above 65535
  // cannot be found in it, which is no census rather than a census of 0 handles. Below
  // that, a process whose id differs by a multiple of 65536 would be merged in; only
  // systems that lack the extended class are read this way.
  if (pid > 0xFFFF) return std::nullopt;
  return MatchingValues<ULONG, LegacyEntry, kLegacyHeader>(
      table, [pid](const LegacyEntry& e) { return e.uniqueProcessId == pid; });
}

SystemInformation QuerySystemInformation(ULONG infoClass, SystemInformationQuery query) {
  std::size_t size = 16384;
  for (;;) {
    SystemInformation answer;
    answer.block = VirtualBlock::Allocate(size);
    if (!answer.block) return {VirtualBlock(), kStatusNoMemory};
    answer.status = query(infoClass, answer.block.data(), static_cast<ULONG>(size), nullptr);
    if (answer.status == kStatusSuccess) return answer;
    answer.block.reset();
    if (answer.status != kStatusInfoLengthMismatch) return answer;
    // The length argument is 32-bit: a table that outgrows it cannot be read whole.
    if (size > ULONG_MAX / 2) return answer;
    size *= 2;
  }
}

VirtualBlock ReadSystemInformation(ULONG infoClass, SystemInformationQuery query) {
  return QuerySystemInformation(infoClass, query).block;
}

HandleTable ReadHandleTable(SystemInformationQuery query) {
  SystemInformation extended = QuerySystemInformation(kSystemExtendedHandleInformation, query);
  if (extended.block || !RefusedAsUnknownClass(extended.status)) {
    return {std::move(extended.block), HandleTableLayout::kExtended};
  }
  return {ReadSystemInformation(kSystemHandleInformation, query), HandleTableLayout::kLegacy};
}

namespace {

// The counted UTF-16 string at the start of an object-information answer, as UTF-8;
// its characters must lie inside the same buffer.
std::optional<std::string> CountedStringAt(std::span<const std::byte> buffer) {
  UNICODE_STRING text;
  if (buffer.size() < sizeof text) return std::nullopt;
  std::memcpy(&text, buffer.data(), sizeof text);
  if (text.Buffer == nullptr || text.Length == 0) return std::string();
  const auto* begin = reinterpret_cast<const std::byte*>(text.Buffer);
  const auto* end = begin + text.Length;
  if (begin < buffer.data() || end > buffer.data() + buffer.size() || end < begin) return std::nullopt;
  std::wstring wide(text.Length / sizeof(wchar_t), L'\0');
  std::memcpy(wide.data(), begin, wide.size() * sizeof(wchar_t));
  return ToUtf8(wide);
}

class NativeCensus final : public CensusSystem {
 public:
  explicit NativeCensus(SystemInformationQuery query) : query_(query) {}

  std::optional<std::vector<HandleValue>> HandleValues(std::uint32_t pid) override {
    const HandleTable table = ReadHandleTable(query_);
    if (!table.block) return std::nullopt;
    return HandleValuesOf({static_cast<const std::byte*>(table.block.data()), table.block.size()}, table.layout,
                          pid);
  }

  UniqueHandle OpenForDuplication(std::uint32_t pid) override {
    return UniqueHandle(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
  }

  HANDLE Duplicate(HANDLE process, HandleValue value) override {
    HANDLE copy = nullptr;
    const NTSTATUS status =
        win32::NtDuplicateObject(process, reinterpret_cast<HANDLE>(value),
                                 ::GetCurrentProcess(), &copy, kDuplicateAccess, 0, 0);
    return status == kStatusSuccess ? copy : nullptr;
  }

  void CloseDuplicate(HANDLE duplicate) override { win32::NtClose(duplicate); }

  std::optional<std::string> TypeName(HANDLE duplicate, std::span<std::byte> buffer) override {
    return Query(duplicate, kObjectTypeInformation, buffer);
  }
  std::optional<std::string> ObjectName(HANDLE duplicate, std::span<std::byte> buffer) override {
    return Query(duplicate, kObjectNameInformation, buffer);
  }

 private:
  SystemInformationQuery query_;

  static std::optional<std::string> Query(HANDLE duplicate, ULONG infoClass, std::span<std::byte> buffer) {
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(buffer.size(), ULONG_MAX));
    if (win32::NtQueryObject(duplicate, infoClass, buffer.data(), length, nullptr) != kStatusSuccess) {
      return std::nullopt;
    }
    return CountedStringAt(buffer.first(length));
  }
};

using HandleKey = std::pair<std::uint32_t, HandleValue>;  // process id, handle value

}  // namespace

struct HandleCensus::StuckRegistry {
  std::mutex lock;
  std::set<HandleKey> keys;  // name queries abandoned and not yet returned
};

namespace {

// One helper thread's shared state; kept alive by the census and the thread alike, so a
// thread left behind in a query that never returns still has it.
struct NameJob {
  std::mutex lock;
  std::condition_variable changed;
  std::shared_ptr<CensusSystem> system;
  std::shared_ptr<HandleCensus::StuckRegistry> stuck;
  std::vector<std::byte> buffer = std::vector<std::byte>(kObjectInfoSize);
  HANDLE pending = nullptr;  // owned by the job until the helper takes it
  HandleKey key{};
  bool hasRequest = false;
  bool done = false;
  bool quit = false;
  bool abandoned = false;
  std::optional<std::string> result;
};

void NameHelperMain(std::shared_ptr<NameJob> job) {
  for (;;) {
    HANDLE duplicate = nullptr;
    {
      std::unique_lock guard(job->lock);
      job->changed.wait(guard, [&] { return job->hasRequest || job->quit; });
      if (!job->hasRequest) return;
      duplicate = std::exchange(job->pending, nullptr);
      job->hasRequest = false;
    }
    std::optional<std::string> name;
    try {
      name = job->system->ObjectName(duplicate, job->buffer);
    } catch (...) {
      name.reset();  // counted in Handles only
    }
    try {
      job->system->CloseDuplicate(duplicate);
    } catch (...) {
    }
    {
      std::lock_guard guard(job->lock);
      if (job->abandoned) {
        std::lock_guard stuckGuard(job->stuck->lock);
        job->stuck->keys.erase(job->key);
        return;
      }
      job->result = std::move(name);
      job->done = true;
    }
    job->changed.notify_all();
  }
}

// Runs one census's name queries on a helper thread with a timeout each. Census thread.
class NameQuerier {
 public:
  NameQuerier(std::shared_ptr<CensusSystem> system, std::shared_ptr<HandleCensus::StuckRegistry> stuck,
              const CensusOptions& options)
      : system_(std::move(system)), stuck_(std::move(stuck)), options_(options) {}
  ~NameQuerier() { StopHelper(); }
  NameQuerier(const NameQuerier&) = delete;
  NameQuerier& operator=(const NameQuerier&) = delete;

  // Takes ownership of the duplicate. nullopt when the query failed, timed out or was
  // not made.
  std::optional<std::string> Query(HANDLE duplicate, HandleKey key) {
    {
      std::lock_guard guard(stuck_->lock);
      if (stuck_->keys.contains(key) || stuck_->keys.size() >= options_.maxStuckQueries) {
        system_->CloseDuplicate(duplicate);
        return std::nullopt;
      }
    }
    if (!job_ && !StartHelper()) {
      system_->CloseDuplicate(duplicate);
      return std::nullopt;
    }
    {
      std::lock_guard guard(job_->lock);
      job_->pending = duplicate;
      job_->key = key;
      job_->hasRequest = true;
      job_->done = false;
    }
    job_->changed.notify_all();
    {
      std::unique_lock guard(job_->lock);
      if (job_->changed.wait_for(guard, options_.nameTimeout, [&] { return job_->done; })) {
        return std::exchange(job_->result, std::nullopt);
      }
      // Left behind: the helper closes the duplicate and clears the key if it returns.
      job_->abandoned = true;
      std::lock_guard stuckGuard(stuck_->lock);
      stuck_->keys.insert(key);
    }
    helper_.detach();
    job_.reset();
    return std::nullopt;
  }

 private:
  bool StartHelper() {
    auto job = std::make_shared<NameJob>();
    job->system = system_;
    job->stuck = stuck_;
    try {
      helper_ = std::thread(NameHelperMain, job);
    } catch (const std::system_error&) {
      return false;
    }
    job_ = std::move(job);
    return true;
  }

  void StopHelper() {
    if (!job_) return;
    {
      std::lock_guard guard(job_->lock);
      job_->quit = true;
    }
    job_->changed.notify_all();
    helper_.join();
    job_.reset();
  }

  std::shared_ptr<CensusSystem> system_;
  std::shared_ptr<HandleCensus::StuckRegistry> stuck_;
  CensusOptions options_;
  std::shared_ptr<NameJob> job_;
  std::thread helper_;
};

// Closes a duplicate the census still holds, also when an error passes.
class DuplicateGuard {
 public:
  DuplicateGuard(CensusSystem& system, HANDLE duplicate) : system_(system), duplicate_(duplicate) {}
  ~DuplicateGuard() {
    if (duplicate_ != nullptr) {
      try {
        system_.CloseDuplicate(duplicate_);
      } catch (...) {
      }
    }
  }
  DuplicateGuard(const DuplicateGuard&) = delete;
  DuplicateGuard& operator=(const DuplicateGuard&) = delete;
  HANDLE get() const { return duplicate_; }
  HANDLE release() { return std::exchange(duplicate_, nullptr); }

 private:
  CensusSystem& system_;
  HANDLE duplicate_;
};

}  // namespace

std::shared_ptr<CensusSystem> NativeCensusSystem(SystemInformationQuery query) {
  return std::make_shared<NativeCensus>(query);
}

HandleCensus::HandleCensus(std::shared_ptr<CensusSystem> system, CensusOptions options)
    : system_(std::move(system)), options_(options), stuck_(std::make_shared<StuckRegistry>()) {}

HandleCensus::~HandleCensus() = default;

std::size_t HandleCensus::StuckQueries() const {
  std::lock_guard guard(stuck_->lock);
  return stuck_->keys.size();
}

HandleCounts HandleCensus::Count(std::uint32_t pid) {
  HandleCounts counts;
  const auto values = system_->HandleValues(pid);
  if (!values || values->empty()) return counts;
  counts.handles = static_cast<std::int32_t>(std::min<std::size_t>(values->size(), INT32_MAX));

  const UniqueHandle process = system_->OpenForDuplication(pid);
  if (!process) return counts;

  std::vector<std::byte> typeBuffer(kObjectInfoSize);
  NameQuerier names(system_, stuck_, options_);
  for (const HandleValue value : *values) {
    DuplicateGuard duplicate(*system_, system_->Duplicate(process.get(), value));
    if (duplicate.get() == nullptr) continue;
    const auto type = system_->TypeName(duplicate.get(), typeBuffer);
    if (!type || *type != "File") continue;
    const auto name = names.Query(duplicate.release(), HandleKey{pid, value});
    if (!name) continue;
    const HandleClass kind = ClassifyHandleName(*name);
    if (kind.file) ++counts.openFiles;
    if (kind.tcp) ++counts.openTcp;
  }
  return counts;
}

}  // namespace tarnwell::platform::win32
