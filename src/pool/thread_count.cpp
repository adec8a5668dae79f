#include "pool/thread_count.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "pool/cgroup_quota.hpp"
#include "pool/decimal.hpp"

namespace rowmerge::pool {
namespace {

// The automatic count of this process; 0 until it is first worked out.  A
// plain atomic rather than a lock or a once-flag, which a child made by fork
// could inherit in a held state from a thread it does not have.
std::atomic<std::uint32_t> AUTOMATIC_NUM_THREADS{0};

// In the child, on the forking thread, before fork returns there.
void forget_automatic_num_threads() noexcept { AUTOMATIC_NUM_THREADS.store(0, std::memory_order_relaxed); }

[[maybe_unused]] const int FORGET_IN_FORKED_CHILD = pthread_atfork(nullptr, nullptr, &forget_automatic_num_threads);

}  // namespace

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

std::uint32_t process_num_threads(std::uint32_t num_threads) {
  if (num_threads > 0) return num_threads;
  std::uint32_t known = AUTOMATIC_NUM_THREADS.load(std::memory_order_acquire);
  if (known != 0) return known;
  // Threads that get here at the same time each work it out; the first
  // answer stored is the one every caller sees from then on.
  const std::uint32_t found = get_num_threads(0);
  if (AUTOMATIC_NUM_THREADS.compare_exchange_strong(known, found, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
    return found;
  }
  return known;
}

}  // namespace rowmerge::pool
