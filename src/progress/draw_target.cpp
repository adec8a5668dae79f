#include "progress/draw_target.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>

#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

constexpr TermSize kFallbackSize{80, 24};

void cursor_up(std::string& out, std::size_t rows) {
  if (rows == 0) return;
  out += "\x1b[";
  out += std::to_string(rows);
  out += 'A';
}

// Clears the `rows` rows of the last frame, top to bottom, and returns the
// cursor to its top row.
void append_erase(std::string& out, std::size_t rows) {
  const std::size_t up = rows > 0 ? rows - 1 : 0;
  cursor_up(out, up);
  for (std::size_t i = 0; i < rows; ++i) {
    if (i > 0) out += "\x1b[1B";
    out += "\r\x1b[2K";
  }
  cursor_up(out, up);
}

}  // namespace

int write_all(int fd, const std::string& bytes) noexcept {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

ProgressDrawTarget ProgressDrawTarget::for_terminal(Terminal& terminal, std::uint8_t refresh_rate,
                                                    const Clock& clock) {
  if (!is_a_color_terminal(terminal, terminal.descriptor())) return hidden();
  return ProgressDrawTarget(std::make_unique<TermTarget>(terminal, refresh_rate, clock.now()));
}

bool ProgressDrawTarget::allow(Instant now) noexcept { return term_ && term_->limiter.allow(now); }

TermSize ProgressDrawTarget::size() const {
  if (!term_) return kFallbackSize;
  return term_->terminal.size().value_or(kFallbackSize);
}

bool ProgressDrawTarget::colors() const { return term_ && term_->terminal.colors(); }

int ProgressDrawTarget::write_frame(const std::vector<std::string>& lines, TermSize size) {
  if (!term_ || std::uncaught_exceptions() > 0) return 0;
  TermTarget& t = *term_;
  PoisonGuard guard(t.buffer_lock);
  t.buffer.clear();
  append_erase(t.buffer, t.last_rows);

  // Each line wraps onto h rows and is padded to the end of its last row,
  // so the next frame knows exactly how many rows to erase.  A frame taller
  // than the terminal would scroll out of reach and is left out.
  const double columns = size.columns;
  std::size_t rows = 0;
  std::string body;
  for (const std::string& line : lines) {
    const std::size_t width = measure_text_width(line);
    const std::size_t h = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(width / columns)));
    body += line;
    body.append(h * size.columns - width, ' ');
    rows += h;
  }
  if (rows > size.rows) {
    rows = 0;
  } else {
    t.buffer += body;
  }

  const int error = write_all(t.terminal.descriptor(), t.buffer);
  t.buffer.clear();
  if (error != 0) return error;
  t.last_rows = rows;
  return 0;
}

}  // namespace rowmerge::progress
