#include "tasks/getpooldata.h"

#include <exception>
#include <mutex>
#include <string>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "tasks/WindowPort.h"

namespace tarnwell {

void TGetPoolData::Execute() {
  IWindowPort& window = Window();
  TIISObject& registry = window.Registry();
  window.LogWinMsg("Begin get pools. Please wait...");

  // Held until the list is refilled, so that no other worker rewrites the records
  // between the reload and the UI thread reading them.
  std::lock_guard rebuild(registry.RebuildMutex());
  if (Filter) registry.Filter = *Filter;
  try {
    platform::ThreadScope com(ThreadApartment());
    registry.LoadPools();
  } catch (const std::exception& e) {
    // The pane stays as it is (the list keeps its rows); the daily log keeps the reason.
    if (registry.Log != nullptr) {
      try {
        registry.Log->Write("Error get pools: " + std::string(e.what()));
      } catch (...) {
      }
    }
    return;
  }
  if (registry.LoadFailure) {
    // Said before the count, which is then that of the pools read before.
    window.LogWinMsg(MetabaseUnreadableText(*registry.LoadFailure) + ". The list shows the pools read before.");
  }
  window.LogWinMsg("End get pools");
  window.LogWinMsg("Pools: " + std::to_string(registry.PoolCount));
  if (registry.PoolsDropped > 0) {
    window.LogWinMsg("Pools not listed (only " + std::to_string(MaxPools - 1) + " are held): [" +
                     std::to_string(registry.PoolsDropped) + "]");
  }
  Synchronize([this] { FillPoolList(); });
}

void TGetPoolData::FillPoolList() {
  IWindowPort& window = Window();
  window.LogWinMsg("Begin fill list");
  window.RefillPoolList();
  window.LogWinMsg("End fill list");
}

}  // namespace tarnwell
