// Runs one progress bar on this process's real standard error, the way the
// merge driver does, so that tests can watch every byte it writes.
//   progress_child N            N increments, then the finish
//   progress_child N unwind     N increments, then a failure unwinds past the bar
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "progress/progress_bar.hpp"
#include "progress/style.hpp"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::uint64_t n = std::strtoull(argv[1], nullptr, 10);
  const bool unwind = argc > 2 && std::strcmp(argv[2], "unwind") == 0;
  try {
    rowmerge::progress::ProgressBar bar(n);
    bar.set_style(rowmerge::progress::ProgressStyle::with_template(
        "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})"));
    for (std::uint64_t i = 0; i < n; ++i) bar.inc(1);
    if (unwind) throw std::runtime_error("a merge step failed");
    bar.finish_with_message("Processing complete");
  } catch (const std::runtime_error&) {
    return 3;
  }
  return 0;
}
