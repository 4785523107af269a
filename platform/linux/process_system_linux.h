#pragma once
// The process-system seam over /proc.
#include <memory>
#include <string>

#include "platform/process_system.h"

namespace tarnwell::platform::linux_proc {

// procRoot is "/proc" in the program; tests point it at a fixture tree.
std::unique_ptr<IProcessSystem> OpenProcSystem(const std::string& procRoot = "/proc");

}  // namespace tarnwell::platform::linux_proc
