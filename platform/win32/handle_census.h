#pragma once
// Handle census of one process over the system handle table: every handle, files on
// local disks, TCP endpoints.
#include "platform/win32/win_api.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process_system.h"
#include "platform/win32/native.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::platform::win32 {

struct HandleClass {
  bool file = false;  // an open file on a local disk
  bool tcp = false;   // a TCP endpoint
};

// "\Device\Harddisk" anywhere in the object name makes a file, "\Device\Tcp" anywhere a
// TCP endpoint (so \Device\Tcp6 too); both compared case-sensitively.
HandleClass ClassifyHandleName(std::string_view name);

// A handle value as the system handle table gives it; as wide as a HANDLE.
using HandleValue = std::uintptr_t;

// Which answer a handle table holds.
enum class HandleTableLayout {
  kExtended,  // class 64: full-width process ids and handle values
  kLegacy,    // class 16: 16-bit process ids and handle values
};

// Handle values of the process in a handle table laid out for this build's word size, in
// table order. Entries the buffer does not hold are not read. nullopt when the buffer is
// too short for the table's header, or when the layout cannot tell the process apart
// (a legacy table and a process id above 65535).
std::optional<std::vector<HandleValue>> HandleValuesOf(std::span<const std::byte> table, HandleTableLayout layout,
                                                       std::uint32_t pid);

using SystemInformationQuery = NTSTATUS (*)(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength);

struct SystemInformation {
  VirtualBlock block;                // the complete answer; empty on failure
  NTSTATUS status = kStatusSuccess;  // the failure: the query's own, or kStatusNoMemory
};

// The complete answer of the query for the class, in a block that starts at 16 KB and
// doubles while the system says it is too small. Fails when an allocation fails, the
// size would pass the 32-bit length the call takes (status: length mismatch), or the
// query fails otherwise.
SystemInformation QuerySystemInformation(ULONG infoClass, SystemInformationQuery query = &NtQuerySystemInformation);
// The block of QuerySystemInformation alone.
VirtualBlock ReadSystemInformation(ULONG infoClass, SystemInformationQuery query = &NtQuerySystemInformation);

struct HandleTable {
  VirtualBlock block;  // empty when no table could be read
  HandleTableLayout layout = HandleTableLayout::kExtended;
};

// The system handle table: the extended answer, or the legacy one only when the system
// does not know the extended class. Any other failure of the extended query gives no
// table, so a transient error never silently narrows the census.
HandleTable ReadHandleTable(SystemInformationQuery query = &NtQuerySystemInformation);

// What a census asks of the system: ntdll in the program, fakes in tests. ObjectName runs
// on a helper thread and may never return; everything else runs on the census's thread.
// Binding errors of the native entry points (EJwaError) pass out of the census.
class CensusSystem {
 public:
  virtual ~CensusSystem() = default;
  // Handle values of the process in the system handle table; nullopt when the table is
  // unreadable or cannot tell the process apart (no census, counted as zeros).
  virtual std::optional<std::vector<HandleValue>> HandleValues(std::uint32_t pid) = 0;
  // The process opened for duplication; null when it has ended or access is refused.
  virtual UniqueHandle OpenForDuplication(std::uint32_t pid) = 0;
  // A copy of the handle in this process (access 2); null when it cannot be made.
  virtual HANDLE Duplicate(HANDLE process, HandleValue value) = 0;
  virtual void CloseDuplicate(HANDLE duplicate) = 0;
  // Object type and object name as UTF-8; nullopt when the query fails. buffer is the
  // caller's scratch space for the system's answer.
  virtual std::optional<std::string> TypeName(HANDLE duplicate, std::span<std::byte> buffer) = 0;
  virtual std::optional<std::string> ObjectName(HANDLE duplicate, std::span<std::byte> buffer) = 0;
};

// The census system over ntdll, kernel32; query reads the handle table (scripted in tests).
std::shared_ptr<CensusSystem> NativeCensusSystem(SystemInformationQuery query = &NtQuerySystemInformation);

struct CensusOptions {
  // How long one name query may take before the census gives up on that handle.
  std::chrono::milliseconds nameTimeout{1000};
  // Abandoned name queries still outstanding beyond which no more are started.
  std::size_t maxStuckQueries = 32;
};

// Counts handles. A name query that does not return within the timeout is abandoned on
// its helper thread, which is detached: it closes its duplicate and ends if the query
// ever returns. While it is outstanding, that (process, handle) is not asked again, so a
// handle that always hangs costs one thread, not one per census.
// Count is safe to call from several threads at once.
class HandleCensus {
 public:
  explicit HandleCensus(std::shared_ptr<CensusSystem> system, CensusOptions options = {});
  ~HandleCensus();
  HandleCensus(const HandleCensus&) = delete;
  HandleCensus& operator=(const HandleCensus&) = delete;

  // Zeros for whatever cannot be counted; never raises for a vanished process.
  HandleCounts Count(std::uint32_t pid);
  // Abandoned name queries that have not returned yet.
  std::size_t StuckQueries() const;

  struct StuckRegistry;

 private:
  std::shared_ptr<CensusSystem> system_;
  CensusOptions options_;
  std::shared_ptr<StuckRegistry> stuck_;  // shared with abandoned helper threads
};

}  // namespace tarnwell::platform::win32
