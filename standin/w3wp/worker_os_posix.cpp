#ifndef _WIN32
#include "standin/w3wp/worker_os.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/linux/unique_fd.h"

namespace tarnwell::standin::worker_os {

using platform::linux_proc::UniqueFd;

namespace {

class HeldFd final : public HeldResource {
 public:
  explicit HeldFd(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;
};

// Anonymous memory, unmapped when released.
class HeldMapping final : public HeldResource {
 public:
  HeldMapping(char* base, std::size_t size) : base_(base), size_(size) {}
  ~HeldMapping() override { ::munmap(base_, size_); }
  HeldMapping(const HeldMapping&) = delete;
  HeldMapping& operator=(const HeldMapping&) = delete;

 private:
  char* base_;
  std::size_t size_;
};

// A directory on a local disk (a file system with a real device number), from the
// candidates in order; empty when none qualifies.
std::string PickDiskDirectory(const std::vector<std::string>& candidates) {
  for (const auto& dir : candidates) {
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && major(st.st_dev) != 0 &&
        ::access(dir.c_str(), W_OK) == 0)
      return dir;
  }
  return {};
}

std::string ExeDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

std::int64_t ThreadCpuNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t PhysicalMemoryMB() {
  return static_cast<std::int64_t>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE) >> 20;
}

std::unique_ptr<HeldResource> HoldMemory(std::size_t bytes, std::string& why) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    why = std::strerror(errno);
    return nullptr;
  }
  auto held = std::make_unique<HeldMapping>(static_cast<char*>(p), bytes);
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  for (std::size_t off = 0; off < bytes; off += page) static_cast<char*>(p)[off] = 1;
  return held;
}

std::unique_ptr<HeldResource> HoldFile(const std::string& directory, std::string& why) {
  // An unnamed file: nothing to clean up, whatever way the worker ends.
  UniqueFd fd(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string path = directory + "/w3wp-XXXXXX";
    fd.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (fd) ::unlink(path.c_str());
  }
  if (!fd) {
    why = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<HeldFd>(std::move(fd));
}

std::unique_ptr<HeldResource> HoldListener(std::string& why) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.get(), 16) != 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<HeldFd>(std::move(s));
}

std::string FileDirectory(std::string& note) {
  const std::string dir = PickDiskDirectory({"/var/tmp", ExeDirectory()});
  if (!dir.empty()) return dir;
  note = "no local-disk directory for files; using /var/tmp";
  return "/var/tmp";
}

bool DieWithStarter() {
  // Die with the service; if it is already gone, do not linger as an orphan.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (const char* parent = std::getenv("TARNWELL_W3SVC_PID"); parent != nullptr) {
    if (std::to_string(::getppid()) != parent) return false;
  }
  return true;
}

std::size_t ReadInput(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

void WriteOutput(std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody reads the answers
    done += static_cast<std::size_t>(n);
  }
}

void WaitToBeEnded() {
  for (;;) ::pause();
}

}  // namespace tarnwell::standin::worker_os
#endif
