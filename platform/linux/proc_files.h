#pragma once
// Small readers of /proc files: one open and a read loop, no streams.
#include <string>

namespace tarnwell::platform::linux_proc {

// Reads the whole file at path (relative to dirFd, or absolute with AT_FDCWD) into out,
// replacing its contents. False when it cannot be opened or a read fails; /proc files of
// a process that has just ended fail here, which callers treat as a normal case.
bool ReadWholeFile(int dirFd, const char* path, std::string& out);

// readlinkat into out; false when the link cannot be read.
bool ReadLink(int dirFd, const char* path, std::string& out);

}  // namespace tarnwell::platform::linux_proc
