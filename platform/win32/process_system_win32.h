#pragma once
// The process-system seam over kernel32, psapi and ntdll.
#include <memory>

#include "platform/process_system.h"
#include "platform/win32/handle_census.h"

namespace tarnwell::platform::win32 {

// census: the options of the handle census (tests shorten the name-query timeout).
std::unique_ptr<IProcessSystem> OpenWin32ProcessSystem(CensusOptions census = {});

}  // namespace tarnwell::platform::win32
