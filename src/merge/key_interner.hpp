// KeyInterner: numbers distinct keys 0, 1, 2, ... in order of first sight.
//
// An open-addressing hash table over a dense key array.  The table holds only
// uint32 entry numbers, so it costs 4 bytes per slot plus the keys; it keeps
// at most half of its slots in use.  Read-only lookups are safe from many
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "merge/keys.hpp"

namespace rowmerge::merge {

template <class Key>
class KeyInterner {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  // The number of `key`, or kAbsent.
  std::uint32_t find(const Key& key) const noexcept {
    if (slots_.empty()) return kAbsent;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = KeyHash{}(key) & mask;; s = (s + 1) & mask) {
      const std::uint32_t entry = slots_[s];
      if (entry == kAbsent || keys_[entry] == key) return entry;
    }
  }

  // The number of `key`, giving it the next number if it is new.
  // `inserted` tells which happened.
  std::uint32_t intern(const Key& key, bool& inserted) {
    if ((keys_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = KeyHash{}(key) & mask;
    for (;; s = (s + 1) & mask) {
      const std::uint32_t entry = slots_[s];
      if (entry == kAbsent) break;
      if (keys_[entry] == key) {
        inserted = false;
        return entry;
      }
    }
    if (keys_.size() >= kAbsent) throw std::bad_alloc();
    const auto entry = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(key);
    slots_[s] = entry;
    inserted = true;
    return entry;
  }

  // The keys in order of their numbers; the interner is left empty.
  std::vector<Key> take_keys() noexcept {
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<Key> keys;
    keys.swap(keys_);
    return keys;
  }

  // Gives back the spare capacity of the key array once building is over.
  void shrink() { keys_.shrink_to_fit(); }

 private:
  void grow() {
    std::size_t n = slots_.empty() ? 16 : slots_.size() * 2;
    if (n > (SIZE_MAX / sizeof(std::uint32_t)) / 2) throw std::bad_alloc();
    std::vector<std::uint32_t> fresh(n, kAbsent);
    const std::size_t mask = n - 1;
    for (std::size_t e = 0; e < keys_.size(); ++e) {
      std::size_t s = KeyHash{}(keys_[e]) & mask;
      while (fresh[s] != kAbsent) s = (s + 1) & mask;
      fresh[s] = static_cast<std::uint32_t>(e);
    }
    slots_.swap(fresh);
  }

  std::vector<Key> keys_;
  std::vector<std::uint32_t> slots_;
};

}  // namespace rowmerge::merge
