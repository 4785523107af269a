#include "platform/linux/proc_census.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/proc_files.h"
#include "platform/linux/proc_parsers.h"
#include "platform/linux/sock_diag.h"
#include "platform/linux/unique_fd.h"

namespace tarnwell::platform::linux_proc {

namespace {

void ClampAdd(std::int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
}

// Whether two paths under dirFd lead (through links) to one file.
bool SameFile(int dirFd, const char* a, const char* b) {
  struct stat sa, sb;
  return ::fstatat(dirFd, a, &sa, 0) == 0 && ::fstatat(dirFd, b, &sb, 0) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Above this many descriptors a census looks at them from two threads.
constexpr std::size_t kTwoThreadsFrom = 4096;

struct Tally {
  std::int64_t openFiles = 0;
  std::vector<std::uint64_t> socketInodes;
};

// Looks at each named descriptor of the opened fd directory. A descriptor closed meanwhile
// is skipped.
void TallyDescriptors(int dirFd, std::span<const std::string> names, Tally& tally) {
  for (const std::string& name : names) {
    // statx follows the descriptor's link to the object itself; DONT_SYNC keeps a
    // network file system's server out of it, so a dead server cannot stall the census.
    struct statx stx;
    if (::statx(dirFd, name.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &stx) != 0) continue;
    const auto type = stx.stx_mode & S_IFMT;
    if (type == S_IFSOCK) {
      tally.socketInodes.push_back(stx.stx_ino);
    } else if ((type == S_IFREG || type == S_IFDIR) && stx.stx_dev_major != 0) {
      ++tally.openFiles;
    }
  }
}

}  // namespace

HandleCounts CensusFromProc(int procFd, std::uint32_t pid) {
  HandleCounts counts;
  char path[48];
  std::snprintf(path, sizeof path, "%u/fd", pid);
  // The fd directory is opened once; every descriptor is then looked at relative to it.
  UniqueFd fdDir(::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fdDir) return counts;
  const int dirFd = fdDir.get();
  UniqueDir dir(::fdopendir(dirFd));
  if (!dir) return counts;
  fdDir.release();  // the stream owns it now

  std::vector<std::string> names;  // of the descriptors, "0", "1", ...
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;  // "." and ".."
    ClampAdd(counts.handles);
    names.emplace_back(entry->d_name);
  }

  // Each look costs the kernel's path walk (microseconds), so a process holding thousands
  // of descriptors is looked at from two threads: the monitoring pass waits half as long.
  Tally mine;
  Tally theirs;
  std::size_t split = names.size();
  std::jthread helper;
  if (names.size() >= kTwoThreadsFrom && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::jthread([&, half = names.size() / 2] {
        TallyDescriptors(dirFd, std::span(names).subspan(half), theirs);
      });
      split = names.size() / 2;
    } catch (const std::system_error&) {
      // No thread to be had: this one looks at them all.
    }
  }
  TallyDescriptors(dirFd, std::span(names).first(split), mine);
  if (helper.joinable()) helper.join();
  counts.openFiles = static_cast<std::int32_t>(std::min<std::int64_t>(mine.openFiles + theirs.openFiles, INT32_MAX));
  std::vector<std::uint64_t> socketInodes = std::move(mine.socketInodes);
  socketInodes.insert(socketInodes.end(), theirs.socketInodes.begin(), theirs.socketInodes.end());
  if (socketInodes.empty()) return counts;

  // Listing a family's TCP sockets walks the kernel's whole connection hash, a fixed cost
  // well above the parsing; sockstat's count says when there are none to list.
  struct Table {
    int family;
    const char* sockstat;
    const char* protocol;
    const char* table;
  };
  constexpr Table kTables[] = {{AF_INET, "net/sockstat", "TCP", "net/tcp"},
                               {AF_INET6, "net/sockstat6", "TCP6", "net/tcp6"}};
  // A process in our network namespace has its TCP sockets listed by one sock_diag dump
  // per family from our own socket (one walk of the hashes, not the several a net/tcp read
  // makes); any other namespace, one we cannot tell (ns files missing or unreadable, as in
  // a copied /proc tree) or a failing dump reads the process's own net/tcp tables.
  std::snprintf(path, sizeof path, "%u/ns/net", pid);
  const bool ourNamespace = SameFile(procFd, path, "self/ns/net");
  std::optional<SockDiag> diag;  // opened at the first family that needs it
  std::vector<std::uint64_t> tcpInodes;
  std::string text;
  for (const Table& t : kTables) {
    std::snprintf(path, sizeof path, "%u/%s", pid, t.sockstat);
    if (ReadWholeFile(procFd, path, text)) {
      const auto inuse = ParseSockstatInuse(text, t.protocol);
      if (inuse && *inuse == 0) continue;
    }
    if (ourNamespace) {
      if (!diag) diag = SockDiag::Open();
      if (diag->valid() && diag->DumpTcp(t.family, tcpInodes)) continue;
    }
    std::snprintf(path, sizeof path, "%u/%s", pid, t.table);
    if (ReadWholeFile(procFd, path, text)) ParseTcpInodes(text, tcpInodes);
  }
  std::sort(tcpInodes.begin(), tcpInodes.end());
  for (std::uint64_t inode : socketInodes) {
    if (inode != 0 && std::binary_search(tcpInodes.begin(), tcpInodes.end(), inode)) ClampAdd(counts.openTcp);
  }
  return counts;
}

}  // namespace tarnwell::platform::linux_proc
