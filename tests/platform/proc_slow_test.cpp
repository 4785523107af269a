// Censuses of tens of thousands of descriptors: past any fixed table, and slow to set up.
#include <sys/resource.h>

#include <algorithm>
#include <vector>

#include "platform/linux/process_system_linux.h"
#include "tests/platform/proc_test_support.h"

namespace tarnwell::platform::linux_proc {
namespace {

TEST_F(ProcFixture, FiftyThousandDescriptorsAreCountedWhole) {
  // More than one process may hold here (the limit is 20,000): the fixture stands in.
  if (!OnBlockDevice(dir_)) GTEST_SKIP() << "/var/tmp is not on a block device here";
  const fs::path fd = root_ / "100" / "fd";
  fs::create_directories(fd);
  Put(dir_ / "data.log", "a");
  const std::string target = (dir_ / "data.log").string();
  for (int i = 0; i < 50'000; ++i) {
    const std::string link = (fd / std::to_string(i)).string();
    ASSERT_EQ(::symlink(i % 2 ? target.c_str() : "/dev/null", link.c_str()), 0) << i;
  }
  const HandleCounts counts = OpenProcSystem(root_.string())->CountHandles(100);
  EXPECT_EQ(Counts(counts), std::make_tuple(50'000, 25'000, 0));
}

TEST_F(CensusLive, ManyDescriptorsAreCountedWhole) {
  // As many as this process may hold, well past any fixed table.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit old = limit;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const int wanted = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 20'000)) - 200;
  if (wanted < 10'000) GTEST_SKIP() << "descriptor limit too low";

  auto system = OpenProcSystem();
  const HandleCounts before = system->CountHandles(Self());
  {
    UniqueFd file = DiskFile();
    UniqueFd listener = TcpListener(AF_INET);
    ASSERT_TRUE(file && listener);
    std::vector<UniqueFd> held;
    held.reserve(static_cast<std::size_t>(wanted));
    int sockets = 0;
    for (int i = 0; i < wanted; ++i) {
      const bool socket = i % 4 == 0;
      sockets += socket;
      held.emplace_back(::fcntl(socket ? listener.get() : file.get(), F_DUPFD_CLOEXEC, 0));
      ASSERT_TRUE(held.back().valid()) << i;
    }
    const HandleCounts after = system->CountHandles(Self());
    EXPECT_EQ(Counts(after), std::make_tuple(before.handles + wanted + 2, before.openFiles + wanted - sockets + 1,
                                             before.openTcp + sockets + 1));
  }
  ::setrlimit(RLIMIT_NOFILE, &old);
}

}  // namespace
}  // namespace tarnwell::platform::linux_proc
