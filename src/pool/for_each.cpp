#include "pool/for_each.hpp"

#include "pool/join.hpp"

namespace rowmerge::pool {
namespace {

void run_piece(Registry& registry, std::uint64_t begin, std::uint64_t len, bool moved, Splitter splitter,
               FunctionRef<void(std::uint64_t)> work) {
  if (!splitter.try_split(len, moved)) {
    for (std::uint64_t id = begin; id < begin + len; ++id) work(id);
    return;
  }
  const std::uint64_t mid = len / 2;
  join_context(
      registry, [&](bool left_moved) { run_piece(registry, begin, mid, left_moved, splitter, work); },
      [&](bool right_moved) { run_piece(registry, begin + mid, len - mid, right_moved, splitter, work); });
}

}  // namespace

void for_each_id(Registry& registry, std::uint64_t count, FunctionRef<void(std::uint64_t)> work) {
  run_piece(registry, 0, count, false, Splitter(registry.num_threads()), work);
}

}  // namespace rowmerge::pool
