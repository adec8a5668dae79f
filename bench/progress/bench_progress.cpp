// Cost of ProgressBar::inc per call, on a hidden bar and on a visible one
// drawing to /dev/null, from one thread and from two at once.
//
//   bench_progress [increments_per_thread]
//
// Every figure is the median of five runs.  The baseline, measured in the
// same run, is the floor of inc's common path: one sequentially consistent
// atomic add and one monotonic clock reading.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "progress/progress_bar.hpp"
#include "progress/style.hpp"

namespace {

using namespace rowmerge::progress;
using Wall = std::chrono::steady_clock;

// A colour terminal of 80 x 24 whose frames vanish into /dev/null.
class NullTerminal final : public Terminal {
 public:
  NullTerminal() : fd_(::open("/dev/null", O_WRONLY)) {}
  ~NullTerminal() override { ::close(fd_); }
  int descriptor() const override { return fd_; }
  bool is_terminal(int) const override { return true; }
  std::optional<TermSize> size() const override { return TermSize{80, 24}; }
  std::optional<std::string> env(const char* name) const override {
    if (std::string_view(name) == "TERM") return std::string("xterm");
    return std::nullopt;
  }
  bool colors() const override { return true; }

 private:
  int fd_;
};

// Standard error redirected: the bar stays hidden.
class HiddenTerminal final : public Terminal {
 public:
  int descriptor() const override { return 2; }
  bool is_terminal(int) const override { return false; }
  std::optional<TermSize> size() const override { return std::nullopt; }
  std::optional<std::string> env(const char*) const override { return std::nullopt; }
  bool colors() const override { return false; }
};

constexpr const char* kLayout = "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";

// Runs `body(n)` on `threads` threads at once; wall nanoseconds per call on
// each thread.
double timed_ns(int threads, std::uint64_t n, const std::function<void(std::uint64_t)>& body) {
  std::vector<std::thread> pool;
  const Wall::time_point start = Wall::now();
  for (int t = 0; t < threads; ++t) pool.emplace_back(body, n);
  for (auto& th : pool) th.join();
  return std::chrono::duration<double, std::nano>(Wall::now() - start).count() / static_cast<double>(n);
}

double median_of_five(const std::function<double()>& run) {
  std::vector<double> runs;
  for (int i = 0; i < 5; ++i) runs.push_back(run());
  std::sort(runs.begin(), runs.end());
  return runs[2];
}

double baseline_ns(int threads, std::uint64_t n) {
  std::atomic<std::uint64_t> counter{0};
  std::atomic<std::int64_t> sink{0};
  return median_of_five([&] {
    return timed_ns(threads, n, [&](std::uint64_t count) {
      std::int64_t last = 0;
      for (std::uint64_t i = 0; i < count; ++i) {
        counter.fetch_add(1, std::memory_order_seq_cst);
        last = monotonic_clock().now().time_since_epoch().count();
      }
      sink.store(last, std::memory_order_relaxed);
    });
  });
}

// A fresh bar per run, as the driver makes one per call.
double bar_ns(Terminal& terminal, int threads, std::uint64_t n) {
  return median_of_five([&] {
    ProgressBar bar(static_cast<std::uint64_t>(threads) * n, monotonic_clock(), terminal);
    bar.set_style(ProgressStyle::with_template(kLayout));
    const double ns = timed_ns(threads, n, [&bar](std::uint64_t count) {
      for (std::uint64_t i = 0; i < count; ++i) bar.inc(1);
    });
    if (bar.position() != static_cast<std::uint64_t>(threads) * n) std::abort();
    bar.finish_with_message("Processing complete");
    return ns;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
  std::printf("increments per thread: %llu; ns per call (wall time / calls per thread), median of 5\n",
              static_cast<unsigned long long>(n));
  NullTerminal visible;
  HiddenTerminal hidden;
  for (int threads : {1, 2}) {
    const double base = baseline_ns(threads, n);
    const double h = bar_ns(hidden, threads, n);
    const double v = bar_ns(visible, threads, n);
    std::printf("%d thread%s: baseline %.1f ns | hidden inc %.1f ns (%.2fx) | visible inc %.1f ns (%.2fx)\n",
                threads, threads == 1 ? " " : "s", base, h, h / base, v, v / base);
  }
  return 0;
}
