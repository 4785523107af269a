#pragma once
// The handle census of one process from /proc.
#include <cstdint>

#include "platform/process_system.h"

namespace tarnwell::platform::linux_proc {

// Counts the descriptors of process pid under the /proc tree open as procFd.
// Rules, one per figure:
//  - handles: every entry of PID/fd, whatever it refers to;
//  - openFiles: descriptors on a regular file or a directory whose file system has a real
//    device number (major != 0), i.e. a file system on a block device such as ext4 or
//    xfs; tmpfs, proc, sysfs, pipes, sockets, anonymous inodes, and file systems with
//    anonymous device numbers (NFS, FUSE, overlayfs, btrfs) are not local-disk files;
//  - openTcp: socket descriptors whose inode is listed in the process's own PID/net/tcp
//    or PID/net/tcp6 (its network namespace's TCP sockets; asked of sock_diag instead when
//    that namespace is ours), each descriptor counted, dups included.
// A process that ends mid-census gives what had been counted; never raises.
HandleCounts CensusFromProc(int procFd, std::uint32_t pid);

}  // namespace tarnwell::platform::linux_proc
