#include "progress/style.hpp"

#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

// U+2801 ... U+2808 and a space; each Braille glyph is three bytes.
constexpr std::string_view kTickGlyphs = "⠁⠁⠉⠙⠚⠒⠂⠂⠒⠲⠴⠤⠄⠄⠤⠠⠠⠤⠦⠖⠒⠐⠐⠒⠓⠋⠉⠈⠈ ";
constexpr std::string_view kFilledGlyph = "█";  // U+2588
constexpr std::string_view kEmptyGlyph = "░";   // U+2591

std::optional<Key> key_named(std::string_view name) {
  if (name == "spinner") return Key::kSpinner;
  if (name == "elapsed_precise") return Key::kElapsedPrecise;
  if (name == "bar") return Key::kBar;
  if (name == "pos") return Key::kPos;
  if (name == "len") return Key::kLen;
  if (name == "eta") return Key::kEta;
  return std::nullopt;
}

Style parse_style(std::string_view text, std::string_view layout) {
  Style style;
  while (!text.empty()) {
    const std::size_t dot = text.find('.');
    const std::string_view word = text.substr(0, dot);
    if (word == "green") {
      style.foreground = Color::kGreen;
    } else if (word == "blue") {
      style.foreground = Color::kBlue;
    } else if (word == "cyan") {
      style.foreground = Color::kCyan;
    } else if (!word.empty()) {
      throw TemplateError("unknown style word '" + std::string(word) + "' in layout: " + std::string(layout));
    }
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return style;
}

// The inside of one placeholder, between its braces.
Placeholder parse_placeholder(std::string_view inner, std::string_view layout) {
  const auto fail = [&](const std::string& what) -> TemplateError {
    return TemplateError(what + " in layout: " + std::string(layout));
  };
  const std::size_t colon = inner.find(':');
  const std::string_view name = inner.substr(0, colon);
  const std::optional<Key> key = key_named(name);
  if (!key) throw fail("unknown placeholder '" + std::string(name) + "'");
  Placeholder p{*key, std::nullopt, std::nullopt, std::nullopt};
  if (colon == std::string_view::npos) return p;

  std::string_view spec = inner.substr(colon + 1);
  std::size_t digits = 0;
  std::uint32_t width = 0;
  while (digits < spec.size() && spec[digits] >= '0' && spec[digits] <= '9') {
    width = width * 10 + static_cast<std::uint32_t>(spec[digits] - '0');
    if (width > 0xFFFF) throw fail("placeholder width too large");
    ++digits;
  }
  if (digits > 0) p.width = static_cast<std::uint16_t>(width);
  spec.remove_prefix(digits);
  if (spec.empty()) return p;
  if (spec.front() != '.') throw fail("unexpected text '" + std::string(spec) + "' in a placeholder");
  spec.remove_prefix(1);
  const std::size_t slash = spec.find('/');
  p.style = parse_style(spec.substr(0, slash), layout);
  if (slash != std::string_view::npos) p.alt_style = parse_style(spec.substr(slash + 1), layout);
  return p;
}

}  // namespace

ProgressStyle ProgressStyle::with_template(std::string_view layout) {
  ProgressStyle style;
  std::string literal;
  std::size_t i = 0;
  while (i < layout.size()) {
    const char c = layout[i];
    if (c == '}') throw TemplateError("'}' outside a placeholder in layout: " + std::string(layout));
    if (c != '{') {
      literal.push_back(c);
      ++i;
      continue;
    }
    const std::size_t close = layout.find('}', i + 1);
    if (close == std::string_view::npos) throw TemplateError("unclosed placeholder in layout: " + std::string(layout));
    const std::string_view inner = layout.substr(i + 1, close - i - 1);
    if (inner.find('{') != std::string_view::npos) {
      throw TemplateError("'{' inside a placeholder in layout: " + std::string(layout));
    }
    if (!literal.empty()) {
      style.parsed_.emplace_back(std::move(literal));
      literal.clear();
    }
    style.parsed_.emplace_back(parse_placeholder(inner, layout));
    i = close + 1;
  }
  if (!literal.empty()) style.parsed_.emplace_back(std::move(literal));

  std::string_view glyphs = kTickGlyphs;
  for (std::size_t k = 0; k < kTurningTicks; ++k) {
    style.tick_glyphs_[k] = glyphs.substr(0, 3);
    glyphs.remove_prefix(3);
  }
  style.tick_glyphs_[kTurningTicks] = glyphs;  // the space
  style.filled_glyph_ = kFilledGlyph;
  style.empty_glyph_ = kEmptyGlyph;
  style.set_tab_width(8);
  return style;
}

ProgressStyle ProgressStyle::default_bar() { return with_template("{bar:40} {pos}/{len}"); }

void ProgressStyle::set_tab_width(std::size_t tab_width) {
  parts_.clear();
  parts_.reserve(parsed_.size());
  for (const TemplatePart& part : parsed_) {
    if (const std::string* text = std::get_if<std::string>(&part)) {
      parts_.emplace_back(expand_tabs(*text, tab_width));
    } else {
      parts_.push_back(part);
    }
  }
}

}  // namespace rowmerge::progress
