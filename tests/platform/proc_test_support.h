#pragma once
// What the process-system tests share with their slow companions: a fixture /proc tree,
// and descriptors of this process of each kind the census tells apart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>

#include "platform/linux/unique_fd.h"
#include "platform/process_system.h"
#include "tests/support/files.h"

namespace tarnwell::platform::linux_proc {

namespace fs = std::filesystem;

// Descriptors, disk files, TCP endpoints: a census as one comparable value.
inline std::tuple<int, int, int> Counts(const HandleCounts& c) { return {c.handles, c.openFiles, c.openTcp}; }

inline std::uint32_t Self() { return static_cast<std::uint32_t>(::getpid()); }

// Disk files count as open files, tmpfs ones do not: the tests need both kinds at hand.
inline bool OnBlockDevice(const fs::path& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && major(st.st_dev) != 0;
}

inline sockaddr_storage Loopback(int family) {
  sockaddr_storage s{};
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&s);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
  }
  return s;
}

// A loopback TCP listener on a port of the kernel's choice; invalid when the family is missing.
inline UniqueFd TcpListener(int family) {
  UniqueFd s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage a = Loopback(family);
  if (s && (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s.get(), 4) != 0))
    s.reset();
  return s;
}

// A Unix socket bound at path: a socket file that no TCP table lists unless the test says so.
inline UniqueFd BoundUnixSocket(const fs::path& path) {
  UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (s && ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) s.reset();
  return s;
}

class ProcFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // Targets on a real disk, so that they count as local-disk files; the tree itself in
    // memory where possible, as tens of thousands of links are made and removed.
    dir_ = MakeTemp("/var/tmp");
    ASSERT_FALSE(dir_.empty());
    treeDir_ = fs::is_directory("/dev/shm") ? MakeTemp("/dev/shm") : fs::path();
    root_ = (treeDir_.empty() ? dir_ : treeDir_) / "proc";
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    if (!treeDir_.empty()) fs::remove_all(treeDir_, ec);
  }
  static fs::path MakeTemp(const std::string& parent) {
    std::string templ = parent + "/tarnwell-proc-XXXXXX";
    return ::mkdtemp(templ.data()) ? fs::path(templ) : fs::path();
  }
  // A file of the tree or a target, with the directories above it.
  static void Put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    testutil::WriteFile(p, text);
  }

  fs::path dir_;      // targets on disk
  fs::path treeDir_;  // in memory, or empty
  fs::path root_;     // the fixture /proc
};

class CensusLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnBlockDevice("/var/tmp")) GTEST_SKIP() << "/var/tmp is not on a block device here";
  }
  static UniqueFd DiskFile() { return UniqueFd(::open("/var/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)); }
};

}  // namespace tarnwell::platform::linux_proc
