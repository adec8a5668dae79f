// Large buffers get huge pages for their whole 2 MiB pages only, so that a
// buffer written to its end is resident for no more than its size.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/buffer.hpp"

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool huge_pages_offered() {
  std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(f, modes);
  return modes.find("[never]") == std::string::npos && !modes.empty();
}

// AnonHugePages of the mappings that overlap [begin, end), in bytes.
std::size_t huge_bytes_in(std::uintptr_t begin, std::uintptr_t end) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  std::size_t total = 0;
  while (std::getline(smaps, line)) {
    std::uintptr_t lo = 0, hi = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> lo >> dash >> hi && dash == '-') {
      inside = lo < end && hi > begin;
    } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
      std::istringstream value(line.substr(14));
      std::size_t kb = 0;
      value >> kb;
      total += kb * 1024;
    }
  }
  return total;
}

TEST(Buffer, HugePagesCoverOnlyTheWholeOnes) {
  if (!huge_pages_offered()) GTEST_SKIP() << "transparent huge pages are off";
  const std::size_t count = (4 * kHugePage + 300 * 1024) / sizeof(double);  // 4 whole huge pages and a bit
  double* data = rowmerge::allocate_doubles(count);
  std::memset(data, 1, count * sizeof(double));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::size_t huge = huge_bytes_in(begin, begin + count * sizeof(double));
  rowmerge::free_doubles(data);
  EXPECT_LE(huge, 4 * kHugePage);
}

}  // namespace
