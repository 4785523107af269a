// The process system over a fixture /proc tree: the same code as over the real /proc,
// with every file's content under the test's control.
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/linux/process_system_linux.h"
#include "platform/linux/sock_diag.h"
#include "tests/platform/proc_test_support.h"

namespace tarnwell::platform::linux_proc {
namespace {

using namespace std::string_literals;

std::string StatLine(std::uint32_t pid, const std::string& comm, int threads, unsigned long start) {
  return std::to_string(pid) + " (" + comm + ") S 1 " + std::to_string(pid) + " " + std::to_string(pid) +
         " 0 -1 4194560 812 0 0 0 25 3 0 0 20 0 " + std::to_string(threads) + " 0 " + std::to_string(start) +
         " 51380224 3072 18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 0 17 1 0 0 0 0 0\n";
}

// net/tcp listing one listening socket by its inode.
std::string TcpTable(std::uint64_t inode) {
  return "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
         "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 " +
         std::to_string(inode) + " 1 0000000000000000 100 0 0 10 0\n";
}

std::uint64_t InodeOf(const fs::path& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(ProcFixture, SnapshotListsProcessesAndSkipsTheRest) {
  Put(root_ / "100" / "stat", StatLine(100, "w3wp.exe", 23, 5000));
  Put(root_ / "200" / "stat", StatLine(200, "inetinfo-helper", 4, 6000));  // cut at 15
  fs::create_symlink("/srv/iis/inetinfo-helper.exe", root_ / "200" / "exe");
  Put(root_ / "300" / "stat", "garbage");
  fs::create_directories(root_ / "400");  // ended between listing and reading
  fs::create_directories(root_ / "self");
  Put(root_ / "uptime", "1.0 2.0\n");

  auto system = OpenProcSystem(root_.string());
  std::vector<ProcessEntry> entries;
  ASSERT_TRUE(system->Snapshot(entries));
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::string>> listed;
  for (const auto& e : entries) listed.emplace(e.pid, e.threads, e.exeName);
  EXPECT_EQ(listed, (decltype(listed){{100, 23, "w3wp.exe"}, {200, 4, "inetinfo-helper.exe"}}));
}

TEST_F(ProcFixture, SnapshotFailsOnAnEmptyOrMissingRoot) {
  std::vector<ProcessEntry> entries{{1, 1, "stale"}};
  EXPECT_FALSE(OpenProcSystem(root_.string())->Snapshot(entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(OpenProcSystem((dir_ / "nowhere").string())->Snapshot(entries));
}

TEST_F(ProcFixture, CommandLineAndWorkingSet) {
  Put(root_ / "100" / "cmdline", "w3wp.exe\0-a\0\\\\.\\pipe\\iisipm7\0-ap\0\"Shop Pool\"\0"s);
  Put(root_ / "100" / "statm", "12000 3072 500 5 0 4000 0\n");
  Put(root_ / "101" / "statm", "bad\n");
  auto system = OpenProcSystem(root_.string());
  EXPECT_EQ(system->CommandLine(100), R"(w3wp.exe -a \\.\pipe\iisipm7 -ap "Shop Pool")");
  EXPECT_EQ(system->CommandLine(999), "");
  EXPECT_EQ(system->WorkingSet(100), 3072 * ::sysconf(_SC_PAGESIZE));
  EXPECT_EQ(system->WorkingSet(101), -1);
  EXPECT_EQ(system->WorkingSet(999), -1);
}

TEST_F(ProcFixture, CensusClassifiesEachDescriptor) {
  if (!OnBlockDevice(dir_)) GTEST_SKIP() << "/var/tmp is not on a block device here";
  const fs::path fd = root_ / "100" / "fd";
  fs::create_directories(fd);
  // Targets: two disk files and a disk directory; /dev/null; a tmpfs file; two sockets.
  Put(dir_ / "data" / "a.log", "a");
  Put(dir_ / "data" / "b.log", "b");
  const fs::path sockTcp = dir_ / "s1";
  const fs::path sockOther = dir_ / "s2";
  for (const auto& p : {sockTcp, sockOther}) ASSERT_TRUE(BoundUnixSocket(p));

  // 7 is a dup of 6's socket; 9's target was closed meanwhile.
  const std::pair<const char*, fs::path> links[] = {
      {"0", "/dev/null"}, {"3", dir_ / "data" / "a.log"}, {"4", dir_ / "data" / "b.log"}, {"5", dir_ / "data"},
      {"6", sockTcp},     {"7", sockTcp},                 {"8", sockOther},             {"9", dir_ / "closed-meanwhile"}};
  for (const auto& [name, target] : links) fs::create_symlink(target, fd / name);
  bool tmpfs = false;
  if (fs::is_directory("/dev/shm") && !OnBlockDevice("/dev/shm")) {
    Put("/dev/shm" / dir_.filename(), "x");
    fs::create_symlink("/dev/shm" / dir_.filename(), fd / "10");
    tmpfs = true;
  }
  Put(root_ / "100" / "net" / "tcp", TcpTable(InodeOf(sockTcp)));
  Put(root_ / "100" / "net" / "tcp6", "  sl  local_address remote_address st\n");

  const HandleCounts counts = OpenProcSystem(root_.string())->CountHandles(100);
  if (tmpfs) std::filesystem::remove("/dev/shm" / dir_.filename());
  EXPECT_EQ(Counts(counts), std::make_tuple(tmpfs ? 9 : 8, 3, 2));
}

TEST_F(ProcFixture, OnlyOurOwnNetworkNamespaceIsAskedOfTheKernel) {
  // Two descriptors reach a real loopback listener of this process, which only the
  // kernel's dump knows; one reaches a Unix socket, which only the fixture's net/tcp lists.
  const UniqueFd listener = TcpListener(AF_INET);
  const fs::path unixPath = dir_ / "u";
  const UniqueFd unixSocket = BoundUnixSocket(unixPath);
  ASSERT_TRUE(listener && unixSocket);

  const fs::path fd = root_ / "100" / "fd";
  fs::create_directories(fd);
  const fs::path real = "/proc/self/fd/" + std::to_string(listener.get());
  fs::create_symlink(real, fd / "3");
  fs::create_symlink(real, fd / "4");
  fs::create_symlink(unixPath, fd / "5");
  Put(root_ / "100" / "net" / "tcp", TcpTable(InodeOf(unixPath)));
  // The namespaces compare by the files their ns links lead to.
  Put(dir_ / "net-ours", "");
  Put(dir_ / "net-other", "");
  fs::create_directories(root_ / "self" / "ns");
  fs::create_symlink(dir_ / "net-ours", root_ / "self" / "ns" / "net");
  fs::create_directories(root_ / "100" / "ns");
  const fs::path theirs = root_ / "100" / "ns" / "net";
  auto system = OpenProcSystem(root_.string());

  fs::create_symlink(dir_ / "net-other", theirs);
  EXPECT_EQ(system->CountHandles(100).openTcp, 1);  // the fixture's table
  fs::remove(theirs);
  fs::create_symlink(dir_ / "net-ours", theirs);
  if (!SockDiag::Open().valid()) GTEST_SKIP() << "no sock_diag netlink here";
  EXPECT_EQ(system->CountHandles(100).openTcp, 2);  // the kernel's dump
}

TEST_F(ProcFixture, TimesReaderNoticesAReusedProcessId) {
  // The clock is the real one of this process; the fixture's stat stands for what
  // /proc says about the pid, and a changed start time means another process.
  const fs::path stat = root_ / std::to_string(Self()) / "stat";
  Put(stat, StatLine(Self(), "tests", 1, 777));
  auto system = OpenProcSystem(root_.string());
  auto reader = system->OpenTimes(Self());
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->Read());
  Put(stat, StatLine(Self(), "tests", 1, 778));
  EXPECT_FALSE(reader->Read());
  fs::remove(stat);
  EXPECT_FALSE(reader->Read());
  EXPECT_FALSE(system->OpenTimes(Self()));
}

}  // namespace
}  // namespace tarnwell::platform::linux_proc
