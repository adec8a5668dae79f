#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "progress/duration_text.hpp"
#include "progress/format.hpp"
#include "progress/style.hpp"
#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

constexpr std::string_view kLayout = "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}
const std::string kFilled = "\u2588";
const std::string kEmpty = "\u2591";

TEST(Template, TheLayoutParsesIntoItsTwelveParts) {
  const ProgressStyle style = ProgressStyle::with_template(kLayout);
  const auto& parts = style.parts();
  ASSERT_EQ(parts.size(), 12u);
  const Style green{Color::kGreen}, cyan{Color::kCyan}, blue{Color::kBlue};
  const auto ph = [&](std::size_t i) { return std::get<Placeholder>(parts.at(i)); };
  const auto lit = [&](std::size_t i) { return std::get<std::string>(parts.at(i)); };
  EXPECT_EQ(ph(0), (Placeholder{Key::kSpinner, std::nullopt, green, std::nullopt}));
  EXPECT_EQ(lit(1), " [");
  EXPECT_EQ(ph(2), (Placeholder{Key::kElapsedPrecise, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(lit(3), "] [");
  EXPECT_EQ(ph(4), (Placeholder{Key::kBar, 40, cyan, blue}));
  EXPECT_EQ(lit(5), "] ");
  EXPECT_EQ(ph(6).key, Key::kPos);
  EXPECT_EQ(lit(7), "/");
  EXPECT_EQ(ph(8).key, Key::kLen);
  EXPECT_EQ(lit(9), " (");
  EXPECT_EQ(ph(10), (Placeholder{Key::kEta, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(lit(11), ")");
}

TEST(Template, MalformedLayoutsAreRejected) {
  for (const char* bad : {"{pos", "pos}", "{po{s}", "{unknown}", "{bar:40.magenta}", "{bar:99999}",
                          "{bar:40x}", "{bar:40.cyan/purple}"}) {
    EXPECT_THROW(ProgressStyle::with_template(bad), TemplateError) << bad;
  }
  EXPECT_NO_THROW(ProgressStyle::with_template("plain text only"));
}

TEST(Template, TabsInLiteralsExpandToTheTabWidth) {
  ProgressStyle style = ProgressStyle::with_template("a\tb{pos}");
  EXPECT_EQ(std::get<std::string>(style.parts()[0]), "a        b");
  style.set_tab_width(2);
  EXPECT_EQ(std::get<std::string>(style.parts()[0]), "a  b");
}

TEST(Durations, ElapsedClock) {
  EXPECT_EQ(format_elapsed_precise({0, 999'999'999}), "00:00:00");
  EXPECT_EQ(format_elapsed_precise({7, 0}), "00:00:07");
  EXPECT_EQ(format_elapsed_precise({13 * 3600 + 45 * 60 + 9, 0}), "13:45:09");
  EXPECT_EQ(format_elapsed_precise({86'399, 0}), "23:59:59");
  EXPECT_EQ(format_elapsed_precise({86'400, 0}), "1d 00:00:00");
  EXPECT_EQ(format_elapsed_precise({90'061, 0}), "1d 01:01:01");
  EXPECT_EQ(format_elapsed_precise({12 * 86'400 + 5, 0}), "12d 00:00:05");
}

TEST(Durations, ShortHumanFormUnitThresholdsAndRounding) {
  const struct {
    Duration d;
    const char* text;
  } cases[] = {
      {{0, 0}, "0s"},
      {{0, 499'999'999}, "0s"},
      {{0, 500'000'000}, "1s"},
      {{45, 0}, "45s"},
      {{89, 400'000'000}, "89s"},
      {{89, 499'999'999}, "89s"},
      {{89, 500'000'000}, "2m"},
      {{90, 0}, "2m"},
      {{1'000, 0}, "17m"},
      {{5'369, 999'999'999}, "89m"},
      {{5'370, 0}, "2h"},
      {{127'799, 0}, "35h"},
      {{127'800, 0}, "2d"},
      {{863'999, 0}, "10d"},
      {{864'000, 0}, "2w"},
      {{47'001'599, 0}, "78w"},
      {{47'001'600, 0}, "2y"},
      {{UINT64_MAX, 0}, "584942417355y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_human_duration(c.d), c.text) << c.d.secs << "s " << c.d.nanos << "ns";
  }
}

TEST(Width, EscapeSequencesTakeNoColumnsAndGlyphsTakeOne) {
  EXPECT_EQ(measure_text_width(""), 0u);
  EXPECT_EQ(measure_text_width("abc"), 3u);
  EXPECT_EQ(measure_text_width("\x1b[32m\u2801\x1b[0m \u2588\u2591"), 4u);
  EXPECT_EQ(measure_text_width("\x1b[36m\x1b[34m\x1b[0m\x1b[0m"), 0u);
}

// A line of the layout at fixed numbers.
struct Line {
  std::uint64_t pos = 0;
  std::optional<std::uint64_t> len = 10;
  std::uint64_t tick = 0;
  bool done = false;
  Duration elapsed{};
  Duration eta{};
  bool colors = false;

  std::string render() const {
    const std::atomic<std::uint64_t> position{pos};
    const LineInputs in{position, len, tick, done, elapsed, eta};
    const auto lines = format_state(ProgressStyle::with_template(kLayout), in, 80, colors);
    EXPECT_EQ(lines.size(), 1u);
    return lines.at(0);
  }
};

TEST(Format, EmptyAndFullBarsWithAndWithoutColour) {
  EXPECT_EQ((Line{.pos = 0}.render()), "\u2801 [00:00:00] [" + repeat(kEmpty, 40) + "] 0/10 (0s)");
  EXPECT_EQ((Line{.pos = 0, .colors = true}.render()),
            "\x1b[32m\u2801\x1b[0m [00:00:00] [\x1b[36m\x1b[34m" + repeat(kEmpty, 40) + "\x1b[0m\x1b[0m] 0/10 (0s)");
  EXPECT_EQ((Line{.pos = 10, .tick = 3, .elapsed = {7, 0}, .eta = {45, 0}}.render()),
            "\u2819 [00:00:07] [" + repeat(kFilled, 40) + "] 10/10 (45s)");
  EXPECT_EQ((Line{.pos = 10, .done = true, .colors = true}.render()),
            "\x1b[32m \x1b[0m [00:00:00] [\x1b[36m" + repeat(kFilled, 40) + "\x1b[34m\x1b[0m\x1b[0m] 10/10 (0s)");
}

TEST(Format, BarCellsFollowTheSinglePrecisionFraction) {
  const auto bar_of = [](std::uint64_t pos, std::uint64_t len) {
    const std::string line = Line{.pos = pos, .len = len}.render();
    const std::size_t open = line.find("] [") + 3;
    return line.substr(open, line.find("] ", open) - open);
  };
  // One step short of 2^25 is 1.0 in single precision: a full bar.
  EXPECT_EQ(bar_of(33'554'431, 33'554'432), repeat(kFilled, 40));
  EXPECT_EQ(bar_of(39, 40), repeat(kFilled, 39) + kEmpty);
  EXPECT_EQ(bar_of(1, 3), repeat(kFilled, 13) + repeat(kEmpty, 27));
  EXPECT_EQ(bar_of(1, 1'000), repeat(kEmpty, 40));
  EXPECT_EQ(bar_of(50, 10), repeat(kFilled, 40));  // capped
  EXPECT_EQ(bar_of(0, 0), repeat(kFilled, 40));    // nothing to do is complete
  EXPECT_EQ((Line{.pos = 0, .len = 0}.render()), "\u2801 [00:00:00] [" + repeat(kFilled, 40) + "] 0/0 (0s)");
  // Without a length the position stands in for it.
  EXPECT_EQ((Line{.pos = 7, .len = std::nullopt}.render()),
            "\u2801 [00:00:00] [" + repeat(kFilled, 40) + "] 7/7 (0s)");
}

TEST(Format, SpinnerTurnsWithTheLow32BitsOfTheTick) {
  const auto spinner = [](std::uint64_t tick, bool done = false) {
    const std::string line = Line{.tick = tick, .done = done}.render();
    return line.substr(0, line.find(" ["));
  };
  EXPECT_EQ(spinner(0), "\u2801");
  EXPECT_EQ(spinner(9), "\u2832");
  EXPECT_EQ(spinner(28), "\u2808");
  EXPECT_EQ(spinner(29), "\u2801");
  EXPECT_EQ(spinner((std::uint64_t{1} << 32) + 2), "\u2809");  // not 2^32+2 mod 29
  EXPECT_EQ(spinner(5, true), " ");
}

TEST(Format, VisibleWidthIsSixtyPlusTheNumbers) {
  const std::string day = Line{.pos = 123, .len = 4'567, .elapsed = {90'061, 0}, .eta = {5'370, 0}, .colors = true}.render();
  EXPECT_NE(day.find("[1d 01:01:01]"), std::string::npos);
  EXPECT_NE(day.find("(2h)"), std::string::npos);
  EXPECT_EQ(measure_text_width(day), 60u + 3 + 4 + 2 + 1 + 2);
  EXPECT_EQ(measure_text_width(Line{.pos = 1, .len = 100}.render()), 66u);
}

}  // namespace
}  // namespace rowmerge::progress
