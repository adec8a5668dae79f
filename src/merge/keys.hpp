// Crop-row keys.
//
// Identifiers arrive as float64.  Base crop rows and points compare them after
// a saturating conversion to uint32; linked crop rows compare the float64
// values themselves.
#pragma once

#include <bit>
#include <cstdint>

namespace rowmerge::merge {

inline constexpr std::uint32_t kMaxKey = 4294967295u;

// Truncation toward zero, saturating at both ends: NaN and everything below 1
// give 0, everything from 4294967295 up gives 4294967295.  Every value that
// reaches the cast lies in [1, 4294967295), so the cast is well defined.
constexpr std::uint32_t convert_key(double value) noexcept {
  if (!(value >= 1.0)) return 0;  // NaN, -inf, negatives and (0, 1)
  if (value >= 4294967295.0) return kMaxKey;
  return static_cast<std::uint32_t>(value);
}

// A key pair after conversion.
struct ConvertedKey {
  std::uint32_t key1 = 0;
  std::uint32_t key2 = 0;
  friend constexpr bool operator==(const ConvertedKey&, const ConvertedKey&) = default;
};

// A float64 key pair for exact comparison, held as the bit patterns of its
// values with -0.0 folded into 0.0, so that bit equality is IEEE equality.
// Only pairs without NaN are ever made (NaN equals nothing).
struct ExactKey {
  std::uint64_t key1 = 0;
  std::uint64_t key2 = 0;
  friend constexpr bool operator==(const ExactKey&, const ExactKey&) = default;
};

constexpr std::uint64_t exact_bits(double value) noexcept {
  return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
}

// Mixes 64 bits into a well-spread hash (a multiply-xorshift finaliser).
constexpr std::uint64_t mix_bits(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

struct KeyHash {
  constexpr std::uint64_t operator()(std::uint32_t k) const noexcept { return mix_bits(k); }
  constexpr std::uint64_t operator()(const ConvertedKey& k) const noexcept {
    return mix_bits((static_cast<std::uint64_t>(k.key1) << 32) | k.key2);
  }
  constexpr std::uint64_t operator()(const ExactKey& k) const noexcept {
    return mix_bits(k.key1 ^ mix_bits(k.key2 + 0x9e3779b97f4a7c15ULL));
  }
};

}  // namespace rowmerge::merge
