#include "platform/linux/proc_census.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/proc_files.h"
#include "platform/linux/proc_parsers.h"
#include "platform/linux/unique_fd.h"

namespace tarnwell::platform::linux_proc {

namespace {

void ClampAdd(std::int32_t& counter) {
  if (counter < INT32_MAX) ++counter;
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

  std::vector<std::uint64_t> socketInodes;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;  // "." and ".."
    ClampAdd(counts.handles);
    // statx follows the descriptor's link to the object itself; DONT_SYNC keeps a
    // network file system's server out of it, so a dead server cannot stall the census.
    struct statx stx;
    if (::statx(dirFd, entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &stx) != 0) continue;
    const auto type = stx.stx_mode & S_IFMT;
    if (type == S_IFSOCK) {
      socketInodes.push_back(stx.stx_ino);
    } else if ((type == S_IFREG || type == S_IFDIR) && stx.stx_dev_major != 0) {
      ClampAdd(counts.openFiles);
    }
  }
  if (socketInodes.empty()) return counts;

  // Reading a net/tcp table walks the kernel's whole connection hash several times, a
  // fixed cost well above the parsing; sockstat's count says when a table is empty.
  struct Table {
    const char* sockstat;
    const char* protocol;
    const char* table;
  };
  constexpr Table kTables[] = {{"net/sockstat", "TCP", "net/tcp"}, {"net/sockstat6", "TCP6", "net/tcp6"}};
  std::vector<std::uint64_t> tcpInodes;
  std::string text;
  for (const Table& t : kTables) {
    std::snprintf(path, sizeof path, "%u/%s", pid, t.sockstat);
    if (ReadWholeFile(procFd, path, text)) {
      const auto inuse = ParseSockstatInuse(text, t.protocol);
      if (inuse && *inuse == 0) continue;
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
