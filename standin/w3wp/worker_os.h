#pragma once
// What the worker stand-in asks of the operating system. POSIX in worker_os_posix.cpp,
// Win32 (kernel32, Winsock) in worker_os_win32.cpp; each builds only on its own system.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "standin/w3wp/worker_load.h"

namespace tarnwell::standin::worker_os {

// Processor time the calling thread has used, in nanoseconds (as fine as the system counts).
std::int64_t ThreadCpuNs();
std::int64_t PhysicalMemoryMB();

// Each null on failure, with the system's reason in why.
// bytes of private memory, every page written once so that it is resident.
std::unique_ptr<HeldResource> HoldMemory(std::size_t bytes, std::string& why);
// A new file in directory, open until released, and gone from the disk once closed,
// whatever way the worker ends.
std::unique_ptr<HeldResource> HoldFile(const std::string& directory, std::string& why);
// A TCP socket listening on 127.0.0.1, on a port the system picks.
std::unique_ptr<HeldResource> HoldListener(std::string& why);

// The directory for the worker's files, on a local disk; a note for standard error when the
// choice is a last resort.
std::string FileDirectory(std::string& note);

// Has the worker end with the service that started it. False when the service is already
// gone: the worker then ends at once.
bool DieWithStarter();

// Reads standard input: bytes read, 0 at its end or on an error.
std::size_t ReadInput(char* buffer, std::size_t size);
void WriteOutput(std::string_view text);
// Holds the load until the worker is ended from outside.
[[noreturn]] void WaitToBeEnded();

}  // namespace tarnwell::standin::worker_os
