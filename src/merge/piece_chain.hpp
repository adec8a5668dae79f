// The pieces of a points table handed from one to the next, for writing the
// survivors in table order while each piece is still in the cache.
//
// Threads take the pieces in ascending order.  After scanning piece p, its
// thread waits for piece p - 1's link (how many survivors the pieces up to
// it hold, and whether the table is in order so far), makes piece p's link
// from it and hands that on.  The wait is short: piece p - 1 was taken
// before p and is being scanned by a running thread.  A thread that fails
// abandons its piece instead, and so does every thread waiting behind it,
// so that nobody waits for a link that will never come.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "merge/survivor_index.hpp"

namespace rowmerge::merge {

// What pieces 0 .. p of the table hold together.
struct ChainLink {
  std::uint64_t kept = 0;      // survivors
  std::uint32_t last_row = 0;  // the last survivor's connected crop row, when kept != 0
  bool in_order = true;        // no survivor's connected crop row below the one before it
};

// The link of pieces 0 .. p, from the link of the pieces before p and what
// the scan of p found.
inline ChainLink extend(const ChainLink& before, const SurvivorIndex::Summary& piece) noexcept {
  if (piece.kept == 0) return before;
  ChainLink link;
  link.kept = before.kept + piece.kept;
  link.last_row = piece.last_row;
  link.in_order = before.in_order && piece.ascending && (before.kept == 0 || before.last_row <= piece.first_row);
  return link;
}

class PieceChain {
 public:
  explicit PieceChain(std::size_t pieces) : slots_(new Slot[pieces]) {}

  // The link of the pieces before `piece` (the empty link for piece 0), once
  // piece - 1 has been linked; nothing when it was abandoned.
  std::optional<ChainLink> wait_before(std::size_t piece) const noexcept {
    if (piece == 0) return ChainLink{};
    const Slot& slot = slots_[piece - 1];
    std::uint32_t state = slot.state.load(std::memory_order_acquire);
    while (state == kPending) {
      slot.state.wait(kPending, std::memory_order_acquire);
      state = slot.state.load(std::memory_order_acquire);
    }
    if (state == kAbandoned) return std::nullopt;
    return slot.link;
  }

  void link(std::size_t piece, const ChainLink& link) noexcept {
    slots_[piece].link = link;
    settle(piece, kLinked);
  }

  void abandon(std::size_t piece) noexcept { settle(piece, kAbandoned); }

 private:
  static constexpr std::uint32_t kPending = 0, kLinked = 1, kAbandoned = 2;
  struct Slot {
    std::atomic<std::uint32_t> state{kPending};
    ChainLink link;
  };

  void settle(std::size_t piece, std::uint32_t state) noexcept {
    slots_[piece].state.store(state, std::memory_order_release);
    slots_[piece].state.notify_all();
  }

  std::unique_ptr<Slot[]> slots_;
};

}  // namespace rowmerge::merge
