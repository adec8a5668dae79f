#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fakes.hpp"
#include "frame_text.hpp"
#include "progress/progress_bar.hpp"
#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

using namespace testing;

constexpr int kThreads = 8;
constexpr int kIncrements = 100'000;
constexpr std::uint64_t kTotal = std::uint64_t{kThreads} * kIncrements;

void hammer(ProgressBar& bar) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&bar] {
      for (int i = 0; i < kIncrements; ++i) bar.inc(1);
    });
  }
  for (auto& th : threads) th.join();
}

// Every frame on an 80-column terminal is exactly one erase (none before the
// first) followed by one whole line padded to 80 columns; an interleaved
// frame would break the line or the erase.
void expect_whole_frames(const std::string& bytes) {
  std::size_t frames = 0;
  std::size_t at = 0;
  std::uint64_t last_pos = 0;
  while (at < bytes.size()) {
    if (frames > 0) {
      ASSERT_EQ(bytes.compare(at, kErase.size(), kErase), 0) << "frame " << frames << " at byte " << at;
      at += kErase.size();
    }
    const std::size_t next = bytes.find(kErase, at);
    const std::string frame = bytes.substr(at, next == std::string::npos ? std::string::npos : next - at);
    EXPECT_EQ(measure_text_width(frame), 80u) << frame;
    EXPECT_EQ(frame.find('\x1b'), std::string::npos) << frame;
    const std::size_t counts = frame.find("] ", frame.find("] [") + 3) + 2;
    const std::size_t slash = frame.find('/', counts);
    ASSERT_NE(slash, std::string::npos) << frame;
    EXPECT_EQ(frame.substr(slash + 1, 7), "800000 ") << frame;
    const std::uint64_t pos = std::stoull(frame.substr(counts, slash - counts));
    EXPECT_GE(pos, last_pos) << "positions shown never go back";
    EXPECT_LE(pos, kTotal);
    last_pos = pos;
    ++frames;
    at = next == std::string::npos ? bytes.size() : next;
  }
  EXPECT_GE(frames, 2u);
  EXPECT_EQ(last_pos, kTotal);
}

TEST(Concurrency, EveryIncrementCountsAndFramesNeverInterleave) {
  FakeTerminal term;
  ProgressBar bar(kTotal, monotonic_clock(), term);
  bar.set_style(ProgressStyle::with_template(kLayout));
  hammer(bar);
  EXPECT_EQ(bar.position(), kTotal);
  bar.finish_with_message("Processing complete");
  expect_whole_frames(term.captured());
}

TEST(Concurrency, HiddenBarCountsExactly) {
  FakeTerminal term;
  term.stderr_tty = false;
  ProgressBar bar(kTotal, monotonic_clock(), term);
  bar.set_style(ProgressStyle::with_template(kLayout));
  hammer(bar);
  EXPECT_EQ(bar.position(), kTotal);
  bar.finish_with_message("Processing complete");
  EXPECT_EQ(term.captured(), "");
}

}  // namespace
}  // namespace rowmerge::progress
