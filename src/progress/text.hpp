// Text helpers of the progress line: column width, tabs, UTF-8 validity.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rowmerge::progress {

// Terminal columns taken by `text`.  Colour sequences (ESC [ ... m) take
// none; every other character counts one column, which is exact for what the
// progress line contains (ASCII, Braille spinner glyphs, block glyphs).
std::size_t measure_text_width(std::string_view text) noexcept;

// Every tab replaced by `tab_width` spaces.
std::string expand_tabs(std::string_view text, std::size_t tab_width);

// Whether `bytes` is well-formed UTF-8 (no overlongs, no surrogates).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace rowmerge::progress
