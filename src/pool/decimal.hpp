// The one rule for numbers read from the environment and from control-group
// files: an optional leading "+", then one or more digits 0-9 and nothing
// else, with a value that fits an unsigned 32-bit word (the target's machine
// word).  Anything else is not a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace rowmerge::pool {

std::optional<std::uint32_t> parse_decimal(std::string_view text) noexcept;

}  // namespace rowmerge::pool
