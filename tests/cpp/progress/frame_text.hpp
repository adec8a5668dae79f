// Expected frames of the driver's layout, built by hand for the tests.
#pragma once

#include <string>

namespace rowmerge::progress::testing {

inline constexpr const char* kLayout =
    "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";

inline std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// The uncoloured line: spinner glyph, clock, `filled` of 40 cells, counts, eta.
inline std::string plain_line(const std::string& glyph, const std::string& clock, std::size_t filled,
                              const std::string& counts, const std::string& eta) {
  return glyph + " [" + clock + "] [" + repeat("\u2588", filled) + repeat("\u2591", 40 - filled) + "] " + counts +
         " (" + eta + ")";
}

inline const std::string kErase = "\r\x1b[2K";

}  // namespace rowmerge::progress::testing
