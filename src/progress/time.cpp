#include "progress/time.hpp"

#include <cmath>
#include <limits>

namespace rowmerge::progress {

double Duration::as_secs_f64() const noexcept {
  return static_cast<double>(secs) + static_cast<double>(nanos) / static_cast<double>(kNanosPerSecond);
}

std::uint64_t nanos_between(Instant earlier, Instant later) noexcept {
  if (later <= earlier) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(later - earlier).count());
}

Duration duration_between(Instant earlier, Instant later) noexcept {
  const std::uint64_t ns = nanos_between(earlier, later);
  return Duration{ns / kNanosPerSecond, static_cast<std::uint32_t>(ns % kNanosPerSecond)};
}

Duration duration_from_secs_f64(double seconds) noexcept {
  constexpr std::uint64_t kMaxSecs = std::numeric_limits<std::uint64_t>::max();
  // 2^64 is exactly representable; anything at or above it saturates.
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(seconds > 0.0)) return Duration{};
  const double whole = std::trunc(seconds);
  Duration d;
  d.secs = whole >= kTwoTo64 ? kMaxSecs : static_cast<std::uint64_t>(whole);
  double frac_nanos = (seconds - whole) * static_cast<double>(kNanosPerSecond);
  if (!(frac_nanos > 0.0)) frac_nanos = 0.0;  // infinity minus itself is NaN
  std::uint64_t nanos = static_cast<std::uint64_t>(frac_nanos);
  if (nanos >= kNanosPerSecond) {
    nanos -= kNanosPerSecond;
    if (d.secs != kMaxSecs) ++d.secs;
  }
  d.nanos = static_cast<std::uint32_t>(nanos);
  return d;
}

namespace {
class SteadyClock final : public Clock {
 public:
  Instant now() const noexcept override { return std::chrono::steady_clock::now(); }
};
}  // namespace

const Clock& monotonic_clock() noexcept {
  static const SteadyClock MONOTONIC_CLOCK;
  return MONOTONIC_CLOCK;
}

}  // namespace rowmerge::progress
