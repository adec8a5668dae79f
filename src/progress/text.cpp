#include "progress/text.hpp"

namespace rowmerge::progress {

std::size_t measure_text_width(std::string_view text) noexcept {
  std::size_t width = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < text.size() && text[j] != 'm') ++j;
      if (j < text.size()) {  // a complete colour sequence
        i = j + 1;
        continue;
      }
    }
    // Count lead bytes only: one column per character.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++width;
    ++i;
  }
  return width;
}

std::string expand_tabs(std::string_view text, std::size_t tab_width) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\t') {
      out.append(tab_width, ' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    const unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < lo || second > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace rowmerge::progress
