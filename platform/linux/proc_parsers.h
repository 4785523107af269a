#pragma once
// Pure parsers of /proc texts: no I/O, so fixture text drives them in tests.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell::platform::linux_proc {

// The fields of /proc/PID/stat the process system uses.
struct StatFields {
  std::string comm;              // (2) comm, without its parentheses; the kernel cuts it at 15
  char state = '?';              // (3) state
  std::uint32_t numThreads = 0;  // (20) num_threads
  std::uint64_t startTime = 0;   // (22) starttime, clock ticks after boot
};

// Longest comm the kernel keeps (TASK_COMM_LEN - 1); a name this long may have been cut.
inline constexpr std::size_t kCommMax = 15;

// Parses /proc/PID/stat; comm may hold blanks and parentheses, so it ends at the LAST ')'.
std::optional<StatFields> ParseStat(std::string_view text);

// /proc/PID/cmdline (NUL-separated arguments) as one line, arguments joined by single
// spaces. Trailing NULs are dropped, so an empty last argument leaves no trailing blank.
std::string JoinCommandLine(std::string_view raw);

// (2) resident of /proc/PID/statm, in pages.
std::optional<std::int64_t> ParseStatmResident(std::string_view text);

// Appends the inode column of every socket line of /proc/PID/net/tcp or net/tcp6
// (the header line and lines with too few columns are skipped).
void ParseTcpInodes(std::string_view text, std::vector<std::uint64_t>& inodes);

// The "inuse" count of a protocol's line ("TCP", "TCP6") in net/sockstat or
// net/sockstat6: how many sockets its net/tcp table lists. None when the line is missing.
std::optional<std::int64_t> ParseSockstatInuse(std::string_view text, std::string_view protocol);

// A /proc directory entry that names a process: all decimal digits, non-zero, fits 32 bits.
std::optional<std::uint32_t> ParsePid(std::string_view name);

std::string_view BaseName(std::string_view path);

// The executable's file name for a snapshot entry. comm is right unless it is 15
// characters long, where the kernel may have cut it: then the base name of the exe link
// (" (deleted)" dropped) or of argv[0], whichever starts with comm, gives the whole name.
std::string ExeNameFrom(std::string_view comm, std::string_view exeLink, std::string_view argv0);

}  // namespace tarnwell::platform::linux_proc
