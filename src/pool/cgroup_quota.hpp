// The CPU quota of the control group this process runs in.
//
// Reads "/proc/self/cgroup" and, depending on the hierarchy found there, the
// version-2 "cpu.max" files or the version-1 "cpu.cfs_quota_us" /
// "cpu.cfs_period_us" pairs from the group's directory up to the hierarchy's
// root.  Every file or line that cannot be read or understood is skipped.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace rowmerge::pool {

inline constexpr std::uint32_t kNoQuota = std::numeric_limits<std::uint32_t>::max();

// Whole CPUs the quota allows (quota / period, fraction dropped), at least 1;
// kNoQuota when no limit applies.  `fs_root` is prepended to every absolute
// path ("" for the real file system; tests lay out fake trees).
std::uint32_t cgroup_cpu_quota(const std::string& fs_root);

}  // namespace rowmerge::pool
