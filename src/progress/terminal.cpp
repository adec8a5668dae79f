#include "progress/terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

// An environment value that is valid text, or nothing.
std::optional<std::string> text_env(const Terminal& terminal, const char* name) {
  std::optional<std::string> value = terminal.env(name);
  if (value && !is_valid_utf8(*value)) return std::nullopt;
  return value;
}

class StandardErrorTerminal final : public Terminal {
 public:
  int descriptor() const override { return 2; }
  bool is_terminal(int fd) const override { return ::isatty(fd) == 1; }
  std::optional<TermSize> size() const override {
    if (!is_terminal(2)) return std::nullopt;
    struct winsize ws {};
    if (::ioctl(2, TIOCGWINSZ, &ws) != 0) return std::nullopt;
    if (ws.ws_col == 0 || ws.ws_row == 0) return std::nullopt;
    return TermSize{ws.ws_col, ws.ws_row};
  }
  std::optional<std::string> env(const char* name) const override {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }
  bool colors() const override { return stdout_colors(); }
};

}  // namespace

Terminal& standard_error_terminal() noexcept {
  static StandardErrorTerminal STANDARD_ERROR_TERMINAL;
  return STANDARD_ERROR_TERMINAL;
}

bool is_a_color_terminal(const Terminal& terminal, int fd) {
  if (!terminal.is_terminal(fd)) return false;
  if (text_env(terminal, "NO_COLOR")) return false;
  const std::optional<std::string> term = text_env(terminal, "TERM");
  return term && *term != "dumb";
}

bool decide_colors(const Terminal& terminal) {
  const std::optional<std::string> clicolor = text_env(terminal, "CLICOLOR");
  if (is_a_color_terminal(terminal, 1) && (!clicolor || *clicolor != "0")) return true;
  const std::optional<std::string> force = text_env(terminal, "CLICOLOR_FORCE");
  return force && *force != "0";
}

bool stdout_colors() {
  // Initialised once, thread-safely, by whichever thread asks first.
  static const bool STDOUT_COLORS = decide_colors(standard_error_terminal());
  return STDOUT_COLORS;
}

}  // namespace rowmerge::progress
