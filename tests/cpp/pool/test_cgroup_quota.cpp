#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pool/cgroup_quota.hpp"

namespace rowmerge::pool {
namespace {

namespace fs = std::filesystem;

// A throw-away file-system root with fake /proc and /sys trees.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "rowmerge-cgroup-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~FakeRoot() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  const std::string& path() const { return root_; }

  void write(const std::string& rel, const std::string& text) const {
    const fs::path p = fs::path(root_) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  void mkdir(const std::string& rel) const { fs::create_directories(fs::path(root_) / rel); }

  std::uint32_t quota() const { return cgroup_cpu_quota(root_); }

 private:
  std::string root_;
};

TEST(CgroupV2, NestedQuotasTakeTheSmallestWholeNumber) {
  FakeRoot r;
  r.write("proc/self/cgroup", "0::/a/b\n");
  r.write("sys/fs/cgroup/a/b/cgroup.controllers", "cpu memory\n");
  r.write("sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  r.write("sys/fs/cgroup/a/cpu.max", "350000 100000\n");
  EXPECT_EQ(r.quota(), 3u);
  r.write("sys/fs/cgroup/cpu.max", "250000 100000\n");  // the hierarchy's root counts too
  EXPECT_EQ(r.quota(), 2u);
  r.write("sys/fs/cgroup/a/b/cpu.max", "150000 100000\n");
  EXPECT_EQ(r.quota(), 1u);
}

TEST(CgroupV2, MaxFractionsMissingControllersAndMalformedFiles) {
  FakeRoot r;
  r.write("proc/self/cgroup", "0::/g\n");
  r.write("sys/fs/cgroup/g/cpu.max", "50000 100000\n");
  EXPECT_EQ(r.quota(), kNoQuota) << "without cgroup.controllers there is no quota";
  r.write("sys/fs/cgroup/g/cgroup.controllers", "");
  EXPECT_EQ(r.quota(), 1u) << "half a CPU still gives 1";
  for (const char* bad : {"max 100000\n", "150000  100000\n", "150000\n", "150000 0\n", "-150000 100000\n",
                          "x y\n", "\n150000 100000\n", ""}) {
    r.write("sys/fs/cgroup/g/cpu.max", bad);
    EXPECT_EQ(r.quota(), kNoQuota) << '"' << bad << '"';
  }
  r.write("sys/fs/cgroup/g/cpu.max", "+400000 100000\nignored line\n");
  EXPECT_EQ(r.quota(), 4u);
}

TEST(CgroupV2, RootGroupAndUnreadableCgroupFile) {
  FakeRoot r;
  EXPECT_EQ(r.quota(), kNoQuota);  // no /proc/self/cgroup at all
  r.write("proc/self/cgroup", "0::/\n");
  r.write("sys/fs/cgroup/cgroup.controllers", "");
  r.write("sys/fs/cgroup/cpu.max", "200000 100000");
  EXPECT_EQ(r.quota(), 2u);
}

TEST(CgroupV1, QuotaAndPeriodUpToTheMountPoint) {
  FakeRoot r;
  // A version-2 line first, then the version-1 cpu line, which wins; a later
  // version-2 line does not replace it.  Malformed lines are skipped.
  r.write("proc/self/cgroup", "0::/ignored\ngarbage\n1:cpu\n4:cpu,cpuacct:/grp/sub\n0::/also-ignored\n");
  r.mkdir("sys/fs/cgroup/cpu,cpuacct/grp/sub");
  r.write("sys/fs/cgroup/cpu,cpuacct/grp/sub/cpu.cfs_quota_us", "-1\n");
  r.write("sys/fs/cgroup/cpu,cpuacct/grp/sub/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(r.quota(), kNoQuota) << "-1 sets no limit";
  r.write("sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", " 300000 \n");
  r.write("sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(r.quota(), 3u);
  r.write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n");
  r.write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(r.quota(), 1u);
  r.write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "0\n");  // a zero period is ignored
  EXPECT_EQ(r.quota(), 3u);
}

TEST(CgroupV1, PlainCpuMountComesFirstAndIsTheOnlyOneUsed) {
  FakeRoot r;
  r.write("proc/self/cgroup", "2:cpu:/g\n");
  r.write("sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_quota_us", "100000");
  r.write("sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_period_us", "100000");
  EXPECT_EQ(r.quota(), 1u);
  r.mkdir("sys/fs/cgroup/cpu/g");  // exists, holds no quota: it alone counts
  EXPECT_EQ(r.quota(), kNoQuota);
}

TEST(CgroupV1, MountinfoMatchesTheRootByWholeComponents) {
  FakeRoot r;
  r.write("proc/self/cgroup", "3:cpuacct,cpu:/docker/abc\n");
  r.write("proc/self/mountinfo",
          "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
          "30 22 0:26 / /m/memory rw - cgroup cgroup rw,memory\n"
          "31 22 0:27 /dock /m/wrong rw - cgroup cgroup rw,cpu\n"
          "32 22 0:28 /docker /m/cpu rw,nosuid shared:9 - cgroup cgroup rw,cpuacct,cpu\n"
          "33 22 0:29 / /m/later rw - cgroup cgroup rw,cpu\n");
  r.write("m/wrong/ker/abc/cpu.cfs_quota_us", "100000");  // would match a plain string prefix
  r.write("m/wrong/ker/abc/cpu.cfs_period_us", "100000");
  r.write("m/cpu/abc/cpu.cfs_quota_us", "400000");
  r.write("m/cpu/abc/cpu.cfs_period_us", "100000");
  r.write("m/cpu/cpu.cfs_quota_us", "600000");
  r.write("m/cpu/cpu.cfs_period_us", "100000");
  EXPECT_EQ(r.quota(), 4u);
}

TEST(CgroupV1, MountinfoMountWithoutTheGroupDirectoryGivesNoQuota) {
  FakeRoot r;
  r.write("proc/self/cgroup", "3:cpu:/x\n");
  r.write("proc/self/mountinfo", "32 22 0:28 / /m/cpu rw - cgroup cgroup rw,cpu\n");
  r.write("m/cpu/cpu.cfs_quota_us", "100000");
  r.write("m/cpu/cpu.cfs_period_us", "100000");
  EXPECT_EQ(r.quota(), kNoQuota);
  r.mkdir("m/cpu/x");
  EXPECT_EQ(r.quota(), 1u);
}

}  // namespace
}  // namespace rowmerge::pool
