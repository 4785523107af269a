#include "metrics/uGetOpenFiles.h"

namespace tarnwell {

void CountProcessHandles(platform::IProcessSystem& system, std::uint32_t pid, THandleCensus& census) {
  census = THandleCensus{};
  const platform::HandleCounts counts = system.CountHandles(pid);
  census.OpenFiles = counts.openFiles;
  census.OpenTcp = counts.openTcp;
  census.Handles = counts.handles;
}

}  // namespace tarnwell
