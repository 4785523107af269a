#pragma once
// What a stand-in worker process holds: processor share, resident memory, open files on
// a local disk and listening loopback TCP endpoints. Owned by the worker's main thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwell::standin {

struct WorkerLoad {
  double cpuPercent = 0;      // of one processor; above 100 spreads over several threads
  std::int64_t memoryMB = 0;  // resident, touched
  int files = 0;              // open files on a local disk
  int tcp = 0;                // listening TCP endpoints on 127.0.0.1
  bool operator==(const WorkerLoad&) const = default;
};

inline constexpr double kMaxCpuPercent = 6400;
inline constexpr std::int64_t kMaxMemoryMB = 1 << 20;
inline constexpr int kMaxHandles = 1 << 20;

// The control line "load CPU MB FILES TCP"; error text when it is malformed or out of range.
struct ControlLine {
  std::optional<WorkerLoad> load;  // none for a blank or comment line
  std::string error;
};
ControlLine ParseControlLine(std::string_view line);
std::string FormatLoad(const WorkerLoad& load);  // "CPU MB FILES TCP"

// Something held for the load (memory, a file, a listener), given back when destroyed.
class HeldResource {
 public:
  virtual ~HeldResource() = default;
};

// Holds a load and changes it in place. Not thread-safe: one owner thread.
class LoadHolder {
 public:
  explicit LoadHolder(std::string fileDirectory);
  ~LoadHolder();
  LoadHolder(const LoadHolder&) = delete;
  LoadHolder& operator=(const LoadHolder&) = delete;

  // Moves to the new load; what could not be taken (no memory, descriptor limit) is left
  // out, reported in error, and the load actually held is returned.
  WorkerLoad Apply(const WorkerLoad& wanted, std::string& error);
  const WorkerLoad& Held() const { return held_; }

 private:
  void SetCpu(double percent);
  void StopBurners();

  std::string fileDirectory_;
  WorkerLoad held_;
  std::unique_ptr<HeldResource> memory_;
  std::vector<std::unique_ptr<HeldResource>> files_;
  std::vector<std::unique_ptr<HeldResource>> sockets_;
  std::atomic<bool> stopBurners_{false};
  std::vector<std::thread> burners_;
};

}  // namespace tarnwell::standin
