// What the progress bar needs from the operating system's terminal side,
// behind a seam: the descriptor frames go to, whether a descriptor is a
// terminal, the terminal's size, the environment, and the colour switch.
// The real one is descriptor 2 of this process; tests substitute their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rowmerge::progress {

struct TermSize {
  std::uint16_t columns = 0;
  std::uint16_t rows = 0;
};

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Where frames are written (2 for the real terminal).
  virtual int descriptor() const = 0;
  virtual bool is_terminal(int fd) const = 0;
  // The size of the terminal on descriptor(), when it is a terminal and
  // reports both numbers non-zero.
  virtual std::optional<TermSize> size() const = 0;
  // The raw bytes of an environment variable, if set.
  virtual std::optional<std::string> env(const char* name) const = 0;
  // Whether styled text carries colour sequences.
  virtual bool colors() const = 0;
};

// Descriptor 2 of this process, the process environment and the
// process-wide colour switch.
Terminal& standard_error_terminal() noexcept;

// The colour-terminal test: `fd` is a terminal, NO_COLOR is not set (set to
// any valid text, the empty one included, counts as set), and TERM is set to
// valid text other than "dumb".
bool is_a_color_terminal(const Terminal& terminal, int fd);

// The colour decision from standard output: a colour terminal on descriptor
// 1 with CLICOLOR unset or not "0", or CLICOLOR_FORCE set to anything but
// "0".  Values that are not valid text count as unset.
bool decide_colors(const Terminal& terminal);

// The process-wide colour switch: decide_colors on the real terminal, taken
// the first time it is asked for and fixed for the process from then on.
bool stdout_colors();

}  // namespace rowmerge::progress
