// The two ways the progress line shows a span of time.
#pragma once

#include <string>

#include "progress/time.hpp"

namespace rowmerge::progress {

// The elapsed clock: HH:MM:SS of whole seconds (hours modulo 24), preceded
// by "<days>d " from one day on.  1d 01:01:01 is 90 061 s.
std::string format_elapsed_precise(Duration d);

// The short human form: a count and a one-letter unit (s, m, h, d, w, y),
// e.g. 0s, 89s, 2m, 89m, 2h.  A unit is chosen once the span plus half of
// the next smaller unit reaches one and a half of it; the count is rounded
// half away from zero and is at least 2 for every unit above the second.
std::string format_human_duration(Duration d);

}  // namespace rowmerge::progress
