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

// Handle values of the process in a SystemHandleInformation answer laid out for this
// build's word size, in table order. Entries the buffer does not hold are not read.
std::vector<std::uint16_t> HandleValuesOf(std::span<const std::byte> table, std::uint32_t pid);

using SystemInformationQuery = NTSTATUS (*)(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength);

// The complete answer of the query for the class, in a block that starts at 16 KB and
// doubles while the system says it is too small. Empty when an allocation fails, the
// size would pass the 32-bit length the call takes, or the status is another failure.
VirtualBlock ReadSystemInformation(ULONG infoClass, SystemInformationQuery query = &NtQuerySystemInformation);

// What a census asks of the system: ntdll in the program, fakes in tests. ObjectName runs
// on a helper thread and may never return; everything else runs on the census's thread.
// Binding errors of the native entry points (EJwaError) pass out of the census.
class CensusSystem {
 public:
  virtual ~CensusSystem() = default;
  // Handle values of the process in the system handle table; nullopt when unreadable.
  virtual std::optional<std::vector<std::uint16_t>> HandleValues(std::uint32_t pid) = 0;
  // The process opened for duplication; null when it has ended or access is refused.
  virtual UniqueHandle OpenForDuplication(std::uint32_t pid) = 0;
  // A copy of the handle in this process (access 2); null when it cannot be made.
  virtual HANDLE Duplicate(HANDLE process, std::uint16_t value) = 0;
  virtual void CloseDuplicate(HANDLE duplicate) = 0;
  // Object type and object name as UTF-8; nullopt when the query fails. buffer is the
  // caller's scratch space for the system's answer.
  virtual std::optional<std::string> TypeName(HANDLE duplicate, std::span<std::byte> buffer) = 0;
  virtual std::optional<std::string> ObjectName(HANDLE duplicate, std::span<std::byte> buffer) = 0;
};

// The census system over ntdll, kernel32.
std::shared_ptr<CensusSystem> NativeCensusSystem();

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
