// Rendering one frame of the progress line from the bar's numbers.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "progress/style.hpp"
#include "progress/time.hpp"

namespace rowmerge::progress {

// What a frame shows.  The position is read twice with relaxed loads, once
// for the counts and once for the bar, so it may move in between.
struct LineInputs {
  const std::atomic<std::uint64_t>& position;
  std::optional<std::uint64_t> length;  // the position stands in when absent
  std::uint64_t tick = 0;
  bool done = false;
  Duration elapsed;  // since the bar started
  Duration eta;      // remaining time, zero once done
};

// The lines of one frame (one line for these layouts).  `colors` is the
// colour switch; `columns` is the terminal width, which no key uses.
std::vector<std::string> format_state(const ProgressStyle& style, const LineInputs& in, std::uint16_t columns,
                                      bool colors);

// The filled share of the bar in single precision: 1 for length 0, 0 at
// position 0, else position / length capped at 1.
float bar_fraction(std::uint64_t position, std::uint64_t length) noexcept;

}  // namespace rowmerge::progress
