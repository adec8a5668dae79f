#include <gtest/gtest.h>

#include "merge/keys.hpp"
#include "tables.hpp"

namespace {

using rowmerge::merge::convert_key;
using rowmerge::merge::exact_bits;
using rowmerge::test::kInf;
using rowmerge::test::kNaN;

TEST(KeyConversion, TruncatesAndSaturates) {
  EXPECT_EQ(convert_key(3.9), 3u);
  EXPECT_EQ(convert_key(3.2), 3u);
  EXPECT_EQ(convert_key(1.0), 1u);
  EXPECT_EQ(convert_key(0.999), 0u);
  EXPECT_EQ(convert_key(0.5), 0u);
  EXPECT_EQ(convert_key(-0.0), 0u);
  EXPECT_EQ(convert_key(-7.0), 0u);
  EXPECT_EQ(convert_key(-kInf), 0u);
  EXPECT_EQ(convert_key(kNaN), 0u);
  EXPECT_EQ(convert_key(-kNaN), 0u);
  EXPECT_EQ(convert_key(4294967294.9), 4294967294u);
  EXPECT_EQ(convert_key(4294967295.0), 4294967295u);
  EXPECT_EQ(convert_key(4294967295.5), 4294967295u);
  EXPECT_EQ(convert_key(1e12), 4294967295u);
  EXPECT_EQ(convert_key(kInf), 4294967295u);
}

TEST(KeyConversion, ExactKeysFoldNegativeZeroOnly) {
  EXPECT_EQ(exact_bits(-0.0), exact_bits(0.0));
  EXPECT_NE(exact_bits(3.9), exact_bits(3.0));
  EXPECT_NE(exact_bits(1.0), exact_bits(-1.0));
}

}  // namespace
