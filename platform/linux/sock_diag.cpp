#include "platform/linux/sock_diag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace tarnwell::platform::linux_proc {

namespace {

// Every TCP state bit but TCP_BOUND_INACTIVE (13): bound sockets that neither listen nor
// connect sit in no table net/tcp reads, and asking for them would add them.
constexpr std::uint32_t kTcpBoundInactive = 13;
constexpr std::uint32_t kListedStates = ~(std::uint32_t{1} << kTcpBoundInactive);

// The kernel fills a dump datagram up to 32 KiB when the reader offers that much; twice
// that leaves room for its rounding, so MSG_TRUNC means something is wrong.
constexpr std::size_t kBufferSize = 64 * 1024;

// A dump that stops answering is a failure, not a stalled census (seconds).
constexpr time_t kReceiveTimeoutS = 5;

int NegatedCode(int code) { return code < 0 && code != INT_MIN ? -code : EPROTO; }

}  // namespace

DiagParse ParseInetDiagReplies(std::string_view bytes, std::uint32_t seq, std::vector<std::uint64_t>& inodes) {
  while (!bytes.empty()) {
    nlmsghdr header;
    if (bytes.size() < sizeof header) return {DiagStatus::kFailed, EPROTO};
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > bytes.size()) return {DiagStatus::kFailed, EPROTO};
    const std::string_view payload = bytes.substr(sizeof header, header.nlmsg_len - sizeof header);
    bytes.remove_prefix(std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), bytes.size()));
    if (header.nlmsg_seq != seq) continue;

    switch (header.nlmsg_type) {
      case SOCK_DIAG_BY_FAMILY: {
        inet_diag_msg msg;
        if (payload.size() < sizeof msg) return {DiagStatus::kFailed, EPROTO};
        std::memcpy(&msg, payload.data(), sizeof msg);
        if (msg.idiag_inode != 0) inodes.push_back(msg.idiag_inode);
        break;
      }
      case NLMSG_DONE: {
        // The dump's own result; older kernels may send none.
        int code = 0;
        if (payload.size() >= sizeof code) std::memcpy(&code, payload.data(), sizeof code);
        if (code < 0) return {DiagStatus::kFailed, NegatedCode(code)};
        return {DiagStatus::kDone, 0};
      }
      case NLMSG_ERROR: {
        // A dump asks for no acknowledgement, so even a zero code means it did not run.
        int code = 0;
        if (payload.size() >= sizeof code) std::memcpy(&code, payload.data(), sizeof code);
        return {DiagStatus::kFailed, NegatedCode(code)};
      }
      case NLMSG_OVERRUN:
        return {DiagStatus::kFailed, ENOBUFS};
      default:
        break;  // NLMSG_NOOP and the like carry no socket
    }
  }
  return {DiagStatus::kMore, 0};
}

SockDiag SockDiag::Open() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!fd) return SockDiag(UniqueFd());
  // Connected to the kernel, so that send() needs no address (as over a socketpair).
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const timeval timeout{kReceiveTimeoutS, 0};
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) != 0 ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
    fd.reset();
  return SockDiag(std::move(fd));
}

bool SockDiag::Fail(int error, std::vector<std::uint64_t>& inodes, std::size_t kept) {
  lastError_ = error;
  inodes.resize(kept);
  fd_.reset();
  return false;
}

bool SockDiag::DumpTcp(int family, std::vector<std::uint64_t>& inodes) {
  const std::size_t kept = inodes.size();
  if (!fd_) return Fail(EBADF, inodes, kept);
  const std::uint32_t seq = ++seq_;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = seq;
  request.body.sdiag_family = static_cast<std::uint8_t>(family);
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kListedStates;
  for (;;) {
    const ssize_t sent = ::send(fd_.get(), &request, sizeof request, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(sizeof request)) break;
    if (sent < 0 && errno == EINTR) continue;
    return Fail(sent < 0 ? errno : EMSGSIZE, inodes, kept);
  }

  buffer_.resize(kBufferSize);
  for (;;) {
    iovec iov{buffer_.data(), buffer_.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(fd_.get(), &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno, inodes, kept);
    }
    if (n == 0) return Fail(ECONNRESET, inodes, kept);             // the other end went away
    if (msg.msg_flags & MSG_TRUNC) return Fail(EMSGSIZE, inodes, kept);  // the rest is lost
    const DiagParse step =
        ParseInetDiagReplies(std::string_view(buffer_.data(), static_cast<std::size_t>(n)), seq, inodes);
    if (step.status == DiagStatus::kDone) return true;
    if (step.status == DiagStatus::kFailed) return Fail(step.error, inodes, kept);
  }
}

}  // namespace tarnwell::platform::linux_proc
