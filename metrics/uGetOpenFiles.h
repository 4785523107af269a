#pragma once
// Handle census of one process: every handle, files on local disks, TCP endpoints.
// Called from the monitoring thread; the seam decides what each kind of handle is.
#include <cstdint>

#include "platform/process_system.h"

namespace tarnwell {

struct THandleCensus {
  std::int32_t OpenFiles = 0;
  std::int32_t OpenTcp = 0;
  std::int32_t Handles = 0;
};

// Fills census; zeros for whatever cannot be counted (the process has ended, access is
// refused). Never raises for a vanished process.
void CountProcessHandles(platform::IProcessSystem& system, std::uint32_t pid, THandleCensus& census);

}  // namespace tarnwell
