// How many worker threads a pool gets.
//
// A positive request is used as is.  0 consults "RAYON_NUM_THREADS", then
// "RAYON_RS_NUM_CPUS", then the processors this process may use (affinity
// mask and control-group quota), and in the end settles for 1.  Nothing here
// fails: whatever cannot be read moves the decision on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace rowmerge::pool {

// Where the answer comes from; the defaults ask the real process and system.
struct ThreadCountSources {
  // The value of an environment variable, or nullopt when unset.
  std::function<std::optional<std::string>(const char*)> env = &process_env;
  // Prefix for "/proc/self/..." and "/sys/fs/cgroup/..." ("" for the real ones).
  std::string fs_root;
  // CPUs in the calling thread's affinity mask; nullopt when it cannot be read.
  std::optional<std::uint32_t> (*affinity_cpus)() = &affinity_cpu_count;
  // Online processors; nullopt on failure.
  std::optional<std::uint32_t> (*online_cpus)() = &online_cpu_count;

  static std::optional<std::string> process_env(const char* name);
  static std::optional<std::uint32_t> affinity_cpu_count();
  static std::optional<std::uint32_t> online_cpu_count();
};

// Usable processors, at least 1; nullopt when the system cannot tell.
std::optional<std::uint32_t> available_parallelism(const ThreadCountSources& sources = {});

// The thread count for a request of `num_threads`; always at least 1.
// Consults `sources` afresh at every call.
std::uint32_t get_num_threads(std::uint32_t num_threads, const ThreadCountSources& sources = {});

// The thread count for a request of `num_threads` in this process: a
// positive request as is; 0 the automatic choice of get_num_threads, worked
// out at the first request of 0 and kept, so later changes of the
// environment, the affinity mask or the control group have no effect.  A
// child made by fork works it out again at its own first request of 0.
std::uint32_t process_num_threads(std::uint32_t num_threads);

}  // namespace rowmerge::pool
