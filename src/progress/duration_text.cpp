#include "progress/duration_text.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace rowmerge::progress {

std::string format_elapsed_precise(Duration d) {
  const std::uint64_t s = d.secs;
  const std::uint64_t days = s / 86'400;
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", static_cast<unsigned>((s / 3'600) % 24),
                static_cast<unsigned>((s / 60) % 60), static_cast<unsigned>(s % 60));
  std::string text;
  if (days > 0) {
    text = std::to_string(days);
    text += "d ";
  }
  text += clock;
  return text;
}

namespace {

struct Unit {
  std::uint64_t seconds;
  char letter;
};

// Seconds are compared in whole numbers: every threshold above the minute
// lies on a whole second, and for the minute half a second is added first.
Unit pick_unit(Duration d) {
  const std::uint64_t s = d.secs;
  if (s >= 47'001'600) return {31'536'000, 'y'};
  if (s >= 864'000) return {604'800, 'w'};
  if (s >= 127'800) return {86'400, 'd'};
  if (s >= 5'370) return {3'600, 'h'};
  const std::uint64_t rounded = d.nanos >= kNanosPerSecond / 2 ? s + 1 : s;
  if (rounded >= 90) return {60, 'm'};
  return {1, 's'};
}

}  // namespace

std::string format_human_duration(Duration d) {
  const Unit unit = pick_unit(d);
  double count = std::round(d.as_secs_f64() / static_cast<double>(unit.seconds));
  if (unit.seconds > 1 && count < 2.0) count = 2.0;
  std::string text = std::to_string(static_cast<std::uint64_t>(count));
  text += unit.letter;
  return text;
}

}  // namespace rowmerge::progress
