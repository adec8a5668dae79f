// The look of the progress line: its layout, glyphs and colours.
//
// A layout is text with placeholders in braces, e.g.
//   {spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})
// A placeholder is {key}, optionally followed by ":", a decimal width, a
// style after "." (words separated by ".") and an alternate style after "/".
// The keys are spinner, elapsed_precise, bar, pos, len and eta; the colour
// words are green, blue and cyan.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rowmerge::progress {

// A layout text that does not parse.
class TemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Foreground colours, by their number in the eight-colour ANSI order.
enum class Color : std::uint8_t { kGreen = 2, kBlue = 4, kCyan = 6 };

struct Style {
  std::optional<Color> foreground;
  friend bool operator==(const Style&, const Style&) = default;
};

enum class Key : std::uint8_t { kSpinner, kElapsedPrecise, kBar, kPos, kLen, kEta };

struct Placeholder {
  Key key;
  std::optional<std::uint16_t> width;
  std::optional<Style> style;
  std::optional<Style> alt_style;
  friend bool operator==(const Placeholder&, const Placeholder&) = default;
};

// One part of a parsed layout: literal text or a placeholder.
using TemplatePart = std::variant<std::string, Placeholder>;

class ProgressStyle {
 public:
  // Parses `layout`; throws TemplateError when it does not parse.
  static ProgressStyle with_template(std::string_view layout);
  // The style a bar has before it is given one: a plain 40-cell bar and the
  // counts.
  static ProgressStyle default_bar();

  // Tabs in literal parts become `tab_width` spaces.
  void set_tab_width(std::size_t tab_width);

  const std::vector<TemplatePart>& parts() const noexcept { return parts_; }
  // The 29 glyphs that turn while the bar runs, then the one shown once done.
  static constexpr std::size_t kTurningTicks = 29;
  std::string_view tick_glyph(std::size_t i) const noexcept { return tick_glyphs_[i]; }
  std::string_view filled_glyph() const noexcept { return filled_glyph_; }
  std::string_view empty_glyph() const noexcept { return empty_glyph_; }

 private:
  ProgressStyle() = default;

  std::vector<TemplatePart> parsed_;  // as written in the layout
  std::vector<TemplatePart> parts_;   // with tabs expanded by set_tab_width
  std::array<std::string_view, kTurningTicks + 1> tick_glyphs_{};
  std::string_view filled_glyph_;
  std::string_view empty_glyph_;
};

}  // namespace rowmerge::progress
