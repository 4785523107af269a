// ParseInetDiagReplies over arbitrary datagrams, as the kernel's socket dump hands them to
// the census. The parse may fail; it may not read past the bytes, lose what was already
// collected, or collect more sockets than the bytes can hold.
#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/linux/sock_diag.h"

namespace lp = tarnwell::platform::linux_proc;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The dump the seeds were taken from.
constexpr std::uint32_t kSeq = 1;
constexpr std::uint64_t kKept = 0xFEEDu;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::uint64_t> inodes{kKept};
  const lp::DiagParse parse = lp::ParseInetDiagReplies(bytes, kSeq, inodes);

  Check(inodes.front() == kKept);
  Check(inodes.size() - 1 <= size / (sizeof(nlmsghdr) + sizeof(inet_diag_msg)));
  for (std::size_t i = 1; i < inodes.size(); ++i) Check(inodes[i] != 0);
  if (parse.status == lp::DiagStatus::kFailed) {
    Check(parse.error > 0);
  } else {
    Check(parse.error == 0);
  }
  return 0;
}
