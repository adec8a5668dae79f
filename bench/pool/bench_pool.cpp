// The pool's cost and gain, as ratios against baselines measured in the same
// run (medians of several rounds, interleaved so that background load hits
// both sides alike):
//   overhead: for-each over 1,000,000 trivial ids on a 2-thread pool against
//             a plain loop over the same ids;
//   speed-up: a CPU-bound for-each on 1 thread against 2 threads.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "pool/pool.hpp"

namespace {

using rowmerge::pool::for_each_id;
using rowmerge::pool::Registry;
using rowmerge::pool::ThreadPoolBuilder;

template <class T>
inline void keep(T const& value) {
  asm volatile("" : : "g"(value) : "memory");
}

template <class F>
double seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// About 20 microseconds of floating-point work that depends on the id.
double busy(std::uint64_t id) {
  double x = static_cast<double>(id % 97) + 1.0;
  for (int i = 0; i < 4000; ++i) x = std::sqrt(x + 1.5) * 1.0001;
  return x;
}

}  // namespace

int main() {
  constexpr std::uint64_t kTrivialIds = 1'000'000;
  constexpr std::uint64_t kBusyIds = 20'000;
  constexpr int kRounds = 9;

  Registry one(ThreadPoolBuilder{1});
  Registry two(ThreadPoolBuilder{2});
  one.wait_until_primed();
  two.wait_until_primed();

  std::vector<double> loop_s, pool_s, busy1_s, busy2_s, cores2;
  for (int round = 0; round < kRounds; ++round) {
    loop_s.push_back(seconds([&] {
      for (std::uint64_t id = 0; id < kTrivialIds; ++id) keep(id);
    }));
    pool_s.push_back(seconds([&] { for_each_id(two, kTrivialIds, [](std::uint64_t id) { keep(id); }); }));
    busy1_s.push_back(seconds([&] { for_each_id(one, kBusyIds, [](std::uint64_t id) { keep(busy(id)); }); }));
    const double cpu_before = process_cpu_seconds();
    busy2_s.push_back(seconds([&] { for_each_id(two, kBusyIds, [](std::uint64_t id) { keep(busy(id)); }); }));
    cores2.push_back((process_cpu_seconds() - cpu_before) / busy2_s.back());
  }

  const double loop = median(loop_s), pool = median(pool_s);
  const double busy1 = median(busy1_s), busy2 = median(busy2_s);
  std::printf("trivial ids: plain loop %.3f ms, for-each on 2 threads %.3f ms, ratio %.2f\n", loop * 1e3,
              pool * 1e3, pool / loop);
  std::printf("cpu-bound ids: 1 thread %.1f ms, 2 threads %.1f ms, speed-up %.2fx\n", busy1 * 1e3, busy2 * 1e3,
              busy1 / busy2);
  // On a loaded machine the speed-up is capped by the cores the scheduler
  // gave us; this shows how many that was.
  std::printf("cpu-bound ids on 2 threads: %.2f cores busy on average\n", median(cores2));
  return 0;
}
