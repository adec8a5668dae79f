#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "progress/estimator.hpp"
#include "progress/rate_limiter.hpp"
#include "progress/shared_position.hpp"

namespace rowmerge::progress {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

const Instant kT0 = Instant{} + std::chrono::hours(1);

TEST(RateLimiter, BurstOfTwentyThenOnePerFiftyMilliseconds) {
  RateLimiter limiter(20, kT0);
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(limiter.allow(kT0 + milliseconds(i))) << i;
  EXPECT_FALSE(limiter.allow(kT0 + milliseconds(20)));
  EXPECT_FALSE(limiter.allow(kT0 + milliseconds(49)));
  EXPECT_TRUE(limiter.allow(kT0 + milliseconds(50)));
  EXPECT_FALSE(limiter.allow(kT0 + milliseconds(99)));
  // The unused 30 ms of this interval are carried: the next token comes at
  // 150 ms, not 180 ms.
  EXPECT_TRUE(limiter.allow(kT0 + milliseconds(130)));
  EXPECT_FALSE(limiter.allow(kT0 + milliseconds(149)));
  EXPECT_TRUE(limiter.allow(kT0 + milliseconds(150)));
}

TEST(RateLimiter, RefillsUpToTheBurstAndRefusesAClockGoingBack) {
  RateLimiter limiter(20, kT0);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(limiter.allow(kT0));
  EXPECT_FALSE(limiter.allow(kT0)) << "the burst is spent";
  // An hour later the bucket is full again, never fuller: the frame that
  // finds it full draws and leaves 20 tokens, and a reading from before the
  // last refill is refused without taking one.
  const Instant later = kT0 + std::chrono::hours(1);
  EXPECT_TRUE(limiter.allow(later));
  EXPECT_FALSE(limiter.allow(later - nanoseconds(1)));
  int frames = 0;
  for (int i = 0; i < 50; ++i) frames += limiter.allow(later);
  EXPECT_EQ(frames, 20);
}

TEST(TickGate, BurstOfTenThenOnePerMillisecondCarryingTheRest) {
  SharedPosition gate(kT0);
  int ticks = 0;
  for (int i = 0; i < 100; ++i) ticks += gate.allow_tick(kT0);
  EXPECT_EQ(ticks, 10);
  EXPECT_FALSE(gate.allow_tick(kT0 + nanoseconds(999'999)));
  EXPECT_TRUE(gate.allow_tick(kT0 + std::chrono::microseconds(1'400)));
  EXPECT_FALSE(gate.allow_tick(kT0 + std::chrono::microseconds(1'900)));
  // 0.4 ms were carried, so the next tick is due at 2 ms.
  EXPECT_TRUE(gate.allow_tick(kT0 + milliseconds(2)));
  // Five idle milliseconds earn five ticks; after a long pause the gate
  // holds its ten again besides the tick that found it refilled.
  ticks = 0;
  for (int i = 0; i < 20; ++i) ticks += gate.allow_tick(kT0 + milliseconds(7));
  EXPECT_EQ(ticks, 5);
  ticks = 0;
  for (int i = 0; i < 20; ++i) ticks += gate.allow_tick(kT0 + seconds(60));
  EXPECT_EQ(ticks, 11);
}

TEST(TickGate, ReadingsBeforeTheStartNeverTick) {
  SharedPosition gate(kT0);
  EXPECT_FALSE(gate.allow_tick(kT0 - nanoseconds(1)));
  int ticks = 0;
  for (int i = 0; i < 20; ++i) ticks += gate.allow_tick(kT0);
  EXPECT_EQ(ticks, 10) << "a refused reading takes no tick";
}

TEST(Estimator, ConstantRateIsEstimatedExactly) {
  StepRateEstimator e(kT0);
  EXPECT_EQ(e.rate(kT0 + seconds(1)), 0.0) << "no data, no rate";
  for (int i = 1; i <= 600; ++i) e.record(static_cast<std::uint64_t>(i), kT0 + milliseconds(100 * i));
  EXPECT_NEAR(e.rate(kT0 + seconds(60)), 10.0, 1e-9);
}

TEST(Estimator, AStallDecaysTheRateAndAStepBackRestarts) {
  StepRateEstimator e(kT0);
  for (int i = 1; i <= 300; ++i) e.record(static_cast<std::uint64_t>(i), kT0 + milliseconds(100 * i));
  const double at_stall = e.rate(kT0 + seconds(30));
  const double later = e.rate(kT0 + seconds(45));
  EXPECT_NEAR(at_stall, 10.0, 1e-6);
  EXPECT_LT(later, 0.25 * at_stall);
  EXPECT_GT(later, 0.1 * at_stall);

  // Neither a count that did not grow nor a clock that did not advance
  // changes anything.
  const StepRateEstimator before = e;
  e.record(300, kT0 + seconds(31));
  e.record(310, kT0 + seconds(29));
  EXPECT_EQ(e.rate(kT0 + seconds(45)), before.rate(kT0 + seconds(45)));

  // A step back forgets the history: no rate until the next record.
  e.record(5, kT0 + seconds(50));
  EXPECT_EQ(e.rate(kT0 + milliseconds(50'500)), 0.0);
  e.record(15, kT0 + seconds(51));
  EXPECT_NEAR(e.rate(kT0 + seconds(51)), 10.0, 1e-9) << "restarted from the step back";
}

TEST(Estimator, FirstRecordGivesTheStepRateAndItsRemainingTime) {
  StepRateEstimator e(kT0);
  e.record(1, kT0 + seconds(1));
  const double rate = e.rate(kT0 + seconds(1));
  EXPECT_NEAR(rate, 1.0, 1e-12);
  EXPECT_EQ(remaining_time(100, 1, rate), (Duration{99, 0}));
}

TEST(RemainingTime, EdgeRatesAndPositions) {
  EXPECT_EQ(remaining_time(std::nullopt, 0, 1.0), Duration{});
  EXPECT_EQ(remaining_time(10, 0, 0.0), Duration{});
  EXPECT_EQ(remaining_time(10, 0, std::nan("")), Duration{});
  EXPECT_EQ(remaining_time(10, 0, std::numeric_limits<double>::infinity()), Duration{});
  EXPECT_EQ(remaining_time(10, 20, 1.0), Duration{});
  EXPECT_EQ(remaining_time(10, 0, 4.0), (Duration{2, 500'000'000}));
  EXPECT_EQ(remaining_time(10, 0, 1e-300), (Duration{UINT64_MAX, 0}));
  EXPECT_EQ(remaining_time(10, 0, -1.0), Duration{});
}

TEST(RemainingTime, SecondsToDurationTruncatesAndSaturates) {
  EXPECT_EQ(duration_from_secs_f64(0.75), (Duration{0, 750'000'000}));
  EXPECT_EQ(duration_from_secs_f64(89.4).secs, 89u);
  EXPECT_EQ(duration_from_secs_f64(0.9999999999), (Duration{0, 999'999'999}));
  EXPECT_EQ(duration_from_secs_f64(1.8446744073709552e19), (Duration{UINT64_MAX, 0}));
  EXPECT_EQ(duration_from_secs_f64(-0.5), Duration{});
}

}  // namespace
}  // namespace rowmerge::progress
