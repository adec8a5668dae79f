#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <stdexcept>

#include "common/abort.hpp"
#include "common/messages.hpp"

#include "fakes.hpp"
#include "frame_text.hpp"
#include "progress/progress_bar.hpp"
#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

using namespace testing;
using std::chrono::milliseconds;

struct Rig {
  FakeClock clock;
  FakeTerminal term;
};

void give_layout(ProgressBar& bar) { bar.set_style(ProgressStyle::with_template(kLayout)); }

std::size_t count(const std::string& haystack, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

TEST(Frames, NothingRowsThenOneFrameAtFinish) {
  Rig r;
  {
    ProgressBar bar(0, r.clock, r.term);
    give_layout(bar);
    EXPECT_EQ(r.term.captured(), "") << "creation draws nothing";
    bar.finish_with_message("Processing complete");
    EXPECT_EQ(bar.position(), 0u);
  }
  EXPECT_EQ(r.term.captured(), plain_line(" ", "00:00:00", 40, "0/0", "0s") + std::string(16, ' '));
}

TEST(Frames, OneRowDrawsAtItsIncrementAndIsReplacedByTheFinalFrame) {
  Rig r;
  r.term.color = true;
  {
    ProgressBar bar(1, r.clock, r.term);
    give_layout(bar);
    bar.inc(1);
    r.clock.advance(std::chrono::seconds(3));
    bar.finish_with_message("Processing\tcomplete");
  }
  const std::string full = "\x1b[36m" + repeat("\u2588", 40) + "\x1b[34m\x1b[0m\x1b[0m";
  const std::string first = "\x1b[32m\u2801\x1b[0m [00:00:00] [" + full + "] 1/1 (0s)" + std::string(16, ' ');
  const std::string last = "\x1b[32m \x1b[0m [00:00:03] [" + full + "] 1/1 (0s)" + std::string(16, ' ');
  EXPECT_EQ(r.term.captured(), first + kErase + last);
}

TEST(Frames, RemainingTimeComesFromTheEstimateAndElapsedShowsDays) {
  Rig r;
  ProgressBar bar(100, r.clock, r.term);
  give_layout(bar);
  r.clock.advance(std::chrono::seconds(1));
  bar.inc(1);  // one step a second: 99 s left, shown as 2m
  EXPECT_EQ(r.term.captured(), plain_line("\u2801", "00:00:01", 0, "1/100", "2m") + std::string(14, ' '));
  r.clock.advance(std::chrono::seconds(90'060));
  bar.finish_with_message("done");
  const std::string all = r.term.captured();
  EXPECT_TRUE(all.ends_with(kErase + plain_line(" ", "1d 01:01:01", 40, "100/100", "0s") + std::string(9, ' ')))
      << all;
}

TEST(Frames, AWideFrameWrapsAndTheNextOneErasesBothRows) {
  Rig r;
  r.term.term_size = TermSize{50, 24};
  ProgressBar bar(100, r.clock, r.term);
  give_layout(bar);
  bar.inc(1);
  bar.inc(1);
  const std::string one = plain_line("\u2801", "00:00:00", 0, "1/100", "0s");
  const std::string two = plain_line("\u2809", "00:00:00", 0, "2/100", "0s");
  ASSERT_EQ(measure_text_width(one), 66u);
  EXPECT_EQ(r.term.captured(), one + std::string(34, ' ') + "\x1b[1A\r\x1b[2K\x1b[1B\r\x1b[2K\x1b[1A" + two +
                                   std::string(34, ' '));
}

TEST(Frames, AFrameTallerThanTheTerminalIsLeftOut) {
  Rig r;
  r.term.term_size = TermSize{50, 1};
  ProgressBar bar(100, r.clock, r.term);
  give_layout(bar);
  bar.inc(1);
  bar.inc(1);
  EXPECT_EQ(r.term.captured(), "") << "neither a line nor an erase of a frame never written";
  r.term.term_size = TermSize{50, 2};
  bar.inc(1);
  EXPECT_EQ(r.term.captured(), plain_line("\u2819", "00:00:00", 1, "3/100", "0s") + std::string(34, ' '));
}

TEST(Frames, AFailedWriteKeepsTheRowsOfTheLastFrame) {
  Rig r;
  r.term.term_size = TermSize{50, 24};
  ProgressBar bar(100, r.clock, r.term);
  give_layout(bar);
  bar.inc(1);  // two rows
  r.term.fail_writes = true;
  bar.inc(1);  // dropped
  r.term.fail_writes = false;
  r.term.term_size = TermSize{100, 24};
  bar.inc(1);
  const std::string all = r.term.captured();
  const std::string third = plain_line("\u2819", "00:00:00", 1, "3/100", "0s") + std::string(34, ' ');
  EXPECT_TRUE(all.ends_with("\x1b[1A\r\x1b[2K\x1b[1B\r\x1b[2K\x1b[1A" + third)) << all;
  EXPECT_EQ(bar.position(), 3u);
}

TEST(Frames, IncrementsTickInBurstsAndFramesAreRateLimited) {
  Rig r;
  ProgressBar bar(100'000, r.clock, r.term);
  give_layout(bar);
  const auto frames = [&] { return count(r.term.captured(), ")"); };
  for (int i = 0; i < 100; ++i) bar.inc(1);
  EXPECT_EQ(frames(), 10u) << "ten ticks in the first burst";
  for (int ms = 1; ms <= 49; ++ms) {
    r.clock.advance(milliseconds(1));
    for (int i = 0; i < 10; ++i) bar.inc(1);
  }
  EXPECT_EQ(frames(), 20u) << "one tick a millisecond, until the redraw burst of 20 is spent";
  r.clock.advance(milliseconds(1));
  bar.inc(1);
  EXPECT_EQ(frames(), 21u) << "the next frame 50 ms after the start";
  r.clock.advance(milliseconds(1));
  bar.inc(1);
  EXPECT_EQ(frames(), 21u);
  EXPECT_EQ(bar.position(), 100u + 490 + 2);
  bar.finish_with_message("Processing complete");
  EXPECT_EQ(frames(), 22u) << "the final frame is never held back";
  EXPECT_TRUE(r.term.captured().ends_with("] 100000/100000 (0s)" + std::string(6, ' ')));
}

TEST(Frames, ClockGoingBackwardsNeitherTicksNorDraws) {
  Rig r;
  ProgressBar bar(10, r.clock, r.term);
  give_layout(bar);
  r.clock.advance(-milliseconds(5));
  bar.inc(1);
  EXPECT_EQ(bar.position(), 1u);
  EXPECT_EQ(r.term.captured(), "");
}

TEST(Release, UnfinishedBarClearsItsFrame) {
  Rig r;
  {
    ProgressBar bar(10, r.clock, r.term);
    give_layout(bar);
    bar.inc(1);
  }
  EXPECT_EQ(r.term.captured(), plain_line("\u2801", "00:00:00", 4, "1/10", "0s") + std::string(15, ' ') + kErase);
}

TEST(Release, UnwindingLeavesTheLastFrameAndAFinishedBarDrawsNoMore) {
  Rig r;
  const std::string frame = plain_line("\u2801", "00:00:00", 4, "1/10", "0s") + std::string(15, ' ');
  try {
    ProgressBar bar(10, r.clock, r.term);
    give_layout(bar);
    bar.inc(1);
    throw std::runtime_error("a merge step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(r.term.captured(), frame);

  Rig f;
  {
    ProgressBar bar(1, f.clock, f.term);
    give_layout(bar);
    bar.finish_with_message("Processing complete");
  }
  EXPECT_EQ(f.term.captured(), plain_line(" ", "00:00:00", 40, "1/1", "0s") + std::string(16, ' '));
}

TEST(Release, AFailureInsideTheStateLockPoisonsTheBarButReleaseStaysQuiet) {
  rowmerge::set_abort_report_sink(nullptr);
  Rig r;
  {
    ProgressBar bar(10, r.clock, r.term);
    give_layout(bar);
    r.term.size_fails = true;
    EXPECT_THROW(bar.inc(1), std::bad_alloc);
    r.term.size_fails = false;
    try {
      bar.inc(1);
      ADD_FAILURE() << "a poisoned state lock was taken";
    } catch (const rowmerge::Abort& e) {
      EXPECT_EQ(e.message(), rowmerge::messages::kPoisoned);
    }
    EXPECT_THROW(bar.finish_with_message("Processing complete"), rowmerge::Abort);
    EXPECT_EQ(bar.position(), 2u) << "counts are never lost";
  }  // release must neither fail nor draw
  rowmerge::set_abort_report_sink(rowmerge::default_abort_report_sink());
  EXPECT_EQ(r.term.captured(), "");
}

TEST(Visibility, HiddenBarsCountButNeverWrite) {
  const auto run = [](FakeTerminal& term) {
    FakeClock clock;
    ProgressBar bar(3, clock, term);
    give_layout(bar);
    for (int i = 0; i < 3; ++i) bar.inc(1);
    EXPECT_EQ(bar.position(), 3u);
    EXPECT_TRUE(bar.is_hidden());
    bar.finish_with_message("Processing complete");
    return term.captured();
  };
  FakeTerminal not_a_tty;
  not_a_tty.stderr_tty = false;
  EXPECT_EQ(run(not_a_tty), "");
  FakeTerminal dumb;
  dumb.set_env("TERM", "dumb");
  EXPECT_EQ(run(dumb), "");
  FakeTerminal no_color;
  no_color.set_env("NO_COLOR", "");
  EXPECT_EQ(run(no_color), "");
}

TEST(Visibility, DecidedOnceAtCreation) {
  Rig r;
  ProgressBar bar(2, r.clock, r.term);
  give_layout(bar);
  r.term.set_env("NO_COLOR", "1");
  r.term.stderr_tty = false;  // the frames still go out
  bar.inc(1);
  EXPECT_FALSE(bar.is_hidden());
  EXPECT_NE(r.term.captured(), "");
}

}  // namespace
}  // namespace rowmerge::progress
