#include <gtest/gtest.h>

#include "fakes.hpp"
#include "progress/terminal.hpp"
#include "progress/text.hpp"

namespace rowmerge::progress {
namespace {

using testing::FakeTerminal;

TEST(ColorTerminal, NeedsATerminalWithoutNoColorAndAUsefulTerm) {
  FakeTerminal t;  // TERM=xterm-256color, descriptor a "terminal"
  const int fd = t.descriptor();
  EXPECT_TRUE(is_a_color_terminal(t, fd));

  t.stderr_tty = false;
  EXPECT_FALSE(is_a_color_terminal(t, fd));
  t.stderr_tty = true;

  t.set_env("NO_COLOR", "");
  EXPECT_FALSE(is_a_color_terminal(t, fd)) << "NO_COLOR set to the empty text";
  t.set_env("NO_COLOR", "1");
  EXPECT_FALSE(is_a_color_terminal(t, fd));
  t.set_env("NO_COLOR", std::string("\xff\xfe"));
  EXPECT_TRUE(is_a_color_terminal(t, fd)) << "a NO_COLOR that is not text counts as unset";
  t.set_env("NO_COLOR", std::nullopt);

  t.set_env("TERM", std::nullopt);
  EXPECT_FALSE(is_a_color_terminal(t, fd));
  t.set_env("TERM", "dumb");
  EXPECT_FALSE(is_a_color_terminal(t, fd));
  t.set_env("TERM", std::string("xterm\xc0"));
  EXPECT_FALSE(is_a_color_terminal(t, fd)) << "a TERM that is not text counts as unset";
  t.set_env("TERM", "");
  EXPECT_TRUE(is_a_color_terminal(t, fd));
}

TEST(ColorSwitch, FollowsStandardOutputAndTheClicolorVariables) {
  FakeTerminal t;
  t.stderr_tty = true;  // standard error plays no part
  t.stdout_tty = false;
  EXPECT_FALSE(decide_colors(t)) << "standard output redirected";
  t.set_env("CLICOLOR_FORCE", "1");
  EXPECT_TRUE(decide_colors(t));
  t.set_env("CLICOLOR_FORCE", "");
  EXPECT_TRUE(decide_colors(t)) << "the empty text forces colour";
  t.set_env("CLICOLOR_FORCE", "0");
  EXPECT_FALSE(decide_colors(t));
  t.set_env("CLICOLOR_FORCE", std::nullopt);

  t.stdout_tty = true;
  EXPECT_TRUE(decide_colors(t));
  t.set_env("CLICOLOR", "0");
  EXPECT_FALSE(decide_colors(t));
  t.set_env("CLICOLOR_FORCE", "yes");
  EXPECT_TRUE(decide_colors(t)) << "forcing wins over CLICOLOR=0";
  t.set_env("CLICOLOR_FORCE", std::nullopt);
  for (const char* on : {"false", "", "1", "00"}) {
    t.set_env("CLICOLOR", on);
    EXPECT_TRUE(decide_colors(t)) << "CLICOLOR=" << on;
  }
  t.set_env("NO_COLOR", "");
  t.set_env("CLICOLOR", std::nullopt);
  EXPECT_FALSE(decide_colors(t)) << "NO_COLOR on standard output";
}

TEST(Utf8, AcceptsTextAndRejectsMalformedBytes) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("xterm \u2801 \u2588 \U0001F600"));
  for (const std::string bad : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x96",
                                "\xff"}) {
    EXPECT_FALSE(is_valid_utf8(bad));
  }
}

}  // namespace
}  // namespace rowmerge::progress
