#include <gtest/gtest.h>

#include <sched.h>

#include <map>
#include <string>

#include "pool/decimal.hpp"
#include "pool/thread_count.hpp"

namespace rowmerge::pool {
namespace {

TEST(ParseDecimal, AcceptsOnlyPlusAndDigitsWithinAWord) {
  EXPECT_EQ(parse_decimal("0"), 0u);
  EXPECT_EQ(parse_decimal("+4"), 4u);
  EXPECT_EQ(parse_decimal("007"), 7u);
  EXPECT_EQ(parse_decimal("4294967295"), 4294967295u);
  for (const char* bad : {"", "+", "-1", "-0", " 4", "4 ", "4\n", "x", "1e3", "++4", "0x10", "4294967296",
                          "99999999999999999999"}) {
    EXPECT_FALSE(parse_decimal(bad).has_value()) << '"' << bad << '"';
  }
}

// A fixed machine: 8 processors online, 5 in the affinity mask, no control
// group (the fake root holds nothing), and the given environment.
ThreadCountSources fixed(std::map<std::string, std::string> env) {
  ThreadCountSources s;
  s.env = [env = std::move(env)](const char* name) -> std::optional<std::string> {
    const auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
  s.fs_root = "/nonexistent-root-for-tests";
  s.affinity_cpus = [] { return std::optional<std::uint32_t>(5); };
  s.online_cpus = [] { return std::optional<std::uint32_t>(8); };
  return s;
}

TEST(GetNumThreads, ExplicitCountWinsOverEnvironment) {
  EXPECT_EQ(get_num_threads(3, fixed({{"RAYON_NUM_THREADS", "6"}})), 3u);
  EXPECT_EQ(get_num_threads(1000, fixed({})), 1000u);  // the pool caps, not this
}

TEST(GetNumThreads, EnvironmentRules) {
  struct Case {
    std::map<std::string, std::string> env;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {{{"RAYON_NUM_THREADS", "6"}}, 6},
      {{{"RAYON_NUM_THREADS", "+4"}, {"RAYON_RS_NUM_CPUS", "3"}}, 4},
      {{{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "3"}}, 5},  // 0: available, not 3
      {{{"RAYON_NUM_THREADS", "a"}, {"RAYON_RS_NUM_CPUS", "3"}}, 3},
      {{{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "3"}}, 3},
      {{{"RAYON_NUM_THREADS", "-4"}, {"RAYON_RS_NUM_CPUS", "3"}}, 3},
      {{{"RAYON_NUM_THREADS", "4294967296"}, {"RAYON_RS_NUM_CPUS", "2"}}, 2},
      {{{"RAYON_RS_NUM_CPUS", "7"}}, 7},
      {{{"RAYON_RS_NUM_CPUS", "0"}}, 5},
      {{{"RAYON_RS_NUM_CPUS", "x"}}, 5},
      {{}, 5},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& [k, v] : c.env) label += k + "=" + v + " ";
    EXPECT_EQ(get_num_threads(0, fixed(c.env)), c.expected) << label;
  }
}

TEST(AvailableParallelism, FallsBackFromAffinityToOnlineProcessorsToOne) {
  ThreadCountSources s = fixed({});
  EXPECT_EQ(available_parallelism(s), 5u);
  s.affinity_cpus = [] { return std::optional<std::uint32_t>(); };
  EXPECT_EQ(available_parallelism(s), 8u);
  s.online_cpus = [] { return std::optional<std::uint32_t>(); };
  EXPECT_FALSE(available_parallelism(s).has_value());
  EXPECT_EQ(get_num_threads(0, s), 1u);
}

TEST(AvailableParallelism, RespectsTheRealAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof(saved), &saved), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  ThreadCountSources s;
  s.fs_root = "/nonexistent-root-for-tests";
  s.env = [](const char*) { return std::optional<std::string>(); };
  const auto cpus = ThreadCountSources::affinity_cpu_count();
  const std::uint32_t threads = get_num_threads(0, s);
  ASSERT_EQ(sched_setaffinity(0, sizeof(saved), &saved), 0);
  EXPECT_EQ(cpus, 1u);
  EXPECT_EQ(threads, 1u);
}

}  // namespace
}  // namespace rowmerge::pool
