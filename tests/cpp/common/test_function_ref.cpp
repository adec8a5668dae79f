#include <gtest/gtest.h>

#include <string>

#include "common/function_ref.hpp"

namespace {

using rowmerge::FunctionRef;

int twice(int x) { return 2 * x; }

int call(FunctionRef<int(int)> f, int x) { return f(x); }

TEST(FunctionRef, RefersToTheCallableItselfAndHoldsFunctionsByAddress) {
  // The referenced object is the caller's: its state changes are seen, and
  // what the call changes stays changed.
  int calls = 0;
  auto counting = [&calls](int x) { return x + ++calls; };
  FunctionRef<int(int)> ref = counting;
  EXPECT_EQ(ref(10), 11);
  EXPECT_EQ(call(ref, 10), 12);
  EXPECT_EQ(calls, 2);

  struct Accumulator {
    int total = 0;
    int operator()(int x) { return total += x; }
  } sum;
  FunctionRef<int(int)> add = sum;
  add(3);
  add(4);
  EXPECT_EQ(sum.total, 7);

  EXPECT_EQ(call(twice, 21), 42);
  EXPECT_EQ(call(&twice, 4), 8);
  // A reference passed on refers to the same target, not to the reference.
  FunctionRef<int(int)> outer = twice;
  FunctionRef<int(int)> copy = outer;
  outer = counting;
  EXPECT_EQ(copy(5), 10);

  // Arguments are forwarded as declared.
  std::string text = "a";
  FunctionRef<void(std::string&)> append = [](std::string& s) { s += 'b'; };
  append(text);
  EXPECT_EQ(text, "ab");
}

}  // namespace
