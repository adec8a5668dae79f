#include "pool/decimal.hpp"

#include <limits>

namespace rowmerge::pool {

std::optional<std::uint32_t> parse_decimal(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMax) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace rowmerge::pool
