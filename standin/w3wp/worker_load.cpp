#include "standin/w3wp/worker_load.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

namespace tarnwell::standin {

using platform::linux_proc::UniqueFd;

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < s.size()) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    const auto start = pos;
    while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t') ++pos;
    if (pos > start) words.push_back(s.substr(start, pos - start));
  }
  return words;
}

template <typename T>
bool Number(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::int64_t ThreadCpuNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Keeps share (0..1] of one processor busy in 100 ms periods, counting the thread's own
// processor time so that time lost to other processes is made up within the period.
void Burn(double share, const std::atomic<bool>& stop) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPeriod = std::chrono::milliseconds(100);
  const auto busyNs = static_cast<std::int64_t>(share * 100'000'000.0);
  volatile std::uint64_t sink = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    const auto periodStart = Clock::now();
    const std::int64_t cpuStart = ThreadCpuNs();
    while (!stop.load(std::memory_order_relaxed) && ThreadCpuNs() - cpuStart < busyNs &&
           Clock::now() - periodStart < kPeriod) {
      for (int i = 0; i < 1000; ++i) sink = sink + static_cast<std::uint64_t>(i);
    }
    if (share < 1.0) std::this_thread::sleep_until(periodStart + kPeriod);
  }
}

}  // namespace

ControlLine ParseControlLine(std::string_view line) {
  ControlLine result;
  line = Trim(line);
  if (line.empty() || line.front() == '#') return result;
  const auto words = Words(line);
  if (words.size() != 5 || words[0] != "load") {
    result.error = "expected: load CPU MB FILES TCP";
    return result;
  }
  WorkerLoad load;
  if (!Number(words[1], load.cpuPercent) || !std::isfinite(load.cpuPercent) || load.cpuPercent < 0 ||
      load.cpuPercent > kMaxCpuPercent) {
    result.error = "processor percent out of range: " + std::string(words[1]);
    return result;
  }
  if (!Number(words[2], load.memoryMB) || load.memoryMB < 0 || load.memoryMB > kMaxMemoryMB) {
    result.error = "memory MB out of range: " + std::string(words[2]);
    return result;
  }
  if (!Number(words[3], load.files) || load.files < 0 || load.files > kMaxHandles) {
    result.error = "file count out of range: " + std::string(words[3]);
    return result;
  }
  if (!Number(words[4], load.tcp) || load.tcp < 0 || load.tcp > kMaxHandles) {
    result.error = "TCP endpoint count out of range: " + std::string(words[4]);
    return result;
  }
  result.load = load;
  return result;
}

std::string FormatLoad(const WorkerLoad& load) {
  char text[96];
  std::snprintf(text, sizeof text, "%g %lld %d %d", load.cpuPercent, static_cast<long long>(load.memoryMB),
                load.files, load.tcp);
  return text;
}

std::string PickDiskDirectory(const std::vector<std::string>& candidates) {
  for (const auto& dir : candidates) {
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && major(st.st_dev) != 0 &&
        ::access(dir.c_str(), W_OK) == 0)
      return dir;
  }
  return {};
}

// Anonymous memory, every page written once so that it is resident.
class LoadHolder::Memory {
 public:
  explicit Memory(std::size_t bytes) : size_(bytes) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (std::size_t off = 0; off < size_; off += page) base_[off] = 1;
  }
  ~Memory() {
    if (base_) ::munmap(base_, size_);
  }
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;
  bool ok() const { return base_ != nullptr; }

 private:
  std::size_t size_;
  char* base_ = nullptr;
};

LoadHolder::LoadHolder(std::string fileDirectory) : fileDirectory_(std::move(fileDirectory)) {}

LoadHolder::~LoadHolder() { StopBurners(); }

void LoadHolder::StopBurners() {
  stopBurners_ = true;
  for (auto& t : burners_) t.join();
  burners_.clear();
  stopBurners_ = false;
}

void LoadHolder::SetCpu(double percent) {
  StopBurners();
  if (percent <= 0) return;
  const int threads = static_cast<int>(std::ceil(percent / 100.0));
  const double share = percent / 100.0 / threads;
  for (int i = 0; i < threads; ++i) burners_.emplace_back(Burn, share, std::cref(stopBurners_));
}

WorkerLoad LoadHolder::Apply(const WorkerLoad& wanted, std::string& error) {
  error.clear();
  auto addError = [&](const std::string& text) {
    if (!error.empty()) error += "; ";
    error += text;
  };

  if (wanted.cpuPercent != held_.cpuPercent) {
    SetCpu(wanted.cpuPercent);
    held_.cpuPercent = wanted.cpuPercent;
  }

  if (wanted.memoryMB != held_.memoryMB) {
    memory_.reset();
    held_.memoryMB = 0;
    // Touching more than half the machine's memory would bring the OOM killer, and the
    // service would start the worker again and again.
    const auto physicalMB = static_cast<std::int64_t>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE) >> 20;
    if (wanted.memoryMB > physicalMB / 2) {
      addError("will not hold " + std::to_string(wanted.memoryMB) + " MB: more than half of this machine's " +
               std::to_string(physicalMB) + " MB");
    } else if (wanted.memoryMB > 0) {
      auto block = std::make_unique<Memory>(static_cast<std::size_t>(wanted.memoryMB) << 20);
      if (block->ok()) {
        memory_ = std::move(block);
        held_.memoryMB = wanted.memoryMB;
      } else {
        addError("cannot hold " + std::to_string(wanted.memoryMB) + " MB: " + std::strerror(errno));
      }
    }
  }

  while (static_cast<int>(files_.size()) > wanted.files) files_.pop_back();
  while (static_cast<int>(files_.size()) < wanted.files) {
    // An unnamed file: nothing to clean up, whatever way the worker ends.
    UniqueFd fd(::open(fileDirectory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      std::string path = fileDirectory_ + "/w3wp-XXXXXX";
      fd.reset(::mkostemp(path.data(), O_CLOEXEC));
      if (fd) ::unlink(path.c_str());
    }
    if (!fd) {
      addError("cannot open a file in " + fileDirectory_ + ": " + std::strerror(errno));
      break;
    }
    files_.push_back(std::move(fd));
  }
  held_.files = static_cast<int>(files_.size());

  while (static_cast<int>(sockets_.size()) > wanted.tcp) sockets_.pop_back();
  while (static_cast<int>(sockets_.size()) < wanted.tcp) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.get(), 16) != 0) {
      addError(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
      break;
    }
    sockets_.push_back(std::move(s));
  }
  held_.tcp = static_cast<int>(sockets_.size());
  return held_;
}

}  // namespace tarnwell::standin
