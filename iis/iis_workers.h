#pragma once
// Which pool an IIS worker process serves, from its command line
// (w3wp.exe -a \\.\pipe\iisipm... -ap "PoolName"). Called from worker threads.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/process_system.h"

namespace tarnwell {

// The process's command line as 8-bit text; empty when it cannot be read.
std::string GetProcessCommandLine(platform::IProcessSystem& system, std::uint32_t pid);

// The pool name after the first -ap " (exact case) up to the next double quote; empty
// when there is no such argument or no closing quote.
std::string ExtractPoolName(std::string_view commandLine);

}  // namespace tarnwell
