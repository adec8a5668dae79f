// The hand-over from piece to piece: every piece gets the link of the pieces
// before it, and a failed piece releases everyone behind it.  (Which tables
// count as in order is the driver's tests' business.)
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "merge/piece_chain.hpp"

namespace rowmerge::merge {
namespace {

SurvivorIndex::Summary piece(PointIndex kept, std::uint32_t first, std::uint32_t last, bool ascending = true) {
  return {kept, first, last, ascending};
}

TEST(PieceChain, WaitersGetTheLinkBeforeThemOrLearnOfAnAbandonedPiece) {
  constexpr std::size_t kPieces = 64;
  for (const bool fail : {false, true}) {
    PieceChain chain(kPieces);
    std::vector<int> outcome(kPieces, -1);
    std::vector<std::thread> threads;
    // Every piece on its own thread, started from the last: all but piece 0
    // wait for the one before.
    for (std::size_t p = kPieces; p-- > 0;) {
      threads.emplace_back([&, p] {
        const std::optional<ChainLink> before = chain.wait_before(p);
        if (!before || (fail && p == kPieces / 2)) {
          outcome[p] = 0;
          chain.abandon(p);
          return;
        }
        outcome[p] = static_cast<int>(before->kept);
        chain.link(p, extend(*before, piece(1, static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(p))));
      });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t p = 0; p < kPieces; ++p) {
      const bool lost = fail && p >= kPieces / 2;
      EXPECT_EQ(outcome[p], lost ? 0 : static_cast<int>(p)) << p;
    }
    if (!fail) {
      EXPECT_EQ(chain.wait_before(kPieces)->kept, kPieces);
    }
  }
}

}  // namespace
}  // namespace rowmerge::merge
