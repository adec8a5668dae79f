#include "progress/format.hpp"

#include <algorithm>

#include "progress/duration_text.hpp"
#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

void append_styled(std::string& out, std::string_view text, const std::optional<Style>& style, bool colors) {
  if (!colors || !style || !style->foreground) {
    out += text;
    return;
  }
  out += "\x1b[";
  out += std::to_string(30 + static_cast<int>(*style->foreground));
  out += 'm';
  out += text;
  out += "\x1b[0m";
}

std::string repeat(std::string_view glyph, std::size_t times) {
  std::string out;
  out.reserve(glyph.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += glyph;
  return out;
}

// The bar's cells, one column per glyph: the filled glyphs, then the rest in
// the alternate style.  The cell at the boundary belongs to the rest; no cell
// is partly filled.
std::string bar_text(const ProgressStyle& style, const Placeholder& p, std::uint64_t position,
                     std::uint64_t length, bool colors) {
  const std::size_t cells = p.width.value_or(20);
  const float fill = bar_fraction(position, length) * static_cast<float>(cells);
  const std::size_t filled = std::min(static_cast<std::size_t>(fill), cells);
  std::string text = repeat(style.filled_glyph(), filled);
  append_styled(text, repeat(style.empty_glyph(), cells - filled), p.alt_style, colors);
  return text;
}

std::string value_text(const ProgressStyle& style, const Placeholder& p, const LineInputs& in,
                       std::uint64_t pos, std::uint64_t len, bool colors) {
  switch (p.key) {
    case Key::kSpinner: {
      if (in.done) return std::string(style.tick_glyph(ProgressStyle::kTurningTicks));
      const std::uint32_t low = static_cast<std::uint32_t>(in.tick);
      return std::string(style.tick_glyph(low % ProgressStyle::kTurningTicks));
    }
    case Key::kElapsedPrecise:
      return format_elapsed_precise(in.elapsed);
    case Key::kBar: {
      const std::uint64_t own = in.position.load(std::memory_order_relaxed);
      return bar_text(style, p, own, in.length.value_or(own), colors);
    }
    case Key::kPos:
      return std::to_string(pos);
    case Key::kLen:
      return std::to_string(len);
    case Key::kEta:
      return format_human_duration(in.eta);
  }
  return {};
}

}  // namespace

float bar_fraction(std::uint64_t position, std::uint64_t length) noexcept {
  if (length == 0) return 1.0f;
  if (position == 0) return 0.0f;
  return std::min(static_cast<float>(position) / static_cast<float>(length), 1.0f);
}

std::vector<std::string> format_state(const ProgressStyle& style, const LineInputs& in, std::uint16_t /*columns*/,
                                      bool colors) {
  const std::uint64_t pos = in.position.load(std::memory_order_relaxed);
  const std::uint64_t len = in.length.value_or(pos);
  std::string line;
  for (const TemplatePart& part : style.parts()) {
    if (const std::string* literal = std::get_if<std::string>(&part)) {
      line += *literal;
      continue;
    }
    const Placeholder& p = std::get<Placeholder>(part);
    std::string value = value_text(style, p, in, pos, len, colors);
    if (p.width) {
      const std::size_t w = measure_text_width(value);
      if (w < *p.width) value.append(*p.width - w, ' ');
    }
    append_styled(line, value, p.style, colors);
  }
  std::vector<std::string> lines;
  lines.push_back(std::move(line));
  return lines;
}

}  // namespace rowmerge::progress
