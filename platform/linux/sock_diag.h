#pragma once
// TCP socket inodes of this process's network namespace through a NETLINK_SOCK_DIAG dump.
// One dump walks the kernel's socket hashes once; every read of PID/net/tcp walks them
// again, which costs milliseconds on a server with a large connection hash.
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace tarnwell::platform::linux_proc {

// Where a dump stands after one datagram of replies.
enum class DiagStatus { kMore, kDone, kFailed };

struct DiagParse {
  DiagStatus status = DiagStatus::kMore;
  int error = 0;  // errno value when kFailed: the kernel's, EPROTO for malformed bytes
};

// Parses one datagram of replies to the dump numbered seq. Appends the idiag_inode of each
// inet_diag_msg, leaving out 0 (timewait and request entries: no descriptor refers to
// them). Messages of another sequence number are skipped. kDone at NLMSG_DONE; kFailed at
// NLMSG_ERROR, NLMSG_OVERRUN, a DONE carrying a negative code, a socket message too short
// for inet_diag_msg, or a message whose length is below its header or runs past the bytes
// (what came before it stays appended: the caller drops a failed dump whole).
DiagParse ParseInetDiagReplies(std::string_view bytes, std::uint32_t seq, std::vector<std::uint64_t>& inodes);

// A sock_diag netlink socket. Owner: one census on one thread; not shared.
class SockDiag {
 public:
  // Opened in the calling thread's network namespace; invalid when it cannot be created
  // (no netlink, descriptor limit, a sandbox).
  static SockDiag Open();
  // Over an already connected datagram socket: tests put a socketpair in the kernel's place.
  explicit SockDiag(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  bool valid() const noexcept { return fd_.valid(); }
  // errno value of the last failure, 0 if none.
  int lastError() const noexcept { return lastError_; }

  // Appends the inodes of the TCP sockets of family (AF_INET or AF_INET6) in every state
  // that net/tcp lists. False when the dump could not be had whole: inodes then holds
  // what it held before, and the socket is closed, since the kernel refuses a new dump on
  // a socket whose last one was left unfinished.
  bool DumpTcp(int family, std::vector<std::uint64_t>& inodes);

 private:
  bool Fail(int error, std::vector<std::uint64_t>& inodes, std::size_t kept);

  UniqueFd fd_;
  std::uint32_t seq_ = 0;
  int lastError_ = 0;
  std::vector<char> buffer_;  // one datagram; sized on first use
};

}  // namespace tarnwell::platform::linux_proc
