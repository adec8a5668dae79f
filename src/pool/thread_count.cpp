#include "pool/thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "pool/cgroup_quota.hpp"
#include "pool/decimal.hpp"

namespace rowmerge::pool {

std::optional<std::string> ThreadCountSources::process_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::uint32_t> ThreadCountSources::affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return std::nullopt;
  const int count = CPU_COUNT(&set);
  if (count <= 0) return std::nullopt;
  return static_cast<std::uint32_t>(count);
}

std::optional<std::uint32_t> ThreadCountSources::online_cpu_count() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count <= 0) return std::nullopt;  // -1: a system error; 0: not known here
  return static_cast<std::uint32_t>(std::min<long>(count, 0x7fffffffL));
}

std::optional<std::uint32_t> available_parallelism(const ThreadCountSources& sources) {
  const std::uint32_t quota = cgroup_cpu_quota(sources.fs_root);
  if (const auto cpus = sources.affinity_cpus()) return std::min(*cpus, quota);
  if (const auto cpus = sources.online_cpus()) return std::min(*cpus, quota);
  return std::nullopt;
}

std::uint32_t get_num_threads(std::uint32_t num_threads, const ThreadCountSources& sources) {
  if (num_threads > 0) return num_threads;
  const auto available = [&] { return std::max<std::uint32_t>(available_parallelism(sources).value_or(1), 1); };
  if (const auto text = sources.env("RAYON_NUM_THREADS")) {
    if (const auto n = parse_decimal(*text)) return *n > 0 ? *n : available();
  }
  if (const auto text = sources.env("RAYON_RS_NUM_CPUS")) {
    if (const auto n = parse_decimal(*text); n && *n > 0) return *n;
  }
  return available();
}

}  // namespace rowmerge::pool
